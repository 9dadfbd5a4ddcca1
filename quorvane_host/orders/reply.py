"""Reading an exchange's reply to one order: whose it is, what it says, what it bought.

Pure functions over the reply's text (no sockets, no clock).  Replies are
matched to their requests by ``id`` (:func:`message_id`); the ledger
(:mod:`quorvane_host.orders.ledger`) judges an order's own reply with
:func:`judge`, and an order the exchange describes (a query's answer) with
:func:`judge_order`.  What a reply says of its order:

* bought: status 200 (an integer), an ``orderId``, and a filled quantity
  above zero (``executedQty``, or the sum of ``fills``), whatever else the
  reply holds: an ``error`` member beside such a result is kept, not obeyed;
* nothing filled, final: 200, an ``orderId``, nothing filled, and an order
  status that is final (``EXPIRED`` on an empty book, ``REJECTED``,
  ``CANCELED``, ``EXPIRED_IN_MATCH``): it bought nothing, ordering may go on;
* refused: a status other than 200 with an ``error`` and no result;
* unknown: everything else.  An order still ``NEW`` may fill a moment
  later; 200 without an ``orderId`` names no order; a status that is not an
  integer is no status; text that is not JSON says nothing.  Ordering again
  on any of these could buy twice.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Any, List, Optional, Tuple

from quorvane_host.orders.codes import BANNED_STATUS, RATE_LIMITED_STATUS, Code
from quorvane_host.orders.windows import Limit, stated_limits

__all__ = ["BOUGHT", "EMPTY", "FINAL_STATUSES", "REFUSED", "UNKNOWN", "Limit", "Verdict",
           "decode", "judge", "judge_order", "message_id", "order_limits", "request_id", "retry_after"]

# What a reply says of its order.
BOUGHT = "bought"  # accepted, and something was filled
EMPTY = "accepted, nothing filled"  # accepted, filled nothing, and the order is over
REFUSED = "refused"
UNKNOWN = "unknown"  # may have bought: nothing to go by, or not over yet

# Order statuses after which nothing more is filled.
FINAL_STATUSES = frozenset({"EXPIRED", "REJECTED", "CANCELED", "EXPIRED_IN_MATCH", "FILLED"})
# Of those, the ones that say nothing was filled unless the quantities say otherwise.
UNFILLED_FINAL = frozenset({"EXPIRED", "REJECTED", "CANCELED", "EXPIRED_IN_MATCH"})

NO_ID = object()  # a JSON message without an id (a pushed event, a notice)
RATE_LIMIT_CODES = (int(Code.TOO_MANY_ORDERS), int(Code.TOO_MANY_REQUESTS))


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
    says what it says (the outcome is unknown).  A message with no id or a
    null id answers no request of ours, whatever it says: an exchange that
    sends ``{"id": null, "status": 429, ...}`` while an order waits has not
    answered that order, whose own reply may still come.
    """
    is_json, mid = message_id(message)
    if not is_json or wanted is None:
        return True
    return mid is not NO_ID and mid == wanted and type(mid) is type(wanted)


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


@dataclass
class Verdict:
    """What one reply says of its order."""

    kind: str
    status: Optional[int] = None
    why: Optional[str] = None  # for an unknown outcome: what the reply lacked
    code: Optional[int] = None
    msg: Optional[str] = None
    order_id: Any = None
    order_status: Optional[str] = None  # FILLED, EXPIRED, ... as the exchange says
    quantity: Optional[Decimal] = None
    cost: Optional[Decimal] = None
    data: Any = field(default=None, repr=False)

    @property
    def accepted(self) -> bool:
        """The exchange named the order as taken (whatever it filled)."""
        return self.order_id is not None and self.kind != REFUSED

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


def _status(data: dict) -> Tuple[bool, Optional[int]]:
    """``(present, status)``: the status when it is an integer; a status of another type is none."""
    if "status" not in data:
        return False, None
    return True, _int(data.get("status"))


def judge_order(result: Any, *, status: Optional[int] = 200, data: Any = None) -> Verdict:
    """What an order the exchange describes (``order.place``'s result, or a query's) says it bought."""
    if not isinstance(result, dict) or result.get("orderId") is None:
        return Verdict(UNKNOWN, status, why="the reply names no order (no orderId)", data=data)
    qty, cost = _fill(result)
    order_status = result.get("status") if isinstance(result.get("status"), str) else None
    named = dict(status=status, order_id=result.get("orderId"), order_status=order_status, quantity=qty,
                 cost=cost, data=data)
    if qty is not None and qty > 0:
        return Verdict(BOUGHT, **named)
    if qty is not None and order_status in UNFILLED_FINAL:
        return Verdict(EMPTY, **named)
    if qty is None:
        return Verdict(UNKNOWN, why="the reply does not say what was filled", **named)
    return Verdict(UNKNOWN, why=f"the order is {order_status or 'of no stated status'}, nothing filled yet",
                   **named)


def judge(message: Any) -> Verdict:
    """The verdict on an order's own reply (already matched to it by id)."""
    data = decode(message)
    if not isinstance(data, dict):
        return Verdict(UNKNOWN, why="the reply is not a JSON object", data=data)
    present, status = _status(data)
    if status is None:
        why = "the reply's status is not a number" if present else "the reply has no status"
        return Verdict(UNKNOWN, why=why, data=data)
    error = data.get("error")
    if status == 200:
        verdict = judge_order(data.get("result"), status=status, data=data)
        if verdict.kind == UNKNOWN and isinstance(error, dict) and verdict.order_id is None:
            verdict.why = "status 200 with an error and no order"
        _keep_error(verdict, error)
        return verdict
    if error is not None and data.get("result") is None:
        error = error if isinstance(error, dict) else {}
        msg = error.get("msg")
        return Verdict(REFUSED, status, code=_int(error.get("code")), msg=msg if isinstance(msg, str) else None,
                       data=data)
    return Verdict(UNKNOWN, status, why=f"status {status} with a result", data=data)


def _keep_error(verdict: Verdict, error: Any) -> None:
    """An ``error`` beside a 200 result: its code and message, for the record only."""
    if isinstance(error, dict):
        verdict.code = _int(error.get("code"))
        msg = error.get("msg")
        verdict.msg = msg if isinstance(msg, str) else None


def order_limits(data: Any) -> List[Limit]:
    """The order limits a reply states (``rateLimits`` of type ORDERS), with their counts."""
    return stated_limits(data, "ORDERS")


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
