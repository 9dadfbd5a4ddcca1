"""A small exchange on the loopback interface, for tests, the demo and rehearsals.

It speaks the part of an exchange WebSocket API that ``quorvane_3`` and its
host use: ``order.place`` requests, each answered with one JSON message, and
the ``time`` and ``ping`` requests; a connection may carry any number of
requests, one after the other.  It listens on 127.0.0.1 only, always over TLS,
and checks an order the way a real exchange does:

* the message is a JSON object with ``id``, ``method`` and ``params``;
* the method is ``order.place`` (or ``order.test``: checked the same way but
  for the opening and the rate limit, answered with an empty result, placing
  nothing; see :mod:`quorvane_rehearsal.orders`);
* ``apiKey`` names a known account and ``signature`` is the HMAC-SHA256, under
  that account's secret, of the other parameters as
  ``k1=v1&k2=v2...`` (keys sorted, values percent-encoded);
* ``timestamp`` lies within the receive window of the server's clock (at most
  5000 ms old and 1000 ms ahead by default);
* the symbol is listed, side and type are BUY/SELL and MARKET;
* the quantity is a plain positive decimal and a multiple of the symbol's step;
* trading in the symbol has opened (an order that arrives earlier is refused).

It also answers ``order.status`` and ``allOrders`` about the orders it placed
for the account, checked as orders are (key, signature, timestamp); see
:mod:`quorvane_rehearsal.orders`.

An accepted order gets an order id and a fill; a refused one gets
``{"id": ..., "status": 4xx, "error": {"code": ..., "msg": ...}}``.  Every
order request is recorded with its arrival time and outcome (:meth:`records`);
``time`` and ``ping`` requests are only counted.

``{"id": ID, "method": "time"}`` is answered with
``{"id": ID, "status": 200, "result": {"serverTime": MS}}`` (the server's
clock in whole milliseconds since the epoch), ``{"id": ID, "method": "ping"}``
with ``{"id": ID, "status": 200, "result": {}}``.

The server's clock is this machine's clock moved by ``clock_skew_ms`` (ahead
when positive): a rehearsal of an exchange whose clock differs from ours.
Everything the exchange checks or reports goes by that clock: arrival times,
the receive window, the openings of the symbols and ``serverTime``.  Arrival
is stamped when the last piece of a request is read from the socket, before
the request waits for its turn on the event loop.

For tests it can misbehave on purpose (:class:`Fault`): close without a reply,
place the order and then close without a reply, reply with text that is not
JSON, never reply, or refuse the TLS handshake; all but the last strike
order requests only.  ``time_api=False`` makes it an
exchange without the ``time`` and ``ping`` requests (they are refused as
unknown methods).

On a listing day a real exchange is seldom ideal; :class:`Behaviour`
(``behaviour=``, :meth:`LoopbackExchange.set_behaviour`, and one command-line
flag per option) rehearses it: orders that expire unfilled, notices pushed
unasked, an order rate limit and bans, a late opening, connections closed or
gone silent at a given time, a time reply held up.

Use it from asyncio (``async with LoopbackExchange(...) as ex``), from plain
code in a background thread (``with LoopbackExchange(...) as ex``), or from a
shell (``python -m quorvane_rehearsal.exchange --help``, which can also put a
delay relay in front: ``--rtt``, ``--jitter``).
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import enum
import json
import logging
import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from dataclasses import dataclass, fields
from typing import Callable, Deque, Dict, Iterable, List, Mapping, Optional, Set, Tuple, Union

from websockets.asyncio.server import ServerConnection, serve
from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed
from websockets.frames import DATA_OPCODES, Frame
from websockets.http11 import Response

from quorvane_rehearsal.background import ServedInThread
from quorvane_rehearsal.behaviour import Behaviour, add_behaviour_arguments, behaviour_from_args
from quorvane_rehearsal.orders import (
    QUERY_METHODS, TEST, Record, Symbol, _Book, check_order, check_text, query_string, service_reply,
    request_method, service_request, sign,
)
from quorvane_host.net.connector import Connector
from quorvane_host.orders.codes import Code
from quorvane_rehearsal.commandline import CommandParser, parse_time_ms, symbol_arg


__all__ = [
    "API_PATH",
    "Behaviour",
    "Code",
    "Fault",
    "LoopbackExchange",
    "Record",
    "Symbol",
    "TLSFiles",
    "check_order",
    "make_self_signed",
    "query_string",
    "sign",
]


class _QuietHandshakes(logging.Filter):
    """Drops the traceback of a client that went away during its handshake
    (a host stopped by Ctrl-C, a port probe): its own affair, not the
    exchange's, and printed in the middle of a rehearsal's terminal output."""

    def filter(self, record: logging.LogRecord) -> bool:
        return record.getMessage() != "opening handshake failed"


_SERVER_LOG = logging.getLogger("quorvane_rehearsal.exchange")
_SERVER_LOG.addFilter(_QuietHandshakes())

API_PATH = "/ws-api/v3"
LOOPBACK = "127.0.0.1"


class Fault(str, enum.Enum):
    """Ways the exchange misbehaves on purpose."""

    NONE = "none"
    CLOSE = "close"  # read the request, close without a reply
    GARBAGE = "garbage"  # reply with text that is not JSON
    SILENT = "silent"  # read the request, never reply
    FILL_CLOSE = "fill-close"  # place the order, then close without a reply
    REFUSE_TLS = "refuse-tls"  # fail the TLS handshake


# --------------------------------------------------------------------------
# TLS material


@dataclass(frozen=True)
class TLSFiles:
    """PEM files of the server: certificate (also the client's CA file) and key."""

    certfile: str
    keyfile: str


def make_self_signed(directory: str, *, days: int = 2) -> TLSFiles:
    """Make a self-signed certificate for ``localhost``/127.0.0.1 with the openssl command."""
    openssl = shutil.which("openssl")
    if openssl is None:
        raise RuntimeError("the openssl command is needed to make the loopback certificate")
    cert = os.path.join(directory, "loopback-cert.pem")
    key = os.path.join(directory, "loopback-key.pem")
    cmd = [
        openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-nodes", "-keyout", key, "-out", cert, "-days", str(days),
        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
    ]
    done = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=30)
    if done.returncode != 0:
        raise RuntimeError("openssl could not make a certificate:\n"
                           + done.stdout.decode(errors="replace"))
    os.chmod(key, 0o600)
    return TLSFiles(cert, key)


# --------------------------------------------------------------------------
# The server


class _StampedConnection(ServerConnection):
    """A server connection that notes when each message's last frame was read.

    The stamp is taken as the bytes come off the socket, so a request's
    arrival time does not include its wait for the handler (other
    connections' work on the same event loop).
    """

    # The server's clock in ms; each exchange makes a subclass with its own.
    stamp: Callable[[], float] = staticmethod(lambda: time.time() * 1000.0)

    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self._chunk_ms = 0.0
        self._arrivals: Deque[float] = collections.deque()
        self.silenced = False  # gone half-open on purpose: answers nothing, never closes

    def data_received(self, data: bytes) -> None:
        self._chunk_ms = self.stamp()
        super().data_received(data)

    def process_event(self, event) -> None:
        if isinstance(event, Frame) and event.opcode in DATA_OPCODES and event.fin:
            self._arrivals.append(self._chunk_ms)
        super().process_event(event)

    def arrival_ms(self, now: Callable[[], float]) -> float:
        """When the message that ``recv`` returned last was complete."""
        return self._arrivals.popleft() if self._arrivals else now()


def _code_name(code: Optional[int]) -> str:
    return Code(code).name if code in Code._value2member_map_ else str(code)


def _on_loop(loop: asyncio.AbstractEventLoop) -> bool:
    try:
        return asyncio.get_running_loop() is loop
    except RuntimeError:
        return False


class LoopbackExchange(ServedInThread):
    """The loopback exchange.

    ``accounts``: API key -> secret.  ``symbols``: :class:`Symbol` objects (or
    a mapping of name to Symbol).  ``port`` 0 picks a free port.  ``tls``:
    certificate and key to serve with; without it a self-signed pair is made
    in a temporary folder that goes away with the exchange.  ``clock``
    returns this machine's time in seconds (``time.time`` by default);
    ``clock_skew_ms`` moves the server's clock from it (ahead when
    positive), for everything the exchange checks and reports.
    ``recv_window_ms``/``ahead_ms``: how old, or how far ahead of the
    server's clock, an order's timestamp may be.
    ``request_timeout``: how long a connection may stay silent waiting for
    its next request before the exchange closes it; ``hold_seconds``: how
    long the SILENT fault keeps a connection open at most.  ``lifetime``: if
    set, the exchange stops serving by itself after that many seconds.
    ``time_api``: answer the ``time`` and ``ping`` requests (otherwise they
    are refused as unknown methods).  ``behaviour``: the listing-day options
    (:class:`Behaviour`), changed while it runs with :meth:`set_behaviour`.
    """

    _thread_name = "loopback-exchange"

    def __init__(
        self,
        accounts: Mapping[str, str],
        symbols: Union[Iterable[Symbol], Mapping[str, Symbol]],
        *,
        port: int = 0,
        tls: Optional[TLSFiles] = None,
        recv_window_ms: int = 5000,
        ahead_ms: int = 1000,
        clock: Callable[[], float] = time.time,
        clock_skew_ms: float = 0.0,
        request_timeout: float = 60.0,
        hold_seconds: float = 30.0,
        lifetime: Optional[float] = None,
        fault: Union[Fault, str] = Fault.NONE,
        on_record: Optional[Callable[[Record], None]] = None,
        time_api: bool = True,
        behaviour: Optional[Behaviour] = None,
    ) -> None:
        if isinstance(symbols, Mapping):
            symbols = symbols.values()
        self._book = _Book(dict(accounts), {s.name: s for s in symbols},
                           recv_window_ms, ahead_ms)
        self._book.set_behaviour(behaviour or Behaviour())
        self._port = port
        self._tls = tls
        self._tempdir: Optional[tempfile.TemporaryDirectory] = None
        self._clock = clock
        self.clock_skew_ms = float(clock_skew_ms)
        self.time_api = time_api
        self.request_timeout = request_timeout
        self.hold_seconds = hold_seconds
        self.lifetime = lifetime
        self._on_record = on_record
        self._lock = threading.Lock()
        self._records: List[Record] = []
        self._fault = Fault(fault)
        self._fault_left: Optional[int] = None
        self.connections = 0  # TCP connections whose handler started
        self.empty_connections = 0  # connections closed before a request came
        self.refused_handshakes = 0
        self.time_requests = 0
        self.ping_requests = 0
        self.test_orders = 0  # order.test requests, valid or not
        self.test_refusals: Dict[str, int] = {}  # order.test refusals by code name
        self.order_queries = 0  # order.status and allOrders requests
        self._open: Set[_StampedConnection] = set()  # connections whose handler runs
        self._timers: Dict[str, asyncio.Handle] = {}  # by the behaviour's field
        self._pusher: Optional[asyncio.Task] = None
        self._time_held = False  # the held time reply has been taken
        self._server = None
        self._bound_port: Optional[int] = None
        self._lifetime_handle: Optional[asyncio.TimerHandle] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._thread: Optional[threading.Thread] = None
        self._thread_stop: Optional[asyncio.Event] = None

    # ---- configuration -----------------------------------------------------

    @property
    def symbols(self) -> Dict[str, Symbol]:
        return dict(self._book.symbols)

    def add_symbol(self, symbol: Symbol) -> None:
        self._book.symbols[symbol.name] = symbol

    def set_fault(self, fault: Union[Fault, str], count: Optional[int] = None) -> None:
        """Misbehave from the next order request on; for ``count`` of them, or until changed.

        REFUSE_TLS strikes the next TLS handshakes instead, whatever they are for.
        """
        with self._lock:
            self._fault = Fault(fault)
            self._fault_left = count

    @property
    def fault(self) -> Fault:
        return self._fault

    @property
    def behaviour(self) -> Behaviour:
        return self._book.behaviour

    def set_behaviour(self, **changes: object) -> Behaviour:
        """Change listing-day options by name (see :class:`Behaviour`); returns them all.

        Times take effect by the exchange's clock from now: a ``close_at_ms``
        or ``silence_at_ms`` already past strikes the connections open now.
        Giving ``expire_first`` or ``new_first`` (even unchanged) starts its count again, and
        giving ``hold_time_reply_at_ms`` arms the held reply again.  Callable
        from any thread.
        """
        behaviour = self._book.behaviour.changed(**changes)
        with self._lock:
            self._book.set_behaviour(behaviour, restart_expiry="expire_first" in changes,
                                     restart_new="new_first" in changes)
            if "hold_time_reply_at_ms" in changes:
                self._time_held = False
        loop = self._loop
        if loop is not None and not loop.is_closed():
            if _on_loop(loop):
                self._arm_timers(set(changes))
            else:
                loop.call_soon_threadsafe(self._arm_timers, set(changes))
        return behaviour

    def _take_fault(self, *kinds: Fault) -> Fault:
        """The fault set now, used up once, if it is one of ``kinds``; else NONE."""
        with self._lock:
            fault = self._fault
            if fault not in kinds:
                return Fault.NONE
            if self._fault_left is not None:
                self._fault_left -= 1
                if self._fault_left <= 0:
                    self._fault, self._fault_left = Fault.NONE, None
            return fault

    # ---- clock --------------------------------------------------------------

    def now_ms(self) -> float:
        """The server's clock: this machine's clock moved by ``clock_skew_ms``."""
        return self._clock() * 1000.0 + self.clock_skew_ms

    # ---- where it listens ---------------------------------------------------

    @property
    def port(self) -> int:
        if self._bound_port is None:
            raise RuntimeError("the exchange is not running")
        return self._bound_port

    @property
    def host(self) -> str:
        return LOOPBACK

    @property
    def url(self) -> str:
        return f"wss://{LOOPBACK}:{self.port}{API_PATH}"

    @property
    def cafile(self) -> str:
        if self._tls is None:
            raise RuntimeError("the exchange is not running")
        return self._tls.certfile

    def connector(self, **connect_options) -> Connector:
        """A connector that sends the module's connections here."""
        return Connector(LOOPBACK, self.port, cafile=self.cafile, **connect_options)

    # ---- records ------------------------------------------------------------

    def records(self) -> List[Record]:
        with self._lock:
            return list(self._records)

    def _add(self, record: Record) -> Record:
        with self._lock:
            record.seq = len(self._records) + 1
            self._records.append(record)
        if self._on_record is not None:
            try:
                self._on_record(record)
            except Exception:  # a reporting callback must not break the exchange
                pass
        return record

    def report(self, symbol: Optional[str] = None) -> dict:
        """Counts for summaries: order requests, accepted, refused by code, first fill.

        ``first_accepted_after_open_ms`` is when the first accepted order
        arrived, relative to its symbol's announced opening (both by the
        server's clock), ``first_accepted_after_real_open_ms`` relative to
        when it really opened (``real_open_ms``: ``late_ms`` after the
        announced one); ``too_early`` counts orders refused because trading
        had not opened, ``rate_limited`` and ``banned`` those refused by the
        rate limit (also in ``refused``, by code name); ``expired`` counts
        orders that expired unfilled (not ``accepted``).  ``test_orders``
        counts order.test requests (not records), ``test_refusals`` their
        refusals by code name, ``order_queries`` the order.status and
        allOrders requests (not records either).  With ``symbol``, only that symbol's orders
        count.
        """
        records = self.records()
        if symbol is not None:
            records = [r for r in records if r.symbol == symbol]
        by_code: Dict[str, int] = {}
        for r in records:
            if r.outcome == "refused":
                key = _code_name(r.code)
                by_code[key] = by_code.get(key, 0) + 1
        accepted = [r for r in records if r.accepted]
        first = accepted[0] if accepted else None
        opening = self._book.symbols.get(first.symbol).open_ms if first else None
        real_open = self._real_open_ms(first.symbol if first else symbol)
        with self._lock:
            tests, test_refusals = self.test_orders, dict(self.test_refusals)
        return {
            "requests": len(records),
            "accepted": len(accepted),
            "expired": sum(1 for r in records if r.outcome == "expired"),
            "refused": by_code,
            "faults": sum(1 for r in records if r.outcome not in ("accepted", "refused", "expired")),
            "first_accepted_after_open_ms": (first.arrival_ms - opening) if first else None,
            "real_open_ms": real_open,
            "first_accepted_after_real_open_ms": (first.arrival_ms - real_open) if first else None,
            "too_early": by_code.get(Code.NOT_OPEN.name, 0),
            "rate_limited": by_code.get(Code.TOO_MANY_ORDERS.name, 0),
            "banned": by_code.get(Code.TOO_MANY_REQUESTS.name, 0),
            "test_orders": tests,
            "test_refusals": test_refusals,
            "late_ms": self.behaviour.late_ms,
            "connections": self.connections,
            "empty_connections": self.empty_connections,
            "refused_handshakes": self.refused_handshakes,
            "time_requests": self.time_requests,
            "ping_requests": self.ping_requests,
            "order_queries": self.order_queries,
            "clock_skew_ms": self.clock_skew_ms,
        }

    def _real_open_ms(self, symbol: Optional[str]) -> Optional[float]:
        """When trading in ``symbol`` really opens (the only symbol's, when none is named)."""
        symbols = self._book.symbols
        if symbol is None and len(symbols) == 1:
            symbol = next(iter(symbols))
        listed = symbols.get(symbol) if symbol is not None else None
        return self.behaviour.real_open_ms(listed.open_ms) if listed is not None else None

    # ---- serving ------------------------------------------------------------

    def _ssl_context(self) -> ssl.SSLContext:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.load_cert_chain(self._tls.certfile, self._tls.keyfile)

        def on_hello(sslobj, server_name, context):
            # Runs for every ClientHello, with or without SNI.
            if self._take_fault(Fault.REFUSE_TLS) is Fault.REFUSE_TLS:
                self.refused_handshakes += 1
                return ssl.ALERT_DESCRIPTION_HANDSHAKE_FAILURE
            return None

        ctx.sni_callback = on_hello
        return ctx

    @staticmethod
    def _process_request(connection, request):
        if urllib.parse.urlsplit(request.path).path != API_PATH:
            body = f"no WebSocket API at {request.path}\n".encode()
            return Response(404, "Not Found", Headers([("Content-Type", "text/plain"),
                                                     ("Content-Length", str(len(body)))]), body)
        return None

    async def _handle(self, ws: _StampedConnection) -> None:
        self.connections += 1
        self._open.add(ws)
        try:
            await self._serve_connection(ws)
        finally:
            self._open.discard(ws)

    async def _serve_connection(self, ws: _StampedConnection) -> None:
        requests = 0
        if self.behaviour.greet:
            await self._push(ws, "welcome to the loopback exchange")
        while True:
            try:
                message = await asyncio.wait_for(ws.recv(), self.request_timeout)
            except (asyncio.TimeoutError, ConnectionClosed):
                if not requests:
                    self.empty_connections += 1
                if ws.silenced:
                    await ws.wait_closed()  # half-open: it neither answers nor closes
                return
            requests += 1
            arrival = ws.arrival_ms(self.now_ms)
            service = service_request(message)
            if service is not None:
                reply = await self._answer_service(service, arrival)
            else:
                reply = await self._answer_order(ws, message, arrival)
                if reply is None:
                    return  # a fault took the connection
            if ws.silenced:
                continue  # gone silent while this request waited: no reply, ever
            try:
                await ws.send(json.dumps(reply))
            except ConnectionClosed:
                return

    async def _answer_service(self, request: dict, arrival: float) -> dict:
        if request["method"] == "time":
            self.time_requests += 1
            if self._take_time_hold(arrival):
                # The connection answers nothing else meanwhile: its requests go in order.
                await asyncio.sleep(self.behaviour.hold_s)
        else:
            self.ping_requests += 1
        return service_reply(request, self.now_ms(), self.time_api)

    def _take_time_hold(self, arrival: float) -> bool:
        """Whether this time request is the one to hold (the first at or after the set moment)."""
        at = self.behaviour.hold_time_reply_at_ms
        with self._lock:
            if at is None or self._time_held or arrival < at:
                return False
            self._time_held = True
            return True

    async def _answer_order(self, ws: _StampedConnection, message: Union[str, bytes],
                            arrival: float) -> Optional[dict]:
        """The reply to an order request, or None once a fault has dealt with it."""
        method = request_method(message)
        if method == TEST:  # faults strike orders placed, not tested
            checked = check_text(message, arrival, self._book)
            self._count_test(checked.record)
            return checked.reply
        if method in QUERY_METHODS:  # nor queries about them
            with self._lock:
                self.order_queries += 1
            return check_text(message, arrival, self._book).reply
        fault = self._take_fault(Fault.CLOSE, Fault.GARBAGE, Fault.SILENT, Fault.FILL_CLOSE)
        if fault is Fault.FILL_CLOSE:
            self._add(check_text(message, arrival, self._book).record)
            return None  # placed (filled, as the record says); the reply is never sent
        if fault is Fault.CLOSE:
            self._add(Record(0, arrival, fault.value))
            return None  # the handler returns: the connection closes (code 1000) with no reply
        if fault is Fault.GARBAGE:
            self._add(Record(0, arrival, fault.value))
            try:
                await ws.send("<html><body>Bad Gateway</body></html>")
            except ConnectionClosed:
                pass
            return None
        if fault is Fault.SILENT:
            self._add(Record(0, arrival, fault.value))
            try:
                await asyncio.wait_for(ws.wait_closed(), self.hold_seconds)
            except asyncio.TimeoutError:
                pass
            return None
        checked = check_text(message, arrival, self._book)
        self._add(checked.record)
        return checked.reply

    def _count_test(self, record: Record) -> None:
        with self._lock:
            self.test_orders += 1
            if record.outcome == "refused":
                name = _code_name(record.code)
                self.test_refusals[name] = self.test_refusals.get(name, 0) + 1

    # ---- what happens at a given time -----------------------------------------

    async def _push(self, ws: _StampedConnection, msg: str) -> None:
        """A message with no id, as exchanges push notices nobody asked for."""
        if ws.silenced:
            return
        try:
            await ws.send(json.dumps({"event": "notice", "msg": msg, "time": int(self.now_ms())}))
        except ConnectionClosed:
            pass

    async def _push_periodically(self) -> None:
        while True:
            every = self.behaviour.push_every_ms
            if every is None:
                return
            await asyncio.sleep(every / 1000.0)
            for ws in list(self._open):
                await self._push(ws, "the loopback exchange is open")

    def _arm_timers(self, changed: Iterable[str]) -> None:
        """Schedules the closing and the silence whose times are among ``changed``, and the pushes.

        A time left unchanged keeps its timer, which may have struck already:
        changing another option must not strike again.
        """
        if self._loop is None or self._server is None:
            return
        b = self.behaviour
        for name, action in (("close_at_ms", self._close_open), ("silence_at_ms", self._silence_open)):
            if name not in changed:
                continue
            old = self._timers.pop(name, None)
            if old is not None:
                old.cancel()
            at = getattr(b, name)
            if at is not None:
                delay = max(0.0, (at - self.now_ms()) / 1000.0)
                self._timers[name] = self._loop.call_later(delay, action)
        if b.push_every_ms is not None and (self._pusher is None or self._pusher.done()):
            self._pusher = self._loop.create_task(self._push_periodically())

    def _close_open(self) -> None:
        """Every connection open now is closed as a server going away closes it."""
        for ws in list(self._open):
            if not ws.silenced:
                asyncio.ensure_future(ws.close(1001, "going away"))

    def _silence_open(self) -> None:
        """Every connection open now goes half-open: nothing read, nothing sent, not closed.

        Without reading, the WebSocket layer never sees a ping, so no pong
        goes out either; the socket stays established.
        """
        for ws in list(self._open):
            ws.silenced = True
            if ws.transport is not None and not ws.transport.is_closing():
                ws.transport.pause_reading()

    def _connection_factory(self) -> Callable[..., _StampedConnection]:
        now_ms = self.now_ms

        class Connection(_StampedConnection):
            stamp = staticmethod(now_ms)

        return Connection

    async def start(self) -> "LoopbackExchange":
        """Start serving on the running event loop."""
        if self._server is not None:
            raise RuntimeError("already running")
        if self._tls is None:
            self._tempdir = tempfile.TemporaryDirectory(prefix="quorvane-loopback-")
            self._tls = make_self_signed(self._tempdir.name)
        self._server = await serve(
            self._handle, LOOPBACK, self._port,
            ssl=self._ssl_context(), process_request=self._process_request,
            compression=None, ping_interval=None, close_timeout=2,
            create_connection=self._connection_factory(), logger=_SERVER_LOG,
        )
        self._bound_port = self._server.sockets[0].getsockname()[1]
        self._loop = asyncio.get_running_loop()
        self._arm_timers({"close_at_ms", "silence_at_ms"})
        if self.lifetime is not None:
            self._lifetime_handle = self._loop.call_later(self.lifetime, self._server.close)
        return self

    async def stop(self) -> None:
        """Stop serving and close every open connection."""
        if self._server is None:
            return
        if self._lifetime_handle is not None:
            self._lifetime_handle.cancel()
        for handle in self._timers.values():
            handle.cancel()
        self._timers.clear()
        if self._pusher is not None:
            self._pusher.cancel()
        for ws in list(self._open):
            if ws.silenced:  # it would wait out its closing handshake: nothing is read
                ws.transport.abort()
        self._server.close()
        try:
            await asyncio.wait_for(self._server.wait_closed(), 5)
        except asyncio.TimeoutError:
            pass
        if self._tempdir is not None:
            self._tempdir.cleanup()
            self._tempdir, self._tls = None, None

    async def __aenter__(self) -> "LoopbackExchange":
        return await self.start()

    async def __aexit__(self, *exc) -> None:
        await self.stop()


# --------------------------------------------------------------------------
# Command line


def _account_arg(text: str) -> Tuple[str, str]:
    key, sep, secret = text.partition(":")
    if not sep or not key or not secret:
        raise argparse.ArgumentTypeError("an account is KEY:SECRET")
    return key, secret


# The account the exchange serves when given none: fine for a rehearsal, since
# anyone who can reach 127.0.0.1 here may read it from this help anyway.
DEFAULT_ACCOUNT = ("demo-key", "demo-secret")
DEFAULT_SYMBOL = "QRVUSD:+30s"

EXAMPLES = (
    "quorvane-exchange",
    "    QRVUSD opening 30 s from now, step 0.001, account demo-key / demo-secret;",
    "    then, in another terminal, with the port and CA file from its first line:",
    "    QUORVANE_API_KEY=demo-key QUORVANE_SECRET_KEY=demo-secret quorvane-host QRVUSD 0.1 \\",
    "      --connect 127.0.0.1:PORT --cafile CAFILE --open-at OPENING_MS",
    "quorvane-exchange --symbol QRVUSD:+60s,step=0.001 --account KEY:SECRET --rtt 20 --jitter 1",
    "    behind a relay that adds a 20 ms round trip (clients connect to the relay)",
    "quorvane-exchange --symbol QRVUSD:+10s --late-ms 1500 --order-limit 10 --duration 60",
    "    a listing that opens 1.5 s late under a limit of 10 orders a second; stops after a minute",
)


def _parser() -> CommandParser:
    p = CommandParser(
        "quorvane-exchange",
        "Run the loopback exchange on 127.0.0.1 (TLS) until Ctrl-C or --duration.\n"
        "The first line of output says where it listens, as JSON; then one line\n"
        "per request.",
        EXAMPLES)
    p.add_argument("--symbol", action="append", metavar="NAME[:OPEN[,step=S][,price=P]]",
                   help="a listed symbol; OPEN is ms since the epoch, an ISO 8601 time with zone, "
                        "'now' or '+5s' by the exchange's clock (default: QRVUSD opening in 30 s, "
                        "step 0.001, price 1.00); repeatable")
    p.add_argument("--account", action="append", type=_account_arg, metavar="KEY:SECRET",
                   help="a test account (visible to other users of this machine: use throwaway "
                        "keys, or --key-file); repeatable (default, without --account or "
                        f"--key-file: {DEFAULT_ACCOUNT[0]}:{DEFAULT_ACCOUNT[1]})")
    p.add_argument("--key-file", metavar="FILE",
                   help="an account from a key file, as quorvane-host reads it (see quorvane-host --help)")
    p.add_argument("--port", type=int, default=0, help="port (default: any free one)")
    p.add_argument("--cert", metavar="PEM", help="certificate to serve, with --key (default: a "
                                                 "self-signed one, made with the openssl command)")
    p.add_argument("--key", metavar="PEM", help="private key of --cert")
    p.add_argument("--recv-window", type=int, default=5000, metavar="MS",
                   help="how old a request's timestamp may be (default 5000)")
    p.add_argument("--clock-skew", type=float, default=0.0, metavar="MS",
                   help="the exchange's clock runs this far ahead of this machine's (negative: "
                        "behind); it checks and reports everything by its own clock (default 0)")
    p.add_argument("--no-time-api", action="store_true",
                   help="refuse the time and ping requests, as an exchange without them")
    p.add_argument("--fault", choices=[f.value for f in Fault], default="none",
                   help="misbehave on every order request: close (read it, close without a reply), "
                        "fill-close (place it, then close without a reply), "
                        "garbage (reply with text that is not JSON), silent (never reply), "
                        "refuse-tls (fail the TLS handshake); default none")
    p.add_argument("--rtt", type=float, default=0.0, metavar="MS",
                   help="put a delay relay in front that adds this round trip; clients connect "
                        "to the relay (its port is on the first line; default 0: no relay)")
    p.add_argument("--jitter", type=float, default=0.0, metavar="MS",
                   help="with --rtt: a round trip strays up to this far from it (default 0)")
    p.add_argument("--relay-port", type=int, default=0, metavar="PORT", help="the relay's port (default: any free one)")
    p.add_argument("--seed", type=int, metavar="N", help="seed of the relay's jitter (default: a random one)")
    p.add_argument("--duration", type=float, metavar="SECONDS",
                   help="stop after this long (default: at Ctrl-C)")
    p.add_argument("--records", metavar="FILE", help="write the request records as JSON here at exit")
    p.add_argument("--control", action="store_true",
                   help="be driven by another program through standard input and output "
                        "(see quorvane_rehearsal.network); stops when standard input closes")
    add_behaviour_arguments(p)
    return p


def _accounts(args: argparse.Namespace) -> Dict[str, str]:
    accounts = dict(args.account or [])
    if args.key_file:
        from quorvane_host.cli.keys import read_key_file

        key, secret = read_key_file(args.key_file)
        accounts[key] = secret
    return accounts


def _show(record: Record) -> None:
    what = (f"order {record.order_id}" if record.order_id is not None
            else f"{record.code} {record.msg}" if record.outcome == "refused" else record.outcome)
    print(f"request {record.seq}: {record.outcome} {record.symbol or '-'} "
          f"qty {record.quantity or '-'} at {record.arrival_ms:.1f}: {what}", flush=True)


def ready_line(exchange: "LoopbackExchange", relay=None) -> dict:
    """Where a started exchange (and the relay in front of it) can be reached."""
    return {
        "host": LOOPBACK,
        "port": relay.port if relay is not None else exchange.port,
        "exchange_port": exchange.port,
        "relay_port": relay.port if relay is not None else None,
        "url": exchange.url,
        "cafile": exchange.cafile,
        "clock_skew_ms": exchange.clock_skew_ms,
        "rtt_ms": relay.rtt_ms if relay is not None else 0.0,
        "jitter_ms": relay.jitter_ms if relay is not None else 0.0,
    }


async def _serve(args: argparse.Namespace, accounts: Dict[str, str], symbols: List[Symbol],
                 tls: Optional[TLSFiles], behaviour: Behaviour) -> None:
    from quorvane_rehearsal.relay import DelayRelay

    control = None
    if args.control:
        from quorvane_rehearsal.control import open_control

        # The controlling program sends the accounts on the first line, off the command line.
        control, more, asked = await open_control()
        accounts = {**accounts, **more}
        if asked:  # the flags' options, then the controlling program's over them
            behaviour = behaviour.changed(**asked)
    exchange = LoopbackExchange(accounts, symbols, port=args.port, tls=tls,
                                recv_window_ms=args.recv_window, fault=args.fault,
                                on_record=None if args.control else _show,
                                clock_skew_ms=args.clock_skew, time_api=not args.no_time_api,
                                behaviour=behaviour)
    relay = None
    async with exchange:
        if args.rtt or args.jitter:
            relay = await DelayRelay(LOOPBACK, exchange.port, rtt_ms=args.rtt, jitter_ms=args.jitter,
                                     port=args.relay_port, seed=args.seed).start()
        try:
            print(json.dumps(ready_line(exchange, relay)), flush=True)
            stop = asyncio.Event()
            loop = asyncio.get_running_loop()
            for sig in (signal.SIGINT, signal.SIGTERM):
                loop.add_signal_handler(sig, stop.set)
            if args.control:
                from quorvane_rehearsal.control import serve_control, snapshot

                await serve_control(control, exchange, relay, stop, args.duration)
                if relay is not None:
                    await relay.stop()  # the final figures count every connection closed
                print(json.dumps({"final": True, **snapshot(exchange, relay)}), flush=True)
            else:
                _say_started(exchange, relay, symbols, accounts)
                try:
                    await asyncio.wait_for(stop.wait(), args.duration)
                except asyncio.TimeoutError:
                    pass
                report = exchange.report()
                if relay is not None:
                    report["relay"] = relay.stats()
                print("stopping: " + json.dumps(report), flush=True)
            if args.records:
                with open(args.records, "w") as fh:
                    json.dump([r.to_dict() for r in exchange.records()], fh, indent=1)
        finally:
            if relay is not None:
                await relay.stop()


def _say_started(exchange: "LoopbackExchange", relay, symbols: List[Symbol],
                 accounts: Mapping[str, str]) -> None:
    print(f"loopback exchange on {exchange.url}", flush=True)
    if relay is not None:
        print(f"relay on {relay.address}: round trip {relay.rtt_ms:g} ms +- {relay.jitter_ms:g} ms "
              f"(clients connect here)", flush=True)
    print(f"CA file for clients: {exchange.cafile}", flush=True)
    for s in symbols:
        late = exchange.behaviour.late_ms
        really = f", really at {exchange.behaviour.real_open_ms(s.open_ms):.0f} ms" if late else ""
        print(f"symbol {s.name}: opens at {s.open_ms} ms{really}, step {s.step}", flush=True)
    if exchange.clock_skew_ms:
        side = "ahead of" if exchange.clock_skew_ms > 0 else "behind"
        print(f"clock: {abs(exchange.clock_skew_ms):g} ms {side} this machine's", flush=True)
    changed = _changed_behaviour(exchange.behaviour)
    if changed:
        print("behaviour: " + json.dumps(changed), flush=True)
    if accounts == dict([DEFAULT_ACCOUNT]):
        print(f"account: {DEFAULT_ACCOUNT[0]}, secret {DEFAULT_ACCOUNT[1]} (the default)", flush=True)
    else:
        print("accounts: " + ", ".join(sorted(accounts)), flush=True)


def _changed_behaviour(behaviour: Behaviour) -> dict:
    default = Behaviour()
    return {f.name: getattr(behaviour, f.name) for f in fields(Behaviour)
            if getattr(behaviour, f.name) != getattr(default, f.name)}


def main(argv: Optional[List[str]] = None) -> int:
    from quorvane_host.cli.keys import CredentialsError
    from quorvane_rehearsal.relay import DelayRelay, run

    parser = _parser()
    args = parser.parse_args(argv)
    try:
        accounts = _accounts(args)
    except CredentialsError as exc:
        return parser.fail(str(exc))
    if not accounts and not args.control:
        accounts = dict([DEFAULT_ACCOUNT])
    server_now = int(time.time() * 1000 + args.clock_skew)
    try:
        symbols = [symbol_arg(text, server_now) for text in args.symbol or [DEFAULT_SYMBOL]]
    except argparse.ArgumentTypeError as exc:
        parser.error(f"argument --symbol: {exc}")
    try:
        behaviour = behaviour_from_args(args, server_now, parse_time_ms)
    except (ValueError, argparse.ArgumentTypeError) as exc:
        parser.error(str(exc))
    if bool(args.cert) != bool(args.key):
        return parser.fail("--cert and --key go together")
    if args.rtt or args.jitter:
        try:
            DelayRelay(LOOPBACK, 1, rtt_ms=args.rtt, jitter_ms=args.jitter)
        except ValueError as exc:
            parser.error(str(exc))
    tls = TLSFiles(args.cert, args.key) if args.cert else None
    # The relay's timers need the precise event loop; the exchange runs on it too.
    run(_serve(args, accounts, symbols, tls, behaviour))
    return 0


if __name__ == "__main__":
    sys.exit(main())
