"""Measuring the exchange's clock over a WebSocket connection: the server-time request.

The host measures the difference between the exchange's clock and this
machine's with the exchange API's server-time request::

    -> {"id": "clock-...-3", "method": "time"}
    <- {"id": "clock-...-3", "status": 200, "result": {"serverTime": 1796212800123}}

Each exchange gives a :class:`~quorvane_host.timing.estimate.Sample`; the
arithmetic over them is :func:`quorvane_host.timing.estimate.estimate`.
"""

from __future__ import annotations

import asyncio
import json
import secrets
import time as _time
from typing import Any, Callable, List, Optional

from quorvane_host.timing.estimate import Sample

__all__ = ["ClockUnsupported", "measure", "ping_rtts"]


class ClockUnsupported(Exception):
    """The endpoint does not answer the server-time request (the message says how it answered)."""


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




def _server_time(reply: Any) -> int:
    if isinstance(reply, dict) and reply.get("status") == 200:
        result = reply.get("result")
        value = result.get("serverTime") if isinstance(result, dict) else None
        if isinstance(value, int) and not isinstance(value, bool) and value > 0:
            return value
    error = reply.get("error") if isinstance(reply, dict) else None
    if isinstance(error, dict) and error.get("msg"):
        raise ClockUnsupported(f"it answered {error.get('msg')!r}"
                               + (f" (code {error['code']})" if "code" in error else ""))
    raise ClockUnsupported(f"it answered {json.dumps(reply)[:200]}")


async def measure(ws: Any, count: int = 20, *, timeout: float = 5.0, until: Optional[float] = None,
                  wall: Callable[[], float] = _time.time,
                  monotonic: Callable[[], float] = _time.perf_counter) -> List[Sample]:
    """Send ``count`` server-time requests over ``ws``, one at a time; return the samples.

    With ``until`` (this machine's wall clock, seconds), stop early rather
    than send a request whose reply would come later than that (judged by
    the slowest round trip so far).  Replies to other requests are skipped.
    Raises :class:`ClockUnsupported` when the endpoint answers the request
    with anything but a server time, ``asyncio.TimeoutError`` when a reply
    takes longer than ``timeout``.
    """
    tag = secrets.token_hex(4)
    samples: List[Sample] = []
    for n in range(count):
        if until is not None and samples and \
                wall() + 1.5 * max(s.rtt_ms for s in samples) / 1000.0 > until:
            break
        rid = f"clock-{tag}-{n}"
        text = json.dumps({"id": rid, "method": "time"})
        sent = wall()
        start = monotonic()
        await ws.send(text)
        while True:
            raw = await asyncio.wait_for(ws.recv(), timeout)
            arrived = monotonic()
            try:
                reply = json.loads(raw)
            except ValueError:
                raise ClockUnsupported(f"it answered with text that is not JSON: {str(raw)[:100]!r}") from None
            if not isinstance(reply, dict) or reply.get("id") in (rid, None):
                break
        samples.append(Sample(sent * 1000.0, (arrived - start) * 1000.0, _server_time(reply)))
    return samples
