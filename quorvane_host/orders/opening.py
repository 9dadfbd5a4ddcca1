"""How late the listing opened, from the orders: the refusals before the first accepted one.

Pure: each order's arrival at the exchange (by its clock) is passed in as a
function, estimated from when it was sent; an accepted reply's own
``transactTime`` is the exchange's word and goes first.
"""

from __future__ import annotations

from typing import Callable, Iterable, Optional

from quorvane_host.orders.codes import Code
from quorvane_host.orders.fate import Order
from quorvane_host.words import plural

__all__ = ["late_opening", "describe_lateness"]

_EARLY_CODES = (int(Code.NOT_OPEN), int(Code.UNKNOWN_SYMBOL))


def _accepted_at(order: Order, arrival: Callable[[Order], float]) -> float:
    data = order.verdict.data
    result = data.get("result") if isinstance(data, dict) else None
    stamp = result.get("transactTime") if isinstance(result, dict) else None
    if isinstance(stamp, (int, float)) and not isinstance(stamp, bool):
        return float(stamp)
    return arrival(order)


def late_opening(orders: Iterable[Order], open_ms: float, arrival: Callable[[Order], float],
                 said_open_ms: Optional[float] = None) -> Optional[dict]:
    """How late trading opened after ``open_ms``; None when nothing was refused as early after it.

    The result: ``opened`` (an order was accepted), ``after_ms`` (the last
    early refusal after the announced opening, relative to it),
    ``by_ms`` (the first accepted order, relative to it, when one was),
    ``said_ms`` (the opening the exchange announced, relative to it) and
    ``refused`` (early refusals after the announced opening).
    """
    last_refused: Optional[float] = None
    refused = 0
    for order in orders:
        v = order.verdict
        if v is None:
            continue
        if v.accepted:
            if last_refused is None:
                return None
            return {"opened": True, "after_ms": last_refused - open_ms, "refused": refused,
                    "by_ms": _accepted_at(order, arrival) - open_ms,
                    "said_ms": None if said_open_ms is None else said_open_ms - open_ms}
        if v.code in _EARLY_CODES:
            at = arrival(order)
            if at >= open_ms:
                refused += 1
                last_refused = at
    if last_refused is None:
        return None
    return {"opened": False, "after_ms": last_refused - open_ms, "refused": refused, "by_ms": None,
            "said_ms": None if said_open_ms is None else said_open_ms - open_ms}


def describe_lateness(late: dict) -> str:
    """One line for the report."""
    said = f"; the exchange said {late['said_ms']:.0f} ms late" if late.get("said_ms") is not None else ""
    if not late["opened"]:
        return (f"the listing did not open within the time limit: {plural(late['refused'], 'order')} refused as "
                f"too early, the last {late['after_ms']:.0f} ms after the announced opening{said}")
    return (f"the listing opened late: between {max(0.0, late['after_ms']):.0f} and {late['by_ms']:.0f} ms "
            f"after the announced opening ({plural(late['refused'], 'order')} refused as too early before it){said}")
