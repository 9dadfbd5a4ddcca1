"""Faults planted in the host's order code, each of which some seed must catch.

``python -m tests.sim --faults`` runs the seeds with each fault in turn and
says which seeds fail; the suite checks that each is caught by one of the
seeds it runs.  A fault is a replacement for one attribute of the host's
code, made from the original.
"""

import contextlib

from quorvane_host.orders import asking, gate, ledger, query, reply, weights


def _judge_5xx_refused(original):
    def judge(message, shape=reply.OrderShape()):
        verdict = original(message, shape)
        if verdict.kind == reply.UNKNOWN and isinstance(verdict.status, int) and verdict.status >= 500:
            verdict.kind = reply.REFUSED
        return verdict
    return judge


def _symbol_unchecked(original):
    def disagreement(self, result, *, stated_only):
        return original(reply.OrderShape(None, self.quantity), result, stated_only=stated_only)
    return disagreement


def _nearest_taken(original):
    def pair(orders, answers, offset_ms, rtt_ms, margin_ms):
        near = query._candidates(orders, answers, offset_ms, rtt_ms, margin_ms)
        out = {}
        for i, js in near.items():
            if js:
                expected = orders[i].sent_ms + offset_ms + rtt_ms / 2
                out[orders[i].seq] = min((answers[j] for j in js), key=lambda a: abs(query.exchange_time(a) - expected))
        return out
    return pair


def _other_id_accepted(original):
    def not_about(self, order, result):
        return self.shape.disagreement(result, stated_only=False) if isinstance(result, dict) else "not an order"
    return not_about


def _filled_final_empty(original):
    def judge_order(result, **how):
        verdict = original(result, **how)
        if verdict.kind == reply.BOUGHT and verdict.order_status in reply.UNFILLED_FINAL:
            verdict.kind = reply.EMPTY
        return verdict
    return judge_order


def _overwrite(original):
    def settle(self, order, verdict, how):
        was = order.verdict
        order.verdict = None
        if was is not None and was.kind == reply.BOUGHT:
            self._bought -= 1
        return original(self, order, verdict, how)
    return settle


def _counted_again(original):
    def settle(self, order, verdict, how):
        again = order.verdict is not None and order.verdict.kind == reply.BOUGHT and verdict.kind == reply.BOUGHT
        out = original(self, order, verdict, how)
        if again:
            self._bought += 1
        return out
    return settle


def _no_deadline(original):
    async def await_reply(self, ws, order):
        return await ws.reply(order.request_id)
    return await_reply


def _query_error_escapes(original):
    async def safe_round(self, now):
        return await self._round(now)
    return safe_round


def _float_time(original):
    def exchange_time(answer):
        value = answer.get("time")
        return float(value) if isinstance(value, (int, float)) else None
    return exchange_time


def _unchecked_send(original):
    def check_send(self, order, now_ms=None):
        pass
    return check_send


def _stop_at_once(original):
    def halt(self, reason, raising):
        original(self, reason, raising)
        self.winding_down = False
        return False
    return halt


# name -> [(owner, attribute, make the fault from the original)]
FAULTS = {
    "a 5xx judged refused": [(ledger, "judge", _judge_5xx_refused)],
    "the symbol of an answer not checked": [(reply.OrderShape, "disagreement", _symbol_unchecked)],
    "the nearest of two fitting rows taken": [(query, "_pair_by_time", _nearest_taken)],
    "an answer for another orderId accepted": [(ledger.Ledger, "not_about", _other_id_accepted),
                                               (asking.OrderQueries, "_ask_status", lambda o: _ask_status_any_id(o))],
    "EXPIRED or CANCELED with a fill judged nothing filled": [(ledger, "judge_order", _filled_final_empty)],
    "a fill that does not grow": [(ledger, "_grows", lambda original: lambda old, new: False)],
    "a known verdict overwritten": [(ledger.Ledger, "_settle", _overwrite)],
    "a second word of a fill counted again": [(ledger.Ledger, "_settle", _counted_again)],
    "a query error escaping": [(asking.OrderQueries, "_safe_round", _query_error_escapes),
                               (query, "exchange_time", _float_time)],
    "no reply deadline": [(gate.Gate, "await_reply", _no_deadline)],
    "every query charged weight 1": [(asking, "weight_of", lambda original: lambda method: 1)],
    "the stop rule not checked again when the bytes go": [(gate.Gate, "check_send", _unchecked_send)],
    "a stop request that does not read the replies in flight": [(gate.Gate, "halt", _stop_at_once)],
    "a page never followed": [(asking, "next_page", lambda original: lambda rows, limit=query.PAGE_LIMIT: None)],
}


def _ask_status_any_id(original):
    """``order.status``'s answer taken whatever order id it names (the other half of that fault)."""
    async def ask_status(self, order, order_id):
        result = await self._ask(query.ORDER_STATUS,
                                 lambda ts: query.status_params(self.symbol, order_id, self._api_key, ts), order)
        if isinstance(result, dict):
            self._learn(order, result, query.ORDER_STATUS)
            return True
        return result is not None or not (self._holding() or query.ORDER_STATUS in self.unsupported)
    return ask_status


@contextlib.contextmanager
def planted(name):
    """The host's code with the fault ``name`` in it, for the length of the block."""
    saved = []
    try:
        for owner, attribute, make in FAULTS[name]:
            original = owner.__dict__[attribute] if isinstance(owner, type) else getattr(owner, attribute)
            saved.append((owner, attribute, original))
            setattr(owner, attribute, make(original))
        yield
    finally:
        for owner, attribute, original in reversed(saved):
            setattr(owner, attribute, original)


def first_caught(name, seeds, run_seed):
    """The first of ``seeds`` that fails with the fault planted, or None."""
    with planted(name):
        for seed in seeds:
            if not run_seed(seed).ok:
                return seed
    return None
