"""Ctrl-C and SIGTERM: a stop request always stops, and no order leaves after it.

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
has not, the handler raises all the same.

:class:`StopRequested` derives from ``KeyboardInterrupt``, not from
``Exception``: ``except Exception`` in library code does not catch it, and
asyncio lets only ``KeyboardInterrupt`` and ``SystemExit`` out of its
callbacks and tasks (any other exception there, even a direct subclass of
``BaseException``, is logged and dropped).

Once the run tears down, :meth:`StopSignals.disarm` makes further signals
only recorded, so that a second Ctrl-C cannot cut the report short.
"""

from __future__ import annotations

import signal
from types import FrameType
from typing import Any, Callable, Dict, Optional, Type

__all__ = ["Interrupted", "StopRequested", "StopSignals", "Terminated"]


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


_BY_SIGNAL: Dict[int, Type[StopRequested]] = {signal.SIGINT: Interrupted, signal.SIGTERM: Terminated}

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
    """SIGINT and SIGTERM handlers for one run: record, call ``on_request``, raise."""

    def __init__(self, on_request: Callable[[Type[StopRequested]], Any] = lambda cls: None) -> None:
        self.on_request = on_request
        self.request: Optional[Type[StopRequested]] = None
        self.armed = True
        self._previous: Dict[int, Any] = {}

    def install(self) -> "StopSignals":
        for signum in _BY_SIGNAL:
            self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def restore(self) -> None:
        for signum, previous in self._previous.items():
            signal.signal(signum, previous)
        self._previous.clear()

    def disarm(self) -> None:
        self.armed = False

    def _handle(self, signum: int, frame: Any) -> None:
        cls = _BY_SIGNAL[signum]
        if self.request is None:
            self.request = cls
        ended = False
        try:
            ended = bool(self.on_request(self.request))
        finally:
            if self.armed and not (ended and in_transport_code(frame)):
                raise cls()

    @property
    def exit_status(self) -> Optional[int]:
        return self.request.exit_status if self.request else None

    @property
    def said(self) -> Optional[str]:
        return self.request.said if self.request else None
