"""When the module's and the host's lines leave for the console, and which write is an order's."""

import pytest

from quorvane_host.run.console_link import ConsoleBatch
from quorvane_host.run.window import FiringWindow, SendWatch

pytestmark = pytest.mark.python_side


def play(script):
    """Run ``event@seconds ...`` against a batch; the times at which it flushed."""
    now = [0.0]
    flushed = []
    batch = ConsoleBatch(lambda: flushed.append(round(now[0], 3)), clock=lambda: now[0])
    window = FiringWindow(batch)
    act = {"host": batch.host_wrote, "print": batch.module_wrote, "tick": batch.tick, "hold": window.begin,
           "left": window.order_left, "end": window.end, "direct": batch.direct}
    for step in script.split():
        name, at = step.split("@")
        now[0] = float(at)
        act[name]()
    return flushed


@pytest.mark.parametrize("script, flushed", [
    # before the firing, each host line leaves as it is written
    ("host@0 print@0.001 host@0.002", [0, 0.001, 0.002]),
    # from just before the firing nothing leaves until the first order's bytes have
    ("hold@0 host@0.001 tick@0.02 tick@0.3 print@0.4 left@0.5", [0.5]),
    # then at most every 50 ms, right after an order's bytes have left
    ("hold@0 left@0 print@0.001 left@0.002 print@0.003 left@0.049 print@0.05 left@0.051", [0, 0.051]),
    # never between an order's reply and the next order ...
    ("hold@0 left@0 print@0.06 tick@0.07 left@0.071", [0, 0.071]),
    # ... unless that gap has lasted 50 ms: the pace holds the next order, or the orders are over
    ("hold@0 left@0 print@0.06 tick@0.09 tick@0.11", [0, 0.11]),
    # while an order waits for its reply, a tick lets the batch out
    ("hold@0 left@0 tick@0.04 tick@0.06", [0, 0.06]),
    # the module's run ended before its first order left: out, then in batches
    ("hold@0 host@0.01 end@0.02 tick@0.04 tick@0.07", [0.02, 0.07]),
    # the end of the run: everything out, and each line as it comes
    ("hold@0 left@0 print@0.01 direct@0.02 host@0.03", [0, 0.02, 0.03]),
])
def test_when_lines_leave(script, flushed):
    assert play(script) == flushed


class _Order:
    def __init__(self, sent=False):
        self.sent = sent


class _Gate:
    current = None


def test_only_the_write_that_carried_an_order_counts():
    gate, left = _Gate(), []
    watch = SendWatch(gate, lambda: left.append(gate.current))
    watch()  # a handshake, before any order
    first = gate.current = _Order()
    watch()  # a server-time request while the order waits for its connection
    first.sent = True
    watch()  # the order's own bytes
    watch()  # a ping after them
    second = gate.current = _Order(sent=True)
    watch()
    assert left == [first, second]
