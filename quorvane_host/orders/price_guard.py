"""The price guard: no further order once the fills cost more than the person allowed.

A market order at a listing fills at whatever price the book offers, and
the first minutes of a listing are when that price is furthest from where
it settles.  The first order goes whatever the price (nothing is known of
it before); after that, the fills the ledger holds decide:

* ``--max-price P``: no further order once a fill's average price is above P;
* ``--max-spend Q``: no further order once the quote spent reaches Q, or
  when the next order, at the last fill's average price, would pass it.

A fill whose price the exchange did not state cannot be held to either: the
guard then stops the orders too.  Pure: the orders in, a reason out.
"""

from __future__ import annotations

from decimal import Decimal
from typing import Iterable, Optional

from quorvane_host.orders.fate import Order

__all__ = ["PriceGuard"]


class PriceGuard:
    """``max_price``/``max_spend``: the limits (None: not set); ``quantity``: each order's, as sent."""

    def __init__(self, max_price: Optional[Decimal], max_spend: Optional[Decimal], quantity: Decimal) -> None:
        self.max_price = max_price
        self.max_spend = max_spend
        self.quantity = quantity
        self.stopped: Optional[str] = None  # why it stopped the orders, once it did

    @property
    def active(self) -> bool:
        return self.max_price is not None or self.max_spend is not None

    @staticmethod
    def spent(orders: Iterable[Order]) -> Decimal:
        """The quote spent on the fills whose cost is stated."""
        return sum((o.verdict.cost for o in orders if o.bought and o.verdict.cost is not None), Decimal(0))

    def blocked(self, orders: Iterable[Order]) -> Optional[str]:
        """Why no further order may go by the price, or None."""
        if not self.active:
            return None
        if self.stopped is None:
            self.stopped = self._reason([o for o in orders if o.bought])
        return self.stopped

    def _reason(self, fills: list) -> Optional[str]:
        if not fills:
            return None
        if any(o.verdict.price is None for o in fills):
            return "a fill whose price the exchange did not state: the price guard cannot be kept"
        last = fills[-1].verdict.price
        if self.max_price is not None:
            above = [o for o in fills if o.verdict.price > self.max_price]
            if above:
                return (f"order {above[0].seq} filled at an average price of {above[0].verdict.price}, "
                        f"above --max-price {self.max_price}")
        if self.max_spend is not None:
            spent = self.spent(fills)
            if spent >= self.max_spend:
                return f"{spent} spent, --max-spend {self.max_spend} reached"
            if spent + self.quantity * last > self.max_spend:
                return (f"{spent} spent; the next order at the last price ({last}) would pass "
                        f"--max-spend {self.max_spend}")
        return None

    def to_dict(self, orders: Iterable[Order]) -> dict:
        return {"max_price": None if self.max_price is None else str(self.max_price),
                "max_spend": None if self.max_spend is None else str(self.max_spend),
                "spent": str(self.spent(orders)), "stopped": self.stopped}
