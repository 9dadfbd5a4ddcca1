"""Replies judged by their requests, the order pace, and the trigger entered again: without a network."""

import asyncio
import json
import time
import types

import pytest

from quorvane_host.cli.options import Plan
from quorvane_host.orders import reply as R
from quorvane_host.orders.announcement import announced_open
from quorvane_host.orders.exit_status import EXIT_OK, EXIT_UNKNOWN, EXIT_UNMET, bought_orders, exit_status, \
    unknown_outcomes
from quorvane_host.orders.fate import NEVER_CONNECTED, NEVER_SENT, NO_REPLY
from quorvane_host.orders.gate import Gate, HeldBack, StopOrdering
from quorvane_host.orders.module_json import stand_in_for
from quorvane_host.orders.observer import Observer
from quorvane_host.orders.pace import Pace
from quorvane_host.orders.refusals import Refusals
from quorvane_host.net.requests import decode
from quorvane_host.run.state import RunState
from quorvane_host.run.stopping import Interrupted
from quorvane_host.run.trigger import drive

pytestmark = pytest.mark.python_side

OPEN = 1_000_000


def order_reply(rid="r1", **result):
    return json.dumps({"id": rid, "status": 200, "result": dict({"orderId": 9}, **result)})


def refusal(code, msg="no", rid="r1", status=400, **data):
    error = {"code": code, "msg": msg}
    if data:
        error["data"] = data
    return json.dumps({"id": rid, "status": status, "error": error})


FILLS = [{"price": "2", "qty": "0.2", "quoteQty": "0.4"}, {"price": "3", "qty": "0.3", "quoteQty": "0.9"}]


@pytest.mark.parametrize("text, kind, quantity, price", [
    (order_reply(fills=FILLS, executedQty="0.5"), R.BOUGHT, "0.5", "2.6"),
    (order_reply(executedQty="0.5", cummulativeQuoteQty="1.5"), R.BOUGHT, "0.5", "3"),
    (order_reply(status="EXPIRED", executedQty="0.00000000", fills=[]), R.EMPTY, "0E-8", None),
    (order_reply(status="REJECTED", executedQty="0"), R.EMPTY, "0", None),
    # accepted, not final: it may fill a moment later
    (order_reply(status="NEW", executedQty="0"), R.UNKNOWN, "0", None),
    (order_reply(status="PARTIALLY_FILLED", executedQty="0"), R.UNKNOWN, "0", None),
    (order_reply(status="FILLED", executedQty="0"), R.UNKNOWN, "0", None),
    (order_reply(), R.UNKNOWN, None, None),  # an order id alone: what it filled is unknown
    (json.dumps({"id": "r1", "status": 200, "result": {"status": "FILLED", "executedQty": "1"}}),
     R.UNKNOWN, None, None),  # no order id: no order named
    # the result decides: an error member beside a fill is kept, not obeyed
    (json.dumps({"id": "r1", "status": 200, "result": {"orderId": 9, "status": "FILLED", "executedQty": "1"},
                 "error": {"code": 0, "msg": "OK"}}), R.BOUGHT, "1", None),
    (json.dumps({"id": "r1", "status": "500", "result": {"orderId": 9, "executedQty": "1"}}),
     R.UNKNOWN, None, None),  # a status that is not an integer is no status
    (json.dumps({"id": "r1", "status": 500, "result": {"orderId": 9, "executedQty": "1"}}),
     R.UNKNOWN, None, None),  # not 200, with a result: nothing to go by
    (json.dumps({"id": "r1", "result": {"orderId": 9, "executedQty": "1"}}), R.UNKNOWN, None, None),
    (refusal(3005), R.REFUSED, None, None),
    (refusal(9999, status=429), R.REFUSED, None, None),
    (json.dumps({"id": "r1", "status": 429}), R.UNKNOWN, None, None),  # no error, no result
    ("<html>Bad Gateway</html>", R.UNKNOWN, None, None),
    ("[1, 2]", R.UNKNOWN, None, None),
    (order_reply(executedQty="0.5").encode(), R.BOUGHT, "0.5", None),
    # the exchange failed, or says the execution is unknown: never a refusal
    (refusal(-1007, "Send status unknown; execution status unknown.", status=503), R.UNKNOWN, None, None),
    (refusal(-1006, status=400), R.UNKNOWN, None, None),
    (refusal(-1000, status=500), R.UNKNOWN, None, None),
    (refusal(-2010, status=502), R.UNKNOWN, None, None),
    (json.dumps({"id": "r1", "status": 400, "error": "no"}), R.UNKNOWN, None, None),  # an error that is no object
    # executedQty decides; a malformed fill entry only costs the price
    (order_reply(status="FILLED", executedQty="0.5", fills=[FILLS[0], {"qty": "x"}]), R.BOUGHT, "0.5", None),
    (order_reply(status="FILLED", executedQty="0.5", symbol="ZZQUSD"), R.UNKNOWN, None, None),  # not our order
    (json.dumps({"id": "r1", "status": 200, "result": {"orderId": [9], "executedQty": "1"}}), R.UNKNOWN, None,
     None),
])
def test_a_reply_is_judged_by_its_content(text, kind, quantity, price):
    v = R.judge(text, R.OrderShape("QRVUSD"))
    assert v.kind == kind
    assert (str(v.quantity) if v.quantity is not None else None) == quantity
    assert (str(v.price) if v.price is not None else None) == price


@pytest.mark.parametrize("message, wanted, ours", [
    ('{"id": "a", "status": 200}', "a", True),
    ('{"id": "b", "status": 200}', "a", False),  # a late reply to another request
    ('{"event": "notice", "text": "welcome"}', "a", False),  # pushed, no id
    ('{"id": 1, "status": 200}', "1", False),  # same digits, another id
    ('{"id": null, "status": 429, "error": {"code": -1003}}', "a", False),  # answers no request of ours
    ('{"id": null, "event": "x"}', "a", False),
    ("[1]", "a", False),
    ("not json at all", "a", True),  # handed on: it says what it says
    ('{"event": "x"}', None, True),  # a request without id: the first message answers it
])
def test_only_the_reply_with_the_requests_id_answers_it(message, wanted, ours):
    assert R.is_reply_to(message, wanted) is ours


@pytest.mark.parametrize("decoder", ["json", "ujson"])
@pytest.mark.parametrize("text", [
    '{"id":"r1","status":200,"result":{"orderId":9,"executedQty":"0.5","price":0.1,"big":123456789012345678901}}',
    '{"id":"r1","a":1,"a":[1e400,-0.0,4.9e-324,2.2250738585072014e-308,true,null]}',
    '{"id":"r1","s":"\\u00e9\\ud83d\\ude00\\ud800\\/"}',
    '{"id":"r1","n":NaN,"i":-Infinity}',
    '{"id":"r1","n":01}', '{"id":"r1","n":1.}', '{"id":"r1","s":"a\tb"}', '{"id":"r1"} x', '[1,2]',
    '{"id":"r1"}'.encode("utf-16"),
])
def test_the_module_reads_a_reply_as_its_own_json_would(decoder, text):
    """Handed the host's decode of a reply, the module's ``json`` gives what its own decoder would."""
    original = pytest.importorskip(decoder)
    stand_in = stand_in_for(original)
    stand_in.handed(text, decode(text))

    def read(loads):
        try:
            return repr(loads(text))
        except ValueError as exc:
            return type(exc)
    assert read(stand_in.loads) == read(original.loads)
    assert stand_in.dumps is original.dumps


@pytest.mark.parametrize("data, limits, after, opens", [
    ({"rateLimits": [{"rateLimitType": "ORDERS", "interval": "SECOND", "intervalNum": 10, "limit": 50,
                      "count": 3},
                     {"rateLimitType": "REQUEST_WEIGHT", "interval": "MINUTE", "intervalNum": 1, "limit": 6000}]},
     [R.Limit(10_000, 50, 3)], None, None),
    ({"error": {"code": -1015, "data": {"retryAfter": 5000}}}, [], 5000.0, None),
    ({"retryAfter": 7000, "error": {"code": -1015}}, [], 7000.0, None),
    ({"error": {"code": 3005, "msg": "not open yet; opens in 4703 ms", "data": {"openTime": 9000}}}, [], None, 9000.0),
    ({"error": {"code": 3005, "msg": "trading in X opens in 250 ms"}}, [], None, 1250.0),  # from the arrival
    ({"error": {"code": 3005, "msg": "trading not open yet"}}, [], None, None),
    ({"rateLimits": [{"rateLimitType": "ORDERS", "interval": "FORTNIGHT", "intervalNum": 1, "limit": 5}]},
     [], None, None),
])
def test_limits_windows_and_openings_read_from_replies(data, limits, after, opens):
    assert R.order_limits(data) == limits
    assert R.retry_after(data) == after
    assert announced_open(data, 1000.0) == opens


# ---------------------------------------------------------------------------
# The gate with stand-in connections


class Conn:
    def __init__(self, incoming=(), send_error=None):
        self.incoming = list(incoming)
        self.send_error = send_error
        self.sent = []

    async def send(self, text):
        self.sent.append(text)
        await asyncio.sleep(0)  # the bytes are on their way ...
        if self.send_error is not None:
            raise self.send_error  # ... when the connection fails

    async def recv(self):
        if not self.incoming:
            raise ConnectionResetError("reset")
        return self.incoming.pop(0)


class Connecting:
    __slots__ = ("conn", "fail", "exited")  # like a pool's lease before it takes a reusable mark

    def __init__(self, conn, fail=None):
        self.conn, self.fail, self.exited = conn, fail, None

    async def __aenter__(self):
        if self.fail is not None:
            raise self.fail
        return self.conn

    async def __aexit__(self, *exc):
        self.exited = exc[0]
        return False


class Lease(Connecting):
    __slots__ = ("reusable",)


class Inner:
    def __init__(self, *conns, kind=Lease):
        self.conns, self.kind, self.made = list(conns), kind, []

    def connect(self, url):
        item = self.conns.pop(0)
        made = self.kind(None, item) if isinstance(item, BaseException) else self.kind(item)
        self.made.append(made)
        return made


async def place(gate, rid="r1", printed=None):
    async with gate.connect("wss://x/ws-api/v3") as ws:
        await ws.send(json.dumps({"id": rid, "method": "order.place"}))
        text = await ws.recv()
        if printed is not None:
            printed(text)
        return text


def _gate(*conns, kind=Lease, wanted=1):
    gate = Gate(Inner(*conns, kind=kind), max_orders=100, pace=Pace(1000.0), now_ms=lambda: OPEN + 10)
    notes = []
    gate.on_skipped = notes.append
    observer = Observer(wanted, gate, Refusals(OPEN), clock=lambda: (0.0, 0.0), now_ms=lambda: OPEN + 10)
    return gate, observer, notes


def test_pushed_messages_and_late_replies_are_skipped_and_noted():
    ours = order_reply("r1", executedQty="1", cummulativeQuoteQty="2")
    gate, observer, notes = _gate(Conn(['{"event": "hello"}', order_reply("r0"), ours]))
    assert asyncio.run(place(gate)) == ours
    assert gate.orders[0].bought and observer.bought == 1
    assert gate.skipped_messages == 2 and len(notes) == 2 and "hello" in notes[0]
    with pytest.raises(StopOrdering, match="1 accepted order that bought"):
        gate.connect("wss://x/ws-api/v3")


@pytest.mark.parametrize("incoming, send_error, reusable", [
    ([order_reply()], None, True),  # its own reply, a clean end: the pool may hand it out again
    ([], None, False),  # no reply: whatever comes next on it may be this order's
    ([], ConnectionResetError("gone"), False),
])
def test_a_connection_is_reusable_only_after_its_orders_reply(incoming, send_error, reusable):
    gate, _, _ = _gate(Conn(incoming, send_error))
    try:
        asyncio.run(place(gate))
    except ConnectionResetError:
        pass
    lease = gate.inner.made[0]
    assert getattr(lease, "reusable", False) is reusable


def test_a_connection_left_before_its_reply_is_not_reusable():
    gate, _, _ = _gate(Conn([order_reply()]))

    async def send_only():
        async with gate.connect("wss://x/ws-api/v3") as ws:
            await ws.send(json.dumps({"id": "r1"}))  # the reply is still on its way

    asyncio.run(send_only())
    assert not hasattr(gate.inner.made[0], "reusable")


def test_a_plain_connection_manager_is_left_as_it_is():
    gate, _, _ = _gate(Conn([order_reply()]), kind=Connecting)  # no room for the mark
    asyncio.run(place(gate))
    assert gate.orders[0].accepted and gate.inner.made[0].exited is None


def test_a_send_that_fails_after_its_bytes_left_leaves_the_outcome_unknown():
    gate, _, _ = _gate(Conn([], ConnectionResetError("reset")))
    with pytest.raises(ConnectionResetError):
        asyncio.run(place(gate))
    assert gate.orders[0].fate == NO_REPLY
    assert exit_status(1, bought_orders(gate.orders), unknown_outcomes(gate.orders), None) == EXIT_UNKNOWN


def test_a_refusal_whose_line_was_cut_off_is_judged_by_its_reply():
    gate, observer, _ = _gate(Conn([refusal(2002, "bad signature")]))

    def stop_request(_text):  # between the reply and the module's line
        gate.halt("interrupted (Ctrl-C)", Interrupted)
        raise Interrupted()

    with pytest.raises(Interrupted):
        asyncio.run(place(gate, printed=stop_request))
    order = gate.orders[0]
    assert order.outcome is None and order.accepted is False and not order.bought
    assert observer.refusal_stop is order  # and the refusal stopped the host all the same
    assert exit_status(1, bought_orders(gate.orders), unknown_outcomes(gate.orders), None) == EXIT_UNMET


@pytest.mark.parametrize("replies, stops, said", [
    ([refusal(3001, rid=f"r{i}") for i in range(5)], True, "unknown symbol: check the symbol"),
    ([refusal(3001, rid=f"r{i}") for i in range(4)], False, None),
    ([refusal(3005, "opens in 4000 ms", rid=f"r{i}") for i in range(8)], False, None),
    ([refusal(-1015, rid="r0", status=429, retryAfter=OPEN + 900)], False, None),
    ([refusal(-1003, rid="r0", status=418, retryAfter=OPEN + 60_000)], True, "banned"),
])
def test_refusals_after_the_opening(replies, stops, said):
    conns = [Conn([text]) for text in replies]
    gate, observer, _ = _gate(*conns)
    for i in range(len(replies)):
        gate.pace = Pace(1000.0)  # each order at once: only the stop rule is under test
        asyncio.run(place(gate, rid=f"r{i}"))
    assert (gate.stop_reason is not None) is stops
    if said:
        assert said in gate.stop_reason


def test_a_rate_limit_holds_the_orders_until_its_window_has_passed():
    gate, observer, _ = _gate(Conn([refusal(-1015, status=429, retryAfter=OPEN + 900)]))
    observer.clock = lambda: (100.0, 15.0)  # retryAfter is by the exchange's clock, 100 ms ahead
    asyncio.run(place(gate))
    assert gate.pace.next_at(OPEN + 20) == OPEN + 800 and gate.stop_reason is None


@pytest.mark.parametrize("opens, aimed", [
    (OPEN + 5000, OPEN + 5000 - 100 - 15 + 1),
    # refused as early though its arrival was estimated a hair past the
    # opening: aimed again at once (20 ms after the last), not put on the 200 ms retry grid
    (OPEN + 10 + 100 + 15 - 3, OPEN + 10 + 20),
    (OPEN - 2000, OPEN + 10 + 200),  # an announcement long past is stale: the retry grid
])
def test_an_announced_opening_is_aimed_at(opens, aimed):
    gate, observer, _ = _gate(Conn([refusal(3005, "trading not open yet", openTime=opens)]))
    observer.clock = lambda: (100.0, 15.0)  # the exchange 100 ms ahead, 15 ms away
    gate.pace = Pace(5.0)
    asyncio.run(place(gate))
    sent = gate.orders[0].sent_ms
    assert gate.pace.next_at(sent) == pytest.approx(aimed, abs=1)


@pytest.mark.parametrize("limits, gap_ms", [
    ([{"rateLimitType": "ORDERS", "interval": "SECOND", "intervalNum": 1, "limit": 10, "count": 1}], 0),
    (None, 1000 / 5),  # no limits stated: an exchange that expires every order gets the retry pace
])
def test_after_an_order_that_filled_nothing(limits, gap_ms):
    expired = json.loads(order_reply(status="EXPIRED", executedQty="0.00000000", cummulativeQuoteQty="0", fills=[]))
    if limits:
        expired["rateLimits"] = limits
    gate, observer, _ = _gate(Conn([json.dumps(expired)]))
    gate.pace = Pace(5.0)
    asyncio.run(place(gate))
    assert not gate.orders[0].bought and gate.stop_reason is None
    started = gate.orders[0].started_ms
    assert gate.pace.next_at(started) == pytest.approx(started + gap_ms)


@pytest.mark.parametrize("wanted, bought, unknown, stop, status", [
    (1, 1, 0, None, EXIT_OK),
    (1, 0, 0, None, EXIT_UNMET),  # accepted with nothing filled is not bought
    (2, 1, 1, None, EXIT_UNKNOWN),
    # A stop request after the wanted orders bought: the money is spent as
    # asked, and a wrapper that retries on failure must not buy again.
    (1, 1, 0, 130, EXIT_OK),
    (2, 1, 0, 130, 130),  # stopped short of them: the request's own status
    # An outcome still unknown says so whatever stopped the run: it may have bought.
    (2, 1, 1, 143, EXIT_UNKNOWN),
    (1, 0, 1, 130, EXIT_UNKNOWN),
    (1, 0, 0, 129, 129),
])
def test_exit_status_counts_bought_orders(wanted, bought, unknown, stop, status):
    assert exit_status(wanted, bought, unknown, stop) == status


# ---------------------------------------------------------------------------
# The trigger entered again after an order that never left


class Module:
    """Places an order on every pass, as the module does once the opening has passed."""

    def __init__(self):
        self.websockets = None
        self.entered = 0

    async def listen_for_trades(self, *args):
        self.entered += 1
        n = 0
        while True:
            n += 1
            await place(self.websockets, rid=f"e{self.entered}-{n}")


class Link:
    def __init__(self):
        self.lines = []

    def host_line(self, text):
        self.lines.append(text)


def _state(gate):
    now = int(time.time() * 1000)  # the time limit counts from the opening: 30 s from now
    plan = Plan("QRVUSD", 0.5, "0.5", open_ms=now, api_key="k", secret="s", time_limit=30)
    state = RunState(plan, gate, None)
    state.firing = types.SimpleNamespace(module_open_ms=1)  # long past: the module orders at once
    return state


@pytest.mark.parametrize("failures, fate", [
    ([ConnectionRefusedError(111, "refused"), ConnectionRefusedError(111, "refused")], NEVER_SENT),
    ([OSError("TLS handshake failed")], NEVER_CONNECTED),
])
def test_the_trigger_is_entered_again_after_an_order_that_never_left(failures, fate):
    filled = order_reply(executedQty="1", cummulativeQuoteQty="1")
    # the reply carries the id of the request that finally left: the first of the last entry
    rid = f"e{len(failures) + 1}-1"
    gate = Gate(Inner(*failures, Conn([filled.replace('"r1"', json.dumps(rid))])), max_orders=100,
                pace=Pace(1000.0))
    module = Module()
    module.websockets = gate
    Observer(1, gate, Refusals(OPEN))
    state = _state(gate)
    asyncio.run(drive(state, Link(), module))
    assert module.entered == len(failures) + 1 and state.reentries == len(failures)
    assert [o.fate for o in gate.orders[:-1]] == [fate] * len(failures)
    assert gate.orders[-1].bought and state.error is None


def test_an_order_sent_without_reply_is_never_retried():
    gate = Gate(Inner(Conn([])), max_orders=100, pace=Pace(1000.0))
    module = Module()
    module.websockets = gate
    Observer(1, gate, Refusals(OPEN))
    state = _state(gate)
    asyncio.run(drive(state, Link(), module))
    assert module.entered == 1 and state.error and gate.orders[0].fate == NO_REPLY


def test_a_long_hold_turns_the_signed_order_back():
    gate = Gate(Inner(Conn([])), max_orders=100, pace=Pace(1000.0))
    gate.pace.hold(gate.now_ms() + 60_000)
    with pytest.raises(HeldBack):
        asyncio.run(place(gate))
    assert gate.orders == []  # it never began: not one of the run's orders
