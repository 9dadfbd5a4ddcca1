"""One reader per connection: each message reaches the request whose id it carries, or is pushed.

Over an in-memory connection, read both ways: through ``recv`` by the
channel's reader task, and handed over by the connection's tap as the host's
own connections do.  Nothing is timed (a timeout of 0 is "the wait ended").
"""

import asyncio
import json

import pytest
from websockets.exceptions import ConnectionClosedError, ConnectionClosedOK

from websockets.frames import Frame, Opcode

from quorvane_host.net.channel import Channel
from quorvane_host.net.message_tap import MessageTap

pytestmark = pytest.mark.python_side

GUARD_S = 600  # against a hung wait only; nothing here depends on speed


class Wire:
    """A connection whose inbox the test fills; ``None`` in it is a lost connection."""

    def __init__(self):
        self.inbox = asyncio.Queue()
        self.sent = []

    async def send(self, text):
        self.sent.append(text)

    async def recv(self):
        item = await self.inbox.get()
        if item is None:
            raise ConnectionClosedError(None, None)
        return item

    async def close(self):
        self.inbox.put_nowait(None)

    def deliver(self, *messages):
        for message in messages:
            self.inbox.put_nowait(message)


class TapWire(Wire):
    """The same, its messages handed over by a tap as they come (``None``: lost)."""

    def __init__(self):
        super().__init__()
        self.message_tap = MessageTap()

    async def close(self):
        self.deliver(None)

    def deliver(self, *messages):
        for message in messages:
            if message is None:
                self.message_tap.lost(ConnectionClosedError(None, None))
            else:
                self.message_tap.message(message)


@pytest.fixture(params=[Wire, TapWire], ids=["read", "tapped"])
def wire_class(request):
    return request.param


async def settle():
    for _ in range(5):
        await asyncio.sleep(0)


OWN = '{"id": "1", "status": 200, "result": {"orderId": 7, "executedQty": "1"}}'
AGAIN = '{"id": "1", "status": 200, "result": {"orderId": 7, "executedQty": "1"}, "again": true}'
NULL_429 = '{"id": null, "status": 429, "error": {"code": -1003, "msg": "too many requests"}}'
EVENT = '{"event": "listing", "symbol": "QRVUSD"}'
OTHER = '{"id": "2", "status": 200}'
INT_ID = '{"id": 1, "status": 200}'
GARBLED = "<html>502 Bad Gateway</html>"
TIMEOUT, LOST, UNREAD = "timed out", "lost", "released unread"


@pytest.mark.parametrize("before, garbled, reply, after, pushed, late", [
    ([OWN], False, OWN, [], [], []),
    ([OTHER, OWN], False, OWN, [], [OTHER], []),                 # an id nobody sent here
    ([NULL_429, OWN], False, OWN, [], [NULL_429], []),           # an id-null error is nobody's reply
    ([EVENT, OWN], False, OWN, [], [EVENT], []),                 # no id at all
    ([INT_ID, OWN], False, OWN, [], [INT_ID], []),               # 1 is not "1"
    ([GARBLED], True, GARBLED, [], [], []),                      # an order takes text that is not JSON
    ([GARBLED, OWN], False, OWN, [], [GARBLED], []),             # anything else does not
    ([], False, TIMEOUT, [OWN], [], [OWN]),                      # after its wait: still its request's
    ([OWN, AGAIN], False, OWN, [], [], [AGAIN]),                 # answered twice: the second is late
    ([OWN], False, UNREAD, [], [], [OWN]),                       # came, but its waiter was gone
    ([], False, TIMEOUT, [OWN], [], None),                       # late, nobody listening: counted
    ([EVENT, None], False, LOST, [OWN], [EVENT], []),            # lost while waiting
])
def test_each_message_reaches_its_own_request(wire_class, before, garbled, reply, after, pushed, late):
    async def go():
        wire, seen, heard, lost = wire_class(), [], [], []
        ch = Channel(wire, on_pushed=seen.append, on_lost=lost.append)
        on_late = None if late is None else (lambda rid, message: heard.append((rid, message)))
        ch.expect("1", on_late=on_late, takes_garbled=garbled)
        await ch.send('{"id": "1", "method": "order.place"}')
        wire.deliver(*before)
        await settle()
        outcome = None
        if reply != UNREAD:
            try:
                outcome = await ch.reply("1", timeout=0 if reply == TIMEOUT else None)
            except asyncio.TimeoutError:
                outcome = TIMEOUT
            except ConnectionClosedError:
                outcome = LOST
        ch.release("1")
        wire.deliver(*after)
        await settle()
        return outcome, seen, heard, lost, ch, ch.closed

    outcome, seen, heard, lost, ch, closed = asyncio.run(go())
    assert outcome == (None if reply == UNREAD else reply)
    assert seen == pushed and heard == [("1", message) for message in late or []]
    assert ch.late == (late is None)
    assert lost == (["the connection dropped without a closing handshake: the exchange or something on the "
                     "way cut it"] if reply == LOST else [])
    assert closed == (reply == LOST)


@pytest.mark.parametrize("sends, incoming, replies", [
    # the module's own use: its reply, whatever came before it
    (['{"id": "a"}'], [EVENT, NULL_429, '{"id": "a"}'], ['{"id": "a"}']),
    # two requests out: their replies as they come
    (['{"id": "a"}', '{"id": "b"}'], ['{"id": "b"}', EVENT, '{"id": "a"}'], ['{"id": "b"}', '{"id": "a"}']),
    # a request without an id: the next message, whatever it is
    (['{"method": "ping"}'], [EVENT, OTHER], [EVENT]),
    # none sent: what the exchange pushes
    ([], [EVENT], [EVENT]),
])
def test_plain_send_then_recv(wire_class, sends, incoming, replies):
    async def go():
        wire = wire_class()
        ch = Channel(wire, on_pushed=lambda message: None)
        for text in sends:
            await ch.send(text)

        async def read():
            return [await ch.recv() for _ in replies]

        getting = asyncio.ensure_future(read())
        await settle()
        wire.deliver(*incoming)
        got = await getting
        await ch.close()
        return got, wire

    got, wire = asyncio.run(go())
    assert got == replies and wire.sent == sends


def test_closing_ends_the_reader(wire_class):
    class Quiet(wire_class):
        async def close(self):  # a close that does not end its reads
            pass

    async def go():
        lost = []
        ch = Channel(Quiet(), on_lost=lost.append)
        ch.expect("a")
        waiting = asyncio.ensure_future(ch.reply("a"))
        await settle()
        async with ch:
            pass
        await asyncio.wait({waiting})
        return ch, waiting, lost

    ch, waiting, lost = asyncio.run(go())
    assert ch.closed and isinstance(waiting.exception(), ConnectionClosedOK) and len(lost) == 1


def _frame(kind, data, fin=True):
    return Frame(getattr(Opcode, kind), data, fin)


@pytest.mark.parametrize("frames, messages", [
    ([("TEXT", b'{"id": "1"}')], ['{"id": "1"}']),
    ([("TEXT", b'{"id"', False), ("CONT", b': "1"', False), ("CONT", b"}")], ['{"id": "1"}']),  # joined, once
    ([("BINARY", b"\x01\x02")], [b"\x01\x02"]),
    ([("TEXT", b"\xff\xfe")], [b"\xff\xfe"]),                 # not UTF-8: its bytes, which no JSON reads
    ([("PING", b""), ("PONG", b"x"), ("TEXT", b"a")], ["a"]),   # control frames are websockets' own
])
def test_a_tap_hands_over_whole_messages_in_order(frames, messages):
    tap, got, lost = MessageTap(), [], []
    taken = [tap.frame(_frame(*f)) for f in frames[:1]]    # before a taker: kept
    tap.hand_to(got.append, lost.append)
    taken += [tap.frame(_frame(*f)) for f in frames[1:]]
    assert got == messages and lost == []
    assert taken == [f[0] not in ("PING", "PONG") for f in frames]
    tap.lost(ConnectionClosedOK(None, None))
    tap.lost(ConnectionClosedError(None, None))               # told once
    assert [type(e) for e in lost] == [ConnectionClosedOK]


@pytest.mark.parametrize("timeouts, timed_out", [
    ({"a": 3600, "b": 0}, {"b"}),         # a later wait with the earlier deadline: the one timer is moved
    ({"a": 0, "b": 0.05, "c": 3600}, {"a", "b"}),  # the timer set again for each wait still on
])
def test_each_wait_ends_at_its_own_deadline(wire_class, timeouts, timed_out):
    async def go():
        wire = wire_class()
        ch = Channel(wire)
        waits = {}
        for rid, timeout in timeouts.items():
            ch.expect(rid)
            waits[rid] = asyncio.ensure_future(ch.reply(rid, timeout=timeout))
        done, _ = await asyncio.wait([waits[rid] for rid in timed_out], timeout=GUARD_S)
        wire.deliver(*(json.dumps({"id": rid}) for rid in timeouts if rid not in timed_out))
        await asyncio.wait(waits.values(), timeout=GUARD_S)
        return {rid: type(w.exception()) if w.exception() else json.loads(w.result())["id"]
                for rid, w in waits.items()}

    got = asyncio.run(go())
    assert got == {rid: asyncio.TimeoutError if rid in timed_out else rid for rid in timeouts}
