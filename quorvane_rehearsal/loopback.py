"""The loopback exchange that ``quorvane-host --exchange loopback`` rehearses against.

It runs in a process of its own (:class:`~quorvane_rehearsal.network.RehearsalNetwork`,
without a relay): the module holds its thread while it polls, and an
exchange served from the host's own process would wait on it.
"""

from __future__ import annotations

from quorvane_host.cli.plan import Plan
from quorvane_host.cli.times import current_ms
from quorvane_rehearsal.exchange import Symbol
from quorvane_rehearsal.network import RehearsalNetwork

__all__ = ["start_loopback"]


def start_loopback(plan: Plan) -> RehearsalNetwork:
    """Started and listening: the plan's keys as its one account, the plan's symbol listed."""
    lifetime = (plan.open_ms - current_ms()) / 1000 + plan.time_limit + plan.grace + 60
    return RehearsalNetwork({plan.api_key: plan.secret},
                            [Symbol(plan.symbol.upper(), plan.open_ms, step=plan.loopback_step)],
                            lifetime=lifetime).start()
