"""A rehearsal network: the loopback exchange and a delay relay in a process of their own.

``quorvane_3`` holds its thread while it polls for the opening, so an
exchange or relay served from the host's own process would stand still just
when the orders go out.  :class:`RehearsalNetwork` starts them in a child
process (``python -m quorvane_rehearsal.exchange --control``), waits until they
listen, and talks to the child through its standard input and output::

    from quorvane_rehearsal.exchange import Symbol
    from quorvane_rehearsal.network import RehearsalNetwork

    with RehearsalNetwork({"key": "secret"}, [Symbol("QRVUSD", open_ms)],
                          rtt_ms=30, jitter_ms=2, clock_skew_ms=300) as net:
        quorvane_3.websockets = net.connector()  # connections go through the relay
        ...                                      # run the host
        report = net.report("QRVUSD")
    final = net.final                            # the report taken when the child stopped

API
---
``RehearsalNetwork(accounts, symbols=(), *, rtt_ms=0, jitter_ms=0,
clock_skew_ms=0, seed=None, time_api=True, recv_window_ms=5000,
fault="none", tls=None, lifetime=None, behaviour=None, start_timeout=30,
reply_timeout=30)``

* ``accounts``: API key -> secret (sent to the child through a pipe, never
  on its command line); ``symbols``: :class:`~quorvane_rehearsal.exchange.Symbol`
  objects, openings in ms by the exchange's clock.
* ``rtt_ms``/``jitter_ms``: the relay's round trip and jitter; with both 0
  there is no relay and clients connect to the exchange itself.
* ``clock_skew_ms``: the exchange's clock runs this far ahead of this
  machine's (negative: behind).  ``time_api=False``: an exchange without the
  ``time`` and ``ping`` requests.  ``fault``: a
  :class:`~quorvane_rehearsal.exchange.Fault` from the start.
* ``behaviour``: the exchange's listing-day options, a
  :class:`~quorvane_rehearsal.behaviour.Behaviour` (times in ms by the
  exchange's clock); :meth:`set_behaviour` changes them while it runs.
* ``tls``: certificate and key to serve (default: made by the child, removed
  when it stops).  ``lifetime``: the child stops by itself after this many
  seconds (it always stops when this process goes away).

``start()`` (or ``with``) starts the child and returns once it listens;
``stop()`` stops it, waits for it to end and returns the final snapshot
(also kept in :attr:`final`); calling it again does nothing.

Where to connect: :attr:`host` (127.0.0.1), :attr:`port` (the relay's when
there is one, else the exchange's), :attr:`cafile`, :meth:`connector`
(a :class:`~quorvane_host.net.connector.Connector` to :attr:`port`);
:attr:`exchange_port`, :attr:`relay_port` (None without a relay), :attr:`url`
(the exchange's own URL) and :attr:`ready` (all of it as the child said it).

While it runs: :meth:`report`, :meth:`records`, :meth:`relay_stats` and
:meth:`snapshot` (the three at once, and ``server_ms``, the exchange's clock
when it answered); each takes an optional symbol name to count only that
symbol's orders.  :meth:`add_symbol` lists one more symbol, :meth:`set_fault`
makes the exchange misbehave, :meth:`set_behaviour` (``**options``) changes its
listing-day options and returns them all.  A report carries
``first_accepted_after_open_ms`` (first accepted order's arrival relative to
its symbol's opening, by the exchange's clock), ``too_early`` (orders refused
because trading had not opened), ``refused`` (refusals by code name),
``requests``, ``accepted``, ``connections``, ``time_requests`` and more; see
:meth:`~quorvane_rehearsal.exchange.LoopbackExchange.report`.

The calls block the calling thread for as long as the child takes to answer
(well under a millisecond when idle); do not call them from inside the
module's polling, where nothing runs anyway.

The control protocol (one line each way; the replies are JSON objects):
the first input line is ``{"accounts": {...}, "behaviour": {...}}``; the child
then prints its ready line (where it listens), and answers ``report [SYMBOL]``,
``symbol NAME:OPEN[,step=S][,price=P]``, ``fault NAME [COUNT]`` and
``behave {"option": value, ...}`` (answered with all the options);
``stop`` or the end of its input makes it print its final snapshot and exit.
"""

from __future__ import annotations

import json
import queue
import subprocess
import sys
import tempfile
import threading
from typing import Any, Iterable, List, Mapping, Optional, Union

from quorvane_host.net.connector import Connector
from quorvane_rehearsal.behaviour import Behaviour
from quorvane_rehearsal.exchange import Fault, Record, Symbol, TLSFiles
from quorvane_host.cli.interrupts import start_child
from quorvane_host.cli.progname import package_path_env

__all__ = ["RehearsalError", "RehearsalNetwork"]

class RehearsalError(RuntimeError):
    """The child process did not start, or stopped answering."""


# --------------------------------------------------------------------------
# The controlling side


class RehearsalNetwork:
    """The loopback exchange and a delay relay in a child process; see the module's description."""

    def __init__(
        self,
        accounts: Mapping[str, str],
        symbols: Iterable[Symbol] = (),
        *,
        rtt_ms: float = 0.0,
        jitter_ms: float = 0.0,
        clock_skew_ms: float = 0.0,
        seed: Optional[int] = None,
        time_api: bool = True,
        recv_window_ms: int = 5000,
        fault: Union[Fault, str] = Fault.NONE,
        tls: Optional[TLSFiles] = None,
        lifetime: Optional[float] = None,
        behaviour: Optional[Behaviour] = None,
        start_timeout: float = 30.0,
        reply_timeout: float = 30.0,
    ) -> None:
        if rtt_ms < 0 or jitter_ms < 0 or jitter_ms > rtt_ms:
            raise ValueError("the round trip and jitter must be 0 <= jitter <= round trip")
        self.accounts = dict(accounts)
        self.symbols = list(symbols)
        self.rtt_ms = float(rtt_ms)
        self.jitter_ms = float(jitter_ms)
        self.clock_skew_ms = float(clock_skew_ms)
        self.seed = seed
        self.time_api = time_api
        self.recv_window_ms = recv_window_ms
        self.fault = Fault(fault)
        self.tls = tls
        self.lifetime = lifetime
        self.behaviour = behaviour or Behaviour()
        self.start_timeout = start_timeout
        self.reply_timeout = reply_timeout
        self.ready: Optional[dict] = None
        self.final: Optional[dict] = None
        self._proc: Optional[subprocess.Popen] = None
        self._lines: "queue.Queue[Optional[str]]" = queue.Queue()
        self._reader: Optional[threading.Thread] = None
        self._stderr = None
        self._lock = threading.Lock()

    # ---- starting and stopping ----------------------------------------------------

    def _command_line(self) -> List[str]:
        cmd = [sys.executable, "-m", "quorvane_rehearsal.exchange", "--control",
               "--clock-skew", repr(self.clock_skew_ms), "--recv-window", str(self.recv_window_ms),
               "--fault", self.fault.value]
        if self.rtt_ms or self.jitter_ms:
            cmd += ["--rtt", repr(self.rtt_ms), "--jitter", repr(self.jitter_ms)]
        if self.seed is not None:
            cmd += ["--seed", str(self.seed)]
        if not self.time_api:
            cmd.append("--no-time-api")
        if self.tls is not None:
            cmd += ["--cert", self.tls.certfile, "--key", self.tls.keyfile]
        if self.lifetime is not None:
            cmd += ["--duration", repr(float(self.lifetime))]
        for s in self.symbols:
            cmd += ["--symbol", _symbol_spec(s)]
        if not self.symbols:  # the exchange lists a default symbol otherwise
            cmd += ["--symbol", "QRVUSD:+1000h"]
        return cmd

    def start(self) -> "RehearsalNetwork":
        """Start the child; returns once it listens. Raises RehearsalError if it cannot."""
        if self._proc is not None:
            raise RuntimeError("already started")
        env = package_path_env()
        self._stderr = tempfile.TemporaryFile()
        self._proc = start_child(  # terminal signals stay with us
            self._command_line(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self._stderr, env=env)
        self._reader = threading.Thread(target=self._read_lines, name="rehearsal-network", daemon=True)
        self._reader.start()
        try:
            self._send(json.dumps({"accounts": self.accounts,
                                   "behaviour": json.loads(self.behaviour.to_json())}))
            self.ready = self._reply(self.start_timeout, "start")
        except BaseException:
            self._kill()
            raise
        return self

    def stop(self) -> Optional[dict]:
        """Stop the child and wait for it; returns the final snapshot (None if it was lost)."""
        if self._proc is None:
            return self.final
        try:
            if self._proc.poll() is None:
                try:
                    self._send("stop")
                except RehearsalError:
                    pass
            while self.final is None:
                try:
                    line = self._reply(self.reply_timeout, "stop")
                except RehearsalError:
                    break
                if line.get("final"):
                    self.final = line
            try:
                self._proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        finally:
            self._kill()
        return self.final

    def _kill(self) -> None:
        proc, self._proc = self._proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        for stream in (proc.stdin, proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        if self._reader is not None:
            self._reader.join(10)
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None

    def __enter__(self) -> "RehearsalNetwork":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    # ---- talking to the child ---------------------------------------------------

    def _read_lines(self) -> None:
        proc = self._proc
        try:
            for raw in proc.stdout:
                self._lines.put(raw.decode("utf-8", "replace"))
        except (OSError, ValueError):
            pass
        self._lines.put(None)

    def _send(self, line: str) -> None:
        try:
            self._proc.stdin.write(line.encode() + b"\n")
            self._proc.stdin.flush()
        except (OSError, ValueError, AttributeError):
            raise RehearsalError(self._failure("the rehearsal network is not running")) from None

    def _reply(self, timeout: float, what: str) -> dict:
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise RehearsalError(f"the rehearsal network did not answer ({what}) "
                                 f"within {timeout:g} s") from None
        if line is None:
            self._lines.put(None)  # later calls see the end too
            raise RehearsalError(self._failure(f"the rehearsal network stopped ({what})"))
        try:
            return json.loads(line)
        except ValueError:
            raise RehearsalError(f"the rehearsal network said something unexpected: {line.strip()!r}") from None

    def _failure(self, what: str) -> str:
        if self._stderr is None:
            return what
        try:
            self._stderr.seek(0)
            said = self._stderr.read().decode("utf-8", "replace").strip()
        except (OSError, ValueError):
            said = ""
        return f"{what}:\n{said[-2000:]}" if said else what

    def _ask(self, command: str) -> dict:
        with self._lock:
            if self._proc is None:
                raise RehearsalError("the rehearsal network is not running")
            self._send(command)
            reply = self._reply(self.reply_timeout, command.split(" ", 1)[0])
        if "error" in reply:
            raise ValueError(reply["error"])
        return reply

    # ---- where to connect ---------------------------------------------------------

    def _ready(self, key: str) -> Any:
        if self.ready is None:
            raise RuntimeError("the rehearsal network is not started")
        return self.ready[key]

    @property
    def host(self) -> str:
        return self._ready("host")

    @property
    def port(self) -> int:
        return self._ready("port")

    @property
    def exchange_port(self) -> int:
        return self._ready("exchange_port")

    @property
    def relay_port(self) -> Optional[int]:
        return self._ready("relay_port")

    @property
    def cafile(self) -> str:
        return self._ready("cafile")

    @property
    def url(self) -> str:
        return self._ready("url")

    def connector(self, **connect_options: Any) -> Connector:
        """A connector that sends the module's connections into the network."""
        return Connector(self.host, self.port, cafile=self.cafile, **connect_options)

    # ---- the exchange's records -----------------------------------------------------

    def snapshot(self, symbol: Optional[str] = None) -> dict:
        return self._ask(f"report {symbol}" if symbol else "report")

    def report(self, symbol: Optional[str] = None) -> dict:
        return self.snapshot(symbol)["report"]

    def records(self, symbol: Optional[str] = None) -> List[Record]:
        return [Record(**r) for r in self.snapshot(symbol)["records"]]

    def relay_stats(self) -> Optional[dict]:
        return self.snapshot()["relay"]

    def add_symbol(self, symbol: Symbol) -> None:
        self._ask("symbol " + _symbol_spec(symbol))
        self.symbols.append(symbol)

    def set_fault(self, fault: Union[Fault, str], count: Optional[int] = None) -> None:
        self._ask(f"fault {Fault(fault).value}" + (f" {count}" if count is not None else ""))

    def set_behaviour(self, **changes: Any) -> Behaviour:
        """Change the exchange's listing-day options by name; returns them all, as it now has them."""
        self.behaviour.changed(**changes)  # a typo or a bad value fails here, not in the child
        reply = self._ask("behave " + json.dumps(changes))
        self.behaviour = Behaviour.from_mapping(reply["behaviour"])
        return self.behaviour


def _symbol_spec(symbol: Symbol) -> str:
    return f"{symbol.name}:{symbol.open_ms},step={symbol.step},price={symbol.price}"
