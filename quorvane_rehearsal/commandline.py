"""What the rehearsal commands share on their command lines.

Each is known by its installed name (``quorvane-exchange``, also when
started as ``python -m``, so that help and messages read the same as the
README), answers ``--version``, ends its help with examples, and says every
error in one form: argparse's own, ``NAME: error: WHAT``.
"""

from __future__ import annotations

import argparse
import sys
from typing import NoReturn, Sequence

from quorvane_host.cli.progname import version

__all__ = ["CommandParser", "error_line"]


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
