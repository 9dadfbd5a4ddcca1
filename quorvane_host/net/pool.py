"""Warm connections: open WebSocket connections kept ready for the module's orders.

Opening a connection to the exchange costs a round trip for TCP, one or two
for TLS and one for the WebSocket upgrade before the order can be sent; the
closing handshake costs one more before the module's connection block is
left.  A :class:`Pool` opens a few connections ahead of time and hands one
out for each order:

* :meth:`Pool.fill` opens connections until ``size`` are ready (the host
  calls it a few seconds before the opening);
* :meth:`Pool.lease` returns what ``websockets.connect`` would, an object
  that is awaitable and an asynchronous context manager; entering it hands
  out a ready connection without suspending, or opens a new one when none is
  ready;
* leaving the block starts the closing handshake in the background and
  returns at once; the pool then opens a replacement while the event loop
  runs (the module waits for each reply, so the loop runs during orders),
  not before, so that its handshakes do not travel beside the order;
* a ready connection that the exchange has closed, or on which anything
  arrived, is never handed out: it is dropped and replaced;
* :meth:`Pool.aclose` closes everything, waiting for the closing handshakes
  (aborting those that take too long).  The pool remembers every connection
  it opened until its close has finished: whatever a stop request cut short
  (a handshake, a close task cancelled before it ran, a connection handed
  out whose block never ended) is aborted there, so that no TLS transport
  outlives the event loop and is finalized after it has closed.

New connections are capped per minute (exchanges limit them per address):
past the cap the pool stops refilling, and an order that finds no ready
connection fails with :class:`ConnectionLimit` instead of opening one.
"""

from __future__ import annotations

import asyncio
import collections
import select
import time
from typing import Any, Awaitable, Callable, Deque, List, Optional, Set

from websockets.protocol import State

from quorvane_host.net.faults import describe_fault

__all__ = ["ConnectionLimit", "Pool", "abort_connection"]

# How long the closing handshakes may take at stop before the rest are aborted.
CLOSE_GRACE_S = 3.0


class ConnectionLimit(Exception):
    """The cap on new connections per minute was reached."""


def abort_connection(conn: Any) -> None:
    """Drop ``conn``'s transport at once (no closing handshake); None and closed ones are fine."""
    transport = getattr(conn, "transport", None)
    if transport is not None:
        try:
            transport.abort()
        except (AttributeError, OSError, RuntimeError):  # already gone, or the loop has closed
            pass


def _ready(conn: Any) -> bool:
    """True when ``conn`` is open and nothing has arrived on it.

    The event loop may not have run for a while (the module's polling holds
    the thread), so a close or an unread message may still sit in the
    socket: poll the socket itself, without reading it.
    """
    try:
        if conn.protocol.state is not State.OPEN or conn.transport.is_closing():
            return False
        sock = conn.transport.get_extra_info("socket")
        if sock is None:
            return False
        readable, _, _ = select.select([sock.fileno()], [], [], 0)
        return not readable
    except (AttributeError, OSError, ValueError):
        return False


class _Lease:
    """One order's use of the pool: ``async with pool.lease() as ws``, or ``await pool.lease()``."""

    __slots__ = ("_pool", "_conn")

    def __init__(self, pool: "Pool") -> None:
        self._pool = pool
        self._conn: Any = None

    async def __aenter__(self) -> Any:
        self._conn = await self._pool.take()
        return self._conn

    async def __aexit__(self, *exc: Any) -> bool:
        conn, self._conn = self._conn, None
        if conn is not None:
            self._pool.discard(conn)
        return False

    def __await__(self):
        # A connection taken this way is the caller's to close.
        return self._pool.take().__await__()


class Pool:
    """Ready connections to one endpoint; see the module docstring.

    ``open_connection``: a function returning an awaitable that opens one
    connection (``websockets.connect(...)``).  ``size``: how many to keep
    ready.  ``max_new_per_minute``: cap on connections opened in any
    60-second window, by the pool or for an order (None: no cap).
    ``clock``: monotonic seconds, for the cap.
    """

    def __init__(self, open_connection: Callable[[], Awaitable[Any]], size: int = 3, *,
                 max_new_per_minute: Optional[int] = 60,
                 clock: Callable[[], float] = time.monotonic) -> None:
        if size < 0:
            raise ValueError("size must not be negative")
        self._open = open_connection
        self.size = size
        self.max_new_per_minute = max_new_per_minute
        self._clock = clock
        self._idle: Deque[Any] = collections.deque()
        self._opened_at: Deque[float] = collections.deque()
        self._filling: Optional[asyncio.Task] = None
        self._closing: Set[asyncio.Task] = set()
        self._live: Set[Any] = set()  # opened, and not yet closed by a finished close
        self._closed = False
        self._opening = 0  # connections being opened to fill the pool
        # What happened, for reports and tests.
        self.opened = 0  # connections opened, pooled or not
        self.handed_out = 0  # ready connections given to orders
        self.cold = 0  # orders that found no ready connection
        self.dropped = 0  # ready connections found closed or dirty
        self.failures: List[str] = []  # why opening a connection failed
        self.taken_at: List[float] = []  # wall clock (s) of the first hand-outs, for reports

    # ---- opening -----------------------------------------------------------

    def _allowance(self) -> int:
        """How many connections may be opened now under the cap."""
        if self.max_new_per_minute is None:
            return 1 << 30
        now = self._clock()
        while self._opened_at and now - self._opened_at[0] >= 60.0:
            self._opened_at.popleft()
        return self.max_new_per_minute - len(self._opened_at)

    async def _open_one(self) -> Any:
        if self._allowance() <= 0:
            raise ConnectionLimit(
                f"{self.max_new_per_minute} new connections in the last minute: the cap is reached")
        self._opened_at.append(self._clock())
        connecting = self._open()
        try:
            conn = await connecting
            self._live.add(conn)
        except BaseException:
            # websockets aborts a handshake that is cancelled, not one that a
            # stop request (KeyboardInterrupt) cuts short.
            abort_connection(getattr(connecting, "connection", None))
            raise
        self.opened += 1
        return conn

    @property
    def ready(self) -> int:
        """Connections ready now (not checked against the socket)."""
        return len(self._idle)

    async def fill(self) -> int:
        """Open connections until ``size`` are ready; return how many are ready.

        Failures are recorded in :attr:`failures`; the first one is raised
        when no connection could be made ready at all.
        """
        self._prune()
        missing = min(self.size - len(self._idle) - self._opening, self._allowance())
        if missing <= 0 or self._closed:
            return len(self._idle)
        self._opening += missing
        tasks = [asyncio.ensure_future(self._open_one()) for _ in range(missing)]
        try:
            await asyncio.wait(tasks)
        except asyncio.CancelledError:
            # Stopped (aclose): connections already open are closed, not lost.
            for task in tasks:
                task.cancel()
            await asyncio.wait(tasks)
            for task in tasks:
                if not task.cancelled() and task.exception() is None:
                    self._close_in_background(task.result())
            raise
        finally:
            self._opening -= missing
        errors = []
        for task in tasks:
            error = task.exception() if not task.cancelled() else asyncio.CancelledError()
            if error is not None:
                errors.append(error)
                self.failures.append(describe_fault(error))
            elif self._closed:
                self._close_in_background(task.result())
            else:
                self._idle.append(task.result())
        if errors and not self._idle:
            raise errors[0]
        return len(self._idle)

    def _refill_soon(self) -> None:
        if self._closed or self.size == 0 or (self._filling is not None and not self._filling.done()):
            return
        self._filling = asyncio.get_running_loop().create_task(self._refill())

    async def _refill(self) -> None:
        try:
            await self.fill()
        except Exception:  # recorded in failures; the next order opens its own
            pass

    def _prune(self) -> None:
        for conn in [c for c in self._idle if not _ready(c)]:
            self._idle.remove(conn)
            self.dropped += 1
            self._close_in_background(conn)

    # ---- handing out -------------------------------------------------------

    def lease(self) -> _Lease:
        return _Lease(self)

    async def take(self) -> Any:
        """A ready connection, or a new one when none is ready (then counted in :attr:`cold`)."""
        if len(self.taken_at) < 16:
            self.taken_at.append(time.time())
        while self._idle:
            conn = self._idle.popleft()
            if _ready(conn):
                # No refill yet: its handshakes would travel beside the order
                # and, at an exchange that serves both from one loop, delay
                # it.  The pool refills when the order gives its connection back.
                self.handed_out += 1
                return conn
            self.dropped += 1
            self._close_in_background(conn)
        self.cold += 1
        self._refill_soon()
        return await self._open_one()

    def discard(self, conn: Any) -> None:
        """A used connection: close it in the background."""
        self._close_in_background(conn)
        self._refill_soon()

    # ---- closing -----------------------------------------------------------

    def _close_in_background(self, conn: Any) -> None:
        task = asyncio.get_running_loop().create_task(conn.close())
        self._closing.add(task)
        task.add_done_callback(self._closed_one)
        task.conn = conn  # type: ignore[attr-defined]  # aborted if it takes too long at stop

    def _closed_one(self, task: asyncio.Task) -> None:
        self._closing.discard(task)
        conn = task.conn  # type: ignore[attr-defined]
        # A close cancelled at shutdown (perhaps before it ever ran) or
        # failing leaves the connection open: abort it.
        if task.cancelled() or task.exception() is not None:
            abort_connection(conn)
        self._live.discard(conn)

    async def aclose(self, grace: float = CLOSE_GRACE_S) -> None:
        """Close every connection: ready ones, and those still closing in the background.

        Whatever is still open when it returns, or when it is cancelled, is aborted.
        """
        self._closed = True
        try:
            if self._filling is not None and not self._filling.done():
                self._filling.cancel()
                try:
                    await self._filling
                except (asyncio.CancelledError, Exception):
                    pass
            while self._idle:
                self._close_in_background(self._idle.popleft())
            # Closes started while waiting (an order leaving its block as it
            # is cancelled) are waited for too, within the same grace.
            deadline = asyncio.get_running_loop().time() + grace
            while self._closing:
                left = deadline - asyncio.get_running_loop().time()
                if left <= 0:
                    break
                await asyncio.wait(set(self._closing), timeout=left)
        finally:
            self.abort_open()
        if self._closing:
            await asyncio.wait(set(self._closing), timeout=grace)

    def abort_open(self) -> None:
        """Abort every connection the pool opened whose close has not finished."""
        live, self._live = self._live, set()
        for conn in live:
            abort_connection(conn)
