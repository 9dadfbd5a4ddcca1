"""The report of a run: the summary on the terminal and the document ``--result`` keeps."""

from __future__ import annotations

import statistics
import time
from decimal import Decimal
from typing import Callable, Dict, List, Optional

from quorvane_host.orders.exit_status import EXIT_UNKNOWN, EXIT_UNMET, accepted_orders, unknown_outcomes
from quorvane_host.orders.fate import NO_REPLY, filled
from quorvane_host.orders.gate import Gate
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
    """The fills of every accepted order, added up."""
    qty = cost = Decimal(0)
    any_fill = False
    for order in gate.orders:
        if order.accepted:
            fill = filled(order.reply_data())
            if fill:
                any_fill = True
                qty += Decimal(str(fill["quantity"]))
                cost += Decimal(str(fill["cost"]))
    if not any_fill:
        return None
    return {"quantity": str(qty), "cost": str(cost),
            "price": str((cost / qty).normalize()) if qty else None}


def _order_lines(gate: Gate) -> List[str]:
    """One line for each order that is not a plain refusal: what was bought, and what is unknown."""
    notable = [o for o in gate.orders if o.outcome is None or o.accepted]
    lines = [f"  order {o.seq}: {o.describe()}" for o in notable[:MAX_ORDER_LINES]]
    if len(notable) > MAX_ORDER_LINES:
        lines.append(f"  ... and {len(notable) - MAX_ORDER_LINES} more (all of them in --result)")
    return lines


def summarise(run: RunState, started: float, code: int, stop_said: Optional[str],
              say: Callable[[str], None]) -> dict:
    """Say how the run went and return the result document (with its exit status)."""
    plan, gate, observer = run.plan, run.gate, run.observer
    outcomes = observer.outcomes
    accepted = accepted_orders(gate.orders)
    rejected = sum(1 for o in gate.orders if o.accepted is False)
    too_early = sum(1 for o in outcomes if o.too_early)
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
    if stopper is not None:
        rule = observer.refusals.rule(stopper.code)
        say(f"quorvane host: the exchange said: {stopper.msg or stopper.detail}"
            + (f" (code {stopper.code})" if stopper.code is not None else ""))
        retry = f"--refusal {stopper.code}=retry" if stopper.code is not None else "--refusal CODE=retry"
        say(f"  what to do: {rule.advice}. No further order was sent ({retry} would retry it)")
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
    say(f"  orders placed: {gate.placed} ({accepted} accepted, {rejected} rejected"
        + (f", {too_early} of them too early" if too_early else "")
        + (f", {unknown} with outcome unknown" if unknown else "") + ")")
    if by_reason:
        say("  refusals: " + ", ".join(f"{n} {reason}" for reason, n in by_reason.items()))
    for line in _order_lines(gate):
        say(line)
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
        say(f"quorvane host: wanted {plural(plan.orders, 'accepted order')}, got {accepted}")
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
        "rejected": rejected,
        "too_early": too_early,
        "outcome_unknown": unknown,
        "refusals": by_reason,
        "refusal_stop": stopper.to_dict() if stopper is not None else None,
        "bought": bought,
        "orders": [o.to_dict() for o in gate.orders],
        "outcomes": [o.to_dict() for o in outcomes],
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
