"""The firing window: from just before the module fires until its first order's bytes have left.

For that stretch the host holds the console's lines back (nothing is written
into the console's pipe, which would wake the console) and runs at the
priority it could get (:mod:`quorvane_host.run.priority`).  The window
closes right after the write that carried the first order's bytes (seen
through the connector's ``after_write``, :class:`SendWatch`), or when the
module's first run ends without an order leaving, or when the run ends:
whichever comes first.
"""

from __future__ import annotations

from typing import Any, Callable, Optional

from quorvane_host.run.console_link import ConsoleBatch
from quorvane_host.run.priority import FiringPriority

__all__ = ["FiringWindow", "SendWatch"]


class SendWatch:
    """The connector's ``after_write``: calls ``on_order_left()`` after the write that carried an order's bytes.

    The gate marks an order sent just before its bytes go, with nothing
    between the two that lets another writer in: the first write after
    that is the order's own.  Every other write (a ping, a handshake, a
    server-time request) is passed over.
    """

    __slots__ = ("_gate", "_seen", "on_order_left")

    def __init__(self, gate: Any, on_order_left: Callable[[], None]) -> None:
        self._gate = gate
        self._seen: Any = None
        self.on_order_left = on_order_left

    def __call__(self) -> None:
        order = self._gate.current
        if order is not None and order is not self._seen and order.sent:
            self._seen = order
            self.on_order_left()


class FiringWindow:
    """Opened by :meth:`begin` just before the module fires; closed once, by whichever comes first."""

    def __init__(self, batch: ConsoleBatch, priority: Optional[FiringPriority] = None) -> None:
        self.batch = batch
        self.priority = priority
        self.open = False

    def begin(self) -> None:
        self.open = True
        self.batch.hold()
        if self.priority is not None:
            self.priority.raise_()

    def order_left(self) -> None:
        """An order's bytes have left: the first one closes the window; each may let a batch out."""
        if self.open:
            self.open = False
            if self.priority is not None:
                self.priority.lower()
        self.batch.order_left()

    def end(self) -> None:
        """The module stopped, or the run did, before the first order left (nothing if it has)."""
        if self.priority is not None:
            self.priority.lower()
        if self.open:
            self.open = False
            self.batch.release()
