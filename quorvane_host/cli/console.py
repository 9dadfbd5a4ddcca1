"""The host's console: turns the module's output flood into a readable display.

While ``listen_for_trades`` polls it prints one ``Time from opening:`` line
per pass, hundreds of thousands a second, and never yields to the host's
event loop until its first order, so the host's own loop cannot show
progress meanwhile (and must not slow the module down by trying).  The
host therefore points file descriptor 1 at a pipe read by this program, a
separate process, which

* writes what it reads to the log file: every line but most of the
  countdown, which is sampled (:mod:`quorvane_host.cli.logfile`), starting
  afresh when the file reaches ``--max-bytes`` (the previous part is kept
  as ``LOG.1``, so the log never takes more than twice that much disk);
  when the log cannot be written (a full disk) it says so once and goes on;
* shows a countdown from the latest time-left line: redrawn in place on a
  terminal, a line now and then otherwise;
* shows each order's outcome with the time it took, as the lines arrive
  (what one read brings is shown in one write: the host sends the orders'
  lines in batches);
* passes on the host's own messages (lines starting with ``HOST_MARK``);
  two of them are not shown but read: ``left MS``, the time left while the
  host waits before entering the module, and ``shift MS``, how much later
  than the real opening the opening time given to the module lies (the
  module's lines count down to that one; the display counts down to the
  real opening);
* at the end writes what it saw as JSON to ``--record``.

Run by the host as ``python -m quorvane_host.cli.console``; it ignores Ctrl-C
and ends when the pipe closes.  Whatever fails on its side (the log, the
terminal) it keeps reading: a console that stopped reading would leave the
module writing into a full pipe, and its next order would wait for it.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import time
from typing import IO, List, Optional

from quorvane_host.cli.files import write_private
from quorvane_host.orders.lines import Outcome, parse_latency, parse_outcome
from quorvane_host.cli.logfile import LogSampler, RotatingLog

__all__ = ["HOST_MARK", "LEFT_MARK", "SHIFT_MARK", "Console", "RotatingLog", "format_left", "main"]

HOST_MARK = "\x1equorvane-host\x1e "
LEFT_MARK = HOST_MARK + "left "
SHIFT_MARK = HOST_MARK + "shift "
_TIME_LEFT = b"Time from opening:"


def format_left(ms: int) -> str:
    """Time left as the countdown shows it: 4.873 s, 2:03.4, 1:02:03."""
    if ms < 0:
        return f"-{format_left(-ms)}"
    if ms < 60_000:
        return f"{ms / 1000:.3f} s"
    seconds = ms // 1000
    if ms < 3_600_000:
        return f"{seconds // 60}:{seconds % 60:02d}.{(ms % 1000) // 100}"
    return f"{seconds // 3600}:{seconds % 3600 // 60:02d}:{seconds % 60:02d}"


def _report_interval(ms_left: int) -> int:
    """Spacing of countdown lines when the output is not a terminal."""
    if ms_left > 600_000:
        return 300_000
    if ms_left > 60_000:
        return 60_000
    if ms_left > 10_000:
        return 10_000
    return 1_000


class Console:
    """Reads the module's output and shows it; see the module docstring."""

    def __init__(self, out: IO[str], *, tty: bool, open_ms: Optional[int] = None,
                 clock=time.time, log: Optional[LogSampler] = None) -> None:
        self.out: Optional[IO[str]] = out
        self.log = log
        self._log_error_said = False
        self.tty = tty
        self.open_ms = open_ms
        self.clock = clock
        self.lines = 0
        self.time_left_lines = 0
        self.first_left: Optional[int] = None
        self.last_left: Optional[int] = None
        self.left_at_first_order: Optional[int] = None
        self.orders: List[dict] = []
        self._pending: Optional[Outcome] = None
        self._pending_at: Optional[float] = None
        self._partial = b""
        self._countdown_open = False  # a countdown line is drawn and not ended
        self._drawn = 0  # its width: a redraw blanks what a longer one left
        self._next_draw = 0.0
        self._next_report: Optional[int] = None
        self._ordering = False
        self._started = clock()
        self._polling_started: Optional[float] = None
        self.shift = 0  # module's opening minus the real one, ms

    # ---- output ---------------------------------------------------------------

    def _show(self, text: str) -> None:
        """Write to the terminal (shown at the next :meth:`flush`); once that fails, show nothing more but keep reading."""
        if self.out is None:
            return
        try:
            self.out.write(text)
        except (OSError, ValueError):
            self.out = None

    def flush(self) -> None:
        """Show what was written: once per chunk read, so that a batch of lines is one write to the terminal."""
        if self.out is None:
            return
        try:
            self.out.flush()
        except (OSError, ValueError):
            self.out = None

    def _emit(self, text: str) -> None:
        if self._countdown_open:
            # Blanked with spaces, not an escape sequence: a terminal without
            # them (TERM=dumb) or a file shows no stray characters.
            self._show(f"\r{' ' * self._drawn}\r" if self.tty else "\n")
            self._countdown_open = False
        self._show(text + "\n")

    def _draw_countdown(self) -> None:
        left = self.last_left
        # Past the opening (the module aims its first order to arrive just
        # after it) there is nothing left to count: the first order's line is next.
        if left is None or self._ordering or left <= 0:
            return
        if self.tty:
            now = self.clock()
            if now < self._next_draw:
                return
            self._next_draw = now + 0.1
            text = f"  opens in {format_left(left)}"
            self._show(f"\r{text}{' ' * (self._drawn - len(text))}")
            self._drawn = len(text)
            self._countdown_open = True
        elif self._next_report is None or left <= self._next_report:
            step = _report_interval(left)
            self._next_report = ((left - 1) // step) * step
            self._show(f"  opens in {format_left(left)}\n")

    def _start_ordering(self) -> None:
        if not self._ordering:
            self._ordering = True
            self.left_at_first_order = self.last_left
            if self._countdown_open:
                self._show("\n" if self.tty else "")
                self._countdown_open = False
            if self.last_left is not None:
                self._emit(f"  first order fired at {self.last_left} ms before the opening"
                           if self.last_left >= 0 else
                           f"  first order fired {-self.last_left} ms after the opening")

    def _finish_order(self, latency: Optional[int]) -> None:
        outcome = self._pending
        self._pending = None
        number = len(self.orders) + 1
        entry = {"n": number, "latency_ms": latency}
        if outcome is None:
            entry.update(accepted=None, detail=None)
            text = "outcome not printed"
        else:
            entry.update(outcome.to_dict())
            text = outcome.describe()
        self.orders.append(entry)
        took = f" ({latency} ms)" if latency is not None else ""
        self._emit(f"  order {number}: {text}{took}")

    # ---- input ----------------------------------------------------------------

    def feed(self, chunk: bytes) -> None:
        self._feed(chunk)
        self.flush()

    def _feed(self, chunk: bytes) -> None:
        data = self._partial + chunk
        cut = data.rfind(b"\n")
        if cut < 0:
            self._partial = data
            return
        complete, self._partial = data[: cut + 1], data[cut + 1:]
        count = complete.count(b"\n")
        self.lines += count
        lefts = complete.startswith(_TIME_LEFT) + complete.count(b"\n" + _TIME_LEFT)
        if self.log is not None:
            self.log.write_lines(complete, lefts == count)
            self.say_log_error()
        if lefts == count:
            # The usual chunk while polling: nothing but time-left lines.
            self.time_left_lines += count
            if self.first_left is None:
                self._time_left(complete[: complete.find(b"\n")])
            start = complete.rfind(b"\n", 0, len(complete) - 1) + 1
            self._time_left(complete[start:-1])
            return
        for raw in complete.split(b"\n")[:-1]:
            if raw.startswith(_TIME_LEFT):
                self.time_left_lines += 1
                self._time_left(raw)
            else:
                self._line(raw.decode("utf-8", "replace"))

    def say_log_error(self) -> None:
        """Once, when the log has stopped: the display and the draining go on."""
        if self.log is not None and self.log.error is not None and not self._log_error_said:
            self._log_error_said = True
            self._emit(f"  the log {self.log.log.path} cannot be written ({self.log.error}); "
                       "going on without it")

    def _time_left(self, raw: bytes) -> None:
        try:
            module_left = int(raw[len(_TIME_LEFT):])
        except ValueError:
            return
        left = module_left - self.shift
        if self.first_left is None:
            self.first_left = left
            self._polling_started = self.clock()
        self.last_left = left
        if module_left < 100:  # the module's own threshold, on its own opening time
            self._start_ordering()
        else:
            self._draw_countdown()

    def _host_value(self, line: str, mark: str) -> Optional[int]:
        try:
            return int(line[len(mark):])
        except ValueError:
            return None

    def _line(self, line: str) -> None:
        if line.startswith(LEFT_MARK):
            left = self._host_value(line, LEFT_MARK)
            if left is not None and not self._ordering:
                self.last_left = left
                self._draw_countdown()
            return
        if line.startswith(SHIFT_MARK):
            self.shift = self._host_value(line, SHIFT_MARK) or 0
            return
        if line.startswith(HOST_MARK):
            # Indented as the run's other lines, whoever wrote the message: one form for all.
            text = line[len(HOST_MARK):]
            self._emit(text if text.startswith("  ") else "  " + text)
            return
        outcome = parse_outcome(line)
        if outcome is not None:
            self._start_ordering()
            if self._pending is not None:
                self._finish_order(None)
            self._pending = outcome
            return
        latency = parse_latency(line)
        if latency is not None:
            self._start_ordering()
            self._finish_order(latency)
            return
        if line.strip():
            self._emit(f"  module: {line}")

    def close(self) -> None:
        if self._partial:
            tail, self._partial = self._partial, b""
            self.feed(tail + b"\n")
        if self._pending is not None:
            self._finish_order(None)
        if self._countdown_open:
            self._show("\n")
            self._countdown_open = False
        self.flush()
        if self.log is not None:
            self.log.close()

    def record(self) -> dict:
        elapsed = None
        if self._polling_started is not None:
            elapsed = self.clock() - self._polling_started
        return {
            "lines": self.lines,
            "time_left_lines": self.time_left_lines,
            "first_time_left_ms": self.first_left,
            "time_left_at_first_order_ms": self.left_at_first_order,
            "shift_ms": self.shift,
            "orders": self.orders,
            "seconds_since_first_time_left": elapsed,
            "log": None if self.log is None else {
                "path": self.log.log.path,
                "bytes_written": self.log.log.written,
                "countdown_lines_left_out": self.log.left_out,
                "rotations": self.log.log.rotations,
                "error": self.log.error,
            },
        }


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m quorvane_host.cli.console")
    p.add_argument("--log", required=True)
    p.add_argument("--max-bytes", type=int, default=256 << 20)
    p.add_argument("--record")
    p.add_argument("--open-at", type=int)
    p.add_argument("--tty", choices=("auto", "yes", "no"), default="auto")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the host decides; we drain until EOF
    out = sys.stdout
    reconfigure = getattr(out, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(line_buffering=False)  # shown per chunk read (Console.flush), a terminal too
    tty = out.isatty() if args.tty == "auto" else args.tty == "yes"
    log = RotatingLog(args.log, args.max_bytes)
    console = Console(out, tty=tty, open_ms=args.open_at, log=LogSampler(log))
    console.say_log_error()
    console.flush()
    try:
        while True:
            chunk = os.read(0, 1 << 16)
            if not chunk:
                break
            console.feed(chunk)
    finally:
        console.close()
        if args.record:
            record = console.record()
            record["log_rotations"] = log.rotations
            try:
                write_private(args.record, json.dumps(record).encode())
            except OSError as exc:  # the host reports without it
                console._emit(f"  the console's record cannot be written ({exc.strerror or exc})")
                console.flush()
        if console.out is None:  # the terminal went away: no flush error at exit
            os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
