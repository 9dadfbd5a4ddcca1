"""What every seed must keep, checked against the exchange's own record.

1. orders that may have bought never exceed ``--orders``: by the exchange's
   book as each order arrives, and by the host's own count as it sends one;
   the orders of the run that filled never exceed it either;
2. what the host says each order did agrees with the exchange (and an
   order whose reply said in full that it is over is never left unknown),
   a fill the host did not count is one it marks unknown, and when every
   outcome is known, the orders and quantities it counts as bought are the
   exchange's;
3. the exit status is the README's, judged by the exchange's record alone:
   0 only when the fills reached what was wanted and the host counts them
   as they are, 1 (130 after a stop request) only when they did not and
   the host counts every fill, 3 only while the host holds an order unknown;
4. no order leaves after the stop rule (the time limit, a stop request,
   ``--max-orders``);
5. no wait before the opening runs past the firing moment: the first order
   leaves when the module fires, and an order aimed at an opening the
   exchange announced arrives then;
6. the run ends within the time limit, its grace and the bounded query time
   (after a stop request: within the bounded reading and asking);
7. an order whose reply never comes is asked about once its reply is overdue;
   a fill whose order the exchange finished well before the end is not left
   open, where the exchange answers every question; a full page of orders
   is followed by the next while an order is unknown;
8. no query goes over a request-weight limit that the exchange has stated.
"""

import json
from decimal import Decimal

from quorvane_host.orders.asking import reply_deadline_ms
from quorvane_host.orders.reply import BOUGHT
from quorvane_host.run.trigger import QUERY_TIME_S, STOP_ASK_S, STOP_READ_S

from .exchange import FINAL
from .host import GRACE_S
from .loop import EPOCH_S

SLACK_S = 1.0  # closing handshakes and the last request's reply, beyond each bound


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
    end_ms = (EPOCH_S + (run.ended_s or 0.0)) * 1000 + b.skew_ms  # the exchange's clock when the run ended
    fills = {o.request_id: o.state(end_ms)[1] for o in exchange.ours if o.state(end_ms)[1] > 0}
    c.check(len(fills) <= b.wanted, f"1: {len(fills)} orders of the run filled (--orders {b.wanted})")
    _agreement(c, ledger, exchange, b, fills)
    _exit(c, run, ledger, b, fills)
    sends = order_sends(net)
    _in_play(c, sends, b)
    _stop_rule(c, run, sends, b)
    _no_late_wait(c, run, exchange, sends, b)
    _bounded(c, run, b)
    _overdue_asked(c, run, exchange, net, b)
    _weight(c, exchange, net, b)
    _finished_fills_known(c, run, exchange, b)
    _pages_followed(c, run, net, b)
    _stop_reads_in_flight(c, run, net)
    return c


def _stop_reads_in_flight(c, run, net):
    """After a stop request, a reply that reached the host while the replies in flight are read is read."""
    if run.stop_request_at is None or not run.gate.sent_at_halt:
        return  # nothing had left when the stop came: nothing to read
    until = run.stop_request_at + STOP_READ_S - 0.05
    came = {}
    for at, text, conn in net.due:  # what would have reached the host, had it kept its connections
        data = json.loads(text) if text.startswith("{") else None
        if isinstance(data, dict) and run.stop_request_at <= at <= until and not (conn.silent or conn.dropped):
            came.setdefault(data.get("id"), at)
    for order in run.gate.ledger.orders:
        if order.verdict is None and order.request_id is not None and order.request_id in came:
            c.check(False, f"6: order {order.seq}'s reply came {came[order.request_id] - run.stop_request_at:.3f} s "
                           "after the stop request and was never read")


def _finished_fills_known(c, run, exchange, b):
    if b.query_failures or b.weight_limit or run.ended_s is None or run.stop_request_at is not None:
        return
    settled_by = (EPOCH_S + run.ended_s - QUERY_TIME_S) * 1000 + b.skew_ms  # the exchange's clock
    for order in run.gate.ledger.orders:
        ex = exchange.by_request(order.request_id)
        if order.verdict is not None and order.verdict.open and ex is not None \
                and ex.state(settled_by)[0] in FINAL:
            c.check(False, f"7: order {order.seq} left open at {order.verdict.quantity}, though the exchange "
                           f"finished it ({ex.final()}) {QUERY_TIME_S:g} s before the end")


def _pages_followed(c, run, net, b):
    if not run.gate.ledger.unknown() or b.query_failures or b.refused_connections or b.weight_limit:
        return  # (a question failing, or a limit, may cut a listing short: it is asked afresh)
    asked = {}
    for _, text, _ in net.sent:
        data = json.loads(text)
        if data.get("method") == "allOrders":
            asked[data.get("id")] = data.get("params") or {}
    froms = [p.get("orderId") for p in asked.values()]
    for _, text in net.received:
        data = json.loads(text) if text.startswith("{") else None
        params = asked.get(data.get("id")) if isinstance(data, dict) else None
        rows = data.get("result") if params is not None else None
        if isinstance(rows, list) and rows and len(rows) >= params.get("limit", 500):
            last = rows[-1].get("orderId")
            c.check(last in froms, f"7: a full page of allOrders (up to order {last}) was not followed")


def _weight(c, exchange, net, b):
    """A query over the weight limit, sent after a reply stating that limit had reached the host."""
    stated = next((at for at, text in net.received if "REQUEST_WEIGHT" in text), None)
    over = [at for at in exchange.weight_refused if stated is not None and at - b.rtt_s > stated]
    c.check(not over, f"8: {len(over)} queries over a request-weight limit the exchange had stated")


def _agreement(c, ledger, exchange, b, fills):
    for order in ledger.orders:
        v = order.verdict
        ex = exchange.by_request(order.request_id)
        if v is not None and v.kind == "unknown" and order.reply is not None and ex is not None:
            c.check(not ex.settling, f"2: order {order.seq} left unknown, though its reply said it was over")
        if ex is not None and ex.request_id in fills:
            c.check(order.outcome_unknown or order.bought,
                    f"2: order {order.seq} filled {fills[ex.request_id]} at the exchange, the host says "
                    f"{v.kind if v else 'nothing'}")
        if v is None or v.kind == "unknown":
            continue
        filled = fills.get(ex.request_id, Decimal(0)) if ex is not None else Decimal(0)
        if v.kind == BOUGHT:
            c.check(filled > 0 and (v.quantity == filled if v.final else 0 < v.quantity <= filled),
                    f"2: order {order.seq} counted as bought {v.quantity}{'' if v.final else ' (open)'}, "
                    f"the exchange filled {filled}")
        else:
            c.check(filled == 0, f"2: order {order.seq} judged {v.kind}, the exchange filled {filled}")
    if not ledger.unknown():
        bought = {o.request_id: o.verdict.quantity for o in ledger.orders if o.bought}
        c.check(set(bought) == set(fills), f"2: every outcome known, the host counts {len(bought)} bought, "
                                           f"the exchange filled {len(fills)}")


def _exit(c, run, ledger, b, fills):
    """By the exchange's record: what the host may say of the run, whatever it told itself."""
    bought = {o.request_id: o.verdict for o in ledger.orders if o.bought}
    counted = set(bought) == set(fills) and all(
        v.quantity == fills[rid] or not v.final for rid, v in bought.items())
    said = f"exit {run.exit}: the exchange filled {len(fills)} orders (--orders {b.wanted}), the host counts " \
           f"{len(bought)} bought and {run.unknown_at_exit} unknown"
    reason = run.gate.stop_reason or ""
    if "that bought something" in reason:  # the orders stopped because enough had bought
        c.check(len(fills) >= b.wanted, f"3: the host stopped after {reason}; the exchange filled {len(fills)}")
    if run.exit == 0:
        c.check(len(fills) >= b.wanted and counted, "3: " + said)
    elif run.exit in (1, 130):
        c.check(len(fills) < b.wanted and counted and not run.unknown_at_exit
                and (run.exit == 130) == (run.stop_request_at is not None), "3: " + said)
    else:
        c.check(run.exit == 3 and run.unknown_at_exit > 0, "3: " + said)


def _bounded(c, run, b):
    if run.ended_s is None:
        return
    if run.stop_request_at is not None and run.gate.winding_down:
        bound = run.stop_request_at + STOP_READ_S + STOP_ASK_S + SLACK_S
    elif run.gate.deadline_ms is not None:
        bound = run.gate.deadline_ms / 1000 - EPOCH_S + GRACE_S + QUERY_TIME_S + SLACK_S
    else:
        return
    c.check(run.ended_s <= bound, f"6: the run ended {run.ended_s - bound:.1f} s past its bound")


def _overdue_asked(c, run, exchange, net, b):
    """An order left without a reply on an open connection is asked about once its reply is overdue."""
    if b.weight_limit or b.refused_connections or b.slow_handshakes or b.query_failures \
            or run.stop_request_at is not None or run.ended_s is None:
        return  # a limit to wait out, a connection slow or refused, a question failing may hold the next up
    sent = {}  # request id -> virtual s the host sent it
    queries = []  # (virtual s, method, params) of the host's order queries
    for at, text, _ in net.sent:
        data = json.loads(text)
        if data.get("method") == "order.place":
            sent.setdefault(data.get("id"), at)
        elif data.get("method") in ("order.status", "allOrders"):
            queries.append((at, data["method"], data.get("params") or {}))
    for o in exchange.ours:
        left = sent.get(o.request_id)
        due = left + (reply_deadline_ms(1000 * b.rtt_s) / 1000 + SLACK_S) if left is not None else None
        if not o.unanswered or due is None or due > run.ended_s or any(
                left <= at <= due and '"status": 429' in text for at, text in net.received):
            continue  # a rate limit's window is waited out before asking
        asked = [at for at, method, p in queries if at >= left and (
            p.get("orderId") == o.order_id if method == "order.status"
            else (p.get("startTime") or 0) <= o.arrived_ms <= (p.get("endTime") or float("inf")))]
        c.check(asked and asked[0] <= due, f"7: order {o.order_id}, unanswered, first asked about "
                                           f"{f'{asked[0] - left:.1f} s after it left' if asked else 'never'}")


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
