"""The third phase: ``listen_for_trades`` under the stop rule.

The module never stops by itself; the gate it connects through
(:mod:`quorvane_host.orders.gate`) refuses the next connection once the stop
rule is met, and the failure ends the trigger.  The time limit counts from
the real opening, by the exchange's clock; an order still in flight then
gets ``--grace`` seconds before it is cancelled.

An order that never left (no connection, a TLS handshake or an upgrade that
failed) ends the module's trigger too: it raises out of
``listen_for_trades``.  Nothing was sent, so the trigger is entered again
while the stop rule allows; the gate holds each new try at the retry pace,
so a connection that keeps failing is not tried in a tight loop.  So is an
order the pace holds for longer than a signed request may wait: it goes back
unsent (:class:`~quorvane_host.orders.gate.HeldBack`), and the trigger waits
and enters the module again just before its time.  The cap on
new connections is part of the stop rule: reaching it stops the run.

An order whose outcome is unknown (its reply lost, or not final) holds
every further order while it may have bought: the trigger then asks the
exchange (:mod:`quorvane_host.orders.asking`) until the ledger settles it,
and goes on ordering only if it bought nothing.  Without the queries
(``--no-order-query``) such an order stops the run.  An outcome still
unknown when the orders stop is asked about until the time limit and its
grace are over.
"""

from __future__ import annotations

import asyncio
import gc
import time
from typing import Any, Optional

from quorvane_host.net.faults import describe_fault
from quorvane_host.net.cap import ConnectionLimit
from quorvane_host.orders.asking import OrderQueries
from quorvane_host.orders.fate import NEVER_CONNECTED, NEVER_SENT
from quorvane_host.orders.gate import Gate, HeldBack, StopOrdering
from quorvane_host.run.console_link import ConsoleLink
from quorvane_host.run.state import RunState

__all__ = ["drive", "enter", "never_left"]

# Enter the module this long before the pace lets an order go: the module
# signs and asks for a connection at once, and the gate holds it the rest.
REENTER_BEFORE_MS = 30.0


async def enter(state: RunState, link: ConsoleLink, module: Any, fire_local: float,
                queries: Optional[OrderQueries] = None) -> None:
    """Drive the module from just before it fires, with the garbage collector held off."""
    # A full collection of the host's objects takes milliseconds: none may
    # start between the module's firing and its order leaving (the request
    # loop that keeps the way warm enables it again).
    gc.disable()
    state.entered_left_ms = fire_local - time.time() * 1000
    await drive(state, link, module, queries)


def never_left(gate: Gate, orders_before: int) -> bool:
    """True when the trigger ended on an order that was never sent, and nothing stops the run."""
    if gate.stop_reason is not None or len(gate.orders) <= orders_before:
        return False
    return gate.orders[-1].fate in (NEVER_SENT, NEVER_CONNECTED) and not gate.orders[-1].sent


def _may_go_on(gate: Gate) -> bool:
    """True when nothing stops the orders: no stop reason, and no order that may have bought in the way."""
    return gate.stop_reason is None and gate.ledger.blocked() is None


async def drive(state: RunState, link: ConsoleLink, module: Any, queries: Optional[OrderQueries] = None) -> None:
    """Await the trigger until the stop rule ends it; note how it ended in ``state``."""
    plan, gate = state.plan, state.gate
    gate.can_ask = queries is not None
    loop = asyncio.get_running_loop()
    task: Optional[asyncio.Task] = None

    def cancel_in_flight() -> None:
        if task is not None and not task.done():
            state.timed_out_in_flight = True
            task.cancel()

    def deadline() -> None:
        gate.stop(gate.deadline_reason)
        link.host_line("time limit reached: no further orders")
        loop.call_later(plan.grace, cancel_in_flight)

    # From the real opening, by the exchange's clock: not from the opening
    # time the module was given, nor from the host's start.
    limit_at = state.local_ms(plan.open_ms) / 1000 + plan.time_limit
    # Also checked by the gate itself at the moment an order's bytes would
    # go: the timer below may run late, after a slow handshake.
    gate.deadline_ms = limit_at * 1000
    gate.deadline_reason = f"time limit of {plan.time_limit:g} s after the opening (--time-limit)"
    handle = loop.call_later(max(0.0, limit_at - time.time()), deadline)
    # Questions about an unknown outcome may go on through the grace.
    ask_until_ms = (limit_at + plan.grace) * 1000

    async def find_out(until_ms: float = ask_until_ms) -> None:
        if queries is not None and gate.ledger.unknown() and gate.halted is None:
            await queries.settle(min(until_ms, ask_until_ms))

    def held_by_outcomes() -> bool:
        blocked = gate.ledger.blocked()
        return blocked is not None and not blocked.final

    try:
        while True:
            orders_before = len(gate.orders)
            task = loop.create_task(module.listen_for_trades(
                plan.api_key, plan.secret, plan.symbol, plan.quantity, state.firing.module_open_ms))
            try:
                await task
            except StopOrdering:
                break
            except HeldBack as held:
                # Not now (a late listing's announced opening, a rate limit's
                # window, an order that may have bought): wait here, and let
                # the module sign a fresh order just before the pace lets it go.
                # Held by an order that may have bought: ask until it is
                # settled.  Held by the pace: ask only while waiting anyway.
                await find_out(ask_until_ms if held_by_outcomes() else held.at_ms - REENTER_BEFORE_MS)
                await gate.wait_until(held.at_ms - REENTER_BEFORE_MS)
                continue
            except ConnectionLimit as exc:  # a stop rule of its own, not a failure
                gate.stop(f"{exc} (--max-new-connections {plan.max_new_per_minute})")
                break
            except asyncio.CancelledError:
                if not task.cancelled():
                    raise
                break
            except Exception as exc:  # an order or the trigger failed
                if never_left(gate, orders_before):
                    state.reentries += 1
                    if state.reentries <= 3:
                        link.host_line(f"order {gate.orders[-1].seq} never left "
                                       f"({gate.orders[-1].failure}); trying again")
                    continue
                if gate.ledger.unknown() and queries is not None:
                    # Sent, and its reply lost with the connection: while it
                    # holds the next order, ask, and order again only if it
                    # bought nothing; otherwise order on, and ask at the end.
                    if held_by_outcomes():
                        await find_out()
                    if _may_go_on(gate):
                        continue
                    blocked = gate.ledger.blocked()
                    if blocked is not None and blocked.final:
                        gate.stop(blocked.reason)  # it bought: the run is done, not failed
                        break
                state.error = describe_fault(exc)
                break
        await find_out()
    finally:
        handle.cancel()
