"""Warm connections that are really alive, reused, and the server-time replies judged by id.

The pool's logic runs over fake connections (no sockets); the behaviours
that depend on a socket (what sat unread while the thread was held) run
against the loopback exchange.  Everything is counted, never timed.
"""

import asyncio
import json
import time
from types import SimpleNamespace

import pytest
from websockets.exceptions import ConnectionClosedError
from websockets.protocol import State

from quorvane_host.net.channel import Channel
from quorvane_host.net.pool import Pool
from quorvane_host.orders.weights import RequestBudget
from quorvane_host.timing.measure import Allowance, ClockUnsupported, measure_within
from quorvane_rehearsal.behaviour import Behaviour
from quorvane_rehearsal.exchange import LoopbackExchange, Symbol

pytestmark = pytest.mark.python_side

URL = "wss://exchange.invalid:443/ws-api/v3"


class FakeConn:
    """A connection with an inbox: ``push`` delivers a message, ``lose`` a close."""

    def __init__(self, answers_pings=True):
        self.protocol = SimpleNamespace(state=State.OPEN)
        self.transport = SimpleNamespace(is_closing=lambda: False, abort=self._abort,
                                         get_extra_info=lambda name: None)
        self.inbox = asyncio.Queue()
        self.answers_pings = answers_pings
        self.closed = self.aborted = False

    def _abort(self):
        self.aborted = True
        self.protocol.state = State.CLOSED

    def push(self, message):
        self.inbox.put_nowait(message)

    def lose(self):
        self.inbox.put_nowait(ConnectionClosedError(None, None))

    async def recv(self):
        item = await self.inbox.get()
        if isinstance(item, Exception):
            self.protocol.state = State.CLOSED
            raise item
        return item

    async def send(self, text):
        pass

    async def ping(self):
        pong = asyncio.get_running_loop().create_future()
        if self.answers_pings:
            pong.set_result(0.001)
        return pong

    async def close(self):
        self.closed = True
        self.protocol.state = State.CLOSED


def fake_pool(size, said=None, make=FakeConn):
    made = []

    async def opener():
        conn = make()
        made.append(conn)
        return conn

    pool = Pool(opener, size, say=(said.append if said is not None else lambda text: None))
    return pool, made


async def settle(pool):
    """Let the watchers and a refill run."""
    for _ in range(5):
        await asyncio.sleep(0)
    if pool._filling is not None:
        await pool._filling


# ---------------------------------------------------------------------------
# Reuse


@pytest.mark.parametrize("reusable, fails, closed_meanwhile, back", [
    (True, False, False, True),    # the order got its reply: ready for the next
    (False, False, False, False),  # no reply read (or not known): closed
    (True, True, False, False),    # the block ended in an exception: closed
    (True, False, True, False),    # the exchange closed it meanwhile: not kept
])
def test_a_connection_goes_back_only_when_its_order_is_done(reusable, fails, closed_meanwhile, back):
    async def go():
        pool, made = fake_pool(2)
        await pool.fill()
        lease = pool.lease()
        try:
            async with lease as ws:
                if closed_meanwhile:
                    ws.protocol.state = State.CLOSED
                lease.reusable = reusable
                if fails:
                    raise OSError("cut")
        except OSError:
            pass
        await settle(pool)
        return pool, made, ws

    pool, made, ws = asyncio.run(go())
    assert (ws in pool._idle) == back and ws.conn.closed == (not back)
    assert pool.reused == int(back)
    assert pool.opened == (2 if back else 3)  # a replacement only for the one closed


@pytest.mark.parametrize("size", [1, 3])
def test_orders_over_a_pool_open_no_new_connection(size):
    async def go():
        pool, made = fake_pool(size)
        await pool.fill()
        used = []
        for n in range(12):
            lease = pool.lease()
            async with lease as ws:
                used.append(ws)
                lease.reusable = True
            await settle(pool)
        await pool.aclose()
        return pool, made, used

    pool, made, used = asyncio.run(go())
    assert pool.opened == len(made) == size and pool.cold == 0 and pool.reused == 12
    assert used[0] is used[-1]  # the one used last goes first
    assert all(conn.closed for conn in made)  # the close handshakes at stop


def test_the_socket_is_looked_at_only_for_the_first_hand_out_after_the_module_holds_the_loop(monkeypatch):
    import quorvane_host.net.watch as watch

    looked = []
    monkeypatch.setattr(watch, "readable", lambda conn: looked.append(conn) and False)

    async def go():
        pool, made = fake_pool(2)
        await pool.fill()
        pool._watch.running = lambda: True  # the loop has beaten all along: the hold was shorter than a beat
        seen = []
        for n in range(5):
            if n == 2:
                pool.held()  # the module entered again
            lease = pool.lease()
            async with lease:
                lease.reusable = True
            seen.append(len(looked))
        await pool.aclose()
        return seen

    assert asyncio.run(go()) == [1, 1, 2, 2, 2]


# ---------------------------------------------------------------------------
# Watched while waiting


@pytest.mark.parametrize("event, dropped, opened, lines", [
    ("push", 0, 2, ["the exchange sent a message on a waiting connection: hello"]),
    ("lose", 1, 3, ["a waiting connection was lost"]),
    ("push then lose", 1, 3, ["sent a message", "was lost"]),
])
def test_a_waiting_connection_is_watched(event, dropped, opened, lines):
    async def go():
        said = []
        pool, made = fake_pool(2, said)
        await pool.fill()
        first = made[0]
        if "push" in event:
            first.push("hello")
        if "lose" in event:
            first.lose()
        await settle(pool)  # the replacement opens at once, with no order asking
        return pool, made, said

    pool, made, said = asyncio.run(go())
    assert pool.dropped == dropped and pool.opened == opened and pool.ready == 2
    assert (made[0] in [ch.conn for ch in pool._idle]) == (dropped == 0)
    assert len(said) == len(lines) and all(part in line for part, line in zip(lines, said))


@pytest.mark.parametrize("yield_first", [True, False])
def test_a_pushed_message_is_never_an_orders_reply(yield_first):
    """Whether the reader has read the message, or it arrived in the very pass of the hand-out."""
    async def go():
        pool, made = fake_pool(1)
        await pool.fill()
        made[0].push('{"event": "notice"}')
        if yield_first:
            await asyncio.sleep(0)
        ws = await pool.take()
        await ws.send('{"id": "order-1", "method": "order.place"}')
        ws.push('{"id": null, "status": 429, "error": {"code": -1003, "msg": "slow down"}}')
        ws.push('{"id": "order-1"}')
        reply = await ws.recv()
        return pool, reply

    pool, reply = asyncio.run(go())
    assert reply == '{"id": "order-1"}' and pool.pushed == 2


def test_pushed_messages_are_shown_a_few_times_then_counted():
    async def go():
        said = []
        pool, made = fake_pool(1, said)
        await pool.fill()
        for n in range(10):
            made[0].push(f"event {n}")
        await settle(pool)
        return pool, said

    pool, said = asyncio.run(go())
    assert pool.pushed == 10 and len(said) == 3 and "counted" in said[-1]


@pytest.mark.parametrize("answering, dropped", [
    ([True, True, True], 0),
    ([True, False, True], 1),
    ([False, False, False], 3),
])
def test_a_connection_that_does_not_answer_a_ping_is_never_handed_out(answering, dropped):
    async def go():
        answers = iter(answering + [True] * 10)  # the replacements answer
        pool, made = fake_pool(3, make=lambda: FakeConn(next(answers)))
        await pool.fill()
        silent = [c for c in made if not c.answers_pings]
        assert await pool.check_alive(0.05) == dropped
        await settle(pool)
        taken = [await pool.take() for _ in range(3)]
        return pool, silent, taken

    pool, silent, taken = asyncio.run(go())
    assert pool.unanswered == dropped and pool.opened == 3 + dropped and pool.cold == 0
    assert all(c.aborted for c in silent) and not set(silent) & set(taken)


# ---------------------------------------------------------------------------
# The server-time request, judged by its id


class TimeServer:
    """A connection that answers each time request by ``script``: what to send before/instead of the reply."""

    def __init__(self, script):
        self.script = list(script)
        self.inbox = None
        self.sent = []

    async def send(self, text):
        if self.inbox is None:
            self.inbox = asyncio.Queue()
        request = json.loads(text)
        self.sent.append(request)
        step = self.script.pop(0) if self.script else "reply"
        for part in step.split("+"):
            if part == "reply":
                self.inbox.put_nowait(json.dumps({"id": request["id"], "status": 200,
                                                  "result": {"serverTime": 1_796_000_000_000}}))
            elif part == "greeting":
                self.inbox.put_nowait(json.dumps({"event": "welcome"}))
            elif part == "other id":
                self.inbox.put_nowait(json.dumps({"id": "clock-x-0", "status": 200,
                                                  "result": {"serverTime": 1}}))
            elif part == "not json":
                self.inbox.put_nowait("<html>")
            elif part == "error":
                self.inbox.put_nowait(json.dumps({"id": request["id"], "status": 400,
                                                  "error": {"code": -1, "msg": "no such method"}}))
            elif part == "429":
                self.inbox.put_nowait(json.dumps({"id": request["id"], "status": 429,
                                                  "error": {"code": -1003, "msg": "too many requests"}}))
            elif part == "weighed":  # a reply stating 20 requests per 10 s, this one the first
                self.inbox.put_nowait(json.dumps({
                    "id": request["id"], "status": 200, "result": {"serverTime": 1_796_000_000_000},
                    "rateLimits": [{"rateLimitType": "REQUEST_WEIGHT", "interval": "SECOND", "intervalNum": 10,
                                    "limit": 20, "count": 1}]}))
            # "hold": nothing comes back

    async def recv(self):
        if self.inbox is None:
            self.inbox = asyncio.Queue()
        return await self.inbox.get()


@pytest.mark.parametrize("script, samples, others", [
    (["greeting+reply", "reply", "reply"], 3, 1),
    (["other id+reply", "not json+reply", "reply"], 3, 2),
    (["reply", "greeting+greeting+reply", "reply"], 3, 2),
])
def test_only_the_reply_with_the_requests_id_counts(script, samples, others):
    said = []

    async def go():
        return await measure_within(Channel(TimeServer(script)), 3, on_other=said.append)

    got = asyncio.run(go())
    assert len(got.samples) == samples and got.others == others and not got.abandoned
    assert all(s.server_ms == 1_796_000_000_000 for s in got.samples)
    assert len(said) == 1  # shown once


@pytest.mark.parametrize("script, error", [
    (["error"], "no such method"),
    (["greeting+hold"], "the first: {\"event\": \"welcome\"}"),
])
def test_a_clock_that_cannot_be_read_says_how_it_answered(script, error):
    async def go():
        return await measure_within(Channel(TimeServer(script)), 3, timeout=0.2)

    with pytest.raises(ClockUnsupported) as raised:
        asyncio.run(go())
    assert error in str(raised.value)


@pytest.mark.parametrize("script, budget, sent, samples, limited", [
    (["reply", "reply", "429"], None, 3, 2, True),   # the limit reached: the samples at hand
    (["429"], None, 1, 0, True),
    (["weighed"], RequestBudget(), 10, 10, False),   # half of the 20 a window allows (the first unweighed)
    ([], RequestBudget(), 20, 20, False),            # no limit stated: as many as asked
])
def test_time_requests_stay_within_the_request_budget(script, budget, sent, samples, limited):
    async def go():
        server = TimeServer(script)
        got = await measure_within(Channel(server), 20, allowance=Allowance(budget))
        return server, got

    server, got = asyncio.run(go())
    assert len(server.sent) == sent and len(got.samples) == samples and got.limited == limited


def test_a_reply_not_back_by_the_deadline_is_given_up():
    async def go():
        server = TimeServer(["reply", "reply", "hold"])
        # This machine's clock held still: only the wait for the held reply ends at the deadline,
        # however long a busy machine takes over the others.
        now = time.time()
        got = await measure_within(Channel(server), 10, timeout=60, until=now + 1, wall=lambda: now)
        return server, got

    server, got = asyncio.run(go())
    assert got.abandoned and len(got.samples) == 2 and len(server.sent) == 3


def test_the_requests_are_spaced_over_the_window():
    # However fast the replies, requests 0.1 s apart fit at most 4 times in 0.3 s.
    async def go():
        server = TimeServer([])
        got = await measure_within(Channel(server), 40, until=time.time() + 0.3, spacing_s=0.1)
        return server, got

    server, got = asyncio.run(go())
    assert 1 <= len(server.sent) <= 4 and not got.abandoned


# ---------------------------------------------------------------------------
# Against the loopback exchange: what sat in the socket while the thread was held


def test_a_message_waiting_in_the_socket_does_not_cost_the_connection():
    with LoopbackExchange({"k": "s"}, [Symbol("QRVUSD", 0)],
                          behaviour=Behaviour(push_every_ms=100)) as exchange:
        async def go():
            connector = exchange.connector()
            said = []
            pool = Pool(lambda: connector.connect(URL), 2, say=said.append)
            await pool.fill()
            warm = list(pool._idle)
            time.sleep(0.3)  # the thread held, as by the module's polling: notices pile up unread
            ws = await pool.take()
            await ws.send('{"id": "p", "method": "ping"}')
            reply = json.loads(await ws.recv())
            while reply.get("id") != "p":  # a notice pushed after the hand-out: the order's to skip
                reply = json.loads(await ws.recv())
            pool.discard(ws)
            await pool.aclose()
            return pool, warm, ws, reply

        pool, warm, ws, reply = asyncio.run(go())
    assert ws in warm and pool.dropped == 0 and pool.cold == 0
    assert reply.get("id") == "p" and pool.pushed >= 1


def test_handshakes_that_never_finish_do_not_hold_up_the_firing():
    from quorvane_host.cli.options import build_plan, parse_args
    from quorvane_host.orders.gate import Gate
    from quorvane_host.orders.observer import Observer
    from quorvane_host.orders.refusals import Refusals
    from quorvane_host.run.approach import Approach
    from quorvane_host.run.state import RunState
    from quorvane_host.timing.estimate import Sample, estimate

    now = time.time() * 1000
    open_ms = int(now + 1500)  # inside the warm-up's lead: the warm-up starts at once
    plan = build_plan(parse_args(["QRVUSD", "1", "--open-at", str(open_ms)]),
                      {"QUORVANE_API_KEY": "k", "QUORVANE_SECRET_KEY": "s"})
    gate = Gate(None, 10)
    state = RunState(plan, gate, Observer(1, gate, Refusals(open_ms)))
    state.clock = estimate([Sample(now, 2.0, int(now) + 1)] * 4)
    said = []
    link = SimpleNamespace(host_line=said.append, countdown=lambda ms: None, write=lambda line: None)
    hung = lambda *args, **kwargs: asyncio.sleep(3600)  # noqa: E731 - a handshake that never ends
    connector = SimpleNamespace(connect=hung, start_pool=lambda url, size, **kw: Pool(hung, size))

    async def go():
        approach = Approach(state, link, connector, URL)
        try:
            # Without a bound the warm-up waits for ever; the guard only stops a broken run.
            return await asyncio.wait_for(approach.run(SimpleNamespace(time=time)), 120)
        finally:
            await approach.close()

    assert asyncio.run(go()) > 0
    assert any("still opening at the last look" in line for line in said)
    assert any("no connection in time" in line for line in said)
