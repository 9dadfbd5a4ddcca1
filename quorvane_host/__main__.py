"""``python -m quorvane_host`` and the ``quorvane-host`` command: see :mod:`quorvane_host.cli.main`.

Before anything else, and before the host's modules load:

* a stop handler that keeps a record (:class:`~quorvane_host.run.stopping.EarlyStop`):
  a Ctrl-C, SIGTERM or SIGHUP that lands where its exception is swallowed
  (an import lock's callback, a destructor) still stops the run before
  anything is sent;
* the standard descriptors: one that is closed (``>&-``) is pointed at
  /dev/null, so that no file the host opens later takes its number (the
  module's countdown would be printed into it), and a closed standard
  output is said once on stderr;
* standard error drops what it cannot write (a closed pipe), so that an
  error message cannot turn into a traceback and another exit status.

At the end, output that can no longer be flushed (a closed pipe) is
dropped quietly: the exit status says what happened to the orders, not
to the terminal.
"""

import io
import os
import sys
from typing import Optional

from quorvane_host.run.stopping import EarlyStop, Interrupted, StopRequested

_early = EarlyStop().install()

from quorvane_host.cli.progname import program_name, say_on_stderr  # noqa: E402 - after the handler: os and sys only

_ME = program_name("quorvane_host")


def _reopen_closed_descriptors() -> bool:
    """Point closed descriptors 0-2 at /dev/null; True when standard output was closed."""
    closed = []
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
    for fd in closed:
        null = os.open(os.devnull, os.O_RDONLY if fd == 0 else os.O_WRONLY)
        if null != fd:  # the lowest free number: the closed one itself, unless a lower one was too
            os.dup2(null, fd)
            os.close(null)
    if 1 in closed and sys.stdout is None:
        sys.stdout = open(1, "w", buffering=1, encoding="utf-8", errors="replace", closefd=False)
    if 2 in closed and sys.stderr is None:
        sys.stderr = open(2, "w", buffering=1, encoding="utf-8", errors="backslashreplace", closefd=False)
    return 1 in closed


class _ForgivingText(io.TextIOWrapper):
    """Standard error that drops what it cannot write: a message about the run never ends the run."""

    def write(self, text: str) -> int:
        try:
            return super().write(text)
        except OSError:
            return len(text)

    def flush(self) -> None:
        try:
            super().flush()
        except OSError:
            pass


def _forgiving_stderr() -> None:
    stream = sys.stderr
    if isinstance(stream, io.TextIOWrapper) and not isinstance(stream, _ForgivingText):
        # sys.__stderr__ keeps the original wrapper, and with it the buffer both share.
        sys.stderr = _ForgivingText(stream.buffer, encoding=stream.encoding, errors="backslashreplace",
                                    line_buffering=True)


def _stop_behind(exc: BaseException) -> Optional[BaseException]:
    """The stop request behind ``exc``, if any.

    Some of the interpreter's machinery turns an exception into another
    (an error in a class attribute's ``__set_name__`` while a module loads
    becomes a RuntimeError caused by it): the request is then found as the
    cause, or on record.
    """
    if isinstance(exc, SystemExit):
        return None
    seen = exc
    for _ in range(20):
        if isinstance(seen, KeyboardInterrupt):
            return seen
        following = seen.__cause__ or seen.__context__
        if following is None:
            break
        seen = following
    return _early.request() if _early.request is not None else None


def _stopped(stop: BaseException, when: str) -> int:
    """Say the stop request in one line; its exit status.

    One line and the shell's status, not a traceback of whatever the
    interpreter happened to be loading.
    """
    request = stop if isinstance(stop, StopRequested) else (_early.request or Interrupted)()
    say_on_stderr(f"{_ME}: {request.said}{when}")
    return request.exit_status


def _quiet_exit(status: int) -> None:
    """Exit with ``status``; what stdout still holds is dropped when it cannot be written."""
    for stream, fd in ((sys.stdout, 1), (sys.stderr, 2)):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            try:
                null = os.open(os.devnull, os.O_WRONLY)
                os.dup2(null, fd)
                os.close(null)
            except OSError:
                pass
    sys.exit(status)


def run() -> None:
    stdout_closed = _reopen_closed_descriptors()
    _forgiving_stderr()
    try:
        from quorvane_host.cli.main import main
        from quorvane_host.cli.interrupts import quiet_interrupts
    except BaseException as exc:
        stop = _stop_behind(exc)
        if stop is None:
            raise
        _quiet_exit(_stopped(stop, " while starting; nothing was sent"))
    if _early.request is not None:  # recorded while loading, its exception swallowed there
        _quiet_exit(_stopped(_early.request(), " while starting; nothing was sent"))
    if stdout_closed:
        say_on_stderr(f"{_ME}: standard output is closed: nothing will be shown; the orders, "
             "the exit status and --result do not depend on it")
    try:
        quiet_interrupts()
        status = main()
    except BaseException as exc:  # a stop that the host's own handling did not catch
        stop = _stop_behind(exc)
        if stop is None:
            raise
        status = _stopped(stop, "")
    finally:
        _early.raising = False  # the status is settled: a late signal is only recorded
    _quiet_exit(status)


if __name__ == "__main__":
    run()
