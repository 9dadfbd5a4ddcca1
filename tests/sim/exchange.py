"""A scripted exchange: every order's fate drawn from the seed, and a record of what it filled.

It speaks the exchange's WebSocket API as far as the host uses it
(``order.place``, ``order.status``, ``allOrders``, ``time``) and answers in
every shape the host must read right: fills, nothing filled, orders still
``NEW`` that fill or expire later, a fill beside ``"error": {"code": 0}``, a
fill without ``orderId``, a status that is a string, rate limits with codes
the host does not know, refusals before a late or moved opening, refusals
that stop the host, fills followed by a dropped or silent connection,
requests lost on the way, late replies, messages of its own (``id`` null,
unknown ids, events) while an order waits, and queries that fail.

Its record (:attr:`Exchange.orders`) is the truth the invariants hold the
host to: an order can fill only when its request arrived.
"""

import datetime
import json
from decimal import Decimal

REFUSALS_THAT_STOP = ((400, -2010, "Account has insufficient balance for requested action."),
                      (400, 3003, "Quantity below the minimum."), (418, -1003, "Way too many requests; banned."))
# Each order's fate after the opening, with its weight.
SHAPES = {"filled": 6, "partial": 2, "expired": 4, "new_fills": 3, "new_expires": 2, "filled_error_ok": 2,
          "filled_no_id": 2, "status_string": 1, "rate_unknown_code": 2, "stop_refusal": 1, "fill_then_drop": 2,
          "lost_on_the_way": 2, "fill_then_silent": 1, "silent_before": 1, "late_reply": 2, "not_json": 1}
FINAL = ("FILLED", "EXPIRED", "REJECTED", "CANCELED")


class ExOrder:
    """One order in the exchange's book: the host's (``request_id`` set) or another client's."""

    def __init__(self, order_id, request_id, arrived_ms, qty, filled, status, settles_ms=None, then=None):
        self.order_id, self.request_id, self.arrived_ms, self.qty = order_id, request_id, arrived_ms, qty
        self.filled_now, self.status_now = filled, status
        self.settles_ms, self.then = settles_ms, then  # a NEW order's later (status, filled)
        self.settling = False  # its reply said, in full, that it is over

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
        for i, (offset_ms, qty, filled) in enumerate(behaviour.foreign):
            self.orders.append(ExOrder(900_000 + i, None, behaviour.open_ms + offset_ms, qty, filled,
                                       "FILLED" if filled else "EXPIRED"))

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
        if self._over("weight", now, self.b.weight_limit, 2 if method == "allOrders" else 1):
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
        if shape == "lost_on_the_way":
            return conn.drop()  # the request never reached the matching engine
        if shape == "silent_before":
            return conn.go_silent()
        if self._over("orders", now, self.b.order_limit, 1):
            return self._answer(conn, self._limited(rid, now, -1015, "orders"))
        if shape in ("rate_unknown_code", "stop_refusal"):
            status, code, msg = (429, -1099, "Slow down.") if shape == "rate_unknown_code" \
                else self.rng.choice(REFUSALS_THAT_STOP)
            return self._answer(conn, {"id": rid, "status": status, "error": {"code": code, "msg": msg}})
        order = self._book(rid, params, now, shape)
        # A reply of the textbook shape that says the order is over settles it: the host must not
        # leave such an order unknown (it would stop ordering and lose the listing for nothing).
        order.settling = shape in ("filled", "partial", "expired", "filled_error_ok", "late_reply")
        said = getattr(order, "said", None) or order.describe(params.get("symbol"), now)
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

    def _book(self, rid, params, now, shape):
        qty = Decimal(str(params.get("quantity")))
        # The host must never have more orders in play than it wants bought.
        in_play = sum(1 for o in self.ours if o.may_fill(now))
        self.checks += 1
        if in_play >= self.b.wanted:
            self.violations.append(f"1: an order arrived at {now:.0f} while {in_play} of ours had filled or "
                                   f"might still fill (--orders {self.b.wanted})")
        filled = {"partial": qty / 2, "expired": Decimal(0), "new_fills": Decimal(0),
                  "new_expires": Decimal(0)}.get(shape, qty)
        status = {"partial": "FILLED", "expired": "EXPIRED"}.get(shape, "FILLED")
        order = ExOrder(len(self.orders) + 1, rid, now, qty, filled, status)
        if shape == "status_string" and self.rng.random() < 0.5:
            # A reply through a failing gateway: the result it carries says FILLED, the book says otherwise.
            order.said = order.describe(params.get("symbol"), now)
            order.filled_now, order.status_now = Decimal(0), "REJECTED"
        if shape in ("new_fills", "new_expires"):
            order.status_now, order.settles_ms = "NEW", now + self.rng.uniform(20, 3000)
            order.then = ("FILLED", qty) if shape == "new_fills" else ("EXPIRED", Decimal(0))
        self.orders.append(order)
        self.ours.append(order)
        return order

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
        else:
            start = params.get("startTime") or 0
            result = [o.describe(symbol, now) for o in self.orders if o.arrived_ms >= start]
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
