"""Asking the exchange about orders of unknown outcome: whose answers are ours, rounds in virtual time, the loopback."""

import ast
import asyncio
import contextlib
import hmac
import itertools
import json
import time

import pytest

from quorvane_host.orders.asking import OrderQueries
from quorvane_host.orders.codes import Code
from quorvane_host.orders.ledger import Ledger
from quorvane_host.orders.query import match
from quorvane_host.orders.reply import BOUGHT, EMPTY, UNKNOWN
from quorvane_rehearsal.exchange import Fault, LoopbackExchange, Symbol, make_self_signed

KEY, SECRET, SYMBOL = "key-1", "secret-1", "QRVUSD"
OFFSET, RTT = 250.0, 20.0  # an order sent at 1000 reaches the exchange at about 1260 by its clock


def d(order_id, at, qty="0.5", status="FILLED", **more):
    """An order as the exchange describes it."""
    return {"symbol": SYMBOL, "orderId": order_id, "side": "BUY", "type": "MARKET", "status": status,
            "origQty": qty, "executedQty": qty if status == "FILLED" else "0", "time": at, **more}


def ledger_of(sent, replies=()):
    """Orders sent at these ms, the first ones answered with ``replies`` (result, or None: refused)."""
    ledger = Ledger(wanted=3, max_orders=10)
    for at, reply in itertools.zip_longest(sent, replies, fillvalue=...):
        ledger.sent(ledger.begin(at), "r", at)
        if reply is not ...:
            ledger.replied(ledger.orders[-1], json.dumps({"id": "r", "status": 400, "error": {}} if reply is None
                                                         else {"id": "r", "status": 200, "result": reply}))
    return ledger


MATCHES = {  # orders sent at (ms), the answers, and which of ours (seq) each answered order id is
    "own order": ([1000], [d(11, 1262)], {1: 11}),
    "foreign ones at other times": ([1000], [d(9, 1262 - 3000), d(11, 1261), d(12, 1262 + 5000)], {1: 11}),
    "an earlier run's": ([1000], [d(3, 1262 - 3_600_000)], {}),
    "ambiguous pair: neither": ([1000, 1001], [d(11, 1262)], {}),
    "two answers as close: neither": ([1000], [d(11, 1262), d(12, 1263)], {}),
    "two of ours, each the only fit": ([1000, 1200], [d(11, 1262), d(12, 1461)], {1: 11, 2: 12}),
    # nearer is not surer: another client's identical order 1 ms from ours' moment, ours 40 ms off
    "a foreign one nearer than ours: neither": ([1000], [d(11, 1261), d(12, 1300)], {}),
    "malformed rows are none": ([1000], [d(11, 1e400), d(12, 1262, origQty="sNaN"), d(13, 10**400)], {}),
    "quantity as another decimal": ([1000], [d(11, 1262, qty="0.500")], {1: 11}),
    "quantity differing": ([1000], [d(11, 1262, qty="0.6")], {}),
    "a sell": ([1000], [d(11, 1262, side="SELL")], {}),
    "an id known to be another of ours": ([1000, 1003], [d(8, 1263), d(7, 1264)], {1: 7, 2: 8},
                                          [d(7, 0, status="EXPIRED")]),
    "a refused order is none of them": ([1000, 1002], [d(11, 1263)], {2: 11}, [None]),
}


@pytest.mark.parametrize("name", MATCHES)
def test_match(name):
    sent, answers, expected, *replies = MATCHES[name]
    found = match(answers, ledger_of(sent, *replies).orders, OFFSET, RTT, "0.5", symbol=SYMBOL)
    assert {seq: answer["orderId"] for seq, answer in found.items()} == expected


# ---------------------------------------------------------------------------
# Rounds of questions against a scripted exchange, in virtual time

def ok(result):
    return {"status": 200, "result": result}


def no(status, code, **data):
    return {"status": status, "error": {"code": code, "msg": "no", "data": data}}


NEW, FILLED = d(5, 1261, status="NEW"), d(5, 1261)
STATUS, ALL = "order.status", "allOrders"
# the order's own reply (None: lost); the answers in turn (the last repeats); the verdict; the methods
# asked (None: not checked); what else holds, of (ms and method of each question, ms at the end, lines said)
ROWS = {
    "lost, listed as filled": (None, [ok([FILLED])], BOUGHT, [ALL], None),
    "lost, listed as expired": (None, [ok([d(5, 1261, status="EXPIRED")])], EMPTY, [ALL], None),
    "NEW, then FILLED": (NEW, [ok(NEW), ok(FILLED)], BOUGHT, [STATUS] * 2, None),
    "connection lost, asked again": (NEW, [ConnectionResetError(), ok(FILLED)], BOUGHT, [STATUS] * 2, None),
    "429 waited out": (NEW, [no(429, -1003, retryAfter=5250), ok(FILLED)], BOUGHT, [STATUS] * 2,
                       lambda asked, now, said: asked[1][0] >= 5250 - OFFSET),
    "no order.status: listed": (NEW, [no(400, 1003), ok([FILLED])], BOUGHT, [STATUS, ALL], None),
    "order.status finds none: listed": (NEW, [no(400, Code.UNKNOWN_ORDER), ok([FILLED])], BOUGHT, [STATUS, ALL],
                                        None),
    "no allOrders: stops asking": (None, [no(400, 1003)], UNKNOWN, [ALL],
                                   lambda asked, now, said: now <= 2100 and "has no allOrders" in said[0]),
    "never listed: unknown at the end": (None, [ok([])], UNKNOWN, None,
                                         lambda asked, now, said: len(asked) > 5 and asked[-1][0] < 20_000),
    "order.status about another symbol: ignored": (
        NEW, [ok(d(5, 1261, symbol="ZZQUSD", status="EXPIRED"))], UNKNOWN, None,
        lambda asked, now, said: "about another order (symbol 'ZZQUSD', not QRVUSD): ignored" in said[0]),
    "a fill grows until the order is over": (
        NEW, [ok(d(5, 1261, status="PARTIALLY_FILLED", executedQty="0.02")),
              ok(d(5, 1261, status="EXPIRED", executedQty="0.05"))], BOUGHT, [STATUS] * 2, None),
    "a malformed row is said, not raised": (None, [ok([d(5, 1e400)])], UNKNOWN, None,
                                            lambda asked, now, said: "1 malformed row" in said[0]),
    # 1000 older orders of the symbol in the window: the next page, from the last id, holds ours
    "a full page: the next is asked": (
        None, [lambda p: ok([d(100 + n, 1200, qty="9") for n in range(p["limit"])]),
               lambda p: ok([FILLED] if p.get("orderId") == 100 + p["limit"] - 1 else [])], BOUGHT, [ALL] * 2, None),
}


@pytest.mark.parametrize("name", ROWS)
def test_settle(name):
    reply, script, kind, methods, check = ROWS[name]
    now = {"ms": 1000.0}
    ledger = ledger_of([1000], [reply] if reply else [])
    asked, said = [], []

    async def request(text, request_id):
        sent = json.loads(text)
        params = sent["params"]
        assert sent["id"] == request_id and params["timestamp"] == int(now["ms"] + OFFSET)
        # a window as tight as the clock allows, around when our order reached the exchange
        assert params.get("startTime", 1200) <= 1260 <= params.get("endTime", 1300) and \
            params.get("endTime", 1300) - params.get("startTime", 1200) < 200
        asked.append((now["ms"], sent["method"]))
        answer = script[min(len(asked), len(script)) - 1]
        if isinstance(answer, Exception):
            raise answer
        if callable(answer):
            answer = answer(params)
        return json.dumps({"id": request_id, **answer})

    async def sleep(seconds):
        now["ms"] += seconds * 1000

    queries = OrderQueries(ledger, request, lambda q, k: hmac.new(k.encode(), q.encode(), "sha256").hexdigest(),
                           KEY, SECRET, SYMBOL, "0.5", lambda: (OFFSET, RTT), lambda: now["ms"],
                           say=said.append, sleep=sleep)
    asyncio.run(queries.settle(until_ms=20_000))
    order = ledger.orders[0]
    assert (order.verdict.kind if order.verdict is not None else UNKNOWN) == kind
    assert methods is None or [m for _, m in asked] == methods
    assert check is None or check(asked, now["ms"], said)
    if kind != UNKNOWN:
        assert order.found_by == f"asked the exchange ({methods[-1]})"
        assert said[-1].startswith(f"order 1: the exchange says {order.verdict.order_status}")
        last = script[-1](asked and {"limit": 1000, "orderId": 1099}) if callable(script[-1]) else script[-1]
        final = last["result"][0] if isinstance(last["result"], list) else last["result"]
        assert str(order.verdict.quantity) == final["executedQty"]  # the last word of the fill counts


# ---------------------------------------------------------------------------
# Against the loopback exchange, an order placed through the module

@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    return make_self_signed(str(tmp_path_factory.mktemp("tls")))


@pytest.mark.parametrize("misbehave, method", [
    (lambda ex: ex.set_fault(Fault.FILL_CLOSE, count=1), "allOrders"),  # filled, the connection closed
    (lambda ex: ex.set_behaviour(new_first=1), "order.status"),  # answered NEW, filled just after
])
def test_unknown_order_resolved_by_the_loopback_exchange(restore_globals, tls, capsys, misbehave, method):
    qv = restore_globals
    ledger, said = Ledger(wanted=1, max_orders=5), []

    async def main():
        async with LoopbackExchange({KEY: SECRET}, [Symbol(SYMBOL, 0)], tls=tls, lifetime=30,
                                    clock_skew_ms=OFFSET) as ex:
            async def request(text, request_id):
                async with ex.connector().connect(ex.url) as ws:
                    await ws.send(text)
                    return await asyncio.wait_for(ws.recv(), 10)

            qv.websockets = ex.connector()
            misbehave(ex)
            order = ledger.begin(time.time() * 1000)
            with contextlib.suppress(Exception):  # the lost reply: its outcome is unknown
                await qv.buy_market_order(KEY, SECRET, SYMBOL, 0.5)
            placed = ex.records()[0]
            ledger.sent(order, placed.request_id, placed.arrival_ms - OFFSET)
            printed = capsys.readouterr().out  # the reply the module read, as it printed it
            if printed.startswith("Buy order placed successfully: "):
                ledger.replied(order, json.dumps(ast.literal_eval(printed.split(": ", 1)[1])))
            assert order.outcome_unknown
            queries = OrderQueries(ledger, request, qv.sign_request, KEY, SECRET, SYMBOL, "0.5",
                                   lambda: (OFFSET, 1000.0), lambda: time.time() * 1000, say=said.append)
            await queries.settle(time.time() * 1000 + 10_000)
            return ex.records(), ex.report()

    records, report = asyncio.run(asyncio.wait_for(main(), 30))
    order = ledger.orders[0]
    assert [r.outcome for r in records] == ["accepted"] and report["order_queries"] >= 1
    assert order.bought and order.verdict.order_id == records[0].order_id
    assert order.found_by == f"asked the exchange ({method})"
    assert said[-1] == f"order 1: the exchange says FILLED 0.5 (asked with {method})"
