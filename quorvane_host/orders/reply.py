"""Reading an exchange's reply to one order: whose it is, what it says, what it bought.

Pure functions over the reply's text (no sockets, no clock): the gate
(:mod:`quorvane_host.orders.gate`) matches replies to their requests by
``id`` with :func:`message_id`, and judges the order's own reply with
:func:`judge`.

An order counts as bought only when its reply says so: status 200, an
``orderId`` in the result, and a filled quantity above zero
(``executedQty``, or the sum of ``fills``).  A market order that met an
empty book comes back accepted with nothing filled (``EXPIRED``): it bought
nothing, and the host goes on ordering.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Any, List, Optional, Tuple

from quorvane_host.orders.codes import BANNED_STATUS, RATE_LIMITED_STATUS, Code

__all__ = ["BOUGHT", "EMPTY", "REFUSED", "UNREADABLE", "UNSTATED", "Limit", "Verdict", "announced_open",
           "decode", "judge", "message_id", "order_limits", "request_id", "retry_after"]

# What a reply says of its order.
BOUGHT = "bought"  # accepted, and something was filled
EMPTY = "accepted, nothing filled"  # accepted, filled nothing (EXPIRED on an empty book)
UNSTATED = "accepted, fill not stated"  # accepted, the reply does not say what was filled
REFUSED = "refused"
UNREADABLE = "unreadable"  # not a JSON object: says nothing of the order

NO_ID = object()  # a JSON message without an id (a pushed event, a notice)
RATE_LIMIT_CODES = (int(Code.TOO_MANY_ORDERS), int(Code.TOO_MANY_REQUESTS))
_OPENS_IN = re.compile(r"opens in (-?[0-9]+) ?ms")
_INTERVAL_MS = {"SECOND": 1000, "MINUTE": 60_000, "HOUR": 3_600_000, "DAY": 86_400_000}


def decode(text: Any) -> Any:
    """The message as JSON, or None when it is not JSON text (bytes are read as UTF-8)."""
    if isinstance(text, (bytes, bytearray)):
        try:
            text = bytes(text).decode("utf-8")
        except UnicodeDecodeError:
            return None
    if not isinstance(text, str):
        return None
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        return None


def request_id(sent: Any) -> Any:
    """The ``id`` of a request the module sent, or None when it carries none."""
    data = decode(sent)
    return data.get("id") if isinstance(data, dict) else None


def message_id(message: Any) -> Tuple[bool, Any]:
    """``(is_json, id)`` of a message that came in; id is :data:`NO_ID` when it has none."""
    data = decode(message)
    if data is None and not _is_json_null(message):
        return False, NO_ID
    if isinstance(data, dict) and "id" in data:
        return True, data["id"]
    return True, NO_ID


def _is_json_null(message: Any) -> bool:
    return isinstance(message, (str, bytes)) and message.strip() in ("null", b"null")


def is_reply_to(message: Any, wanted: Any) -> bool:
    """True when ``message`` answers the request with id ``wanted`` (or is text to hand on anyway).

    Text that is not JSON is handed on: it may be the reply, garbled, and it
    says what it says (the outcome is unknown).  A refusal with ``"id": null``
    answers a request the exchange could not read the id of: on the order's
    connection that is the order.
    """
    is_json, mid = message_id(message)
    if not is_json or wanted is None:
        return True
    if mid is NO_ID:
        return False
    if mid == wanted and type(mid) is type(wanted):
        return True
    data = decode(message)
    return mid is None and isinstance(data, dict) and "error" in data and "status" in data


def _decimal(value: Any) -> Optional[Decimal]:
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        return None
    try:
        d = Decimal(str(value))
    except InvalidOperation:
        return None
    return d if d.is_finite() else None


def _int(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


@dataclass(frozen=True)
class Limit:
    """One of the exchange's order limits: ``limit`` orders per ``interval_ms``, ``count`` used."""

    interval_ms: float
    limit: int
    count: int = 0


@dataclass
class Verdict:
    """What one reply says of its order."""

    kind: str
    status: Optional[int] = None
    code: Optional[int] = None
    msg: Optional[str] = None
    order_id: Any = None
    order_status: Optional[str] = None  # FILLED, EXPIRED, ... as the exchange says
    quantity: Optional[Decimal] = None
    cost: Optional[Decimal] = None
    data: Any = field(default=None, repr=False)

    @property
    def accepted(self) -> bool:
        return self.kind in (BOUGHT, EMPTY, UNSTATED)

    @property
    def bought(self) -> bool:
        return self.kind == BOUGHT

    @property
    def rate_limited(self) -> bool:
        return self.kind == REFUSED and (self.status == RATE_LIMITED_STATUS or self.code in RATE_LIMIT_CODES)

    @property
    def banned(self) -> bool:
        return self.kind == REFUSED and self.status == BANNED_STATUS

    @property
    def price(self) -> Optional[Decimal]:
        if self.quantity and self.cost is not None:
            return (self.cost / self.quantity).normalize()
        return None

    def filled(self) -> Optional[dict]:
        """Quantity, average price and cost as text, for the report; None when not stated."""
        if self.quantity is None:
            return None
        price = self.price
        return {"quantity": str(self.quantity), "price": None if price is None else str(price),
                "cost": None if self.cost is None else str(self.cost)}


def _fill(result: dict) -> Tuple[Optional[Decimal], Optional[Decimal]]:
    """(quantity, cost) filled, from ``fills`` or else ``executedQty``; (None, None) if not stated."""
    fills = result.get("fills")
    if isinstance(fills, list) and fills:
        qty = cost = Decimal(0)
        for f in fills:
            q = _decimal(f.get("qty")) if isinstance(f, dict) else None
            p = _decimal(f.get("price")) if isinstance(f, dict) else None
            if q is None or p is None:
                return None, None
            quote = _decimal(f.get("quoteQty"))
            qty += q
            cost += quote if quote is not None else q * p
        return qty, cost
    qty = _decimal(result.get("executedQty"))
    return qty, _decimal(result.get("cummulativeQuoteQty")) if qty is not None else None


def judge(message: Any) -> Verdict:
    """The verdict on an order's own reply (already matched to it by id)."""
    data = decode(message)
    if not isinstance(data, dict):
        return Verdict(UNREADABLE, data=data)
    status = _int(data.get("status"))
    error = data.get("error")
    if error is not None or (status is not None and status != 200):
        error = error if isinstance(error, dict) else {}
        msg = error.get("msg")
        return Verdict(REFUSED, status, _int(error.get("code")), msg if isinstance(msg, str) else None,
                       data=data)
    result = data.get("result")
    if not isinstance(result, dict) or result.get("orderId") is None:
        # Neither a refusal nor an order the exchange names: nothing to go by.
        return Verdict(UNREADABLE, status, data=data)
    qty, cost = _fill(result)
    order_status = result.get("status") if isinstance(result.get("status"), str) else None
    kind = UNSTATED if qty is None else BOUGHT if qty > 0 else EMPTY
    return Verdict(kind, status, order_id=result.get("orderId"), order_status=order_status,
                   quantity=qty, cost=cost, data=data)


def order_limits(data: Any) -> List[Limit]:
    """The order limits a reply states (``rateLimits`` of type ORDERS), with their counts."""
    limits = data.get("rateLimits") if isinstance(data, dict) else None
    out: List[Limit] = []
    for item in limits if isinstance(limits, list) else ():
        if not isinstance(item, dict) or item.get("rateLimitType") != "ORDERS":
            continue
        unit, num, limit = _INTERVAL_MS.get(item.get("interval")), _int(item.get("intervalNum")), \
            _int(item.get("limit"))
        if unit is None or num is None or num < 1 or limit is None or limit < 1:
            continue
        out.append(Limit(unit * num, limit, max(0, _int(item.get("count")) or 0)))
    return out


def _error_data(data: Any) -> dict:
    error = data.get("error") if isinstance(data, dict) else None
    inner = error.get("data") if isinstance(error, dict) else None
    return inner if isinstance(inner, dict) else {}


def retry_after(data: Any) -> Optional[float]:
    """When the exchange says to try again (ms since the epoch, its clock), or None."""
    for where in (_error_data(data), data if isinstance(data, dict) else {}):
        value = _decimal(where.get("retryAfter"))
        if value is not None:
            return float(value)
    return None


def announced_open(data: Any, arrival_ms: float) -> Optional[float]:
    """When trading opens, by the exchange's clock, as a refusal says it; None when it does not.

    ``arrival_ms``: the exchange's time at which the refused order arrived
    (an "opens in N ms" counts from there).
    """
    value = _decimal(_error_data(data).get("openTime"))
    if value is not None:
        return float(value)
    error = data.get("error") if isinstance(data, dict) else None
    msg = error.get("msg") if isinstance(error, dict) else None
    m = _OPENS_IN.search(msg) if isinstance(msg, str) else None
    return arrival_ms + int(m.group(1)) if m else None
