"""buy_market_order against a recording stand-in of the websockets package."""
import hashlib
import hmac
import json
import os
import textwrap
import urllib.parse

import pytest

from conftest import module_records, run_python
from fakes import FakeWebsockets, drive

URL_END = ":443/ws-api/v3"


@pytest.fixture
def ws(restore_globals):
    fake = FakeWebsockets()
    restore_globals.websockets = fake
    return fake


def place(qv, *, api_key="key", secret="secret", symbol="BTCUSDT", quantity=0.5):
    return drive(qv.buy_market_order(api_key, secret, symbol, quantity))


def request(ws):
    (text,) = ws.sent()
    return text, json.loads(text)


def test_request_shape_and_order(qv, ws, capsys):
    assert place(qv) == (None, [])
    text, doc = request(ws)
    assert list(doc) == ["id", "method", "params"]
    assert doc["method"] == "order.place"
    assert len(doc["id"]) == 36 and doc["id"][14] == "4"
    params = doc["params"]
    assert list(params) == ["symbol", "side", "type", "quantity", "timestamp", "apiKey", "signature"]
    assert params["symbol"] == "BTCUSDT" and params["side"] == "BUY" and params["type"] == "MARKET"
    assert params["quantity"] == "0.5" and params["apiKey"] == "key"
    assert isinstance(params["timestamp"], int)
    assert ws.events() == ["connect", "aenter", "send", "recv", "aexit"]
    assert ws.log[0][1].startswith("wss://") and ws.log[0][1].endswith(URL_END)
    assert ws.log[-1][1:] == (None, None, None)
    assert capsys.readouterr().out == "Buy order placed successfully: {'result': {'orderId': 1}}\n"


def signed_text(params):
    unsigned = {k: v for k, v in params.items() if k != "signature"}
    return "&".join(f"{k}={urllib.parse.quote(str(v))}" for k, v in sorted(unsigned.items()))


def test_signature_covers_sorted_encoded_text(qv, ws):
    place(qv, api_key="a b/c+d", symbol="x&y=z")
    _, doc = request(ws)
    params = doc["params"]
    text = signed_text(params)
    assert text.startswith("apiKey=a%20b/c%2Bd&quantity=0.5&side=BUY&symbol=x%26y%3Dz&timestamp=")
    assert text.endswith("&type=MARKET") and "signature" not in text
    assert params["signature"] == qv.sign_request(text, "secret")
    assert params["signature"] == hmac.new(b"secret", text.encode(), hashlib.sha256).hexdigest()


@pytest.mark.parametrize(
    "quantity, text",
    [
        (0.5, "0.5"),
        (10, "10.0"),
        (0.1, "0.1"),            # held at full precision: no 32-bit rounding
        (12.34, "12.34"),
        (0.001, "0.001"),
        (1e-05, "1e-05"),
        (1e16, "1e+16"),
        (3.5e38 * 10, "3.5e+39"),  # beyond the 32-bit range: still finite
    ],
)
def test_quantity_text_is_repr_of_callers_number(qv, ws, quantity, text):
    place(qv, quantity=quantity)
    _, doc = request(ws)
    assert doc["params"]["quantity"] == text
    assert f"quantity={urllib.parse.quote(text)}&" in signed_text(doc["params"])


def test_plus_sign_encoded_in_signed_text_only(qv, ws):
    place(qv, quantity=1e16)
    _, doc = request(ws)
    assert doc["params"]["quantity"] == "1e+16"
    assert "quantity=1e%2B16&" in signed_text(doc["params"])


def test_none_symbol_and_api_key(qv, ws):
    place(qv, api_key=None, symbol=None)
    text, doc = request(ws)
    assert doc["params"]["symbol"] is None and doc["params"]["apiKey"] is None
    assert signed_text(doc["params"]).startswith("apiKey=None&")
    assert "&symbol=None&" in signed_text(doc["params"])


def test_secret_none_fails_before_connecting(qv, ws):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'") as info:
        place(qv, secret=None)
    assert module_records(info.value) == [("buy_market_order", 48)]
    assert ws.log == []


@pytest.mark.parametrize(
    "reply, line",
    [
        ('{"error": {"code": -1013, "msg": "bad"}}', "Failed to place buy order: {'code': -1013, 'msg': 'bad'}"),
        ('{"error": null}', "Failed to place buy order: None"),
        ('{"id": "x", "status": 200}', "Buy order placed successfully: {'id': 'x', 'status': 200}"),
        ('"no problem"', "Buy order placed successfully: no problem"),
    ],
)
def test_reply_outcome_lines(qv, ws, capsys, reply, line):
    ws.reply = reply
    assert place(qv) == (None, [])
    assert capsys.readouterr().out == line + "\n"
    assert ws.events()[-1] == "aexit"


@pytest.mark.parametrize(
    "reply, exc, line",
    [
        ("null", TypeError, 62),          # membership test on None
        ('"an error here"', TypeError, 63),  # substring test true, then subscription fails
        ("not json", ValueError, 61),
    ],
)
def test_failures_in_block_go_through_aexit(qv, ws, capsys, reply, exc, line):
    ws.reply = reply
    with pytest.raises(exc) as info:
        place(qv)
    # outermost first: the body's record, then the block's
    assert module_records(info.value) == [
        ("buy_market_order", 58),
        ("quorvane_3.buy_market_order", line),
    ]
    aexits = [e for e in ws.log if e[0] == "aexit"]
    assert len(aexits) == 1
    _, t, v, tb = aexits[0]
    assert t is type(info.value) and v is info.value and tb is not None
    assert capsys.readouterr().out == ""


def test_aexit_true_suppresses(qv, ws, capsys):
    ws.reply = "null"
    ws.suppress = True
    assert place(qv) == (None, [])
    assert [e[0] for e in ws.log].count("aexit") == 1
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("where", ["send_error", "recv_error"])
def test_connection_errors_reach_aexit(qv, ws, where):
    setattr(ws, where, ConnectionResetError("gone"))
    with pytest.raises(ConnectionResetError) as info:
        place(qv)
    line = 59 if where == "send_error" else 60
    assert module_records(info.value) == [("buy_market_order", 58), ("quorvane_3.buy_market_order", line)]
    assert ws.events().count("aexit") == 1


def test_aexit_sees_failure_as_handled_exception(qv, restore_globals):
    import sys

    seen = []

    class Manager:
        async def __aenter__(self):
            return Conn()

        async def __aexit__(self, *exc):
            seen.append((exc[1], sys.exc_info()[1]))
            return False

    class Conn:
        async def send(self, text):
            raise KeyError("boom")

    class WS:
        def connect(self, url):
            return Manager()

    restore_globals.websockets = WS()
    with pytest.raises(KeyError):
        place(qv)
    (given, handled), = seen
    assert handled is given


def test_suspending_awaits_reach_the_driver(qv, ws, capsys):
    ws.suspend = True
    value, yielded = place(qv)
    assert value is None
    # aenter, send, recv, aexit each suspend once
    assert yielded == ["suspended"] * 4
    assert "Buy order placed successfully" in capsys.readouterr().out


@pytest.mark.parametrize(
    "reply, steps, aexits, records",
    [
        ("{}", 1, 0, [("buy_market_order", 58)]),   # at __aenter__: no __aexit__
        ("{}", 2, 1, [("buy_market_order", 58), ("quorvane_3.buy_market_order", 59)]),
        ("{}", 3, 1, [("buy_market_order", 58), ("quorvane_3.buy_market_order", 60)]),
        ("{}", 4, 1, [("buy_market_order", 58)]),   # at the normal __aexit__
        ("null", 4, 1, [("buy_market_order", 58)]),  # at __aexit__ after a failure
    ],
)
def test_throw_at_each_await_point(qv, ws, reply, steps, aexits, records):
    ws.suspend = True
    ws.reply = reply
    coro = qv.buy_market_order("k", "s", "SYM", 1)
    for _ in range(steps):
        coro.send(None)
    with pytest.raises(OSError) as info:
        coro.throw(OSError("cut"))
        while True:  # __aexit__ suspends too
            coro.send(None)
    assert ws.events().count("aexit") == aexits
    assert module_records(info.value) == records


def test_aenter_missing(qv, restore_globals):
    class WS:
        def connect(self, url):
            return object()

    restore_globals.websockets = WS()
    with pytest.raises(AttributeError) as info:
        place(qv)
    assert str(info.value) == "__aexit__"
    assert module_records(info.value) == [("buy_market_order", 58)]


def test_hexdigest_must_be_str(qv, ws, restore_globals):
    class H:
        @staticmethod
        def new(*a):
            class D:
                def hexdigest(self):
                    return b"bytes"
            return D()

    restore_globals.hmac = H
    with pytest.raises(TypeError, match="Expected unicode, got bytes") as info:
        place(qv)
    assert module_records(info.value) == [("buy_market_order", 48)]
    assert ws.log == []


@pytest.mark.parametrize("name, line", [("uuid", 35), ("time", 36), ("urllib", 47), ("hmac", 48),
                                         ("hashlib", 48), ("websockets", 58)])
def test_missing_globals(qv, ws, restore_globals, name, line):
    delattr(restore_globals, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined") as info:
        place(qv)
    assert module_records(info.value) == [("buy_market_order", line)]


def test_json_rebound_between_uses(qv, ws, restore_globals):
    import ujson

    class Loud:
        dumps = staticmethod(lambda doc: "DUMPED")
        loads = staticmethod(ujson.loads)

    restore_globals.json = Loud
    place(qv)
    assert ws.sent() == ["DUMPED"]


def test_cached_print_ignores_later_rebinding(qv, ws, capsys, monkeypatch):
    import builtins

    calls = []
    monkeypatch.setattr(builtins, "print", lambda *a: calls.append(a))
    place(qv)
    assert calls == []
    assert "Buy order placed successfully" in capsys.readouterr().out


def test_stop_iteration_escaping_the_body_is_not_a_return(qv, ws):
    # A StopIteration from the connection must not read as the order's
    # normal end: it leaves as RuntimeError, as from a native coroutine.
    ws.send_error = StopIteration("from send")
    coro = qv.buy_market_order("k", "s", "SYM", 1)
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
        coro.send(None)
    assert isinstance(info.value.__cause__, StopIteration)
    assert ws.events().count("aexit") == 1


def test_stop_iteration_thrown_in_is_not_a_return(qv, restore_globals):
    class PlainIterator:
        # awaited through an iterator without throw(): a thrown exception is
        # raised in the body itself
        def __await__(self):
            return iter(["suspended"])

    class Manager:
        def __aenter__(self):
            return PlainIterator()

        async def __aexit__(self, *exc):
            return False

    restore_globals.websockets = type("WS", (), {"connect": staticmethod(lambda url: Manager())})
    coro = qv.buy_market_order("k", "s", "SYM", 1)
    assert coro.send(None) == "suspended"
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
        coro.throw(StopIteration)
    assert type(info.value.__cause__) is StopIteration


def test_a_huge_reply_leaves_no_memory_behind():
    # Resident memory of a child before and after one order whose reply
    # text is 48 MB. The sanitizer's quarantine would hold freed memory.
    code = textwrap.dedent("""
        import gc, json, os, sys, types
        import quorvane_3 as qv
        from fakes import FakeWebsockets, drive

        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        reply = {"result": "x" * (48 << 20)}
        qv.json = types.SimpleNamespace(loads=lambda text: reply, dumps=json.dumps)
        qv.websockets = FakeWebsockets()
        out, sys.stdout = sys.stdout, open(os.devnull, "w")
        before = resident()
        drive(qv.buy_market_order("key", "secret", "BTCUSDT", 0.5))
        gc.collect()
        out.write(str(resident() - before))
    """)
    path = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), os.path.dirname(__file__)]))
    options = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    result = run_python(code, env={"PYTHONPATH": path, "ASAN_OPTIONS": options})
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 16 << 20
