"""Finding out unknown outcomes during the run: the order queries, on the run's own connections.

The questions and how their answers are matched are
:mod:`quorvane_host.orders.asking`; this file gives them a way to the
exchange: one request at a time on a connection of the pool (or a new one
when no pool runs), signed with the module's own ``sign_request``, and the
run's clock figures to match answers by.
"""

from __future__ import annotations

import asyncio
import time
from decimal import Decimal, InvalidOperation
from typing import Any, Optional

from quorvane_host.orders.asking import OrderQueries
from quorvane_host.orders.reply import OrderShape, decode
from quorvane_host.run.console_link import ConsoleLink
from quorvane_host.run.state import RunState

__all__ = ["QUERY_WAIT_MIN_S", "order_queries"]

QUERY_WAIT_MIN_S = 1.0  # a query's reply is waited for this long at least (four round trips otherwise)


def _round_trip_ms(state: RunState) -> float:
    return state.clock.rtt_median_ms if state.clock is not None else 0.0


def _quantity(quantity: Any) -> Optional[Decimal]:
    try:
        d = Decimal(str(quantity))
    except InvalidOperation:
        return None
    return d if d.is_finite() else None


def order_queries(state: RunState, link: ConsoleLink, module: Any, connector: Any, url: str,
                  quantity: Any) -> Optional[OrderQueries]:
    """The run's order queries, or None when they are off (``--no-order-query``) or cannot be signed.

    ``quantity``: as the module's order text carries it (what the exchange lists as ``origQty``).
    """
    plan = state.plan
    # Every reply and answer is held to what the orders are: a MARKET buy of this symbol and quantity.
    state.gate.ledger.shape = OrderShape(str(plan.symbol).upper(), _quantity(quantity))
    sign = getattr(module, "sign_request", None)
    if not plan.order_query or sign is None or connector is None:
        return None

    budget = getattr(state, "budget", None)

    def late(request_id: Any, message: Any) -> None:
        # A question given up on (cut short, or timed out) still states the exchange's count.
        if budget is not None:
            budget.learn(decode(message), time.time() * 1000)

    async def request(text: str, request_id: Any) -> Any:
        lease = connector.connect(url)
        async with lease as ch:
            ch.expect(request_id, on_late=late)
            try:
                await ch.send(text)
                wait = max(QUERY_WAIT_MIN_S, 4 * _round_trip_ms(state) / 1000)
                message = await ch.reply(request_id, timeout=wait)
            finally:
                ch.release(request_id)
            if hasattr(lease, "reusable"):
                lease.reusable = True  # its one request answered: the next may use it
        data = decode(message)
        return data if data is not None else message

    return OrderQueries(
        state.gate.ledger, request, sign, plan.api_key, plan.secret, plan.symbol, str(quantity),
        clock=lambda: (state.offset_ms(), _round_trip_ms(state)),
        now_ms=lambda: time.time() * 1000, budget=budget,
        say=link.host_line, sleep=asyncio.sleep)
