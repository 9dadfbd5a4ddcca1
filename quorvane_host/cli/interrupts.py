"""Ctrl-C while the host starts: one line, never a traceback from elsewhere.

Three places would otherwise print a traceback of their own for a Ctrl-C
that the host handles:

* the host's children: the terminal sends SIGINT to every process of its
  foreground group, and a child that is still starting (the console takes
  a few tenths of a second to import) dies of it with a traceback in the
  middle of the host's output.  :func:`start_child` starts a child in a
  session of its own, out of the terminal's reach: the host alone decides
  what a Ctrl-C does, and the child ends when the host closes its input.
  (Blocking SIGINT around the start would keep it from the child as well,
  but would hand a Ctrl-C that arrives meanwhile to another of the host's
  threads.)
* asyncio: when a Ctrl-C ends ``asyncio.run``, the tasks that it cancels on
  the way out may end with the same interrupt, which the loop's exception
  handler logs with a traceback.  :func:`quiet_interrupts` gives every new
  event loop a handler that leaves interrupts to the host and logs the rest
  as before (and makes each new loop uvloop's where it is installed:
  :mod:`quorvane_host.net.event_loop`).
* destructors and weak-reference callbacks: an interrupt raised while one
  runs is printed as "Exception ignored in ..." and dropped, so the Ctrl-C
  would be lost as well.  :func:`quiet_interrupts` also has such an
  interrupt delivered again, outside the destructor, instead of printed.
"""

from __future__ import annotations

import _thread
import asyncio
import subprocess
import sys
from typing import Any, Dict, Sequence

from quorvane_host.net.event_loop import fast_event_loop

__all__ = ["quiet_interrupts", "start_child"]


def start_child(args: Sequence[str], **popen_options: Any) -> subprocess.Popen:
    """``subprocess.Popen(args, **popen_options)`` for a child that Ctrl-C at the terminal does not reach."""
    return subprocess.Popen(args, start_new_session=True, **popen_options)


def _leave_interrupts(loop: asyncio.AbstractEventLoop, context: Dict[str, Any]) -> None:
    if isinstance(context.get("exception"), KeyboardInterrupt):
        return  # the host reports the interrupt itself
    loop.default_exception_handler(context)


class _QuietPolicy(asyncio.DefaultEventLoopPolicy):  # type: ignore[misc,valid-type]
    def new_event_loop(self) -> asyncio.AbstractEventLoop:
        loop = fast_event_loop() or super().new_event_loop()
        loop.set_exception_handler(_leave_interrupts)
        return loop


def _deliver_again(previous: Any) -> Any:
    def hook(unraisable: Any) -> None:
        if not isinstance(unraisable.exc_value, KeyboardInterrupt):
            previous(unraisable)
        elif type(unraisable.exc_value) is KeyboardInterrupt:
            # Python's own Ctrl-C handler keeps no record of it: have it run
            # again at the next line of ordinary code.  (A handler of the
            # host's own has recorded the request before raising.)
            _thread.interrupt_main()

    return hook


def quiet_interrupts() -> None:
    """For the command's process: every event loop made from now on leaves
    interrupts to the host, and an interrupt that a destructor swallowed is
    delivered again."""
    asyncio.set_event_loop_policy(_QuietPolicy())
    sys.unraisablehook = _deliver_again(sys.unraisablehook)
