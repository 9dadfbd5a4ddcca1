"""An announced opening, in the forms exchanges write it."""

import pytest

from quorvane_host.orders.announcement import announced_open

pytestmark = pytest.mark.python_side

OPENS = 1_796_673_603_040  # 2026-12-07T20:00:03.040Z


def refused(msg=None, **data):
    error = {"code": 3005}
    if msg is not None:
        error["msg"] = msg
    if data:
        error["data"] = data
    return {"id": "r1", "status": 400, "error": error}


@pytest.mark.parametrize("data, opens", [
    (refused("not open yet; opens in 4703 ms", openTime=9000), 9000),  # the field first
    (refused(opensAt="9000"), 9000),
    (refused(openTime="2026-12-07T20:00:03.040Z"), OPENS),
    ({"status": 400, "error": {"code": 3005, "openTime": 9000}}, 9000),  # in the error
    ({"status": 400, "error": {"code": 3005}, "opensAt": 9000}, 9000),  # beside it
    (refused("trading in X opens in 250 ms"), 1250),  # from the arrival
    (refused("trading in X opens in 250ms."), 1250),
    (refused("trading in X opens in 2 s"), 3000),
    (refused("trading in X opens in 1.5 seconds"), 2500),
    (refused("QRVUSD opens at 2026-12-07T20:00:03.040Z"), OPENS),
    (refused("QRVUSD opens at 2026-12-07T20:00:03Z"), OPENS - 40),
    (refused("Opening time: 2026-12-07T21:00:03.04+01:00, please wait"), OPENS),
    (refused("opens at 2026-12-07 15:00:03.040 -0500"), OPENS),
    (refused("server time 2026-12-07T19:59:59.000Z; opens at 2026-12-07T20:00:03.040Z"), OPENS),
    (refused("opens soon (server time 2026-12-07T19:59:59.000Z)"), None),  # not the opening's time
    (refused("opens at 2026-12-07T20:00:03.040"), None),  # no zone: nothing certain
    (refused("opens at 2026-02-30T20:00:03Z"), None),
    (refused("trading not open yet"), None),
    (refused(openTime=True), None),
    ({"status": 400, "msg": "opens in 10 ms"}, 1010),
    ("opens in 10 ms", None),
    (None, None),
])
def test_an_announced_opening(data, opens):
    assert announced_open(data, 1000.0) == opens
