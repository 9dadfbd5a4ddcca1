"""The gate that lets orders out: the module's ``websockets``, rebound.

The module opens every order's connection with ``websockets.connect(URL)``;
the host rebinds ``websockets`` to a :class:`Gate`, which refuses the next
connection once the stop rule is met and otherwise hands the module a
tracked connection.  The tracking records each order in the run's ledger
(:mod:`quorvane_host.orders.ledger`) as it is prepared, sent and answered,
so that a run that ends early (a stop request, a dropped connection, the
time limit) can still say, per order, what happened to the money.

The stop rule (a stop request, the time limit, the ledger's invariant:
orders that may have bought never exceed ``--orders``) is checked when the
connection is handed out and again at the moment the bytes would go.

Three more things happen on the way:

* the next connection is held, in the event loop (the module awaits it),
  until the order pace allows it (:mod:`quorvane_host.orders.pace`); a
  longer hold turns the order back (:class:`HeldBack`): the module signed it
  with a timestamp before it asked for the connection, and the trigger
  enters the module again when the time comes, for a fresh one;
* ``recv`` returns the order's own reply, matched by the id of the request
  it carries, from the connection's reader (:mod:`quorvane_host.net.channel`).
  Past the reply deadline the order's outcome counts as unknown and the
  exchange is asked about it while the wait goes on; should the answer
  settle it first, the order ends with :class:`SettledWithoutReply`;
  any other message (a notice the exchange pushes, an error with a null
  id) is never taken for the order's reply.  Text that is not JSON is
  handed on: it says what it says, and the order's outcome is then unknown.
  A reply that comes after the order's wait ended still reaches its order
  in the ledger;
* a connection whose order got its reply, in a block that ended without an
  exception, is marked reusable for the pool.
"""

from __future__ import annotations

import asyncio
import time
from typing import Any, Awaitable, Callable, List, Optional

from quorvane_host.net.lease import Lease
from quorvane_host.orders.fate import CONNECTED, REPLIED, SENT, Order
from quorvane_host.orders.ledger import Ledger
from quorvane_host.orders.module_json import ModuleJson
from quorvane_host.orders.pace import Pace
from quorvane_host.orders.price_guard import PriceGuard
from quorvane_host.orders.reply import UNDECODED, decode, is_reply_to, request_id
from quorvane_host.orders.weights import RequestBudget

__all__ = ["Gate", "HeldBack", "SettledWithoutReply", "StopOrdering", "skipped_note"]

# Hold the next connection in timer steps of at most this long, so that a
# stop (the time limit, a stop request) is seen while it waits ...
WAIT_STEP_S = 0.05
# ... and the last milliseconds in a blocking sleep, which wakes to the
# microsecond where the event loop's timers wake to the millisecond.
PRECISE_MS = 2.0
SKIPPED_TEXT = 160  # characters of a skipped message shown
# The module signs its order (with a timestamp) before it asks for the
# connection: a hold longer than this would send a stale request, so the
# gate turns the order back instead and the trigger waits outside the module.
MAX_HOLD_MS = 250.0
# While an order's outcome is unknown and may have bought, the next order
# waits outside the module and looks again this often.
OUTCOME_WAIT_MS = 100.0


class StopOrdering(Exception):
    """Raised by the gate instead of opening a connection once the stop rule is met."""


class SettledWithoutReply(Exception):
    """The exchange, asked about an order whose reply was overdue, settled it before the reply came."""

    def __init__(self, order: Order) -> None:
        super().__init__(f"order {order.seq}: settled by asking the exchange; its reply never came")
        self.order = order


class HeldBack(Exception):
    """The pace holds the next order longer than a signed request may wait; nothing was sent.

    ``at_ms``: this machine's time at which the pace lets the next order go.
    """

    def __init__(self, at_ms: float) -> None:
        super().__init__(f"the next order may go at {at_ms:.0f}")
        self.at_ms = at_ms


def skipped_note(count: int, message: Any) -> Optional[str]:
    """The line for the ``count``-th skipped message, or None: the first three, then at powers of ten."""
    if count > 3 and str(count).rstrip("0") != "1":
        return None
    text = message.decode("utf-8", "replace") if isinstance(message, (bytes, bytearray)) else str(message)
    text = " ".join(text.split())
    if len(text) > SKIPPED_TEXT:
        text = text[:SKIPPED_TEXT] + "..."
    return f"skipped a message that answers no order of ours ({count} so far): {text}"


class _TrackedSocket:
    """The order's connection as the module sees it: ``send`` and ``recv`` note the order's progress."""

    __slots__ = ("_ws", "_order", "_gate")

    def __init__(self, ws: Any, order: Order, gate: "Gate") -> None:
        self._ws, self._order, self._gate = ws, order, gate

    async def send(self, message: Any) -> None:
        order, gate = self._order, self._gate
        # Marked sent before the last check, not after it: a stop request's
        # handler may run between any two steps here, and it counts the
        # orders handed over.  Landing before the mark, it is seen by the
        # check and the order is held back; landing after it, the order is
        # counted.  Checked first and marked second, a request landing in
        # between would count the order out and let it leave all the same.
        order.stage = SENT
        handed = False
        try:
            # The last moment at which an order can be held back: after a
            # stop request, past the time limit, or while the orders that
            # may have bought are as many as wanted, nothing is handed to
            # the connection, whatever swallowed the exception raised here.
            now = gate.now_ms()
            gate.check_send(order, now)
            rid = request_id(message)
            gate.ledger.sent(order, rid, now)
            gate.pace.sent(now)
            if gate.budget is not None:
                gate.budget.spend(now)
            expect = getattr(self._ws, "expect", None)
            if expect is not None and rid is not None:
                expect(rid, on_late=gate.late_reply, takes_garbled=True)
            handed = True
            # Sent from here on: once the bytes are handed over, a failure
            # of the send itself no longer says they did not leave.
            if expect is not None:  # a channel: given the id, it need not read the request again
                await self._ws.send(message, request_id=rid)
            else:
                await self._ws.send(message)
        except BaseException:
            if not handed:
                gate.held_back(order)
            raise

    async def recv(self) -> Any:
        order, ws = self._order, self._ws
        data: Any = UNDECODED
        if hasattr(ws, "expect") and order.request_id is not None:  # a reader of its own (net.channel)
            try:
                message = await self._gate.await_reply(ws, order)
                decoded = getattr(ws, "decoded", None)
                if decoded is not None:
                    data = decoded(order.request_id)  # decoded once, by the reader
            finally:
                ws.release(order.request_id)
        else:
            while True:
                message = await ws.recv()
                if is_reply_to(message, order.request_id):
                    break
                self._gate.skipped(message)
        gate = self._gate
        gate.ledger.replied(order, message, data)
        gate.replied(order)
        if gate.module_json is not None:
            gate.module_json.handed(message, data)
        return message

    def __getattr__(self, name: str) -> Any:
        return getattr(self._ws, name)


class _TrackedConnect:
    """What the gate's ``connect`` returns: the inner connection manager, tracked."""

    __slots__ = ("_inner", "_order", "_gate")

    def __init__(self, inner: Any, order: Order, gate: "Gate") -> None:
        self._inner, self._order, self._gate = inner, order, gate

    async def __aenter__(self) -> _TrackedSocket:
        gate, order = self._gate, self._order
        try:
            started = gate.turn_now(order)
            order.started_ms = started if started is not None else await gate.wait_turn(order)
        except BaseException:
            gate.withdraw(order)  # held by the pace when the gate closed: it never began
            raise
        gate.pace.started(order.started_ms)
        inner = self._inner
        try:
            # A pool's lease hands a ready connection out at once; anything else is entered.
            ws = inner.enter_ready() if type(inner) is Lease else None
            if ws is None:
                ws = await inner.__aenter__()
        except BaseException as exc:
            order.failed(exc)
            gate.pace.retry()  # it never left: the next try goes at the retry pace
            raise
        order.stage = CONNECTED
        return _TrackedSocket(ws, order, gate)

    async def __aexit__(self, *exc: Any) -> Any:
        order = self._order
        if exc[1] is not None:
            order.failed(exc[1])
        elif order.stage == REPLIED and order.verdict is not None:
            # Its own reply came and the block ended cleanly: nothing of this
            # order is left on the connection, which may serve the next.
            try:
                self._inner.reusable = True
            except AttributeError:  # a plain connection manager: closed as before
                pass
        inner = self._inner
        if type(inner) is Lease:
            inner.leave(exc[1])
            return False
        return await inner.__aexit__(*exc)


class Gate:
    """Stands in for ``websockets`` in the module; opens connections until told to stop.

    ``on_reply(order)``: called with each order as its own reply comes, before
    the module sees it.  ``on_skipped(line)``: a line about messages that
    answered no order (a few, not every one).
    """

    def __init__(self, inner: Any, max_orders: int, flush: Callable[[], None] = lambda: None, *,
                 wanted: int = 1,
                 pace: Optional[Pace] = None,
                 on_reply: Callable[[Order], None] = lambda order: None,
                 on_late: Callable[[Order], None] = lambda order: None,
                 on_skipped: Callable[[str], None] = lambda line: None,
                 now_ms: Callable[[], float] = lambda: time.time() * 1000,
                 sleep_blocking: Callable[[float], None] = lambda s: time.sleep(s)) -> None:
        self.inner = inner
        self.ledger = Ledger(wanted, max_orders)
        self.flush = flush
        self.pace = pace if pace is not None else Pace(5.0)
        self.on_reply = on_reply
        self.on_late = on_late
        self.on_skipped = on_skipped
        self.now_ms = now_ms
        self.sleep_blocking = sleep_blocking
        self.stop_reason: Optional[str] = None
        self.halted: Optional[Callable[[], BaseException]] = None
        self.sent_at_halt: Optional[int] = None
        self.deadline_ms: Optional[float] = None  # this machine's time of the time limit
        self.deadline_reason = "the time limit (--time-limit)"
        self.can_ask = False  # an unknown outcome can be found out (the order queries run)
        self.price_guard: Optional[PriceGuard] = None  # --max-price, --max-spend
        self.urls: List[str] = []
        self.skipped_messages = 0
        # Past this wait for its reply an order is asked about (``ask_overdue``), while the wait goes on.
        self.reply_deadline_s: Optional[float] = None
        self.ask_overdue: Optional[Callable[[Order], Awaitable[Any]]] = None
        # A stop request once orders have left: the replies in flight are read before the run ends.
        self.on_halt: Optional[Callable[[], None]] = None
        self.winding_down = False
        # The request weight: each order spends of it, each reply states the exchange's count.
        self.budget: Optional[RequestBudget] = None
        # The module's ``json`` when the run stands in for it: each reply it reads is decoded once.
        self.module_json: Optional[ModuleJson] = None

    @property
    def orders(self) -> List[Order]:
        return self.ledger.orders

    @property
    def max_orders(self) -> int:
        return self.ledger.max_orders

    @property
    def current(self) -> Optional[Order]:
        orders = self.ledger.orders  # read after every write on an order's connection
        return orders[-1] if orders else None

    @property
    def placed(self) -> int:
        """Orders handed to a connection: each reached the exchange, or may have."""
        return self.ledger.placed

    def stop(self, reason: str) -> None:
        if self.stop_reason is None:
            self.stop_reason = reason

    def halt(self, reason: str, raising: Callable[[], BaseException]) -> bool:
        """A stop request: close the gate and hold back even an order already connected.

        Called from a signal handler: plain assignments, and ``on_halt``
        (which only schedules).  True when the run winds down by itself:
        orders have left and their replies are read for a moment, so the
        handler need not raise (a second request still does).
        """
        self.stop(reason)
        if self.halted is None:
            self.halted = raising
            self.sent_at_halt = self.placed
            if self.placed and self.on_halt is not None:
                self.winding_down = True
                self.on_halt()
        return self.winding_down

    def check_halt(self) -> None:
        if self.halted is not None:
            if self.winding_down:  # the run ends by itself: a plain stop, caught by the trigger
                raise StopOrdering(self.stop_reason or "stopped")
            raise self.halted()

    def check_send(self, order: Order, now_ms: Optional[float] = None) -> None:
        """The stop rule at the moment ``order``'s bytes would go (``now_ms``: this machine's time,
        read by the caller): raises when it may not."""
        self.check_halt()
        self._check_deadline(self.now_ms() if now_ms is None else now_ms)
        self._check_price()
        self._check_stopped()
        self._check_outcomes(order)

    def held_back(self, order: Order) -> None:
        """``order`` was marked sent but never handed over: it is not counted as placed."""
        self.ledger.held_back(order)
        if self.sent_at_halt is not None and self.sent_at_halt > self.placed:
            self.sent_at_halt = self.placed

    def _check_deadline(self, now_ms: float) -> None:
        if self.deadline_ms is not None and self.stop_reason is None and now_ms >= self.deadline_ms:
            self.stop(self.deadline_reason)

    def _check_price(self) -> None:
        reason = self.price_guard.blocked(self.orders) if self.price_guard is not None else None
        if reason is not None:
            self.stop(f"the price guard: {reason}")

    def _check_open(self, now_ms: float) -> None:
        self._check_deadline(now_ms)
        self._check_price()
        self._check_stopped()
        blocked = self.ledger.blocked()
        if blocked is not None and blocked.final:
            self.stop(blocked.reason)
        self._check_stopped()

    def _check_stopped(self) -> None:
        if self.stop_reason is not None:
            raise StopOrdering(self.stop_reason)

    def _check_outcomes(self, order: Order) -> None:
        """While orders that may have bought are as many as wanted: wait for their outcome, or stop."""
        blocked = self.ledger.blocked(besides=order)
        if blocked is None:
            return
        if blocked.final or not self.can_ask:
            self.stop(blocked.reason if blocked.final else
                      "an order's outcome is unknown and the exchange is not asked (--no-order-query)")
            self._check_stopped()
        raise HeldBack(self.now_ms() + OUTCOME_WAIT_MS)

    def turn_now(self, order: Order) -> Optional[float]:
        """The time (this machine's ms) when ``order`` may go at once, or None when the pace holds it
        (then :meth:`wait_turn`); raises as :meth:`wait_turn` does when the gate is closed."""
        now = self.now_ms()
        self._check_deadline(now)
        self._check_stopped()
        self._check_outcomes(order)
        return now if self.pace.next_at(now) <= now else None

    async def wait_turn(self, order: Order) -> float:
        """Until the pace lets ``order`` go, and the time it went (this machine's ms); StopOrdering when
        the gate closes meanwhile."""
        while True:
            now = self.now_ms()
            self._check_deadline(now)
            self._check_stopped()
            self._check_outcomes(order)
            at = self.pace.next_at(now)
            left = at - now
            if left <= 0:
                break
            if left > MAX_HOLD_MS:
                raise HeldBack(at)
            if left > PRECISE_MS:
                await asyncio.sleep(min(WAIT_STEP_S, (left - PRECISE_MS) / 1000))
                continue
            self.sleep_blocking(left / 1000)
        self._check_stopped()
        return now

    async def wait_until(self, local_ms: float) -> None:
        """Wait in the event loop until ``local_ms`` (this machine's clock), or until the gate closes."""
        while self.stop_reason is None:
            left = local_ms - self.now_ms()
            if left <= 0:
                return
            await asyncio.sleep(min(WAIT_STEP_S, left / 1000))

    def withdraw(self, order: Order) -> None:
        self.ledger.withdraw(order)

    async def await_reply(self, ws: Any, order: Order) -> Any:
        """``order``'s reply from its channel ``ws``; past the reply deadline the exchange is asked meanwhile.

        Raises :class:`SettledWithoutReply` when the answer settles the order
        before its reply comes (the wait is then over: the ledger has it).
        """
        deadline, ask = self.reply_deadline_s, self.ask_overdue
        if deadline is None or ask is None:
            return await ws.reply(order.request_id)
        try:
            return await ws.reply(order.request_id, timeout=deadline)
        except asyncio.TimeoutError:
            pass
        reply = asyncio.ensure_future(ws.reply(order.request_id))
        asking = asyncio.ensure_future(ask(order))
        try:
            await asyncio.wait((reply, asking), return_when=asyncio.FIRST_COMPLETED)
            if not reply.done() and not order.outcome_unknown:
                raise SettledWithoutReply(order)
            return await reply
        finally:
            for task in (reply, asking):
                if not task.done():
                    task.cancel()

    def replied(self, order: Order) -> None:
        try:
            self.on_reply(order)
        except Exception:  # never let bookkeeping fail an order, nor let one more leave blind
            self.stop("the host could not read an order's outcome")

    def late_reply(self, request_id: Any, message: Any) -> None:
        """A reply to one of our orders after its wait ended: settled in the ledger all the same."""
        order = self.ledger.late_reply(request_id, message)
        if order is None:
            self.skipped(message)
            return
        if self.budget is not None:  # a late count, read with what was spent since its order
            self.budget.learn(decode(message), self.now_ms(), sent_ms=order.sent_ms)
        try:
            self.on_late(order)
        except Exception:  # a note only; the ledger has it
            pass

    def skipped(self, message: Any) -> None:
        self.skipped_messages += 1
        note = skipped_note(self.skipped_messages, message)
        if note is not None:
            try:
                self.on_skipped(note)
            except Exception:  # a note only
                pass

    def connect(self, url: str, *args: Any, **kwargs: Any) -> Any:
        now = self.now_ms()
        self._check_open(now)
        order = self.ledger.begin(now)
        self.urls.append(url)
        try:
            inner = self.inner.connect(url, *args, **kwargs)
        except BaseException as exc:
            order.failed(exc)
            order.no_connection = True
            self.pace.retry()
            self.pace.started(order.started_ms)
            raise
        return _TrackedConnect(inner, order, self)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)
