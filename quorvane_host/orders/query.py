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
and quantity that reached the exchange when one of ours did, and no other
of ours (and no other such order) could be it as well.  Anything less sure
is left unmatched: the order's outcome stays unknown, never "not bought".
"""

from __future__ import annotations

import json
import urllib.parse
from decimal import Decimal, InvalidOperation
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from quorvane_host.orders.fate import Order
from quorvane_host.orders.reply import REFUSED

__all__ = ["ALL_ORDERS", "MARGIN_MS", "ORDER_STATUS", "all_orders_params", "exchange_time", "match",
           "signed_request", "status_params"]

ORDER_STATUS, ALL_ORDERS = "order.status", "allOrders"

# How far an order's time at the exchange may stray from when it should have
# arrived, beyond what the measured round trip allows (the exchange's own
# processing, a clock measured a while ago).
MARGIN_MS = 50.0


def status_params(symbol: str, order_id: Any, api_key: str, timestamp_ms: int) -> Dict[str, Any]:
    """``order.status``'s parameters, before signing."""
    return {"symbol": symbol, "orderId": order_id, "apiKey": api_key, "timestamp": int(timestamp_ms)}


def all_orders_params(symbol: str, start_time_ms: int, api_key: str, timestamp_ms: int) -> Dict[str, Any]:
    """``allOrders``'s parameters, before signing: the account's orders of ``symbol`` from ``start_time_ms``."""
    return {"symbol": symbol, "startTime": int(start_time_ms), "apiKey": api_key, "timestamp": int(timestamp_ms)}


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
        value = answer.get(name)
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
    return None


def _id_key(order_id: Any) -> Optional[str]:
    """An order id as a key: exchanges send it as a number, some as text of the same number."""
    if order_id is None or isinstance(order_id, (bool, dict, list)):
        return None
    return str(order_id)


def _decimal(value: Any) -> Optional[Decimal]:
    if not isinstance(value, (str, int)) or isinstance(value, bool):
        return None
    try:
        return Decimal(value)
    except InvalidOperation:
        return None


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
                rtt_ms: float, margin_ms: float) -> Dict[Tuple[int, int], float]:
    """(order index, answer index) -> how far the answer's time is from when that order should have arrived.

    An order left at ``sent_ms`` (this machine's clock) and reached the
    exchange about half a round trip later, at ``sent_ms + offset + rtt/2``
    by its clock; the measured offset is itself only good to half a round
    trip, so an answer up to a round trip (plus the margin) either side of
    that moment may be it.
    """
    reach = max(rtt_ms, 0.0) + margin_ms
    out: Dict[Tuple[int, int], float] = {}
    for i, order in enumerate(orders):
        assert order.sent_ms is not None
        expected = order.sent_ms + offset_ms + max(rtt_ms, 0.0) / 2
        for j, answer in enumerate(answers):
            at = exchange_time(answer)
            if at is not None and abs(at - expected) <= reach:
                out[i, j] = abs(at - expected)
    return out


def _clear_best(distances: List[Tuple[float, int]], separation: float) -> Optional[int]:
    """The closest one, when the next closest is clearly farther; else None."""
    if not distances:
        return None
    distances.sort()
    if len(distances) > 1 and distances[1][0] - distances[0][0] < separation:
        return None
    return distances[0][1]


def _pair_by_time(orders: List[Order], answers: List[Mapping[str, Any]], offset_ms: float, rtt_ms: float,
                  margin_ms: float) -> Dict[int, Mapping[str, Any]]:
    """Pairs each order with the answer closest in time, when neither could as well be another's.

    Two candidates whose times differ by less than half a round trip cannot
    be told apart (an order's arrival is known no better), so neither is
    taken.  A pair found takes both out, which may make the rest clear:
    repeated until nothing more pairs.
    """
    separation = max(rtt_ms, 0.0) / 2 + 1.0
    near = _candidates(orders, answers, offset_ms, rtt_ms, margin_ms)
    left_orders, left_answers = set(range(len(orders))), set(range(len(answers)))
    paired: Dict[int, Mapping[str, Any]] = {}
    while True:
        found = []
        for i in sorted(left_orders):
            j = _clear_best([(d, b) for (a, b), d in near.items() if a == i and b in left_answers], separation)
            if j is None:
                continue
            back = _clear_best([(d, a) for (a, b), d in near.items() if b == j and a in left_orders], separation)
            if back == i:
                found.append((i, j))
        if not found:
            return paired
        for i, j in found:
            paired[orders[i].seq] = answers[j]
            left_orders.discard(i)
            left_answers.discard(j)


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
    quantity; see :func:`_pair_by_time`.
    """
    all_orders = list(orders)
    ids = _known_ids(all_orders, known_ids or {})
    wanted = _decimal(quantity)
    matched: Dict[int, Mapping[str, Any]] = {}
    loose: List[Mapping[str, Any]] = []
    for answer in answers:
        if not isinstance(answer, dict):
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
