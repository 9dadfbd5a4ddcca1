"""The money, through the gate and the trigger: what each kind of reply does to the count and the exit status."""

import asyncio
import json
from decimal import Decimal

import pytest

from quorvane_host.orders.exit_status import EXIT_OK, EXIT_UNKNOWN, EXIT_UNMET, bought_orders, exit_status, \
    unknown_outcomes
from quorvane_host.orders.gate import Gate, StopOrdering
from quorvane_host.orders.observer import Observer
from quorvane_host.orders.pace import Pace
from quorvane_host.orders.price_guard import PriceGuard
from quorvane_host.orders.refusals import Refusals
from quorvane_host.run.trigger import drive
from test_host_replies import OPEN, Conn, Inner, Lease, Link, Module, _state, place

pytestmark = pytest.mark.python_side

FILLED = {"orderId": 9, "side": "BUY", "type": "MARKET", "status": "FILLED", "executedQty": "0.5",
          "cummulativeQuoteQty": "1"}


def reply(rid, status=200, result=None, **more):
    return json.dumps(dict({"id": rid, "status": status, "result": result}, **more))


def filled(rid, **more):
    return reply(rid, result=FILLED, **more)


def too_many(rid, code=-9999):
    return json.dumps({"id": rid, "status": 429, "error": {"code": code, "msg": "slow down"}})


# Each entry's requests carry the ids e1-1, e1-2, ... (see Module): the n-th
# connection carries the n-th order of the first entry.
@pytest.mark.parametrize("replies, wanted, sent, bought, status", [
    # accepted and not final: it may fill a moment later, so no second order
    ([[reply("e1-1", result=dict(FILLED, status="NEW", executedQty="0"))], [filled("e1-2")]], 1, 1, 0,
     EXIT_UNKNOWN),
    # the result decides, whatever error member goes beside it
    ([[filled("e1-1", error={"code": 0, "msg": "OK"})]], 1, 1, 1, EXIT_OK),
    # a fill that names no order: unknown, and never fired on
    ([[reply("e1-1", result=dict(FILLED, orderId=None))]] * 5, 1, 1, 0, EXIT_UNKNOWN),
    # an error with a null id is nobody's reply; the order's own reply follows it
    ([[json.dumps({"id": None, "status": 429, "error": {"code": -1003, "msg": "too many"}}), filled("e1-1")]],
     1, 1, 1, EXIT_OK),
    # a status that is not an integer is no status
    ([[reply("e1-1", status="500", result=FILLED)], [filled("e1-2")]], 1, 1, 0, EXIT_UNKNOWN),
    # 429 is a rate limit whatever its code: wait, then retry
    ([[too_many("e1-1")], [filled("e1-2")]], 1, 2, 1, EXIT_OK),
    # the connection lost after the bytes left: unknown
    ([[]], 1, 1, 0, EXIT_UNKNOWN),
    # nothing filled and over: ordering goes on
    ([[reply("e1-1", result=dict(FILLED, status="EXPIRED", executedQty="0"))], [filled("e1-2")]], 1, 2, 1,
     EXIT_OK),
    # a server error, or a code that says the execution is unknown: unknown, never refused
    ([[reply("e1-1", status=503, result=None, error={"code": -1007, "msg": "execution status unknown"})],
      [filled("e1-2")]], 1, 1, 0, EXIT_UNKNOWN),
    ([[reply("e1-1", status=400, result=None, error={"code": -1006, "msg": "unexpected response"})],
      [filled("e1-2")]], 1, 1, 0, EXIT_UNKNOWN),
    # two wanted, the first unknown: one more may go, not a third
    ([[reply("e1-1", result=dict(FILLED, orderId=None))], [filled("e1-2")], [filled("e1-3")]], 2, 2, 1,
     EXIT_UNKNOWN),
])
def test_what_each_reply_does_to_the_money(replies, wanted, sent, bought, status):
    gate = Gate(Inner(*[Conn(r) for r in replies]), max_orders=100, pace=Pace(1000.0))
    module = Module()
    module.websockets = gate
    Observer(wanted, gate, Refusals(OPEN))
    gate.pace.hold_window = lambda now: None  # the rate limit's window: not waited out here
    state = _state(gate)
    asyncio.run(drive(state, Link(), module))
    assert (gate.placed, bought_orders(gate.orders)) == (sent, bought)
    assert exit_status(wanted, bought, unknown_outcomes(gate.orders), None) == status


@pytest.mark.parametrize("first", [[], [reply("r1", status=503, result=None, error={"code": -1007, "msg": "?"})]])
def test_a_late_reply_reaches_its_order(first):
    gate = Gate(Inner(Conn(first)), max_orders=100, pace=Pace(1000.0))
    observer = Observer(1, gate, Refusals(OPEN))
    if first:
        asyncio.run(place(gate, rid="r1"))
    else:
        with pytest.raises(ConnectionResetError):
            asyncio.run(place(gate, rid="r1"))
    assert unknown_outcomes(gate.orders) == 1 and gate.stop_reason is None
    gate.late_reply("r1", filled("r1"))  # the fill, after the wait had ended
    gate.late_reply("r7", filled("r7"))  # an id never sent: nobody's
    assert bought_orders(gate.orders) == 1 and unknown_outcomes(gate.orders) == 0
    assert observer.bought == 1 and gate.skipped_messages == 1


def test_the_time_limit_is_checked_when_the_bytes_would_go():
    clock = [OPEN]

    class SlowHandshake(Lease):
        __slots__ = ()

        async def __aenter__(self):
            clock[0] += 300  # the handshake outlasts the time limit
            return await super().__aenter__()

    conn = Conn([filled("r1")])
    gate = Gate(Inner(conn, kind=SlowHandshake), max_orders=100, pace=Pace(1000.0), now_ms=lambda: clock[0])
    gate.deadline_ms = OPEN + 200
    with pytest.raises(StopOrdering):
        asyncio.run(place(gate))
    assert conn.sent == [] and gate.placed == 0


class Asked:
    """Stands in for the order queries: the exchange says ``answer`` of every unknown order."""

    def __init__(self, ledger, answer):
        self.ledger, self.answer, self.asked = ledger, answer, 0

    async def settle(self, until_ms, **how):
        for order in self.ledger.unknown():
            self.asked += 1
            self.ledger.learnt(order, self.answer, "asked the exchange (order.status)")


@pytest.mark.parametrize("answer, sent, bought, status", [
    (FILLED, 1, 1, EXIT_OK),  # filled, then the connection closed before the reply: asked, bought
    (dict(FILLED, status="EXPIRED", executedQty="0"), 2, 1, EXIT_OK),  # nothing filled: ordering resumes
    (dict(FILLED, status="NEW", executedQty="0"), 1, 0, EXIT_UNKNOWN),  # the exchange cannot tell yet
])
def test_a_lost_reply_is_asked_of_the_exchange(answer, sent, bought, status):
    gate = Gate(Inner(Conn([]), Conn([filled("e2-1")])), max_orders=100, pace=Pace(1000.0))
    module = Module()
    module.websockets = gate
    Observer(1, gate, Refusals(OPEN))
    state = _state(gate)
    asked = Asked(gate.ledger, answer)
    asyncio.run(drive(state, Link(), module, asked))
    assert asked.asked >= 1 and (gate.placed, bought_orders(gate.orders)) == (sent, bought)
    assert exit_status(1, bought, unknown_outcomes(gate.orders), None) == status
    assert gate.orders[0].found_by == "asked the exchange (order.status)" or status == EXIT_UNKNOWN
    assert (state.error is None) is (status == EXIT_OK)  # found bought: done, not failed


def bought_at(price, qty="0.5"):
    return {"orderId": 9, "status": "FILLED", "executedQty": qty,
            "cummulativeQuoteQty": str(Decimal(price) * Decimal(qty))}


@pytest.mark.parametrize("max_price, max_spend, prices, sent, stopped", [
    (None, None, ["1", "9", "9"], 3, None),  # no guard: three wanted, three bought
    ("2", None, ["1", "3", "1"], 2, "above --max-price 2"),  # the second filled too dear: no third
    ("2", None, ["3", "1", "1"], 1, "above --max-price 2"),  # the first goes whatever the price
    (None, "1.2", ["1", "1", "1"], 2, "would pass --max-spend 1.2"),  # 1.0 spent, the next at 0.5 passes
    (None, "1", ["1", "1", "1"], 2, "--max-spend 1 reached"),
    ("5", None, [None, "1", "1"], 1, "did not state"),  # a fill with no price cannot be held to it
])
def test_the_price_guard_stops_further_orders(max_price, max_spend, prices, sent, stopped):
    conns = [Conn([reply(f"e1-{n + 1}", result=bought_at(p) if p else dict(FILLED, cummulativeQuoteQty=None))])
             for n, p in enumerate(prices)]
    gate = Gate(Inner(*conns), max_orders=100, pace=Pace(1000.0))
    gate.price_guard = PriceGuard(max_price and Decimal(max_price), max_spend and Decimal(max_spend),
                                  Decimal("0.5"))
    module = Module()
    module.websockets = gate
    Observer(3, gate, Refusals(OPEN))
    asyncio.run(drive(_state(gate), Link(), module))
    assert gate.placed == sent
    assert (stopped is None and gate.price_guard.stopped is None) or stopped in gate.price_guard.stopped
    assert exit_status(3, bought_orders(gate.orders), unknown_outcomes(gate.orders), None) == \
        (EXIT_OK if sent == 3 else EXIT_UNMET)
