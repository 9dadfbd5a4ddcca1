"""How the loopback exchange behaves on a listing day, beyond checking orders.

A real exchange on a listing day is rarely ideal: the first market orders
meet an empty book and expire, or are answered before they fill, it pushes notices nobody asked for, it limits
how many orders a key may place per second (and bans a key that keeps going),
the listing opens later than announced, connections are closed or go silent,
and a reply can be held up.  :class:`Behaviour` holds those options; all are
off by default.  Everything here is plain logic: times are passed in, as ms
by the exchange's clock.
"""

from __future__ import annotations

import argparse
import json
import math
from dataclasses import asdict, dataclass, fields, replace
from typing import Dict, List, Mapping, Optional, Tuple

from quorvane_host.orders.codes import BANNED_STATUS, RATE_LIMITED_STATUS, Code

__all__ = ["Behaviour", "OrderLimits", "add_behaviour_arguments", "behaviour_from_args"]


@dataclass(frozen=True)
class Behaviour:
    """Listing-day options of the loopback exchange; times are ms by the exchange's clock."""

    # The first N orders that would be accepted expire unfilled (a market order on an empty book).
    expire_first: int = 0
    # The first N orders that fill are answered NEW, nothing filled yet: they fill a moment later,
    # as the order queries then say.
    new_first: int = 0
    # Push a notice (a message with no id) on every new connection, before any request.
    greet: bool = False
    # Push a notice on every open connection this often.
    push_every_ms: Optional[float] = None
    # At most this many order.place requests per key in each window of order_interval_s.
    order_limit: Optional[int] = None
    order_interval_s: float = 1.0
    # That many rate-limit refusals in a row ban the key for ban_s seconds.
    ban_after: Optional[int] = None
    ban_s: float = 10.0
    # Trading really opens this long after each symbol's announced opening.
    late_ms: float = 0.0
    # A "not open" refusal says when trading opens.
    announce_late: bool = True
    # Before the real opening the symbol is unknown rather than not open.
    unlisted_before_open: bool = False
    # Connections open at this time are closed by the exchange (1001 going away).
    close_at_ms: Optional[float] = None
    # Connections open at this time stop answering anything, without closing.
    silence_at_ms: Optional[float] = None
    # The first time request arriving at or after this moment is answered hold_s later.
    hold_time_reply_at_ms: Optional[float] = None
    hold_s: float = 2.0

    def __post_init__(self) -> None:
        for f in fields(self):
            _check_kind(f.name, getattr(self, f.name))
        if self.expire_first < 0 or self.new_first < 0:
            raise ValueError("expire_first and new_first must be 0 or more")
        if self.push_every_ms is not None and self.push_every_ms <= 0:
            raise ValueError("push_every_ms must be positive")
        if self.order_limit is not None and self.order_limit < 1:
            raise ValueError("order_limit must be 1 or more")
        interval_words(self.order_interval_s)  # raises on an interval no exchange states
        if self.ban_after is not None and self.ban_after < 1:
            raise ValueError("ban_after must be 1 or more")
        if self.ban_s <= 0 or self.hold_s < 0:
            raise ValueError("ban_s must be positive and hold_s 0 or more")
        if self.late_ms < 0:
            raise ValueError("late_ms must be 0 or more")

    def changed(self, **changes: object) -> "Behaviour":
        """A copy with ``changes``; an unknown name is a ValueError (a typo must not pass silently)."""
        names = {f.name for f in fields(self)}
        unknown = sorted(set(changes) - names)
        if unknown:
            raise ValueError(f"unknown behaviour {', '.join(unknown)}")
        return replace(self, **changes)

    def to_json(self) -> str:
        return json.dumps(asdict(self))

    @classmethod
    def from_mapping(cls, data: Mapping[str, object]) -> "Behaviour":
        return cls().changed(**dict(data))

    def real_open_ms(self, announced_ms: float) -> float:
        return announced_ms + self.late_ms


_INTS = {"expire_first", "new_first", "order_limit", "ban_after"}
_BOOLS = {"greet", "announce_late", "unlisted_before_open"}
_OPTIONAL = {"push_every_ms", "order_limit", "ban_after", "close_at_ms", "silence_at_ms",
             "hold_time_reply_at_ms"}


def _check_kind(name: str, value: object) -> None:
    """Options come as JSON from other processes too: a wrong kind is a ValueError, said by name."""
    if value is None and name in _OPTIONAL:
        return
    if name in _BOOLS:
        ok = isinstance(value, bool)
    elif name in _INTS:
        ok = isinstance(value, int) and not isinstance(value, bool)
    else:
        ok = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    if not ok:
        raise ValueError(f"{name} cannot be {value!r}")


# --------------------------------------------------------------------------
# Order rate limit


_INTERVALS = (("DAY", 86400), ("HOUR", 3600), ("MINUTE", 60), ("SECOND", 1))


def interval_words(interval_s: float) -> Tuple[str, int]:
    """``(interval, intervalNum)`` as exchanges state a window: 60 s is ("MINUTE", 1)."""
    if interval_s <= 0 or interval_s != int(interval_s):
        raise ValueError(f"order_interval_s must be a whole number of seconds: {interval_s!r}")
    for word, seconds in _INTERVALS:
        if int(interval_s) % seconds == 0:
            return word, int(interval_s) // seconds
    raise AssertionError("unreachable: every whole number of seconds fits SECOND")


class OrderLimits:
    """Counts order requests per key in fixed windows aligned on whole intervals of the clock.

    Every request counted in a window counts, refused or not, as exchanges
    count; past the limit a request is refused (429), and ``ban_after``
    such refusals in a row ban the key (418) for ``ban_s``.
    """

    def __init__(self) -> None:
        self._windows: Dict[str, Tuple[int, int]] = {}  # key -> (window start ms, count)
        self._streak: Dict[str, int] = {}
        self._banned_until: Dict[str, float] = {}

    def admit(self, key: str, now_ms: float, b: Behaviour) -> Tuple[Optional[dict], List[dict]]:
        """Count one order request of ``key``: (refusal or None, the ``rateLimits`` to attach).

        A refusal is ``{"status", "code", "msg", "data"}``.
        """
        if b.order_limit is None:
            return None, []
        word, num = interval_words(b.order_interval_s)
        interval_ms = int(b.order_interval_s * 1000)
        banned_until = self._banned_until.get(key)
        if banned_until is not None and now_ms < banned_until:
            return self._banned(banned_until), self._state(key, now_ms, interval_ms, b, word, num)
        self._banned_until.pop(key, None)
        start = math.floor(now_ms / interval_ms) * interval_ms
        window, count = self._windows.get(key, (start, 0))
        count = count + 1 if window == start else 1
        self._windows[key] = (start, count)
        limits = self._state(key, now_ms, interval_ms, b, word, num)
        if count <= b.order_limit:
            self._streak[key] = 0
            return None, limits
        streak = self._streak.get(key, 0)
        if b.ban_after is not None and streak >= b.ban_after:
            until = now_ms + b.ban_s * 1000
            self._banned_until[key] = until
            self._streak[key] = 0
            return self._banned(until), limits
        self._streak[key] = streak + 1
        per = word if num == 1 else f"{num} {word}"
        return ({"status": RATE_LIMITED_STATUS, "code": Code.TOO_MANY_ORDERS,
                 "msg": f"Too many new orders; current limit is {b.order_limit} orders per {per}.",
                 "data": {"retryAfter": start + interval_ms}}, limits)

    def _state(self, key: str, now_ms: float, interval_ms: int, b: Behaviour,
               word: str, num: int) -> List[dict]:
        start = math.floor(now_ms / interval_ms) * interval_ms
        window, count = self._windows.get(key, (start, 0))
        return [{"rateLimitType": "ORDERS", "interval": word, "intervalNum": num,
                 "limit": b.order_limit, "count": count if window == start else 0}]

    @staticmethod
    def _banned(until: float) -> dict:
        return {"status": BANNED_STATUS, "code": Code.TOO_MANY_REQUESTS,
                "msg": f"Way too many requests; banned until {int(until)}.",
                "data": {"retryAfter": int(until)}}


# --------------------------------------------------------------------------
# Late opening


def not_open_text(name: str, announced_ms: float, arrival_ms: float,
                  b: Behaviour) -> Tuple[str, Optional[dict]]:
    """The "not open" refusal's message and data for an order arriving at ``arrival_ms``."""
    real = b.real_open_ms(announced_ms)
    left = math.ceil(real - arrival_ms)
    if not b.announce_late:
        return "trading not open yet", None
    if b.late_ms:
        return f"trading not open yet; opens in {left} ms", {"openTime": int(math.ceil(real))}
    return f"trading in {name} opens in {left} ms", None


# --------------------------------------------------------------------------
# Command line: one flag per field


_FLAGS = {
    "expire_first": ("N", int, "the first N orders that would be filled expire unfilled instead "
                               "(status EXPIRED, executedQty 0), as on an empty book"),
    "new_first": ("N", int, "the first N orders that fill are answered NEW with nothing filled yet "
                            "(they fill a moment later: order.status and allOrders say so)"),
    "greet": (None, bool, "push a notice (a message with no id) on every new connection, "
                          "before any request"),
    "push_every_ms": ("MS", float, "push a notice on every open connection this often"),
    "order_limit": ("N", int, "at most N order.place requests per key per --order-interval-s "
                              "(code -1015, status 429 beyond; replies carry rateLimits)"),
    "order_interval_s": ("S", float, "the order limit's window, whole seconds aligned on the "
                                     "exchange's clock (default 1)"),
    "ban_after": ("N", int, "after N rate-limit refusals in a row, ban the key "
                            "(code -1003, status 418) for --ban-s"),
    "ban_s": ("S", float, "how long a ban lasts (default 10)"),
    "late_ms": ("MS", float, "trading really opens this long after each symbol's announced opening"),
    "announce_late": (None, bool, ""),
    "unlisted_before_open": (None, bool, "before the real opening, the symbol is unknown "
                                         "(code 3001) instead of not open"),
    "close_at_ms": ("TIME", "time", "at this time (exchange clock), close every open connection "
                                    "(1001 going away); later connections work"),
    "silence_at_ms": ("TIME", "time", "at this time (exchange clock), every open connection stops "
                                      "answering anything, without closing; later connections work"),
    "hold_time_reply_at_ms": ("TIME", "time", "the first time request arriving at or after this "
                                              "time (exchange clock) is answered --hold-s later"),
    "hold_s": ("S", float, "how long that time reply is held (default 2)"),
}
def flag_name(field_name: str) -> str:
    """The field's flag: its name with dashes (``late_ms`` is ``--late-ms``)."""
    return "--" + field_name.replace("_", "-")


def add_behaviour_arguments(parser: argparse.ArgumentParser) -> None:
    """One flag per :class:`Behaviour` field, in a group of its own."""
    group = parser.add_argument_group("listing-day behaviour (all off by default)")
    for name, (metavar, kind, text) in _FLAGS.items():
        if name == "announce_late":
            group.add_argument("--announce-late", dest=name, action=argparse.BooleanOptionalAction,
                               default=None, help="a late listing's 'not open' refusals say when "
                                                  "it really opens (default: they do)")
        elif kind is bool:
            group.add_argument(flag_name(name), dest=name, action="store_true", default=None, help=text)
        else:
            group.add_argument(flag_name(name), dest=name, metavar=metavar, default=None,
                               type=str if kind == "time" else kind,
                               help=text + (": ms since the epoch, an ISO 8601 time with zone, "
                                            "'now' or '+5s'" if kind == "time" else ""))


def behaviour_from_args(args: argparse.Namespace, now_ms: int, parse_time) -> Behaviour:
    """The Behaviour the flags ask for; ``parse_time(text, now_ms)`` reads the TIME flags."""
    given = {}
    for name, (_, kind, _) in _FLAGS.items():
        value = getattr(args, name, None)
        if value is None:
            continue
        given[name] = parse_time(value, now_ms) if kind == "time" else value
    return Behaviour().changed(**given)
