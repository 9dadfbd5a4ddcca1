"""The host's order path, wired as the host wires it, on the virtual loop and the in-memory network.

What runs is the host's own: the module itself (its ``websockets`` and
``time`` rebound), the gate with its ledger, pace and stop rule, the
observer, the connector's pool and each connection's reader, the trigger's
driving loop, the order queries, and the exit status.  Only the phases
around them (the start-up checks, the countdown and the clock's
measurement) are left out: the host is entered at the moment it fires,
knowing the exchange's clock to within a few milliseconds.
"""

import asyncio
import contextlib
import ctypes
import io
import os
import ssl
import types
import uuid

import quorvane_3
from quorvane_host.net.connector import Connector, Opening
from quorvane_host.orders.exit_status import bought_orders, exit_status, unknown_outcomes
from quorvane_host.orders.gate import Gate
from quorvane_host.orders.observer import Observer
from quorvane_host.orders.pace import Pace
from quorvane_host.orders.refusals import Refusals
from quorvane_host.orders.weights import RequestBudget
from quorvane_host.run import trigger
from quorvane_host.run.outcomes import order_queries
from quorvane_host.run.stopping import Interrupted
from quorvane_host.timing.firing import plan_firing
from quorvane_host.timing.offset_clock import OffsetClock

from .wire import Connecting

URL = "wss://exchange.sim:443/ws-api/v3"
KEY, SECRET, SYMBOL = "sim-key", "sim-secret", "QRVUSD"
GRACE_S = 2.0  # --grace
POLL_S = 1e-6  # what one pass of the module's busy-poll costs, in virtual time
_TLS = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)  # never used: made once, a default one costs 0.1 s


class Run:
    """One run of the host against ``world`` (loop, network, exchange, behaviour)."""

    def __init__(self, world):
        self.w = world
        self.lines = []
        self.stop_request_at = None  # virtual s
        self.exit = None
        self.fire_s = None
        self.gate = self.pool = None
        self.unknown_at_exit = None
        self.ended_s = None  # virtual s at which the trigger ended
        self.session = None  # the task of :meth:`main`, which a stop request cancels
        self._saved = {}

    def _connector(self):
        net = self.w.net
        saved, ssl.create_default_context = ssl.create_default_context, lambda *a, **k: _TLS
        try:
            connector = Connector("exchange.sim", 443)
        finally:
            ssl.create_default_context = saved
        connector._open = lambda target, **options: Opening(Connecting(net), on_pushed=connector.on_pushed)
        return connector

    async def main(self):
        """The host from the moment its module fires to the end of the trigger, wired as the run wires it."""
        w, b, loop = self.w, self.w.b, self.w.loop
        est_offset = b.skew_ms + w.rng.uniform(-2, 2)  # as the last look measured it
        delay_ms = b.rtt_s * 500
        firing = plan_firing(int(b.announced_ms), est_offset, delay_ms=delay_ms, aim_ms=1.0)
        connector = self.connector = self._connector()
        pool = self.pool = connector.start_pool(URL, 2, max_new_per_minute=60, say=self.lines.append) \
            if b.pool else None
        gate = self.gate = Gate(connector, b.max_orders, pace=Pace(5.0), on_skipped=self.lines.append,
                                sleep_blocking=loop.blocking_sleep)
        plan = types.SimpleNamespace(api_key=KEY, secret=SECRET, symbol=SYMBOL, quantity=b.quantity, orders=b.wanted,
                                     time_limit=b.time_limit_s, grace=GRACE_S, open_ms=b.announced_ms,
                                     max_new_per_minute=60, order_query=True)
        state = types.SimpleNamespace(
            plan=plan, gate=gate, firing=firing, clock=types.SimpleNamespace(rtt_median_ms=b.rtt_s * 1000),
            offset_ms=lambda: est_offset, local_ms=lambda exchange_ms: exchange_ms - est_offset,
            reentries=0, error=None, timed_out_in_flight=False, budget=RequestBudget())
        w.net.in_play = gate.ledger.may_have_bought
        gate.budget = state.budget
        Observer(b.wanted, gate, Refusals(int(b.announced_ms)), lambda: (est_offset, delay_ms))
        if pool is not None:
            with contextlib.suppress(Exception):
                await pool.fill()
        fire_local = firing.fire_at_ms - firing.clock_offset_ms + (-firing.fire_at_ms % 1)
        await asyncio.sleep(max(0.0, fire_local - loop.wall_ms()) / 1000)
        self.fire_s = loop.time()
        for at, silent in b.cuts:
            loop.call_later(max(0.0, at), w.exchange.cut_one, silent)
        if b.stop_request_s is not None:
            loop.call_later(b.stop_request_s, self._stop_request)
        module = self._module(gate, firing)
        link = types.SimpleNamespace(host_line=self.lines.append)
        queries = order_queries(state, link, module, connector, URL, repr(float(b.quantity)))
        try:
            await trigger.drive(state, link, module, queries)
        finally:
            self.ended_s = loop.time()

    async def finish(self):
        """After the trigger, however it ended: connections closed, then the exit status as the run gives it."""
        gate, b = self.gate, self.w.b
        if self.pool is not None:
            await self.pool.aclose()
        stop_status = 130 if self.stop_request_at is not None else None
        self.unknown_at_exit = unknown_outcomes(gate.orders)
        self.exit = exit_status(b.wanted, bought_orders(gate.orders), self.unknown_at_exit, stop_status)

    def _module(self, gate, firing):
        loop = self.w.loop

        def clock():  # a read of the clock costs a pass of the poll: the poll ends in virtual time too
            loop.advance(POLL_S)
            return loop.wall()

        rng = self.w.rng
        self._saved = {name: getattr(quorvane_3, name) for name in ("websockets", "time", "uuid")}
        quorvane_3.websockets = gate
        quorvane_3.time = OffsetClock(firing.clock_offset_ms, base=clock)
        # Request ids from the seed, so that a replay shows the same ones.
        quorvane_3.uuid = types.SimpleNamespace(uuid4=lambda: uuid.UUID(int=rng.getrandbits(128), version=4))
        return quorvane_3

    def restore_module(self):
        """The module's globals as they were: other users of the module in this process see no trace."""
        for name, value in self._saved.items():
            setattr(quorvane_3, name, value)

    def _stop_request(self):
        """Ctrl-C, as the host's handler takes it: the gate closes first; then, unless orders have left
        (their replies are read and the run ends by itself), the session is cancelled."""
        self.stop_request_at = self.w.loop.time()
        if not self.gate.halt(Interrupted.said, Interrupted) and self.session is not None:
            self.session.cancel()  # nothing has left: the run ends at once


_quiet_depth = 0


@contextlib.contextmanager
def quiet():
    """The module's own lines are not the simulation's output: its ``print`` and its C ``printf`` both."""
    global _quiet_depth
    if _quiet_depth:
        yield
        return
    libc = ctypes.CDLL(None)
    libc.fflush(None)
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    _quiet_depth += 1
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        _quiet_depth -= 1
        libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
