"""The second phase: from the start-up check to the moment the module is entered.

It waits in the event loop with the countdown; a few seconds before the
opening it fills the pool of warm connections (:mod:`quorvane_host.net.pool`)
and opens one more connection to measure the exchange's clock again until
just before the module fires (the last look, in which every warm connection
is also pinged), plans the firing (:mod:`quorvane_host.timing.firing`), binds
the module's ``time`` to a clock that follows the exchange's, keeps
server-time requests flowing until the first order has left, and sleeps
(blocking, to the microsecond) to just before the module fires.

Nothing in the last look may delay the firing: every wait in it ends when
the last look does, and what has not come back by then is given up.
"""

from __future__ import annotations

import asyncio
import gc
import math
import time
from typing import Any, Optional

from quorvane_host.cli.console import SHIFT_MARK
from quorvane_host.cli.options import AIM_SAFETY_MS
from quorvane_host.net.faults import describe_fault
from quorvane_host.net.pool import abort_connection, is_open
from quorvane_host.orders.gate import Gate
from quorvane_host.run.console_link import ConsoleLink
from quorvane_host.run.state import RunState
from quorvane_host.timing.estimate import estimate, estimate_rtt_only
from quorvane_host.timing.firing import plan_firing
from quorvane_host.timing.measure import measure, measure_within, ping_rtts
from quorvane_host.timing.offset_clock import OffsetClock

__all__ = ["Approach"]

CLOCK_SAMPLES_AGAIN = 16
# At most this many server-time requests in the last look, spread over it,
# whatever the round trip: an exchange weighs each against a budget.
LAST_LOOK_REQUESTS = 40
PREPARE_S = 5.0  # open the warm connections this long before the opening
LAST_LOOK_MS = 600  # measure the clock again for at least this long just before the module fires
# Requests that keep the way warm after the last look start this far apart
# at least, and each waits for its reply this long at most.
KEEP_WARM_EVERY_MS, KEEP_WARM_WAIT_MS = 5.0, 250.0
# Enter the module (which then holds the thread) this long before it fires,
# after a blocking sleep from SLEEP_BEFORE_MS; the last look at the clock
# ends 2 * WAKE_BEFORE_MS before it fires.
ENTER_BEFORE_MS, SLEEP_BEFORE_MS, WAKE_BEFORE_MS = 1.0, 6.0, 15


def sleep_until(local_ms: float) -> None:
    """A blocking sleep until this machine's clock reads ``local_ms``."""
    while True:
        left = local_ms - time.time() * 1000
        if left <= 0:
            return
        time.sleep(left / 1000)


class Approach:
    """Wait, warm up, take the last look, and hand over to the trigger at the right microsecond."""

    def __init__(self, state: RunState, link: ConsoleLink, connector: Any, url: str) -> None:
        self.state = state
        self.link = link
        self.connector = connector
        self.url = url
        self.pool: Any = None
        self.ws: Any = None  # the connection that measures the clock
        self._warm: Optional[asyncio.Future] = None

    async def run(self, module: Any) -> float:
        """Until the module is to be entered; returns this machine's time at which it fires (ms)."""
        state, plan = self.state, self.state.plan
        await self.wait_until(state.local_ms(plan.open_ms - PREPARE_S * 1000))
        await self._warm_up()
        self._plan_firing()
        if self.ws is not None or self.pool is not None:
            await self._last_look()
        if plan.clock_sync or plan.compensate:
            module.time = OffsetClock(state.firing.clock_offset_ms)
        self._say_plan()
        if self.ws is not None:
            self._warm = asyncio.ensure_future(self._keep_warm(self.ws, state.gate))
        fire_local = self._fire_local()
        await self.wait_until(fire_local - SLEEP_BEFORE_MS)
        # The last milliseconds in one blocking sleep, which wakes to the
        # microsecond where the event loop's timers wake to the
        # millisecond: the module then polls for only about a
        # millisecond, too short for a busy machine to take the processor
        # away from it before it fires.
        sleep_until(fire_local - ENTER_BEFORE_MS)
        return fire_local

    async def wait_until(self, local_ms: float) -> None:
        """Wait in the event loop, showing the countdown to the real opening."""
        opening = self.state.local_ms(self.state.plan.open_ms)
        while True:
            now = time.time() * 1000
            if now >= local_ms:
                return
            self.link.countdown(opening - now)
            await asyncio.sleep(min(0.1, (local_ms - now) / 1000))

    async def _warm_up(self) -> None:
        """Fill the pool, and open a connection for the last look at the clock."""
        plan = self.state.plan
        connecting = self.connector.connect(self.url)  # for measuring: not one of the pool's
        if plan.pool_size:
            self.pool = self.connector.start_pool(self.url, plan.pool_size,
                                                  max_new_per_minute=plan.max_new_per_minute,
                                                  say=self.link.host_line)
            try:
                await self.pool.fill()
            except Exception as exc:
                self.link.host_line(f"no warm connections ({describe_fault(exc)}): "
                                    "each order opens its own")
        try:
            self.ws = await connecting
        except Exception as exc:
            self.link.host_line(f"cannot measure the clock again ({describe_fault(exc)}); "
                                "going by the figures from the start")

    def _fire_local(self) -> float:
        """This machine's time at which the module fires by the current plan."""
        firing = self.state.firing
        # The module's clock then reads the whole ms at which it fires.
        return math.ceil(firing.fire_at_ms) - firing.clock_offset_ms

    def _plan_firing(self) -> None:
        state = self.state
        plan, est = state.plan, state.clock
        aim = plan.aim_ms if plan.aim_ms is not None else est.early_ms + AIM_SAFETY_MS
        state.firing = plan_firing(plan.open_ms, est.offset_ms if plan.clock_sync else 0.0,
                                   delay_ms=est.delay_ms, aim_ms=aim, compensate=plan.compensate)

    async def _last_look(self) -> None:
        """Measure the clock until just before the module fires, ping the pool, then plan the firing.

        The requests go on until the last moment so that the way to the
        exchange (and both ends of it) is as busy as it is for the orders,
        and the figures are as fresh as they can be.  Every wait ends at
        the end of the last look: a reply not back by then is given up, and
        the figures from before are used.
        """
        state = self.state
        window_ms = max(LAST_LOOK_MS, CLOCK_SAMPLES_AGAIN * state.clock.rtt_median_ms * 1.2)
        # Collect now, and leave what is there to the end: the collections
        # that still happen (until the module is entered) are then short.
        gc.collect()
        gc.freeze()
        await self.wait_until(self._fire_local() - 2 * WAKE_BEFORE_MS - window_ms)
        until = (self._fire_local() - 2 * WAKE_BEFORE_MS) / 1000
        pinging = None
        if self.pool is not None:
            pinging = asyncio.ensure_future(self.pool.check_alive(
                min(self._answer_within_s(), until - time.time())))
        try:
            if self.ws is not None:
                await self._measure_again(until, window_ms)
            dropped = await pinging if pinging is not None else 0
        except BaseException:
            if pinging is not None:
                pinging.cancel()
            raise
        if dropped:
            self.link.host_line(f"{dropped} warm connection(s) did not answer a ping: "
                                "dropped, and others opened")
        self._plan_firing()

    def _say_skipped(self, message: str) -> None:
        self.link.host_line(f"skipped a message that is not a server-time reply: {message}")

    def _answer_within_s(self) -> float:
        """How long a live connection may take to answer a ping, in s."""
        return max(0.1, 4 * self.state.clock.rtt_median_ms / 1000)

    async def _measure_again(self, until: float, window_ms: float) -> None:
        state = self.state
        ws = await self._measuring_connection(until)
        if ws is None:
            return
        try:
            if state.plan.clock_sync:
                got = await measure_within(ws, LAST_LOOK_REQUESTS, until=until,
                                           spacing_s=window_ms / LAST_LOOK_REQUESTS / 1000,
                                           on_other=self._say_skipped)
                enough = len(got.samples) >= 4
                if enough:
                    state.clock = estimate(got.samples)
                if got.abandoned:
                    self.link.host_line(
                        "a server-time reply was not back in time for the firing: given up; going by "
                        + (f"the {len(got.samples)} replies before it" if enough else "the figures from the start"))
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

    async def _measuring_connection(self, until: float) -> Any:
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
        except Exception as exc:
            self.link.host_line(f"cannot measure the clock again ({describe_fault(exc)}); "
                                "going by the figures from the start")
        return self.ws

    async def _keep_warm(self, ws: Any, gate: Gate) -> None:
        """Server-time requests, one after the other, until the first order is placed.

        A request that follows a pause reaches the exchange later than one
        in a steady stream (measured here: 0.7 ms later after a 30 ms pause,
        1.5 ms after a second, over a 2 ms round trip): the ends of the way
        wake up from idle.  The clock was measured in a steady stream, so the
        first order goes out in one too; paced, so that a fast way does not
        turn it into hundreds of requests.  A reply that does not come
        ends the stream.
        """
        loop = asyncio.get_running_loop()
        wait_s = max(KEEP_WARM_WAIT_MS / 1000, 4 * self.state.clock.rtt_median_ms / 1000)
        try:
            while not gate.orders:
                started = loop.time()
                if self.state.plan.clock_sync:
                    await measure(ws, 1, timeout=wait_s)
                else:
                    await ping_rtts(ws, 1, timeout=wait_s)
                pause = KEEP_WARM_EVERY_MS / 1000 - (loop.time() - started)
                if pause > 0 and not gate.orders:
                    await asyncio.sleep(pause)
        except Exception:  # only a help; the order does not depend on it
            pass
        finally:
            gc.enable()  # the first order has left (see the trigger)

    def _say_plan(self) -> None:
        state = self.state
        plan, est, firing = state.plan, state.clock, state.firing
        self.link.write(f"{SHIFT_MARK}{firing.shift_ms}")
        pool = self.pool
        ready = (f"{pool.ready} warm connection{'' if pool.ready == 1 else 's'}" if pool is not None
                 else "no warm connections")
        # Indented like the other lines under the run's first line.
        if plan.compensate:
            aim = firing.arrive_at_ms - plan.open_ms
            self.link.host_line(f"  last look: {est.describe()}; {ready}; first order aimed to reach the "
                                f"exchange {aim:.1f} ms after the opening")
        else:
            self.link.host_line(f"  last look: {est.describe()}; {ready}; the module fires by the opening "
                                "time unchanged")

    async def close(self) -> None:
        """Stop the requests, close the measuring connection and the pool, keep the pool's figures.

        Each step runs even when the one before is cancelled or cut short by
        a stop request: a connection left open here would outlive the event
        loop.
        """
        if self._warm is not None:
            self._warm.cancel()
        ws, pool = self.ws, self.pool
        try:
            if ws is not None:
                try:
                    await ws.close()
                except BaseException:
                    abort_connection(ws)
                    raise
        finally:
            if pool is not None:
                try:
                    await pool.aclose()
                finally:
                    self.state.pool_stats = {
                        "size": pool.size, "opened": pool.opened, "warm": pool.handed_out,
                        "cold": pool.cold, "dropped": pool.dropped, "reused": pool.reused,
                        "unanswered": pool.unanswered, "pushed": pool.pushed, "failures": pool.failures[:5],
                        "taken_at_ms": [t * 1000 for t in pool.taken_at]}
