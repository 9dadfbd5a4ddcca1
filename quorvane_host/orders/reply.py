"""Reading an exchange's reply to one order: whose it is, what it says, what it bought.

Pure functions over the reply's text (no sockets, no clock).  Replies are
matched to their requests by ``id`` (:func:`message_id`); the ledger
(:mod:`quorvane_host.orders.ledger`) judges an order's own reply with
:func:`judge`, and an order the exchange describes (a query's answer) with
:func:`judge_order`.  A reply settles its order only when it says so
positively; everything else leaves the outcome unknown:

* bought: status 200 (an integer), an ``orderId``, and a filled quantity
  above zero (``executedQty``, else the sum of ``fills``), whatever else the
  reply holds: an ``error`` member beside such a result is kept, not
  obeyed.  Until the order's status is final the fill may still grow: the
  verdict is then not ``final`` and the order is asked about again;
* nothing filled, final: 200, an ``orderId``, nothing filled, and an order
  status that is final (``EXPIRED`` on an empty book, ``REJECTED``,
  ``CANCELED``, ``EXPIRED_IN_MATCH``): it bought nothing, ordering may go on;
* refused: a status of 400-499 with an ``error`` object and no result;
* unknown: everything else.  A status of 500 or more is the exchange's own
  failure, and the codes of :data:`~quorvane_host.orders.codes.EXECUTION_UNKNOWN`
  say outright that the order may have been executed; an order still
  ``NEW`` may fill a moment later; 200 without an ``orderId`` names no
  order; a status that is not an integer is no status; a result that
  describes another symbol, side or type is not this order's; text that is
  not JSON says nothing.  Ordering again on any of these could buy twice.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, List, Optional, Tuple

from quorvane_host.orders.codes import BANNED_STATUS, EXECUTION_UNKNOWN, RATE_LIMITED_STATUS, Code
from quorvane_host.orders.windows import Limit, stated_limits

__all__ = ["UNDECODED", "BOUGHT", "EMPTY", "FINAL_STATUSES", "REFUSED", "UNKNOWN", "Limit", "OrderShape", "Verdict",
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


_ID_PREFIX = '{"id":"'


def request_id(sent: Any) -> Any:
    """The ``id`` of a request the module sent, or None when it carries none.

    The module writes its request with the id first, as plain text: read
    from there, the rest of the request is not decoded on the order path.
    Any other form is decoded in full.
    """
    if type(sent) is str and sent.startswith(_ID_PREFIX):
        end = sent.find('"', len(_ID_PREFIX))
        if end > 0 and "\\" not in sent[len(_ID_PREFIX):end]:
            return sent[len(_ID_PREFIX):end]
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


# Quantities as the exchange writes them, read: every reply of a run
# repeats the same few ("0.5", "1.00"), and a Decimal is immutable.
_DECIMALS: Dict[str, Optional[Decimal]] = {}
_DECIMALS_KEPT = 256
_DECIMAL_TEXT = 40  # longer texts are read each time, not kept
_UNREAD = object()


def _decimal(value: Any) -> Optional[Decimal]:
    if type(value) is str and len(value) <= _DECIMAL_TEXT:
        known = _DECIMALS.get(value, _UNREAD)
        if known is not _UNREAD:
            return known
        if len(_DECIMALS) >= _DECIMALS_KEPT:
            _DECIMALS.clear()
        known = _DECIMALS[value] = _read_decimal(value)
        return known
    return _read_decimal(value)


def _read_decimal(value: Any) -> Optional[Decimal]:
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
    final: bool = True  # a fill: the order is over and its quantity will not grow

    @property
    def open(self) -> bool:
        """Bought, and the order is not over: what it filled may still grow."""
        return self.kind == BOUGHT and not self.final

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


def _valid_id(value: Any) -> bool:
    """An order id as exchanges send it: a whole number, or non-empty text."""
    return (isinstance(value, int) and not isinstance(value, bool)) or (isinstance(value, str) and value != "")


def _fills(fills: Any) -> Tuple[Optional[Decimal], Optional[Decimal]]:
    """(quantity, cost) summed over ``fills``; (None, None) unless every entry is well formed."""
    if not isinstance(fills, list) or not fills:
        return None, None
    qty = cost = Decimal(0)
    for f in fills:
        q = _decimal(f.get("qty")) if isinstance(f, dict) else None
        p = _decimal(f.get("price")) if isinstance(f, dict) else None
        if q is None or p is None or q < 0 or p < 0:
            return None, None
        quote = _decimal(f.get("quoteQty"))
        qty += q
        cost += quote if quote is not None else q * p
    return qty, cost


def _fill(result: dict) -> Tuple[Optional[Decimal], Optional[Decimal]]:
    """(quantity, cost) filled; (None, None) when the quantity is not stated, or not as a quantity.

    ``executedQty`` is the order's own count and decides when stated; the
    ``fills`` only stand in for it when it is absent, and give the cost
    when ``cummulativeQuoteQty`` does not (and they add up to the quantity).
    """
    fills: Optional[Tuple[Optional[Decimal], Optional[Decimal]]] = None  # summed only when needed
    if "executedQty" in result:
        qty = _decimal(result.get("executedQty"))
        if qty is None or qty < 0:
            return None, None
    else:
        fills = _fills(result.get("fills"))
        qty = fills[0]
    if qty is None:
        return None, None
    cost = _decimal(result.get("cummulativeQuoteQty"))
    if cost is None or cost < 0:
        fill_qty, fill_cost = fills if fills is not None else _fills(result.get("fills"))
        cost = fill_cost if fill_qty == qty else None
    return qty, cost


@dataclass(frozen=True)
class OrderShape:
    """What every order of the run is: a MARKET buy of ``symbol``, ``quantity`` of it (None: not checked)."""

    symbol: Optional[str] = None
    quantity: Optional[Decimal] = None

    def disagreement(self, result: dict, *, stated_only: bool) -> Optional[str]:
        """How ``result`` describes another order than ours, or None when it agrees.

        ``stated_only``: fields the result leaves out are taken to agree (an
        order's own reply, matched by its id); otherwise the symbol, side and
        type must be there (a query's answer, which could be any order).
        """
        for name, want in (("symbol", self.symbol), ("side", "BUY"), ("type", "MARKET")):
            if want is None:
                continue
            # Left out: taken to agree when only stated fields count, else no match.
            value = result.get(name, want if stated_only else None)
            if value != want:
                return f"{name} {value!r}, not {want}"
        if self.quantity is not None and "origQty" in result and _decimal(result.get("origQty")) != self.quantity:
            return f"quantity {result.get('origQty')!r}, not {self.quantity}"
        return None


def _status(data: dict) -> Tuple[bool, Optional[int]]:
    """``(present, status)``: the status when it is an integer; a status of another type is none."""
    if "status" not in data:
        return False, None
    return True, _int(data.get("status"))


def judge_order(result: Any, *, status: Optional[int] = 200, data: Any = None, shape: OrderShape = OrderShape(),
                stated_only: bool = True) -> Verdict:
    """What an order the exchange describes (``order.place``'s result, or a query's) says it bought."""
    if not isinstance(result, dict) or not _valid_id(result.get("orderId")):
        return Verdict(UNKNOWN, status, why="the reply names no order (no orderId)", data=data)
    other = shape.disagreement(result, stated_only=stated_only)
    if other is not None:
        return Verdict(UNKNOWN, status, why=f"the reply describes another order ({other})", data=data)
    qty, cost = _fill(result)
    order_status = result.get("status")
    if not isinstance(order_status, str):
        order_status = None
    order_id = result.get("orderId")
    if qty is not None and qty > 0:
        final = order_status in FINAL_STATUSES or _decimal(result.get("origQty")) == qty
        return Verdict(BOUGHT, status, order_id=order_id, order_status=order_status, quantity=qty, cost=cost,
                       data=data, final=final)
    if qty is not None and order_status in UNFILLED_FINAL:
        return Verdict(EMPTY, status, order_id=order_id, order_status=order_status, quantity=qty, cost=cost,
                       data=data)
    why = ("the reply does not say what was filled" if qty is None
           else f"the order is {order_status or 'of no stated status'}, nothing filled yet")
    return Verdict(UNKNOWN, status, why, order_id=order_id, order_status=order_status, quantity=qty, cost=cost,
                   data=data)


UNDECODED = object()  # no decoded form given: the reply is decoded here


def judge(message: Any, shape: OrderShape = OrderShape(), data: Any = UNDECODED) -> Verdict:
    """The verdict on an order's own reply (already matched to it by id); ``data``: the reply
    already decoded (by the connection's reader), when it was."""
    if data is UNDECODED:
        data = decode(message)
    if not isinstance(data, dict):
        return Verdict(UNKNOWN, why="the reply is not a JSON object", data=data)
    present, status = _status(data)
    if status is None:
        why = "the reply's status is not a number" if present else "the reply has no status"
        return Verdict(UNKNOWN, why=why, data=data)
    error = data.get("error")
    if status == 200:
        verdict = judge_order(data.get("result"), status=status, data=data, shape=shape)
        if verdict.kind == UNKNOWN and isinstance(error, dict) and verdict.order_id is None:
            verdict.why = "status 200 with an error and no order"
        _keep_error(verdict, error)
        return _unless_execution_unknown(verdict)
    if status >= 500:
        verdict = Verdict(UNKNOWN, status, why=f"status {status}: the exchange failed, the order may have "
                                                f"been executed", data=data)
        _keep_error(verdict, error)
        return _unless_execution_unknown(verdict)
    if 400 <= status < 500 and isinstance(error, dict) and data.get("result") is None:
        msg = error.get("msg")
        verdict = Verdict(REFUSED, status, code=_int(error.get("code")),
                          msg=msg if isinstance(msg, str) else None, data=data)
        return _unless_execution_unknown(verdict)
    return Verdict(UNKNOWN, status, why=f"status {status} with a result" if data.get("result") is not None
                   else f"status {status} without an error", data=data)


def _unless_execution_unknown(verdict: Verdict) -> Verdict:
    """A code that says the execution is unknown leaves the order unknown, unless a fill is stated."""
    if verdict.code in EXECUTION_UNKNOWN and verdict.kind != BOUGHT:
        verdict.kind = UNKNOWN
        verdict.why = f"the exchange says the execution is unknown (code {verdict.code})"
    return verdict


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
