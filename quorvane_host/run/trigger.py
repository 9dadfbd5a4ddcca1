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
and goes on ordering only if it bought nothing.  An order whose reply is
overdue (:func:`~quorvane_host.orders.asking.reply_deadline_ms`) is asked
about while its wait goes on.  Without the queries (``--no-order-query``)
such an order stops the run.  An outcome still unknown when the orders
stop, or a fill whose order is still open, is asked about until the time
limit, its grace and :data:`QUERY_TIME_S` more are over.

A stop request once orders have left ends the orders at once, but not the
run: the replies in flight are read for :data:`STOP_READ_S`, what is still
unknown is asked once (within :data:`STOP_ASK_S`), and the exit status then
follows what is known.  A second stop request ends the run at once.
"""

from __future__ import annotations

import asyncio
import gc
import time
from typing import Any, Optional

from quorvane_host.net.faults import describe_fault
from quorvane_host.net.cap import ConnectionLimit
from quorvane_host.orders.asking import OrderQueries, reply_deadline_ms
from quorvane_host.orders.fate import NEVER_CONNECTED, NEVER_SENT
from quorvane_host.orders.gate import Gate, HeldBack, SettledWithoutReply, StopOrdering
from quorvane_host.run.console_link import ConsoleLink
from quorvane_host.run.state import RunState

__all__ = ["drive", "enter", "never_left"]

# Enter the module this long before the pace lets an order go: the module
# signs and asks for a connection at once, and the gate holds it the rest.
REENTER_BEFORE_MS = 30.0
# Questions go on this long after the time limit and its grace: an order
# whose reply never came is still found out, within a bound of its own.
QUERY_TIME_S = 5.0
# After a stop request: how long the replies in flight are read, and how
# long the one round of questions about what is still unknown may take.
STOP_READ_S = 1.0
STOP_ASK_S = 2.0
IN_FLIGHT_STEP_S = 0.01


async def enter(state: RunState, link: ConsoleLink, module: Any, fire_local: float,
                queries: Optional[OrderQueries] = None) -> None:
    """Drive the module from just before it fires, with the garbage collector held off."""
    # A full collection of the host's objects takes milliseconds: none may
    # start between the module's firing and its order leaving (the request
    # loop that keeps the way warm enables it again).
    gc.disable()
    state.entered_left_ms = fire_local - time.time() * 1000
    try:
        await drive(state, link, module, queries)
    finally:
        _end_window(state)


def _end_window(state: Any) -> None:
    """The firing window closed, where the run has one (a state made for a test may not)."""
    window = getattr(state, "firing_window", None)
    if window is not None:
        window.end()


def never_left(gate: Gate, orders_before: int) -> bool:
    """True when the trigger ended on an order that was never sent, and nothing stops the run."""
    if gate.stop_reason is not None or len(gate.orders) <= orders_before:
        return False
    return gate.orders[-1].fate in (NEVER_SENT, NEVER_CONNECTED) and not gate.orders[-1].sent


def _may_go_on(gate: Gate) -> bool:
    """True when nothing stops the orders: no stop reason, and no order that may have bought in the way."""
    return gate.stop_reason is None and gate.ledger.blocked() is None


async def _read_in_flight(gate: Gate, until_s: float) -> None:
    """Until ``until_s`` (the loop's clock) while an order sent has no verdict: its reply may be on its way."""
    loop = asyncio.get_running_loop()
    while any(o.sent and o.verdict is None for o in gate.orders) and loop.time() < until_s:
        await asyncio.sleep(IN_FLIGHT_STEP_S)


async def drive(state: RunState, link: ConsoleLink, module: Any, queries: Optional[OrderQueries] = None) -> None:
    """Await the trigger until the stop rule ends it; note how it ended in ``state``."""
    plan, gate = state.plan, state.gate
    gate.can_ask = queries is not None
    loop = asyncio.get_running_loop()
    task: Optional[asyncio.Task] = None
    stop_read_until: list = []  # the loop's time until which a stop request lets replies in flight come

    def cancel_in_flight(timed_out: bool = True) -> None:
        if task is not None and not task.done():
            state.timed_out_in_flight = timed_out
            task.cancel()

    def deadline() -> None:
        gate.stop(gate.deadline_reason)
        link.host_line("time limit reached: no further orders")
        loop.call_later(plan.grace, cancel_in_flight)

    def wind_down() -> None:
        stop_read_until.append(loop.time() + STOP_READ_S)
        loop.call_later(STOP_READ_S, cancel_in_flight, False)

    # From the real opening, by the exchange's clock: not from the opening
    # time the module was given, nor from the host's start.
    limit_at = state.local_ms(plan.open_ms) / 1000 + plan.time_limit
    # Also checked by the gate itself at the moment an order's bytes would
    # go: the timer below may run late, after a slow handshake.
    gate.deadline_ms = limit_at * 1000
    gate.deadline_reason = f"time limit of {plan.time_limit:g} s after the opening (--time-limit)"
    handle = loop.call_later(max(0.0, limit_at - time.time()), deadline)
    # Questions about an unknown outcome go on through the grace, and a while after.
    ask_until_ms = (limit_at + plan.grace + QUERY_TIME_S) * 1000
    halted = lambda: gate.halted is not None  # noqa: E731

    async def find_out(until_ms: float = ask_until_ms) -> None:
        if queries is not None and gate.ledger.unsettled() and gate.halted is None:
            await queries.settle(min(until_ms, ask_until_ms), halted=halted)

    def held_by_outcomes() -> bool:
        blocked = gate.ledger.blocked()
        return blocked is not None and not blocked.final

    if queries is not None:
        gate.reply_deadline_s = reply_deadline_ms(_round_trip_ms(state)) / 1000
        gate.ask_overdue = lambda order: queries.settle(
            ask_until_ms, halted=lambda: halted() or not order.outcome_unknown)
    gate.on_halt = lambda: loop.call_soon_threadsafe(wind_down)
    pool = getattr(gate.inner, "pool", None)
    try:
        while True:
            orders_before = len(gate.orders)
            if pool is not None:
                pool.held()  # the module polls, holding the loop, until its order asks for a connection
            task = loop.create_task(module.listen_for_trades(
                plan.api_key, plan.secret, plan.symbol, plan.quantity, state.firing.module_open_ms))
            try:
                try:
                    await task
                finally:
                    # Its first order has left by now, or never will from this run of the module.
                    _end_window(state)
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
            except SettledWithoutReply:
                # Its reply overdue, the exchange said what became of it:
                # the ledger has it, and decides whether another may go.
                if _may_go_on(gate):
                    continue
                blocked = gate.ledger.blocked()
                if blocked is not None:
                    gate.stop(blocked.reason)
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
        if gate.winding_down:
            read_until = stop_read_until[0] if stop_read_until else loop.time() + STOP_READ_S
            await _read_in_flight(gate, read_until)
            if queries is not None and gate.ledger.unknown():
                # Within a bound counted from the stop request, not from whatever it interrupted.
                left_s = max(0.0, read_until + STOP_ASK_S - loop.time())
                await queries.settle(time.time() * 1000 + left_s * 1000, rounds=1)
        else:
            await find_out()
    finally:
        handle.cancel()
        gate.on_halt = None


def _round_trip_ms(state: RunState) -> float:
    clock = getattr(state, "clock", None)
    return getattr(clock, "rtt_median_ms", 0.0) if clock is not None else 0.0
