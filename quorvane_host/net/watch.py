"""Waiting connections, watched: what the exchange pushes is read there, a close is seen at once.

Each connection that waits in the pool has a reader task.  A message the
exchange pushes (a greeting, an event) is read by it and shown, never left
for an order to take as its reply; a close or an error is reported to the
pool, which drops the connection and opens another.
"""

from __future__ import annotations

import asyncio
from typing import Any, Callable, Dict

from quorvane_host.net.connection import buffered, is_open, readable, short
from quorvane_host.net.faults import describe_fault

__all__ = ["PUSHED_SHOWN", "Watchers"]

# Pushed messages shown one by one; later ones are only counted.
PUSHED_SHOWN = 3
# Passes of the event loop an order waits, at most, for what sat in a
# connection's socket to be read before the connection is judged.
SETTLE_PASSES = 4


class Watchers:
    """One reader task per waiting connection.

    ``on_lost(conn, why)``: the connection closed or failed while it waited.
    ``say``: shows one short line to a person.
    """

    def __init__(self, on_lost: Callable[[Any, str], None], say: Callable[[str], None]) -> None:
        self._on_lost = on_lost
        self._say = say
        self._tasks: Dict[Any, asyncio.Task] = {}
        self.pushed = 0  # messages the exchange sent on a waiting connection

    def start(self, conn: Any) -> None:
        if hasattr(conn, "recv"):
            self._tasks[conn] = asyncio.get_running_loop().create_task(self._watch(conn))

    async def _watch(self, conn: Any) -> None:
        """Read what arrives on a waiting connection, until it is handed out or lost."""
        try:
            while True:
                self.saw_pushed(await conn.recv())
        except asyncio.CancelledError:
            raise
        except Exception as exc:  # closed by the exchange, or failed
            self._tasks.pop(conn, None)
            self._on_lost(conn, describe_fault(exc))

    def saw_pushed(self, message: Any) -> None:
        self.pushed += 1
        if self.pushed <= PUSHED_SHOWN:
            more = " (further ones are counted, not shown)" if self.pushed == PUSHED_SHOWN else ""
            self._say(f"the exchange sent a message on a waiting connection: {short(message)}{more}")

    def stop_now(self, conn: Any) -> None:
        task = self._tasks.pop(conn, None)
        if task is not None:
            task.cancel()

    async def stop(self, conn: Any) -> None:
        """Stop ``conn``'s watcher, and read what it left unread (shown as pushed)."""
        task = self._tasks.pop(conn, None)
        if task is not None and not task.done():
            task.cancel()
            # Its recv must have ended before the order's own begins
            # (websockets allows one at a time); cancelling it loses nothing.
            await asyncio.wait({task})
        while buffered(conn) and is_open(conn):
            self.saw_pushed(await conn.recv())

    async def hand_over(self, conn: Any) -> bool:
        """Stop watching ``conn`` for an order; whether it can carry one.

        While the module polled, the loop read nothing: a close (or a
        message) may still sit in the socket.  Let the loop read it, then
        judge the connection by its state, not by the bytes.
        """
        try:
            passes = 0
            while passes < SETTLE_PASSES and readable(conn):
                await asyncio.sleep(0)
                passes += 1
            if passes:
                await asyncio.sleep(0)  # and let the watcher take what was read
            await self.stop(conn)
        except asyncio.CancelledError:
            self.stop_now(conn)
            raise
        except Exception:  # closed while its last messages were read
            return False
        return is_open(conn)

    async def stop_all(self) -> None:
        tasks = list(self._tasks.values())
        self._tasks.clear()
        for task in tasks:
            task.cancel()
        if tasks:
            await asyncio.wait(tasks)
