"""Connections closed in the background, and none left open behind the event loop.

Every connection the pool opens is remembered until its close has
finished: whatever a stop request cut short (a handshake, a close task
cancelled before it ran, a connection handed out whose block never ended)
is aborted at the end, so that no TLS transport outlives the event loop and
is finalized after it has closed.
"""

from __future__ import annotations

import asyncio
from typing import Any, Set

from quorvane_host.net.connection import abort_connection

__all__ = ["Closing"]


class Closing:
    """The connections opened and not yet closed, and the closes under way."""

    def __init__(self) -> None:
        self.tasks: Set[asyncio.Task] = set()
        self.live: Set[Any] = set()  # opened, and not yet closed by a finished close

    def opened(self, conn: Any) -> None:
        self.live.add(conn)

    def forget(self, conn: Any) -> None:
        """``conn`` was aborted: nothing more to do for it."""
        self.live.discard(conn)

    def in_background(self, conn: Any) -> None:
        task = asyncio.get_running_loop().create_task(conn.close())
        self.tasks.add(task)
        task.add_done_callback(self._closed_one)
        task.conn = conn  # type: ignore[attr-defined]  # aborted if it takes too long at stop

    def _closed_one(self, task: asyncio.Task) -> None:
        self.tasks.discard(task)
        conn = task.conn  # type: ignore[attr-defined]
        # A close cancelled at shutdown (perhaps before it ever ran) or
        # failing leaves the connection open: abort it.
        if task.cancelled() or task.exception() is not None:
            abort_connection(conn)
        self.live.discard(conn)

    async def wait(self, grace: float) -> None:
        """Wait for the closes under way (and those started meanwhile), ``grace`` s at most."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + grace
        while self.tasks:
            left = deadline - loop.time()
            if left <= 0:
                break
            await asyncio.wait(set(self.tasks), timeout=left)

    def abort_open(self) -> None:
        """Abort every connection opened whose close has not finished."""
        live, self.live = self.live, set()
        for conn in live:
            abort_connection(conn)
