"""Asking the exchange about the orders whose outcome is unknown, until it tells or time runs out.

An order whose reply was lost, or whose reply says it is not over yet
(``NEW``, nothing filled), may have bought: the ledger
(:mod:`quorvane_host.orders.ledger`) keeps it unknown, and no further order
goes while it may have bought.  :class:`OrderQueries` asks the exchange
(the requests and the matching are :mod:`quorvane_host.orders.query`):
``order.status`` for an order whose id the exchange named, ``allOrders``
for the others, and hands what it says to the ledger, which alone decides.

It asks in rounds, a gap apart (growing from 100 ms to a second), until no
order is unknown or the given time is reached: an order still ``NEW`` is
asked again, and so is one that has bought but is not over (a fill only
grows until the order's status is final).  An answer settles an order only
when it describes that very order (:meth:`Ledger.not_about`); any other is
ignored and said.  A malformed row in a list is ignored and said, and no
answer, however odd, makes the questions fail.  A query refused as over a rate limit (429, or 418) waits
until the exchange says it may try again; when the exchange has stated
its request-weight limits (:class:`~quorvane_host.orders.weights.RequestBudget`),
a round waits while a question's weight does not fit (each method at its
weight, :data:`~quorvane_host.orders.weights.WEIGHTS`).  An exchange that does not know the
methods (code 1003) is not asked again, and that is said.

An order sent and not answered yet (its reply may still come) is asked
about only once it has waited :func:`reply_deadline_ms`: before that its
own reply is the likelier news, and ``allOrders`` may not list it yet.  Asking about
it earlier does no harm either: an order the answer does not name stays
unknown.  Callers that ask only once replies are known lost need not care.

The requests go out through ``request(text, request_id)`` (one request on a
pooled connection, returning its reply); times are this machine's ms from
``now_ms``, and the waits go through ``sleep``, so a test drives it all in
virtual time.
"""

from __future__ import annotations

import asyncio
import uuid
from decimal import Decimal, InvalidOperation
from typing import Any, Awaitable, Callable, Dict, List, Mapping, Optional, Set, Tuple

from quorvane_host.orders.codes import BANNED_STATUS, RATE_LIMITED_STATUS, Code
from quorvane_host.orders.fate import Order
from quorvane_host.orders.ledger import Ledger
from quorvane_host.orders.query import ALL_ORDERS, MARGIN_MS, ORDER_STATUS, all_orders_params, match, next_page, \
    signed_request, status_params, well_formed
from quorvane_host.orders.reply import BOUGHT, UNKNOWN, OrderShape, Verdict, decode, retry_after
from quorvane_host.orders.weights import RequestBudget, weight_of

__all__ = ["OrderQueries", "asked_how", "reply_deadline_ms"]

FIRST_GAP_MS = 100.0  # between rounds of questions, doubling ...
MAX_GAP_MS = 1000.0  # ... up to this; also the longest sleep between looks at a stop request
RATE_LIMIT_WAIT_MS = 1000.0  # a 429 that does not say until when
IN_FLIGHT_ROUND_TRIPS = 4  # an unanswered order is asked about after this many round trips ...
IN_FLIGHT_MIN_MS = 1000.0  # ... and at least this long
MAX_PAGES = 20  # allOrders pages of one round


def reply_deadline_ms(rtt_ms: float) -> float:
    """How long an order's reply is waited for before its outcome counts as unknown and is asked about."""
    return max(IN_FLIGHT_ROUND_TRIPS * rtt_ms, IN_FLIGHT_MIN_MS)


def _quantity(text: str) -> Optional[Decimal]:
    try:
        d = Decimal(text)
    except (InvalidOperation, ValueError):
        return None
    return d if d.is_finite() else None


def asked_how(method: str) -> str:
    """How an order's fate was found out, as the ledger and the report keep it."""
    return f"asked the exchange ({method})"


def _said(verdict: Verdict) -> str:
    """What the exchange said of an order, in a few words."""
    status = verdict.order_status or "an order"
    if verdict.kind == BOUGHT:
        return f"{status} {verdict.quantity}"
    return f"{status}, nothing filled"


class OrderQueries:
    """Resolves the ledger's unknown orders by asking the exchange; see the module's text.

    ``clock()`` returns (offset ms: the exchange's clock minus this
    machine's, round trip ms) as last measured.  ``quantity``: each order's
    quantity as the order text carried it.
    """

    def __init__(self, ledger: Ledger, request: Callable[[str, Any], Awaitable[Any]],
                 sign: Callable[[str, str], str], api_key: str, secret: str, symbol: str, quantity: str,
                 clock: Callable[[], Tuple[float, float]], now_ms: Callable[[], float],
                 budget: Optional[RequestBudget] = None, say: Callable[[str], None] = lambda line: None,
                 sleep: Callable[[float], Awaitable[Any]] = asyncio.sleep) -> None:
        self.ledger = ledger
        if ledger.shape == OrderShape():  # answers are held to the orders asked about, at the least
            ledger.shape = OrderShape(symbol, _quantity(quantity))
        self._request = request
        self._sign = sign
        self._api_key, self._secret = api_key, secret
        self.symbol, self.quantity = symbol, quantity
        self._clock, self._now_ms = clock, now_ms
        self.budget = budget
        self._say, self._sleep = say, sleep
        self.asked = 0  # requests sent
        self.unsupported: Set[str] = set()  # methods the exchange does not know
        self._ids: Dict[int, Any] = {}  # seq -> order id, as answers named them
        self._no_status: Set[int] = set()  # orders order.status could not find: listed instead
        self._hold_until = float("-inf")  # a rate limit's end, this machine's ms
        self._lines_said: Set[str] = set()
        self._asap = False  # orders in flight are asked about at once
        self._until_ms = float("inf")  # no question outlasts the time given to ``settle``
        self._halted: Callable[[], bool] = lambda: False  # ``settle``'s: no further question once true

    # ---- the rounds ------------------------------------------------------------------

    async def settle(self, until_ms: float, *, rounds: Optional[int] = None,
                     halted: Callable[[], bool] = lambda: False) -> None:
        """Ask until nothing is left to ask, the exchange cannot be asked, or ``until_ms`` (this machine's).

        ``rounds``: at most this many rounds of questions, asking about
        orders in flight at once (a run that stops reads no more replies);
        ``halted()``: stop asking as soon as it is true (checked between rounds).
        """
        self._asap = rounds is not None
        self._until_ms = until_ms
        self._halted = halted
        gap = FIRST_GAP_MS
        while self.ledger.unsettled() and not self.gave_up and not halted():
            now = self._now_ms()
            if now >= until_ms:
                return
            if now >= self._hold_until:
                if await self._safe_round(now):
                    gap = min(gap * 2, MAX_GAP_MS)
                    if rounds is not None:
                        rounds -= 1
                        if rounds <= 0:
                            return
                if not self.ledger.unsettled() or self.gave_up:
                    return
            now = self._now_ms()
            wake = max(now + gap, self._hold_until)
            if wake >= until_ms:
                return
            while now < wake and not halted():  # in steps: a stop request is seen while waiting
                await self._sleep(min(wake - now, FIRST_GAP_MS) / 1000.0)
                now = self._now_ms()

    @property
    def gave_up(self) -> bool:
        """No unknown order can be asked about any more (the exchange knows neither way to ask of it)."""
        return not any(self._by_status(o) or ALL_ORDERS not in self.unsupported for o in self.ledger.unsettled())

    def _by_status(self, order: Order) -> bool:
        """Whether ``order`` is asked about with order.status (else it is looked for in allOrders)."""
        return (self._order_id(order) is not None and ORDER_STATUS not in self.unsupported
                and order.seq not in self._no_status)

    def _affords(self, method: str) -> bool:
        return self.budget is None or self.budget.affords(self._now_ms(), weight_of(method))

    async def _safe_round(self, now: float) -> bool:
        """:meth:`_round`; whatever it fails on is said, never raised: the run's end must still come."""
        try:
            return await self._round(now)
        except Exception as exc:  # noqa: BLE001 - a question must never end the run
            self._say_once(f"asking the exchange failed: {type(exc).__name__}: {exc}")
            return True

    async def _round(self, now: float) -> bool:
        """One round of questions about the orders ready for them; False when none was."""
        _, rtt = self._clock()
        ready = [o for o in self.ledger.unsettled() if self._ready(o, now, rtt)]
        if not ready:
            return False
        listed: List[Order] = []
        for order in ready:
            if self._halted():
                return True
            if not self._by_status(order):
                listed.append(order)
            elif not self._affords(ORDER_STATUS) or not await self._ask_status(order, self._order_id(order)):
                return True  # held up (a rate limit, the budget) or the method is unknown: the next round sees
        if listed and ALL_ORDERS not in self.unsupported and self._affords(ALL_ORDERS) and not self._halted():
            await self._ask_all()
        return True

    def _ready(self, order: Order, now: float, rtt: float) -> bool:
        """Answered (but not settled), or sent long enough ago that its reply is late."""
        if order.verdict is not None or order.sent_ms is None or self._asap:
            return True
        return now - order.sent_ms >= reply_deadline_ms(rtt)

    def _order_id(self, order: Order) -> Any:
        named = order.verdict.order_id if order.verdict is not None else None
        return named if named is not None else self._ids.get(order.seq)

    # ---- the two questions -----------------------------------------------------------

    async def _ask_status(self, order: Order, order_id: Any) -> bool:
        """Ask about one order by its id; False when the round should stop here."""
        result = await self._ask(ORDER_STATUS, lambda ts: status_params(self.symbol, order_id, self._api_key, ts),
                                 order)
        if isinstance(result, dict):
            other = self.ledger.not_about(order, result)
            if other is None and str(result.get("orderId")) != str(order_id):
                other = f"order id {result.get('orderId')!r}, not {order_id!r}"
            if other is None:
                self._learn(order, result, ORDER_STATUS)
            else:
                self._say_once(f"order {order.seq}: the exchange's order.status answer is about another order "
                               f"({other}): ignored")
            return True
        return result is not None or not (self._holding() or ORDER_STATUS in self.unsupported)

    def _window(self, offset: float, rtt: float) -> Tuple[int, int]:
        """(start, end) by the exchange's clock: where any row that could be one of our orders lies."""
        sent = [o.sent_ms for o in self.ledger.orders if o.sent_ms is not None]
        reach = max(rtt, 0.0) + MARGIN_MS
        return (int(min(sent) + offset + rtt / 2 - reach - 1) if sent else 0,
                int(max(sent) + offset + rtt / 2 + reach + 1) if sent else int(self._now_ms() + offset))

    async def _ask_all(self) -> None:
        offset, rtt = self._clock()
        start, end = self._window(offset, rtt)
        rows: List[Any] = []
        from_id: Any = None
        for _ in range(MAX_PAGES):
            page = await self._ask(ALL_ORDERS, lambda ts: all_orders_params(
                self.symbol, start, self._api_key, ts, end_time_ms=end, from_id=from_id))
            if not isinstance(page, list):
                return  # a listing cut short could hide the row that makes a match ambiguous
            seen = {str(r.get("orderId")) for r in rows if isinstance(r, dict)}
            rows.extend(r for r in page if not (isinstance(r, dict) and str(r.get("orderId")) in seen))
            from_id = next_page(page)
            if from_id is None:
                break
            if not self._affords(ALL_ORDERS):
                return
        else:
            self._say_once(f"the exchange lists more than {MAX_PAGES} pages of orders in the run's window: "
                           "not matched")
            return
        bad = [r for r in rows if not well_formed(r)]
        if bad:
            self._say_once(f"the exchange's allOrders answer holds {len(bad)} malformed "
                           f"row{'s' if len(bad) != 1 else ''} (ignored), the first: {str(bad[0])[:160]}")
        by_seq = {o.seq: o for o in self.ledger.orders}
        found = match(rows, self.ledger.orders, offset, rtt, self.quantity, symbol=self.symbol,
                      known_ids=self._ids)
        for seq, answer in sorted(found.items()):
            self._learn(by_seq[seq], answer, ALL_ORDERS)

    def _learn(self, order: Order, result: Mapping[str, Any], method: str) -> None:
        if order.seq not in self._ids and result.get("orderId") is not None \
                and self.ledger.not_about(order, dict(result)) is None:
            self._ids[order.seq] = result.get("orderId")
        if order not in self.ledger.unsettled():
            return
        before = order.verdict
        verdict = self.ledger.learnt(order, dict(result), asked_how(method))
        if verdict is None:
            self._say_once(f"order {order.seq}: the exchange's {method} answer is about another order "
                           f"({self.ledger.not_about(order, dict(result))}): ignored")
        elif verdict.kind != UNKNOWN and verdict is not before:
            self._say(f"order {order.seq}: the exchange says {_said(verdict)} (asked with {method})")

    # ---- one request -----------------------------------------------------------------

    async def _ask(self, method: str, params: Callable[[int], Dict[str, Any]],
                   order: Optional[Order] = None) -> Any:
        """Send one query; its result (dict or list) when answered 200, else None (said why)."""
        offset, _ = self._clock()
        now = self._now_ms()
        request_id = f"query-{uuid.uuid4()}"
        text = signed_request(request_id, method, params(int(now + offset)), self._secret, self._sign)
        if self.budget is not None:
            self.budget.spend(now, weight_of(method))
        self.asked += 1
        try:
            reply = await asyncio.wait_for(self._request(text, request_id),
                                           max(0.0, self._until_ms - now) / 1000 if self._until_ms < float("inf")
                                           else None)
        except Exception as exc:  # a lost connection, a timeout: the next round asks again
            self._say_once(f"asking the exchange ({method}) failed: {type(exc).__name__}")
            return None
        data = decode(reply) if isinstance(reply, (str, bytes, bytearray)) else reply
        try:
            if self.budget is not None:
                self.budget.learn(data, self._now_ms(), sent_ms=now)
            return self._read(method, data, order)
        except Exception as exc:  # an answer of a shape nobody foresaw: said, and asked again
            self._say_once(f"the exchange's answer to {method} could not be read ({type(exc).__name__}: {exc})")
            return None

    def _read(self, method: str, data: Any, order: Optional[Order]) -> Any:
        """The answer's result, or None after taking note of a refusal."""
        if not isinstance(data, dict):
            self._say_once(f"the exchange's answer to {method} is not a JSON object")
            return None
        status = data.get("status")
        result = data.get("result")
        if status == 200 and isinstance(result, list if method == ALL_ORDERS else dict):
            return result
        error = data.get("error")
        if not isinstance(error, dict):
            error = {}
        code, msg = error.get("code"), error.get("msg")
        if status in (RATE_LIMITED_STATUS, BANNED_STATUS):
            self._hold(data, status)
        elif code == int(Code.UNKNOWN_METHOD):
            self.unsupported.add(method)
            self._say(f"the exchange has no {method} query (code {code}): "
                      + ("its orders are listed instead" if method == ORDER_STATUS else "it is not asked again"))
        elif method == ORDER_STATUS and order is not None:
            self._no_status.add(order.seq)
            self._say_once(f"order {order.seq}: order.status refused ({msg}, code {code}): listing the orders instead")
        else:
            self._say_once(f"the exchange refused {method}: {msg} (status {status}, code {code})")
        return None

    def _hold(self, data: Mapping[str, Any], status: Any) -> None:
        """A rate limit (or a ban): no query before the exchange's ``retryAfter``, in this machine's time."""
        offset, _ = self._clock()
        until = retry_after(data)
        now = self._now_ms()
        self._hold_until = until - offset if until is not None else now + RATE_LIMIT_WAIT_MS
        self._say_once(f"the exchange limits its queries (status {status}): asking again "
                       f"in {max(0.0, self._hold_until - now):.0f} ms")

    def _holding(self) -> bool:
        return self._hold_until > self._now_ms()

    def _say_once(self, line: str) -> None:
        if line not in self._lines_said:
            self._lines_said.add(line)
            self._say(line)
