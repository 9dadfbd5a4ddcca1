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
from typing import Any, Callable, Optional

from quorvane_host.net.connection import is_open, readable, short

__all__ = ["PUSHED_SHOWN", "LoopWatch", "PushedMessages", "settled_open"]

# Pushed messages shown one by one; later ones are only counted.
PUSHED_SHOWN = 3
# Passes of the event loop an order waits, at most, for what sat in a
# connection's socket to be read before the connection is judged.
SETTLE_PASSES = 4
# The watch's beat, and how recent a beat must be for the loop to count as running.
BEAT_S = 0.01
RUNNING_S = 0.02


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


class LoopWatch:
    """Whether the event loop has been running lately, by a beat it keeps while it runs.

    Every pass of a running loop reads what arrived on every socket: then a
    connection's state is already known.  Only a stretch in which the loop
    did not run (the module's polling before its first order) can leave
    bytes unread, and that stretch stops the beat.
    """

    def __init__(self) -> None:
        self._beat = self._since = float("-inf")
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._handle: Optional[asyncio.TimerHandle] = None

    def start(self) -> None:
        """Keep the beat from the next pass of the running loop on (the first judgement looks at the socket)."""
        if self._handle is None:
            self._loop = asyncio.get_running_loop()
            self._handle = self._loop.call_soon(self._tick)

    def stop(self) -> None:
        if self._handle is not None:
            self._handle.cancel()
            self._handle = None

    def _tick(self) -> None:
        assert self._loop is not None
        now = self._loop.time()
        if now - self._beat >= RUNNING_S:  # the loop was held: what it holds unread takes passes to read
            self._since = now
        self._beat = now
        self._handle = self._loop.call_later(BEAT_S, self._tick)

    def caught_up(self) -> None:
        """The loop has just run passes that read every socket (an order's reply came through it):
        running from now, whatever stop came before."""
        if self._loop is not None and self._handle is not None:
            now = self._loop.time()
            self._beat, self._since = now, min(self._since, now - BEAT_S)

    def running(self) -> bool:
        """True when the loop has run without a stop for a whole beat, and beats still."""
        if self._loop is None or self._handle is None:
            return False
        return self._loop.time() - self._beat < RUNNING_S and self._beat - self._since >= BEAT_S


async def settled_open(conn: Any, watch: Optional[LoopWatch] = None) -> bool:
    """Whether ``conn`` can carry an order, once the loop has read what sat in its socket.

    While the module polled, the loop read nothing: a close (or a message)
    may still sit in the socket.  Let the loop read it, and the reader take
    it, then judge the connection by its state, not by the bytes.  While
    ``watch`` says the loop has been running, its state is known already:
    no look at the socket (a system call) on the order path.
    """
    if watch is not None and watch.running():
        return is_open(conn)
    passes = 0
    while passes < SETTLE_PASSES and readable(conn):
        await asyncio.sleep(0)
        passes += 1
    if passes:
        await asyncio.sleep(0)  # and let the reader route what was read
    return is_open(conn)
