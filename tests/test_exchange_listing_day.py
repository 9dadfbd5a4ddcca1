"""The loopback exchange's listing-day behaviour: expired fills, the order rate limit and bans,
a late opening, order.test, pushed notices, connections closed or gone silent, a held time reply.

Order replies run against an exchange whose clock the test sets (whole binary fractions of a
second, so every millisecond is exact); connection behaviour runs on the real clock, with
times computed inside each test. No timing is asserted beyond "not answered yet"."""

import asyncio
import errno
import json
import subprocess
import sys
import types
import uuid
from dataclasses import fields

import pytest
from websockets.exceptions import ConnectionClosed

from quorvane_rehearsal.behaviour import Behaviour, behaviour_from_args, flag_name, interval_words
from quorvane_rehearsal.exchange import Code, LoopbackExchange, Symbol, _parser, make_self_signed, sign
from quorvane_rehearsal.network import RehearsalNetwork

pytestmark = pytest.mark.python_side

URL = "wss://exchange.invalid:443/ws-api/v3"
KEY, SECRET = "key-1", "secret-1"
T0 = 1_000_000_500  # ms by the exchange's clock: mid-second, and a minute's window starts at 1_000_020_000
OPEN, LATER = "QRVUSD", "LATER"  # open since T0 - 1000; announced for T0 + 703


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    return make_self_signed(str(tmp_path_factory.mktemp("tls")))


def order(ts, method="order.place", symbol=OPEN, secret=SECRET, quantity="0.5"):
    params = {"symbol": symbol, "side": "BUY", "type": "MARKET", "quantity": quantity,
              "timestamp": ts, "apiKey": KEY}
    params["signature"] = sign(params, secret)
    return json.dumps({"id": str(uuid.uuid4()), "method": method, "params": params})


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


async def ask(ws, text, timeout=10.0):
    await ws.send(text)
    return json.loads(await asyncio.wait_for(ws.recv(), timeout))


# ---------------------------------------------------------------------------
# Order replies, on a clock the test sets

TEST = "order.test"
# Steps: (ms after T0, method, symbol, secret, quantity); replies: (status, code or result status)
P = lambda at=0, symbol=OPEN, **kw: (at, "order.place", symbol, kw.get("secret", SECRET), kw.get("q", "0.5"))  # noqa: E731
X = lambda at=0, symbol=OPEN, **kw: (at, TEST, symbol, kw.get("secret", SECRET), kw.get("q", "0.5"))  # noqa: E731

ROWS = {
    "default": ({}, [P()], [(200, "FILLED")]),
    "expire first": ({"expire_first": 2}, [P(), P(), P()], [(200, "EXPIRED"), (200, "EXPIRED"), (200, "FILLED")]),
    "new first": ({"new_first": 1}, [P(), P()], [(200, "NEW"), (200, "FILLED")]),
    "limit per second": ({"order_limit": 2}, [P(), P(symbol=LATER), P(), P(500)],
                         [(200, "FILLED"), (400, Code.NOT_OPEN), (429, Code.TOO_MANY_ORDERS), (200, "FILLED")]),
    "ban": ({"order_limit": 1, "order_interval_s": 60, "ban_after": 2, "ban_s": 5},
            [P(), P(), P(), P(), P(4999), P(5000)],
            [(200, "FILLED"), (429, Code.TOO_MANY_ORDERS), (429, Code.TOO_MANY_ORDERS),
             (418, Code.TOO_MANY_REQUESTS), (418, Code.TOO_MANY_REQUESTS), (429, Code.TOO_MANY_ORDERS)]),
    "late, announced": ({"late_ms": 4000}, [P(symbol=LATER), P(4703, symbol=LATER)],
                        [(400, Code.NOT_OPEN), (200, "FILLED")]),
    "late, unannounced": ({"late_ms": 4000, "announce_late": False}, [P(4702, symbol=LATER)],
                          [(400, Code.NOT_OPEN)]),
    "unlisted": ({"late_ms": 4000, "unlisted_before_open": True}, [P(4702, symbol=LATER), X(symbol=LATER),
                                                                  P(4703, symbol=LATER)],
                 [(400, Code.UNKNOWN_SYMBOL), (400, Code.UNKNOWN_SYMBOL), (200, "FILLED")]),
    "order.test": ({"order_limit": 1, "late_ms": 4000},
                   [X(), X(symbol=LATER), X(secret="wrong"), X(symbol="NOPE"), X(q="0.0005"), P(3000), X(3000), X(3000)],
                   [(200, {}), (200, {}), (401, Code.BAD_SIGNATURE), (400, Code.UNKNOWN_SYMBOL),
                    (400, Code.QUANTITY_STEP), (200, "FILLED"), (200, {}), (200, {})]),
}


def run_steps(tls, behaviour, steps):
    clock = {"ms": T0}
    ex = LoopbackExchange({KEY: SECRET}, [Symbol(OPEN, T0 - 1000), Symbol(LATER, T0 + 703)], tls=tls,
                          clock=lambda: clock["ms"] / 1000, lifetime=30, behaviour=Behaviour(**behaviour))

    async def main():
        async with ex:
            async with ex.connector().connect(URL) as ws:
                replies = []
                for at, method, symbol, secret, quantity in steps:
                    clock["ms"] = T0 + at
                    replies.append(await ask(ws, order(T0 + at, method, symbol, secret, quantity)))
            return replies, ex.records(), ex.report()

    return run(main())


def outcome(reply):
    if "error" in reply:
        return reply["status"], reply["error"]["code"]
    result = reply["result"]
    return reply["status"], result.get("status", result)


@pytest.mark.parametrize("name", ROWS)
def test_order_replies(tls, name):
    behaviour, steps, expected = ROWS[name]
    replies, records, report = run_steps(tls, behaviour, steps)
    assert [outcome(r) for r in replies] == expected
    placed = [s for s in steps if s[1] != TEST]
    assert len(records) == len(placed) and report["test_orders"] == len(steps) - len(placed)
    for step, reply in zip(steps, replies):
        # rateLimits on every order.place reply, accepted or refused, once a limit is set; never on order.test
        assert ("rateLimits" in reply) == ("order_limit" in behaviour and step[1] != TEST)
    CHECKS.get(name, lambda *a: None)(replies, records, report)


def check_expired(replies, records, report):
    result = replies[0]["result"]
    assert (result["executedQty"], result["cummulativeQuoteQty"], result["fills"]) == ("0.00000000", "0.00000000", [])
    assert result["orderId"] == 1 and replies[2]["result"]["executedQty"] == "0.5"
    assert [r.outcome for r in records] == ["expired", "expired", "accepted"]
    assert (report["accepted"], report["expired"], report["faults"]) == (1, 2, 0)


def check_limit(replies, records, report):
    assert [r["rateLimits"] for r in replies] == [
        [{"rateLimitType": "ORDERS", "interval": "SECOND", "intervalNum": 1, "limit": 2, "count": n}]
        for n in (1, 2, 3, 1)]  # the refused "not open" order counts; the next second starts afresh
    error = replies[2]["error"]
    assert error["msg"] == "Too many new orders; current limit is 2 orders per SECOND."
    assert error["data"] == {"retryAfter": T0 + 500}  # the second's end by the exchange's clock
    assert report["refused"] == {"NOT_OPEN": 1, "TOO_MANY_ORDERS": 1} and report["rate_limited"] == 1


def check_ban(replies, records, report):
    assert replies[1]["rateLimits"][0]["interval"] == "MINUTE"
    assert replies[1]["error"]["data"] == {"retryAfter": 1_000_020_000}
    assert replies[3]["error"] == {"code": -1003, "msg": f"Way too many requests; banned until {T0 + 5000}.",
                                   "data": {"retryAfter": T0 + 5000}}
    assert replies[4]["error"]["data"] == {"retryAfter": T0 + 5000}
    assert report["refused"] == {"TOO_MANY_ORDERS": 3, "TOO_MANY_REQUESTS": 2}


def check_late(replies, records, report):
    assert replies[0]["error"] == {"code": Code.NOT_OPEN, "msg": "trading not open yet; opens in 4703 ms",
                                   "data": {"openTime": T0 + 4703}}
    assert report["real_open_ms"] == T0 + 4703
    assert (report["first_accepted_after_open_ms"], report["first_accepted_after_real_open_ms"]) == (4000, 0)


def check_unannounced(replies, records, report):
    assert replies[0]["error"] == {"code": Code.NOT_OPEN, "msg": "trading not open yet"}


def check_test_orders(replies, records, report):
    assert replies[0] == {"id": replies[0]["id"], "status": 200, "result": {}}
    assert [r.outcome for r in records] == ["accepted"] and records[0].order_id == 1
    assert report["test_refusals"] == {"BAD_SIGNATURE": 1, "UNKNOWN_SYMBOL": 1, "QUANTITY_STEP": 1}


CHECKS = {"expire first": check_expired, "limit per second": check_limit, "ban": check_ban,
          "late, announced": check_late, "late, unannounced": check_unannounced,
          "order.test": check_test_orders}


# ---------------------------------------------------------------------------
# Connections: pushed notices, closed, gone silent, a held time reply


def time_request(rid="t"):
    return json.dumps({"id": rid, "method": "time"})


async def greeted(ex):
    async with ex.connector().connect(URL) as ws:
        pushed = json.loads(await asyncio.wait_for(ws.recv(), 10))
        assert "id" not in pushed and pushed["event"] == "notice"
        assert (await ask(ws, time_request()))["id"] == "t"


async def pushes(ex):
    async with ex.connector().connect(URL) as ws:
        for _ in range(2):  # with no request asked
            assert "id" not in json.loads(await asyncio.wait_for(ws.recv(), 10))
        await ws.send(time_request())
        while "id" not in json.loads(await asyncio.wait_for(ws.recv(), 10)):
            pass  # pushes may come before the reply


async def closed_at(ex):
    async with ex.connector().connect(URL) as warm:
        await ask(warm, time_request())
        ex.set_behaviour(close_at_ms=ex.now_ms() + 200)
        with pytest.raises(ConnectionClosed) as closed:
            await asyncio.wait_for(warm.recv(), 10)
        assert closed.value.rcvd.code == 1001
    async with ex.connector().connect(URL) as later:
        await ask(later, time_request())
        ex.set_behaviour(hold_s=1.0)  # another option changed: the past closing must not strike again
        await asyncio.sleep(0.1)
        await ask(later, time_request())


async def silenced_at(ex):
    warm = await ex.connector().connect(URL)
    try:
        await ask(warm, time_request())
        now = ex.now_ms()
        # A request taken before the silence and answered after it gets no reply either.
        ex.set_behaviour(hold_time_reply_at_ms=now, hold_s=0.6, silence_at_ms=now + 300)
        await warm.send(time_request("held"))
        await asyncio.sleep(0.5)
        await warm.send(time_request("lost"))
        pong = await warm.ping()
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(asyncio.shield(pong), 1.0)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(warm.recv(), 0.2)
        assert warm.state.name == "OPEN"  # no close frame, no FIN, no reset came
        async with ex.connector().connect(URL) as later:
            await ask(later, time_request())
    finally:
        warm.transport.abort()  # its closing handshake would wait for a peer that reads nothing


async def held(ex):
    async with ex.connector().connect(URL) as ws:
        await ask(ws, time_request("before"))
        ex.set_behaviour(hold_time_reply_at_ms=ex.now_ms(), hold_s=1.5)
        await ws.send(time_request("held"))
        await ws.send(json.dumps({"id": "p", "method": "ping"}))
        first = asyncio.ensure_future(ws.recv())
        done, _ = await asyncio.wait({first}, timeout=0.3)
        assert not done  # held: nothing on this connection yet, not even the ping's reply
        assert json.loads(await asyncio.wait_for(first, 10))["id"] == "held"
        assert json.loads(await asyncio.wait_for(ws.recv(), 10))["id"] == "p"
        assert (await ask(ws, time_request("after")))["id"] == "after"  # held once only


@pytest.mark.parametrize("behaviour, scenario", [
    ({"greet": True}, greeted), ({"push_every_ms": 50}, pushes), ({}, closed_at), ({}, silenced_at), ({}, held),
])
def test_connection_behaviour(tls, behaviour, scenario):
    async def main():
        async with LoopbackExchange({KEY: SECRET}, [Symbol(OPEN, 0)], tls=tls, lifetime=30,
                                    behaviour=Behaviour(**behaviour)) as ex:
            await scenario(ex)

    run(main())


# ---------------------------------------------------------------------------
# Options: checked, on the command line, through the rehearsal network


@pytest.mark.parametrize("seconds, words", [(1, ("SECOND", 1)), (10, ("SECOND", 10)), (60, ("MINUTE", 1)),
                                            (90, ("SECOND", 90)), (7200, ("HOUR", 2)), (86400, ("DAY", 1))])
def test_interval_words(seconds, words):
    assert interval_words(seconds) == words


@pytest.mark.parametrize("bad", [{"order_interval_s": 0.5}, {"order_limit": 0}, {"late_ms": -1},
                                 {"push_every_ms": 0}, {"ban_after": 0}, {"no_such_option": 1},
                                 {"order_limit": "10"}, {"greet": 1}, {"late_ms": float("nan")}])
def test_bad_options_are_refused(bad):
    with pytest.raises(ValueError):
        Behaviour().changed(**bad)


def test_command_line_flags():
    help_text = subprocess.run([sys.executable, "-m", "quorvane_rehearsal.exchange", "--help"],
                               capture_output=True, text=True, check=True).stdout
    assert all(flag_name(f.name) in help_text for f in fields(Behaviour))
    args = _parser().parse_args(["--expire-first", "2", "--greet", "--order-limit", "10", "--late-ms", "1500",
                                 "--no-announce-late", "--close-at-ms", "+5s", "--hold-time-reply-at-ms",
                                 "2000000000000", "--ban-s", "3"])
    got = behaviour_from_args(args, 1_000_000, lambda text, now: now + 5000 if text == "+5s" else int(text))
    assert got == Behaviour(expire_first=2, greet=True, order_limit=10, late_ms=1500, announce_late=False,
                            close_at_ms=1_005_000, hold_time_reply_at_ms=2_000_000_000_000, ban_s=3)
    assert behaviour_from_args(_parser().parse_args([]), 0, None) == Behaviour()


def test_rehearsal_network_passes_the_behaviour_to_its_child(tls):
    with RehearsalNetwork({KEY: SECRET}, [Symbol(OPEN, 0)], tls=tls, lifetime=60,
                          behaviour=Behaviour(expire_first=1, greet=True)) as net:
        async def main():
            async with net.connector().connect(URL) as ws:
                greeting = json.loads(await asyncio.wait_for(ws.recv(), 10))
                server_ms = int(net.snapshot()["server_ms"])
                first = outcome(await ask(ws, order(server_ms)))
                # another option: the expiry is used up and stays so
                changed = net.set_behaviour(order_limit=1, order_interval_s=3600)
                second = await ask(ws, order(server_ms))
                return greeting, first, changed, second

        greeting, first, changed, second = run(main())
        with pytest.raises(ValueError):
            net.set_behaviour(order_limit="ten")
        report = net.report()
    assert greeting["event"] == "notice" and first == (200, "EXPIRED")
    assert changed == Behaviour(expire_first=1, greet=True, order_limit=1, order_interval_s=3600)
    # the first order counted in the hour's window only if it was the same hour: 1 or 2
    assert outcome(second) in ((200, "FILLED"), (429, Code.TOO_MANY_ORDERS)) and "rateLimits" in second
    assert report["expired"] == 1


def test_relay_end_of_stream_to_a_gone_peer_is_quiet():
    from quorvane_rehearsal.relay import _Link

    def gone():
        raise OSError(errno.ENOTCONN, "Transport endpoint is not connected")

    aborted = []
    link = _Link(relay=None, loop=None)
    link.target.transport = types.SimpleNamespace(is_closing=lambda: False, can_write_eof=lambda: True,
                                                  write_eof=gone, abort=lambda: aborted.append(1))
    link.deliver_eof(link.up)  # raised from the relay's timer callback before
    assert aborted
