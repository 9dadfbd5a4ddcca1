"""What the run does about each order once the ledger has settled it, and the module's lines.

The gate (:mod:`quorvane_host.orders.gate`) hands the :class:`Observer`
every order as its own reply comes, once the ledger
(:mod:`quorvane_host.orders.ledger`) has settled it and before the module
reads it, so every decision goes by the reply itself, also for an order
whose line the module never printed (a stop request between the two).  The
observer decides nothing about the money (the ledger does); it paces and
stops the orders:

* bought: the next order goes at once (the ledger counts it towards ``--orders``);
* accepted with nothing filled, final: the host goes on (at the retry pace);
* unknown: nothing more here; the ledger holds further orders while it may
  have bought, and the order queries find it out;
* a rate-limit refusal (status 429, whatever its code): the orders wait out
  its window; banned (418): stop;
* every other refusal is looked up in the table of
  :mod:`quorvane_host.orders.refusals`: one that a retry cannot fix closes
  the gate before the next order; an early one is retried at the pace, aimed
  at the opening when the exchange says when it is.

The module's own lines come through the host's ``print`` hook
(:func:`install_print_hook`) and are kept with their orders, for the report.
"""

from __future__ import annotations

import builtins
import sys
import time
from typing import Any, Callable, Dict, Optional, Tuple

from quorvane_host.orders.codes import Code
from quorvane_host.orders.fate import Order
from quorvane_host.orders.gate import Gate
from quorvane_host.orders.lines import parse_outcome
from quorvane_host.orders.pace import start_for_arrival
from quorvane_host.orders.refusals import BANNED, EARLY, UNKNOWN_SYMBOL_ORDERS, Refusals, Rule
from quorvane_host.orders.announcement import announced_open
from quorvane_host.orders.reply import BOUGHT, EMPTY, REFUSED, order_limits, retry_after
from quorvane_host.words import plural

__all__ = ["Observer", "install_print_hook"]

AIM_MS = 1.0  # an order aimed at an announced opening should arrive this long after it
EARLY_SLACK_MS = 5.0  # beside the one-way delay twice: the jitter of an arrival estimate


class Observer:
    """Judges each order by its reply, and stops or paces the orders accordingly.

    ``clock()``: the exchange's clock minus this machine's, and the one-way
    delay, in ms, as last measured.
    """

    def __init__(self, wanted: int, gate: Gate, refusals: Refusals,
                 clock: Callable[[], Tuple[float, float]] = lambda: (0.0, 0.0),
                 now_ms: Callable[[], float] = lambda: time.time() * 1000) -> None:
        self.wanted = wanted
        self.gate = gate
        self.refusals = refusals
        self.clock = clock
        self.now_ms = now_ms
        self.bought = 0
        self.refusal_stop: Optional[Order] = None
        self.stop_rule: Optional[Rule] = None
        self.unknown_symbol_after_open = 0
        self.announced_open_ms: Optional[float] = None  # a later opening, as the exchange said it
        gate.on_reply = self.reply
        gate.on_late = self.late
        gate.ledger.wanted = wanted
        self.late_lines: list = []  # what late replies settled, for the report

    # ---- replies ----------------------------------------------------------------

    def arrival_ms(self, order: Order) -> float:
        """When the order reached the exchange, by its clock (estimated from when it was sent)."""
        offset, delay = self.clock()
        sent = order.sent_ms if order.sent_ms is not None else self.now_ms()
        return sent + offset + delay

    def reply(self, order: Order) -> None:
        verdict = order.verdict
        if verdict is None:
            return
        gate, data = self.gate, verdict.data
        pace, now = gate.pace, self.now_ms()
        # Read only where the reply states limits: most replies state none.
        stated = data if type(data) is dict and "rateLimits" in data else None
        pace.learn(order_limits(stated) if stated is not None else (), now)
        if gate.budget is not None:
            gate.budget.learn(stated, now, sent_ms=order.sent_ms)
        if verdict.kind == BOUGHT:
            pace.accepted()
            self._count_bought()
        elif verdict.kind == EMPTY:
            if pace.limits:
                # Filled nothing (an empty book at the opening): the next order goes at once,
                # as after any order the exchange took, within the limits it has stated.
                pace.accepted()
            else:
                pace.retry()  # no limits stated: an exchange that expires every order gets the retry pace
        elif verdict.kind == REFUSED:
            self._refused(order, now)

    def _count_bought(self) -> None:
        self.bought = self.gate.ledger.bought
        if self.bought >= self.wanted:
            self.gate.stop(f"{plural(self.bought, 'accepted order')} that bought something "
                           f"(--orders {self.wanted})")

    def late(self, order: Order) -> None:
        """A reply that came after its order's wait: the ledger has it; say what it settled."""
        verdict = order.verdict
        if verdict is not None and verdict.kind == BOUGHT:
            self._count_bought()
        self.late_lines.append(f"order {order.seq}: {order.describe()}")

    @staticmethod
    def _early_tolerance_ms(delay_ms: float) -> float:
        """How far an arrival estimate may run past the opening of an order refused as early."""
        return 2 * delay_ms + EARLY_SLACK_MS

    def _stop_on(self, order: Order, rule: Rule, reason: str) -> None:
        if self.refusal_stop is None:
            self.refusal_stop, self.stop_rule = order, rule
        self.gate.stop(reason)

    def _refused(self, order: Order, now: float) -> None:
        verdict, pace = order.verdict, self.gate.pace
        if verdict.banned:
            self._stop_on(order, BANNED, "the exchange banned this key or address (status 418)")
            return
        offset, delay = self.clock()
        # A rate limit is one by its status, whatever code goes with it:
        # the table is for the codes of other refusals.
        if verdict.rate_limited:
            until = retry_after(verdict.data)
            if until is not None:
                pace.hold(until - offset)
            else:
                pace.hold_window(now)
            return
        rule = self.refusals.rule(verdict.code)
        if self.refusals.stops(verdict.code):
            self._stop_on(order, rule, f"a refusal that retrying cannot fix ({rule.reason})")
            return
        pace.retry()
        if rule.action != EARLY:
            return
        arrival = self.arrival_ms(order)
        opens = announced_open(verdict.data, arrival)
        # Refused as early, the order reached the exchange before the opening
        # it announces, whatever the estimate of its arrival says: one aimed
        # at it that came a hair early is aimed again at it, not put on the
        # retry grid.  An announcement well in the past is stale: retried.
        if opens is not None and opens > arrival - self._early_tolerance_ms(delay):
            self.announced_open_ms = opens
            pace.aim(start_for_arrival(max(opens, arrival), offset, delay, AIM_MS))
        elif verdict.code == Code.UNKNOWN_SYMBOL and arrival >= self.refusals.open_ms:
            self.unknown_symbol_after_open += 1
            if self.unknown_symbol_after_open >= UNKNOWN_SYMBOL_ORDERS:
                self._stop_on(order, rule, "unknown symbol: check the symbol "
                              f"({self.unknown_symbol_after_open} orders refused after the opening)")

    # ---- the module's lines -----------------------------------------------------

    def line(self, text: str) -> None:
        outcome = parse_outcome(text)
        if outcome is None:
            return
        order = self.gate.current
        if order is not None and order.outcome is None:
            order.outcome = outcome

    def refusals_by_reason(self) -> Dict[str, int]:
        counts: Dict[str, int] = {}
        for order in self.gate.orders:
            v = order.verdict
            if v is not None and v.kind == REFUSED:
                rule = BANNED if v.banned else self.refusals.rule(v.code)
                key = rule.reason + (f" (code {v.code})" if v.code is not None else "")
                counts[key] = counts.get(key, 0) + 1
        return counts


def install_print_hook(observer: Observer) -> Callable:
    """Make ``builtins.print`` pass every line on and show order lines to ``observer``.

    The module calls it inside its order: an error from the output (a closed
    pipe, a full disk) raised there would end the order's coroutine as if
    the order had failed, so it is dropped here; the observer still sees
    the line.  Must run before the module is imported: the module keeps the ``print``
    it finds then.
    """
    original = builtins.print

    def print(*args: Any, **kwargs: Any) -> None:  # noqa: A001 - it is meant to shadow
        line = args[0] if len(args) == 1 and not kwargs and isinstance(args[0], str) else None
        try:
            if line is None or type(line) is not str:
                original(*args, **kwargs)
            else:
                # The module's line as print writes it, in one write rather than two (text, then end).
                out = sys.stdout
                if out is not None:
                    out.write(line + "\n")
        except Exception:  # noqa: BLE001 - a line that cannot be shown must not fail the order
            pass  # the console or the terminal is gone; the reply has been judged already
        if line is not None:
            try:
                observer.line(line)
            except Exception:  # never let bookkeeping fail an order, nor let one more leave blind
                observer.gate.stop("the host could not read an order's outcome")

    print.__wrapped__ = original  # type: ignore[attr-defined]
    builtins.print = print
    return original
