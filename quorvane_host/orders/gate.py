"""The gate that lets orders out: the module's ``websockets``, rebound.

The module opens every order's connection with ``websockets.connect(URL)``;
the host rebinds ``websockets`` to a :class:`Gate`, which refuses the next
connection once the stop rule is met and otherwise hands the module a
tracked connection.  The tracking notes how far each order got
(:mod:`quorvane_host.orders.fate`), so that a run that ends early (a stop
request, a dropped connection, the time limit) can still say, per order,
what happened to the money.
"""

from __future__ import annotations

import time
from typing import Any, Callable, List, Optional

from quorvane_host.orders.fate import CONNECTED, REPLIED, SENT, Order

__all__ = ["Gate", "StopOrdering"]


class StopOrdering(Exception):
    """Raised by the gate instead of opening a connection once the stop rule is met."""


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
        self._order.stage = SENT
        await self._ws.send(message)

    async def recv(self) -> Any:
        reply = await self._ws.recv()
        self._order.reply = reply
        self._order.stage = REPLIED
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
        self._order.stage = CONNECTED
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
        order = Order(len(self.orders) + 1, time.time() * 1000)
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
