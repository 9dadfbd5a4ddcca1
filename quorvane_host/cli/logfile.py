"""What of the module's output reaches the disk, and how it is written there.

While ``listen_for_trades`` polls it prints a ``Time from opening:`` line on
every pass: about 1.5 million lines, 40 MB, a second.  Written whole, an
hour of waiting would take some 140 GB.  The log keeps instead

* every line that is not a countdown line (orders, replies, timings, the
  host's own messages), in order;
* every countdown line of the last seconds before the module fires
  (``Time from opening:`` below :data:`FULL_BELOW_MS`), and every one after
  its first order;
* before that, a sample: the first countdown line of each
  :data:`SAMPLE_MS`-ms stretch of the countdown, followed by a count of the
  lines of that stretch that were left out (:data:`LEFT_OUT_PREFIX` ...).

The sample is taken as the lines arrive (nothing is held back in memory),
so a long wait costs about 1 kB a second of disk whatever the module's pace,
and a log cut short by a crash still holds everything up to its end.

:class:`RotatingLog` writes the result: into a file it creates (0600, also
after each rotation) or a log of the host's own (its first line starts with
:data:`~quorvane_host.cli.files.HOST_LOG_MARK`, as every part it writes
does), never into any other file nor through a link planted at its name;
when the disk refuses a write it stops writing and records why, so the
caller can say so once and go on reading the module's output.
"""

from __future__ import annotations

import errno
import os
import stat
import time
from typing import List, Optional

from quorvane_host.cli.files import HOST_LOG_MARK, create_private, is_host_log, open_private_append, write_all

__all__ = ["FULL_BELOW_MS", "LogTaken", "LEFT_OUT_PREFIX", "SAMPLE_MS", "LogSampler", "RotatingLog", "log_header",
           "open_log"]

TIME_LEFT = b"Time from opening:"
# The module fires once fewer than 100 ms are left: this keeps its last 2 s whole.
FULL_BELOW_MS = 2_100
SAMPLE_MS = 100
LEFT_OUT_PREFIX = b"[console] left out "
_HEADER_ROOM = 128  # more than any header line takes


class LogTaken(FileExistsError):
    """The log's name was free when the host started and is taken now: said in words, no errno."""

    def __str__(self) -> str:
        return str(self.strerror)


def _taken_since_start(path: str) -> LogTaken:
    # The start-up check found the name free (or a log to go on with), so
    # whatever is there now was made meanwhile; a log of ours, by another host.
    if is_host_log(path):
        said = (f"{path} is a log of this host, begun since this run started: another host given the "
                "same --log is writing it now. Give each host its own --log")
    else:
        said = f"{path} was made by something else since this run started; choose another --log"
    return LogTaken(errno.EEXIST, said, path)


def log_header(what: str = "started") -> bytes:
    """The first line of a log part (and the line that marks a run appended to a log)."""
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S%z").encode()
    return HOST_LOG_MARK + b" %s %s, pid %d\n" % (what.encode(), stamp, os.getpid())


def open_log(path: str, *, existing: bool, mark_run: bool = False) -> int:
    """The log's descriptor, opened for appending; never another file than a log of ours.

    A new file is created (``O_EXCL``, 0600) and begins with
    :func:`log_header`.  An existing one is taken only with ``existing``
    and only when it is a log of this host (its first line), and is
    appended to as it is, its mode untouched (``mark_run``: a header line
    marks where this run begins).  A character device is written as it is.
    """
    try:
        fd = create_private(path)
    except FileExistsError:
        fd = open_private_append(path)
        try:
            if stat.S_ISCHR(os.fstat(fd).st_mode):
                return fd
            if not existing or not is_host_log(path):
                raise _taken_since_start(path)
            if mark_run:
                write_all(fd, log_header("appended to"))
        except BaseException:
            os.close(fd)
            raise
        return fd
    try:
        write_all(fd, log_header())
    except BaseException:
        os.close(fd)
        raise
    return fd


class RotatingLog:
    """Append-only log that starts afresh at ``max_bytes``, keeping one older part.

    The log never takes more than twice ``max_bytes``.  A character device
    (``/dev/null``) is written as it is and never rotated.  After a failed
    write :attr:`error` says why and nothing more is written.  It writes
    only to a file it creates or to a log of the host's own
    (:func:`open_log`); at a rotation the older part replaces ``LOG.1`` only
    when nothing but a log of ours is there, else the log stops.
    """

    def __init__(self, path: str, max_bytes: int) -> None:
        self.path = path
        self.max_bytes = max(int(max_bytes), 4096)
        self.rotations = 0
        self.written = 0
        self.error: Optional[str] = None
        self._fd: Optional[int] = None
        self._size = 0
        self._rotates = False
        try:
            self._fd = open_log(path, existing=True)
            st = os.fstat(self._fd)
            self._rotates = stat.S_ISREG(st.st_mode)
            self._size = st.st_size if self._rotates else 0
        except OSError as exc:
            self._fail(exc)

    def write(self, data: bytes) -> None:
        if self._fd is None or not data:
            return
        try:
            # a part that holds no more than its header line is not started afresh
            if self._rotates and self._size > _HEADER_ROOM and self._size + len(data) > self.max_bytes:
                self._rotate()
            write_all(self._fd, data)
        except OSError as exc:
            self._fail(exc)
            return
        self._size += len(data)
        self.written += len(data)

    def _rotate(self) -> None:
        older = self.path + ".1"
        if os.path.lexists(older) and not is_host_log(older):
            raise FileExistsError(errno.EEXIST, "the older part's name is taken by a file that is not "
                                  "a log of this host; the log stops here", older)
        os.close(self._fd)  # type: ignore[arg-type]
        self._fd = None
        os.replace(self.path, older)
        self._fd = create_private(self.path)
        header = log_header("continued")
        write_all(self._fd, header)
        self._size = len(header)
        self.written += len(header)
        self.rotations += 1

    def _fail(self, exc: OSError) -> None:
        self.error = exc.strerror or str(exc)
        if exc.filename:
            self.error = f"{exc.filename}: {self.error}"
        self.close()

    def close(self) -> None:
        if self._fd is not None:
            fd, self._fd = self._fd, None
            try:
                os.close(fd)
            except OSError:
                pass


def _value(line: bytes) -> Optional[int]:
    """The milliseconds of a countdown line; None for any other line."""
    if not line.startswith(TIME_LEFT):
        return None
    try:
        return int(line[len(TIME_LEFT):])
    except ValueError:
        return None


class LogSampler:
    """Passes the module's lines on to a :class:`RotatingLog`, thinning the countdown.

    See the module docstring for what is kept.  Feed it whole lines only.
    """

    def __init__(self, log: RotatingLog, *, full_below_ms: int = FULL_BELOW_MS,
                 sample_ms: int = SAMPLE_MS) -> None:
        self.log = log
        self.full_below_ms = full_below_ms
        self.sample_ms = sample_ms
        self.left_out = 0  # countdown lines not written, in all
        self._stretch: Optional[int] = None  # the sampled stretch of the last line written
        self._skipped = 0
        self._skipped_from = self._skipped_to = 0

    @property
    def error(self) -> Optional[str]:
        return self.log.error

    def write_lines(self, lines: bytes, countdown_only: bool = False) -> None:
        """``lines`` ends with a newline; ``countdown_only``: the caller knows they all are."""
        if countdown_only and self._write_run(lines):
            return
        out: List[bytes] = []
        for raw in lines.split(b"\n")[:-1]:
            value = _value(raw)
            if value is None or value < self.full_below_ms:
                self._end_stretch(out)
                out.append(raw + b"\n")
            elif value // self.sample_ms == self._stretch:
                self._skip(value, value, 1)
            else:
                self._end_stretch(out)
                self._stretch = value // self.sample_ms
                out.append(raw + b"\n")
        if out:
            self.log.write(b"".join(out))

    def _write_run(self, lines: bytes) -> bool:
        """The usual chunk while polling, without splitting it; False when it needs splitting."""
        first = _value(lines[: lines.find(b"\n")])
        last = _value(lines[lines.rfind(b"\n", 0, len(lines) - 1) + 1: -1])
        if first is None or last is None:
            return False
        if first < self.full_below_ms and last < self.full_below_ms:
            out: List[bytes] = []
            self._end_stretch(out)
            out.append(lines)
            self.log.write(b"".join(out))
            return True
        stretch = first // self.sample_ms
        if first < self.full_below_ms or last < self.full_below_ms or last // self.sample_ms != stretch:
            return False
        count = lines.count(b"\n")
        if stretch == self._stretch:
            self._skip(first, last, count)
            return True
        out = []
        self._end_stretch(out)
        self._stretch = stretch
        out.append(lines[: lines.find(b"\n") + 1])
        self.log.write(b"".join(out))
        if count > 1:
            second = lines.find(b"\n") + 1
            self._skip(_value(lines[second: lines.find(b"\n", second)]) or first, last, count - 1)
        return True

    def _skip(self, first: int, last: int, count: int) -> None:
        if not self._skipped:
            self._skipped_from = first
        self._skipped += count
        self._skipped_to = last
        self.left_out += count

    def _end_stretch(self, out: List[bytes]) -> None:
        """Say how many countdown lines were left out since the last one written."""
        if self._skipped:
            out.append(LEFT_OUT_PREFIX + b"%d countdown lines, %d down to %d ms\n"
                       % (self._skipped, self._skipped_from, self._skipped_to))
            self._skipped = 0

    def close(self) -> None:
        out: List[bytes] = []
        self._end_stretch(out)
        if out:
            self.log.write(b"".join(out))
        self.log.close()
