"""When the next order may leave: within the exchange's order limits, and no faster than retries need.

Pure policy (times are passed in, as this machine's ms; no clock reads):
the gate asks :meth:`Pace.next_at` before it hands the module a connection,
and waits in the event loop until then.

* The first order, and an order after one that was accepted, go at once,
  unless the limits the exchange has stated (``rateLimits`` in its
  replies) would be exceeded.
* A retry (after a refusal, an order that filled nothing, or an order that
  never left) waits one step of the retry pace: the exchange's stated order
  limit, or ``default_rate`` orders a second while it has stated none.
* A rate-limit refusal holds every order until the window it names
  (``retryAfter``) has passed, or one whole window when it names none.
* An announced opening (a refusal that says when trading opens) is aimed
  at: the next order leaves so that it arrives then, as the first did at
  the opening; only the stated limits and :data:`AIMED_GAP_MS` hold it.

The stated limits are kept over a window that slides over this machine's
send times, a little longer than the exchange's (:data:`WINDOW_MARGIN`):
an exchange counting in windows fixed on its clock then never sees more
than its limit in one, whatever the alignment and the jitter on the way.
"""

from __future__ import annotations

import collections
from typing import Deque, Dict, Iterable, Optional

from quorvane_host.orders.reply import Limit

__all__ = ["AIMED_GAP_MS", "Pace", "WINDOW_MARGIN", "start_for_arrival"]

WINDOW_MARGIN = 1.05  # slide over a window this much longer than the exchange's ...
WINDOW_SLACK_MS = 10.0  # ... plus this, for the jitter between our sends and their arrivals
AIMED_GAP_MS = 20.0  # an aimed order never follows the one before closer than this
DEFAULT_WINDOW_MS = 1000.0  # held after a rate-limit refusal that names no time


def start_for_arrival(exchange_ms: float, offset_ms: float, delay_ms: float, aim_ms: float) -> float:
    """This machine's time at which to start an order that should reach the exchange at ``exchange_ms`` + aim."""
    return exchange_ms + aim_ms - delay_ms - offset_ms


class Pace:
    """The order pace of one run; see the module's description."""

    def __init__(self, default_rate: float) -> None:
        if not default_rate > 0:
            raise ValueError("default_rate must be positive")
        self.default_gap_ms = 1000.0 / default_rate
        self.limits: Dict[float, int] = {}  # window ms -> orders allowed in it
        self._sends: Deque[float] = collections.deque()
        self._last_start: Optional[float] = None
        self.retrying = False
        self.hold_until: Optional[float] = None
        self.aim_at: Optional[float] = None

    # ---- what happened --------------------------------------------------------

    def started(self, at_ms: float) -> None:
        """An order is being handed a connection now."""
        self._last_start = at_ms
        if self.aim_at is not None and at_ms >= self.aim_at:
            self.aim_at = None

    def sent(self, at_ms: float) -> None:
        """An order's request went out (it counts against the exchange's limits)."""
        self._sends.append(at_ms)
        self._forget(at_ms)

    def learn(self, limits: Iterable[Limit], at_ms: float) -> None:
        """The order limits a reply states, with the counts the exchange has used of them.

        A count above what we sent within the window (requests we did not
        make, or counted on a window we cannot see) is taken as used now.
        """
        for limit in limits:
            self.limits[limit.interval_ms] = limit.limit
            ours = self._within(limit.interval_ms, at_ms)
            for _ in range(max(0, limit.count - ours)):
                self._sends.append(at_ms)
        self._forget(at_ms)

    def accepted(self) -> None:
        self.retrying = False

    def retry(self) -> None:
        self.retrying = True

    def hold(self, until_ms: float) -> None:
        """No order before ``until_ms`` (a rate-limit refusal's window)."""
        self.retrying = True
        self.hold_until = until_ms if self.hold_until is None else max(self.hold_until, until_ms)

    def hold_window(self, now_ms: float) -> None:
        """A rate-limit refusal that names no time: hold for the longest window known."""
        self.hold(now_ms + max(self.limits, default=DEFAULT_WINDOW_MS) * WINDOW_MARGIN + WINDOW_SLACK_MS)

    def aim(self, at_ms: float) -> None:
        """Start the next order at ``at_ms`` (an announced opening), limits allowing."""
        self.retrying = True
        self.aim_at = at_ms

    # ---- when the next may leave ----------------------------------------------

    def retry_gap_ms(self) -> float:
        """The gap between retries: the tightest stated limit spread evenly, or the default."""
        if not self.limits:
            return self.default_gap_ms
        return max(self._window(w) / n for w, n in self.limits.items())

    def next_at(self, now_ms: float) -> float:
        """The earliest time (this machine's ms) at which the next order may start."""
        at = now_ms
        if self.hold_until is not None:
            at = max(at, self.hold_until)
        if self.aim_at is not None and self.aim_at > now_ms:
            at = max(at, self.aim_at)
            if self._last_start is not None:
                at = max(at, self._last_start + AIMED_GAP_MS)
        elif self.retrying and self._last_start is not None:
            at = max(at, self._last_start + self.retry_gap_ms())
        return max(at, self._free_slot(at))

    # ---- the sliding windows ----------------------------------------------------

    @staticmethod
    def _window(interval_ms: float) -> float:
        return interval_ms * WINDOW_MARGIN + WINDOW_SLACK_MS

    def _within(self, interval_ms: float, at_ms: float) -> int:
        start = at_ms - self._window(interval_ms)
        return sum(1 for t in self._sends if t > start)

    def _free_slot(self, at_ms: float) -> float:
        """The earliest time from ``at_ms`` on at which one more send keeps every stated limit."""
        latest = at_ms
        for _ in range(len(self.limits) + 1):  # moving on for one limit may meet another
            moved = latest
            for interval_ms, allowed in self.limits.items():
                window = self._window(interval_ms)
                inside = [t for t in self._sends if t > moved - window]
                if len(inside) >= allowed:
                    # Wait until enough of them have left the window.
                    moved = max(moved, inside[len(inside) - allowed] + window)
            if moved == latest:
                break
            latest = moved
        return latest

    def _forget(self, now_ms: float) -> None:
        longest = self._window(max(self.limits, default=DEFAULT_WINDOW_MS))
        while self._sends and self._sends[0] <= now_ms - longest:
            self._sends.popleft()
