"""One reader per connection: every message read in one place and routed by its ``id``.

A :class:`Channel` wraps an open WebSocket connection.  Everything the
exchange sends is routed in one place, as it is read: handed over by the
connection's :class:`~quorvane_host.net.message_tap.MessageTap` in the
callback that read it (the host's own connections), or read by a task of
the channel's (any other connection, through its ``recv``).  Each message
goes to whoever waits for it:

* a message whose ``id`` is that of a request sent here goes to that
  request (the same type and value: ``"1"`` is not ``1``);
* the reply to a request whose wait has ended (timed out, cancelled, or
  answered twice) goes to the request's ``on_late`` callback: a fill that
  comes late is still somebody's to count;
* a message with no ``id``, a null one, or one nobody sent here is
  *pushed*: ``on_pushed(message)``, never any request's reply (an
  exchange's ``{"id": null, "status": 429, ...}`` answers nothing of ours);
* text that is not JSON goes to the oldest waiting request that takes it
  (``takes_garbled``: an order, whose outcome it then leaves unknown), and
  is pushed otherwise.

Use it as ``expect`` (before the bytes go) + ``send`` + ``reply`` +
``release``; what waits for which id and what has ended is
:mod:`quorvane_host.net.requests`.  The plain ``send`` then ``recv`` of a
client that knows nothing of ids keeps working
(:mod:`quorvane_host.net.plain_reads`).  Both are parts of this one class,
so that the order path goes through no extra call.

When the connection closes or fails the reading ends, ``on_lost(why)`` is
called once and every wait fails with the exception that ended it
(websockets' ``ConnectionClosed``, or the error itself).
"""

from __future__ import annotations

import asyncio
import collections
from typing import Any, Awaitable, Callable, Deque, Dict, Hashable, Optional, Tuple

from websockets.exceptions import ConnectionClosedError, ConnectionClosedOK

from quorvane_host.net.faults import describe_fault
from quorvane_host.net.plain_reads import PlainReads
from quorvane_host.net.requests import GARBLED, OnLate, Request, RequestBook, decode, id_key, sent_id

__all__ = ["Channel"]

_UNREAD = object()  # a request id not given: read from the message


# A wait's timer may fire this much before its deadline (the event loop's
# clock resolution): the wait is over then all the same.
_EARLY_S = 0.001


class Channel(RequestBook, PlainReads):
    """An open connection with one reader; see the module docstring.

    ``conn``: the websockets connection (anything with ``send``, ``recv``,
    ``close`` and ``ping``).  ``on_pushed(message)``: a message that answers
    no request; without it, such messages are kept for ``recv``.
    ``on_lost(why)``: called once, with words for a person, when the
    connection ends.  Other attributes are the connection's.
    """

    def __init__(self, conn: Any, *, on_pushed: Optional[Callable[[Any], None]] = None,
                 on_lost: Optional[Callable[[str], None]] = None) -> None:
        self.conn = conn
        self.on_pushed = on_pushed
        self.on_lost = on_lost
        self.late = 0  # late replies nobody asked to hear about
        self._waiting: Dict[Hashable, Request] = {}
        self._ended: "collections.OrderedDict[Hashable, Tuple[Any, OnLate]]" = collections.OrderedDict()
        self._last_sent: Optional[Hashable] = None  # the last request sent that ``expect`` registered
        self._plain_out = 0  # requests sent through ``send`` alone, not answered yet
        self._replies: Deque[Any] = collections.deque()  # their replies, for ``recv``
        self._unrouted: Deque[Any] = collections.deque()  # pushed messages kept for ``recv``
        self._wants_next = False  # a request without an id went: ``recv`` takes the next message
        self._recv_waiter: Optional[asyncio.Future[None]] = None
        self._lost: Optional[BaseException] = None
        self._closing = False
        # One timer for every wait with a deadline, set for the earliest:
        # a reply that comes in time costs no timer of its own.
        self._timer: Optional[asyncio.TimerHandle] = None
        self._timer_at = 0.0
        tap = getattr(conn, "message_tap", None)
        loop = asyncio.get_running_loop()
        if tap is not None:
            self._reader: Optional[asyncio.Task[None]] = None
            # From the next pass, as a reader task would start: whoever made
            # the channel sets its callbacks (``watch``) before what came
            # with the handshake is routed.
            loop.call_soon(tap.hand_to, self._route, self._end)
        else:
            self._reader = loop.create_task(self._read())

    # ---- state ---------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once the reading has ended or ``close`` was called."""
        return self._lost is not None or self._closing

    def watch(self, *, on_pushed: Optional[Callable[[Any], None]] = None,
              on_lost: Optional[Callable[[str], None]] = None) -> None:
        """Set the callbacks after the fact: what was kept meanwhile is pushed now, a loss said now."""
        self.on_pushed, self.on_lost = on_pushed, on_lost
        if on_pushed is not None and not self._wants_next:
            while self._unrouted:
                self._push(self._unrouted.popleft())
        if self._lost is not None and on_lost is not None:
            self.on_lost = None
            on_lost(describe_fault(self._lost))

    # ---- a request and its reply ---------------------------------------------------

    def send(self, message: Any, *, request_id: Any = _UNREAD) -> Awaitable[None]:
        """Send ``message``: websockets' ``send``, to be awaited; a request nobody expected is
        registered for ``recv`` at once.

        ``request_id``: the id ``message`` carries (None: none), when the
        caller has read it already; it is then not read again.  The
        connection's own ``send`` is handed back to be awaited, not wrapped
        in a coroutine of the channel's: one frame fewer on every order.
        """
        rid = sent_id(message) if request_id is _UNREAD else request_id
        if rid is None:
            self._last_sent = None
            self._wants_next = True
        else:
            key = id_key(rid)
            request = self._waiting.get(key)
            if request is None or request.plain:
                self._last_sent = None
                self._plain_out += 1
                if request is None:
                    self._ended.pop(key, None)
                    # It says what it says: text that is not JSON is handed on as its reply.
                    self._waiting[key] = Request(rid, None, True, plain=True)
                else:
                    request.outstanding += 1
            else:
                self._last_sent = key
        return self.conn.send(message)

    async def reply(self, request_id: Any, timeout: Optional[float] = None) -> Any:
        """The reply to ``request_id`` (expected before); the connection's closing exception if it ended first.

        ``asyncio.TimeoutError`` after ``timeout`` s: the request stays
        expected (a reply may still come) until :meth:`release`.
        """
        request = self._waiting.get(id_key(request_id))
        if request is None:
            raise KeyError(f"no request {request_id!r} is expected on this connection")
        if not request.arrived and self._lost is None:
            loop = asyncio.get_running_loop()
            waiter = request.waiter = loop.create_future()
            if timeout is not None:
                request.deadline = loop.time() + timeout
                if self._timer is None or request.deadline < self._timer_at:
                    self._set_timer(loop, request.deadline)
            try:
                await waiter
            finally:
                request.waiter = request.deadline = None
            if not request.arrived and self._lost is None:
                raise asyncio.TimeoutError(f"no reply to {request_id!r} in {timeout} s")
        if not request.arrived:
            assert self._lost is not None
            raise self._lost
        request.taken = True
        return request.message

    def _set_timer(self, loop: asyncio.AbstractEventLoop, at: float) -> None:
        if self._timer is not None:
            self._timer.cancel()
        self._timer, self._timer_at = loop.call_at(at, self._deadlines_due), at

    def _deadlines_due(self) -> None:
        """The timer: the waits past their deadline end; the timer is set again for the next one."""
        self._timer = None
        loop = asyncio.get_running_loop()
        now, next_at = loop.time(), None
        for request in self._waiting.values():
            deadline, waiter = request.deadline, request.waiter
            if deadline is None or waiter is None or waiter.done():
                continue
            if deadline <= now + _EARLY_S:
                waiter.set_result(None)
            elif next_at is None or deadline < next_at:
                next_at = deadline
        if next_at is not None:
            self._set_timer(loop, next_at)

    # ---- the reading ------------------------------------------------------------------

    async def _read(self) -> None:
        """A connection without a tap: its messages, read by ``recv``."""
        recv, route = self.conn.recv, self._route
        try:
            while True:
                route(await recv())
        except asyncio.CancelledError:
            # Closed by us (a close that did not end the reads), or the
            # event loop is ending: the waits end, nobody is told of a loss.
            self._end(ConnectionClosedOK(None, None) if self._closing else ConnectionClosedError(None, None),
                      tell=self._closing)
            raise
        except Exception as exc:  # closed, or failed: the waits end with it
            self._end(exc)

    def _route(self, message: Any) -> None:
        data = decode(message)
        if data is GARBLED:
            for request in self._waiting.values():
                if request.takes_garbled and not request.arrived:
                    self._deliver(request, message, None)
                    return
            self._unrouted_message(message)
            return
        rid = data.get("id") if type(data) is dict else None
        if rid is None:
            self._unrouted_message(message)
            return
        key = id_key(rid)
        waiting = self._waiting.get(key)
        if waiting is not None:
            if waiting.plain or not waiting.arrived:
                self._deliver(waiting, message, data)
            else:  # answered twice: the second is late
                self._late(waiting.request_id, waiting.on_late, message)
            return
        ended = self._ended.get(key)
        if ended is not None:
            self._late(ended[0], ended[1], message)
        else:
            self._unrouted_message(message)

    def _deliver(self, request: Request, message: Any, data: Any) -> None:
        if request.plain:
            self._replies.append(message)
            self._plain_out -= 1
            request.outstanding -= 1
            if request.outstanding == 0:
                key = id_key(request.request_id)
                del self._waiting[key]
                self._end_wait(key, request)
            self._wake_recv()
            return
        request.message, request.data = message, data
        request.arrived = True
        waiter = request.waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _push(self, message: Any) -> None:
        on_pushed = self.on_pushed
        if on_pushed is not None:
            try:
                on_pushed(message)
            except Exception:  # a note only
                pass

    def _end(self, exc: BaseException, *, tell: bool = True) -> None:
        if self._lost is not None:
            return
        self._lost = exc
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        for request in self._waiting.values():
            if request.waiter is not None and not request.waiter.done():
                request.waiter.set_result(None)
        self._wake_recv()
        on_lost, self.on_lost = self.on_lost, None
        if on_lost is not None and tell:
            try:
                on_lost(describe_fault(exc))
            except Exception:  # a note only
                pass

    # ---- the connection ----------------------------------------------------------------

    async def close(self) -> None:
        """Close the connection (its closing handshake); the reading ends with it."""
        self._closing = True
        try:
            await self.conn.close()
        finally:
            if self._reader is None:
                # The tap told the loss when the connection went; should the
                # close have returned before that, the waits end all the same.
                self._end(ConnectionClosedOK(None, None))
            elif not self._reader.done():
                # What came before the close is read in the next pass; a
                # connection whose close does not end its reads is left.
                await asyncio.sleep(0)
                if not self._reader.done():
                    self._reader.cancel()

    async def ping(self, data: Any = None) -> Any:
        """websockets' ``ping``: a future that is done when the pong comes."""
        return await (self.conn.ping() if data is None else self.conn.ping(data))

    async def __aenter__(self) -> "Channel":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()

    # Read on every hand-out and give-back of a pooled connection: direct,
    # not through __getattr__.
    @property
    def protocol(self) -> Any:
        return self.conn.protocol

    @property
    def transport(self) -> Any:
        return self.conn.transport

    def __getattr__(self, name: str) -> Any:
        if name == "conn":  # not set yet
            raise AttributeError(name)
        return getattr(self.conn, name)

    def __repr__(self) -> str:
        return f"Channel({self.conn!r})"
