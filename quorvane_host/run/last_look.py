"""The connection that measures the exchange's clock just before the module fires.

Opened with the warm connections, it carries the last look's server-time
requests (at most :data:`LAST_LOOK_REQUESTS`, spread over the window, each
wait bounded by the end of the last look) and then keeps the way warm with
a paced stream of requests until the first order has left.  A reply not
back in time is given up, and the figures from before are used.

The last look and the keep-warm stream share one allowance from the run's
request budget: together at most half of what the exchange's limits leave
when the last look begins.  Once it is spent, or a reply says the limit is
reached, the stream goes on with WebSocket pings, which weigh nothing.
"""

from __future__ import annotations

import asyncio
import gc
import time
from typing import Any

from quorvane_host.net.connection import abort_connection, is_open
from quorvane_host.net.faults import describe_fault
from quorvane_host.orders.gate import Gate
from quorvane_host.run.console_link import ConsoleLink
from quorvane_host.run.state import RunState
from quorvane_host.timing.estimate import estimate, estimate_rtt_only
from quorvane_host.timing.measure import Allowance, measure_within, ping_rtts

__all__ = ["ClockConnection", "LAST_LOOK_REQUESTS"]

# At most this many server-time requests in the last look, spread over it,
# whatever the round trip: an exchange weighs each against a budget.
LAST_LOOK_REQUESTS = 40
# Requests that keep the way warm after the last look start this far apart
# at least, and each waits for its reply this long at most.
KEEP_WARM_EVERY_MS, KEEP_WARM_WAIT_MS = 5.0, 250.0


class ClockConnection:
    """The measuring connection (``ws``: None when it could not be opened)."""

    def __init__(self, state: RunState, link: ConsoleLink, connector: Any, url: str) -> None:
        self.state = state
        self.link = link
        self.connector = connector
        self.url = url
        self.ws: Any = None
        self.allowance = Allowance(state.budget)  # fixed again when the last look begins

    def _say_skipped(self, message: str) -> None:
        self.link.host_line(f"skipped a message that is not a server-time reply: {message}")

    async def measure_again(self, until: float, window_ms: float) -> None:
        state = self.state
        self.allowance = Allowance(state.budget)
        ws = await self._reopened(until)
        if ws is None:
            return
        try:
            if state.plan.clock_sync:
                got = await measure_within(ws, LAST_LOOK_REQUESTS, until=until,
                                           spacing_s=window_ms / LAST_LOOK_REQUESTS / 1000,
                                           on_other=self._say_skipped, allowance=self.allowance)
                enough = len(got.samples) >= 4
                if enough:
                    state.clock = estimate(got.samples)
                going_by = f"the {len(got.samples)} replies before it" if enough else "the figures from the start"
                if got.abandoned:
                    self.link.host_line(
                        f"a server-time reply was not back in time for the firing: given up; going by {going_by}")
                elif got.limited:
                    self.link.host_line(f"the exchange's request limit was reached in the last look: "
                                        f"going by {going_by}")
            else:
                left = until - time.time()
                if left > 0:
                    state.clock = estimate_rtt_only(await asyncio.wait_for(ping_rtts(ws, 8), left))
        except asyncio.TimeoutError:
            self.link.host_line("the pings were not back in time for the firing: given up; "
                                "going by the figures from the start")
        except Exception as exc:  # the figures from before still hold
            self.link.host_line(f"measuring the clock again failed ({describe_fault(exc)}); "
                                "going by the figures from the start")

    async def _reopened(self, until: float) -> Any:
        """The connection for the last look: the one opened with the pool, or a new one if it was lost."""
        if self.ws is not None and is_open(self.ws):
            return self.ws
        old, self.ws = self.ws, None
        if old is not None:
            abort_connection(old)
        left = until - time.time()
        try:
            if left <= 0:
                raise asyncio.TimeoutError()
            # With options, the connector opens a connection of its own, not one of the pool's.
            self.ws = await asyncio.wait_for(self.connector.connect(self.url, open_timeout=left), left)
            self.ws.on_pushed = None  # not an order's: the measurement notes what it pushes
        except Exception as exc:
            self.link.host_line(f"cannot measure the clock again ({describe_fault(exc)}); "
                                "going by the figures from the start")
        return self.ws

    async def keep_warm(self, gate: Gate) -> None:
        """Server-time requests, one after the other, until the first order is placed.

        A request that follows a pause reaches the exchange later than one
        in a steady stream (measured here: 0.7 ms later after a 30 ms pause,
        1.5 ms after a second, over a 2 ms round trip): the ends of the way
        wake up from idle.  The clock was measured in a steady stream, so the
        first order goes out in one too; paced, so that a fast way does not
        turn it into hundreds of requests.  A reply that does not come
        ends the stream.  The server-time requests stay within the allowance
        the last look began; past it, or once the exchange says its limit is
        reached, pings keep the way warm.
        """
        ws, loop = self.ws, asyncio.get_running_loop()
        wait_s = max(KEEP_WARM_WAIT_MS / 1000, 4 * self.state.clock.rtt_median_ms / 1000)
        timing = self.state.plan.clock_sync
        try:
            while not gate.orders:
                started = loop.time()
                if timing:
                    got = await measure_within(ws, 1, timeout=wait_s, allowance=self.allowance)
                    timing = not (got.limited or got.spent_out)
                else:
                    await ping_rtts(ws, 1, timeout=wait_s)
                pause = KEEP_WARM_EVERY_MS / 1000 - (loop.time() - started)
                if pause > 0 and not gate.orders:
                    await asyncio.sleep(pause)
        except Exception:  # only a help; the order does not depend on it
            pass
        finally:
            gc.enable()  # the first order has left (see the trigger)

    async def close(self) -> None:
        ws, self.ws = self.ws, None
        if ws is not None:
            try:
                await ws.close()
            except BaseException:
                abort_connection(ws)
                raise
