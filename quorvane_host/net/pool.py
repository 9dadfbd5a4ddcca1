"""Warm connections: open WebSocket connections kept ready for the module's orders.

Opening a connection to the exchange costs a round trip for TCP, one or two
for TLS and one for the WebSocket upgrade before the order can be sent.  A
:class:`Pool` opens a few connections ahead of time, hands one out for each
order and takes it back once the order has its reply:

* :meth:`Pool.fill` opens connections until ``size`` are ready (the host
  calls it a few seconds before the opening);
* :meth:`Pool.lease` returns what ``websockets.connect`` would, an object
  that is awaitable and an asynchronous context manager; entering it hands
  out a ready connection, or opens a new one when none is ready;
* leaving the block gives the connection back when whoever used it says so
  (``lease.reusable = True``: the block ended normally and the order's own
  reply was read), and it is the next order's at once, with no closing
  handshake; otherwise the connection is closed in the background and the
  pool opens a replacement while the event loop runs (the module waits for
  each reply, so the loop runs during orders), not before, so that its
  handshakes do not travel beside the order;
* every connection is a :class:`~quorvane_host.net.channel.Channel`, whose
  reader reads all that arrives: a close or an error of a ready connection
  drops it and a replacement is opened at once; a message the exchange
  pushes (a greeting, an event) is shown through ``say``, never taken for
  an order's reply;
* the module's polling holds the thread, so what arrived meanwhile is still
  in the socket when an order takes a connection: the event loop is let to
  read it first, and the connection is judged by what it then is;
* :meth:`Pool.check_alive` pings every ready connection; one that does not
  answer in time (gone half-open: no replies, no close) is dropped and
  replaced;
* :meth:`Pool.aclose` closes everything, waiting for the closing handshakes
  (aborting those that take too long, and whatever a stop request cut
  short: :mod:`quorvane_host.net.closing`).

The pushed messages and the hand-over's settling are
:mod:`quorvane_host.net.watch`, the lease :mod:`quorvane_host.net.lease`.

New connections are capped per minute (exchanges limit them per address):
past the cap the pool stops refilling, and an order that finds no ready
connection fails with :class:`ConnectionLimit` instead of opening one.
"""

from __future__ import annotations

import asyncio
import collections
import time
from typing import Any, Awaitable, Callable, Deque, List, Optional, Set

from quorvane_host.net.cap import ConnectionLimit, NewConnectionCap
from quorvane_host.net.channel import Channel
from quorvane_host.net.closing import Closing
from quorvane_host.net.connection import abort_connection, is_open, silent_ones
from quorvane_host.net.faults import describe_fault
from quorvane_host.net.lease import Lease
from quorvane_host.net.watch import LoopWatch, PushedMessages, settled_open

__all__ = ["ConnectionLimit", "Pool", "abort_connection", "is_open"]

# How long the closing handshakes may take at stop before the rest are aborted.
CLOSE_GRACE_S = 3.0


class Pool:
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

    # ---- opening -----------------------------------------------------------

    def _allowance(self) -> int:
        return self._cap.allowance(self._clock())

    async def _open_one(self) -> Channel:
        self._cap.take(self._clock())
        connecting = self._open()
        try:
            conn = self._adopt(await connecting)
            self._ends.opened(conn)
        except BaseException:
            # websockets aborts a handshake that is cancelled, not one that a
            # stop request (KeyboardInterrupt) cuts short.
            abort_connection(getattr(connecting, "connection", None))
            raise
        self.opened += 1
        return conn

    def _adopt(self, conn: Any) -> Channel:
        """``conn`` as a channel whose pushed messages and loss the pool hears of."""
        channel = conn if isinstance(conn, Channel) else Channel(conn)
        channel.watch(on_pushed=lambda message: self._saw_pushed(channel, message),
                      on_lost=lambda why: self._lost(channel, why))
        return channel

    def _saw_pushed(self, channel: Channel, message: Any) -> None:
        in_use = channel in self._out
        if in_use and self.on_order_pushed is not None:
            self.on_order_pushed(message)
        else:
            self._pushed.saw(message, waiting=not in_use)

    @property
    def ready(self) -> int:
        """Connections ready now (as their readers last saw them)."""
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
                    self._ends.in_background(task.result())
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
                self._ends.in_background(task.result())
            else:
                self._keep(task.result())
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
        for conn in [c for c in self._idle if not is_open(c)]:
            self._idle.remove(conn)
            self.dropped += 1
            self._ends.in_background(conn)

    # ---- the ready ones ------------------------------------------------------

    def _keep(self, conn: Any, *, first: bool = False) -> None:
        """``conn`` is ready: among the idle ones, first in line or last."""
        if first:
            self._idle.appendleft(conn)
        else:
            self._idle.append(conn)

    def _lost(self, conn: Any, why: str) -> None:
        """A waiting connection closed or failed: drop it and open another at once."""
        if self._closed or conn not in self._idle:
            return  # being closed by us, or handed out (the order judges it then)
        self._idle.remove(conn)
        self.dropped += 1
        self._say(f"a waiting connection was lost ({why}): opening another")
        self._ends.in_background(conn)
        self._refill_soon()

    async def check_alive(self, timeout: float) -> int:
        """Ping every ready connection; drop and replace those with no pong in ``timeout`` s.

        Returns how many were dropped.  A connection that has gone silent
        (no close, no replies) would otherwise carry an order that nobody
        answers.
        """
        if not self._idle or timeout <= 0:
            return 0
        dropped = 0
        for conn in await silent_ones(list(self._idle), timeout):
            if conn not in self._idle:
                continue  # lost meanwhile, and already replaced
            self._idle.remove(conn)
            self.dropped += 1
            self.unanswered += 1
            dropped += 1
            # A close handshake would wait for an answer that does not come.
            abort_connection(conn)
            self._ends.forget(conn)
        if dropped:
            self._refill_soon()
        return dropped

    # ---- handing out -------------------------------------------------------

    def lease(self) -> Lease:
        return Lease(self)

    async def take(self) -> Any:
        """A ready connection, or a new one when none is ready (then counted in :attr:`cold`)."""
        if len(self.taken_at) < 16:
            self.taken_at.append(time.time())
        while self._idle:
            conn = self._idle.popleft()
            if await self._still_open(conn):
                # No refill yet: its handshakes would travel beside the order
                # and, at an exchange that serves both from one loop, delay
                # it.  The pool refills when the order gives its connection back.
                self.handed_out += 1
                self._out.add(conn)
                return conn
            self.dropped += 1
            self._ends.in_background(conn)
        self.cold += 1
        self._refill_soon()
        conn = await self._open_one()
        self._out.add(conn)
        return conn

    async def _still_open(self, conn: Any) -> bool:
        """Whether ``conn``, out of the idle ones, can carry an order."""
        try:
            self._watch.start()
            return await settled_open(conn, self._watch)
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
