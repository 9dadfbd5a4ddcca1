"""The cap on new connections per minute (exchanges limit them per address).

Pure: the time is passed in.  Past the cap the pool stops refilling, and an
order that finds no ready connection fails with :class:`ConnectionLimit`
instead of opening one.
"""

from __future__ import annotations

import collections
from typing import Deque, Optional

__all__ = ["ConnectionLimit", "NewConnectionCap"]


class ConnectionLimit(Exception):
    """The cap on new connections per minute was reached."""


class NewConnectionCap:
    """At most ``per_minute`` connections opened in any 60 seconds (None: no cap)."""

    def __init__(self, per_minute: Optional[int]) -> None:
        self.per_minute = per_minute
        self._opened_at: Deque[float] = collections.deque()

    def allowance(self, now_s: float) -> int:
        """How many connections may be opened at ``now_s`` (monotonic seconds)."""
        if self.per_minute is None:
            return 1 << 30
        while self._opened_at and now_s - self._opened_at[0] >= 60.0:
            self._opened_at.popleft()
        return self.per_minute - len(self._opened_at)

    def take(self, now_s: float) -> None:
        """One connection opened now; ConnectionLimit when the cap is reached."""
        if self.allowance(now_s) <= 0:
            raise ConnectionLimit(f"{self.per_minute} new connections in the last minute: the cap is reached")
        self._opened_at.append(now_s)
