"""In-memory WebSocket connections in virtual time.

The client's end looks like one of the connector's connections (``send``,
``close``, ``ping``, ``state``, raising ``ConnectionClosed*`` once closed;
what arrives handed over by its ``message_tap``, as the connector's own
connections do), so that the host's code takes it for one.  The exchange's end gets each message after the one-way delay, in the
order sent, and may answer, push, drop the connection, or go silent (a
half-open connection: nothing travels either way, and no close is seen).
"""

import asyncio

from websockets.exceptions import ConnectionClosedError, ConnectionClosedOK
from websockets.frames import Close
from websockets.protocol import State

from quorvane_host.net.message_tap import MessageTap

CLOSE_TIMEOUT_S = 10.0  # websockets' default: how long a close waits for the other side's


class _Transport:
    def __init__(self, conn):
        self._conn = conn

    def is_closing(self):
        return self._conn.state is not State.OPEN

    def abort(self):
        self._conn.cut(abnormal=True)

    def get_extra_info(self, name, default=None):
        return default


class Connection:
    """The client's end; ``server`` is the exchange's handler for this connection."""

    def __init__(self, net, server):
        self.net, self.server = net, server
        self.state = State.OPEN
        self.protocol = self  # what the host's pool reads (``conn.protocol.state``)
        self.transport = _Transport(self)
        self.close_code = None
        self.silent = False  # half-open: nothing gets through, in either direction
        self.dropped = False  # the exchange dropped it
        self.message_tap = MessageTap()
        self._abnormal = False
        self._server_saw_close = False
        self._up_at = self._down_at = 0.0  # the last delivery times, to keep each way in order

    # ---- the host's side ----------------------------------------------------

    async def send(self, message):
        self._raise_if_closed()
        self.net.sent.append((self.net.loop.time(), message, self.net.in_play()))
        self._up_at = self.net.deliver(self._up_at, lambda: self.server.received(self, message),
                                       lost=lambda: self.silent)

    async def close(self, code=1000, reason=""):
        """The closing handshake: a round trip, or websockets' close timeout on a silent connection."""
        if self.state is State.OPEN:
            self.state = State.CLOSING
            self.net.deliver(self._up_at, self._close_arrives, lost=lambda: self.silent)
            await asyncio.sleep(CLOSE_TIMEOUT_S if self.silent else self.net.rtt_s)
            self.cut(abnormal=self.silent)

    async def ping(self, data=None):
        self._raise_if_closed()
        pong = self.net.loop.create_future()
        self.net.loop.call_later(self.net.rtt_s, lambda: self.silent or pong.done() or pong.set_result(self.net.rtt_s))
        return pong

    # ---- the exchange's side ------------------------------------------------

    def push(self, message, extra_delay_s=0.0):
        """The exchange sends ``message`` (a reply, or a message of its own) unless it has seen the close."""
        if self._server_saw_close:
            return
        self._down_at = self.net.deliver(self._down_at, lambda: self._arrive(message),
                                         lost=lambda: self.silent, extra_s=extra_delay_s)
        if not self.silent and self.state is State.OPEN:
            self.net.due.append((self._down_at, message, self))

    def drop(self):
        """The exchange drops the connection: the host sees it closed after the way back."""
        self.dropped = True
        self.net.deliver(self._down_at, lambda: self.cut(abnormal=True), lost=lambda: self.silent)

    def go_silent(self):
        self.silent = True

    # ---- inside ---------------------------------------------------------------

    def _close_arrives(self):
        self._server_saw_close = True
        self.server.closed(self)

    def _arrive(self, message):
        if self.state is State.CLOSED:
            return
        self.net.received.append((self.net.loop.time(), message))
        self.message_tap.message(message)

    def cut(self, abnormal):
        if self.state is not State.CLOSED:
            self.state = State.CLOSED
            self._abnormal = abnormal
            self.close_code = 1006 if abnormal else 1000
            self.message_tap.lost(self._closed())

    def _closed(self):
        """What a use of the connection raises once it is closed."""
        if self._abnormal:
            return ConnectionClosedError(None, None)
        return ConnectionClosedOK(Close(1000, ""), Close(1000, ""), True)

    def _raise_if_closed(self):
        if self.state is not State.OPEN:
            raise self._closed()


class Connecting:
    """A connection being opened: awaitable once, like ``websockets.connect(...)`` (nothing runs before)."""

    def __init__(self, net):
        self.net = net

    def __await__(self):
        return self.net.open().__await__()


class Network:
    """Where the host's connections go: to ``exchange``, after ``rtt_s`` round trips, each way in order."""

    def __init__(self, loop, exchange, rng, rtt_s=0.03, jitter_s=0.002):
        self.loop, self.exchange, self.rng = loop, exchange, rng
        self.rtt_s, self.jitter_s = rtt_s, jitter_s
        self.opened = []
        self.sent = []  # (virtual s, text, the host's orders in play then) of everything the host sent
        self.in_play = lambda: 0  # set by the host: its orders that may have bought
        self.received = []  # (virtual s, text) of everything that reached the host
        self.due = []  # (virtual s, text, connection) of what the exchange sent on an open connection, when due

    def one_way(self):
        return self.rtt_s / 2 + self.rng.uniform(-self.jitter_s, self.jitter_s) / 2

    def deliver(self, after, callback, lost=lambda: False, extra_s=0.0):
        """Run ``callback`` one way later, never before ``after``; return when it runs."""
        at = max(after, self.loop.time() + self.one_way() + extra_s)
        self.loop.call_at(at, lambda: lost() or callback())
        return at

    async def open(self):
        """A new connection: TCP, TLS and the upgrade take two round trips, or a slow handshake much longer.

        The exchange may refuse it.
        """
        slow = self.rng.random() < self.exchange.b.slow_handshakes
        await asyncio.sleep(2 * self.rtt_s + (self.rng.uniform(0.1, 1.5) if slow else 0.0))
        conn = Connection(self, self.exchange)
        refusal = self.exchange.accept(conn)
        if refusal is not None:
            raise refusal
        self.opened.append(conn)
        return conn
