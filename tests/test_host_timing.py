"""The host's timing: the exchange's clock, the moved opening, warm connections.

Everything here is computed or counted, never timed: the network figures in
the estimator tests are synthetic, and the pool tests look at which
connection was handed out and in what state, not at how fast.
"""

import asyncio
import math
import random
import signal
import sys
import time

import pytest

from quorvane_host.timing.estimate import Sample, estimate
from quorvane_host.timing.measure import measure
from quorvane_host.timing.offset_clock import OffsetClock
from quorvane_rehearsal.exchange import LoopbackExchange, Symbol
from quorvane_host.timing.firing import THRESHOLD_MS, plan_firing
from quorvane_host.net.connection import readable
from quorvane_host.net.pool import ConnectionLimit, Pool
from quorvane_host.run.stopping import Interrupted, StopSignals

URL = "wss://exchange.invalid:443/ws-api/v3"


# ---------------------------------------------------------------------------
# The estimator, on synthetic samples


def synthetic(offset, up, down, n=24, seed=7, stalls=0):
    """Samples of an exchange ``offset`` ms ahead; ``up``/``down`` draw each direction's delay."""
    rng = random.Random(seed)
    samples = []
    t = 1_796_000_000_000.0
    for i in range(n):
        d_up, d_down = up(rng), down(rng)
        if i < stalls:  # a request held up on its way back (a busy machine)
            d_down += 40 + 30 * i
        server = math.floor(t + d_up + offset)  # the exchange's whole ms, cut off
        samples.append(Sample(t, d_up + d_down, server))
        t += 50 + rng.random()
    return samples


def fixed(ms):
    return lambda rng: ms


def uniform(ms, spread):
    return lambda rng: ms + rng.uniform(-spread, spread)


@pytest.mark.parametrize("offset", [-300.0, 0.0, 250.4])
@pytest.mark.parametrize("up, down, stalls, tolerance", [
    (fixed(15), fixed(15), 0, 0.6),  # symmetric: exact but for the whole ms
    (uniform(15, 1), uniform(15, 1), 0, 1.0),  # jitter in both directions
    (uniform(1, 0.25), uniform(1, 0.25), 0, 0.6),  # a fast link
    (uniform(40, 2), uniform(40, 2), 5, 2.0),  # slow link with stalled replies
])
def test_offset_from_the_fastest_samples(offset, up, down, stalls, tolerance):
    est = estimate(synthetic(offset, up, down, stalls=stalls))
    assert est.offset_ms == pytest.approx(offset, abs=tolerance)
    assert est.rtt_min_ms <= est.rtt_median_ms
    assert est.used == 6 and est.samples == 24


def test_asymmetric_way_biases_the_offset_but_not_the_arrival():
    # 10 ms there, 30 back: the offset comes out 10 ms low (half the
    # difference), and offset + delay still predicts the arrival exactly
    # (sending time + 100 + 10), which is what the firing needs.
    est = estimate(synthetic(100.0, fixed(10), fixed(30)))
    assert est.offset_ms == pytest.approx(90.0, abs=0.6)
    assert est.offset_ms + est.delay_ms == pytest.approx(100.0 + 10, abs=0.6)


def test_jitter_and_early_margin_follow_the_spread():
    calm = estimate(synthetic(0.0, fixed(15), fixed(15)))
    rough = estimate(synthetic(0.0, uniform(15, 2), uniform(15, 2)))
    assert calm.jitter_ms <= 0.6 and calm.early_ms <= 1.0  # only the server time's resolution
    assert 1.0 < rough.jitter_ms <= 2.5
    assert 1.0 < rough.early_ms <= 3.5
    # what the early margin promises: no sample's request came earlier than that
    assert all(s.lead_ms - rough.offset_ms - rough.delay_ms >= -rough.early_ms for s in
               synthetic(0.0, uniform(15, 2), uniform(15, 2)))


def test_one_sample_is_enough_and_none_is_an_error():
    est = estimate([Sample(1000.0, 20.0, 1310)])
    assert est.offset_ms == pytest.approx(1310.5 - 1010.0)
    with pytest.raises(ValueError):
        estimate([])


# ---------------------------------------------------------------------------
# The clock the module reads, and the moved opening


def test_offset_clock_adds_the_offset_and_is_the_time_module_otherwise():
    clock = OffsetClock(250.0, base=lambda: 1000.0)
    assert clock.time() == 1000.25
    clock.set_offset(-300.0)
    assert clock.time() == pytest.approx(999.7)
    assert clock.strftime is time.strftime and clock.monotonic is time.monotonic


def test_module_stamps_orders_by_the_offset_clock(restore_globals):
    qv = restore_globals
    sent = []

    class Probe:
        def connect(self, url):
            return self

        async def __aenter__(self):
            return self

        async def __aexit__(self, *exc):
            return False

        async def send(self, text):
            sent.append(text)
            raise ConnectionError("probe")

    qv.time = OffsetClock(-300.0, base=lambda: 1_796_000_000.5)
    qv.websockets = Probe()
    with pytest.raises(ConnectionError):
        asyncio.run(qv.buy_market_order("k", "s", "QRVUSD", 0.5))
    assert '"timestamp":1796000000200' in sent[0].replace(" ", "")


@pytest.mark.parametrize("offset", [-300.0, 0.0, 151.37])
@pytest.mark.parametrize("delay, aim", [(15.2, 1.3), (40.0, 0.0), (1.05, 2.5), (0.0, 0.0)])
def test_moved_opening_fires_so_that_the_order_arrives_at_the_aim(offset, delay, aim):
    open_ms = 1_796_000_000_000
    f = plan_firing(open_ms, offset, delay_ms=delay, aim_ms=aim, send_ms=0.2)
    # The module's clock reads this machine's time plus clock_offset_ms, the
    # exchange's plus the difference; it fires at the first whole ms M with
    # module_open - M < THRESHOLD_MS.
    first_firing_ms = f.module_open_ms - (THRESHOLD_MS - 1)
    fires_at_exchange = first_firing_ms - (f.clock_offset_ms - offset)
    # Relative to the opening, to a microsecond: epoch milliseconds under a
    # relative tolerance would let whole minutes through.
    assert fires_at_exchange - open_ms == pytest.approx(f.fire_at_ms - open_ms, abs=1e-3)
    assert fires_at_exchange + 0.2 + delay - open_ms == pytest.approx(aim, abs=1e-3)
    assert 0 <= f.clock_offset_ms - offset < 1  # the timestamps stay on the exchange's clock
    assert f.shift_ms == f.module_open_ms - open_ms


def test_without_compensation_the_module_gets_the_opening():
    f = plan_firing(1_796_000_000_000, 120.0, delay_ms=15, aim_ms=3, compensate=False)
    assert f.module_open_ms == 1_796_000_000_000 and f.clock_offset_ms == 120.0 and f.shift_ms == 0


# ---------------------------------------------------------------------------
# Measuring, and the pool, against the loopback exchange


@pytest.fixture
def exchange():
    with LoopbackExchange({"k": "s"}, [Symbol("QRVUSD", 0)], clock_skew_ms=-300) as ex:
        yield ex


def test_measure_over_a_connection(exchange):
    async def go():
        async with exchange.connector().connect(URL) as ws:
            return await measure(ws, 6)

    est = estimate(asyncio.run(go()))
    assert est.samples == 6 and exchange.time_requests == 6
    assert est.offset_ms == pytest.approx(-300, abs=50)  # same machine: only the way differs


class Tracked:
    """Opens connections through a connector and remembers them."""

    def __init__(self, exchange):
        self.connector = exchange.connector()
        self.all = []

    async def __call__(self):
        ws = await self.connector.connect(URL)
        self.all.append(ws)
        return ws


async def answers(ws):
    await ws.send('{"id": "p", "method": "ping"}')
    return await ws.recv()


def test_pool_hands_out_warm_connections_and_refills(exchange):
    async def go():
        opener = Tracked(exchange)
        pool = Pool(opener, 2)
        assert await pool.fill() == 2
        warm = list(opener.all)
        async with pool.lease() as ws:
            assert ws in warm  # one of the warm ones (they finish opening in any order)
            assert '"status": 200' in await answers(ws)
        await pool._filling  # the refill started by the hand-out
        assert pool.ready == 2 and pool.opened == 3 and pool.cold == 0
        await pool.aclose()
        return opener.all

    conns = asyncio.run(go())
    assert all(ws.state.name == "CLOSED" for ws in conns)


def test_exhausted_pool_opens_a_new_connection(exchange):
    async def go():
        opener = Tracked(exchange)
        pool = Pool(opener, 1)
        await pool.fill()
        first = await pool.take()
        second = await pool.take()  # the refill has not run: nothing ready
        assert first is opener.all[0] and second is not first and pool.cold == 1
        assert '"status": 200' in await answers(second)
        for ws in (first, second):
            pool.discard(ws)
        await pool.aclose()
        return opener.all

    conns = asyncio.run(go())
    assert all(ws.state.name == "CLOSED" for ws in conns)


def test_pooled_connection_closed_by_the_exchange_is_never_handed_out(exchange):
    exchange.request_timeout = 0.2  # the exchange closes connections idle this long

    async def go():
        opener = Tracked(exchange)
        pool = Pool(opener, 2)
        await pool.fill()
        # Block this event loop (as the module's polling does) until the
        # exchange has closed both and their closes sit unread in the
        # sockets (the exchange counts a close before it writes it).
        for _ in range(3000):  # a minute at most: a close that never comes fails, not hangs
            if exchange.empty_connections >= 2 and all(readable(ws) for ws in opener.all[:2]):
                break
            time.sleep(0.02)
        else:
            pytest.fail("the exchange did not close the idle connections")
        exchange.request_timeout = 60
        ws = await pool.take()
        assert ws not in opener.all[:2] and pool.dropped == 2 and pool.cold == 1
        assert '"status": 200' in await answers(ws)
        pool.discard(ws)
        await pool.aclose()

    asyncio.run(go())


def test_cap_on_new_connections(exchange):
    now = [0.0]

    async def go():
        pool = Pool(Tracked(exchange), 2, max_new_per_minute=3, clock=lambda: now[0])
        await pool.fill()
        taken = [await pool.take(), await pool.take()]
        pool.discard(taken[0])  # starts a refill, which may open one more
        await pool._filling
        assert pool.opened == 3
        taken.append(await pool.take())
        with pytest.raises(ConnectionLimit):
            await pool.take()
        now[0] = 60.0  # a minute later the cap allows new ones again
        taken.append(await pool.take())
        for ws in taken[1:]:
            pool.discard(ws)
        await pool.aclose()

    asyncio.run(go())


class _Transport:
    def __init__(self):
        self.aborted = False

    def abort(self):
        self.aborted = True


class _Conn:
    """Enough of a connection for the pool's closing; ``close`` completes unless told to hang."""

    def __init__(self, hang=False):
        self.transport, self.hang, self.closed = _Transport(), hang, False

    async def close(self):
        if self.hang:
            await asyncio.Event().wait()
        self.closed = True

    async def recv(self):  # a quiet connection: its channel's reader waits
        await asyncio.Event().wait()


@pytest.mark.parametrize("case", ["closed", "close cancelled before it ran", "close cancelled midway",
                                  "never given back", "close failed"])
def test_pool_leaves_no_connection_open_at_close(case):
    """Whatever ends a connection's close early, aclose aborts it, and only it."""
    async def go():
        conns = iter([_Conn(hang=case == "close cancelled midway"), _Conn()])

        async def opener():
            return next(conns)

        pool = Pool(opener, 0)
        conn, other = await pool.take(), await pool.take()
        if case == "close failed":
            async def broken():
                raise OSError("socket gone")
            conn.close = broken
        if case != "never given back":
            pool.discard(conn)
        if case.startswith("close cancelled"):
            if case.endswith("midway"):
                await asyncio.sleep(0)
            for task in list(pool._closing):  # as the event loop's shutdown does
                task.cancel()
        pool.discard(other)
        await pool.aclose()
        return conn, other

    conn, other = asyncio.run(go())
    assert conn.transport.aborted == (case != "closed")
    assert other.closed and not other.transport.aborted


@pytest.mark.parametrize("where, ended, raises", [
    ("asyncio.sslproto", True, False),  # the session is being cancelled: no exception there
    ("asyncio.sslproto", False, True),  # nothing else would stop the run
    ("quorvane_host.orders.gate", True, True),
])
def test_stop_request_is_not_raised_inside_tls_code(where, ended, raises):
    signals = StopSignals(lambda request: ended)
    scope = {"__name__": where, "signals": signals, "signal": signal, "sys": sys}
    exec("def interrupted():\n    signals._handle(signal.SIGINT, sys._getframe())\n", scope)
    if raises:
        with pytest.raises(Interrupted):
            scope["interrupted"]()
    else:
        scope["interrupted"]()
    assert signals.request is Interrupted


# ---------------------------------------------------------------------------
# The start-up check's advice


def _closed_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def _plain_tcp_server():
    async def answer(reader, writer):
        writer.write(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
        await writer.drain()
        writer.close()

    return await asyncio.start_server(answer, "127.0.0.1", 0)


@pytest.mark.parametrize("case, advice_text", [
    ("refused", "nothing listens on"),
    ("plain", "port does not speak TLS"),
    ("untrusted", "certificate not trusted: "),
    ("other name", "pass --server-name"),
])
def test_start_up_check_says_what_is_wrong(exchange, case, advice_text):
    from quorvane_host.net.connector import Connector
    from quorvane_host.net.endpoint import EndpointError, open_checked

    async def go():
        server = None
        if case == "refused":
            c = Connector("127.0.0.1", _closed_port())
        elif case == "plain":
            server = await _plain_tcp_server()
            c = Connector("127.0.0.1", server.sockets[0].getsockname()[1], cafile=exchange.cafile)
        elif case == "untrusted":
            c = Connector("127.0.0.1", exchange.port)  # the system's trust store
        else:
            c = Connector("127.0.0.1", exchange.port, cafile=exchange.cafile, server_hostname="example.org")
        try:
            with pytest.raises(EndpointError) as caught:
                await open_checked(c, URL, f"127.0.0.1:{c.port}")
        finally:
            if server is not None:
                server.close()
        return str(caught.value)

    assert advice_text in asyncio.run(go())


def test_a_loop_held_counts_as_not_running_until_it_has_run_a_whole_beat():
    from quorvane_host.net.watch import BEAT_S, LoopWatch

    async def go():
        watch = LoopWatch()
        watch.start()
        await asyncio.sleep(3 * BEAT_S)  # beating
        time.sleep(0.1)  # held, as by the module's polling: sockets unread
        await asyncio.sleep(0)  # one pass: the beat comes again, the sockets are not all read yet
        held = watch.running()
        watch.stop()
        return held

    assert asyncio.run(go()) is False
