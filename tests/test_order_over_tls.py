"""The module's own buy_market_order against the loopback exchange over real
TLS on 127.0.0.1, reached through the connector."""
import asyncio
import os
import time

import pytest
from websockets.exceptions import ConnectionClosed

from conftest import module_records
from quorvane_rehearsal.exchange import Fault, LoopbackExchange, Symbol, make_self_signed

KEY, SECRET = "key-1", "secret-1"


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    return make_self_signed(str(tmp_path_factory.mktemp("tls")))


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def exchange(tls):
    now = int(time.time() * 1000)
    return LoopbackExchange({KEY: SECRET}, [Symbol("QRVUSD", now - 1), Symbol("LATER", now + 600_000)],
                            tls=tls, hold_seconds=5, lifetime=30)


def run_orders(qv, tls, orders, fault=None, timeout=None):
    """Places each (key, secret, symbol, quantity) order through the module;
    returns the outcomes (None or the exception), the exchange's records, and
    the open descriptors before and after."""

    async def main():
        async with exchange(tls) as ex:
            qv.websockets = ex.connector()
            baseline = open_fds()
            outcomes = []
            for order in orders:
                if fault:
                    ex.set_fault(fault, count=1)
                try:
                    coro = qv.buy_market_order(*order)
                    outcomes.append(await (asyncio.wait_for(coro, timeout) if timeout else coro))
                except Exception as e:  # noqa: BLE001  (the outcome is what is tested)
                    outcomes.append(e)
            await asyncio.sleep(0.05)
            return outcomes, ex.records(), baseline, open_fds()

    return asyncio.run(main())


def test_orders_accepted_and_rejected(restore_globals, tls, capsys):
    qv = restore_globals
    outcomes, records, baseline, after = run_orders(qv, tls, [
        (KEY, SECRET, "QRVUSD", 0.5),
        (KEY, "wrong secret", "QRVUSD", 0.5),
        (KEY, SECRET, "LATER", 0.5),
        (KEY, SECRET, "QRVUSD", 0.1),
    ])
    assert outcomes == [None] * 4
    assert [r.outcome for r in records] == ["accepted", "refused", "refused", "accepted"]
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("Buy order placed successfully: {")
    assert lines[1].startswith("Failed to place buy order: {")
    assert lines[2].startswith("Failed to place buy order: {")
    assert lines[3].startswith("Buy order placed successfully: {")
    assert after == baseline


@pytest.mark.parametrize("fault, expected", [
    (Fault.CLOSE, ConnectionClosed),
    (Fault.GARBAGE, ValueError),
    (Fault.REFUSE_TLS, OSError),
])
def test_fault_modes(restore_globals, tls, capsys, fault, expected):
    qv = restore_globals
    outcomes, records, baseline, after = run_orders(qv, tls, [(KEY, SECRET, "QRVUSD", 1.0)], fault=fault)
    (exc,) = outcomes
    assert isinstance(exc, expected)
    if fault is Fault.REFUSE_TLS:
        # the connection never opened: no __aexit__, one record at the block's line
        assert module_records(exc) == [("buy_market_order", 58)]
    else:
        assert module_records(exc)[0] == ("buy_market_order", 58)
        assert module_records(exc)[1][0] == "quorvane_3.buy_market_order"
    assert capsys.readouterr().out == ""
    assert after == baseline


def test_silent_exchange_cancelled(restore_globals, tls, capsys):
    qv = restore_globals
    outcomes, records, baseline, after = run_orders(qv, tls, [(KEY, SECRET, "QRVUSD", 1.0)],
                                                    fault=Fault.SILENT, timeout=0.5)
    (exc,) = outcomes
    assert isinstance(exc, asyncio.TimeoutError)
    assert capsys.readouterr().out == ""
    assert after == baseline


@pytest.mark.python_side
def test_order_connections_negotiate_no_compression(tls):
    # Not offered (the loopback exchange would refuse it anyway), so none is negotiated.
    async def main():
        async with exchange(tls) as ex:
            connector = ex.connector()
            url = "wss://exchange.invalid/ws-api/v3"
            pool = connector.start_pool(url, 1)
            await pool.fill()
            async with connector.connect(url) as pooled, connector.connect(url, open_timeout=5) as cold:
                said = [(channel.conn.request.headers.get("Sec-WebSocket-Extensions"), channel.protocol.extensions)
                        for channel in (pooled, cold)]
            await pool.aclose()
            return said

    assert asyncio.run(main()) == [(None, [])] * 2
