"""A TCP relay on 127.0.0.1 that delays everything it carries, as a network would.

Rehearsals on one machine miss what a real network costs: every round trip of
the TLS handshake, the WebSocket upgrade and each request.  :class:`DelayRelay`
listens on 127.0.0.1, opens a connection to its target for every client, and
hands on each chunk of bytes, in each direction, once half the round trip
(plus jitter) has passed since the chunk arrived:

* a chunk's due time is taken against the monotonic clock when it is read,
  ``rtt_ms / 2`` plus a jitter drawn uniformly from
  ``[-jitter_ms / 2, +jitter_ms / 2]``, so a round trip stays within
  ``rtt_ms +- jitter_ms``;
* a later chunk never overtakes an earlier one in the same direction (its due
  time is at least that of the chunk before it);
* the end of a stream (and a connection's end) travels behind the data that
  preceded it;
* the TCP connection itself is made at once: connecting is free, everything
  after it pays its round trips.

Precision: the relay's timers need a finer wake-up than the event loop's
default ``epoll`` selector offers (whole milliseconds, rounded up), so its own
event loops use the ``select`` selector (microseconds): see
:func:`precise_event_loop` and :func:`run`.  Started on another loop it still
works, just less exactly; :meth:`DelayRelay.stats` reports how late chunks
left against their due time, and :func:`measure_precision` measures the
round trip that a client sees against the one asked for.

Use it from asyncio (``async with DelayRelay(...) as relay``), from plain code
in a thread of its own (``with DelayRelay(...) as relay``; but a thread of the
process that runs ``quorvane_3`` stops while the module polls, so rehearsals
run the relay in another process, see :mod:`quorvane_rehearsal.network`), or
from a shell::

    quorvane-relay --target 127.0.0.1:8443 --rtt 30 --jitter 2
    python -m quorvane_rehearsal.relay --self-test --rtt 30
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import random
import selectors
import signal
import socket
import statistics
import subprocess
import sys
import threading
from typing import Awaitable, Deque, List, Optional, Set, Tuple, TypeVar

from quorvane_rehearsal.background import ServedInThread
from quorvane_host.cli.progname import package_path_env
from quorvane_rehearsal.commandline import CommandParser

__all__ = ["DelayRelay", "measure_precision", "precise_event_loop", "run"]

LOOPBACK = "127.0.0.1"

# A timer is set this much before a chunk is due, and the rest is waited out
# by polling the clock between turns of the event loop (which go on serving
# the sockets meanwhile): waking from the selector takes about a tenth of a
# millisecond on an idle machine and more on a busy one, which a timer set at
# the due time itself would add to every delivery.
_EARLY_S = 0.0005
# Chunks due within this much of the moment of delivery leave with it.
_COALESCE_S = 0.00002
# How many lateness samples the statistics keep (the latest ones).
_LATENESS_KEPT = 10_000

T = TypeVar("T")


def precise_event_loop() -> asyncio.AbstractEventLoop:
    """A new event loop whose timers wake within microseconds, not whole milliseconds."""
    return asyncio.SelectorEventLoop(selectors.SelectSelector())


def run(main: Awaitable[T]) -> T:
    """``asyncio.run`` on a :func:`precise_event_loop`."""
    loop = precise_event_loop()
    try:
        asyncio.set_event_loop(loop)
        return loop.run_until_complete(main)
    finally:
        try:
            _cancel_all(loop)
            loop.run_until_complete(loop.shutdown_asyncgens())
        finally:
            asyncio.set_event_loop(None)
            loop.close()


def _cancel_all(loop: asyncio.AbstractEventLoop) -> None:
    tasks = [t for t in asyncio.all_tasks(loop) if not t.done()]
    for t in tasks:
        t.cancel()
    if tasks:
        loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))


def _nodelay(transport: asyncio.BaseTransport) -> None:
    sock = transport.get_extra_info("socket")
    if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


# Markers that travel through a pipe behind the data.
_EOF = object()  # the sender half-closed: half-close the receiver
_CLOSE = object()  # the sender's connection ended: close the receiver


class _Pipe:
    """One direction of a relayed connection: chunks wait for their due time, in order."""

    def __init__(self, link: "_Link", name: str) -> None:
        self.link = link
        self.name = name
        self.dest: Optional[asyncio.Transport] = None
        self.queue: Deque[Tuple[float, object]] = collections.deque()
        self.last_due = 0.0
        self.timer: Optional[asyncio.Handle] = None
        self.ended = False  # the sender half-closed: only _CLOSE may follow
        self.done = False  # _CLOSE has been delivered, or the receiver is gone

    def push(self, item: object, now: float) -> None:
        if self.done or (self.ended and item is not _CLOSE):
            return
        if item is _EOF or item is _CLOSE:
            if item is _CLOSE and self.queue and self.queue[-1][1] is _CLOSE:
                return
            self.ended = True
        due = max(now + self.link.relay.one_way_delay_s(), self.last_due)
        self.last_due = due
        self.queue.append((due, item))
        self._arm()

    def attach(self, dest: asyncio.Transport) -> None:
        self.dest = dest
        self._arm()

    def _arm(self) -> None:
        if self.timer is None and self.queue and self.dest is not None:
            self.timer = self.link.loop.call_at(self.queue[0][0] - _EARLY_S, self._deliver)

    def _deliver(self) -> None:
        self.timer = None
        loop, relay = self.link.loop, self.link.relay
        now = loop.time()
        if now < self.queue[0][0]:  # early: look again after the loop's next turn
            self.timer = loop.call_soon(self._deliver)
            return
        while self.queue and self.queue[0][0] <= now + _COALESCE_S:
            due, item = self.queue.popleft()
            relay.note_lateness(now - due)
            if item is _EOF:
                self.link.deliver_eof(self)
            elif item is _CLOSE:
                self.link.deliver_close(self)
            else:
                relay.count_bytes(self.name, len(item))
                self.dest.write(item)
            if self.done:
                self.queue.clear()
                return
        self._arm()

    def cancel(self) -> None:
        self.done = True
        self.queue.clear()
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None


class _Side(asyncio.Protocol):
    """The protocol of one of the link's two sockets."""

    def __init__(self, link: "_Link", outgoing: _Pipe, incoming: _Pipe) -> None:
        self.link = link
        self.outgoing = outgoing  # what this side sends goes here
        self.incoming = incoming  # what this side receives comes from here
        self.transport: Optional[asyncio.Transport] = None
        self.eof_in = False
        self.eof_out = False
        self.lost = False

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]
        _nodelay(transport)
        self.incoming.attach(self.transport)

    def data_received(self, data: bytes) -> None:
        self.outgoing.push(data, self.link.loop.time())

    def eof_received(self) -> bool:
        self.eof_in = True
        self.outgoing.push(_EOF, self.link.loop.time())
        self.link.close_if_finished(self)
        return True  # keep the socket open: the other direction may still carry data

    def connection_lost(self, exc: Optional[BaseException]) -> None:
        self.lost = True
        self.incoming.cancel()  # nothing can reach this side any more
        self.outgoing.push(_CLOSE, self.link.loop.time())
        self.link.side_lost()

    def pause_writing(self) -> None:
        self.link.other(self).pause_reading()

    def resume_writing(self) -> None:
        self.link.other(self).resume_reading()

    def pause_reading(self) -> None:
        if self.transport is not None and not self.transport.is_closing():
            self.transport.pause_reading()

    def resume_reading(self) -> None:
        if self.transport is not None and not self.transport.is_closing():
            self.transport.resume_reading()


class _Link:
    """A client connection and its own connection to the target."""

    def __init__(self, relay: "DelayRelay", loop: asyncio.AbstractEventLoop) -> None:
        self.relay = relay
        self.loop = loop
        self.up = _Pipe(self, "up")  # client -> target
        self.down = _Pipe(self, "down")  # target -> client
        self.client = _Side(self, outgoing=self.up, incoming=self.down)
        self.target = _Side(self, outgoing=self.down, incoming=self.up)
        self.connecting: Optional[asyncio.Task] = None
        self.finished = False

    def other(self, side: _Side) -> _Side:
        return self.target if side is self.client else self.client

    def _receiver(self, pipe: _Pipe) -> _Side:
        return self.target if pipe is self.up else self.client

    async def connect(self, host: str, port: int) -> None:
        try:
            await self.loop.create_connection(lambda: self.target, host, port)
        except OSError:
            self.relay.failed_connects += 1
            self.abort()
        else:
            if self.finished and self.target.transport is not None:
                self.target.transport.abort()

    def deliver_eof(self, pipe: _Pipe) -> None:
        side = self._receiver(pipe)
        side.eof_out = True
        if side.transport is not None and not side.transport.is_closing():
            if side.transport.can_write_eof():
                try:
                    side.transport.write_eof()
                except OSError:  # the far side has gone already (ENOTCONN): nothing to half-close
                    side.transport.abort()
            else:
                side.transport.close()
        self.close_if_finished(side)

    def deliver_close(self, pipe: _Pipe) -> None:
        pipe.done = True
        side = self._receiver(pipe)
        if side.transport is not None:
            side.transport.close()  # sends what is buffered, then closes

    def close_if_finished(self, side: _Side) -> None:
        """A socket whose both directions have ended is closed."""
        if side.eof_in and side.eof_out and side.transport is not None:
            side.transport.close()

    def side_lost(self) -> None:
        connecting = self.connecting is not None and not self.connecting.done()
        if self.client.lost and (self.target.lost or (self.target.transport is None and not connecting)):
            self._finish()

    def abort(self, graceful: bool = False) -> None:
        """Drop the link with whatever it still holds in its pipes.

        ``graceful`` closes the sockets after what they have already been
        given; otherwise they are reset.
        """
        self.up.cancel()
        self.down.cancel()
        if self.connecting is not None and self.connecting is not asyncio.current_task():
            self.connecting.cancel()
        for side in (self.client, self.target):
            if side.transport is not None:
                if graceful:
                    side.transport.close()
                else:
                    side.transport.abort()
        if self.client.lost and self.target.transport is None:
            self._finish()  # no connection_lost is coming

    def _finish(self) -> None:
        if not self.finished:
            self.finished = True
            self.up.cancel()
            self.down.cancel()
            self.relay.link_finished(self)


class DelayRelay(ServedInThread):
    """The relay; see the module's description.

    ``target_host``/``target_port``: where every connection goes.
    ``rtt_ms``: the round trip to add; ``jitter_ms``: how far a round trip
    may stray from it either way (each direction draws half of it).
    ``host``/``port``: where to listen (``port`` 0: any free port).
    ``seed``: makes the jitter repeatable.
    """

    _thread_name = "delay-relay"
    _thread_runner = staticmethod(run)

    def __init__(
        self,
        target_host: str,
        target_port: int,
        *,
        rtt_ms: float,
        jitter_ms: float = 0.0,
        host: str = LOOPBACK,
        port: int = 0,
        seed: Optional[int] = None,
    ) -> None:
        if rtt_ms < 0 or jitter_ms < 0:
            raise ValueError("the round trip and the jitter cannot be negative")
        if jitter_ms > rtt_ms:
            raise ValueError("the jitter cannot exceed the round trip")
        self.target_host = target_host
        self.target_port = int(target_port)
        self.rtt_ms = float(rtt_ms)
        self.jitter_ms = float(jitter_ms)
        self._host = host
        self._port = port
        self._random = random.Random(seed)
        self._server: Optional[asyncio.AbstractServer] = None
        self._links: Set[_Link] = set()
        self._all_finished: Optional[asyncio.Event] = None
        self._lateness: Deque[float] = collections.deque(maxlen=_LATENESS_KEPT)
        self._worst_lateness = 0.0
        self._chunks = 0
        self.connections = 0
        self.failed_connects = 0
        self.bytes_up = 0
        self.bytes_down = 0
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._thread: Optional[threading.Thread] = None
        self._thread_stop: Optional[asyncio.Event] = None

    # ---- delays and statistics ----------------------------------------------

    def one_way_delay_s(self) -> float:
        half_jitter = self.jitter_ms / 2
        ms = self.rtt_ms / 2 + self._random.uniform(-half_jitter, half_jitter)
        return max(ms, 0.0) / 1000.0

    def note_lateness(self, seconds: float) -> None:
        ms = seconds * 1000.0
        self._chunks += 1
        self._lateness.append(ms)
        if ms > self._worst_lateness:
            self._worst_lateness = ms

    def count_bytes(self, direction: str, n: int) -> None:
        if direction == "up":
            self.bytes_up += n
        else:
            self.bytes_down += n

    def stats(self) -> dict:
        """What the relay carried and how late, in ms, chunks left against their due time."""
        lateness = list(self._lateness)
        return {
            "rtt_ms": self.rtt_ms,
            "jitter_ms": self.jitter_ms,
            "connections": self.connections,
            "open_connections": len(self._links),
            "failed_connects": self.failed_connects,
            "bytes_up": self.bytes_up,
            "bytes_down": self.bytes_down,
            "deliveries": self._chunks,
            "lateness_median_ms": statistics.median(lateness) if lateness else None,
            "lateness_worst_ms": self._worst_lateness if lateness else None,
        }

    # ---- where it listens ---------------------------------------------------

    @property
    def host(self) -> str:
        return self._host

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the relay is not running")
        return self._server.sockets[0].getsockname()[1]

    @property
    def address(self) -> str:
        return f"{self._host}:{self.port}"

    # ---- serving ------------------------------------------------------------

    def _accept(self) -> _Side:
        link = _Link(self, asyncio.get_running_loop())
        self._links.add(link)
        self.connections += 1
        link.connecting = link.loop.create_task(link.connect(self.target_host, self.target_port))
        link.connecting.add_done_callback(lambda _: link.side_lost())
        return link.client

    def link_finished(self, link: _Link) -> None:
        self._links.discard(link)
        if not self._links and self._all_finished is not None:
            self._all_finished.set()

    async def start(self) -> "DelayRelay":
        """Start listening on the running event loop."""
        if self._server is not None:
            raise RuntimeError("already running")
        self._loop = asyncio.get_running_loop()
        self._server = await self._loop.create_server(self._accept, self._host, self._port)
        return self

    async def stop(self) -> None:
        """Stop listening and close every relayed connection; returns when all are closed.

        Chunks still waiting for their due time are dropped; both sides of
        each connection are closed after what they were already sent, or
        reset when they do not take it within a second.
        """
        if self._server is None:
            return
        self._server.close()
        await self._server.wait_closed()
        self._all_finished = asyncio.Event()
        for graceful in (True, False):
            for link in list(self._links):
                link.abort(graceful)
            if not self._links:
                break
            try:
                await asyncio.wait_for(self._all_finished.wait(), 1 if graceful else 5)
                break
            except asyncio.TimeoutError:
                pass
        # let the aborted transports' last callbacks run
        await asyncio.sleep(0)
        self._server = None

    async def __aenter__(self) -> "DelayRelay":
        return await self.start()

    async def __aexit__(self, *exc) -> None:
        await self.stop()


# --------------------------------------------------------------------------
# Measuring the relay itself


async def _echo_server() -> asyncio.AbstractServer:
    class Echo(asyncio.Protocol):
        def connection_made(self, transport):
            _nodelay(transport)
            self.transport = transport

        def data_received(self, data):
            self.transport.write(data)

    return await asyncio.get_running_loop().create_server(Echo, LOOPBACK, 0)


async def _round_trips(port: int, samples: int, pause_s: float) -> List[float]:
    reader, writer = await asyncio.open_connection(LOOPBACK, port)
    _nodelay(writer.transport)
    loop = asyncio.get_running_loop()
    times = []
    try:
        for i in range(samples):
            start = loop.time()
            writer.write(b"%08d" % i)
            await reader.readexactly(8)
            times.append((loop.time() - start) * 1000.0)
            await asyncio.sleep(pause_s)
    finally:
        writer.close()
        await writer.wait_closed()
    return times


def _summary(errors: List[float]) -> dict:
    ordered = sorted(errors)
    return {"samples": len(errors), "median_ms": statistics.median(errors),
            "p90_ms": ordered[int(0.9 * (len(ordered) - 1))], "worst_ms": ordered[-1],
            "best_ms": ordered[0]}


def measure_precision(rtt_ms: float = 30.0, samples: int = 100, *, pause_s: float = 0.005,
                      in_process: bool = False) -> dict:
    """Round trips through a relay to an echo server, against the round trip asked for.

    The relay runs in a process of its own (as in rehearsals) unless
    ``in_process``; the echo server and the client run here, on a precise
    event loop.  Returns the error (achieved minus asked, in ms) as median,
    90th percentile, best and worst, the same for the direct loopback round
    trip, and the relay's own statistics when it ran here.
    """

    async def main() -> dict:
        echo = await _echo_server()
        echo_port = echo.sockets[0].getsockname()[1]
        proc = None
        relay: Optional[DelayRelay] = None
        try:
            direct = await _round_trips(echo_port, max(samples // 4, 10), pause_s)
            if in_process:
                relay = await DelayRelay(LOOPBACK, echo_port, rtt_ms=rtt_ms).start()
                port = relay.port
            else:
                env = package_path_env()
                proc = await asyncio.create_subprocess_exec(
                    sys.executable, "-m", "quorvane_rehearsal.relay", "--target", f"{LOOPBACK}:{echo_port}",
                    "--rtt", str(rtt_ms), "--ready-json",
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
                port = json.loads(await asyncio.wait_for(proc.stdout.readline(), 30))["port"]
            through = await _round_trips(port, samples, pause_s)
            result = {"rtt_ms": rtt_ms, "relay": _summary([t - rtt_ms for t in through]),
                      "direct": _summary(direct),
                      "relay_in": "this process" if in_process else "its own process"}
            if relay is not None:
                result["relay_stats"] = relay.stats()
            return result
        finally:
            if relay is not None:
                await relay.stop()
            if proc is not None:
                proc.stdin.close()
                await proc.wait()
            echo.close()
            await echo.wait_closed()

    return run(main())


# --------------------------------------------------------------------------
# Command line


def _address(text: str) -> Tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError("expected HOST:PORT")
    return host or LOOPBACK, int(port)


EXAMPLES = (
    "quorvane-relay --target 127.0.0.1:8443 --rtt 30 --jitter 2",
    "    clients connect to the port it prints; each round trip takes 30 ms (+- 2 ms) more",
    "quorvane-relay --self-test --rtt 30",
    "    its own error against the asked round trip, measured against an echo server",
)


def _parser() -> CommandParser:
    p = CommandParser(
        "quorvane-relay",
        "Relay TCP connections on 127.0.0.1 to a target, delaying every chunk by half\n"
        "the round trip (plus jitter) in each direction. Give --target, or --self-test.",
        EXAMPLES)
    what = p.add_argument_group("required, one of").add_mutually_exclusive_group(required=True)
    what.add_argument("--target", type=_address, metavar="HOST:PORT", help="where connections go")
    what.add_argument("--self-test", action="store_true",
                      help="measure the relay's precision against an echo server and exit")
    p.add_argument("--rtt", type=float, default=30.0, metavar="MS", help="round trip to add (default 30)")
    p.add_argument("--jitter", type=float, default=0.0, metavar="MS",
                   help="a round trip strays up to this far from --rtt (default 0)")
    p.add_argument("--port", type=int, default=0, help="port to listen on (default: any free one)")
    p.add_argument("--seed", type=int, metavar="N", help="seed of the jitter (default: a random one)")
    p.add_argument("--duration", type=float, metavar="SECONDS",
                   help="stop after this long (default: at Ctrl-C)")
    p.add_argument("--ready-json", action="store_true",
                   help="print the listening address as one JSON line, and stop when stdin closes")
    p.add_argument("--samples", type=int, default=200, metavar="N",
                   help="round trips for --self-test (default 200)")
    return p


async def _watch_stdin(stop: asyncio.Event) -> None:
    """Set ``stop`` when standard input ends (the parent went away)."""
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while await reader.read(4096):
        pass
    stop.set()


async def _serve(args: argparse.Namespace) -> None:
    host, port = args.target
    relay = DelayRelay(host, port, rtt_ms=args.rtt, jitter_ms=args.jitter, port=args.port, seed=args.seed)
    async with relay:
        if args.ready_json:
            print(json.dumps({"host": relay.host, "port": relay.port, "target": f"{host}:{port}"}),
                  flush=True)
        else:
            print(f"relay on {relay.address} -> {host}:{port}, round trip {args.rtt:g} ms "
                  f"+- {args.jitter:g} ms", flush=True)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, stop.set)
        watcher = loop.create_task(_watch_stdin(stop)) if args.ready_json else None
        try:
            await asyncio.wait_for(stop.wait(), args.duration)
        except asyncio.TimeoutError:
            pass
        if watcher is not None:
            watcher.cancel()
        stats = relay.stats()
    if not args.ready_json:
        print("stopping: " + json.dumps(stats), flush=True)


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        DelayRelay(LOOPBACK, 1, rtt_ms=args.rtt, jitter_ms=args.jitter)
    except ValueError as exc:
        parser.error(str(exc))
    if args.self_test:
        for where in (False, True):
            m = measure_precision(args.rtt, args.samples, in_process=where)
            r, d = m["relay"], m["direct"]
            print(f"relay in {m['relay_in']}: round trip asked {args.rtt:g} ms, error median "
                  f"{r['median_ms']:+.3f} ms, p90 {r['p90_ms']:+.3f} ms, worst {r['worst_ms']:+.3f} ms, "
                  f"best {r['best_ms']:+.3f} ms ({r['samples']} round trips); loopback alone "
                  f"{d['median_ms']:.3f} ms median, {d['worst_ms']:.3f} ms worst")
        return 0
    run(_serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
