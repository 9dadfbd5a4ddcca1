"""The report of a run: the summary on the terminal and the document ``--result`` keeps."""

from __future__ import annotations

import statistics
import time
from decimal import Decimal
from typing import Callable, Dict, List, Optional

from quorvane_host.orders.codes import Code
from quorvane_host.orders.exit_status import (EXIT_UNKNOWN, EXIT_UNMET, accepted_orders, bought_orders,
                                              unknown_outcomes)
from quorvane_host.orders.fate import NO_REPLY
from quorvane_host.orders.gate import Gate
from quorvane_host.orders.opening import describe_lateness, late_opening
from quorvane_host.run.state import RunState

__all__ = ["plural", "summarise"]

MAX_ORDER_LINES = 12  # orders listed one by one on the terminal (all of them in the JSON)


def plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def latency_stats(values: List[int]) -> Optional[Dict[str, float]]:
    if not values:
        return None
    return {"min": min(values), "median": statistics.median(values), "max": max(values),
            "count": len(values)}


def _bought(gate: Gate) -> Optional[Dict[str, Optional[str]]]:
    """The fills of every order that bought something, added up."""
    qty = cost = Decimal(0)
    any_fill = False
    for order in gate.orders:
        v = order.verdict
        if v is not None and v.bought:
            any_fill = True
            qty += v.quantity
            cost += v.cost if v.cost is not None else Decimal(0)
    if not any_fill:
        return None
    return {"quantity": str(qty), "cost": str(cost),
            "price": str((cost / qty).normalize()) if qty else None}


def _order_lines(gate: Gate) -> List[str]:
    """One line for each order that is not a plain refusal: what was bought, and what is unknown."""
    notable = [o for o in gate.orders if o.accepted is not False]
    lines = [f"  order {o.seq}: {o.describe()}" for o in notable[:MAX_ORDER_LINES]]
    if len(notable) > MAX_ORDER_LINES:
        lines.append(f"  ... and {len(notable) - MAX_ORDER_LINES} more (all of them in --result)")
    return lines


def summarise(run: RunState, started: float, code: int, stop_said: Optional[str],
              say: Callable[[str], None]) -> dict:
    """Say how the run went and return the result document (with its exit status)."""
    plan, gate, observer = run.plan, run.gate, run.observer
    accepted = accepted_orders(gate.orders)
    bought_count = bought_orders(gate.orders)
    empty = sum(1 for o in gate.orders if o.accepted and o.verdict.quantity is not None and not o.bought)
    rejected = sum(1 for o in gate.orders if o.accepted is False)
    too_early = sum(1 for o in gate.orders if o.verdict is not None and o.verdict.code == Code.NOT_OPEN)
    unknown = unknown_outcomes(gate.orders)
    record = run.console_record or {}
    latencies = [o["latency_ms"] for o in record.get("orders", []) if o.get("latency_ms") is not None]
    stats = latency_stats(latencies)
    by_reason = observer.refusals_by_reason()
    bought = _bought(gate)

    say("")
    if stop_said:
        say(f"quorvane host: {stop_said}"
            + ("" if gate.placed else " before the first order; nothing was sent"))
    elif gate.stop_reason:
        say(f"quorvane host: stopped after {gate.stop_reason}")
    stopper = observer.refusal_stop
    stop_verdict = stopper.verdict if stopper is not None else None
    if stop_verdict is not None:
        rule = observer.stop_rule or observer.refusals.rule(stop_verdict.code)
        code = stop_verdict.code
        say(f"quorvane host: the exchange said: {stop_verdict.msg or stopper.reply}"
            + (f" (code {code})" if code is not None else ""))
        retry = f"--refusal {code}=retry" if code is not None else "--refusal CODE=retry"
        say(f"  what to do: {rule.advice}. No further order was sent"
            + ("" if stop_verdict.banned else f" ({retry} would retry it)"))
    if run.error:
        say(f"quorvane host: the trigger ended with {run.error}")
    if run.timed_out_in_flight:
        last = gate.current
        if last is not None and last.fate == NO_REPLY:
            say("quorvane host: an order was still waiting for its reply at the time limit and was "
                "cancelled; its outcome is unknown: check the account")
        else:
            say("quorvane host: an order was still connecting at the time limit (TLS or the upgrade "
                "never finished) and was cancelled; it was never sent")
    say(f"  orders placed: {gate.placed} ({bought_count} bought, "
        + (f"{empty} accepted but nothing filled, " if empty else "")
        + f"{rejected} rejected"
        + (f", {too_early} of them too early" if too_early else "")
        + (f", {unknown} with outcome unknown" if unknown else "") + ")")
    if by_reason:
        say("  refusals: " + ", ".join(f"{n} {reason}" for reason, n in by_reason.items()))
    for line in _order_lines(gate):
        say(line)
    offset, delay = run.offset_ms(), (run.clock.delay_ms if run.clock else 0.0)
    late = late_opening(gate.orders, plan.open_ms,
                        lambda o: (o.sent_ms if o.sent_ms is not None else o.started_ms) + offset + delay,
                        observer.announced_open_ms)
    if late is not None:
        say("  " + describe_lateness(late))
    if run.reentries:
        say(f"  {plural(run.reentries, 'order')} never left (no connection); the trigger was entered again")
    if bought:
        say(f"  bought in all: {bought['quantity']} {plan.symbol.upper()} for {bought['cost']}"
            + (f" (average price {bought['price']})" if bought["price"] else ""))
    if unknown:
        say(f"quorvane host: {plural(unknown, 'order')} sent with no reply to read: the outcome is "
            "unknown; check the account before running again")
    if stats:
        say(f"  time per order: min {stats['min']} ms, median {stats['median']:g} ms, "
            f"max {stats['max']} ms")
    left_at = record.get("time_left_at_first_order_ms")
    if left_at is not None:
        say(f"  first order started {left_at} ms before the opening" if left_at >= 0
            else f"  first order started {-left_at} ms after the opening")
    if run.pool_stats:
        p = run.pool_stats
        say(f"  connections: {p['warm']} orders over warm connections, {p['cold']} over new ones; "
            f"{p['opened']} opened in all")
    exchange_report = run.exchange_report
    if exchange_report is not None:
        first = exchange_report["first_accepted_after_open_ms"]
        say(f"  loopback exchange: {exchange_report['requests']} requests, "
            f"{exchange_report['accepted']} accepted"
            + (f", first accepted {first:.1f} ms after the opening" if first is not None else ""))
    lines = record.get("lines")
    say(f"  module output: {run.log_path}" + (f" ({lines:,} lines)" if lines else ""))
    if code in (EXIT_UNMET, EXIT_UNKNOWN):
        say(f"quorvane host: wanted {plural(plan.orders, 'accepted order')}, got {bought_count}"
            + (" (an order that filled nothing does not count)" if empty else ""))
    return {
        "exit_code": code,
        "symbol": plan.symbol.upper(),
        "open_ms": plan.open_ms,
        "stop_reason": gate.stop_reason,
        "interrupted": stop_said,
        "orders_sent_at_stop_request": gate.sent_at_halt,
        "error": run.error,
        "cancelled_in_flight": run.timed_out_in_flight,
        "placed": gate.placed,
        "accepted": accepted,
        "bought_orders": bought_count,
        "accepted_unfilled": empty,
        "rejected": rejected,
        "too_early": too_early,
        "outcome_unknown": unknown,
        "refusals": by_reason,
        "refusal_stop": stopper.to_dict() if stopper is not None else None,
        "late_opening": late,
        "reentries": run.reentries,
        "skipped_messages": gate.skipped_messages,
        "bought": bought,
        "orders": [o.to_dict() for o in gate.orders],
        "outcomes": [o.outcome.to_dict() for o in gate.orders if o.outcome is not None],
        "latencies_ms": latencies,
        "latency_ms": stats,
        "time_left_at_first_order_ms": left_at,
        "console": record,
        "log": run.log_path,
        "exchange": exchange_report,
        "seconds": time.time() - started,
        "clock_at_start": run.clock_at_start.to_dict() if run.clock_at_start else None,
        "clock": run.clock.to_dict() if run.clock else None,
        "clock_sync": plan.clock_sync,
        "firing": run.firing.to_dict() if run.firing else None,
        "entered_before_firing_ms": run.entered_left_ms,
        "pool": run.pool_stats,
    }
