"""Checking order requests as the loopback exchange does, without any network.

An ``order.place`` (or ``order.test``) request is a JSON object with ``id``,
``method`` and ``params``; ``apiKey`` names an account and ``signature`` is the
HMAC-SHA256, under its secret, of the other parameters as ``k1=v1&k2=v2...``
(keys sorted, values percent-encoded).  ``order.test`` is checked exactly as
``order.place`` except for the opening and the order rate limit, and places
nothing.  The listing-day options (:class:`~quorvane_rehearsal.behaviour.Behaviour`)
that bear on one order are applied here: the rate limit, the late opening,
the orders that expire unfilled or are answered before they fill.

The exchange keeps every order it placed, per account, and answers the
queries about them, signed and checked as orders are: ``order.status``
(``symbol``, ``orderId``) describes one order, ``allOrders`` (``symbol``,
optional ``startTime``, ``endTime``, ``orderId`` and ``limit``) lists the
account's orders of the symbol placed in that window, from that order id
on, oldest first and at most ``limit`` (500 unless said, 1000 at most), each
as ``order.place`` described it, with its ``time``.
An order the account does not hold is refused (code UNKNOWN_ORDER).
"""

from __future__ import annotations

import hashlib
import hmac
import itertools
import json
import re
import urllib.parse
from dataclasses import asdict, dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Dict, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

from quorvane_host.orders.codes import Code
from quorvane_rehearsal.behaviour import Behaviour, OrderLimits, not_open_text

__all__ = ["ORDER_METHODS", "QUERY_METHODS", "Record", "Symbol", "check_order", "query_string", "sign"]

PLACE, TEST = "order.place", "order.test"
ORDER_METHODS = (PLACE, TEST)
STATUS, ALL_ORDERS = "order.status", "allOrders"
QUERY_METHODS = (STATUS, ALL_ORDERS)

_DECIMAL = re.compile(r"[0-9]+(\.[0-9]+)?\Z")


_STATUS = {
    Code.UNKNOWN_API_KEY: 401,
    Code.BAD_SIGNATURE: 401,
}


@dataclass(frozen=True)
class Symbol:
    """A listed symbol: when trading opens (ms since the epoch) and its lot step."""

    name: str
    open_ms: int
    step: str = "0.001"
    price: str = "1.00"

    def __post_init__(self) -> None:
        if Decimal(self.step) <= 0:
            raise ValueError(f"step must be positive: {self.step!r}")


@dataclass
class Record:
    """One request as the exchange saw it."""

    seq: int
    arrival_ms: float  # server clock when the request was read
    outcome: str  # "accepted", "refused" or the name of a fault
    request_id: Optional[str] = None
    symbol: Optional[str] = None
    api_key: Optional[str] = None
    quantity: Optional[str] = None
    status: Optional[int] = None
    code: Optional[int] = None
    msg: Optional[str] = None
    order_id: Optional[int] = None

    @property
    def accepted(self) -> bool:
        return self.outcome == "accepted"

    def to_dict(self) -> dict:
        return asdict(self)


# --------------------------------------------------------------------------
# Signing, shared with tests and the host


def query_string(params: Mapping[str, object]) -> str:
    """The signed text of an order: sorted ``key=value`` pairs, values quoted."""
    return "&".join(
        f"{k}={urllib.parse.quote(str(v))}" for k, v in sorted(params.items()) if k != "signature"
    )


def sign(params: Mapping[str, object], secret: str) -> str:
    return hmac.new(secret.encode(), query_string(params).encode(), hashlib.sha256).hexdigest()




# --------------------------------------------------------------------------
# Order checks


class _Refusal(Exception):
    def __init__(self, code: Code, msg: str, status: Optional[int] = None,
                 data: Optional[dict] = None) -> None:
        super().__init__(msg)
        self.code = code
        self.msg = msg
        self.status = status if status is not None else _STATUS.get(code, 400)
        self.data = data


@dataclass
class _Book:
    """What the checks need to know about the exchange, and what they change in it."""

    accounts: Mapping[str, str]
    symbols: Mapping[str, Symbol]
    recv_window_ms: int = 5000
    ahead_ms: int = 1000  # how far a client's clock may run ahead of ours
    order_ids: Iterator[int] = field(default_factory=lambda: itertools.count(1))
    behaviour: Behaviour = field(default_factory=Behaviour)
    limits: OrderLimits = field(default_factory=OrderLimits)
    expire_left: int = 0  # orders still to expire instead of filling
    new_left: int = 0  # orders still to be answered NEW, before their fill
    placed: Dict[str, List[dict]] = field(default_factory=dict)  # API key -> its orders, as placed

    def set_behaviour(self, behaviour: Behaviour, restart_expiry: bool = True, restart_new: bool = True) -> None:
        """Behave so from now on; ``restart_expiry``: the next ``expire_first`` orders expire,
        ``restart_new``: the next ``new_first`` are answered NEW."""
        if restart_expiry:
            self.expire_left = behaviour.expire_first
        if restart_new:
            self.new_left = behaviour.new_first
        self.behaviour = behaviour


@dataclass
class Checked:
    """A checked request: the reply, its record, and the method (None when unknown)."""

    reply: dict
    record: Record
    method: Optional[str]


def _param(params: dict, name: str, kind: type) -> object:
    if name not in params:
        raise _Refusal(Code.BAD_PARAMETER, f"missing parameter '{name}'")
    value = params[name]
    if not isinstance(value, kind) or isinstance(value, bool):
        raise _Refusal(Code.BAD_PARAMETER, f"parameter '{name}' has the wrong type")
    return value


def _request(text: Union[str, bytes]) -> dict:
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError:
            raise _Refusal(Code.BAD_JSON, "request is not UTF-8 text") from None
    try:
        request = json.loads(text)
    except ValueError:
        raise _Refusal(Code.BAD_JSON, "request is not valid JSON") from None
    if not isinstance(request, dict):
        raise _Refusal(Code.BAD_REQUEST, "request must be a JSON object")
    return request


def _check_signed(params: dict, arrival_ms: float, book: _Book, record: Record) -> str:
    """Checks the types, the signature and the timestamp; returns the API key."""
    api_key = record.api_key
    signature = _param(params, "signature", str)
    secret = book.accounts[api_key]
    for name, value in params.items():
        if not isinstance(value, (str, int)) or isinstance(value, bool):
            raise _Refusal(Code.BAD_PARAMETER, f"parameter '{name}' has the wrong type")
    if not hmac.compare_digest(signature, sign(params, secret)):
        raise _Refusal(Code.BAD_SIGNATURE, "signature does not match the request")

    timestamp = _param(params, "timestamp", int)
    if timestamp > arrival_ms + book.ahead_ms:
        raise _Refusal(
            Code.TIMESTAMP_OUTSIDE_WINDOW,
            f"timestamp is {int(timestamp - arrival_ms)} ms ahead of the server time",
        )
    if arrival_ms - timestamp > book.recv_window_ms:
        raise _Refusal(
            Code.TIMESTAMP_OUTSIDE_WINDOW,
            f"timestamp is {int(arrival_ms - timestamp)} ms old, "
            f"outside the receive window of {book.recv_window_ms} ms",
        )
    return api_key


def _check_order_params(params: dict, arrival_ms: float, book: _Book, record: Record) -> Tuple[Symbol, Decimal]:
    """Checks the symbol (listed by now), side, type and quantity."""
    name = _param(params, "symbol", str)
    record.symbol = name
    symbol = book.symbols.get(name)
    if symbol is None or (book.behaviour.unlisted_before_open
                          and arrival_ms < book.behaviour.real_open_ms(symbol.open_ms)):
        raise _Refusal(Code.UNKNOWN_SYMBOL, f"unknown symbol {name}")
    if _param(params, "side", str) not in ("BUY", "SELL") or _param(params, "type", str) != "MARKET":
        raise _Refusal(Code.UNSUPPORTED_ORDER, "only MARKET orders with side BUY or SELL")

    quantity = _param(params, "quantity", str)
    record.quantity = quantity
    if not _DECIMAL.match(quantity):
        raise _Refusal(Code.BAD_QUANTITY, f"quantity {quantity} is not a plain decimal number")
    try:
        qty = Decimal(quantity)
    except InvalidOperation:  # pragma: no cover - the pattern rules it out
        raise _Refusal(Code.BAD_QUANTITY, f"quantity {quantity} is not a number") from None
    if qty <= 0:
        raise _Refusal(Code.BAD_QUANTITY, "quantity must be positive")
    if qty % Decimal(symbol.step) != 0:
        raise _Refusal(
            Code.QUANTITY_STEP, f"quantity {quantity} is not a multiple of the step {symbol.step}"
        )
    return symbol, qty


def quantity_problem(quantity: str, step: str) -> Optional[str]:
    """Why an order of ``quantity`` would be refused on a symbol of ``step``, or None.

    The same rule as an order's check, for a tool that lists the symbol
    itself and wants to refuse a quantity before anything starts.
    """
    if not _DECIMAL.match(quantity):
        return f"{quantity} is not a plain decimal number (digits, one point)"
    qty = Decimal(quantity)
    if qty <= 0:
        return f"{quantity} is not above zero"
    if qty % Decimal(step) != 0:
        return f"{quantity} is not a multiple of the symbol's step {step}"
    return None


def _check_open(symbol: Symbol, arrival_ms: float, book: _Book) -> None:
    if arrival_ms < book.behaviour.real_open_ms(symbol.open_ms):
        msg, data = not_open_text(symbol.name, symbol.open_ms, arrival_ms, book.behaviour)
        raise _Refusal(Code.NOT_OPEN, msg, data=data)


def _admit(api_key: str, arrival_ms: float, book: _Book) -> List[dict]:
    """Counts an order against the key's rate limit; the ``rateLimits`` to attach to its reply."""
    refusal, rate_limits = book.limits.admit(api_key, arrival_ms, book.behaviour)
    if refusal is not None:
        raise _RateRefusal(refusal, rate_limits)
    return rate_limits


class _RateRefusal(_Refusal):
    def __init__(self, refusal: dict, rate_limits: List[dict]) -> None:
        super().__init__(refusal["code"], refusal["msg"], refusal["status"], refusal["data"])
        self.rate_limits = rate_limits


def _check(text: Union[str, bytes], arrival_ms: float, book: _Book) -> Checked:
    request = _request(text)
    rid = request.get("id")
    record = Record(0, arrival_ms, "refused", request_id=rid if isinstance(rid, str) else None)
    method = request.get("method") if request.get("method") in ORDER_METHODS + QUERY_METHODS else None
    rate_limits: List[dict] = []
    try:
        if not isinstance(rid, str) or not rid:
            raise _Refusal(Code.BAD_REQUEST, "'id' must be a non-empty string")
        if method is None:
            raise _Refusal(Code.UNKNOWN_METHOD, f"unknown method {request.get('method')!r}")
        params = request.get("params")
        if not isinstance(params, dict):
            raise _Refusal(Code.BAD_REQUEST, "'params' must be a JSON object")
        record.api_key = _param(params, "apiKey", str)
        if record.api_key not in book.accounts:
            _param(params, "signature", str)  # a missing signature is said first, as before
            raise _Refusal(Code.UNKNOWN_API_KEY, "unknown API key")
        if method == PLACE:
            # Every order of a known key counts against its limit, whatever becomes of it.
            try:
                rate_limits = _admit(record.api_key, arrival_ms, book)
            except _RateRefusal as refusal:
                rate_limits = refusal.rate_limits
                raise
        _check_signed(params, arrival_ms, book, record)
        if method in QUERY_METHODS:
            result = _answer_query(method, params, book, record)
            record.status, record.outcome = 200, "accepted"
            return Checked({"id": rid, "status": 200, "result": result}, record, method)
        symbol, qty = _check_order_params(params, arrival_ms, book, record)
        if method == PLACE:
            _check_open(symbol, arrival_ms, book)
    except _Refusal as refusal:
        record.code, record.msg, record.status = int(refusal.code), refusal.msg, refusal.status
        error = {"code": record.code, "msg": record.msg}
        if refusal.data is not None:
            error["data"] = refusal.data
        reply = {"id": record.request_id, "status": record.status, "error": error}
        if rate_limits:
            reply["rateLimits"] = rate_limits
        return Checked(reply, record, method)

    record.status = 200
    if method == TEST:
        record.outcome = "accepted"
        return Checked({"id": rid, "status": 200, "result": {}}, record, method)
    reply = {"id": rid, "status": 200, "result": _fill(params, symbol, qty, arrival_ms, book, record)}
    if rate_limits:
        reply["rateLimits"] = rate_limits
    return Checked(reply, record, method)


def _fill(params: dict, symbol: Symbol, qty: Decimal, arrival_ms: float, book: _Book,
          record: Record) -> dict:
    """The order's result: filled at the symbol's price, or expired on an empty book."""
    order_id = next(book.order_ids)
    record.order_id = order_id
    quantity = params["quantity"]
    result = {
        "symbol": symbol.name,
        "orderId": order_id,
        "transactTime": int(arrival_ms),
        "side": params["side"],
        "type": "MARKET",
    }
    if book.expire_left > 0:
        book.expire_left -= 1
        record.outcome = "expired"
        result.update({"status": "EXPIRED", "origQty": quantity, "executedQty": "0.00000000",
                       "cummulativeQuoteQty": "0.00000000", "fills": []})
        return _keep(book, params["apiKey"], result)
    record.outcome = "accepted"
    price = Decimal(symbol.price)
    result.update({"status": "FILLED", "origQty": quantity, "executedQty": quantity,
                   "fills": [{"price": symbol.price, "qty": quantity, "quoteQty": str(price * qty)}]})
    _keep(book, params["apiKey"], result)
    if book.new_left > 0:  # accepted, and said so before the fill: only a query tells the fill
        book.new_left -= 1
        return dict(result, status="NEW", executedQty="0.00000000", cummulativeQuoteQty="0.00000000", fills=[])
    return result


def _keep(book: _Book, api_key: str, result: dict) -> dict:
    """The account's record of an order placed, for the queries; returns ``result``."""
    book.placed.setdefault(api_key, []).append(dict(result, time=result["transactTime"],
                                                    updateTime=result["transactTime"]))
    return result


def _answer_query(method: str, params: dict, book: _Book, record: Record) -> Union[dict, List[dict]]:
    """What the account's orders of the symbol say: the one named (order.status), or the list (allOrders)."""
    name = _param(params, "symbol", str)
    record.symbol = name
    if name not in book.symbols:
        raise _Refusal(Code.UNKNOWN_SYMBOL, f"unknown symbol {name}")
    mine = [dict(order) for order in book.placed.get(str(record.api_key), []) if order["symbol"] == name]
    if method == STATUS:
        order_id = _param(params, "orderId", int)
        for order in mine:
            if order["orderId"] == order_id:
                return order
        raise _Refusal(Code.UNKNOWN_ORDER, f"order {order_id} does not exist")
    start = _param(params, "startTime", int) if "startTime" in params else None
    end = _param(params, "endTime", int) if "endTime" in params else None
    from_id = _param(params, "orderId", int) if "orderId" in params else None
    limit = min(_param(params, "limit", int), 1000) if "limit" in params else 500
    return [order for order in mine if (start is None or order["time"] >= start)
            and (end is None or order["time"] <= end) and (from_id is None or order["orderId"] >= from_id)][:limit]


def check_order(
    text: Union[str, bytes],
    arrival_ms: float,
    accounts: Mapping[str, str],
    symbols: Mapping[str, Symbol],
    *,
    recv_window_ms: int = 5000,
    ahead_ms: int = 1000,
    order_ids: Optional[Iterable[int]] = None,
    behaviour: Optional[Behaviour] = None,
) -> Tuple[dict, Record]:
    """Check one request text as arriving at ``arrival_ms``; return the reply and its record."""
    book = _Book(accounts, symbols, recv_window_ms, ahead_ms,
                 iter(order_ids) if order_ids is not None else itertools.count(1))
    if behaviour is not None:
        book.set_behaviour(behaviour)
    checked = check_text(text, arrival_ms, book)
    return checked.reply, checked.record


def check_text(text: Union[str, bytes], arrival_ms: float, book: _Book) -> Checked:
    try:
        return _check(text, arrival_ms, book)
    except _Refusal as refusal:  # refused before the request's id was known
        record = Record(0, arrival_ms, "refused", status=400, code=int(refusal.code), msg=refusal.msg)
        return Checked({"id": None, "status": 400, "error": {"code": record.code, "msg": record.msg}},
                       record, None)


# --------------------------------------------------------------------------
# Requests that are not orders


_SERVICE_METHODS = ("time", "ping")


def request_method(text: Union[str, bytes]) -> Optional[str]:
    """The method a request names, or None when it is not a JSON object naming one."""
    try:
        request = json.loads(text)
    except ValueError:
        return None
    method = request.get("method") if isinstance(request, dict) else None
    return method if isinstance(method, str) else None


def service_request(text: Union[str, bytes]) -> Optional[dict]:
    """The decoded request when it asks for the server time or a ping, else None."""
    try:
        request = json.loads(text)
    except ValueError:
        return None
    if isinstance(request, dict) and request.get("method") in _SERVICE_METHODS:
        return request
    return None


def service_reply(request: dict, server_ms: float, time_api: bool) -> dict:
    rid = request.get("id")
    method = request["method"]
    if not isinstance(rid, str) or not rid:
        code, msg = Code.BAD_REQUEST, "'id' must be a non-empty string"
    elif not time_api:
        code, msg = Code.UNKNOWN_METHOD, f"unknown method {method!r}"
    else:
        result = {"serverTime": int(server_ms)} if method == "time" else {}
        return {"id": rid, "status": 200, "result": result}
    return {"id": rid if isinstance(rid, str) else None, "status": 400,
            "error": {"code": int(code), "msg": msg}}

