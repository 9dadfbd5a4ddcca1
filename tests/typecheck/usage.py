"""What a host script does with the package: must pass a strict type check
against the installed wheel (tests/test_wheel.py). Never run."""

import asyncio
from decimal import Decimal
from typing import Any, Coroutine

from typing_extensions import assert_type

import quorvane_3
from quorvane_host.net.connector import Connector
from quorvane_host.cli.times import parse_opening_time


async def host(cafile: str) -> None:
    assert_type(quorvane_3.sign_request("symbol=QRVUSD&side=BUY", "secret"), str)
    quorvane_3.websockets = Connector("127.0.0.1", 8443, cafile=cafile)
    order: Coroutine[Any, Any, None] = quorvane_3.buy_market_order("key", "secret", "QRVUSD", 0.1)
    await order
    await asyncio.create_task(quorvane_3.buy_market_order("key", "secret", "QRVUSD", Decimal("2")))
    opening = parse_opening_time("2030-01-31T12:00:00Z")
    trigger = asyncio.create_task(quorvane_3.listen_for_trades("key", "secret", "qrvusd", 1, opening))
    trigger.cancel()
