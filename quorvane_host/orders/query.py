"""Asking the exchange what became of an order: the two requests, and whose orders the answers name.

Pure functions (no sockets, no clock: times are passed in).  When an
order's reply is lost, or says the order is not over yet, the exchange can
still tell: ``order.status`` describes one order by its ``orderId``, and
``allOrders`` lists the account's orders of a symbol from ``startTime`` on.
Both are signed as an order is: the parameters in the order given here,
each value percent-encoded, sorted by key into ``k1=v1&k2=v2...``, the
HMAC-SHA256 of that text under the secret key added as ``signature``.

The account may hold orders the host did not send (another client's, an
earlier run's): :func:`match` gives an answered order to one of ours only by
its order id, when we know it, or else when it is a MARKET buy of our symbol
and quantity that reached the exchange when one of ours could have, and it
is the only such row for that order and that order the only one of ours
for it.  Anything less sure is left unmatched: the order's outcome stays
unknown, never "not bought".  A row that is malformed (a time or a
quantity that is no number) is no order at all.

``allOrders`` asks for a window as tight as the clock allows (from the
first order's arrival less the clock's uncertainty, to the last one's plus
a margin), the largest page, and the next page, from the last order id
seen, while a page comes back full (:func:`next_page`).
"""

from __future__ import annotations

import json
import math
import urllib.parse
from decimal import Decimal, InvalidOperation
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from quorvane_host.orders.fate import Order
from quorvane_host.orders.reply import REFUSED

__all__ = ["ALL_ORDERS", "MARGIN_MS", "ORDER_STATUS", "PAGE_LIMIT", "all_orders_params", "exchange_time", "match",
           "next_page", "signed_request", "status_params", "well_formed"]

ORDER_STATUS, ALL_ORDERS = "order.status", "allOrders"

# How far an order's time at the exchange may stray from when it should have
# arrived, beyond what the measured round trip allows (the exchange's own
# processing, a clock measured a while ago).
MARGIN_MS = 50.0
PAGE_LIMIT = 1000  # the most rows one allOrders answer may hold


def status_params(symbol: str, order_id: Any, api_key: str, timestamp_ms: int) -> Dict[str, Any]:
    """``order.status``'s parameters, before signing."""
    return {"symbol": symbol, "orderId": order_id, "apiKey": api_key, "timestamp": int(timestamp_ms)}


def all_orders_params(symbol: str, start_time_ms: int, api_key: str, timestamp_ms: int, *,
                      end_time_ms: Optional[int] = None, from_id: Any = None,
                      limit: int = PAGE_LIMIT) -> Dict[str, Any]:
    """``allOrders``'s parameters, before signing: the account's orders of ``symbol`` from ``start_time_ms``
    to ``end_time_ms`` (by the exchange's clock), oldest first, ``limit`` of them, from order id ``from_id``."""
    params = {"symbol": symbol, "startTime": int(start_time_ms), "limit": limit, "apiKey": api_key,
              "timestamp": int(timestamp_ms)}
    if end_time_ms is not None:
        params["endTime"] = int(end_time_ms)
    if from_id is not None:
        params["orderId"] = from_id
    return params


def next_page(rows: Sequence[Any], limit: int = PAGE_LIMIT) -> Any:
    """The order id to ask the next page from, when ``rows`` filled a page; else None."""
    if len(rows) < limit:
        return None
    last = rows[-1].get("orderId") if isinstance(rows[-1], dict) else None
    return last if _id_key(last) is not None else None


def _signed_text(params: Mapping[str, Any]) -> str:
    """The text an exchange signs: ``key=value`` pairs sorted by key, each value percent-encoded."""
    return "&".join(f"{key}={urllib.parse.quote(str(value))}" for key, value in sorted(params.items()))


def signed_request(request_id: str, method: str, params: Mapping[str, Any], secret: str,
                   sign: Callable[[str, str], str]) -> str:
    """The request's JSON text, its ``params`` signed with ``sign(query_string, secret)``."""
    signed = dict(params)
    signed["signature"] = sign(_signed_text(params), secret)
    return json.dumps({"id": request_id, "method": method, "params": signed})


# ---- whose orders the answers name ---------------------------------------------


def exchange_time(answer: Mapping[str, Any]) -> Optional[float]:
    """The exchange's time of an answered order (``time``, else ``transactTime``), or None."""
    for name in ("time", "transactTime"):
        if name not in answer:
            continue
        value = answer.get(name)  # the first stated decides: a time that is no time is none
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            try:
                at = float(value)
            except OverflowError:  # a whole number too large for a float
                return None
            return at if math.isfinite(at) else None
        return None
    return None


def _id_key(order_id: Any) -> Optional[str]:
    """An order id as a key: exchanges send it as a number, some as text of the same number."""
    if order_id is None or isinstance(order_id, (bool, dict, list)):
        return None
    return str(order_id)


def _decimal(value: Any) -> Optional[Decimal]:
    """A finite quantity, or None (``"sNaN"``, ``"Infinity"`` and text that is no number are none)."""
    if not isinstance(value, (str, int)) or isinstance(value, bool):
        return None
    try:
        d = Decimal(value)
    except (InvalidOperation, ValueError):
        return None
    return d if d.is_finite() else None


def well_formed(answer: Any) -> bool:
    """An order row that can be read: an order id, a finite time and, where stated, finite quantities."""
    if not isinstance(answer, dict) or _id_key(answer.get("orderId")) is None or exchange_time(answer) is None:
        return False
    return all(_decimal(answer[name]) is not None for name in ("origQty", "executedQty") if name in answer)


def _like_ours(answer: Mapping[str, Any], symbol: Optional[str], quantity: Optional[Decimal]) -> bool:
    """A MARKET buy of our symbol and quantity, with a time: one the host could have sent."""
    return (answer.get("side") == "BUY" and answer.get("type") == "MARKET"
            and (symbol is None or answer.get("symbol") == symbol)
            and quantity is not None and _decimal(answer.get("origQty")) == quantity
            and exchange_time(answer) is not None)


def _known_ids(orders: Iterable[Order], more: Mapping[int, Any]) -> Dict[str, int]:
    """Order id -> seq of our orders whose id the exchange has named."""
    ids: Dict[str, int] = {}
    for order in orders:
        named = order.verdict.order_id if order.verdict is not None else None
        key = _id_key(named if named is not None else more.get(order.seq))
        if key is not None:
            ids.setdefault(key, order.seq)
    return ids


def _candidates(orders: Sequence[Order], answers: Sequence[Mapping[str, Any]], offset_ms: float,
                rtt_ms: float, margin_ms: float) -> Dict[int, List[int]]:
    """Order index -> the answers whose time fits when that order could have reached the exchange.

    An order left at ``sent_ms`` (this machine's clock) and reached the
    exchange about half a round trip later, at ``sent_ms + offset + rtt/2``
    by its clock; the measured offset is itself only good to half a round
    trip, so an answer up to a round trip (plus the margin) either side of
    that moment may be it.
    """
    reach = max(rtt_ms, 0.0) + margin_ms
    out: Dict[int, List[int]] = {}
    for i, order in enumerate(orders):
        assert order.sent_ms is not None
        expected = order.sent_ms + offset_ms + max(rtt_ms, 0.0) / 2
        out[i] = [j for j, answer in enumerate(answers)
                  if abs((exchange_time(answer) or math.inf) - expected) <= reach]
    return out


def _pair_by_time(orders: List[Order], answers: List[Mapping[str, Any]], offset_ms: float, rtt_ms: float,
                  margin_ms: float) -> Dict[int, Mapping[str, Any]]:
    """Pairs an order with an answer when each is the other's only fit.

    Nearer is not surer: another client's identical order a millisecond
    from where ours should be, with ours a few tens of milliseconds off,
    would be taken for ours.  Two answers that fit one order, or two orders
    that one answer fits, leave them all unmatched.
    """
    near = _candidates(orders, answers, offset_ms, rtt_ms, margin_ms)
    fits: Dict[int, List[int]] = {}
    for i, js in near.items():
        for j in js:
            fits.setdefault(j, []).append(i)
    return {orders[i].seq: answers[js[0]] for i, js in near.items() if len(js) == 1 and len(fits[js[0]]) == 1}


def match(answers: Iterable[Any], orders: Iterable[Order], offset_ms: float, rtt_ms: float, quantity: str, *,
          symbol: Optional[str] = None, known_ids: Optional[Mapping[int, Any]] = None,
          margin_ms: float = MARGIN_MS) -> Dict[int, Mapping[str, Any]]:
    """Which of our ``orders`` (by seq) each answered order is; answers that are none of ours are left out.

    ``answers``: orders as the exchange describes them (``order.status``'s
    result, or ``allOrders``'s list).  ``orders``: the run's orders (all of
    them, so that an order id known to be one's is never given to another).
    ``offset_ms``: the exchange's clock minus this machine's; ``rtt_ms``:
    the measured round trip.  ``quantity``: the quantity each order was
    sent with, as text.  ``symbol``: the orders' symbol (None: any).
    ``known_ids``: order ids learnt besides the verdicts (seq -> orderId).

    An answer whose ``orderId`` is one we know goes to that order.  The
    others are matched by time to our sent orders whose id is not known
    and that were not refused, when they are MARKET buys of the symbol and
    quantity; see :func:`_pair_by_time`.  Rows that are not well formed
    (:func:`well_formed`) are left out.
    """
    all_orders = list(orders)
    ids = _known_ids(all_orders, known_ids or {})
    wanted = _decimal(quantity)
    matched: Dict[int, Mapping[str, Any]] = {}
    loose: List[Mapping[str, Any]] = []
    for answer in answers:
        if not well_formed(answer):
            continue
        seq = ids.get(_id_key(answer.get("orderId")) or "")
        if seq is not None:
            matched.setdefault(seq, answer)
        elif _id_key(answer.get("orderId")) is not None and _like_ours(answer, symbol, wanted):
            loose.append(answer)
    named = set(ids.values())
    unnamed = [o for o in all_orders if o.sent and o.sent_ms is not None and o.seq not in named
               and not (o.verdict is not None and o.verdict.kind == REFUSED)]
    matched.update(_pair_by_time(unnamed, loose, offset_ms, rtt_ms, margin_ms))
    return matched
