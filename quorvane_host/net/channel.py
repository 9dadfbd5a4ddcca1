"""One reader per connection: every message read in one place and routed by its ``id``.

A :class:`Channel` wraps an open WebSocket connection.  Its reader task
reads everything the exchange sends and hands each message to whoever
waits for it:

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
``release``.  The plain ``send`` then ``recv`` of a client that knows
nothing of ids keeps working: ``recv`` returns the replies to the requests
sent through ``send``, as they come, and after a request without an id the
next message whatever it is.

When the connection closes or fails the reader ends, ``on_lost(why)`` is
called once and every wait fails with the exception that ended it
(websockets' ``ConnectionClosed``, or the error itself).
"""

from __future__ import annotations

import asyncio
import collections
import json
from typing import Any, Callable, Deque, Dict, Hashable, Optional, Tuple

from websockets.exceptions import ConnectionClosedError, ConnectionClosedOK

from quorvane_host.net.faults import describe_fault

__all__ = ["Channel", "id_key"]

# Requests whose wait has ended, remembered so that their late replies are
# told from pushed messages; the oldest are forgotten past this many.
ENDED_KEPT = 4096
# Messages nobody takes, kept for a plain ``recv`` (a connection without
# ``on_pushed``); the oldest are dropped past this many.
UNROUTED_KEPT = 256

_GARBLED = object()  # what a message that is not JSON text decodes to
_UNREAD = object()  # a request id not given: read from the message


def id_key(value: Any) -> Hashable:
    """A key for a request id that tells ids apart by type as JSON does: ``"1"``, ``1``, ``1.0``, ``true``."""
    if type(value) is str:
        return value
    try:
        hash(value)
    except TypeError:  # a list or an object: by its text
        return ("json", json.dumps(value, sort_keys=True))
    return (type(value), value)


def _decode(message: Any) -> Any:
    if not isinstance(message, (str, bytes, bytearray)):
        return _GARBLED
    try:
        return json.loads(message)
    except (ValueError, RecursionError):  # UnicodeDecodeError is a ValueError
        return _GARBLED


def _wake(waiter: "asyncio.Future[None]") -> None:
    if not waiter.done():
        waiter.set_result(None)


def _sent_id(message: Any) -> Any:
    """The id a request carries, or None."""
    data = _decode(message)
    return data.get("id") if isinstance(data, dict) else None


class _Request:
    """One request waiting for its reply."""

    __slots__ = ("request_id", "on_late", "takes_garbled", "plain", "outstanding", "message", "data", "arrived",
                 "taken", "waiter")

    def __init__(self, request_id: Any, on_late: Optional[Callable[[Any, Any], None]], takes_garbled: bool,
                 plain: bool) -> None:
        self.request_id = request_id
        self.on_late = on_late
        self.takes_garbled = takes_garbled
        self.plain = plain  # registered by ``send`` for ``recv``, not by ``expect``
        self.outstanding = 1  # plain ones: sends not answered yet
        self.message: Any = None
        self.data: Any = None  # the message decoded (None when it is not JSON): read once, here
        self.arrived = False
        self.taken = False  # its waiter got the message
        self.waiter: Optional[asyncio.Future[None]] = None


class Channel:
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
        self._waiting: Dict[Hashable, _Request] = {}
        self._ended: "collections.OrderedDict[Hashable, Tuple[Any, Optional[Callable[[Any, Any], None]]]]" = \
            collections.OrderedDict()
        self._last_sent: Optional[Hashable] = None  # the last request sent that ``expect`` registered
        self._plain_out = 0  # requests sent through ``send`` alone, not answered yet
        self._replies: Deque[Any] = collections.deque()  # their replies, for ``recv``
        self._unrouted: Deque[Any] = collections.deque()  # pushed messages kept for ``recv``
        self._wants_next = False  # a request without an id went: ``recv`` takes the next message
        self._recv_waiter: Optional[asyncio.Future[None]] = None
        self._lost: Optional[BaseException] = None
        self._closing = False
        self._reader = asyncio.get_running_loop().create_task(self._read())

    # ---- state ---------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """True once the reader has ended or ``close`` was called."""
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

    # ---- requests --------------------------------------------------------------

    def expect(self, request_id: Any, *, on_late: Optional[Callable[[Any, Any], None]] = None,
               takes_garbled: bool = False) -> None:
        """Wait for the reply to ``request_id`` from now on (call it before the request's bytes go)."""
        key = id_key(request_id)
        self._ended.pop(key, None)
        old = self._waiting.get(key)
        if old is not None and old.plain:
            self._plain_out -= old.outstanding
        self._waiting[key] = _Request(request_id, on_late, takes_garbled, plain=False)

    async def send(self, message: Any, *, request_id: Any = _UNREAD) -> None:
        """Send ``message`` (websockets' ``send``); a request nobody expected is registered for ``recv``.

        ``request_id``: the id ``message`` carries (None: none), when the
        caller has read it already; it is then not read again.
        """
        rid = _sent_id(message) if request_id is _UNREAD else request_id
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
                    self._waiting[key] = _Request(rid, None, True, plain=True)
                else:
                    request.outstanding += 1
            else:
                self._last_sent = key
        await self.conn.send(message)

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
            # A timer on the waiter, not asyncio.wait_for: no task more per order.
            timer = loop.call_later(timeout, _wake, waiter) if timeout is not None else None
            try:
                await waiter
            finally:
                request.waiter = None
                if timer is not None:
                    timer.cancel()
            if not request.arrived and self._lost is None:
                raise asyncio.TimeoutError(f"no reply to {request_id!r} in {timeout} s")
        if not request.arrived:
            assert self._lost is not None
            raise self._lost
        request.taken = True
        return request.message

    def decoded(self, request_id: Any) -> Any:
        """The reply to ``request_id`` as the reader decoded it (None: not JSON), before :meth:`release`."""
        request = self._waiting.get(id_key(request_id))
        return request.data if request is not None else None

    def release(self, request_id: Any) -> None:
        """The wait for ``request_id`` is over; a reply coming later goes to its ``on_late``.

        A reply that came but never reached its waiter (cancelled in the
        same pass) is late too.
        """
        key = id_key(request_id)
        request = self._waiting.pop(key, None)
        if request is None:
            return
        if request.plain:
            self._plain_out -= request.outstanding
        self._end_wait(key, request)
        if request.arrived and not request.taken:
            self._late(request.request_id, request.on_late, request.message)

    def _end_wait(self, key: Hashable, request: _Request) -> None:
        if self._last_sent == key:
            self._last_sent = None
        self._ended[key] = (request.request_id, request.on_late)
        if len(self._ended) > ENDED_KEPT:
            self._ended.popitem(last=False)

    # ---- the plain client's read ---------------------------------------------------

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

    # ---- the reader ------------------------------------------------------------------

    async def _read(self) -> None:
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
        data = _decode(message)
        if data is _GARBLED:
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

    def _deliver(self, request: _Request, message: Any, data: Any) -> None:
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

    def _late(self, request_id: Any, on_late: Optional[Callable[[Any, Any], None]], message: Any) -> None:
        if on_late is None:
            self.late += 1
            return
        try:
            on_late(request_id, message)
        except Exception:  # the reader must go on whatever a callback does
            self.late += 1

    def _unrouted_message(self, message: Any) -> None:
        if self._wants_next or self.on_pushed is None or (self._recv_waiter is not None and not self._plain_out):
            self._unrouted.append(message)
            if len(self._unrouted) > UNROUTED_KEPT:
                self._unrouted.popleft()
            self._wake_recv()
            return
        self._push(message)

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
        """Close the connection (its closing handshake); the reader ends with it."""
        self._closing = True
        try:
            await self.conn.close()
        finally:
            if not self._reader.done():
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

    def __getattr__(self, name: str) -> Any:
        if name == "conn":  # not set yet
            raise AttributeError(name)
        return getattr(self.conn, name)

    def __repr__(self) -> str:
        return f"Channel({self.conn!r})"
