"""An asyncio event loop that runs in virtual time.

Nothing waits for real: when no callback is ready, the clock jumps to the
next timer.  A loop with nothing ready and no timer can never make progress
again; it raises :class:`Stalled` rather than hang.  ``time.time`` and
``time.sleep`` can be pointed at the same clock for the length of a run
(:meth:`VirtualLoop.patched_time`), so that code reading the wall clock, or
sleeping in a blocking call, sees the virtual time too.
"""

import asyncio
import contextlib
import selectors
import time

EPOCH_S = 1_796_000_000.0  # the wall clock's reading at virtual time 0


class Stalled(RuntimeError):
    """Nothing is ready and nothing is scheduled: the run would hang forever."""


class RanAway(RuntimeError):
    """The run took more steps than any run should: a loop that never ends in virtual time."""


MAX_STEPS = 500_000  # loop passes of one run


class _Selector(selectors.BaseSelector):
    """No file descriptors: a select with a timeout is the clock moving on."""

    def __init__(self, loop):
        self._loop = loop
        self._map = {}

    def register(self, fileobj, events, data=None):
        raise NotImplementedError("a virtual loop has no file descriptors")

    def unregister(self, fileobj):
        raise KeyError(fileobj)

    def select(self, timeout=None):
        if timeout is None:
            raise Stalled("nothing ready and nothing scheduled")
        self._loop.advance(timeout)
        return []

    def get_map(self):
        return self._map


class VirtualLoop(asyncio.BaseEventLoop):
    def __init__(self):
        super().__init__()
        self._now = 0.0
        self._selector = _Selector(self)
        self.steps = 0

    def _run_once(self):
        self.steps += 1
        if self.steps > MAX_STEPS:
            raise RanAway(f"more than {MAX_STEPS} loop passes, at {self._now:.1f} s virtual")
        super()._run_once()

    def time(self):
        return self._now

    def advance(self, seconds):
        if seconds > 0:
            self._now += seconds

    def wall(self):
        """The wall clock, in seconds since the epoch."""
        return EPOCH_S + self._now

    def wall_ms(self):
        return (EPOCH_S + self._now) * 1000

    def blocking_sleep(self, seconds):
        self.advance(seconds)

    def _process_events(self, event_list):
        pass

    def _write_to_self(self):
        pass

    @contextlib.contextmanager
    def patched_time(self):
        """``time.time`` and ``time.sleep`` on this loop's clock, until the block ends."""
        saved = time.time, time.sleep
        time.time, time.sleep = self.wall, self.blocking_sleep
        try:
            yield
        finally:
            time.time, time.sleep = saved
