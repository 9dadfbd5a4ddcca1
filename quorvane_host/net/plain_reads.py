"""The ``recv`` of a client that knows nothing of ids: ``send``, then ``recv``.

Such a client sends a request and reads the next message, as over a bare
WebSocket connection.  Over a :class:`~quorvane_host.net.channel.Channel`,
whose reader takes every message, ``recv`` returns the replies to the
requests sent through ``send`` (registered there, as they go), in the order
they come; after a request without an id, the next message whatever it is.
Messages that answer nothing are kept for it (the newest few) when the
channel has no ``on_pushed`` or such a ``recv`` waits for them.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any, Callable, Deque, Dict, Hashable, Optional

from quorvane_host.net.requests import Request

__all__ = ["PlainReads", "UNROUTED_KEPT"]

# Messages nobody takes, kept for a plain ``recv`` (a connection without
# ``on_pushed``); the oldest are dropped past this many.
UNROUTED_KEPT = 256


class PlainReads:
    """The channel's ``recv``.

    Mixed into :class:`~quorvane_host.net.channel.Channel`, whose
    ``__init__`` makes the attributes below and which has ``reply`` and
    ``_push``.
    """

    on_pushed: Optional[Callable[[Any], None]]
    _waiting: Dict[Hashable, Request]
    _last_sent: Optional[Hashable]
    _plain_out: int
    _replies: Deque[Any]  # replies to the requests sent through ``send`` alone, for ``recv``
    _unrouted: Deque[Any]  # pushed messages kept for ``recv``
    _wants_next: bool  # a request without an id went: ``recv`` takes the next message
    _recv_waiter: Optional[asyncio.Future[None]]
    _lost: Optional[BaseException]

    if TYPE_CHECKING:  # the channel's own
        async def reply(self, request_id: Any, timeout: Optional[float] = None) -> Any: ...

        def _push(self, message: Any) -> None: ...

    async def recv(self) -> Any:
        """The next reply to a request sent through ``send``, in the order they come.

        After a request without an id (or none at all), the next message,
        whatever it is.  Raises the connection's closing exception once
        nothing more can come.
        """
        if self._last_sent is not None:
            request = self._waiting[self._last_sent]
            try:
                return await self.reply(request.request_id)
            finally:
                self._last_sent = None
        while True:
            if self._replies:
                return self._replies.popleft()
            if self._plain_out == 0 and self._unrouted:
                self._wants_next = False
                return self._unrouted.popleft()
            if self._lost is not None:
                raise self._lost
            waiter = self._recv_waiter = asyncio.get_running_loop().create_future()
            try:
                await waiter
            finally:
                self._recv_waiter = None

    def _wake_recv(self) -> None:
        waiter = self._recv_waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _unrouted_message(self, message: Any) -> None:
        """A message that answers nothing: kept for ``recv`` when one reads it, pushed otherwise."""
        if self._wants_next or self.on_pushed is None or (self._recv_waiter is not None and not self._plain_out):
            self._unrouted.append(message)
            if len(self._unrouted) > UNROUTED_KEPT:
                self._unrouted.popleft()
            self._wake_recv()
            return
        self._push(message)
