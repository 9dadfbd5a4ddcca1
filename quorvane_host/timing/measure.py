"""Measuring the exchange's clock over a WebSocket connection: the server-time request.

The host measures the difference between the exchange's clock and this
machine's with the exchange API's server-time request::

    -> {"id": "clock-...-3", "method": "time"}
    <- {"id": "clock-...-3", "status": 200, "result": {"serverTime": 1796212800123}}

The connection is a :class:`~quorvane_host.net.channel.Channel`: a reply
counts only when it carries the request's id.  What the exchange pushes
meanwhile (a greeting, events) is counted, the first one shown through
``on_other``; a reply that comes after its wait ended is the channel's to
count.

Every request is weighed against the exchange's request budget: a
measuring stretch may send at most what an :class:`Allowance` grants (half
of what the budget has left when it begins), and a reply saying the limit
is reached (status 429, or 418) ends it with the samples at hand.

Each exchange gives a :class:`~quorvane_host.timing.estimate.Sample`; the
arithmetic over them is :func:`quorvane_host.timing.estimate.estimate`.
"""

from __future__ import annotations

import asyncio
import json
import secrets
import time as _time
from dataclasses import dataclass, field
from typing import Any, Callable, List, Optional, Protocol

from quorvane_host.net.channel import Channel
from quorvane_host.net.connection import short
from quorvane_host.timing.estimate import Sample

__all__ = ["Allowance", "ClockUnsupported", "Measurement", "measure", "measure_within", "parse_object",
           "ping_rtts"]

# Statuses that say the exchange's limits are reached: a measurement ends there.
LIMITED_STATUSES = (429, 418)


class ClockUnsupported(Exception):
    """The endpoint does not answer the server-time request (the message says how it answered)."""


class Budget(Protocol):
    """The run's request budget (:class:`quorvane_host.orders.weights.RequestBudget`)."""

    def learn(self, data: Any, now_ms: float) -> None: ...
    def spend(self, now_ms: float, weight: int = 1) -> None: ...
    def measuring_allowance(self, now_ms: float) -> Optional[int]: ...


class Allowance:
    """The requests one measuring stretch may send, fixed when it begins from the run's ``budget``.

    Without a budget, or while no limit is known, every request may go;
    the first time one is known, the allowance is fixed then.  Each request
    granted is spent against the budget, and each reply read is learnt from.
    """

    def __init__(self, budget: Optional[Budget] = None, *, now_ms: Optional[float] = None) -> None:
        self.budget = budget
        self.left: Optional[int] = None
        if budget is not None:
            self.left = budget.measuring_allowance(_time.time() * 1000 if now_ms is None else now_ms)

    @property
    def spent_out(self) -> bool:
        """True when no more requests may go."""
        return self.left is not None and self.left <= 0

    def take(self, now_ms: float) -> bool:
        """One request about to go at ``now_ms``: whether it may."""
        if self.budget is None:
            return True
        if self.left is None:
            self.left = self.budget.measuring_allowance(now_ms)
        if self.left is not None:
            if self.left <= 0:
                return False
            self.left -= 1
        self.budget.spend(now_ms)
        return True

    def learn(self, data: Any, now_ms: float) -> None:
        if self.budget is not None:
            self.budget.learn(data, now_ms)


@dataclass
class Measurement:
    """What one run of server-time requests brought back."""

    samples: List[Sample] = field(default_factory=list)
    abandoned: bool = False  # a reply had not come back by the deadline: given up
    limited: bool = False  # the exchange said its limit was reached: ended there
    spent_out: bool = False  # the allowance of requests ran out: ended there
    others: int = 0  # messages that were not the reply waited for, skipped
    first_other: Optional[str] = None


async def ping_rtts(ws: Any, count: int = 8, *, timeout: float = 5.0,
                    monotonic: Callable[[], float] = _time.perf_counter) -> List[float]:
    """Round trips of ``count`` WebSocket pings over ``ws``, in ms."""
    rtts = []
    for _ in range(count):
        start = monotonic()
        pong = await ws.ping()
        await asyncio.wait_for(pong, timeout)
        rtts.append((monotonic() - start) * 1000.0)
    return rtts


def parse_object(raw: Any) -> Optional[dict]:
    """The parsed message when it is a JSON object, else None."""
    try:
        reply = json.loads(raw)
    except (TypeError, ValueError):
        return None
    return reply if isinstance(reply, dict) else None


def _server_time(reply: dict) -> int:
    if reply.get("status") == 200:
        result = reply.get("result")
        value = result.get("serverTime") if isinstance(result, dict) else None
        if isinstance(value, int) and not isinstance(value, bool) and value > 0:
            return value
    error = reply.get("error")
    if isinstance(error, dict) and error.get("msg"):
        raise ClockUnsupported(f"it answered {error.get('msg')!r}"
                               + (f" (code {error['code']})" if "code" in error else ""))
    raise ClockUnsupported(f"it answered {json.dumps(reply)[:200]}")


def _is_limited(reply: dict) -> bool:
    status = reply.get("status")
    return type(status) is int and status in LIMITED_STATUSES


async def measure_within(ch: Channel, count: int = 20, *, timeout: float = 5.0, until: Optional[float] = None,
                         spacing_s: float = 0.0,
                         on_other: Callable[[str], None] = lambda text: None,
                         allowance: Optional[Allowance] = None,
                         wall: Callable[[], float] = _time.time,
                         monotonic: Callable[[], float] = _time.perf_counter) -> Measurement:
    """Up to ``count`` server-time requests over ``ch``, one at a time.

    ``until`` (this machine's wall clock, seconds) bounds every wait: no
    request is sent whose reply would come later than that (judged by the
    slowest round trip so far), and a reply still out then is abandoned
    (:attr:`Measurement.abandoned`).  ``spacing_s``: the requests start at
    least this far apart, so that a fast way does not turn a window into
    hundreds of requests.  ``allowance``: the requests the exchange's budget
    grants (:attr:`Measurement.spent_out` when it ran out); a reply saying
    the limit is reached ends the measurement (:attr:`Measurement.limited`).
    Raises :class:`ClockUnsupported` when the endpoint answers the request
    with anything but a server time (or, in ``timeout`` s, with nothing but
    other messages), ``asyncio.TimeoutError`` when nothing at all comes back
    in ``timeout`` s.
    """
    tag = secrets.token_hex(4)
    got = Measurement()
    previous = ch.on_pushed

    def other(message: Any) -> None:
        got.others += 1
        if got.first_other is None:
            got.first_other = short(message)
            on_other(got.first_other)
        if previous is not None:
            previous(message)

    ch.on_pushed = other
    try:
        await _requests(ch, count, got, tag, timeout, until, spacing_s, allowance, wall, monotonic)
    finally:
        ch.on_pushed = previous
    return got


async def _requests(ch: Channel, count: int, got: Measurement, tag: str, timeout: float, until: Optional[float],
                    spacing_s: float, allowance: Optional[Allowance], wall: Callable[[], float],
                    monotonic: Callable[[], float]) -> None:
    first_start = monotonic()
    for n in range(count):
        if n and spacing_s > 0:
            due = first_start + n * spacing_s
            if until is not None and wall() + (due - monotonic()) > until:
                break
            if due > monotonic():
                await asyncio.sleep(due - monotonic())
        if until is not None and got.samples and \
                wall() + 1.5 * max(s.rtt_ms for s in got.samples) / 1000.0 > until:
            break
        if until is not None and wall() >= until:
            break
        sent = wall()
        if allowance is not None and not allowance.take(sent * 1000.0):
            got.spent_out = True
            break
        rid = f"clock-{tag}-{n}"
        start = monotonic()
        ch.expect(rid)
        try:
            await ch.send(json.dumps({"id": rid, "method": "time"}))
            raw = await _reply_within(ch, rid, got, timeout - (monotonic() - start),
                                      None if until is None else until - wall())
        finally:
            ch.release(rid)
        if raw is None:
            got.abandoned = True
            break
        arrived = monotonic()
        reply = parse_object(raw)
        if reply is None:  # an id in it, but not a JSON object: not a server time
            raise ClockUnsupported(f"it answered {short(raw)}")
        if allowance is not None:
            allowance.learn(reply, wall() * 1000.0)
        if _is_limited(reply):
            got.limited = True
            break
        got.samples.append(Sample(sent * 1000.0, (arrived - start) * 1000.0, _server_time(reply)))


async def _reply_within(ch: Channel, rid: str, got: Measurement, timeout_left: float,
                        until_left: Optional[float]) -> Any:
    """The reply to ``rid``; None when ``until`` came first."""
    bounded = until_left is not None and until_left < timeout_left
    left = until_left if bounded else timeout_left
    try:
        if left is None or left <= 0:
            raise asyncio.TimeoutError()
        return await ch.reply(rid, left)
    except asyncio.TimeoutError:
        if bounded:
            return None
        raise _no_reply(got) from None


def _no_reply(got: Measurement) -> Exception:
    if got.first_other is not None:
        return ClockUnsupported(f"no reply to it in time; {got.others} other message(s) came, "
                                f"the first: {got.first_other}")
    return asyncio.TimeoutError()


async def measure(ch: Channel, count: int = 20, *, timeout: float = 5.0, until: Optional[float] = None,
                  spacing_s: float = 0.0, on_other: Callable[[str], None] = lambda text: None,
                  allowance: Optional[Allowance] = None,
                  wall: Callable[[], float] = _time.time,
                  monotonic: Callable[[], float] = _time.perf_counter) -> List[Sample]:
    """The samples of :func:`measure_within` (a reply abandoned at ``until`` ends them)."""
    got = await measure_within(ch, count, timeout=timeout, until=until, spacing_s=spacing_s,
                               on_other=on_other, allowance=allowance, wall=wall, monotonic=monotonic)
    return got.samples
