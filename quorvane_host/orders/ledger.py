"""Every order of the run, and the one place that decides what each did to the money.

A pure object (no sockets, no event loop, no clock of its own: times are
passed in).  The gate (:mod:`quorvane_host.orders.gate`) records each order
as it is prepared, sent and answered; the order queries
(:mod:`quorvane_host.orders.asking`) record what the exchange says when a
reply was lost or not final; the stop rule, the report, ``--result`` and the
exit status read it.  Nothing else sets an order's verdict.

How a reply is read is :mod:`quorvane_host.orders.reply`: bought, nothing
filled (final), refused, or unknown.  An order sent and not yet answered,
or answered with something that does not settle it, may have bought: the
invariant kept here is that orders that may have bought (bought, unknown
and in flight) never exceed the number wanted.  Another order goes only
while that count is below it.

Once known, a verdict stands: a later word can only add a fill (to an order
thought unfilled) or make a fill larger (an order still open, whose
quantity grows until its status is final).  A fill is counted once however
often it is told, and never shrinks.
"""

from __future__ import annotations

from typing import Any, Dict, Hashable, Iterator, List, Optional, Set

from quorvane_host.net.requests import id_key
from quorvane_host.orders.fate import CONNECTED, REPLIED, SENT, Order
from quorvane_host.orders.reply import BOUGHT, UNDECODED, UNKNOWN, OrderShape, Verdict, judge, judge_order

__all__ = ["Blocked", "Ledger", "FOUND_BY_REPLY", "FOUND_LATE"]

FOUND_BY_REPLY, FOUND_LATE = "its reply", "a reply that came after its wait"


class Blocked:
    """Why no further order may go now; ``final``: it never will in this run."""

    __slots__ = ("reason", "final")

    def __init__(self, reason: str, final: bool) -> None:
        self.reason, self.final = reason, final

    def __repr__(self) -> str:
        return f"Blocked({self.reason!r}, final={self.final})"


def _id_key(request_id: Any) -> Optional[Hashable]:
    """A request id as a key, as the connection's reader tells ids apart ("1" and 1 are two); None for none."""
    return None if request_id is None else id_key(request_id)


class Ledger:
    """The run's orders; ``wanted``: orders that must buy (``--orders``), ``max_orders`` in all."""

    def __init__(self, wanted: int, max_orders: int, shape: OrderShape = OrderShape()) -> None:
        self.wanted = wanted
        self.max_orders = max_orders
        self.shape = shape  # what each order is: a reply or an answer describing another is not its
        self.orders: List[Order] = []
        self._by_id: Dict[Hashable, Order] = {}
        self.changes = 0  # bumped on every verdict: a waiter can tell that something was settled
        # Kept as they change, not counted over every order: the stop rule
        # reads them a few times per order, on the order path.
        self._bought = 0
        self._pending: Set[int] = set()  # seqs of orders sent whose outcome is not known

    # ---- the life of one order -------------------------------------------------

    def begin(self, now_ms: float) -> Order:
        order = Order(len(self.orders) + 1, now_ms)
        self.orders.append(order)
        return order

    def withdraw(self, order: Order) -> None:
        """An order that never began (the pace held it when the gate closed)."""
        if self.orders and self.orders[-1] is order and not order.sent:
            self.orders.pop()

    def sent(self, order: Order, request_id: Any, at_ms: float) -> None:
        """``order``'s request, with ``request_id``, is being handed to its connection now."""
        order.stage = SENT
        order.request_id = request_id
        order.sent_ms = at_ms
        if order.outcome_unknown:
            self._pending.add(order.seq)
        key = _id_key(request_id)
        if key is not None:
            self._by_id.setdefault(key, order)

    def held_back(self, order: Order) -> None:
        """Marked sent, never handed over: it did not leave."""
        order.stage = CONNECTED
        self._pending.discard(order.seq)

    def by_request_id(self, request_id: Any) -> Optional[Order]:
        key = _id_key(request_id)
        return self._by_id.get(key) if key is not None else None

    def replied(self, order: Order, message: Any, data: Any = UNDECODED) -> Verdict:
        """``order``'s own reply (matched by its id), within its wait; ``data``: decoded, when it was."""
        order.reply = message
        order.stage = REPLIED
        return self._settle(order, judge(message, self.shape, data), FOUND_BY_REPLY)

    def late_reply(self, request_id: Any, message: Any) -> Optional[Order]:
        """A reply to one of our requests that came after its wait: the order it answers, or None."""
        order = self.by_request_id(request_id)
        if order is None:
            return None
        order.late_replies += 1
        verdict = judge(message, self.shape)
        if self._settle(order, verdict, FOUND_LATE) is verdict:
            order.reply = message
            order.stage = REPLIED
        return order

    def not_about(self, order: Order, result: Any) -> Optional[str]:
        """Why an answer does not describe ``order`` (None when it does): our symbol, side and type,
        and the order id the exchange gave the order, when known."""
        if not isinstance(result, dict):
            return "not an order"
        other = self.shape.disagreement(result, stated_only=False)
        if other is not None:
            return other
        known = order.verdict.order_id if order.verdict is not None else None
        if known is not None and str(result.get("orderId")) != str(known):
            return f"order id {result.get('orderId')!r}, not {known!r}"
        return None

    def learnt(self, order: Order, result: Any, how: str) -> Optional[Verdict]:
        """What the exchange said of ``order`` when asked (one order as ``order.place`` describes it);
        None, and nothing settled, when the answer is about another order (:meth:`not_about`)."""
        if self.not_about(order, result) is not None:
            return None
        return self._settle(order, judge_order(result, data=result, shape=self.shape, stated_only=False), how)

    def _settle(self, order: Order, verdict: Verdict, how: str) -> Verdict:
        """Take ``verdict`` if it tells more than the order's verdict; return the order's verdict then.

        An unknown outcome gives way to anything the exchange says later;
        a known one only to word of a fill, and a fill only to a larger or
        final one of the same order: money spent is never counted out,
        nor counted twice.
        """
        old = order.verdict
        if old is None or (old.kind == UNKNOWN and verdict.kind != UNKNOWN):
            take = True
        elif verdict.kind != BOUGHT:
            take = False
        elif old.kind != BOUGHT:
            take = True
        else:
            take = _grows(old, verdict)
        if take:
            if verdict.kind == BOUGHT and (old is None or old.kind != BOUGHT):
                self._bought += 1
            order.verdict = verdict
            order.found_by = how
            self.changes += 1
            if verdict.kind != UNKNOWN:
                self._pending.discard(order.seq)
            elif order.stage >= SENT:
                self._pending.add(order.seq)
        return order.verdict if order.verdict is not None else verdict

    # ---- what the run has done -------------------------------------------------

    @property
    def placed(self) -> int:
        """Orders handed to a connection: each reached the exchange, or may have."""
        return sum(1 for o in self.orders if o.sent)

    @property
    def bought(self) -> int:
        return self._bought

    def unknown(self) -> List[Order]:
        """Orders sent whose outcome is not known (in flight included)."""
        return [o for o in self.orders if o.outcome_unknown]

    def unsettled(self) -> List[Order]:
        """Orders to ask about: those of unknown outcome, and fills whose order is still open."""
        return [o for o in self.orders if o.outcome_unknown or (o.verdict is not None and o.verdict.open)]

    def may_have_bought(self, besides: Optional[Order] = None) -> int:
        """Bought, unknown and in flight (``besides``: the order about to go, not counted)."""
        pending = len(self._pending)
        if besides is not None and besides.seq in self._pending:
            pending -= 1
        return self._bought + pending

    def blocked(self, besides: Optional[Order] = None) -> Optional[Blocked]:
        """Why no further order may go now (``besides``: the order about to go), or None."""
        bought = self.bought
        if bought >= self.wanted:
            return Blocked(f"{bought} accepted order{'s' if bought != 1 else ''} that bought something "
                           f"(--orders {self.wanted})", True)
        if besides is None and len(self.orders) >= self.max_orders:
            return Blocked(f"{len(self.orders)} orders placed in all (--max-orders {self.max_orders})", True)
        if self.may_have_bought(besides) >= self.wanted:
            return Blocked("an order's outcome is not known yet: no further order may go while it may "
                           "have bought", False)
        return None

    def __iter__(self) -> Iterator[Order]:
        return iter(self.orders)


def _grows(old: Verdict, new: Verdict) -> bool:
    """Whether a second word of a fill tells more: a larger quantity, or the same one now final."""
    if old.quantity is None or new.quantity is None:
        return new.quantity is not None
    if old.order_id is not None and new.order_id is not None and str(old.order_id) != str(new.order_id):
        return False
    return new.quantity > old.quantity or (new.quantity == old.quantity and new.final and not old.final)
