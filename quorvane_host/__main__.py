"""``python -m quorvane_host`` and the ``quorvane-host`` command: see :mod:`quorvane_host.cli.main`.

This module imports nothing heavy itself, so that a Ctrl-C while the host's
modules load is caught here.
"""

import sys


def _interrupted(when: str) -> None:
    # One line and the shell's status for Ctrl-C, not a traceback of
    # whatever the interpreter happened to be loading.
    sys.stderr.write(f"quorvane host: interrupted (Ctrl-C){when}\n")
    sys.exit(130)


def run() -> None:
    try:
        from quorvane_host.cli.main import main
        from quorvane_host.cli.interrupts import quiet_interrupts
    except KeyboardInterrupt:
        _interrupted(" while starting; nothing was sent")
    try:
        quiet_interrupts()
        status = main()
    except KeyboardInterrupt:  # one that the host's own handling did not catch
        _interrupted("")
    sys.exit(status)


if __name__ == "__main__":
    run()
