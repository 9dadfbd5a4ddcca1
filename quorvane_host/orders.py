"""Each order's fate, as the host sees it happen, and the gate that lets orders out.

The module opens every order's connection with ``websockets.connect(URL)``;
the host rebinds ``websockets`` to a :class:`Gate`, which refuses the next
connection once the stop rule is met and otherwise hands the module a
tracked connection.  The tracking notes how far each order got, so that a
run that ends early (a stop request, a dropped connection, the time limit)
can still say, per order, what happened to the money:

* ``never sent``: no connection (the gate's cap on new connections, nothing
  listening, name not found); nothing reached the exchange;
* ``never connected``: the connection began but its TLS handshake or its
  WebSocket upgrade never finished; the order was not sent;
* ``sent, no reply``: the request was handed to the connection and no reply
  came back: its outcome is unknown, and the account must be checked;
* ``answered``: the reply came; accepted or refused by the exchange;
* ``answered, unreadable``: a reply that is not a JSON object, which says
  nothing of the order: its outcome is unknown, as without a reply.

The module reports each outcome with ``print``; the host's ``print`` hook
(:func:`install_print_hook`) gives those lines to the :class:`Observer`,
which counts accepted orders and looks every refusal up in the table of
:mod:`quorvane_host.refusals`: one that a retry cannot fix closes the gate
before the next order.
"""

from __future__ import annotations

import asyncio
import builtins
import json
import socket
import time
from decimal import Decimal, InvalidOperation
from typing import Any, Callable, Dict, List, Optional

from .faults import describe_fault
from .lines import Outcome, parse_outcome
from .pool import ConnectionLimit
from .refusals import Refusals

__all__ = ["ANSWERED", "NEVER_CONNECTED", "NEVER_SENT", "NO_REPLY", "UNKNOWN_FATES", "UNREADABLE", "Gate", "Observer", "Order",
           "StopOrdering", "filled", "install_print_hook"]

NEVER_SENT, NEVER_CONNECTED, NO_REPLY, ANSWERED = "never sent", "never connected", "sent, no reply", "answered"
UNREADABLE = "answered, unreadable"  # a reply the module could not read: as unknown as no reply
UNKNOWN_FATES = (NO_REPLY, UNREADABLE)

# How far an order got.
_CONNECTING, _CONNECTED, _SENT, _ANSWERED = range(4)


class StopOrdering(Exception):
    """Raised by the gate instead of opening a connection once the stop rule is met."""


def _no_connection(exc: BaseException) -> bool:
    """True for a failure that came before any connection existed."""
    return isinstance(exc, (ConnectionLimit, socket.gaierror, ConnectionRefusedError))


def _why_stopped(exc: BaseException) -> str:
    said = getattr(exc, "said", None)  # a stop request (quorvane_host.stopping)
    if isinstance(said, str):
        return f"stopped: {said}"
    if isinstance(exc, asyncio.CancelledError):
        return "cancelled (the time limit's grace was over, or the run was stopping)"
    return describe_fault(exc)


class Order:
    """One order of the run, from the module's ``connect`` on."""

    def __init__(self, seq: int) -> None:
        self.seq = seq
        self.started_ms = time.time() * 1000
        self.stage = _CONNECTING
        self.no_connection = False
        self.failure: Optional[str] = None
        self.reply: Any = None
        self.outcome: Optional[Outcome] = None

    @property
    def sent(self) -> bool:
        return self.stage >= _SENT

    @property
    def fate(self) -> str:
        if self.stage == _ANSWERED:
            if self.outcome is None and not isinstance(self.reply_data(), dict):
                return UNREADABLE
            return ANSWERED
        if self.stage == _SENT:
            return NO_REPLY
        if self.stage == _CONNECTED:  # connected, nothing handed to it (a stop request held it back)
            return NEVER_SENT
        return NEVER_SENT if self.no_connection else NEVER_CONNECTED

    @property
    def accepted(self) -> Optional[bool]:
        """Whether the exchange took the order, once answered; None before.

        By the module's line, or, when a stop request came between the reply
        and that line, by the reply itself, as the module reads it.
        """
        if self.outcome is not None:
            return self.outcome.accepted
        data = self.reply_data()
        if self.stage != _ANSWERED or not isinstance(data, dict):
            return None
        return "error" not in data

    def failed(self, exc: BaseException) -> None:
        if self.failure is None:
            self.failure = _why_stopped(exc)
        if self.stage == _CONNECTING and _no_connection(exc):
            self.no_connection = True

    def reply_data(self) -> Any:
        """The reply as the exchange sent it (decoded), else what the module printed of it."""
        if isinstance(self.reply, (str, bytes)):
            try:
                return json.loads(self.reply)
            except ValueError:
                pass
        return self.outcome.data if self.outcome is not None else None

    def describe(self) -> str:
        fate = self.fate
        if fate == NO_REPLY:
            return "sent, no reply: its outcome is unknown: check the account"
        if fate == UNREADABLE:
            return "answered with something that is not a reply to read: its outcome is unknown: check the account"
        if fate == NEVER_CONNECTED:
            return "never connected (TLS or upgrade never finished): not sent" + (
                f" ({self.failure})" if self.failure else "")
        if fate == NEVER_SENT:
            how = "held back on its connection" if self.stage == _CONNECTED else "no connection"
            return f"never sent ({how})" + (f" ({self.failure})" if self.failure else "")
        if self.outcome is None:
            text = ("accepted" if self.accepted else "refused") + " (the run stopped before the module said so)"
        else:
            text = self.outcome.describe()
        fill = filled(self.reply_data()) if self.accepted else None
        if fill and fill["price"] is None:
            text += ": nothing was filled (the reply says quantity 0)"
        elif fill:
            text += f": bought {fill['quantity']} at {fill['price']} for {fill['cost']}"
        return text

    def to_dict(self) -> dict:
        d: Dict[str, Any] = {"seq": self.seq, "fate": self.fate, "started_ms": self.started_ms,
                             "failure": self.failure}
        if self.outcome is not None:
            d.update(self.outcome.to_dict())
        d["accepted"] = self.accepted
        if self.accepted:
            d["filled"] = filled(self.reply_data())
        return d


def _decimal(value: Any) -> Optional[Decimal]:
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        return None
    try:
        d = Decimal(str(value))
    except InvalidOperation:
        return None
    return d if d.is_finite() else None


def filled(reply: Any) -> Optional[Dict[str, Optional[str]]]:
    """What an accepted order bought, from its reply: quantity, average price and cost.

    None when the reply does not say (an exchange that answers only with an
    order id).
    """
    result = reply.get("result") if isinstance(reply, dict) else None
    if not isinstance(result, dict):
        return None
    qty = cost = Decimal(0)
    fills = result.get("fills")
    if isinstance(fills, list) and fills:
        for f in fills:
            q = _decimal(f.get("qty")) if isinstance(f, dict) else None
            p = _decimal(f.get("price")) if isinstance(f, dict) else None
            if q is None or p is None:
                return None
            quote = _decimal(f.get("quoteQty"))
            qty += q
            cost += quote if quote is not None else q * p
    else:
        q, c = _decimal(result.get("executedQty")), _decimal(result.get("cummulativeQuoteQty"))
        if q is None or c is None:
            return None
        qty, cost = q, c
    if qty <= 0:
        return {"quantity": str(qty), "price": None, "cost": str(cost)}
    return {"quantity": str(qty), "price": str((cost / qty).normalize()), "cost": str(cost)}


class _TrackedSocket:
    """The order's connection as the module sees it: ``send`` and ``recv`` note the order's progress."""

    __slots__ = ("_ws", "_order", "_gate")

    def __init__(self, ws: Any, order: Order, gate: "Gate") -> None:
        self._ws, self._order, self._gate = ws, order, gate

    async def send(self, message: Any) -> None:
        # The last moment at which an order can be held back: after a stop
        # request nothing is handed to the connection, whatever swallowed
        # the exception the request raised.
        self._gate.check_halt()
        self._order.stage = _SENT
        await self._ws.send(message)

    async def recv(self) -> Any:
        reply = await self._ws.recv()
        self._order.reply = reply
        self._order.stage = _ANSWERED
        return reply

    def __getattr__(self, name: str) -> Any:
        return getattr(self._ws, name)


class _TrackedConnect:
    """What the gate's ``connect`` returns: the inner connection manager, tracked."""

    __slots__ = ("_inner", "_order", "_gate")

    def __init__(self, inner: Any, order: Order, gate: "Gate") -> None:
        self._inner, self._order, self._gate = inner, order, gate

    async def __aenter__(self) -> _TrackedSocket:
        try:
            ws = await self._inner.__aenter__()
        except BaseException as exc:
            self._order.failed(exc)
            raise
        self._order.stage = _CONNECTED
        return _TrackedSocket(ws, self._order, self._gate)

    async def __aexit__(self, *exc: Any) -> Any:
        if exc[1] is not None:
            self._order.failed(exc[1])
        return await self._inner.__aexit__(*exc)


class Gate:
    """Stands in for ``websockets`` in the module; opens connections until told to stop."""

    def __init__(self, inner: Any, max_orders: int, flush: Callable[[], None] = lambda: None) -> None:
        self.inner = inner
        self.max_orders = max_orders
        self.flush = flush
        self.orders: List[Order] = []
        self.stop_reason: Optional[str] = None
        self.halted: Optional[Callable[[], BaseException]] = None
        self.sent_at_halt: Optional[int] = None
        self.urls: List[str] = []

    @property
    def current(self) -> Optional[Order]:
        return self.orders[-1] if self.orders else None

    @property
    def placed(self) -> int:
        """Orders handed to a connection: each reached the exchange, or may have."""
        return sum(1 for o in self.orders if o.sent)

    def stop(self, reason: str) -> None:
        if self.stop_reason is None:
            self.stop_reason = reason

    def halt(self, reason: str, raising: Callable[[], BaseException]) -> None:
        """A stop request: close the gate and hold back even an order already connected.

        Called from a signal handler: plain assignments only.
        """
        self.stop(reason)
        if self.halted is None:
            self.halted = raising
            self.sent_at_halt = self.placed

    def check_halt(self) -> None:
        if self.halted is not None:
            raise self.halted()

    def connect(self, url: str, *args: Any, **kwargs: Any) -> Any:
        # Called at the start of every order, after the previous order's
        # latency line: flushing here lets the console show it now.
        self.flush()
        if self.stop_reason is None and len(self.orders) >= self.max_orders:
            self.stop(f"{len(self.orders)} orders placed in all (--max-orders {self.max_orders})")
        if self.stop_reason is not None:
            raise StopOrdering(self.stop_reason)
        order = Order(len(self.orders) + 1)
        self.orders.append(order)
        self.urls.append(url)
        try:
            inner = self.inner.connect(url, *args, **kwargs)
        except BaseException as exc:
            order.failed(exc)
            order.no_connection = True
            raise
        return _TrackedConnect(inner, order, self)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.inner, name)


class Observer:
    """Learns each order's outcome from the lines the module prints, and stops on refusals."""

    def __init__(self, wanted: int, gate: Gate, refusals: Refusals,
                 exchange_ms: Callable[[], float] = lambda: time.time() * 1000) -> None:
        self.wanted = wanted
        self.gate = gate
        self.refusals = refusals
        self.exchange_ms = exchange_ms
        self.outcomes: List[Outcome] = []
        self.accepted = 0
        self.refusal_stop: Optional[Outcome] = None

    def line(self, text: str) -> None:
        outcome = parse_outcome(text)
        if outcome is None:
            return
        self.outcomes.append(outcome)
        order = self.gate.current
        if order is not None and order.outcome is None:
            order.outcome = outcome
        if outcome.accepted:
            self.accepted += 1
            if self.accepted >= self.wanted:
                self.gate.stop(f"{self.accepted} accepted order{'s' if self.accepted != 1 else ''} "
                               f"(--orders {self.wanted})")
        elif self.refusal_stop is None and self.refusals.stops(outcome.code, self.exchange_ms()):
            self.refusal_stop = outcome
            self.gate.stop(f"a refusal that retrying cannot fix ({self.refusals.reason(outcome.code)})")

    def refusals_by_reason(self) -> Dict[str, int]:
        counts: Dict[str, int] = {}
        for o in self.outcomes:
            if not o.accepted:
                key = self.refusals.reason(o.code) + (f" (code {o.code})" if o.code is not None else "")
                counts[key] = counts.get(key, 0) + 1
        return counts


def install_print_hook(observer: Observer) -> Callable:
    """Make ``builtins.print`` pass every line on and show order lines to ``observer``.

    Must run before the module is imported: the module keeps the ``print``
    it finds then.
    """
    original = builtins.print

    def print(*args: Any, **kwargs: Any) -> None:  # noqa: A001 - it is meant to shadow
        original(*args, **kwargs)
        if len(args) == 1 and isinstance(args[0], str) and not kwargs:
            try:
                observer.line(args[0])
            except Exception:  # never let bookkeeping fail an order, nor let one more leave blind
                observer.gate.stop("the host could not read an order's outcome")

    print.__wrapped__ = original  # type: ignore[attr-defined]
    builtins.print = print
    return original
