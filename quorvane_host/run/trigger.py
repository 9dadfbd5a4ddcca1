"""The third phase: ``listen_for_trades`` under the stop rule.

The module never stops by itself; the gate it connects through
(:mod:`quorvane_host.orders.gate`) refuses the next connection once the stop
rule is met, and the failure ends the trigger.  The time limit counts from
the real opening, by the exchange's clock; an order still in flight then
gets ``--grace`` seconds before it is cancelled.
"""

from __future__ import annotations

import asyncio
import gc
import time
from typing import Any

from quorvane_host.net.faults import describe_fault
from quorvane_host.net.pool import ConnectionLimit
from quorvane_host.orders.gate import StopOrdering
from quorvane_host.run.console_link import ConsoleLink
from quorvane_host.run.state import RunState

__all__ = ["drive", "enter"]


async def enter(state: RunState, link: ConsoleLink, module: Any, fire_local: float) -> None:
    """Drive the module from just before it fires, with the garbage collector held off."""
    # A full collection of the host's objects takes milliseconds: none may
    # start between the module's firing and its order leaving (the request
    # loop that keeps the way warm enables it again).
    gc.disable()
    state.entered_left_ms = fire_local - time.time() * 1000
    await drive(state, link, module)


async def drive(state: RunState, link: ConsoleLink, module: Any) -> None:
    """Await the trigger until the stop rule ends it; note how it ended in ``state``."""
    plan, gate = state.plan, state.gate
    loop = asyncio.get_running_loop()
    task = loop.create_task(module.listen_for_trades(
        plan.api_key, plan.secret, plan.symbol, plan.quantity, state.firing.module_open_ms))

    def cancel_in_flight() -> None:
        if not task.done():
            state.timed_out_in_flight = True
            task.cancel()

    def deadline() -> None:
        gate.stop(f"time limit of {plan.time_limit:g} s after the opening (--time-limit)")
        link.host_line("time limit reached: no further orders")
        loop.call_later(plan.grace, cancel_in_flight)

    # From the real opening, by the exchange's clock: not from the opening
    # time the module was given, nor from the host's start.
    limit_at = state.local_ms(plan.open_ms) / 1000 + plan.time_limit
    handle = loop.call_later(max(0.0, limit_at - time.time()), deadline)
    try:
        await task
    except StopOrdering:
        pass
    except ConnectionLimit as exc:  # a stop rule of its own, not a failure
        gate.stop(f"{exc} (--max-new-connections {plan.max_new_per_minute})")
    except asyncio.CancelledError:
        if not task.cancelled():
            raise
    except Exception as exc:  # the order or the trigger failed
        state.error = describe_fault(exc)
    finally:
        handle.cancel()
