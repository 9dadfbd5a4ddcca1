"""The event loop the host runs on: uvloop's where it is installed, else asyncio's own.

Every order's bytes pass through the event loop twice: out through its TLS
and socket transports, and back in through them to the waiting order.
asyncio's own loop does that in Python (its TLS layer, on Python 3.9, is
written in Python); uvloop does it in compiled code.  On loopback, where
the host's own processor time is what an order waits for, that is about
50 µs less per order, a sixth of the host's time (``docs/design.md``).

The loop decides nothing: the orders, their timing (the module's own
clock, and blocking sleeps for the last milliseconds of a wait) and the
ledger are the same on either.  ``QUORVANE_EVENT_LOOP=asyncio`` keeps
asyncio's own, to rule the loop out when something looks wrong.
"""

from __future__ import annotations

import asyncio
import os
from typing import Optional

__all__ = ["ENV_EVENT_LOOP", "fast_event_loop"]

ENV_EVENT_LOOP = "QUORVANE_EVENT_LOOP"


def fast_event_loop() -> Optional[asyncio.AbstractEventLoop]:
    """A new uvloop event loop, or None: not installed, or asyncio's own asked for."""
    if os.environ.get(ENV_EVENT_LOOP, "").strip().lower() == "asyncio":
        return None
    try:
        import uvloop
    except ImportError:  # a platform without it: asyncio's own loop does the same work
        return None
    return uvloop.new_event_loop()
