"""The start-up test order: each answer of the exchange, and what the run does with it."""

import pytest

from quorvane_host.orders.codes import Code
from quorvane_host.orders.order_test import TEST_METHOD, judge_test_order, as_test_order
from quorvane_host.orders.refusals import Refusals
from quorvane_rehearsal.exchange import Symbol
from quorvane_rehearsal.network import RehearsalNetwork
from test_host_run import host, opening_in, standin_env  # noqa: F401 - fixture

pytestmark = pytest.mark.python_side


def refused(code, msg="", status=400):
    return {"id": "t", "status": status, "error": {"code": code, "msg": msg}}


@pytest.mark.parametrize("reply, overrides, stops, said", [
    ({"id": "t", "status": 200, "result": {}}, (), False, "the signature and the order's parameters are good"),
    (refused(Code.BAD_SIGNATURE, "Signature for this request is not valid.", 401), (), True, "check the secret key"),
    (refused(Code.UNKNOWN_API_KEY, "API-key format invalid.", 401), (), True, "check the API key"),
    (refused(Code.TIMESTAMP_OUTSIDE_WINDOW), (), True, "synchronise this machine's clock"),
    (refused(Code.QUANTITY_STEP), (), True, "multiple of the symbol's lot step"),
    (refused(Code.UNKNOWN_SYMBOL, "Invalid symbol."), (), False, "as expected before a listing"),
    (refused(Code.NOT_OPEN), (), False, "as expected before a listing"),
    (refused(Code.UNKNOWN_METHOD, "unknown method"), (), False, "has no test order"),
    (refused(Code.TOO_MANY_REQUESTS, "Too many requests", 429), (), False, "rate-limiting"),
    (refused(Code.TOO_MANY_REQUESTS, "banned until 1", 418), (), True, "banned"),
    (refused(4242, "Account has insufficient balance"), (), True, "insufficient balance"),
    (refused(4242, "odd"), ((4242, "retry"),), False, "--refusal 4242=retry"),
    ("<html>Bad Gateway</html>", (), False, "unreadable"),
])
def test_each_answer_to_the_test_order(reply, overrides, stops, said):
    verdict = judge_test_order(reply, Refusals(0, overrides))
    assert verdict.stop is stops and said in verdict.said


def test_the_test_order_is_the_order_itself():
    order = {"id": "o-1", "method": "order.place", "params": {"symbol": "QRVUSD", "signature": "ab"}}
    test = as_test_order(order, "t-1")
    assert test == {"id": "t-1", "method": TEST_METHOD, "params": order["params"]}
    assert order["method"] == "order.place"  # the module's request is left as it was


@pytest.mark.parametrize("keys, status, said", [
    ({"QUORVANE_API_KEY": "test-key", "QUORVANE_SECRET_KEY": "wrong-secret"}, 2, "check the secret key"),
    ({"QUORVANE_API_KEY": "other-key", "QUORVANE_SECRET_KEY": "test-secret"}, 2, "check the API key"),
])
def test_wrong_keys_stop_the_run_before_the_countdown(standin_env, keys, status, said):
    with RehearsalNetwork({"test-key": "test-secret"}, [Symbol("QRVUSD", int(opening_in(600)))],
                          rtt_ms=10, lifetime=120) as net:
        done = host(standin_env, "QRVUSD", "0.5", "--open-at", opening_in(600), "--connect",
                    f"127.0.0.1:{net.port}", "--cafile", net.cafile, keys=keys)
        report = net.report("QRVUSD")
    assert done.returncode == status, done.stdout + done.stderr
    assert "test order at start-up" in done.stderr and said in done.stderr
    assert report["requests"] == 0 and sum(report["test_refusals"].values()) == 1
