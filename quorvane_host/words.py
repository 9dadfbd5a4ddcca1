"""How the host says a count in its lines: "1 order", "2 orders"."""

__all__ = ["plural"]


def plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"
