"""The loopback exchange: order checks, TLS, fault modes, the connector, the CLI."""

import asyncio
import hashlib
import hmac
import json
import os
import re
import ssl
import subprocess
import sys
import time
import urllib.parse
import uuid

import pytest
from websockets.asyncio.client import connect as ws_connect
from websockets.exceptions import ConnectionClosed, InvalidStatus

from quorvane_host.net.connector import Connector, rewrite_url
from quorvane_rehearsal.exchange import (
    Code,
    Fault,
    LoopbackExchange,
    Symbol,
    check_order,
    make_self_signed,
)
from quorvane_host.orders.lines import NOT_OPEN_CODE

pytestmark = pytest.mark.python_side

MODULE_URL = "wss://exchange.invalid:443/ws-api/v3"
KEY, SECRET = "key-1", "secret-1"
NOW = 1_800_000_000_000


def request(symbol="QRVUSD", quantity="0.5", timestamp=NOW, api_key=KEY, secret=SECRET,
            method="order.place", tamper=None):
    """An order request built the way the module builds it."""
    params = {"symbol": symbol, "side": "BUY", "type": "MARKET", "quantity": quantity,
              "timestamp": timestamp, "apiKey": api_key}
    query = "&".join(f"{k}={urllib.parse.quote(str(v))}" for k, v in sorted(params.items()))
    params["signature"] = hmac.new(secret.encode(), query.encode(), hashlib.sha256).hexdigest()
    if tamper:
        tamper(params)
    return json.dumps({"id": str(uuid.uuid4()), "method": method, "params": params})


def check(text, arrival=NOW, open_ms=NOW - 1, step="0.001", accounts=None):
    return check_order(text, arrival, accounts or {KEY: SECRET},
                       {"QRVUSD": Symbol("QRVUSD", open_ms, step)})


# ---------------------------------------------------------------------------
# Order checks, without the network


def test_good_order_is_filled():
    reply, record = check(request(quantity="2.5"))
    assert "error" not in reply and reply["status"] == 200
    assert reply["result"]["orderId"] == record.order_id == 1
    assert reply["result"]["executedQty"] == "2.5"
    assert record.accepted and record.symbol == "QRVUSD" and record.api_key == KEY


def _set(name, value):
    return lambda params: params.__setitem__(name, value)


@pytest.mark.parametrize("text, arrival, code", [
    (request(secret="other"), NOW, Code.BAD_SIGNATURE),
    (request(api_key="nobody"), NOW, Code.UNKNOWN_API_KEY),
    (request(tamper=_set("quantity", "5")), NOW, Code.BAD_SIGNATURE),
    (request(tamper=_set("signature", "0" * 64)), NOW, Code.BAD_SIGNATURE),
    (request(timestamp=NOW - 5001), NOW, Code.TIMESTAMP_OUTSIDE_WINDOW),
    (request(timestamp=NOW + 1001), NOW, Code.TIMESTAMP_OUTSIDE_WINDOW),
    (request(symbol="NOPE"), NOW, Code.UNKNOWN_SYMBOL),
    (request(symbol=None), NOW, Code.BAD_PARAMETER),  # signed as "None", sent as null
    (request(quantity="0.0005"), NOW, Code.QUANTITY_STEP),
    (request(quantity="0.10000000149011612"), NOW, Code.QUANTITY_STEP),
    (request(quantity="0"), NOW, Code.BAD_QUANTITY),
    (request(quantity="-1.0"), NOW, Code.BAD_QUANTITY),
    (request(quantity="1e-05"), NOW, Code.BAD_QUANTITY),
    (request(quantity="inf"), NOW, Code.BAD_QUANTITY),
    (request(method="order.cancel"), NOW, Code.UNKNOWN_METHOD),
    (request(tamper=lambda p: p.pop("timestamp")), NOW, Code.BAD_SIGNATURE),
    ("not json at all", NOW, Code.BAD_JSON),
    ("[1, 2]", NOW, Code.BAD_REQUEST),
    (json.dumps({"id": "x", "method": "order.place"}), NOW, Code.BAD_REQUEST),
])
def test_bad_orders_get_an_error(text, arrival, code):
    reply, record = check(text, arrival)
    assert reply["error"]["code"] == code
    assert 400 <= reply["status"] < 500 and reply["error"]["msg"]
    assert record.outcome == "refused" and record.code == code
    assert "result" not in reply


@pytest.mark.parametrize("arrival, accepted", [
    (NOW - 1, False), (NOW, True),  # the opening itself
])
def test_opening_time_boundary(arrival, accepted):
    reply, _ = check(request(timestamp=arrival), arrival, open_ms=NOW)
    assert ("error" not in reply) is accepted
    if not accepted:
        assert reply["error"]["code"] == Code.NOT_OPEN == NOT_OPEN_CODE
        assert "opens in 1 ms" in reply["error"]["msg"]


@pytest.mark.parametrize("timestamp", [NOW - 5000, NOW + 1000])
def test_receive_window_edges_are_inside(timestamp):
    reply, _ = check(request(timestamp=timestamp))
    assert "error" not in reply


def test_signature_covers_the_percent_encoded_text():
    key = "k+y/=&é"
    good, _ = check(request(api_key=key), accounts={key: SECRET})
    assert "error" not in good

    def unquoted(params):  # a client that signs the raw values
        raw = "&".join(f"{k}={v}" for k, v in sorted(params.items()) if k != "signature")
        params["signature"] = hmac.new(SECRET.encode(), raw.encode(), hashlib.sha256).hexdigest()

    bad, _ = check(request(api_key=key, tamper=unquoted), accounts={key: SECRET})
    assert bad["error"]["code"] == Code.BAD_SIGNATURE


def test_reply_echoes_the_request_id():
    text = request()
    reply, record = check(text)
    assert reply["id"] == json.loads(text)["id"] == record.request_id


# ---------------------------------------------------------------------------
# Over TLS on 127.0.0.1


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    return make_self_signed(str(tmp_path_factory.mktemp("tls")))


async def place(connector, text, *, timeout=5.0):
    async with connector.connect(MODULE_URL) as ws:
        await ws.send(text)
        return await asyncio.wait_for(ws.recv(), timeout)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 20))


def exchange(tls, **kw):
    now = int(time.time() * 1000)
    kw.setdefault("lifetime", 30)
    return LoopbackExchange({KEY: SECRET}, [Symbol("QRVUSD", now - 1), Symbol("LATER", now + 60_000)],
                            tls=tls, **kw)


def test_orders_over_tls_are_checked_and_recorded(tls):
    async def main():
        async with exchange(tls) as ex:
            c = ex.connector()
            before = time.time() * 1000
            ok = json.loads(await place(c, request(timestamp=int(before))))
            wrong = json.loads(await place(c, request(timestamp=int(before), secret="nope")))
            early = json.loads(await place(c, request(symbol="LATER", timestamp=int(before))))
            after = time.time() * 1000
            return ex.records(), ex.report(), ok, wrong, early, before, after

    records, report, ok, wrong, early, before, after = run(main())
    assert "error" not in ok and ok["result"]["orderId"] == 1
    assert wrong["error"]["code"] == Code.BAD_SIGNATURE and wrong["status"] == 401
    assert early["error"]["code"] == Code.NOT_OPEN
    assert [r.outcome for r in records] == ["accepted", "refused", "refused"]
    assert all(before <= r.arrival_ms <= after for r in records)
    assert report["requests"] == 3 and report["accepted"] == 1
    assert report["refused"] == {"BAD_SIGNATURE": 1, "NOT_OPEN": 1}


@pytest.mark.parametrize("fault, expect", [
    (Fault.CLOSE, ConnectionClosed),
    (Fault.GARBAGE, ValueError),  # the reply does not decode
    (Fault.SILENT, asyncio.TimeoutError),
    (Fault.REFUSE_TLS, OSError),
])
def test_fault_modes(tls, fault, expect):
    async def main():
        async with exchange(tls, hold_seconds=5) as ex:
            c = ex.connector()
            baseline = open_fds()
            ex.set_fault(fault, count=1)
            with pytest.raises(expect):
                # only the silent exchange needs a short wait; the others fail by themselves
                wait = 0.3 if fault is Fault.SILENT else 60
                json.loads(await place(c, request(timestamp=int(time.time() * 1000)), timeout=wait))
            # the fault was for one connection only
            after = json.loads(await place(c, request(timestamp=int(time.time() * 1000))))
            await asyncio.sleep(0.05)
            return ex.records(), ex.refused_handshakes, baseline, open_fds(), after

    records, refused, baseline, fds, after = run(main())
    assert "error" not in after
    if fault is Fault.REFUSE_TLS:
        assert refused == 1 and [r.outcome for r in records] == ["accepted"]
    else:
        assert [r.outcome for r in records] == [fault.value, "accepted"]
    assert fds == baseline  # no socket left open on either side


def test_persistent_fault_until_cleared(tls):
    async def main():
        async with exchange(tls) as ex:
            c = ex.connector()
            ex.set_fault("close")
            for _ in range(2):
                with pytest.raises(ConnectionClosed):
                    await place(c, request(timestamp=int(time.time() * 1000)))
            ex.set_fault("none")
            return json.loads(await place(c, request(timestamp=int(time.time() * 1000))))

    assert "error" not in run(main())


def test_other_paths_are_not_served(tls):
    async def main():
        async with exchange(tls) as ex:
            c = ex.connector()
            async with c.connect("wss://exchange.invalid:443/somewhere/else"):
                pass

    with pytest.raises(InvalidStatus, match="404"):
        run(main())


@pytest.mark.parametrize("make_connector, error", [
    (lambda ex: Connector("127.0.0.1", ex.port), ssl.SSLCertVerificationError),  # system CAs only
    (lambda ex: Connector("127.0.0.1", ex.port, cafile=ex.cafile, server_hostname="other.invalid"),
     ssl.SSLCertVerificationError),
])
def test_connector_verifies_the_certificate(tls, make_connector, error):
    async def main():
        async with exchange(tls) as ex:
            await place(make_connector(ex), request())

    with pytest.raises(error):
        run(main())


def test_exchange_in_a_thread(tls):
    with exchange(tls) as ex:
        port = ex.port
        reply = json.loads(run(place(ex.connector(), request(timestamp=int(time.time() * 1000)))))
        assert "error" not in reply and len(ex.records()) == 1
    with pytest.raises(OSError):  # stopped: nothing listens any more
        run(place(Connector("127.0.0.1", port, cafile=tls.certfile), request()))


def test_exchange_made_certificate_is_removed_on_stop():
    async def main():
        async with LoopbackExchange({KEY: SECRET}, [Symbol("QRVUSD", 0)], lifetime=30) as ex:
            cafile = ex.cafile
            assert os.path.exists(cafile)
        return cafile

    assert not os.path.exists(run(main()))


# ---------------------------------------------------------------------------
# Connector


@pytest.mark.parametrize("url, host, port, expected", [
    (MODULE_URL, "127.0.0.1", 8443, "wss://127.0.0.1:8443/ws-api/v3"),
    ("wss://a.invalid/ws-api/v3?x=1", "localhost", 9, "wss://localhost:9/ws-api/v3?x=1"),
    (MODULE_URL, "::1", 443, "wss://[::1]:443/ws-api/v3"),
    ("wss://user@a.invalid:443/p", "h", 1, "wss://h:1/p"),
])
def test_rewrite_keeps_scheme_and_path(url, host, port, expected):
    assert rewrite_url(url, host, port) == expected


@pytest.mark.parametrize("url, port", [("ws://a.invalid/ws-api/v3", 1), (MODULE_URL, 0), (MODULE_URL, 70000)])
def test_rewrite_refuses(url, port):
    with pytest.raises(ValueError):
        rewrite_url(url, "127.0.0.1", port)


def test_connector_as_module_global(tls):
    """A stand-in order body reaching the exchange through a rebound `websockets`."""
    import types

    async def body(ws_global):
        async with ws_global.connect(MODULE_URL) as ws:
            await ws.send(request(timestamp=int(time.time() * 1000)))
            return json.loads(await ws.recv())

    async def main():
        async with exchange(tls) as ex:
            module = types.SimpleNamespace(websockets=ex.connector())
            reply = await body(module.websockets)
            return reply, module.websockets

    reply, connector = run(main())
    assert "error" not in reply
    assert connector.opened == 1 and connector.last_url == MODULE_URL


# ---------------------------------------------------------------------------
# Command line


def test_exchange_command_line(tmp_path):
    records = tmp_path / "records.json"
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorvane_rehearsal.exchange", "--symbol", "qrvusd:now,step=0.5",
         "--account", f"{KEY}:{SECRET}", "--duration", "20", "--records", str(records)],
        stdout=subprocess.PIPE, text=True, cwd=os.path.dirname(os.path.dirname(__file__)))
    try:
        url = ca = None
        for line in proc.stdout:
            if line.startswith("loopback exchange on "):
                url = line.split()[-1]
            if line.startswith("CA file for clients: "):
                ca = line.split(": ", 1)[1].strip()
            if line.startswith("accounts:"):
                break
        port = int(re.search(r":(\d+)/", url).group(1))
        c = Connector("127.0.0.1", port, cafile=ca)
        now = int(time.time() * 1000)
        good = json.loads(run(place(c, request(timestamp=now, quantity="1.5"))))
        off_step = json.loads(run(place(c, request(timestamp=now, quantity="0.25"))))
        assert "error" not in good and off_step["error"]["code"] == Code.QUANTITY_STEP
        assert proc.stdout.readline().startswith("request 1: accepted QRVUSD")
        proc.send_signal(2)
        rest = proc.stdout.read()
        assert proc.wait(10) == 0
        assert "stopping:" in rest
        saved = json.loads(records.read_text())
        assert [r["outcome"] for r in saved] == ["accepted", "refused"]
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


# ---------------------------------------------------------------------------
# The exchange's own clock, service requests, many requests per connection


async def exchange_with_skew(tls, skew, symbols, **kw):
    ex = LoopbackExchange({KEY: SECRET}, symbols, tls=tls, clock_skew_ms=skew, lifetime=30, **kw)
    return await ex.start()


# (skew of the exchange's clock, our timestamp's distance from our clock,
#  opening relative to our clock, expected refusal or None)
@pytest.mark.parametrize("skew, ts_shift, open_shift, code", [
    (300, 300, -60_000, None),  # timestamp on the exchange's clock
    (2000, 0, -60_000, None),  # 2 s old by its clock: inside the window
    (7000, 0, -60_000, Code.TIMESTAMP_OUTSIDE_WINDOW),  # 7 s old
    (-30_000, 0, -60_000, Code.TIMESTAMP_OUTSIDE_WINDOW),  # 30 s ahead of its clock
    (-500, 0, -60_000, None),  # 0.5 s ahead: allowed
    (60_000, 60_000, 30_000, None),  # opened by its clock, not yet by ours
    (0, 0, 30_000, Code.NOT_OPEN),
    (-60_000, -60_000, -30_000, Code.NOT_OPEN),  # opened by ours, not by its clock
])
def test_clock_skew_moves_window_and_opening(tls, skew, ts_shift, open_shift, code):
    async def main():
        now = int(time.time() * 1000)
        ex = await exchange_with_skew(tls, skew, [Symbol("QRVUSD", now + open_shift)])
        try:
            before = time.time() * 1000
            reply = json.loads(await place(ex.connector(), request(timestamp=now + ts_shift)))
            after = time.time() * 1000
            return reply, ex.records(), ex.report(), now, before, after
        finally:
            await ex.stop()

    reply, records, report, now, before, after = run(main())
    assert (reply.get("error") or {}).get("code") == code
    assert before + skew <= records[0].arrival_ms <= after + skew
    if code is None:
        assert report["first_accepted_after_open_ms"] == records[0].arrival_ms - (now + open_shift)
        assert reply["result"]["transactTime"] == int(records[0].arrival_ms)


def test_time_ping_and_orders_share_one_connection(tls):
    async def main():
        now = int(time.time() * 1000)
        ex = await exchange_with_skew(tls, -250, [Symbol("QRVUSD", now - 60_000)])
        try:
            texts = [json.dumps({"id": "t1", "method": "time"}),
                     json.dumps({"id": "p1", "method": "ping"}),
                     request(timestamp=now - 250),
                     json.dumps({"id": "t2", "method": "time", "params": {}}),
                     request(method="order.cancel"),
                     request(timestamp=now - 250, secret="wrong"),
                     json.dumps({"id": 7, "method": "time"})]
            replies, stamps = [], []
            # A plain client: the reply to id 7 comes back with a null id, which a
            # channel would take for a pushed message, never for a reply.
            c = ex.connector()
            async with ws_connect(c.rewrite(MODULE_URL), ssl=c.ssl_context) as ws:
                for text in texts:
                    stamps.append(time.time() * 1000)
                    await ws.send(text)
                    replies.append(json.loads(await asyncio.wait_for(ws.recv(), 5)))
                stamps.append(time.time() * 1000)
            await asyncio.sleep(0.05)
            return texts, replies, stamps, ex.records(), ex.report()
        finally:
            await ex.stop()

    texts, replies, stamps, records, report = run(main())
    ids = [json.loads(t)["id"] for t in texts]
    assert [r["id"] for r in replies] == ids[:6] + [None]
    assert [r["status"] for r in replies] == [200, 200, 200, 200, 400, 401, 400]
    for i in (0, 3):
        server_time = replies[i]["result"]["serverTime"]
        assert isinstance(server_time, int) and set(replies[i]["result"]) == {"serverTime"}
        assert int(stamps[i] - 250) <= server_time <= stamps[i + 1] - 250
    assert replies[1]["result"] == {}
    assert replies[4]["error"]["code"] == Code.UNKNOWN_METHOD
    assert replies[6]["error"]["code"] == Code.BAD_REQUEST
    # only the order requests are records
    assert [r.outcome for r in records] == ["accepted", "refused", "refused"]
    assert (report["requests"], report["time_requests"], report["ping_requests"]) == (3, 3, 1)
    assert (report["connections"], report["empty_connections"]) == (1, 0)


def test_exchange_without_time_api_refuses_it(tls):
    async def main():
        ex = await exchange_with_skew(tls, 0, [Symbol("QRVUSD", 0)], time_api=False)
        try:
            async with ex.connector().connect(MODULE_URL) as ws:
                replies = []
                for method in ("time", "ping"):
                    await ws.send(json.dumps({"id": method, "method": method}))
                    replies.append(json.loads(await asyncio.wait_for(ws.recv(), 5)))
            return replies, ex.records()
        finally:
            await ex.stop()

    replies, records = run(main())
    assert [(r["id"], r["status"], r["error"]["code"]) for r in replies] == [
        ("time", 400, Code.UNKNOWN_METHOD), ("ping", 400, Code.UNKNOWN_METHOD)]
    assert records == []


def test_faults_strike_orders_not_time_requests(tls):
    async def main():
        ex = await exchange_with_skew(tls, 0, [Symbol("QRVUSD", 0)], fault="close")
        try:
            async with ex.connector().connect(MODULE_URL) as ws:
                await ws.send(json.dumps({"id": "t", "method": "time"}))
                answered = json.loads(await asyncio.wait_for(ws.recv(), 5))
                await ws.send(request(timestamp=int(time.time() * 1000)))
                with pytest.raises(ConnectionClosed):
                    await asyncio.wait_for(ws.recv(), 5)
            return answered, ex.records()
        finally:
            await ex.stop()

    answered, records = run(main())
    assert answered["status"] == 200 and [r.outcome for r in records] == ["close"]


def test_refused_handshake_fault_spares_open_connections(tls):
    async def main():
        ex = await exchange_with_skew(tls, 0, [Symbol("QRVUSD", 0)])
        try:
            c = ex.connector()
            async with c.connect(MODULE_URL) as warm:
                ex.set_fault("refuse-tls", count=1)
                await warm.send(request(timestamp=int(time.time() * 1000)))
                on_warm = json.loads(await asyncio.wait_for(warm.recv(), 5))
            with pytest.raises(OSError):
                await place(c, request())
            after = json.loads(await place(c, request(timestamp=int(time.time() * 1000))))
            return on_warm, after, ex.refused_handshakes
        finally:
            await ex.stop()

    on_warm, after, refused = run(main())
    assert "error" not in on_warm and "error" not in after and refused == 1
