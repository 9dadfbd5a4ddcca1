"""Measuring the exchange's clock over a WebSocket connection: the server-time request.

The host measures the difference between the exchange's clock and this
machine's with the exchange API's server-time request::

    -> {"id": "clock-...-3", "method": "time"}
    <- {"id": "clock-...-3", "status": 200, "result": {"serverTime": 1796212800123}}

A reply counts only when it carries the request's id: exchanges push
messages of their own (a greeting on connect, events), and a reply to an
earlier request may come late.  Anything else is skipped, the first one
shown through ``on_other``.

Each exchange gives a :class:`~quorvane_host.timing.estimate.Sample`; the
arithmetic over them is :func:`quorvane_host.timing.estimate.estimate`.
"""

from __future__ import annotations

import asyncio
import json
import secrets
import time as _time
from dataclasses import dataclass, field
from typing import Any, Callable, List, Optional

from quorvane_host.net.connection import short
from quorvane_host.timing.estimate import Sample

__all__ = ["ClockUnsupported", "Measurement", "measure", "measure_within", "parse_object", "ping_rtts"]


class ClockUnsupported(Exception):
    """The endpoint does not answer the server-time request (the message says how it answered)."""


@dataclass
class Measurement:
    """What one run of server-time requests brought back."""

    samples: List[Sample] = field(default_factory=list)
    abandoned: bool = False  # a reply had not come back by the deadline: given up
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


async def measure_within(ws: Any, count: int = 20, *, timeout: float = 5.0, until: Optional[float] = None,
                         spacing_s: float = 0.0,
                         on_other: Callable[[str], None] = lambda text: None,
                         wall: Callable[[], float] = _time.time,
                         monotonic: Callable[[], float] = _time.perf_counter) -> Measurement:
    """Up to ``count`` server-time requests over ``ws``, one at a time.

    ``until`` (this machine's wall clock, seconds) bounds every wait: no
    request is sent whose reply would come later than that (judged by the
    slowest round trip so far), and a reply still out then is abandoned
    (:attr:`Measurement.abandoned`).  ``spacing_s``: the requests start at
    least this far apart, so that a fast way does not turn a window into
    hundreds of requests (an exchange weighs each against a budget).
    Raises :class:`ClockUnsupported` when the endpoint answers the request
    with anything but a server time (or, in ``timeout`` s, with nothing but
    other messages), ``asyncio.TimeoutError`` when nothing at all comes back
    in ``timeout`` s.
    """
    tag = secrets.token_hex(4)
    got = Measurement()
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
        rid = f"clock-{tag}-{n}"
        sent = wall()
        start = monotonic()
        await ws.send(json.dumps({"id": rid, "method": "time"}))
        reply = await _reply_to(ws, rid, got, on_other,
                                lambda: timeout - (monotonic() - start),
                                None if until is None else lambda: until - wall())
        if reply is None:
            got.abandoned = True
            break
        arrived = monotonic()
        got.samples.append(Sample(sent * 1000.0, (arrived - start) * 1000.0, _server_time(reply)))
    return got


async def _reply_to(ws: Any, rid: str, got: Measurement, on_other: Callable[[str], None],
                    timeout_left: Callable[[], float],
                    until_left: Optional[Callable[[], float]]) -> Optional[dict]:
    """The reply with id ``rid``; None when ``until`` came first. Other messages are skipped."""
    while True:
        left = timeout_left()
        bounded = until_left is not None and until_left() < left
        if bounded:
            left = until_left()  # type: ignore[misc]
        if left <= 0:
            if bounded:
                return None
            raise _no_reply(got)
        try:
            raw = await asyncio.wait_for(ws.recv(), left)
        except asyncio.TimeoutError:
            if bounded:
                return None
            raise _no_reply(got) from None
        reply = parse_object(raw)
        if reply is not None and reply.get("id") == rid:
            return reply
        got.others += 1
        if got.first_other is None:
            got.first_other = short(raw)
            on_other(got.first_other)


def _no_reply(got: Measurement) -> Exception:
    if got.first_other is not None:
        return ClockUnsupported(f"no reply to it in time; {got.others} other message(s) came, "
                                f"the first: {got.first_other}")
    return asyncio.TimeoutError()


async def measure(ws: Any, count: int = 20, *, timeout: float = 5.0, until: Optional[float] = None,
                  spacing_s: float = 0.0, on_other: Callable[[str], None] = lambda text: None,
                  wall: Callable[[], float] = _time.time,
                  monotonic: Callable[[], float] = _time.perf_counter) -> List[Sample]:
    """The samples of :func:`measure_within` (a reply abandoned at ``until`` ends them)."""
    got = await measure_within(ws, count, timeout=timeout, until=until, spacing_s=spacing_s,
                               on_other=on_other, wall=wall, monotonic=monotonic)
    return got.samples
