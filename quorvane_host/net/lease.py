"""One order's use of the pool: ``async with pool.lease() as ws``, or ``await pool.lease()``."""

from __future__ import annotations

from typing import Any, Optional

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

    def enter_ready(self) -> Any:
        """The block's connection when a ready one is handed out at once, else None (then ``__aenter__``).

        For a caller that would only await ``__aenter__`` to get it: no
        coroutine on an order's way when the pool has one ready.
        """
        self._conn = self._pool.take_ready()
        return self._conn

    async def __aenter__(self) -> Any:
        conn = self._pool.take_ready()
        self._conn = conn if conn is not None else await self._pool.take()
        return self._conn

    def leave(self, exc: Optional[BaseException]) -> None:
        """The block ended (``exc``: how, None when it ended normally): what ``__aexit__`` does, at once."""
        conn, self._conn = self._conn, None
        if conn is not None:
            if self.reusable and exc is None:
                self._pool.give_back(conn)
            else:
                self._pool.discard(conn)

    async def __aexit__(self, *exc: Any) -> bool:
        self.leave(exc[1])
        return False

    def __await__(self):
        # A connection taken this way is the caller's to close.
        return self._pool.take().__await__()
