"""Warm connections: open WebSocket connections kept ready for the module's orders.

Opening a connection to the exchange costs a round trip for TCP, one or two
for TLS and one for the WebSocket upgrade before the order can be sent.  A
:class:`Pool` opens a few connections ahead of time, hands one out for each
order and takes it back once the order has its reply:

* :meth:`Pool.lease` returns what ``websockets.connect`` would, an object
  that is awaitable and an asynchronous context manager
  (:mod:`quorvane_host.net.lease`); entering it hands out a ready
  connection, or opens a new one when none is ready;
* leaving the block gives the connection back when whoever used it says so
  (``lease.reusable = True``: the block ended normally and the order's own
  reply was read), and it is the next order's at once, with no closing
  handshake; otherwise the connection is closed in the background and
  replaced;
* the module's polling holds the thread, so what arrived meanwhile is still
  in the socket when an order takes a connection: the event loop is let to
  read it first, and the connection is judged by what it then is
  (:func:`~quorvane_host.net.watch.settled_open`);
* :meth:`Pool.aclose` closes everything, waiting for the closing handshakes
  (aborting those that take too long, and whatever a stop request cut
  short: :mod:`quorvane_host.net.closing`).

Opening and refilling, and the cap on new connections per minute, are
:mod:`quorvane_host.net.pool_fill`; what the pool hears of its ready
connections (a loss, a pushed message) and its pings,
:mod:`quorvane_host.net.keepalive`.  Both are parts of this one class, so
that an order's hand-out and give-back go through no extra call.
"""

from __future__ import annotations

import asyncio
import collections
import time
from typing import Any, Awaitable, Callable, Deque, List, Optional, Set

from quorvane_host.net.cap import ConnectionLimit, NewConnectionCap
from quorvane_host.net.channel import Channel
from quorvane_host.net.closing import Closing
from quorvane_host.net.connection import abort_connection, is_open
from quorvane_host.net.keepalive import KeepAlive
from quorvane_host.net.lease import Lease
from quorvane_host.net.pool_fill import Filling
from quorvane_host.net.watch import LoopWatch, PushedMessages, settled_open

__all__ = ["ConnectionLimit", "Pool", "abort_connection", "is_open"]

# How long the closing handshakes may take at stop before the rest are aborted.
CLOSE_GRACE_S = 3.0


class Pool(Filling, KeepAlive):
    """Ready connections to one endpoint; see the module docstring.

    ``open_connection``: a function returning an awaitable that opens one
    connection (``websockets.connect(...)``, or a channel over one).  ``size``: how many to keep
    ready.  ``max_new_per_minute``: cap on connections opened in any
    60-second window, by the pool or for an order (None: no cap).
    ``clock``: monotonic seconds, for the cap.  ``say``: shows one short
    line to a person (a pushed message, a connection lost while waiting).
    ``on_order_pushed``: hears a message pushed on a connection an order
    holds (without it, such a message is shown through ``say`` too).
    """

    def __init__(self, open_connection: Callable[[], Awaitable[Any]], size: int = 3, *,
                 max_new_per_minute: Optional[int] = 60,
                 clock: Callable[[], float] = lambda: time.monotonic(),
                 say: Callable[[str], None] = lambda text: None,
                 on_order_pushed: Optional[Callable[[Any], None]] = None) -> None:
        if size < 0:
            raise ValueError("size must not be negative")
        self._open = open_connection
        self.size = size
        self.max_new_per_minute = max_new_per_minute
        self._clock = clock
        self._say = say
        self._idle: Deque[Any] = collections.deque()
        self._pushed = PushedMessages(say)
        self.on_order_pushed = on_order_pushed
        self._out: Set[Channel] = set()  # handed to orders, not given back yet
        self._ends = Closing()
        self._cap = NewConnectionCap(max_new_per_minute)
        self._filling: Optional[asyncio.Task] = None
        self._closed = False
        self._watch = LoopWatch()  # whether an idle connection's state is known without a look at its socket
        # The loop was (or is about to be) held: the next hand-out looks at its socket whatever the beat says.
        self._look_next = True
        self._opening = 0  # connections being opened to fill the pool
        # What happened, for reports and tests.
        self.opened = 0  # connections opened, pooled or not
        self.handed_out = 0  # ready connections given to orders
        self.reused = 0  # connections given back after their order, ready again
        self.cold = 0  # orders that found no ready connection
        self.dropped = 0  # ready connections found closed, failed or silent
        self.unanswered = 0  # of those: no answer to a ping
        self.failures: List[str] = []  # why opening a connection failed
        self.taken_at: List[float] = []  # wall clock (s) of the first hand-outs, for reports

    @property
    def pushed(self) -> int:
        """Messages the exchange sent on a waiting connection."""
        return self._pushed.count

    @property
    def _closing(self) -> Set[asyncio.Task]:
        return self._ends.tasks

    @property
    def ready(self) -> int:
        """Connections ready now (as their readers last saw them)."""
        return len(self._idle)

    # ---- the ready ones ------------------------------------------------------

    def _keep(self, conn: Any, *, first: bool = False) -> None:
        """``conn`` is ready: among the idle ones, first in line or last."""
        if first:
            self._idle.appendleft(conn)
        else:
            self._idle.append(conn)

    # ---- handing out -------------------------------------------------------

    def lease(self) -> Lease:
        return Lease(self)

    def held(self) -> None:
        """The module is entered and holds the loop: the next hand-out looks at its connection's socket.

        A hold shorter than the loop watch's tolerance (the module polls for
        about a millisecond before it fires) does not stop the beat; what
        came meanwhile is still unread all the same.
        """
        self._look_next = True

    def take_ready(self) -> Any:
        """A ready connection whose state is known without a wait, or None (then :meth:`take` it).

        While the event loop has been running, what came on the idle
        connections has been read: the first still open is handed out at
        once, in the same pass, as the order's next step.
        """
        if self._look_next or not self._idle or not self._watch.running():
            return None
        while self._idle:
            conn = self._idle.popleft()
            if is_open(conn):
                self._handed(conn)
                return conn
            self._dropped(conn)
        return None

    def _taken(self) -> None:
        if len(self.taken_at) < 16:
            self.taken_at.append(time.time())

    def _handed(self, conn: Any) -> None:
        self._taken()
        self.handed_out += 1
        self._out.add(conn)

    def _dropped(self, conn: Any) -> None:
        """An idle connection found closed, failed or silent: closed in the background."""
        self.dropped += 1
        self._ends.in_background(conn)

    async def take(self) -> Any:
        """A ready connection, or a new one when none is ready (then counted in :attr:`cold`)."""
        while self._idle:
            conn = self._idle.popleft()
            if await self._still_open(conn):
                # No refill yet: its handshakes would travel beside the order
                # and, at an exchange that serves both from one loop, delay
                # it.  The pool refills when the order gives its connection back.
                self._look_next = False
                self._handed(conn)
                return conn
            self._dropped(conn)
        self._taken()
        self.cold += 1
        self._refill_soon()
        conn = await self._open_one()
        self._out.add(conn)
        return conn

    async def _still_open(self, conn: Any) -> bool:
        """Whether ``conn``, out of the idle ones, can carry an order."""
        try:
            self._watch.start()
            return await settled_open(conn, None if self._look_next else self._watch)
        except asyncio.CancelledError:
            self._ends.in_background(conn)
            raise

    def give_back(self, conn: Any) -> None:
        """A connection whose order is done: ready again for the next, or closed if not needed."""
        self._out.discard(conn)
        if self._closed or not is_open(conn) or len(self._idle) >= self.size:
            self.discard(conn)
            return
        self.reused += 1
        self._watch.caught_up()  # its order's reply came through the loop: the loop has read every socket
        # First in line: the connection used last is the one whose way is warmest.
        self._keep(conn, first=True)

    def discard(self, conn: Any) -> None:
        """A used connection: close it in the background."""
        self._out.discard(conn)
        self._ends.in_background(conn)
        self._refill_soon()

    # ---- closing -----------------------------------------------------------

    async def aclose(self, grace: float = CLOSE_GRACE_S) -> None:
        """Close every connection: ready ones, and those still closing in the background.

        Whatever is still open when it returns, or when it is cancelled, is aborted.
        """
        self._closed = True
        self._watch.stop()
        try:
            if self._filling is not None and not self._filling.done():
                self._filling.cancel()
                try:
                    await self._filling
                except (asyncio.CancelledError, Exception):
                    pass
            while self._idle:
                self._ends.in_background(self._idle.popleft())
            # Closes started while waiting (an order leaving its block as it
            # is cancelled) are waited for too, within the same grace.
            await self._ends.wait(grace)
        finally:
            self.abort_open()
        if self._closing:
            await asyncio.wait(set(self._closing), timeout=grace)

    def abort_open(self) -> None:
        """Abort every connection the pool opened whose close has not finished."""
        self._ends.abort_open()
