"""The request-weight budget: learnt from any reply, spent by every request, half of it for the clock."""

import pytest

from quorvane_host.orders.weights import RequestBudget

pytestmark = pytest.mark.python_side


def weight(limit, count, interval="SECOND", num=10, kind="REQUEST_WEIGHT"):
    return {"rateLimitType": kind, "interval": interval, "intervalNum": num, "limit": limit, "count": count}


def reply(*limits):
    return {"id": "t1", "status": 200, "result": {"serverTime": 1}, "rateLimits": list(limits)}


@pytest.mark.parametrize("steps, now, remaining, allowance", [
    ([], 0, None, None),  # nothing stated: no limit known
    ([("learn", 0, reply(weight(50, 3, kind="ORDERS")))], 0, None, None),  # an order limit is not a weight limit
    ([("learn", 0, reply(weight(20, 1)))], 0, 19, 9),
    ([("learn", 0, reply(weight(20, 1))), ("spend", 5, 4)], 5, 15, 7),  # spent since the reply
    # the exchange's count replaces ours: our request and its count of it are not added up ...
    ([("learn", 0, reply(weight(20, 1))), ("spend", 5, 4), ("learn", 30, reply(weight(20, 5)))], 30, 15, 7),
    # ... but a request still on its way when the reply was written may be missing from it
    ([("learn", 0, reply(weight(20, 1))), ("spend", 5, 4), ("spend", 6, 2), ("learn", 30, reply(weight(20, 5)))],
     30, 13, 6),
    # a count below ours (sends still on their way, or its window newer): ours still in the slide hold
    ([("learn", 0, reply(weight(20, 0))), ("spend", 1, 15), ("learn", 30, reply(weight(20, 2)))], 30, 5, 2),
    # a count above ours (another client, an earlier run) holds until its window has surely passed
    ([("learn", 0, reply(weight(20, 18)))], 10_000, 2, 1),
    ([("learn", 0, reply(weight(20, 18)))], 10_510, 20, 10),
    ([("learn", 0, reply(weight(20, 1))), ("spend", 1, 25)], 100, 0, 0),  # overspent: none left, not negative
    ([("learn", 0, reply(weight(20, 1))), ("spend", 1, 19)], 10_512, 20, 10),  # ours left the window too
    # the tightest window decides, a day's too
    ([("learn", 0, reply(weight(6000, 10, "MINUTE", 1), weight(100_000, 99_990, "DAY", 1)))], 0, 10, 5),
    ([("learn", 0, reply(weight(6000, 10, "MINUTE", 1), weight(20, 0)))], 0, 20, 10),
    ([("learn", 0, {"rateLimits": "garbled"}), ("learn", 0, None)], 0, None, None),
])
def test_the_budget(steps, now, remaining, allowance):
    budget = RequestBudget()
    for name, at, arg in steps:
        if name == "learn":
            budget.learn(arg, at)
        else:
            budget.spend(at, arg)
    assert budget.remaining(now) == remaining
    assert budget.measuring_allowance(now) == allowance
