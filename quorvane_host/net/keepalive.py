"""Keeping the ready connections alive: a lost one replaced at once, a silent one found by a ping.

Every connection the pool opens is adopted as a
:class:`~quorvane_host.net.channel.Channel` whose reader reads all that
arrives, and the pool hears from it:

* a close or an error of a ready connection drops it, and a replacement is
  opened at once (one handed out is judged by its order instead);
* a message the exchange pushes (a greeting, an event) is shown through
  ``say`` (:class:`~quorvane_host.net.watch.PushedMessages`), or on a
  connection an order holds goes to ``on_order_pushed``; it is never taken
  for an order's reply, and alone never discards a connection;
* :meth:`KeepAlive.check_alive` pings every ready connection: one that does
  not answer in time (gone half-open: no replies, no close) is dropped and
  replaced.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Deque, Optional, Set

from quorvane_host.net.channel import Channel
from quorvane_host.net.closing import Closing
from quorvane_host.net.connection import abort_connection, silent_ones
from quorvane_host.net.watch import PushedMessages

__all__ = ["KeepAlive"]


class KeepAlive:
    """What the pool hears of its connections, and its pings.

    Mixed into :class:`~quorvane_host.net.pool.Pool`, whose ``__init__``
    makes the attributes below and which has ``_refill_soon``.
    """

    on_order_pushed: Optional[Callable[[Any], None]]
    dropped: int  # ready connections found closed, failed or silent
    unanswered: int  # of those: no answer to a ping
    _say: Callable[[str], None]
    _idle: Deque[Any]
    _out: Set[Channel]
    _pushed: PushedMessages
    _ends: Closing
    _closed: bool

    if TYPE_CHECKING:  # the pool's own
        def _refill_soon(self) -> None: ...

        def _dropped(self, conn: Any) -> None: ...

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

    def _lost(self, conn: Any, why: str) -> None:
        """A waiting connection closed or failed: drop it and open another at once."""
        if self._closed or conn not in self._idle:
            return  # being closed by us, or handed out (the order judges it then)
        self._idle.remove(conn)
        self._say(f"a waiting connection was lost ({why}): opening another")
        self._dropped(conn)
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
