"""What the user asked for, checked: the :class:`Plan` that every phase of a run reads."""

from __future__ import annotations

from dataclasses import dataclass, field
from decimal import Decimal
from typing import Optional, Tuple

__all__ = ["AIM_SAFETY_MS", "DEFAULT_MAX_ORDERS", "MAX_AHEAD_MS", "Plan", "UsageError"]

MAX_AHEAD_MS = 24 * 3600 * 1000
DEFAULT_MAX_ORDERS = 100  # orders sent in all, accepted or not
AIM_SAFETY_MS = 0.5  # default arrival target: the measured jitter plus this


class UsageError(Exception):
    """Bad input: the message says what to change."""


@dataclass
class Plan:
    symbol: str
    quantity: float
    quantity_text: str
    open_ms: int
    api_key: str = field(repr=False)
    secret: str = field(repr=False)
    orders: int = 1
    time_limit: float = 10.0
    max_orders: int = DEFAULT_MAX_ORDERS
    grace: float = 5.0
    endpoint: str = "module"  # "module", "loopback" or "connect"
    connect_host: Optional[str] = None
    connect_port: Optional[int] = None
    cafile: Optional[str] = None
    server_hostname: Optional[str] = None
    loopback_step: str = "0.001"
    log_path: Optional[str] = None
    log_max_bytes: int = 256 << 20
    result_path: Optional[str] = None
    allow_inexact_quantity: bool = False
    display: str = "auto"
    clock_sync: bool = True
    compensate: bool = True
    aim_ms: Optional[float] = None
    pool_size: int = 3
    max_new_per_minute: int = 60
    refusal_overrides: Tuple[Tuple[int, str], ...] = ()
    max_order_rate: float = 5.0  # orders a second after a refusal, until the exchange states its limits
    order_test: bool = True  # send the order as a test order at start-up (key, signature, parameters)
    order_query: bool = True  # ask the exchange (order.status, allOrders) when an order's outcome is unknown
    max_price: Optional[Decimal] = None  # no further order once a fill's average price is above it
    max_spend: Optional[Decimal] = None  # no further order once this much quote is spent (or would be)
    log_append: bool = False  # --log may name one of the host's own earlier logs, to go on with
    dry_run: bool = False  # everything up to the countdown, then a summary: no order is sent
    keys_from: str = ""  # where the keys came from, in words (never a key)
    # "auto": a real-time scheduling class (or a raised nice value) from just before the first
    # order until its bytes have left; "normal": the host's scheduling left alone
    priority: str = "auto"
