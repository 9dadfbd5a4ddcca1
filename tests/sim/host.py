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

import quorvane_3
from quorvane_host.net.connector import Connector, Opening
from quorvane_host.orders.asking import OrderQueries
from quorvane_host.orders.exit_status import exit_status
from quorvane_host.orders.gate import OUTCOME_WAIT_MS, Gate
from quorvane_host.orders.observer import Observer
from quorvane_host.orders.pace import Pace
from quorvane_host.orders.refusals import Refusals
from quorvane_host.run import trigger
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
        self.gate = None
        self.session = None  # the task of :meth:`main`, which a stop request cancels

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
        w, b, loop = self.w, self.w.b, self.w.loop
        est_offset = b.skew_ms + w.rng.uniform(-2, 2)  # as the last look measured it
        delay_ms = b.rtt_s * 500
        firing = plan_firing(int(b.announced_ms), est_offset, delay_ms=delay_ms, aim_ms=1.0)
        connector = self._connector()
        pool = connector.start_pool(URL, 2, max_new_per_minute=60, say=self.lines.append) if b.pool else None
        gate = self.gate = Gate(connector, b.max_orders, wanted=b.wanted, pace=Pace(5.0), now_ms=loop.wall_ms,
                                sleep_blocking=loop.blocking_sleep, on_skipped=self.lines.append)
        Observer(b.wanted, gate, Refusals(int(b.announced_ms)), lambda: (est_offset, delay_ms), loop.wall_ms)
        queries = OrderQueries(gate.ledger, self._request(connector), quorvane_3.sign_request, KEY, SECRET,
                               SYMBOL, repr(float(b.quantity)), lambda: (est_offset, b.rtt_s * 1000),
                               loop.wall_ms, say=self.lines.append)
        gate.can_ask = True
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
        state = types.SimpleNamespace(
            plan=types.SimpleNamespace(api_key=KEY, secret=SECRET, symbol=SYMBOL, quantity=b.quantity,
                                       time_limit=b.time_limit_s, grace=GRACE_S, open_ms=b.announced_ms,
                                       max_new_per_minute=60),
            gate=gate, firing=firing, local_ms=lambda exchange_ms: exchange_ms - est_offset,
            reentries=0, error=None, timed_out_in_flight=False)
        link = types.SimpleNamespace(host_line=self.lines.append)
        self._asking = loop.create_task(self._ask_meanwhile(queries, gate))
        self._queries, self._pool = queries, pool
        await trigger.drive(state, link, module)

    async def finish(self):
        """After the trigger, however it ended: the unknown outcomes asked about, then the exit status."""
        gate, b = self.gate, self.w.b
        self._asking.cancel()
        await asyncio.gather(self._asking, return_exceptions=True)
        if self.stop_request_at is None:
            await self._queries.settle(gate.deadline_ms)
        stop_status = 130 if self.stop_request_at is not None else None
        ledger = gate.ledger
        self.exit = exit_status(b.wanted, ledger.bought, len(ledger.unknown()), stop_status)
        if self._pool is not None:
            await self._pool.aclose()

    def _module(self, gate, firing):
        loop = self.w.loop

        def clock():  # a read of the clock costs a pass of the poll: the poll ends in virtual time too
            loop.advance(POLL_S)
            return loop.wall()

        quorvane_3.websockets = gate
        quorvane_3.time = OffsetClock(firing.clock_offset_ms, base=clock)
        return quorvane_3

    async def _ask_meanwhile(self, queries, gate):
        """While orders go on, an unknown outcome is asked about (the next order waits for it)."""
        while True:
            if gate.ledger.unknown() and gate.deadline_ms is not None:
                await queries.settle(gate.deadline_ms)
            await asyncio.sleep(OUTCOME_WAIT_MS / 1000)

    def _request(self, connector):
        async def request(text, request_id):
            async with connector.connect(URL) as ws:
                ws.expect(request_id)
                await ws.send(text)
                try:
                    return await ws.reply(request_id, timeout=max(0.2, 4 * self.w.b.rtt_s))
                finally:
                    ws.release(request_id)
        return request

    def _stop_request(self):
        """Ctrl-C, as the host's handler takes it: the gate closes first, then the session is cancelled."""
        self.stop_request_at = self.w.loop.time()
        self.gate.halt(Interrupted.said, Interrupted)
        if self.session is not None:
            self.session.cancel()


@contextlib.contextmanager
def quiet():
    """The module's own lines are not the simulation's output: its ``print`` and its C ``printf`` both."""
    libc = ctypes.CDLL(None)
    libc.fflush(None)
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        libc.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
