"""What the rehearsal commands share on their command lines.

Each is known by its installed name (``quorvane-exchange``, also when
started as ``python -m``, so that help and messages read the same as the
README), answers ``--version``, ends its help with examples, and says every
error in one form: argparse's own, ``NAME: error: WHAT``.  A listed symbol
is written the same way wherever one is given (``--symbol``, the control
pipe's ``symbol`` command): :func:`symbol_arg`.
"""

from __future__ import annotations

import argparse
import re
import sys
from decimal import InvalidOperation
from typing import NoReturn, Optional, Sequence

from quorvane_host.cli.progname import version
from quorvane_host.cli.times import parse_opening_time
from quorvane_rehearsal.orders import Symbol

__all__ = ["CommandParser", "error_line", "parse_time_ms", "symbol_arg"]


def error_line(command: str, message: str) -> str:
    """The one form of an error line, argparse's and each command's own alike."""
    return f"{command}: error: {message}"


class CommandParser(argparse.ArgumentParser):
    """An argument parser with the commands' shared conventions."""

    def __init__(self, command: str, description: str, examples: Sequence[str]) -> None:
        epilog = "examples:\n" + "\n".join(f"  {line}" for line in examples)
        super().__init__(prog=command, description=description, epilog=epilog,
                         formatter_class=argparse.RawDescriptionHelpFormatter)
        self.add_argument("--version", action="version", version=f"%(prog)s {version()}",
                          help="show the version and exit")

    def error(self, message: str) -> NoReturn:
        """Usage, then the error line; exit status 2 (bad input)."""
        self.print_usage(sys.stderr)
        self.exit(2, error_line(self.prog, message) + "\n")

    def fail(self, message: str) -> int:
        """Say an error found after parsing (no usage: the command line was fine); returns 2."""
        print(error_line(self.prog, message), file=sys.stderr)
        return 2


def parse_time_ms(text: str, now_ms: Optional[int] = None) -> int:
    """Milliseconds since the epoch from ``text``, read as the host reads ``--open-at``.

    Accepts an integer of milliseconds, ``now``, an offset from now such as
    ``+5s``, ``+1500ms`` or ``+2m``, or an ISO 8601 time with its zone.
    """
    return parse_opening_time(text, now_ms=now_ms, allow_relative=True)


def symbol_arg(text: str, now_ms: Optional[int] = None) -> Symbol:
    """A symbol from ``NAME[:OPEN[,step=S][,price=P]]``; a relative OPEN counts from ``now_ms``."""
    parts = text.split(":", 1)
    name = parts[0].strip().upper()
    if not re.fullmatch(r"[A-Z0-9]{2,20}", name):
        raise argparse.ArgumentTypeError(f"bad symbol name {parts[0]!r}")
    opening, step, price = "now", "0.001", "1.00"
    if len(parts) > 1:
        fields = parts[1].split(",")
        opening = fields[0] or opening
        for extra in fields[1:]:
            key, _, value = extra.partition("=")
            if key == "step":
                step = value
            elif key == "price":
                price = value
            else:
                raise argparse.ArgumentTypeError(f"unknown symbol setting {key!r}")
    try:
        return Symbol(name, parse_time_ms(opening, now_ms), step, price)
    except (ValueError, InvalidOperation) as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
