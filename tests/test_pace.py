"""The order pace: times passed in, limits as the exchange states them."""

import pytest

from quorvane_host.orders.pace import Pace
from quorvane_host.orders.windows import BUCKETS, Limit

pytestmark = pytest.mark.python_side

SECOND, TEN_SECONDS, DAY = 1000, 10_000, 86_400_000
TEN_A_SECOND = [Limit(SECOND, 10)]
LISTING_DAY = [Limit(TEN_SECONDS, 50, 1), Limit(DAY, 160_000, 59)]  # 59 orders placed earlier that day


@pytest.mark.parametrize("steps, now, expected", [
    ([], 0, 0),  # the first order goes at once
    ([("started", 0), ("sent", 0), ("accepted",)], 1, 1),  # and one after an accepted one
    ([("started", 0), ("sent", 0), ("retry",)], 1, 200),  # a retry waits a step at 5 a second
    ([("learn", TEN_A_SECOND, 0), ("started", 0), ("sent", 0), ("retry",)], 1, 106),  # the stated 10/s, margin
    # a day's limit caps the total and is never spread over the day: 10 s / 50 with the margin
    ([("learn", LISTING_DAY, 0), ("started", 0), ("sent", 0), ("retry",)], 1, 210.2),
    ([("learn", LISTING_DAY, 0), ("started", 0), ("sent", 0), ("accepted",)], 1, 1),
    ([("learn", [Limit(DAY, 100, 99)], 0), ("started", 0), ("sent", 0)], 1, DAY * 1.05 + 10),  # but it caps
    ([("hold", 5000), ("started", 0)], 1, 5000),  # a rate limit's window
    ([("learn", LISTING_DAY, 0), ("hold_window", 0)], 1, 10_510),  # one that names none: a short window
    ([("started", 0), ("sent", 0), ("aim", 3000)], 1, 3000),  # an announced opening
    ([("started", 0), ("sent", 0), ("aim", 5)], 1, 20),  # but never right on the heels of the last
    # an aimed order that arrived a hair early is aimed again, not put on the retry pace
    ([("started", 1000), ("sent", 1000), ("aim", 1002)], 1035, 1035),
    ([("started", 1000), ("sent", 1000), ("aim", 1002), ("started", 1035), ("retry",)], 1036, 1235),
    # the exchange's count replaces ours for its window (3 a second), each of ours answered
    ([("sent", 0), ("learn", [], 20), ("sent", 500), ("learn", [Limit(SECOND, 3, 2)], 600)], 600, 600),
    ([("sent", 0), ("learn", [], 20), ("sent", 500), ("learn", [Limit(SECOND, 3, 4)], 600)], 600, 600 + 1060),
    ([("learn", [Limit(SECOND, 3, 3)], 0), ("learn", [Limit(SECOND, 3, 0)], 500)], 500, 500),  # a newer count
    ([("learn", [Limit(SECOND, 3, 0)], 0), ("sent", 100), ("learn", [], 120), ("sent", 200), ("learn", [], 220),
      ("sent", 300), ("learn", [Limit(SECOND, 3, 1)], 400)], 400, 100 + 1060),  # ours still in the slide hold
    # an order still on its way when the reply was written may be missing from its count
    ([("learn", [Limit(SECOND, 3, 0)], 0), ("sent", 100), ("sent", 110), ("learn", [Limit(SECOND, 3, 2)], 150)],
     150, 150 + 1060),
    # and ours since it add to it, until its window has surely ended
    ([("learn", [Limit(SECOND, 3, 1)], 0), ("sent", 100), ("sent", 200)], 300, 1060),
])
def test_pace(steps, now, expected):
    pace = Pace(5.0)
    for name, *args in steps:
        getattr(pace, name)(*args)
    assert pace.next_at(now) == pytest.approx(expected, abs=1)


def test_a_burst_after_accepted_orders_stays_within_the_stated_limit():
    pace = Pace(5.0)
    pace.learn(TEN_A_SECOND, 0)
    times, now = [], 0.0
    for _ in range(35):  # accepted orders, each followed at once by the next
        now = pace.next_at(now)
        pace.started(now)
        pace.sent(now)
        pace.accepted()
        times.append(now)
    # never more than 10 in any second, wherever the exchange's window starts
    assert all(sum(1 for t in times if start <= t < start + 1000) <= 10 for start in times)
    assert times[9] == 0 and times[10] > 1000


def test_a_days_count_keeps_the_pace_small():
    pace = Pace(5.0)
    pace.learn([Limit(DAY, 160_000, 100_000)], 0)
    for i in range(5000):
        pace.sent(i * 20_000.0)  # a day and more of orders
        pace.learn([Limit(DAY, 160_000, 100_000 + i)], i * 20_000.0 + 5)
    assert pace.next_at(100_000_000) == 100_000_000
    assert all(len(window) <= BUCKETS + 2 for window in pace._windows.values())
