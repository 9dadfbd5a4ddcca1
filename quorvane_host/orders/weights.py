"""The exchange's request-weight budget: how many requests the host may still send.

Pure bookkeeping (times are passed in, as this machine's ms): any reply's
``rateLimits`` of type ``REQUEST_WEIGHT`` state the limits and the
exchange's count of them (:meth:`RequestBudget.learn`), every request the
host sends is spent against them (:meth:`RequestBudget.spend`), and the
clock measurement asks how many it may use
(:meth:`RequestBudget.measuring_allowance`): at most half of what is
left, so that the orders and the queries after them always find room.
Each limit is counted on its own, as :mod:`quorvane_host.orders.windows`
describes.

A request is spent at its method's weight (:data:`WEIGHTS`): an order
query costs several times an order.  These are defaults, on the high side;
the count the exchange states in each reply replaces what was spent.
"""

from __future__ import annotations

import collections
from typing import Any, Deque, Dict, Optional

from quorvane_host.orders.windows import InFlight, WindowCount, stated_limits

__all__ = ["RequestBudget", "WEIGHTS", "weight_of"]

REQUEST_WEIGHT = "REQUEST_WEIGHT"
# What each request the host sends costs of the request weight, until the
# exchange's own count says otherwise.
WEIGHTS = {"order.place": 1, "time": 1, "ping": 1, "order.status": 4, "allOrders": 20}


# Requests remembered, so that a count that came late is read with what was sent since it.
SPENT_KEPT_MS = 60_000.0


def weight_of(method: str) -> int:
    return WEIGHTS.get(method, 1)


class RequestBudget:
    """The request-weight limits of one run, as the exchange has stated them."""

    def __init__(self) -> None:
        self._windows: Dict[float, WindowCount] = {}  # interval ms -> its count
        self._in_flight = InFlight()
        self._stated_sent = float("-inf")  # when the request whose reply's count was taken last was sent
        # What was spent in all, and after each recent request: a count read with what was sent since.
        self._total = 0
        self._total_after: Dict[float, int] = {}
        self._spent: Deque[float] = collections.deque()

    def learn(self, data: Any, now_ms: float, sent_ms: Optional[float] = None) -> None:
        """A reply (parsed JSON) received at ``now_ms``: the weight limits it states, if any.

        Called for every reply to a request spent here, limits stated or not;
        ``sent_ms``: when its request was spent, when known.  A count is as
        old as the request it answers: it may lack everything spent since
        (a reply that came late lacks much).  A count older than the one
        already taken replaces nothing, but still tells a limit not known yet.
        """
        unseen = self._in_flight.answered(now_ms, sent_ms)
        stale = False
        if sent_ms is not None:
            unseen = max(unseen, self._total - self._total_after.get(sent_ms, self._total))
            stale = sent_ms < self._stated_sent
            if not stale:
                self._stated_sent = sent_ms
        for limit in stated_limits(data, REQUEST_WEIGHT):
            window = self._windows.get(limit.interval_ms)
            if window is None:
                window = self._windows[limit.interval_ms] = WindowCount(limit.interval_ms, limit.limit)
            elif stale:
                continue
            window.state(limit.limit, limit.count, now_ms, unseen)

    def spend(self, now_ms: float, weight: int = 1) -> None:
        """A request of ``weight`` the host sent at ``now_ms``."""
        self._in_flight.sent(now_ms, weight)
        self._total += weight
        self._total_after[now_ms] = self._total
        self._spent.append(now_ms)
        while self._spent[0] < now_ms - SPENT_KEPT_MS:
            self._total_after.pop(self._spent.popleft(), None)
        for window in self._windows.values():
            window.add(now_ms, weight)

    def affords(self, now_ms: float, weight: int) -> bool:
        """Whether a request of ``weight`` fits now; one heavier than a whole limit fits an empty window."""
        for window in self._windows.values():
            if window.left(now_ms) < min(weight, window.allowed):
                return False
        return True

    def remaining(self, now_ms: float) -> Optional[int]:
        """Requests left in the tightest window at ``now_ms`` (never below 0); None when no limit is known."""
        if not self._windows:
            return None
        return max(0, min(window.left(now_ms) for window in self._windows.values()))

    def measuring_allowance(self, now_ms: float) -> Optional[int]:
        """How many requests the clock measurement may send now: half of what is left; None when no limit is known."""
        left = self.remaining(now_ms)
        return None if left is None else left // 2
