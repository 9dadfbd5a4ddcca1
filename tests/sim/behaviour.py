"""One seed's world: the exchange's behaviour and the run's options, drawn from ``random.Random(seed)``."""

import random
from dataclasses import dataclass, field
from decimal import Decimal
from typing import List, Optional, Tuple

from .loop import EPOCH_S

ANNOUNCED_MS = EPOCH_S * 1000 + 2_000  # the listing's announced opening, by the exchange's clock


@dataclass
class Behaviour:
    seed: int
    wanted: int  # --orders
    max_orders: int  # --max-orders
    time_limit_s: float  # --time-limit
    quantity: float
    open_ms: float  # the real opening (the exchange's clock): the announced one, or later
    announce: Optional[str]  # how a refusal before the opening says when it opens
    first_said_ms: Optional[float]  # an opening said first, then moved to open_ms once it has passed
    skew_ms: float  # the exchange's clock minus this machine's
    rtt_s: float
    order_limit: Optional[int]  # orders per 10 s
    weight_limit: Optional[int]  # request weight per 10 s
    query_failures: float  # the share of order queries that fail
    slow_handshakes: float  # the share of connections whose handshake takes 0.1-1.5 s more
    refused_connections: Tuple[int, ...]  # which connection attempts the exchange refuses (1 = the first)
    foreign: List[Tuple[float, Decimal, Decimal]] = field(default_factory=list)  # other clients' orders
    stop_request_s: Optional[float] = None  # a Ctrl-C this long after the firing
    pool: bool = True  # warm connections (else each order opens its own)
    cuts: List[Tuple[float, bool]] = field(default_factory=list)  # (s after the firing, silent): a connection lost
    twins: float = 0.0  # the share of our orders with another client's identical order close by
    wrong_answers: float = 0.0  # the share of order.status answers about another symbol or order id
    malformed_rows: float = 0.0  # the share of allOrders answers with a malformed row
    crowd: int = 0  # other orders of the symbol around the opening: more than a page of them
    told_twice: float = 0.0  # the share of replies sent twice (the second, at times, a word in doubt)

    @property
    def announced_ms(self):
        return ANNOUNCED_MS


def _foreign(rng, quantity):
    """Another client's order in the account, before or during the run: (ms from the opening, qty, filled)."""
    qty = Decimal(str(quantity)) * rng.choice((2, 3, 10))
    return rng.uniform(-60_000, 5_000), qty, qty * rng.choice((0, 1))


def draw(seed):
    rng = random.Random(seed)
    late = rng.random() < 0.3
    quantity = rng.choice((0.5, 1.0, 2.0, 0.25))
    b = Behaviour(
        seed=seed,
        wanted=rng.choice((1, 1, 1, 2, 3)),
        max_orders=rng.choice((3, 8, 20, 100)),
        time_limit_s=rng.choice((1.0, 2.0, 4.0, 10.0)),
        quantity=quantity,
        open_ms=ANNOUNCED_MS + (rng.uniform(50, 3000) if late else 0),
        announce=rng.choice((None, "openTime", "opens_in", "iso")) if late else None,
        first_said_ms=ANNOUNCED_MS + rng.uniform(0, 1000) if late and rng.random() < 0.3 else None,
        skew_ms=rng.uniform(-500, 500),
        rtt_s=rng.choice((0.002, 0.03, 0.08)),
        order_limit=rng.choice((None, None, 3, 10)),
        weight_limit=rng.choice((None, None, 60, 200)),
        query_failures=rng.choice((0.0, 0.3, 0.8)),
        slow_handshakes=rng.choice((0.0, 0.0, 0.2, 0.6)),
        refused_connections=tuple(n for n in range(1, 8) if rng.random() < 0.1),
        foreign=[_foreign(rng, quantity) for _ in range(rng.choice((0, 0, 1, 3)))],
        stop_request_s=rng.uniform(0, 3) if rng.random() < 0.2 else None,
        pool=rng.random() < 0.7,
        cuts=[(rng.uniform(-1, 3), rng.random() < 0.5) for _ in range(rng.choice((0, 0, 1, 2)))],
        # Another client's twin next to an order of ours that never reached the book is the same
        # row as ours to anyone who asks: the twins come where every request that arrives is booked.
        twins=rng.choice((0.0, 0.0, 0.3, 1.0)),
        wrong_answers=rng.choice((0.0, 0.0, 0.3)),
        malformed_rows=rng.choice((0.0, 0.0, 0.5)),
        crowd=1100 if rng.random() < 0.05 else 0,
        told_twice=rng.choice((0.0, 0.0, 0.3)),
    )
    if b.twins:
        b.cuts = []  # a cut can lose a request on its way: see above
    if b.crowd:
        b.query_failures = 0.0  # every page of a crowded account's listing is answered
    return b
