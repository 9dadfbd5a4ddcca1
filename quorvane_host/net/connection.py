"""Small facts about one WebSocket connection, read without waiting on it.

The module's polling holds the thread, so the event loop may not have read
what arrived on a connection for a while: these look at the socket and at
websockets' own state directly.
"""

from __future__ import annotations

import asyncio
import select
from typing import Any, Iterable, List

from websockets.protocol import State

__all__ = ["abort_connection", "is_open", "readable", "short", "silent_ones"]

# Read once: a member read through its Enum class is a call to the class's
# ``__getattr__``, and ``is_open`` runs twice per order.
_OPEN = State.OPEN


def abort_connection(conn: Any) -> None:
    """Drop ``conn``'s transport at once (no closing handshake); None and closed ones are fine."""
    transport = getattr(conn, "transport", None)
    if transport is not None:
        try:
            transport.abort()
        except (AttributeError, OSError, RuntimeError):  # already gone, or the loop has closed
            pass


def is_open(conn: Any) -> bool:
    """True while ``conn`` can carry an order: open, and its transport not closing.

    A :class:`~quorvane_host.net.channel.Channel` is open while its reader runs, too.
    """
    if getattr(conn, "closed", False) is True:
        return False
    try:
        return conn.protocol.state is _OPEN and not conn.transport.is_closing()
    except AttributeError:
        return False


def readable(conn: Any) -> bool:
    """True when bytes wait in ``conn``'s socket that the event loop has not read yet."""
    try:
        sock = conn.transport.get_extra_info("socket")
        if sock is None:
            return False
        ready, _, _ = select.select([sock.fileno()], [], [], 0)
        return bool(ready)
    except (AttributeError, OSError, ValueError):
        return False


def short(message: Any, limit: int = 100) -> str:
    """A message cut to ``limit`` characters, for one console line."""
    text = message if isinstance(message, str) else repr(message)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


async def _answers_ping(conn: Any) -> None:
    pong = await conn.ping()
    await pong


async def silent_ones(conns: Iterable[Any], timeout: float) -> List[Any]:
    """The connections of ``conns`` that answer no WebSocket ping within ``timeout`` s."""
    pings = {conn: asyncio.ensure_future(_answers_ping(conn)) for conn in conns}
    if not pings:
        return []
    try:
        _, pending = await asyncio.wait(set(pings.values()), timeout=timeout)
    finally:
        for task in pings.values():
            task.cancel()
    return [conn for conn, task in pings.items()
            if task in pending or task.cancelled() or task.exception() is not None]
