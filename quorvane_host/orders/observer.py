"""What the module prints of each order, read as it happens, and the refusals that stop the host.

The module reports each outcome with ``print``; the host's ``print`` hook
(:func:`install_print_hook`) gives those lines to the :class:`Observer`,
which counts accepted orders and looks every refusal up in the table of
:mod:`quorvane_host.orders.refusals`: one that a retry cannot fix closes the
gate before the next order.
"""

from __future__ import annotations

import builtins
import time
from typing import Any, Callable, Dict, List, Optional

from quorvane_host.orders.gate import Gate
from quorvane_host.orders.lines import Outcome, parse_outcome
from quorvane_host.orders.refusals import Refusals

__all__ = ["Observer", "install_print_hook"]


class Observer:
    """Learns each order's outcome from the lines the module prints, and stops on refusals."""

    def __init__(self, wanted: int, gate: Gate, refusals: Refusals,
                 exchange_ms: Callable[[], float] = lambda: time.time() * 1000) -> None:
        self.wanted = wanted
        self.gate = gate
        self.refusals = refusals
        self.exchange_ms = exchange_ms
        self.outcomes: List[Outcome] = []
        self.accepted = 0
        self.refusal_stop: Optional[Outcome] = None

    def line(self, text: str) -> None:
        outcome = parse_outcome(text)
        if outcome is None:
            return
        self.outcomes.append(outcome)
        order = self.gate.current
        if order is not None and order.outcome is None:
            order.outcome = outcome
        if outcome.accepted:
            self.accepted += 1
            if self.accepted >= self.wanted:
                self.gate.stop(f"{self.accepted} accepted order{'s' if self.accepted != 1 else ''} "
                               f"(--orders {self.wanted})")
        elif self.refusal_stop is None and self.refusals.stops(outcome.code, self.exchange_ms()):
            self.refusal_stop = outcome
            self.gate.stop(f"a refusal that retrying cannot fix ({self.refusals.reason(outcome.code)})")

    def refusals_by_reason(self) -> Dict[str, int]:
        counts: Dict[str, int] = {}
        for o in self.outcomes:
            if not o.accepted:
                key = self.refusals.reason(o.code) + (f" (code {o.code})" if o.code is not None else "")
                counts[key] = counts.get(key, 0) + 1
        return counts


def install_print_hook(observer: Observer) -> Callable:
    """Make ``builtins.print`` pass every line on and show order lines to ``observer``.

    Must run before the module is imported: the module keeps the ``print``
    it finds then.
    """
    original = builtins.print

    def print(*args: Any, **kwargs: Any) -> None:  # noqa: A001 - it is meant to shadow
        original(*args, **kwargs)
        if len(args) == 1 and isinstance(args[0], str) and not kwargs:
            try:
                observer.line(args[0])
            except Exception:  # never let bookkeeping fail an order, nor let one more leave blind
                observer.gate.stop("the host could not read an order's outcome")

    print.__wrapped__ = original  # type: ignore[attr-defined]
    builtins.print = print
    return original
