"""What every seed must keep, checked against the exchange's own record.

1. orders that may have bought never exceed ``--orders``: by the exchange's
   book as each order arrives, and by the host's own count as it sends one;
2. what the host says each order did agrees with the exchange (and an
   order whose reply said in full that it is over is never left unknown),
   and when every outcome is known, the orders and quantities it counts as
   bought are the exchange's;
3. the exit status is the README's, by the exchange's record;
4. no order leaves after the stop rule (the time limit, a stop request,
   ``--max-orders``);
5. no wait before the opening runs past the firing moment: the first order
   leaves when the module fires, and an order aimed at an opening the
   exchange announced arrives then.
"""

import json
from decimal import Decimal

from quorvane_host.orders.reply import BOUGHT

from .loop import EPOCH_S


def order_sends(net):
    """(virtual s, request id, the host's orders in play with it) of each order request the host sent."""
    out = []
    for at, text, in_play in net.sent:
        data = json.loads(text)
        if data.get("method") == "order.place":
            out.append((at, data.get("id"), in_play))
    return out


class Checks:
    def __init__(self):
        self.count = 0
        self.failures = []

    def check(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)


def check_all(run, exchange, net, b):
    c = Checks()
    c.count += exchange.checks
    c.failures.extend(exchange.violations)
    ledger = run.gate.ledger
    _agreement(c, ledger, exchange, b)
    _exit(c, run, ledger, exchange, b)
    sends = order_sends(net)
    _in_play(c, sends, b)
    _stop_rule(c, run, sends, b)
    _no_late_wait(c, run, exchange, sends, b)
    return c


def _agreement(c, ledger, exchange, b):
    for order in ledger.orders:
        v = order.verdict
        ex = exchange.by_request(order.request_id)
        if v is not None and v.kind == "unknown" and order.reply is not None and ex is not None:
            c.check(not ex.settling, f"2: order {order.seq} left unknown, though its reply said it was over")
        if v is None or v.kind == "unknown":
            continue
        filled = ex.final()[1] if ex is not None else Decimal(0)
        if v.kind == BOUGHT:
            c.check(filled > 0 and v.quantity == filled,
                    f"2: order {order.seq} counted as bought {v.quantity}, the exchange filled {filled}")
        else:
            c.check(filled == 0, f"2: order {order.seq} judged {v.kind}, the exchange filled {filled}")
    if not ledger.unknown():
        filled = [o.final()[1] for o in exchange.ours if o.final()[1] > 0]
        bought = [o.verdict.quantity for o in ledger.orders if o.bought]
        c.check(len(bought) == len(filled) and sum(bought) == sum(filled),
                f"2: every outcome known, the host counts {len(bought)} bought ({sum(bought)}), "
                f"the exchange filled {len(filled)} ({sum(filled)})")


def _exit(c, run, ledger, exchange, b):
    """By the exchange's record, as far as the host could know it when it ended (its unknown outcomes then)."""
    filled = sum(1 for o in exchange.ours if o.final()[1] > 0)
    if run.unknown_at_exit:
        expected = 3
    elif filled >= b.wanted:
        expected = 0
    else:
        expected = 130 if run.stop_request_at is not None else 1
    c.check(run.exit == expected, f"3: exit {run.exit}, expected {expected} (the exchange filled {filled} "
                                  f"orders, {run.unknown_at_exit} unknown to the host, --orders {b.wanted})")


def _in_play(c, sends, b):
    for _, _, in_play in sends:
        c.check(in_play <= b.wanted, f"1: an order left with {in_play} orders in play (--orders {b.wanted})")


def _stop_rule(c, run, sends, b):
    c.check(len(sends) <= b.max_orders, f"4: {len(sends)} orders sent, --max-orders {b.max_orders}")
    deadline_s = run.gate.deadline_ms / 1000 - EPOCH_S if run.gate.deadline_ms is not None else None
    for at, _, _ in sends:
        if deadline_s is not None:
            c.check(at < deadline_s, f"4: an order left {1000 * (at - deadline_s):.1f} ms after the time limit")
        if run.stop_request_at is not None:
            c.check(at <= run.stop_request_at,
                    f"4: an order left {1000 * (at - run.stop_request_at):.1f} ms after a stop request")


def _no_late_wait(c, run, exchange, sends, b):
    orders = run.gate.ledger.orders
    if orders and run.fire_s is not None:
        fired_ms = (EPOCH_S + run.fire_s) * 1000
        c.check(orders[0].started_ms <= fired_ms + 1,
                f"5: the first order began {orders[0].started_ms - fired_ms:.1f} ms after the firing moment")
    # An opening announced in good time, with no limit to wait out: the order aimed at it arrives then.
    early = [t for t in exchange.announced_at if t <= b.open_ms - 250 - 1000 * b.rtt_s]
    deadline = run.gate.deadline_ms + b.skew_ms if run.gate.deadline_ms is not None else None
    if not early or b.order_limit or b.weight_limit or b.refused_connections or b.cuts \
            or (b.slow_handshakes and not b.pool) \
            or deadline is None \
            or deadline <= b.open_ms + 100:
        return  # a limit, a refused or lost connection may hold it up; a run over by then has none
    after = [t for t in exchange.arrivals if t >= b.open_ms]
    if after and run.stop_request_at is None:
        late = after[0] - b.open_ms
        c.check(late <= 25 + 3000 * b.rtt_s, f"5: the order aimed at the announced opening arrived {late:.1f} ms "
                                            "after it")
