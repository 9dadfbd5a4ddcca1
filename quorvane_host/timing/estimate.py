"""The exchange's clock, estimated from server-time samples: plain arithmetic, no I/O.

Per sample, the offset is the server time minus the midpoint between
sending the request and receiving the reply: exact when the request and the
reply take equally long.  Samples with a long round trip were delayed on
the way (queues, a busy machine) and their midpoint says little, so the
estimate is the median over the fastest quarter of the samples.  The
samples come from :mod:`quorvane_host.timing.measure`.
"""

from __future__ import annotations

import math
import statistics
from dataclasses import asdict, dataclass
from typing import Sequence

from quorvane_host.words import plural

__all__ = ["TRUNCATION_MS", "ClockEstimate", "Sample", "estimate", "estimate_rtt_only"]

# The exchange's serverTime is a whole millisecond, cut off; its reading lay
# anywhere in the following millisecond, on average half a millisecond later.
TRUNCATION_MS = 0.5


@dataclass(frozen=True)
class Sample:
    """One server-time request: when it left (this machine's clock), its round trip, the answer."""

    sent_ms: float  # this machine's wall clock when the request was sent, ms since the epoch
    rtt_ms: float  # from sending to receiving the reply (monotonic clock)
    server_ms: int  # the exchange's serverTime

    @property
    def offset_ms(self) -> float:
        """Exchange clock minus this machine's clock, as this sample sees it."""
        return self.server_ms + TRUNCATION_MS - (self.sent_ms + self.rtt_ms / 2)

    @property
    def lead_ms(self) -> float:
        """Exchange time at the request's arrival minus this machine's time at sending."""
        return self.server_ms + TRUNCATION_MS - self.sent_ms


@dataclass(frozen=True)
class ClockEstimate:
    """What the samples say about the exchange's clock and the way to it (all in ms).

    ``offset_ms``: exchange clock minus this machine's clock.
    ``delay_ms``: how long a request takes to reach the exchange, by that
    offset (half the median round trip of the fastest samples).
    ``jitter_ms``: how much the requests' arrivals strayed from that
    prediction, either way (half the spread of the middle 80 per cent).
    ``early_ms``: how much earlier than predicted a request arrived at most
    (at least the half millisecond that the server time's resolution
    leaves open): what an order aimed at the opening must allow for not to
    arrive before it.
    """

    offset_ms: float
    rtt_min_ms: float
    rtt_median_ms: float
    delay_ms: float
    jitter_ms: float
    early_ms: float
    samples: int
    used: int

    def to_dict(self) -> dict:
        return asdict(self)

    def describe(self) -> str:
        ahead = "ahead of" if self.offset_ms >= 0 else "behind"
        return (f"the exchange's clock is {abs(self.offset_ms):.1f} ms {ahead} this machine's; "
                f"round trip {self.rtt_min_ms:.1f} ms at best, {self.rtt_median_ms:.1f} ms typical; "
                f"jitter {self.jitter_ms:.1f} ms ({plural(self.samples, 'sample')})")


def _quantile(sorted_values: Sequence[float], q: float) -> float:
    """Linear-interpolation quantile of values already sorted."""
    if len(sorted_values) == 1:
        return sorted_values[0]
    at = q * (len(sorted_values) - 1)
    low = math.floor(at)
    high = min(low + 1, len(sorted_values) - 1)
    return sorted_values[low] + (sorted_values[high] - sorted_values[low]) * (at - low)


def estimate(samples: Sequence[Sample], *, fraction: float = 0.25, min_used: int = 3) -> ClockEstimate:
    """The offset and the delays from ``samples`` (at least one).

    The offset is the median offset of the fastest ``fraction`` of the
    samples (at least ``min_used`` of them), the delay half their median
    round trip.  Each sample's request arrived at its send time plus
    offset plus delay, give or take its residual: the jitter and the early
    margin come from those residuals.
    """
    if not samples:
        raise ValueError("no samples")
    by_rtt = sorted(samples, key=lambda s: s.rtt_ms)
    used = by_rtt[: min(len(by_rtt), max(min_used, math.ceil(len(by_rtt) * fraction)))]
    offset = statistics.median(s.offset_ms for s in used)
    delay = statistics.median(s.rtt_ms for s in used) / 2
    residuals = sorted(s.lead_ms - offset - delay for s in by_rtt)
    return ClockEstimate(
        offset_ms=offset,
        rtt_min_ms=by_rtt[0].rtt_ms,
        rtt_median_ms=statistics.median(s.rtt_ms for s in by_rtt),
        delay_ms=delay,
        jitter_ms=max(TRUNCATION_MS, (_quantile(residuals, 0.9) - _quantile(residuals, 0.1)) / 2),
        early_ms=max(TRUNCATION_MS, -residuals[0]),
        samples=len(samples),
        used=len(used),
    )


def estimate_rtt_only(rtts_ms: Sequence[float]) -> ClockEstimate:
    """Round trips without server times (WebSocket pings): offset 0, delay and jitter from the spread."""
    if not rtts_ms:
        raise ValueError("no round trips")
    rtts = sorted(rtts_ms)
    used = rtts[: max(1, math.ceil(len(rtts) / 4))]
    delay = statistics.median(used) / 2
    jitter = max(TRUNCATION_MS, (_quantile(rtts, 0.9) - _quantile(rtts, 0.1)) / 4)
    return ClockEstimate(offset_ms=0.0, rtt_min_ms=rtts[0], rtt_median_ms=statistics.median(rtts),
                         delay_ms=delay, jitter_ms=jitter, early_ms=max(TRUNCATION_MS, delay - rtts[0] / 2),
                         samples=len(rtts), used=len(used))
