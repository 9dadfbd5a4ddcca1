"""When the module should fire so that its first order arrives at the opening.

``listen_for_trades`` starts its first order on the first pass that finds
fewer than 100 ms left before the opening time it was given, by the clock
it reads.  Over a warm connection the order then takes ``delay`` (half the
round trip) plus the time this process needs to build and send it before it
reaches the exchange.  Given the opening unchanged, the order would arrive
up to 100 ms early and be refused.  So the host gives the module an opening
time moved by the difference, and the arrival lands at the opening plus a
small margin (``aim``) that covers the jitter of the way there.

The module reads whole milliseconds and fires at the first whole
millisecond that leaves less than 100; the fraction of a millisecond that
the moved opening time cannot carry goes into its clock instead, which
therefore runs up to 1 ms ahead of the estimate of the exchange's clock
(far inside the exchange's receive window).
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass

__all__ = ["THRESHOLD_MS", "SEND_MS", "Firing", "plan_firing"]

THRESHOLD_MS = 100  # the module fires on the first pass with fewer ms than this left
# From the pass that fires to the order's bytes leaving this process: the
# order's body (signing, id, JSON) and the connection's send, measured at
# 0.1-0.3 ms with the general paths that a rebound clock makes the module take.
SEND_MS = 0.2


@dataclass(frozen=True)
class Firing:
    """What the module gets, and what the host expects of it (ms; exchange clock unless said)."""

    open_ms: int  # the real opening
    module_open_ms: int  # the opening time given to listen_for_trades
    clock_offset_ms: float  # what the module's clock adds to this machine's clock
    fire_at_ms: float  # when the module should start its first order
    arrive_at_ms: float  # when that order should reach the exchange

    @property
    def shift_ms(self) -> int:
        """How much later the module's opening is than the real one."""
        return self.module_open_ms - self.open_ms

    def to_dict(self) -> dict:
        return dict(asdict(self), shift_ms=self.shift_ms)


def plan_firing(open_ms: int, offset_ms: float, *, delay_ms: float = 0.0, aim_ms: float = 0.0,
                send_ms: float = SEND_MS, compensate: bool = True) -> Firing:
    """The opening time and the clock offset to give the module.

    ``offset_ms``: the exchange's clock minus this machine's.  ``delay_ms``:
    from sending to arrival.  ``aim_ms``: the arrival wanted, relative to the
    opening.  Without ``compensate`` the module gets the opening unchanged
    and fires up to 100 ms before it.
    """
    if not compensate:
        fire_at = float(open_ms - (THRESHOLD_MS - 1))
        return Firing(open_ms, open_ms, offset_ms, fire_at, fire_at + send_ms + delay_ms)
    fire_at = open_ms + aim_ms - delay_ms - send_ms
    boundary = math.ceil(fire_at)  # the whole ms at which the module's clock must read fire_at
    return Firing(
        open_ms=open_ms,
        module_open_ms=boundary + THRESHOLD_MS - 1,
        clock_offset_ms=offset_ms + (boundary - fire_at),
        fire_at_ms=fire_at,
        arrive_at_ms=open_ms + aim_ms,
    )
