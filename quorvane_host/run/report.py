"""The report of a run: the summary on the terminal and the document ``--result`` keeps."""

from __future__ import annotations

import math
import statistics
import time
from decimal import Decimal
from typing import Any, Callable, Dict, List, Optional

from quorvane_host.cli.progname import program_name
from quorvane_host.orders.codes import Code
from quorvane_host.orders.exit_status import (EXIT_UNKNOWN, EXIT_UNMET, accepted_orders, bought_orders,
                                              unknown_outcomes)
from quorvane_host.orders.fate import NO_REPLY
from quorvane_host.orders.reply import EMPTY
from quorvane_host.orders.gate import Gate
from quorvane_host.orders.opening import describe_lateness, late_opening
from quorvane_host.run.state import RunState
from quorvane_host.words import plural

__all__ = ["json_ready", "plural", "result_document", "say_report", "summarise"]

MAX_ORDER_LINES = 12  # orders listed one by one on the terminal (all of them in the JSON)


def latency_stats(values: List[int]) -> Optional[Dict[str, float]]:
    if not values:
        return None
    return {"min": min(values), "median": statistics.median(values), "max": max(values),
            "count": len(values)}


def _bought(gate: Gate) -> Optional[Dict[str, Optional[str]]]:
    """The fills of every order that bought something, added up; the cost and the average price
    are None (not known) when a fill's price was not stated, never a sum that leaves it out."""
    qty = cost = Decimal(0)
    any_fill = priced = False
    unpriced = 0
    for order in gate.orders:
        v = order.verdict
        if v is not None and v.bought:
            any_fill = True
            qty += v.quantity
            if v.cost is None:
                unpriced += 1
            else:
                priced = True
                cost += v.cost
    if not any_fill:
        return None
    stated = priced and not unpriced
    return {"quantity": str(qty), "cost": str(cost) if stated else None,
            "price": _plain(cost / qty) if stated and qty else None}


def _plain(number: Decimal) -> str:
    """A price as plain decimal text: 1000, not 1E+3."""
    text = format(number.normalize(), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def _order_lines(gate: Gate) -> List[str]:
    """One line for each order that is not a plain refusal: what was bought, and what is unknown."""
    notable = [o for o in gate.orders if o.sent and not o.refused]
    lines = [f"  order {o.seq}: {o.describe()}" for o in notable[:MAX_ORDER_LINES]]
    if len(notable) > MAX_ORDER_LINES:
        lines.append(f"  ... and {len(notable) - MAX_ORDER_LINES} more (all of them in --result)")
    return lines


class _Counts:
    """The numbers the report and the document share, counted once."""

    def __init__(self, run: RunState) -> None:
        gate, observer = run.gate, run.observer
        orders = gate.orders
        self.accepted = accepted_orders(orders)
        self.bought = bought_orders(orders)
        self.empty = sum(1 for o in orders if o.verdict is not None and o.verdict.kind == EMPTY)
        self.refused = sum(1 for o in orders if o.refused)
        self.too_early = sum(1 for o in orders if o.verdict is not None and o.verdict.code == Code.NOT_OPEN)
        self.unknown = unknown_outcomes(orders)
        self.record = run.console_record or {}
        self.latencies = [o["latency_ms"] for o in self.record.get("orders", [])
                          if o.get("latency_ms") is not None]
        self.stats = latency_stats(self.latencies)
        self.by_reason = observer.refusals_by_reason()
        self.filled = _bought(gate)
        offset, delay = run.offset_ms(), (run.clock.delay_ms if run.clock else 0.0)
        self.late = late_opening(
            orders, run.plan.open_ms,
            lambda o: (o.sent_ms if o.sent_ms is not None else o.started_ms) + offset + delay,
            observer.announced_open_ms)


def summarise(run: RunState, started: float, code: int, stop_said: Optional[str],
              say: Callable[[str], None]) -> dict:
    """Say how the run went and return the result document (with its exit status)."""
    counts = _Counts(run)
    document = result_document(run, started, code, stop_said, counts)
    say_report(run, code, stop_said, say, counts)
    return document


def say_report(run: RunState, code: int, stop_said: Optional[str], say: Callable[[str], None],
               counts: Optional[_Counts] = None) -> None:
    """The report on the terminal: how the run ended, each notable order, the figures.

    Lines that start a matter begin with the command's name (``quorvane-host:``); the lines that go on
    with it are indented by two spaces, all alike.
    """
    c = counts or _Counts(run)
    plan, gate, observer = run.plan, run.gate, run.observer
    me = program_name("quorvane_host")  # the name typed, as every status line of the host starts
    say("")
    if stop_said:
        say(f"{me}: {stop_said}"
            + ("" if gate.placed else " before the first order; nothing was sent"))
    elif gate.stop_reason:
        say(f"{me}: stopped after {gate.stop_reason}")
    stopper = observer.refusal_stop
    stop_verdict = stopper.verdict if stopper is not None else None
    if stop_verdict is not None:
        rule = observer.stop_rule or observer.refusals.rule(stop_verdict.code)
        refusal_code = stop_verdict.code
        say(f"{me}: the exchange said: {stop_verdict.msg or stopper.reply}"
            + (f" (code {refusal_code})" if refusal_code is not None else ""))
        retry = f"--refusal {refusal_code}=retry" if refusal_code is not None else "--refusal CODE=retry"
        say(f"  what to do: {rule.advice}. No further order was sent"
            + ("" if stop_verdict.banned else f" ({retry} would retry it)"))
    if run.error:
        say(f"{me}: the trigger ended with {run.error}")
    if run.timed_out_in_flight:
        last = gate.current
        if last is not None and last.fate == NO_REPLY:
            say(f"{me}: an order was still waiting for its reply at the time limit and was "
                "cancelled; its outcome is unknown: check the account")
        else:
            say(f"{me}: an order was still connecting at the time limit (TLS or the upgrade "
                "never finished) and was cancelled; it was never sent")
    say(f"  orders placed: {gate.placed} ({c.bought} bought, "
        + (f"{c.empty} accepted but nothing filled, " if c.empty else "")
        + f"{c.refused} refused"
        + (f", {c.too_early} of them too early" if c.too_early else "")
        + (f", {c.unknown} with outcome unknown" if c.unknown else "") + ")")
    guard = gate.price_guard
    if guard is not None and guard.stopped:
        say(f"  price guard: {guard.stopped}: no further order")
    if c.by_reason:
        say("  refusals: " + ", ".join(f"{n} {reason}" for reason, n in c.by_reason.items()))
    for line in _order_lines(gate):
        say(line)
    if c.late is not None:
        say("  " + describe_lateness(c.late))
    if run.reentries:
        say(f"  {plural(run.reentries, 'order')} never left (no connection); the trigger was entered again")
    if c.filled:
        say(f"  bought in all: {c.filled['quantity']} {plan.symbol.upper()} "
            + (f"for {c.filled['cost']}" + (f" (average price {c.filled['price']})" if c.filled["price"] else "")
               if c.filled["cost"] is not None else "(price not stated: the exchange's replies did not say what "
               "every fill cost)"))
    found = [o for o in gate.orders if o.found_by is not None and o.found_by.startswith("asked")]
    if found:
        say(f"  found out by asking the exchange: {plural(len(found), 'order')} ("
            + ", ".join(f"order {o.seq}: {o.verdict.kind}" for o in found[:MAX_ORDER_LINES]) + ")")
    if c.unknown:
        said = (" the run was stopped while it waited;" if stop_said else "")
        say(f"{me}: {plural(c.unknown, 'order')} whose outcome is unknown:{said} it may have bought; "
            "check the account before running again")
    if c.stats:
        say(f"  time per order: min {c.stats['min']} ms, median {c.stats['median']:g} ms, "
            f"max {c.stats['max']} ms")
    left_at = c.record.get("time_left_at_first_order_ms")
    if left_at is not None:
        say(f"  first order started {left_at} ms before the opening" if left_at >= 0
            else f"  first order started {-left_at} ms after the opening")
    if run.pool_stats:
        p = run.pool_stats
        say(f"  connections: {plural(p['warm'], 'order')} over warm connections, {p['cold']} over new "
            f"ones; {p['opened']} opened in all")
    exchange_report = run.exchange_report
    if exchange_report is not None:
        first = exchange_report["first_accepted_after_open_ms"]
        say(f"  loopback exchange: {plural(exchange_report['requests'], 'request')}, "
            f"{exchange_report['accepted']} accepted"
            + (f", first accepted {first:.1f} ms after the opening" if first is not None else ""))
    lines = c.record.get("lines")
    say(f"  module output: {run.log_path}" + (f" ({plural(lines, 'line')})" if lines else ""))
    if code in (EXIT_UNMET, EXIT_UNKNOWN):
        say(f"{me}: wanted {plural(plan.orders, 'accepted order')}, got {c.bought}"
            + (" (an order that filled nothing does not count)" if c.empty else ""))


def _order_entry(order) -> dict:
    """One order in the document: its reply once, parsed (the module's line repeats it)."""
    entry = order.to_dict()
    entry.pop("module_line", None)
    return entry


def _console_entry(record: dict) -> dict:
    """The console's record without the module's lines about each order (the replies again)."""
    entry = dict(record)
    if isinstance(entry.get("orders"), list):
        entry["orders"] = [{k: v for k, v in o.items() if k != "detail"} for o in entry["orders"]]
    return entry


def _refusal_stop(order) -> Optional[dict]:
    """Which order's refusal stopped the host, and what it said (its reply is in ``orders``)."""
    if order is None:
        return None
    v = order.verdict
    return {"order": order.seq, "status": v.status if v else None, "code": v.code if v else None,
            "msg": v.msg if v else None, "banned": bool(v and v.banned)}


def json_ready(value: Any, key: str = "") -> Any:
    """``value`` as plain JSON: times rounded to 0.1 ms, no NaN or infinity (null instead).

    A number counts as a time by its key: ``..._ms`` in milliseconds (one
    decimal), ``seconds`` or ``..._s`` in seconds (four).  Lists take their
    key's rule, so every time in ``taken_at_ms`` is rounded too.
    """
    if isinstance(value, dict):
        return {str(k): json_ready(v, str(k)) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(v, key) for v in value]
    if isinstance(value, float):
        if not math.isfinite(value):
            return None
        if key.endswith("_ms"):
            return round(value, 1)
        if key == "seconds" or key.startswith("seconds_") or key.endswith("_s"):
            return round(value, 4)
        return value
    if value is None or isinstance(value, (bool, int, str)):
        return value
    return str(value)  # a Decimal, an enum: its text, never its repr


def result_document(run: RunState, started: float, code: int, stop_said: Optional[str],
                    counts: Optional[_Counts] = None) -> dict:
    """The ``--result`` document (docs/result.md lists every key)."""
    c = counts or _Counts(run)
    plan, gate = run.plan, run.gate
    return json_ready({
        "exit_code": code,
        "symbol": plan.symbol.upper(),
        "quantity": plan.quantity_text,
        "open_ms": plan.open_ms,
        "wanted_orders": plan.orders,
        "stop_reason": gate.stop_reason,
        "interrupted": stop_said,
        "orders_sent_at_stop_request": gate.sent_at_halt,
        "error": run.error,
        "cancelled_in_flight": run.timed_out_in_flight,
        "placed": gate.placed,
        "accepted": c.accepted,
        "bought_orders": c.bought,
        "accepted_unfilled": c.empty,
        "refused": c.refused,
        "too_early": c.too_early,
        "outcome_unknown": c.unknown,
        "refusals": c.by_reason,
        "refusal_stop": _refusal_stop(run.observer.refusal_stop),
        "price_guard": gate.price_guard.to_dict(gate.orders) if gate.price_guard is not None else None,
        "late_opening": c.late,
        "reentries": run.reentries,
        "skipped_messages": gate.skipped_messages,
        "bought": c.filled,
        "orders": [_order_entry(o) for o in gate.orders],
        "latencies_ms": c.latencies,
        "latency_ms": c.stats,
        "time_left_at_first_order_ms": c.record.get("time_left_at_first_order_ms"),
        "console": _console_entry(c.record),
        "log": run.log_path,
        "exchange": run.exchange_report,
        "seconds": time.time() - started,
        "clock_at_start": run.clock_at_start.to_dict() if run.clock_at_start else None,
        "clock": run.clock.to_dict() if run.clock else None,
        "clock_sync": plan.clock_sync,
        "firing": run.firing.to_dict() if run.firing else None,
        "entered_before_firing_ms": run.entered_left_ms,
        "pool": run.pool_stats,
    })
