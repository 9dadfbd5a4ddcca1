"""Filling the pool: connections opened ahead of the orders, refilled while the event loop runs, capped per minute.

:meth:`Filling.fill` opens connections until ``size`` are ready (the host
calls it a few seconds before the opening).  A connection that leaves the
pool is replaced by a refill in the background: a lost or silent one at
once, one closed after its order once the order is done (the module waits
for each reply, so the event loop runs then); never as an order takes a
ready connection, for the handshakes would travel beside the order.

New connections are capped per minute (exchanges limit them per address,
:mod:`quorvane_host.net.cap`): past the cap the pool stops refilling, and
an order that finds no ready connection fails with
:class:`~quorvane_host.net.cap.ConnectionLimit` instead of opening one.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Deque, List, Optional

from quorvane_host.net.cap import NewConnectionCap
from quorvane_host.net.channel import Channel
from quorvane_host.net.closing import Closing
from quorvane_host.net.connection import abort_connection, is_open
from quorvane_host.net.faults import describe_fault
from quorvane_host.net.watch import LoopWatch

__all__ = ["Filling"]


class Filling:
    """The pool's opening of connections.

    Mixed into :class:`~quorvane_host.net.pool.Pool`, whose ``__init__``
    makes the attributes below and which has ``_adopt`` and ``_keep``.
    """

    size: int
    opened: int  # connections opened, pooled or not
    dropped: int  # ready connections found closed, failed or silent
    failures: List[str]  # why opening a connection failed
    _open: Callable[[], Awaitable[Any]]
    _clock: Callable[[], float]
    _idle: Deque[Any]
    _ends: Closing
    _cap: NewConnectionCap
    _filling: Optional[asyncio.Task]
    _closed: bool
    _opening: int  # connections being opened to fill the pool
    _watch: LoopWatch

    if TYPE_CHECKING:  # the pool's other parts
        def _adopt(self, conn: Any) -> Channel: ...

        def _keep(self, conn: Any, *, first: bool = False) -> None: ...

        def _dropped(self, conn: Any) -> None: ...

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

    async def fill(self) -> int:
        """Open connections until ``size`` are ready; return how many are ready.

        Failures are recorded in :attr:`failures`; the first one is raised
        when no connection could be made ready at all.
        """
        # The beat from now on: once the orders go, a ready connection's state
        # is then known from the first order after the firing on.
        self._watch.start()
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
            self._dropped(conn)
