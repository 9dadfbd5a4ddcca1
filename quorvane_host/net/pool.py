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
* every ready connection is watched while it waits: a close or an error
  drops it and a replacement is opened at once; a message the exchange
  pushes (a greeting, an event) is read there and shown through ``say``,
  never left for an order to read as its reply;
* the module's polling holds the thread, so what arrived meanwhile is still
  in the socket when an order takes a connection: the event loop is let to
  read it first, and the connection is judged by what it then is;
* :meth:`Pool.check_alive` pings every ready connection; one that does not
  answer in time (gone half-open: no replies, no close) is dropped and
  replaced;
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
from typing import Any, Awaitable, Callable, Deque, Dict, List, Optional, Set

from websockets.protocol import State

from quorvane_host.net.faults import describe_fault

__all__ = ["ConnectionLimit", "Pool", "abort_connection"]

# How long the closing handshakes may take at stop before the rest are aborted.
CLOSE_GRACE_S = 3.0
# Pushed messages shown one by one; later ones are only counted.
PUSHED_SHOWN = 3
# Passes of the event loop an order waits, at most, for what sat in a
# connection's socket to be read before the connection is judged.
SETTLE_PASSES = 4


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


def is_open(conn: Any) -> bool:
    """True while ``conn`` can carry an order: open, and its transport not closing."""
    try:
        return conn.protocol.state is State.OPEN and not conn.transport.is_closing()
    except AttributeError:
        return False


def _readable(conn: Any) -> bool:
    """True when bytes wait in ``conn``'s socket that the event loop has not read yet."""
    try:
        sock = conn.transport.get_extra_info("socket")
        if sock is None:
            return False
        readable, _, _ = select.select([sock.fileno()], [], [], 0)
        return bool(readable)
    except (AttributeError, OSError, ValueError):
        return False


def _buffered(conn: Any) -> int:
    """Frames the connection has read that nobody has received yet.

    websockets keeps them in its message assembler; a watcher cancelled in
    the same pass of the event loop as a message arrived leaves that
    message there, for the next ``recv`` to return.
    """
    try:
        return len(conn.recv_messages.frames.queue)
    except (AttributeError, TypeError):
        return 0


def short(message: Any, limit: int = 100) -> str:
    """A message cut to ``limit`` characters, for one console line."""
    text = message if isinstance(message, str) else repr(message)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


class _Lease:
    """One order's use of the pool: ``async with pool.lease() as ws``, or ``await pool.lease()``.

    Set ``reusable`` to True before leaving the block when the connection
    carried its order to the end (the reply read): it goes back to the pool.
    """

    __slots__ = ("_pool", "_conn", "reusable")

    def __init__(self, pool: "Pool") -> None:
        self._pool = pool
        self._conn: Any = None
        self.reusable = False

    async def __aenter__(self) -> Any:
        self._conn = await self._pool.take()
        return self._conn

    async def __aexit__(self, *exc: Any) -> bool:
        conn, self._conn = self._conn, None
        if conn is not None:
            if self.reusable and exc[1] is None:
                self._pool.give_back(conn)
            else:
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
    ``clock``: monotonic seconds, for the cap.  ``say``: shows one short
    line to a person (a pushed message, a connection lost while waiting).
    """

    def __init__(self, open_connection: Callable[[], Awaitable[Any]], size: int = 3, *,
                 max_new_per_minute: Optional[int] = 60,
                 clock: Callable[[], float] = time.monotonic,
                 say: Callable[[str], None] = lambda text: None) -> None:
        if size < 0:
            raise ValueError("size must not be negative")
        self._open = open_connection
        self.size = size
        self.max_new_per_minute = max_new_per_minute
        self._clock = clock
        self._say = say
        self._idle: Deque[Any] = collections.deque()
        self._watchers: Dict[Any, asyncio.Task] = {}
        self._opened_at: Deque[float] = collections.deque()
        self._filling: Optional[asyncio.Task] = None
        self._closing: Set[asyncio.Task] = set()
        self._live: Set[Any] = set()  # opened, and not yet closed by a finished close
        self._closed = False
        self._opening = 0  # connections being opened to fill the pool
        # What happened, for reports and tests.
        self.opened = 0  # connections opened, pooled or not
        self.handed_out = 0  # ready connections given to orders
        self.reused = 0  # connections given back after their order, ready again
        self.cold = 0  # orders that found no ready connection
        self.dropped = 0  # ready connections found closed, failed or silent
        self.unanswered = 0  # of those: no answer to a ping
        self.pushed = 0  # messages the exchange sent on a waiting connection
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
        """Connections ready now (as their watchers last saw them)."""
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
            self._unwatch_now(conn)
            self.dropped += 1
            self._close_in_background(conn)

    # ---- watching the ready ones ------------------------------------------

    def _keep(self, conn: Any, *, first: bool = False) -> None:
        """``conn`` is ready: among the idle ones (first in line, or last), and watched."""
        if first:
            self._idle.appendleft(conn)
        else:
            self._idle.append(conn)
        if hasattr(conn, "recv"):
            self._watchers[conn] = asyncio.get_running_loop().create_task(self._watch(conn))

    async def _watch(self, conn: Any) -> None:
        """Read what arrives on a waiting connection, until it is handed out or lost."""
        try:
            while True:
                self._pushed(await conn.recv())
        except asyncio.CancelledError:
            raise
        except Exception as exc:  # closed by the exchange, or failed
            self._watchers.pop(conn, None)
            self._lost(conn, describe_fault(exc))

    def _pushed(self, message: Any) -> None:
        self.pushed += 1
        if self.pushed <= PUSHED_SHOWN:
            more = " (further ones are counted, not shown)" if self.pushed == PUSHED_SHOWN else ""
            self._say(f"the exchange sent a message on a waiting connection: {short(message)}{more}")

    def _lost(self, conn: Any, why: str) -> None:
        """A waiting connection closed or failed: drop it and open another at once."""
        if self._closed or conn not in self._idle:
            return  # being closed by us, or handed out (the order judges it then)
        self._idle.remove(conn)
        self.dropped += 1
        self._say(f"a waiting connection was lost ({why}): opening another")
        self._close_in_background(conn)
        self._refill_soon()

    def _unwatch_now(self, conn: Any) -> None:
        task = self._watchers.pop(conn, None)
        if task is not None:
            task.cancel()

    async def _unwatch(self, conn: Any) -> None:
        """Stop ``conn``'s watcher, and read what it left unread (shown as pushed)."""
        task = self._watchers.pop(conn, None)
        if task is not None and not task.done():
            task.cancel()
            # Its recv must have ended before the order's own begins
            # (websockets allows one at a time); cancelling it loses nothing.
            await asyncio.wait({task})
        while _buffered(conn) and is_open(conn):
            self._pushed(await conn.recv())

    async def check_alive(self, timeout: float) -> int:
        """Ping every ready connection; drop and replace those with no pong in ``timeout`` s.

        Returns how many were dropped.  A connection that has gone silent
        (no close, no replies) would otherwise carry an order that nobody
        answers.
        """
        conns = list(self._idle)
        if not conns or timeout <= 0:
            return 0
        pings = {conn: asyncio.ensure_future(_answers_ping(conn)) for conn in conns}
        try:
            _, pending = await asyncio.wait(set(pings.values()), timeout=timeout)
        finally:
            for task in pings.values():
                task.cancel()
        silent = [conn for conn, task in pings.items()
                  if task in pending or task.cancelled() or task.exception() is not None]
        dropped = 0
        for conn in silent:
            if conn not in self._idle:
                continue  # lost meanwhile, and already replaced
            self._idle.remove(conn)
            self._unwatch_now(conn)
            self.dropped += 1
            self.unanswered += 1
            dropped += 1
            # A close handshake would wait for an answer that does not come.
            abort_connection(conn)
            self._live.discard(conn)
        if dropped:
            self._refill_soon()
        return dropped

    # ---- handing out -------------------------------------------------------

    def lease(self) -> _Lease:
        return _Lease(self)

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
                return conn
            self.dropped += 1
            self._close_in_background(conn)
        self.cold += 1
        self._refill_soon()
        return await self._open_one()

    async def _still_open(self, conn: Any) -> bool:
        """Whether ``conn``, out of the idle ones, can carry an order; its watcher stopped."""
        try:
            # While the module polled, the loop read nothing: a close (or a
            # message) may still sit in the socket.  Let the loop read it,
            # then judge the connection by its state, not by the bytes.
            passes = 0
            while passes < SETTLE_PASSES and _readable(conn):
                await asyncio.sleep(0)
                passes += 1
            if passes:
                await asyncio.sleep(0)  # and let the watcher take what was read
            await self._unwatch(conn)
        except asyncio.CancelledError:
            self._unwatch_now(conn)
            self._close_in_background(conn)
            raise
        except Exception:  # closed while its last messages were read
            return False
        return is_open(conn)

    def give_back(self, conn: Any) -> None:
        """A connection whose order is done: ready again for the next, or closed if not needed."""
        if self._closed or not is_open(conn) or len(self._idle) >= self.size:
            self.discard(conn)
            return
        self.reused += 1
        # First in line: the connection used last is the one whose way is warmest.
        self._keep(conn, first=True)

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
            watchers = list(self._watchers.values())
            self._watchers.clear()
            for task in watchers:
                task.cancel()
            if watchers:
                await asyncio.wait(watchers)
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


async def _answers_ping(conn: Any) -> None:
    pong = await conn.ping()
    await pong
