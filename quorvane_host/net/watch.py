"""What the pool tells of its connections: messages the exchange pushed, and the hand-over's settling.

Every connection is a :class:`~quorvane_host.net.channel.Channel` whose
reader reads what arrives: a message that answers no request is shown
here (the first few, then counted), never left for an order to take as its
reply.  Before an order takes a waiting connection, the event loop is let
to read what sat in its socket while the module's polling held the
thread, so that a close that came meanwhile is seen first.
"""

from __future__ import annotations

import asyncio
from typing import Any, Callable

from quorvane_host.net.connection import is_open, readable, short

__all__ = ["PUSHED_SHOWN", "PushedMessages", "settled_open"]

# Pushed messages shown one by one; later ones are only counted.
PUSHED_SHOWN = 3
# Passes of the event loop an order waits, at most, for what sat in a
# connection's socket to be read before the connection is judged.
SETTLE_PASSES = 4


class PushedMessages:
    """Messages the exchange sent of its own accord: shown through ``say``, the first few; counted."""

    def __init__(self, say: Callable[[str], None]) -> None:
        self._say = say
        self.count = 0

    def saw(self, message: Any, *, waiting: bool = True) -> None:
        self.count += 1
        if self.count <= PUSHED_SHOWN:
            more = " (further ones are counted, not shown)" if self.count == PUSHED_SHOWN else ""
            where = "a waiting connection" if waiting else "an order's connection"
            self._say(f"the exchange sent a message on {where}: {short(message)}{more}")


async def settled_open(conn: Any) -> bool:
    """Whether ``conn`` can carry an order, once the loop has read what sat in its socket.

    While the module polled, the loop read nothing: a close (or a message)
    may still sit in the socket.  Let the loop read it, and the reader take
    it, then judge the connection by its state, not by the bytes.
    """
    passes = 0
    while passes < SETTLE_PASSES and readable(conn):
        await asyncio.sleep(0)
        passes += 1
    if passes:
        await asyncio.sleep(0)  # and let the reader route what was read
    return is_open(conn)
