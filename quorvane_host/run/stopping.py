"""Ctrl-C, SIGTERM and SIGHUP: a stop request always stops, and no order leaves after it.

SIGHUP (the terminal or the SSH session went away) is a stop request like
SIGTERM: the gate closes first, the report and ``--result`` are written.
A signal that was ignored when the command started stays ignored: ``nohup``
ignores SIGHUP so that a wait of hours outlives the SSH session, and a shell
ignores SIGINT in the jobs it starts in the background.

A Python signal handler runs between two bytecodes of whatever code is
running: the module's order, the websockets handshake, asyncio's TLS
transport, the host's own bookkeeping.  Code there may catch what the
handler raises, so the handler does what matters before it raises:

1. it records the request (:attr:`StopSignals.request`): the exit status
   and the report come from this record, not from the exception;
2. it calls ``on_request``, which closes the gate so that no further
   connection is opened and no connected order is sent;
3. it raises a :class:`StopRequested`.

It does not raise in the middle of asyncio's transport or TLS code (a
half-done TLS handshake write, say) or of websockets' protocol: an
exception there leaves the transport's or the parser's state broken, and
asyncio later fails on it with a fatal error, or the connection waits for
ever.
There ``on_request`` must have ended the run by other means (it returns
True when it has, by cancelling the session from the event loop); when it
has not, the handler raises all the same.  It returns :data:`WINDING_DOWN`
when the run ends by itself without any exception (orders have left and
their replies are being read): the handler then raises nowhere.

:class:`StopRequested` derives from ``KeyboardInterrupt``, not from
``Exception``: ``except Exception`` in library code does not catch it, and
asyncio lets only ``KeyboardInterrupt`` and ``SystemExit`` out of its
callbacks and tasks (any other exception there, even a direct subclass of
``BaseException``, is logged and dropped).

Once the run tears down, :meth:`StopSignals.disarm` makes further signals
only recorded, so that a second Ctrl-C cannot cut the report short.

Before the host's modules are loaded the command installs an
:class:`EarlyStop` (``python -m quorvane_host`` does so first thing): a
request that lands in code that swallows the exception (an import lock's
callback, a destructor) is still on record, and :meth:`StopSignals.install`
takes it over, so that it stops the run before anything is sent.
"""

from __future__ import annotations

import signal
import sys
from types import FrameType
from typing import Any, Callable, Dict, List, Optional, Type

__all__ = ["WINDING_DOWN", "BY_SIGNAL", "EarlyStop", "HungUp", "Interrupted", "StopRequested", "StopSignals", "Terminated"]


# What ``on_request`` returns when the run winds down by itself: nothing is raised.
WINDING_DOWN = "winding down"


class StopRequested(KeyboardInterrupt):
    """A stop request by signal; see the module's description for the base class."""

    exit_status = 130
    said = "interrupted (Ctrl-C)"


class Interrupted(StopRequested):
    """SIGINT (Ctrl-C)."""


class Terminated(StopRequested):
    """SIGTERM."""

    exit_status = 143
    said = "terminated (SIGTERM)"


class HungUp(StopRequested):
    """SIGHUP: the terminal or the session it came through went away."""

    exit_status = 129
    said = "hung up (SIGHUP)"


BY_SIGNAL: Dict[int, Type[StopRequested]] = {
    signal.SIGINT: Interrupted, signal.SIGTERM: Terminated, signal.SIGHUP: HungUp}


def handled_signals() -> List[int]:
    """The stop signals to take over: those not ignored by whoever started the command."""
    return [signum for signum in BY_SIGNAL if signal.getsignal(signum) is not signal.SIG_IGN]


class EarlyStop:
    """The stop handler of the command's first moments: it records, then raises.

    Python's own Ctrl-C handler keeps no record: an interrupt that lands in
    a callback that swallows it is lost.  This one keeps the first request
    in :attr:`request`; :meth:`StopSignals.install` takes it over.  Once
    :attr:`raising` is False (the run has ended) it only records.
    """

    def __init__(self) -> None:
        self.request: Optional[Type[StopRequested]] = None
        self.raising = True

    def install(self) -> "EarlyStop":
        """Handle the stop signals, and keep quiet about a request swallowed where it landed."""
        for signum in handled_signals():
            try:
                signal.signal(signum, self)
            except (OSError, ValueError):  # pragma: no cover - not the main thread
                pass
        sys.unraisablehook = self._unraisable_hook(sys.unraisablehook)
        return self

    def _unraisable_hook(self, previous: Any) -> Any:
        def hook(unraisable: Any) -> None:
            # "Exception ignored in ..." would be noise: the request is on record and stops the run.
            if not (isinstance(unraisable.exc_value, StopRequested) and self.request is not None):
                previous(unraisable)

        return hook

    def __call__(self, signum: int, frame: Any) -> None:
        cls = BY_SIGNAL[signum]
        if self.request is None:
            self.request = cls
        if self.raising:
            raise cls()

# Code whose state an exception raised between two of its bytecodes corrupts.
_TRANSPORT_MODULES = frozenset({"asyncio.sslproto", "asyncio.selector_events", "ssl"})
# websockets parses in generators: one that an exception leaves is dead, and
# the connection waits on it for ever.
_PROTOCOL_PACKAGE = "websockets."


def in_transport_code(frame: Optional[FrameType]) -> bool:
    """True when ``frame`` or one of its callers runs asyncio's transport or TLS code."""
    while frame is not None:
        name = frame.f_globals.get("__name__") or ""
        if name in _TRANSPORT_MODULES or name.startswith(_PROTOCOL_PACKAGE):
            return True
        frame = frame.f_back
    return False


class StopSignals:
    """SIGINT, SIGTERM and SIGHUP handlers for one run: record, call ``on_request``, raise."""

    def __init__(self, on_request: Callable[[Type[StopRequested]], Any] = lambda cls: None) -> None:
        self.on_request = on_request
        self.request: Optional[Type[StopRequested]] = None
        self.armed = True
        self._previous: Dict[int, Any] = {}

    def install(self) -> "StopSignals":
        """Take over SIGINT, SIGTERM and SIGHUP; a request an :class:`EarlyStop` recorded stops the run now."""
        early: Optional[Type[StopRequested]] = None
        for signum in handled_signals():
            previous = signal.signal(signum, self._handle)
            self._previous[signum] = previous
            if isinstance(previous, EarlyStop) and previous.request is not None:
                early = previous.request
        if early is not None and self.request is None:
            self.request = early
            self.on_request(early)
            raise early()
        return self

    def restore(self) -> None:
        """Put back the handlers found at :meth:`install`.

        An :class:`EarlyStop` found there comes back only recording: a
        signal after the run has settled its exit status must not turn
        into an interrupt of whatever the command does last.
        """
        for signum, previous in self._previous.items():
            if isinstance(previous, EarlyStop):
                previous.raising = False
            signal.signal(signum, previous)
        self._previous.clear()

    def disarm(self) -> None:
        self.armed = False

    def _handle(self, signum: int, frame: Any) -> None:
        cls = BY_SIGNAL[signum]
        if self.request is None:
            self.request = cls
        ended: Any = False
        try:
            ended = self.on_request(self.request)
        finally:
            if self.armed and ended is not WINDING_DOWN and not (ended and in_transport_code(frame)):
                raise cls()

    @property
    def exit_status(self) -> Optional[int]:
        return self.request.exit_status if self.request else None

    @property
    def said(self) -> Optional[str]:
        return self.request.said if self.request else None
