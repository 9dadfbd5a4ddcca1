"""One order's use of the pool: ``async with pool.lease() as ws``, or ``await pool.lease()``."""

from __future__ import annotations

from typing import Any

__all__ = ["Lease"]


class Lease:
    """What ``connect(url)`` returns while a pool runs: awaitable, and an asynchronous context manager.

    Set ``reusable`` to True before leaving the block when the connection
    carried its order to the end (the reply read): it goes back to the pool.
    """

    __slots__ = ("_pool", "_conn", "reusable")

    def __init__(self, pool: Any) -> None:
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
