"""The terminal and the console process: where the host's and the module's lines go.

The module's own lines (one ``Time from opening:`` line per pass, hundreds
of thousands a second) go to a log file through the console process
(:mod:`quorvane_host.cli.console`), which keeps the log bounded and shows a
countdown and each order's outcome on the terminal.  The host writes its own
messages into the same stream, marked, so they stay in order with the
module's.

The module's lines and the host's all go through the C runtime's buffer for
standard output (:class:`CStdout`), in the order they were written, and
leave it for the console in batches (:class:`ConsoleBatch`): from just
before the module fires until its first order's bytes have left nothing
leaves, and afterwards at most one write every 50 ms, right after an order's
bytes have left or while no order is under way.  A write into the console's
pipe wakes the console, which then takes a processor for a while: on two
cores it would otherwise take it from the host or the exchange in the middle
of an order.
"""

from __future__ import annotations

import ctypes
import fcntl
import json
import os
import subprocess
import sys
import time
from typing import Any, Callable, Optional, Tuple

from quorvane_host.cli.console import HOST_MARK, LEFT_MARK
from quorvane_host.cli.files import resolve_output_path
from quorvane_host.cli.logfile import open_log
from quorvane_host.cli.interrupts import start_child
from quorvane_host.cli.keys import ENV_API_KEY, ENV_SECRET_KEY
from quorvane_host.cli.options import Plan
from quorvane_host.cli.progname import package_path_env, program_name, say_on_stderr
from quorvane_host.cli.runfiles import new_console_record, new_default_log

__all__ = ["CStdout", "ConsoleBatch", "ConsoleLink", "ModuleStdout", "Terminal", "park_on_devnull", "read_console_record",
           "start_console"]



def _c_function(libc: Any, name: str, argtypes: list, restype: Any) -> Any:
    """A libc function with its argument and result types declared."""
    function = getattr(libc, name)
    function.argtypes, function.restype = argtypes, restype
    return function

class CStdout:
    """The C runtime's ``stdout`` stream, where the module's ``printf`` lines go.

    What the host writes here lands in the same buffer as those lines, so
    the console reads everything in the order it was written, and leaves it
    only on :meth:`flush` (or when the buffer is full).
    """

    def __init__(self) -> None:
        libc = ctypes.CDLL(None)
        size, ptr = ctypes.c_size_t, ctypes.c_void_p
        self._fwrite = _c_function(libc, "fwrite", [ctypes.c_char_p, size, size, ptr], size)
        self._fflush = _c_function(libc, "fflush", [ptr], ctypes.c_int)
        self._setvbuf = _c_function(libc, "setvbuf", [ptr, ptr, ctypes.c_int, size], ctypes.c_int)
        self._malloc = _c_function(libc, "malloc", [size], ptr)
        self._stream = ctypes.c_void_p.in_dll(libc, "stdout")

    def write(self, data: bytes) -> None:
        self._fwrite(data, 1, len(data), self._stream)

    def flush(self) -> None:
        self._fflush(self._stream)

    def hold(self, size: int = 1 << 20) -> bool:
        """Give the stream a buffer of ``size`` bytes, fully buffered; False when the C runtime refuses.

        The default buffer (4 kB for a pipe) fills within half a millisecond
        of polling, or after about a dozen orders, and the C runtime then
        writes it out wherever the module happens to be: between an order's
        reply and the next order, say.  The buffer is never freed: the C
        runtime may flush the stream into it until the process exits.
        """
        self.flush()
        buf = self._malloc(size)
        if not buf:  # pragma: no cover - 1 MB
            return False
        return self._setvbuf(self._stream, buf, 0, size) == 0  # 0: _IOFBF


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


# While orders go, the lines leave for the console at most this often ...
BATCH_S = 0.05
# ... and the event loop looks this often whether some are waiting with no order under way.
TICK_S = 0.02

DIRECT, HELD, BATCHED = "direct", "held", "batched"


class ConsoleBatch:
    """When the lines waiting in the C buffer leave for the console.

    * ``direct`` (until just before the module fires, and after the run):
      each of the host's lines leaves as it is written;
    * ``held`` (from just before the module fires until its first order's
      bytes have left): nothing leaves;
    * ``batched`` (from then on): right after an order's bytes have left,
      and from the event loop's :meth:`tick` while no order is under way, at
      most once every ``every_s``.  Between an order's reply (the module's
      outcome line) and the next order's bytes nothing leaves, unless that
      gap has lasted ``every_s`` already (the pace holds the next order, or
      the orders are over): the lines still reach the console within
      ``every_s`` plus two ticks.

    ``flush()`` writes the buffer out; ``clock()`` is monotonic seconds.
    """

    def __init__(self, flush: Callable[[], None], clock: Callable[[], float] = time.monotonic,
                 every_s: float = BATCH_S) -> None:
        self._flush = flush
        self._clock = clock
        self.every_s = every_s
        self.state = DIRECT
        self.flushes = 0
        self._last = float("-inf")
        self._gap_from: Optional[float] = None  # the module's first line after the last order left

    def flush(self) -> None:
        self.flushes += 1
        self._last = self._clock()
        self._flush()

    def hold(self) -> None:
        """Just before the module fires: nothing leaves until its first order has."""
        if self.state == DIRECT:
            self.state = HELD

    def release(self) -> None:
        """The module stopped before its first order left (or the run is over): batches from now on."""
        if self.state == HELD:
            self.state = BATCHED
            self.flush()

    def direct(self) -> None:
        """After the orders: out with everything, and each line as it comes."""
        self.state = DIRECT
        self.flush()

    def order_left(self) -> None:
        """An order's bytes have just left: the console may have what waits, as the exchange works."""
        self._gap_from = None
        if self.state == HELD:
            self.state = BATCHED
            self.flush()
        elif self.state == BATCHED and self._clock() - self._last >= self.every_s:
            self.flush()

    def module_wrote(self) -> None:
        """The module printed a line (an order's outcome: its reply is in)."""
        if self.state == DIRECT:
            self.flush()
        elif self._gap_from is None:
            self._gap_from = self._clock()

    def host_wrote(self) -> None:
        if self.state == DIRECT:
            self.flush()

    def tick(self) -> None:
        if self.state != BATCHED:
            return
        now = self._clock()
        if now - self._last < self.every_s:
            return
        if self._gap_from is not None and now - self._gap_from < self.every_s:
            return  # the next order may be about to go
        self.flush()


class ModuleStdout:
    """``sys.stdout`` while the module runs: its ``print`` lines into the C buffer, beside its ``printf`` lines.

    Encoded as the stream it stands in for would have encoded them.  Its
    ``flush`` does nothing: when the lines leave is the batch's to say.
    """

    def __init__(self, out: CStdout, batch: ConsoleBatch, encoding: str = "utf-8", errors: str = "strict") -> None:
        self._out = out
        self._batch = batch
        self.encoding = encoding
        self.errors = errors

    def write(self, text: str) -> int:
        self._out.write(text.encode(self.encoding, self.errors))
        self._batch.module_wrote()
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    def writable(self) -> bool:
        return True


class ConsoleLink:
    """The host's lines into the module's stream (the C buffer of file descriptor 1), in order with the module's."""

    def __init__(self, out: Optional[CStdout] = None, batch: Optional[ConsoleBatch] = None) -> None:
        self.out = out if out is not None else CStdout()
        self.batch = batch if batch is not None else ConsoleBatch(self.out.flush)

    def host_line(self, text: str) -> None:
        """A message of ours, in order with the module's lines, through the console."""
        self.write(HOST_MARK + text)

    def countdown(self, left_ms: float) -> None:
        self.write(f"{LEFT_MARK}{int(left_ms)}")

    def write(self, line: str) -> None:
        self.out.write((line + "\n").encode())
        self.batch.host_wrote()

    def flush(self) -> None:
        self.batch.flush()


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
