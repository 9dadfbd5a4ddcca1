"""Mistakes that the type information must catch: each line marked
"rejected: CODE" must draw exactly that error, and no other line any
(tests/test_wheel.py). Never run."""

import quorvane_3
from quorvane_host.net.connector import Connector

quorvane_3.sign_request(b"symbol=QRVUSD", "secret")  # rejected: arg-type
quorvane_3.sign_request(None, "secret")  # rejected: arg-type
quorvane_3.sign_request("symbol=QRVUSD")  # rejected: call-arg
signature: bytes = quorvane_3.sign_request("symbol=QRVUSD", "secret")  # rejected: assignment
order = quorvane_3.buy_market_order("key", "secret", "QRVUSD", "0.1")  # rejected: arg-type
trigger = quorvane_3.listen_for_trades("key", "secret", "QRVUSD", 0.1, "2030-01-31T12:00Z")  # rejected: arg-type
connector = Connector("127.0.0.1", "8443")  # rejected: arg-type


async def waits_for_the_trigger_to_end() -> None:
    await quorvane_3.listen_for_trades("key", "secret", "QRVUSD", 0.1, 1_900_000_000_000)
    print("listing over")  # rejected: unreachable
