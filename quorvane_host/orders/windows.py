"""One of the exchange's stated limits, counted: how much of it is used, and when one more fits.

Pure arithmetic over times passed in (this machine's ms; no clock reads),
shared by the order pace (:mod:`quorvane_host.orders.pace`) and the request
budget (:mod:`quorvane_host.orders.weights`).

The exchange counts in windows fixed on its own clock, whose alignment
with ours we cannot see.  Two counts, each in constant space and constant
time per call, are kept per limit, and a send is allowed only when both
leave room:

* **Ours**, over a window that slides over this machine's send times, a
  little longer than the exchange's (:data:`WINDOW_MARGIN`, plus
  :data:`WINDOW_SLACK_MS` for the jitter between our sends and their
  arrivals): an exchange window, wherever it starts, then never holds more
  of ours than the slide does.  The sends are kept in at most
  :data:`BUCKETS` + 2 buckets, each leaving the window when its latest
  send does: a day's count of 100,000 costs no more than a second's 10.
* **The exchange's own**, as its latest reply states it (``count``):
  that reply's window holds that many, sends of other clients and earlier
  runs included, plus every send of ours since, and those still on their
  way when it was written (:class:`InFlight`), until the window has surely
  ended (one slide from the reply).  A newer statement replaces it.
"""

from __future__ import annotations

import collections
from dataclasses import dataclass
from typing import Any, Deque, List, Optional, Protocol, Tuple

__all__ = ["BUCKETS", "INTERVAL_MS", "InFlight", "Limit", "StatedLimit", "WINDOW_MARGIN", "WINDOW_SLACK_MS",
           "WindowCount", "slide_ms", "stated_limits"]

WINDOW_MARGIN = 1.05  # slide over a window this much longer than the exchange's ...
WINDOW_SLACK_MS = 10.0  # ... plus this, for the jitter between our sends and their arrivals
IN_FLIGHT_MS = 2000.0  # a send this recent, whose reply has not come, may be missing from a stated count
IN_FLIGHT_KEPT = 64  # at most this many sends are kept waiting for their replies
BUCKETS = 50  # sends within one fiftieth of the slide share a bucket (held until its latest leaves)
INTERVAL_MS = {"SECOND": 1000, "MINUTE": 60_000, "HOUR": 3_600_000, "DAY": 86_400_000}


class StatedLimit(Protocol):
    """A limit as a reply states it (:class:`Limit`, or the order limits read with the reply)."""

    @property
    def interval_ms(self) -> float: ...

    @property
    def limit(self) -> int: ...

    @property
    def count(self) -> int: ...


@dataclass(frozen=True)
class Limit:
    """One of the exchange's limits: ``limit`` per ``interval_ms``, ``count`` of it used."""

    interval_ms: float
    limit: int
    count: int = 0


def slide_ms(interval_ms: float) -> float:
    """The window we count over, for an exchange window of ``interval_ms``."""
    return interval_ms * WINDOW_MARGIN + WINDOW_SLACK_MS


def _int(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def stated_limits(data: Any, kind: str) -> List[Limit]:
    """The limits of type ``kind`` (``ORDERS``, ``REQUEST_WEIGHT``) a reply states in ``rateLimits``."""
    items = data.get("rateLimits") if isinstance(data, dict) else None
    out: List[Limit] = []
    for item in items if isinstance(items, list) else ():
        if not isinstance(item, dict) or item.get("rateLimitType") != kind:
            continue
        interval = item.get("interval")
        unit = INTERVAL_MS.get(interval) if isinstance(interval, str) else None
        num, limit = _int(item.get("intervalNum")), _int(item.get("limit"))
        if unit is None or num is None or num < 1 or limit is None or limit < 1:
            continue
        out.append(Limit(unit * num, limit, max(0, _int(item.get("count")) or 0)))
    return out


class InFlight:
    """Our sends that a reply's count may lack: sent recently, and not yet answered.

    A reply is taken to answer the oldest send still waiting; the others
    may have left after the exchange wrote it.  A send whose reply never
    comes is forgotten once it is no longer recent.
    """

    def __init__(self) -> None:
        self._waiting: Deque[Tuple[float, int]] = collections.deque()  # (sent at, weight), oldest first
        self._weight = 0  # of those waiting, kept as they come and go: read after every reply

    def sent(self, at_ms: float, n: int = 1) -> None:
        if len(self._waiting) >= IN_FLIGHT_KEPT:
            self._weight -= self._waiting.popleft()[1]
        self._waiting.append((at_ms, n))
        self._weight += n

    def answered(self, at_ms: float, sent_ms: Optional[float] = None) -> int:
        """A reply came at ``at_ms`` (to the send made at ``sent_ms``, when known): how much of ours
        its count may lack."""
        waiting = self._waiting
        stale = at_ms - IN_FLIGHT_MS
        while waiting and waiting[0][0] <= stale:
            self._weight -= waiting.popleft()[1]
        if not waiting:
            return 0
        mine = waiting[0]  # the oldest: nearly always its own, one order at a time
        if sent_ms is not None and mine[0] != sent_ms:
            # Its own when still waiting (a send whose reply never comes stays counted as unseen).
            mine = next((item for item in waiting if item[0] == sent_ms), mine)
        waiting.remove(mine)
        self._weight -= mine[1]
        return self._weight


class _Bucket:
    __slots__ = ("index", "count", "latest")

    def __init__(self, index: int, count: int, latest: float) -> None:
        self.index, self.count, self.latest = index, count, latest


class WindowCount:
    """One stated limit: ``allowed`` per ``interval_ms``; see the module's description."""

    def __init__(self, interval_ms: float, allowed: int) -> None:
        self.interval_ms = interval_ms
        self.allowed = allowed
        self.slide = slide_ms(interval_ms)
        self._width = self.slide / BUCKETS
        self._buckets: Deque[_Bucket] = collections.deque()
        self._stated: Optional[int] = None  # the exchange's count at its latest reply ...
        self._stated_until = 0.0  # ... which holds until then
        self._since_stated = 0  # our sends since that reply

    def __len__(self) -> int:
        """The buckets held (never more than :data:`BUCKETS` + 2)."""
        return len(self._buckets)

    def add(self, at_ms: float, n: int = 1) -> None:
        """``n`` sent at ``at_ms`` (sends come in the order they left, or nearly)."""
        self._expire(at_ms)
        index = int(at_ms // self._width)
        last = self._buckets[-1] if self._buckets else None
        if last is not None and last.index >= index:
            last.count += n
            last.latest = max(last.latest, at_ms)
        else:
            self._buckets.append(_Bucket(index, n, at_ms))
        if self._stated is not None:
            self._since_stated += n  # sent before the reply came, or after: the count may lack it

    def state(self, allowed: int, count: int, at_ms: float, unseen: int = 0) -> None:
        """A reply received at ``at_ms`` states the limit and the exchange's count of it.

        ``unseen``: our sends that may have left after the exchange wrote it.
        """
        self.allowed = allowed
        self._stated, self._stated_until, self._since_stated = count, at_ms + self.slide, unseen

    def used(self, at_ms: float) -> int:
        """How much of the limit counts as used at ``at_ms``."""
        ours = sum(b.count for b in self._buckets if b.latest > at_ms - self.slide)
        stated = self._stated + self._since_stated if self._stated is not None and at_ms < self._stated_until else 0
        return max(ours, stated)

    def left(self, at_ms: float) -> int:
        """How much more fits at ``at_ms`` (negative when over the limit)."""
        return self.allowed - self.used(at_ms)

    def free_at(self, at_ms: float, n: int = 1) -> float:
        """The earliest time from ``at_ms`` on at which ``n`` more fit."""
        free = at_ms
        if self._stated is not None and at_ms < self._stated_until \
                and self._stated + self._since_stated + n > self.allowed:
            free = self._stated_until  # the exchange's window has surely ended by then
        live = [b for b in self._buckets if b.latest > free - self.slide]
        excess = sum(b.count for b in live) + n - self.allowed
        for b in live:  # oldest first: wait until enough of ours have left the slide
            if excess <= 0:
                break
            excess -= b.count
            free = b.latest + self.slide
        return free

    def _expire(self, now_ms: float) -> None:
        while self._buckets and self._buckets[0].latest <= now_ms - self.slide:
            self._buckets.popleft()
