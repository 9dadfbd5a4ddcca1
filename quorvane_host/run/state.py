"""What one run learns on its way, phase by phase, and what its report reads."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

from quorvane_host.cli.plan import Plan
from quorvane_host.orders.gate import Gate
from quorvane_host.orders.observer import Observer
from quorvane_host.orders.weights import RequestBudget
from quorvane_host.timing.estimate import ClockEstimate
from quorvane_host.timing.firing import Firing

__all__ = ["RunState"]


@dataclass
class RunState:
    """The state that crosses the run's phases (prepare, approach, trigger, finish)."""

    plan: Plan
    gate: Gate
    observer: Observer
    # the exchange's request-weight limits: what every request sent spends, what every reply teaches
    budget: RequestBudget = field(default_factory=RequestBudget)
    # prepare: the clock as measured at start-up; approach: the last look's figures
    clock_at_start: Optional[ClockEstimate] = None
    clock: Optional[ClockEstimate] = None
    # approach: when the module fires, and the warm connections' figures once closed
    firing: Optional[Firing] = None
    # from just before the firing until the first order has left (run.window.FiringWindow)
    firing_window: Any = None
    pool_stats: Optional[dict] = None
    # trigger: how long before firing the module was entered, and how it ended
    entered_left_ms: Optional[float] = None
    error: Optional[str] = None
    timed_out_in_flight: bool = False
    reentries: int = 0  # times the trigger was entered again after an order that never left
    # the console's file, and what it counted of the module's lines
    log_path: Optional[str] = None
    console_record: dict = field(default_factory=dict)
    # a rehearsal exchange's own account of the orders (None against a real one)
    exchange_report: Optional[dict] = None

    def offset_ms(self) -> float:
        """The exchange's clock minus this machine's, as last measured (0 before)."""
        return self.clock.offset_ms if self.clock else 0.0

    def local_ms(self, exchange_ms: float) -> float:
        """This machine's time at which the exchange's clock reads ``exchange_ms``."""
        return exchange_ms - self.offset_ms()
