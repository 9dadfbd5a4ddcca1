"""The terminal and the console process: where the host's and the module's lines go.

The module's own lines (one ``Time from opening:`` line per pass, hundreds
of thousands a second) go to a log file through the console process
(:mod:`quorvane_host.cli.console`), which keeps the log bounded and shows a
countdown and each order's outcome on the terminal.  The host writes its own
messages into the same stream, marked, so they stay in order with the
module's.
"""

from __future__ import annotations

import ctypes
import fcntl
import json
import os
import subprocess
import sys
from typing import Callable, Optional, Tuple

from quorvane_host.cli.console import HOST_MARK, LEFT_MARK
from quorvane_host.cli.files import resolve_output_path
from quorvane_host.cli.logfile import open_log
from quorvane_host.cli.interrupts import start_child
from quorvane_host.cli.keys import ENV_API_KEY, ENV_SECRET_KEY
from quorvane_host.cli.options import Plan
from quorvane_host.cli.progname import package_path_env, program_name, say_on_stderr
from quorvane_host.cli.runfiles import new_console_record, new_default_log

__all__ = ["ConsoleLink", "Terminal", "c_stdout_flusher", "park_on_devnull", "read_console_record",
           "start_console"]


def c_stdout_flusher() -> Callable[[], None]:
    """fflush(NULL): pushes out what the module's printf has buffered."""
    try:
        libc = ctypes.CDLL(None)
        fflush = libc.fflush
        fflush.argtypes = [ctypes.c_void_p]
        fflush.restype = ctypes.c_int
    except (OSError, AttributeError):  # pragma: no cover - every libc has it
        return lambda: None
    return lambda: fflush(None)


def park_on_devnull(fd: int) -> None:
    """Point ``fd`` at /dev/null: what is still buffered for it can be flushed without an error."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
    except OSError:  # pragma: no cover - every system has one
        return
    try:
        os.dup2(null, fd)
    except OSError:
        pass
    finally:
        os.close(null)


class Terminal:
    """Human-readable output on the terminal the host started with.

    A write that fails (a pipe closed by ``head``, ``/dev/full``, a terminal
    that hung up) never reaches the host's decisions: the host goes on as
    before, orders at the opening, writes ``--result`` and exits with the
    status of its orders.  The first failure is said once on stderr; from
    then on the terminal is parked on /dev/null, which the console child
    (started on the same descriptor) writes to without errors as well.
    """

    def __init__(self, fd: int) -> None:
        self._fh = os.fdopen(fd, "w", buffering=1, encoding="utf-8", errors="replace", closefd=True)
        self.lost: Optional[str] = None  # why the terminal stopped taking our lines

    @property
    def fd(self) -> int:
        return self._fh.fileno()

    def isatty(self) -> bool:
        try:
            return self._fh.isatty()
        except (OSError, ValueError):
            return False

    def say(self, text: str = "") -> None:
        if self.lost is not None:
            return
        try:
            self._fh.write(text + "\n")
            self._fh.flush()
        except (OSError, ValueError) as exc:
            self._lose(exc)

    def _lose(self, exc: BaseException) -> None:
        why = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
        self.lost = why
        try:
            park_on_devnull(self._fh.fileno())
        except ValueError:  # already closed
            pass
        say_on_stderr(f"{program_name('quorvane_host')}: the output cannot be written ({why}); going on without it: "
                      "the orders, the exit status and --result do not depend on it")

    def close(self) -> None:
        try:
            self._fh.close()
        except (OSError, ValueError) as exc:
            if self.lost is None:
                self._lose(exc)
            try:
                self._fh.close()  # the buffer now goes to /dev/null
            except (OSError, ValueError):
                pass


class ConsoleLink:
    """The host's lines into the module's stream (file descriptor 1), in order with the module's."""

    def __init__(self, flush_c: Callable[[], None]) -> None:
        self.flush_c = flush_c

    def host_line(self, text: str) -> None:
        """A message of ours, in order with the module's lines, through the console."""
        self.write(HOST_MARK + text)

    def countdown(self, left_ms: float) -> None:
        self.write(f"{LEFT_MARK}{int(left_ms)}")

    def write(self, line: str) -> None:
        self.flush_c()
        try:
            sys.stdout.flush()
            os.write(1, (line + "\n").encode())
        except (OSError, ValueError):  # the console has gone: the run goes on without it
            pass


def widen_pipe(fd: int, size: int = 1 << 20) -> None:
    """Give the pipe to the console room for the module's lines until the first order.

    The module prints a line per pass (about 9 kB per ms); should the
    console fall behind on a busy machine, a full pipe would stop the
    module in the middle of the pass that fires, and the order would leave
    late.  1 MB holds the whole polling phase that the host lets it run.
    """
    try:
        with open("/proc/sys/fs/pipe-max-size") as fh:
            size = min(size, int(fh.read()))
    except (OSError, ValueError):
        pass
    try:
        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), size)
    except OSError:  # not Linux, or over the limit: the default pipe then
        pass


def start_console(plan: Plan, term: Terminal) -> Tuple[subprocess.Popen, str, str]:
    """Start the console child on ``term``; returns it, the log's path and its record's path."""
    if plan.log_path:
        log_path = resolve_output_path(plan.log_path)
        # A new file, or one of the host's own logs with --log-append: never a file of the user's.
        os.close(open_log(log_path, existing=plan.log_append, mark_run=True))
    else:
        log_path = new_default_log(plan.symbol)
    record_path = new_console_record()
    # A terminal that cannot be redrawn in place (TERM=dumb, or none named) gets plain lines.
    redraws = term.isatty() and os.environ.get("TERM", "dumb") not in ("", "dumb")
    tty = {"auto": "yes" if redraws else "no", "tty": "yes", "plain": "no"}[plan.display]
    console = start_child(
        [sys.executable, "-m", "quorvane_host.cli.console", "--log", log_path,
         "--max-bytes", str(plan.log_max_bytes), "--record", record_path,
         "--open-at", str(plan.open_ms), "--tty", tty],
        stdin=subprocess.PIPE, stdout=term.fd,
        # the console never needs the keys: they stay out of its environment
        env={k: v for k, v in package_path_env().items() if k not in (ENV_API_KEY, ENV_SECRET_KEY)},
    )
    widen_pipe(console.stdin.fileno())
    return console, log_path, record_path


def read_console_record(record_path: str) -> dict:
    """What the console counted (lines, latencies), read once and removed."""
    try:
        with open(record_path) as fh:
            record = json.load(fh)
        return record if isinstance(record, dict) else {}
    except (OSError, ValueError):
        return {}
    finally:
        try:
            os.unlink(record_path)
        except OSError:
            pass
