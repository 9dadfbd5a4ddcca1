"""When the next order may leave: within the exchange's order limits, and no faster than retries need.

Pure policy (times are passed in, as this machine's ms; no clock reads):
the gate asks :meth:`Pace.next_at` before it hands the module a connection,
and waits in the event loop until then.

* The first order, and an order after one that was accepted, go at once,
  unless the limits the exchange has stated (``rateLimits`` in its
  replies) would be exceeded.
* A retry (after a refusal, an order that filled nothing, or an order that
  never left) waits one step of the retry pace: the tightest of the
  exchange's short order limits (a second, ten, a minute) spread evenly,
  or ``default_rate`` orders a second while it has stated none.  An hour's
  or a day's limit only caps the total: spread over its window, it would
  hold a retry for seconds.
* A rate-limit refusal holds every order until the window it names
  (``retryAfter``) has passed, or one whole short window when it names none.
* An announced opening (a refusal that says when trading opens) is aimed
  at: the next order leaves so that it arrives then, as the first did at
  the opening; only the stated limits and :data:`AIMED_GAP_MS` hold it,
  also when that moment has already come (never the retry pace).

Each stated limit is counted on its own (:class:`~quorvane_host.orders.windows.WindowCount`):
over a window a little longer than the exchange's (:data:`WINDOW_MARGIN`),
so that an exchange counting in windows fixed on its clock never sees more
than its limit in one, whatever the alignment and the jitter on the way;
and from the exchange's own count in its latest reply.
"""

from __future__ import annotations

from typing import Dict, Iterable, Optional

from quorvane_host.orders.windows import WINDOW_MARGIN, InFlight, StatedLimit, WindowCount, slide_ms

__all__ = ["AIMED_GAP_MS", "Pace", "WINDOW_MARGIN", "start_for_arrival"]

AIMED_GAP_MS = 20.0  # an aimed order never follows the one before closer than this
DEFAULT_WINDOW_MS = 1000.0  # held after a rate-limit refusal that names no time, when no limit is stated
SHORT_INTERVAL_MS = 60_000.0  # the longest limit the retries are paced by; longer ones only cap the total


def start_for_arrival(exchange_ms: float, offset_ms: float, delay_ms: float, aim_ms: float) -> float:
    """This machine's time at which to start an order that should reach the exchange at ``exchange_ms`` + aim."""
    return exchange_ms + aim_ms - delay_ms - offset_ms


class Pace:
    """The order pace of one run; see the module's description."""

    def __init__(self, default_rate: float) -> None:
        if not default_rate > 0:
            raise ValueError("default_rate must be positive")
        self.default_gap_ms = 1000.0 / default_rate
        self._windows: Dict[float, WindowCount] = {}  # interval ms -> its count
        self._in_flight = InFlight()
        self._last_start: Optional[float] = None
        self.retrying = False
        self.hold_until: Optional[float] = None
        self.aim_at: Optional[float] = None

    @property
    def limits(self) -> Dict[float, int]:
        """The stated order limits: window ms -> orders allowed in it (empty while none is stated)."""
        return {interval: window.allowed for interval, window in self._windows.items()}

    # ---- what happened --------------------------------------------------------

    def started(self, at_ms: float) -> None:
        """An order is being handed a connection now."""
        self._last_start = at_ms
        if self.aim_at is not None and at_ms >= self.aim_at:
            self.aim_at = None

    def sent(self, at_ms: float) -> None:
        """An order's request went out (it counts against the exchange's limits)."""
        self._in_flight.sent(at_ms)
        for window in self._windows.values():
            window.add(at_ms)

    def learn(self, limits: Iterable[StatedLimit], at_ms: float) -> None:
        """The order limits a reply received at ``at_ms`` states, with the exchange's counts of them.

        Called for every order's reply, limits stated or not.  Each count
        replaces the one the previous reply stated for its limit: it
        includes our orders that had arrived, and any other client's.
        """
        unseen = self._in_flight.answered(at_ms)
        for limit in limits:
            window = self._windows.get(limit.interval_ms)
            if window is None:
                window = self._windows[limit.interval_ms] = WindowCount(limit.interval_ms, limit.limit)
            window.state(limit.limit, limit.count, at_ms, unseen)

    def accepted(self) -> None:
        self.retrying = False

    def retry(self) -> None:
        self.retrying = True

    def hold(self, until_ms: float) -> None:
        """No order before ``until_ms`` (a rate-limit refusal's window)."""
        self.retrying = True
        self.hold_until = until_ms if self.hold_until is None else max(self.hold_until, until_ms)

    def hold_window(self, now_ms: float) -> None:
        """A rate-limit refusal that names no time: hold for the longest short window known.

        A full day's or hour's limit holds the orders by its own count, not
        by this guess: holding for its whole window would end the run.
        """
        self.hold(now_ms + slide_ms(max(self._short_limits(), default=DEFAULT_WINDOW_MS)))

    def aim(self, at_ms: float) -> None:
        """Start the next order at ``at_ms`` (an announced opening), limits allowing."""
        self.retrying = True
        self.aim_at = at_ms

    # ---- when the next may leave ----------------------------------------------

    def retry_gap_ms(self) -> float:
        """The gap between retries: the tightest short limit spread evenly, or the default."""
        short = self._short_limits()
        if not short:
            return self.default_gap_ms
        return max(slide_ms(interval) / allowed for interval, allowed in short.items())

    def next_at(self, now_ms: float) -> float:
        """The earliest time (this machine's ms) at which the next order may start."""
        at = now_ms
        if self.hold_until is not None:
            at = max(at, self.hold_until)
        if self.aim_at is not None:
            # Aimed, also when the moment has come already: the retry pace does not apply.
            at = max(at, self.aim_at)
            if self._last_start is not None:
                at = max(at, self._last_start + AIMED_GAP_MS)
        elif self.retrying and self._last_start is not None:
            at = max(at, self._last_start + self.retry_gap_ms())
        # Use only falls as time passes: a time that fits one limit still fits it later.
        for window in self._windows.values():
            at = window.free_at(at)
        return at

    def _short_limits(self) -> Dict[float, int]:
        return {interval: allowed for interval, allowed in self.limits.items() if interval <= SHORT_INTERVAL_MS}
