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
from typing import Any, Optional, Set

from quorvane_host.cli.console import SHIFT_MARK
from quorvane_host.cli.plan import AIM_SAFETY_MS
from quorvane_host.net.faults import describe_fault
from quorvane_host.run.last_look import ClockConnection
from quorvane_host.run.console_link import ConsoleLink
from quorvane_host.run.state import RunState
from quorvane_host.timing.firing import plan_firing
from quorvane_host.timing.offset_clock import OffsetClock
from quorvane_host.words import plural

__all__ = ["Approach"]

CLOCK_SAMPLES_AGAIN = 16
PREPARE_S = 5.0  # open the warm connections this long before the opening
LAST_LOOK_MS = 600  # measure the clock again for at least this long just before the module fires
# Enter the module (which then holds the thread) this long before it fires,
# after a blocking sleep from SLEEP_BEFORE_MS; the last look at the clock
# ends 2 * WAKE_BEFORE_MS before it fires.
ENTER_BEFORE_MS, SLEEP_BEFORE_MS, WAKE_BEFORE_MS = 1.0, 6.0, 15


async def _within(tasks: Set[asyncio.Future], until_ms: float) -> None:
    """Wait for ``tasks`` until this machine's clock reads ``until_ms``; what is not done by then goes on."""
    left = (until_ms - time.time() * 1000) / 1000
    if left > 0 and not all(t.done() for t in tasks):
        await asyncio.wait(tasks, timeout=left)


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
        self.clock_conn = ClockConnection(state, link, connector, url)
        self._warm: Optional[asyncio.Future] = None
        self._filling: Optional[asyncio.Future] = None

    async def run(self, module: Any) -> float:
        """Until the module is to be entered; returns this machine's time at which it fires (ms)."""
        state, plan = self.state, self.state.plan
        await self.wait_until(state.local_ms(plan.open_ms - PREPARE_S * 1000))
        self._plan_firing()
        await self._warm_up(until_ms=self._last_look_starts())
        self._plan_firing()
        if self.clock_conn.ws is not None or self.pool is not None:
            await self._last_look()
        if plan.clock_sync or plan.compensate:
            module.time = OffsetClock(state.firing.clock_offset_ms)
        self._say_plan()
        if self.clock_conn.ws is not None:
            self._warm = asyncio.ensure_future(self.clock_conn.keep_warm(state.gate))
        fire_local = self._fire_local()
        await self.wait_until(fire_local - SLEEP_BEFORE_MS)
        # From here until the first order has left: the console's lines held
        # back, and the priority raised (so the sleep below wakes on time too).
        if state.firing_window is not None:
            state.firing_window.begin()
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

    async def _warm_up(self, until_ms: float) -> None:
        """Fill the pool, and open a connection for the last look at the clock, until ``until_ms``.

        A handshake that has not finished by then (this machine's clock) does
        not hold up the last look: the pool goes on filling in the
        background, and the last look goes by the figures from the start.
        """
        plan = self.state.plan
        # For measuring: not one of the pool's.
        measuring = asyncio.ensure_future(self.connector.connect(self.url))
        # From here on a message pushed on an order's connection is the gate's to note.
        self.connector.on_pushed = self.state.gate.skipped
        if plan.pool_size:
            self.pool = self.connector.start_pool(self.url, plan.pool_size,
                                                  max_new_per_minute=plan.max_new_per_minute,
                                                  say=self.link.host_line)
            self._filling = asyncio.ensure_future(self.pool.fill())
            # Its failure is said below, or, once it has gone on past the last look, counted by the pool.
            self._filling.add_done_callback(lambda task: task.cancelled() or task.exception())
            await _within({self._filling, measuring}, until_ms)
            if self._filling.done() and self._filling.exception() is not None:
                self.link.host_line(f"no warm connections ({describe_fault(self._filling.exception())}): "
                                    "each order opens its own")
            elif not self._filling.done():
                self.link.host_line("warm connections still opening at the last look: going on "
                                    f"with {self.pool.ready} ready")
        await _within({measuring}, until_ms)
        if not measuring.done():
            measuring.cancel()
            self.link.host_line("cannot measure the clock again (no connection in time); "
                                "going by the figures from the start")
        elif measuring.exception() is not None:
            self.link.host_line(f"cannot measure the clock again ({describe_fault(measuring.exception())}); "
                                "going by the figures from the start")
        else:
            self.clock_conn.ws = measuring.result()

    def _last_look_starts(self) -> float:
        """This machine's time at which the last look begins, by the current plan."""
        return self._fire_local() - 2 * WAKE_BEFORE_MS - self._last_look_window_ms()

    def _last_look_window_ms(self) -> float:
        return max(LAST_LOOK_MS, CLOCK_SAMPLES_AGAIN * self.state.clock.rtt_median_ms * 1.2)

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
        window_ms = self._last_look_window_ms()
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
            if self.clock_conn.ws is not None:
                await self.clock_conn.measure_again(until, window_ms)
            dropped = await pinging if pinging is not None else 0
        except BaseException:
            if pinging is not None:
                pinging.cancel()
            raise
        if dropped:
            self.link.host_line(f"{plural(dropped, 'warm connection')} did not answer a ping: dropped, and "
                                + ("another opened" if dropped == 1 else "others opened"))
        self._plan_firing()

    def _answer_within_s(self) -> float:
        """How long a live connection may take to answer a ping, in s."""
        return max(0.1, 4 * self.state.clock.rtt_median_ms / 1000)

    def _say_plan(self) -> None:
        state = self.state
        plan, est, firing = state.plan, state.clock, state.firing
        self.link.write(f"{SHIFT_MARK}{firing.shift_ms}")
        pool = self.pool
        ready = (plural(pool.ready, 'warm connection') if pool is not None
                 else "no warm connections")
        # Indented like the other lines under the run's first line.
        if plan.compensate:
            aim = firing.arrive_at_ms - plan.open_ms
            self.link.host_line(f"  last look: {est.describe()}; {ready}; first order aimed to reach the "
                                f"exchange {aim:.1f} ms after the opening")
        else:
            self.link.host_line(f"  last look: {est.describe()}; {ready}; the module fires by the opening "
                                "time unchanged")
        window = state.firing_window
        if window is not None and window.priority is not None:
            self.link.host_line("  " + window.priority.probe())

    async def close(self) -> None:
        """Stop the requests, close the measuring connection and the pool, keep the pool's figures.

        Each step runs even when the one before is cancelled or cut short by
        a stop request: a connection left open here would outlive the event
        loop.
        """
        if self._warm is not None:
            self._warm.cancel()
        pool = self.pool
        try:
            if self._filling is not None and not self._filling.done():
                self._filling.cancel()  # what it opened is closed, not lost
                await asyncio.wait({self._filling})
            await self.clock_conn.close()
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
