"""A scripted exchange: every order's fate drawn from the seed, and a record of what it filled.

It speaks the exchange's WebSocket API as far as the host uses it
(``order.place``, ``order.status``, ``allOrders``, ``time``) and answers in
every shape the host must read right: fills, nothing filled, orders still
``NEW`` that fill or expire later, a fill beside ``"error": {"code": 0}``, a
fill without ``orderId``, a status that is a string, rate limits with codes
the host does not know, refusals before a late or moved opening, refusals
that stop the host, fills followed by a dropped or silent connection,
requests lost on the way, late replies, messages of its own (``id`` null,
unknown ids, events) while an order waits, and queries that fail.  Also
the shapes that leave an order in doubt: server errors and codes that say
the execution is unknown (then, at times, the real reply late), EXPIRED or
CANCELED orders with a fill, fills that grow, quantities as text or as
numbers, malformed fill entries, replies that never come, and replies drawn
from a grammar (:func:`grammar_reply`).  Its answers to queries may name
another symbol or order id, hold malformed rows, list another client's
twin of our order beside it, or come in pages.

It never lies: a reply that says positively what became of an order (a
refusal, a fill, nothing filled and over) is what its book holds; a reply
that says less leaves the book to the seed.  Its record
(:attr:`Exchange.orders`) is the truth the invariants hold the host to: an
order can fill only when its request arrived.
"""

import datetime
import json
from decimal import Decimal

REFUSALS_THAT_STOP = ((400, -2010, "Account has insufficient balance for requested action."),
                      (400, 3003, "Quantity below the minimum."), (418, -1003, "Way too many requests; banned."))
# Each order's fate after the opening, with its weight.
SHAPES = {"filled": 6, "partial": 2, "expired": 4, "new_fills": 3, "new_expires": 2, "filled_error_ok": 2,
          "filled_no_id": 2, "status_string": 1, "rate_unknown_code": 2, "stop_refusal": 1, "fill_then_drop": 2,
          "lost_on_the_way": 2, "fill_then_silent": 1, "silent_before": 1, "late_reply": 2, "not_json": 1,
          "server_error": 2, "execution_unknown": 1, "expired_with_fill": 1, "canceled_with_fill": 1,
          "partial_grows": 2, "text_forms": 2, "malformed_fill": 1, "never_replies": 1, "grammar": 3}
FINAL = ("FILLED", "EXPIRED", "REJECTED", "CANCELED")
EXECUTION_UNKNOWN = ((503, -1007, "Timeout waiting for response from backend server. Send status unknown; "
                                  "execution status unknown."),
                     (500, -1000, "An unknown error occurred while processing the request."),
                     (400, -1006, "An unexpected response was received from the message bus."))
# Request weight of each method, as this exchange counts it.
WEIGHTS = {"allOrders": 20, "order.status": 4}
MAX_PAGE = 1000


def _text(rng, qty):
    """A quantity in one of the forms exchanges send: text with trailing zeros, text, or a JSON number."""
    return rng.choice((f"{qty:.8f}", str(qty), float(qty)))


def grammar_reply(rng, rid, order, symbol, now):
    """A reply drawn from a grammar of shapes, and whether it binds the book.

    Returns (reply, book): ``book`` is what the reply says positively
    ("refused", "filled", "empty"), which the book must then hold, or None
    when it says too little and the book is left as drawn.
    """
    status = rng.choice((200, 200, 400, 404, 429, 500, 503, "200", None))
    reply = {"id": rid}
    if status is not None:
        reply["status"] = status
    error = rng.choice((None, None, {"code": -2010, "msg": "Insufficient balance."}, {"code": rng.randint(-9999, 9999)},
                        {"code": -1007, "msg": "execution status unknown"}, "error", {"msg": "?"}))
    if error is not None:
        reply["error"] = error
    result_kind = rng.choice(("absent", "full", "partial", "wrong_types"))
    if result_kind != "absent":
        result = order.describe(symbol, now)
        if result_kind == "partial":
            for name in rng.sample(sorted(result), rng.randint(1, 4)):
                result.pop(name, None)
        elif result_kind == "wrong_types":
            name = rng.choice(("orderId", "executedQty", "status", "fills", "origQty"))
            result[name] = rng.choice(([1], {"a": 1}, True, None, "x"))
        elif rng.random() < 0.5:
            result["executedQty"] = _text(rng, order.filled_now)
        reply["result"] = result
    book = None
    code = error.get("code") if isinstance(error, dict) else None
    if type(status) is int and 400 <= status < 500 and isinstance(error, dict) and "result" not in reply \
            and code not in (-1000, -1006, -1007):
        book = "refused"
    return reply, book



class ExOrder:
    """One order in the exchange's book: the host's (``request_id`` set) or another client's."""

    def __init__(self, order_id, request_id, arrived_ms, qty, filled, status, settles_ms=None, then=None):
        self.order_id, self.request_id, self.arrived_ms, self.qty = order_id, request_id, arrived_ms, qty
        self.filled_now, self.status_now = filled, status
        self.settles_ms, self.then = settles_ms, then  # a NEW order's later (status, filled)
        self.settling = False  # its reply said, in full, that it is over
        self.unanswered = False  # no reply ever went, on a connection that stayed open

    def state(self, at_ms):
        """(status, filled) as the exchange sees the order at ``at_ms``."""
        if self.settles_ms is not None and at_ms >= self.settles_ms:
            return self.then
        return self.status_now, self.filled_now

    def final(self):
        return self.then if self.settles_ms is not None else (self.status_now, self.filled_now)

    def may_fill(self, at_ms):
        status, filled = self.state(at_ms)
        return filled > 0 or status not in FINAL

    def describe(self, symbol, at_ms):
        status, filled = self.state(at_ms)
        symbol = symbol if self.request_id is not None else "QRVUSD"  # another client's: the listing's symbol
        price = Decimal("1.25")
        out = {"symbol": symbol, "orderId": self.order_id, "side": "BUY", "type": "MARKET", "status": status,
               "origQty": str(self.qty), "executedQty": str(filled), "cummulativeQuoteQty": str(filled * price),
               "time": int(self.arrived_ms), "transactTime": int(self.arrived_ms), "updateTime": int(at_ms)}
        if filled:
            out["fills"] = [{"price": str(price), "qty": str(filled), "commission": "0", "commissionAsset": "QRV"}]
        return out


class Exchange:
    """``behaviour``: what this seed's exchange does (see :mod:`.behaviour`); ``clock()``: its time in ms."""

    def __init__(self, behaviour, clock, loop, rng):
        self.b, self.clock, self.loop, self.rng = behaviour, clock, loop, rng
        self.orders = []  # every order in the book, foreign ones too
        self.ours = []  # the host's orders that arrived, in arrival order
        self.violations = []  # found as orders arrive (invariant 1)
        self.checks = 0
        self.arrivals = []  # exchange ms of every order request that arrived
        self.announced_at = []  # exchange ms of each refusal that said when trading opens
        self.connections = 0
        self.live = []
        self._order_window = {}  # fixed windows on the exchange's clock: start -> orders
        self._weight_window = {}
        self._last_id = 0
        for offset_ms, qty, filled in behaviour.foreign:
            self.orders.append(ExOrder(self._next_id(), None, behaviour.open_ms + offset_ms, qty, filled,
                                       "FILLED" if filled else "EXPIRED"))
        for n in range(behaviour.crowd):  # a busy account: more rows around the opening than one page holds
            at = behaviour.open_ms + rng.uniform(-200, 300)
            self.orders.append(ExOrder(self._next_id(), None, at, Decimal(7), Decimal(7), "FILLED"))
        self.weight_refused = []  # virtual s at which a query arrived over a request-weight limit

    # ---- connections ------------------------------------------------------------

    def cut_one(self, silent):
        """A connection lost at random (an idle warm one, or one in use): dropped, or gone half-open."""
        live = [c for c in self.live if not c.silent and c.state.name == "OPEN"]
        if live:
            conn = self.rng.choice(live)
            conn.go_silent() if silent else conn.drop()

    def accept(self, conn):
        self.live.append(conn)
        self.connections += 1
        if self.connections in self.b.refused_connections:
            return ConnectionRefusedError(111, "Connection refused")
        return None

    def closed(self, conn):
        self.live.remove(conn)

    def received(self, conn, text):
        now = self.clock()
        try:
            request = json.loads(text)
            rid, method, params = request.get("id"), request.get("method"), request.get("params") or {}
        except (ValueError, AttributeError):
            return self._answer(conn, {"id": None, "status": 400, "error": {"code": 1001, "msg": "bad JSON"}})
        if self._over("weight", now, self.b.weight_limit, WEIGHTS.get(method, 1)):
            if method in WEIGHTS:
                self.weight_refused.append(self.loop.time())
            return self._answer(conn, self._limited(rid, now, -1003, "weight"))
        if method == "order.place":
            return self._place(conn, rid, params, now)
        if method in ("order.status", "allOrders"):
            return self._query(conn, rid, method, params, now)
        if method in ("time", "ping"):
            return self._answer(conn, {"id": rid, "status": 200, "result": {"serverTime": int(now)}})
        return self._answer(conn, {"id": rid, "status": 400, "error": {"code": 1003, "msg": "unknown method"}})

    # ---- orders -----------------------------------------------------------------

    def _place(self, conn, rid, params, now):
        self.arrivals.append(now)
        if now < self.b.open_ms:
            return self._answer(conn, self._not_open(rid, now))
        shape = self.rng.choices(list(SHAPES), weights=list(SHAPES.values()))[0]
        if self.b.twins and shape in ("lost_on_the_way", "silent_before"):
            shape = "filled"  # see Behaviour.twins
        if shape == "lost_on_the_way":
            return conn.drop()  # the request never reached the matching engine
        if shape == "silent_before":
            return conn.go_silent()
        if self._over("orders", now, self.b.order_limit, 1):
            return self._answer(conn, self._limited(rid, now, -1015, "orders"))
        if shape in ("server_error", "execution_unknown", "grammar", "never_replies"):
            return self._in_doubt(conn, rid, params, now, shape)
        if shape in ("rate_unknown_code", "stop_refusal"):
            status, code, msg = (429, -1099, "Slow down.") if shape == "rate_unknown_code" \
                else self.rng.choice(REFUSALS_THAT_STOP)
            return self._answer(conn, {"id": rid, "status": status, "error": {"code": code, "msg": msg}})
        order = self._book(rid, params, now, shape)
        # A reply of the textbook shape that says the order is over settles it: the host must not
        # leave such an order unknown (it would stop ordering and lose the listing for nothing).
        order.settling = shape in ("filled", "partial", "expired", "filled_error_ok", "late_reply",
                                   "expired_with_fill", "canceled_with_fill", "text_forms", "malformed_fill")
        said = getattr(order, "said", None) or order.describe(params.get("symbol"), now)
        if shape == "text_forms":
            said["executedQty"], said["origQty"] = _text(self.rng, order.filled_now), _text(self.rng, order.qty)
        elif shape == "malformed_fill":
            said.setdefault("fills", []).append(self.rng.choice(({"qty": "x", "price": "1"}, None, {"price": "1"})))
        reply = {"id": rid, "status": 200, "result": said, "rateLimits": self._rate_limits(now)}
        if shape == "filled_error_ok":
            reply["error"] = {"code": 0, "msg": "OK"}
        elif shape == "filled_no_id":
            del reply["result"]["orderId"]
        elif shape == "status_string":
            reply["status"] = "500"
        if shape == "fill_then_drop":
            return conn.drop()
        if shape == "fill_then_silent":
            return conn.go_silent()
        text = json.dumps(reply) if shape != "not_json" else "<html>502 Bad Gateway</html>"
        self._push_noise(conn)
        delay = self.rng.uniform(1.0, 15.0) if shape == "late_reply" else self.rng.uniform(0, 0.08)
        self.loop.call_later(delay, conn.push, text)
        if self.rng.random() < self.b.told_twice:  # the same reply again, or a word in doubt under its id
            again = text if self.rng.random() < 0.5 else json.dumps(
                {"id": rid, "status": 503, "error": {"code": -1007, "msg": "execution status unknown"}})
            self.loop.call_later(delay + self.rng.uniform(0, 0.5), conn.push, again)

    def _book(self, rid, params, now, shape):
        qty = Decimal(str(params.get("quantity")))
        # The host must never have more orders in play than it wants bought.
        in_play = sum(1 for o in self.ours if o.may_fill(now))
        self.checks += 1
        if in_play >= self.b.wanted:
            self.violations.append(f"1: an order arrived at {now:.0f} while {in_play} of ours had filled or "
                                   f"might still fill (--orders {self.b.wanted})")
        filled = {"partial": qty / 2, "expired": Decimal(0), "new_fills": Decimal(0),
                  "new_expires": Decimal(0), "expired_with_fill": qty / 4, "canceled_with_fill": qty / 2,
                  "partial_grows": qty / 5}.get(shape, qty)
        status = {"partial": "FILLED", "expired": "EXPIRED", "expired_with_fill": "EXPIRED",
                  "canceled_with_fill": "CANCELED", "partial_grows": "PARTIALLY_FILLED"}.get(shape, "FILLED")
        order = ExOrder(self._next_id(), rid, now, qty, filled, status)
        self._twin(order)
        if shape == "status_string" and self.rng.random() < 0.5:
            # A reply through a failing gateway: the result it carries says FILLED, the book says otherwise.
            order.said = order.describe(params.get("symbol"), now)
            order.filled_now, order.status_now = Decimal(0), "REJECTED"
        if shape in ("new_fills", "new_expires"):
            order.status_now, order.settles_ms = "NEW", now + self.rng.uniform(20, 3000)
            order.then = ("FILLED", qty) if shape == "new_fills" else ("EXPIRED", Decimal(0))
        if shape == "partial_grows":
            order.settles_ms, order.then = now + self.rng.uniform(20, 3000), ("EXPIRED", qty / 2)
        self.orders.append(order)
        self.ours.append(order)
        return order

    def _in_doubt(self, conn, rid, params, now, shape):
        """A reply that does not say in full what became of the order (or none at all)."""
        qty = Decimal(str(params.get("quantity")))
        filled = self.rng.choice((qty, qty, Decimal(0), qty / 2))
        order = self._book(rid, params, now, "filled")
        order.filled_now, order.status_now = filled, "FILLED" if filled == qty else "EXPIRED"
        symbol = params.get("symbol")
        if shape == "never_replies":
            order.unanswered = True
            return None  # booked; the connection stays open and says nothing
        if shape == "grammar":
            reply, book = grammar_reply(self.rng, rid, order, symbol, now)
            if book == "refused":  # it said refused: the book holds no order
                self.orders.remove(order)
                self.ours.remove(order)
        else:
            status, code, msg = self.rng.choice(EXECUTION_UNKNOWN[:2] if shape == "server_error"
                                                else EXECUTION_UNKNOWN[2:])
            reply = {"id": rid, "status": status, "error": {"code": code, "msg": msg}}
            if self.rng.random() < 0.5:  # the real reply, late
                late = {"id": rid, "status": 200, "result": order.describe(symbol, now)}
                self.loop.call_later(self.rng.uniform(0.2, 1.5), conn.push, json.dumps(late))
        self._answer(conn, reply)

    def _next_id(self):
        self._last_id += 1
        return self._last_id

    def _twin(self, order):
        """Another client's MARKET buy of our quantity, close to our order's arrival (at times)."""
        if self.rng.random() < self.b.twins:
            at = order.arrived_ms + self.rng.uniform(-1, 1) * (1000 * self.b.rtt_s + 60)
            self.orders.append(ExOrder(self._next_id(), None, at, order.qty, order.qty * self.rng.choice((0, 1)),
                                       "FILLED" if self.rng.random() < 0.5 else "EXPIRED"))

    def _not_open(self, rid, now):
        """A refusal before the opening; it may say when trading opens, in one of three ways."""
        error = {"code": 3005, "msg": "Trading is not open yet."}
        style, opens = self.b.announce, self.b.open_ms
        if self.b.first_said_ms is not None and now < self.b.first_said_ms:
            opens = self.b.first_said_ms  # moved later once this time has passed
        if style is not None and opens == self.b.open_ms:
            self.announced_at.append(now)
        if style == "openTime":
            error["data"] = {"openTime": int(opens)}
        elif style == "opens_in":
            error["msg"] = f"Trading opens in {int(opens - now)} ms."
        elif style == "iso":
            at = datetime.datetime.fromtimestamp(opens / 1000, datetime.timezone.utc)
            error["msg"] = f"Trading opens at {at.isoformat(timespec='milliseconds').replace('+00:00', 'Z')}."
        return {"id": rid, "status": 400, "error": error}

    # ---- queries ----------------------------------------------------------------

    def _query(self, conn, rid, method, params, now):
        failure = self.rng.random() < self.b.query_failures and self.rng.choice(["500", "429", "drop", "silent"])
        if failure == "drop":
            return conn.drop()
        if failure == "silent":
            return conn.go_silent()
        if failure == "500":
            return self._answer(conn, {"id": rid, "status": 500, "error": {"code": -1000, "msg": "Internal error"}})
        if failure == "429":
            return self._answer(conn, self._limited(rid, now, -1003, "weight"))
        symbol = params.get("symbol")
        if method == "order.status":
            found = [o for o in self.orders if o.order_id == params.get("orderId")]
            if not found:
                return self._answer(conn, {"id": rid, "status": 400, "error": {"code": -2013,
                                                                                 "msg": "Order does not exist."}})
            result = found[0].describe(symbol, now)
            if self.rng.random() < self.b.wrong_answers:  # another order's answer, under our question
                other = self.rng.choice(("symbol", "orderId"))
                result = dict(result, status="EXPIRED", executedQty="0", fills=[],
                              **({"symbol": "ZZQUSD"} if other == "symbol" else {"orderId": result["orderId"] + 1}))
        else:
            start, end = params.get("startTime") or 0, params.get("endTime")
            from_id, limit = params.get("orderId") or 0, min(params.get("limit") or 500, MAX_PAGE)
            rows = sorted((o for o in self.orders if o.arrived_ms >= start and (end is None or o.arrived_ms <= end)
                           and o.order_id >= from_id), key=lambda o: o.order_id)
            result = [o.describe(symbol, now) for o in rows[:limit]]
            if result and self.rng.random() < self.b.malformed_rows:
                bad = dict(result[0], orderId=result[-1]["orderId"] + 10**6)
                bad.update(self.rng.choice(({"time": 1e400}, {"time": 10**400}, {"origQty": "sNaN"}, {"time": "soon"})))
                result.insert(self.rng.randrange(len(result)), bad)
        self._answer(conn, {"id": rid, "status": 200, "result": result, "rateLimits": self._rate_limits(now)})

    # ---- limits and messages ------------------------------------------------------

    def _over(self, kind, now, limit, cost):
        """Counts ``cost`` against ``limit`` (per 10 s window of the exchange's clock); True when over it."""
        if limit is None:
            return False
        windows = self._order_window if kind == "orders" else self._weight_window
        start = now // 10_000 * 10_000
        windows[start] = windows.get(start, 0) + cost
        return windows[start] > limit

    def _rate_limits(self, now):
        start = now // 10_000 * 10_000
        out = []
        for kind, limit, windows in (("ORDERS", self.b.order_limit, self._order_window),
                                     ("REQUEST_WEIGHT", self.b.weight_limit, self._weight_window)):
            if limit is not None:
                out.append({"rateLimitType": kind, "interval": "SECOND", "intervalNum": 10, "limit": limit,
                            "count": windows.get(start, 0)})
        return out

    def _limited(self, rid, now, code, what):
        reply = {"id": rid, "status": 429, "error": {"code": code, "msg": f"Too many {what}."},
                 "rateLimits": self._rate_limits(now)}
        if self.rng.random() < 0.5:
            reply["error"]["data"] = {"retryAfter": int(now // 10_000 * 10_000 + 10_000)}
        return reply

    def _push_noise(self, conn):
        """Messages of the exchange's own while an order waits: never any order's reply."""
        for _ in range(self.rng.choice((0, 0, 0, 1, 2))):
            conn.push(json.dumps(self.rng.choice([
                {"id": None, "status": 429, "error": {"code": -1003, "msg": "Too many requests."}},
                {"id": "not-one-of-yours", "status": 200, "result": {"orderId": 1, "executedQty": "9"}},
                {"event": {"e": "listStatus", "E": int(self.clock())}}])))

    def _answer(self, conn, reply):
        self.loop.call_later(self.rng.uniform(0, 0.01), conn.push, json.dumps(reply))

    # ---- the record ---------------------------------------------------------------

    def by_request(self, request_id):
        for order in self.ours:
            if order.request_id == request_id:
                return order
        return None
