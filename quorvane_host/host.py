"""The command-line host: buy a token with ``quorvane_3`` when its trading opens.

``python -m quorvane_host SYMBOL QUANTITY --open-at TIME`` awaits the
module's ``listen_for_trades`` and stops it by a stop rule, because the
module itself never stops: once the opening has passed it places a further
order on every pass.  The host stops

* after ``--orders`` accepted orders (default 1),
* ``--time-limit`` seconds after the opening (default 10), and
* after ``--max-orders`` orders in all, accepted or not (default 100),

whichever comes first, and says which; it also stops at once on a refusal
that retrying cannot fix (:mod:`quorvane_host.refusals`).  It never changes
the module:

* outcomes: the module takes ``print`` from ``builtins`` once, at import, so
  the host installs its own ``print`` (which passes every line on) before it
  imports the module, and counts the order lines it sees;
* stopping: ``quorvane_3.websockets`` is rebound to a gate whose ``connect``
  refuses to open the next connection once the stop rule is met; the order
  then fails before anything is sent, and the failure ends the trigger.  The
  gate also follows each order's fate (:mod:`quorvane_host.orders`);
* the time limit also cancels an order that hangs (an exchange that never
  answers), after a few seconds of grace;
* Ctrl-C and SIGTERM close the gate before anything else
  (:mod:`quorvane_host.stopping`).

The exit status and the report say what happened to the money
(:mod:`quorvane_host.report`).

Before the countdown it checks the endpoint (one connection: name, TCP, TLS,
WebSocket upgrade) and measures the exchange's clock over it
(:mod:`quorvane_host.startup`, :mod:`quorvane_host.clock`).  It then waits
in its event loop; a few seconds before the opening it opens warm
connections (:mod:`quorvane_host.pool`) and measures the clock again, binds
the module's ``time`` to a clock that follows the exchange's, and enters
``listen_for_trades`` shortly before the opening with an opening time moved
so that the first order arrives just after the real one
(:mod:`quorvane_host.firing`).  The stop rule and the report count from the
real opening, by the exchange's clock.

The module's own lines (one ``Time from opening:`` line per pass, hundreds of
thousands a second) go to a log file, through the console process
(:mod:`quorvane_host.console`), which keeps the log bounded and shows a
countdown and each order's outcome on the terminal.
"""

from __future__ import annotations

import asyncio
import builtins
import ctypes
import fcntl
import gc
import importlib
import json
import math
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse
from decimal import Decimal
from typing import Any, Callable, List, Optional, Tuple

from .clock import (ClockEstimate, ClockUnsupported, OffsetClock, estimate, estimate_rtt_only,
                    measure, ping_rtts)
from .interrupts import start_child
from .console import HOST_MARK, LEFT_MARK, SHIFT_MARK
from .faults import describe_fault
from .firing import Firing, plan_firing
from .preflight import preflight
from .progname import package_path_env
from .orders import Gate, Observer, StopOrdering, install_print_hook
from .pool import ConnectionLimit, abort_connection
from .refusals import Refusals
from .files import write_private
from .report import (EXIT_INTERRUPTED, EXIT_UNMET, EXIT_USAGE, accepted_orders, exit_status, plural,
                     summarise, unknown_outcomes)
from .stopping import StopRequested, StopSignals
from .startup import EndpointError, open_checked
from .plan import (AIM_SAFETY_MS, PLAIN_DECIMAL as _PLAIN_DECIMAL, Plan, UsageError, build_plan,
                   parse_args, quantity_text)
from .times import current_ms, format_ms

__all__ = ["Plan", "UsageError", "build_plan", "main", "parse_args", "quantity_text"]

MODULE_NAME = "quorvane_3"
# The exchange's receive window: how far this machine's clock may lag behind
# (an order's timestamp may be that old) or run ahead of the exchange's.
RECV_WINDOW_MS, AHEAD_MS = 5000, 1000
CLOCK_SAMPLES, CLOCK_SAMPLES_AGAIN = 20, 16
PREPARE_S = 5.0  # open the warm connections this long before the opening
LAST_LOOK_MS = 600  # measure the clock again for at least this long just before the module fires
# Enter the module (which then holds the thread) this long before it fires,
# after a blocking sleep from SLEEP_BEFORE_MS; the last look at the clock
# ends 2 * WAKE_BEFORE_MS before it fires.
ENTER_BEFORE_MS, SLEEP_BEFORE_MS, WAKE_BEFORE_MS = 1.0, 6.0, 15


# --------------------------------------------------------------------------
# Pieces of the run


def _c_stdout_flusher() -> Callable[[], None]:
    """fflush(NULL): pushes out what the module's printf has buffered."""
    try:
        libc = ctypes.CDLL(None)
        fflush = libc.fflush
        fflush.argtypes = [ctypes.c_void_p]
        fflush.restype = ctypes.c_int
    except (OSError, AttributeError):  # pragma: no cover - every libc has it
        return lambda: None
    return lambda: fflush(None)


# --------------------------------------------------------------------------
# The run


class _Terminal:
    """Human-readable output on the terminal the host started with."""

    def __init__(self, fd: int) -> None:
        self._fh = os.fdopen(fd, "w", buffering=1, encoding="utf-8", errors="replace", closefd=True)

    @property
    def fd(self) -> int:
        return self._fh.fileno()

    def isatty(self) -> bool:
        return self._fh.isatty()

    def say(self, text: str = "") -> None:
        self._fh.write(text + "\n")
        self._fh.flush()

    def close(self) -> None:
        self._fh.close()


def _widen_pipe(fd: int, size: int = 1 << 20) -> None:
    """Give the pipe to the console room for the module's lines until the first order.

    The module prints a line per pass (about 9 kB per ms); should the
    console fall behind on a busy machine, a full pipe would stop the
    module in the middle of the pass that fires, and the order would leave
    late.  1 MB holds the whole polling phase that the host lets it run.
    """
    try:
        with open("/proc/sys/fs/pipe-max-size") as fh:
            size = min(size, int(fh.read()))
    except (OSError, ValueError):
        pass
    try:
        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), size)
    except OSError:  # not Linux, or over the limit: the default pipe then
        pass


def _sleep_until(local_ms: float) -> None:
    while True:
        left = local_ms - time.time() * 1000
        if left <= 0:
            return
        time.sleep(left / 1000)


class HostRun:
    """One run of the host in this process: set up, await the trigger, tear down, report."""

    def __init__(self, plan: Plan) -> None:
        self.plan = plan
        self.term = _Terminal(os.dup(1))
        self.flush_c = _c_stdout_flusher()
        self.exchange = None
        self.error: Optional[str] = None
        self.gate: Optional[Gate] = None
        self.signals: Optional[StopSignals] = None
        self._session_task: Optional[Tuple[asyncio.AbstractEventLoop, asyncio.Task]] = None
        self.timed_out_in_flight = False
        self.console_record: dict = {}
        self.clock_at_start: Optional[ClockEstimate] = None
        self.clock: Optional[ClockEstimate] = None
        self.firing: Optional[Firing] = None
        self.pool_stats: Optional[dict] = None
        self.entered_left_ms: Optional[float] = None

    # ---- endpoint ---------------------------------------------------------------

    def _endpoint(self, url: str) -> Tuple[Any, str, str]:
        """The connector for the orders, what to call the endpoint, and its host:port."""
        from .connector import Connector

        plan = self.plan
        if plan.endpoint == "loopback":
            from .exchange import LoopbackExchange, Symbol

            self.exchange = LoopbackExchange(
                {plan.api_key: plan.secret},
                [Symbol(plan.symbol.upper(), plan.open_ms, step=plan.loopback_step)],
                lifetime=(plan.open_ms - current_ms()) / 1000 + plan.time_limit + plan.grace + 60,
            ).start_in_thread()
            return (self.exchange.connector(), f"loopback exchange at {self.exchange.url}",
                    f"{self.exchange.host}:{self.exchange.port}")
        if plan.endpoint == "connect":
            c = Connector(plan.connect_host, plan.connect_port, cafile=plan.cafile,
                          server_hostname=plan.server_hostname)
            return c, f"{plan.connect_host}:{plan.connect_port}" + (
                f" (trusting {plan.cafile})" if plan.cafile else ""), c.rewrite(url).split("/")[2]
        # The module's own endpoint, through a connector that changes nothing of
        # the URL, so that the connections can be checked, measured and pooled.
        parts = urllib.parse.urlsplit(url)
        c = Connector(parts.hostname or "", parts.port or 443)
        return c, "the module's own endpoint", f"{parts.hostname}:{parts.port or 443}"

    # ---- before the countdown: the endpoint and the exchange's clock ---------------

    async def _look_at_clock(self, ws: Any, samples: int) -> ClockEstimate:
        """The exchange's clock over ``ws`` (or only the round trip, without clock sync)."""
        if not self.plan.clock_sync:
            return estimate_rtt_only(await ping_rtts(ws, max(4, samples // 2)))
        return estimate(await measure(ws, samples))

    async def _startup_check(self, connector: Any, url: str, where: str) -> ClockEstimate:
        """Open one connection (EndpointError with advice) and measure the clock over it."""
        ws = await open_checked(connector, url, where, cafile=self.plan.cafile)
        try:
            try:
                est = await self._look_at_clock(ws, CLOCK_SAMPLES)
            except ClockUnsupported as exc:
                raise UsageError(
                    f"the exchange at {where} does not answer the server-time request ({exc}), "
                    "so its clock cannot be measured. Pass --no-clock-sync to fire by this "
                    "machine's clock (synchronise it with NTP first)") from None
            except asyncio.TimeoutError:
                raise UsageError(f"the exchange at {where} did not answer the server-time request "
                                 "in time; pass --no-clock-sync to go without it") from None
        finally:
            await ws.close()
        if est.offset_ms > RECV_WINDOW_MS or est.offset_ms < -AHEAD_MS:
            how = (f"{est.offset_ms:.0f} ms behind" if est.offset_ms > 0 else f"{-est.offset_ms:.0f} ms ahead of")
            raise UsageError(
                f"this machine's clock is {how} the exchange's, more than the exchange's receive "
                f"window accepts ({RECV_WINDOW_MS} ms behind, {AHEAD_MS} ms ahead). Fix this machine's "
                "clock (synchronise it with NTP, e.g. timedatectl set-ntp true) and start again")
        return est

    # ---- until the opening: wait, warm up, measure again, enter ----------------------

    def _local_ms(self, exchange_ms: float) -> float:
        """This machine's time at which the exchange's clock reads ``exchange_ms``."""
        return exchange_ms - self._offset_ms()

    async def _wait_until(self, local_ms: float) -> None:
        """Wait in the event loop, showing the countdown to the real opening."""
        opening = self._local_ms(self.plan.open_ms)
        while True:
            now = time.time() * 1000
            if now >= local_ms:
                return
            self._to_console(f"{LEFT_MARK}{int(opening - now)}")
            await asyncio.sleep(min(0.1, (local_ms - now) / 1000))

    async def _warm_up(self, connector: Any, url: str) -> Tuple[Any, Any]:
        """Fill the pool, and open a connection for the last look at the clock."""
        plan = self.plan
        connecting = connector.connect(url)  # for measuring: not one of the pool's
        pool = None
        if plan.pool_size:
            pool = connector.start_pool(url, plan.pool_size, max_new_per_minute=plan.max_new_per_minute)
            try:
                await pool.fill()
            except Exception as exc:
                self._host_line(f"no warm connections ({describe_fault(exc)}): "
                                "each order opens its own")
        try:
            return pool, await connecting
        except Exception as exc:
            self._host_line(f"cannot measure the clock again ({describe_fault(exc)}); "
                            "going by the figures from the start")
            return pool, None

    def _fire_local(self) -> float:
        """This machine's time at which the module fires by the current plan."""
        firing = self.firing
        # The module's clock then reads the whole ms at which it fires.
        return math.ceil(firing.fire_at_ms) - firing.clock_offset_ms

    def _plan_firing(self) -> None:
        plan, est = self.plan, self.clock
        aim = plan.aim_ms if plan.aim_ms is not None else est.early_ms + AIM_SAFETY_MS
        self.firing = plan_firing(plan.open_ms, est.offset_ms if plan.clock_sync else 0.0,
                                  delay_ms=est.delay_ms, aim_ms=aim, compensate=plan.compensate)

    async def _last_look(self, ws: Any) -> None:
        """Measure the clock until just before the module fires, then plan the firing.

        The requests go on until the last moment so that the way to the
        exchange (and both ends of it) is as busy as it is for the orders,
        and the figures are as fresh as they can be.
        """
        est = self.clock
        window_ms = max(LAST_LOOK_MS, CLOCK_SAMPLES_AGAIN * est.rtt_median_ms * 1.2)
        # Collect now, and leave what is there to the end: the collections
        # that still happen (until the module is entered) are then short.
        gc.collect()
        gc.freeze()
        await self._wait_until(self._fire_local() - 2 * WAKE_BEFORE_MS - window_ms)
        until = (self._fire_local() - 2 * WAKE_BEFORE_MS) / 1000
        try:
            if self.plan.clock_sync:
                samples = await measure(ws, 10 * CLOCK_SAMPLES_AGAIN, until=until)
                if len(samples) >= 4:
                    self.clock = estimate(samples)
            else:
                self.clock = estimate_rtt_only(await ping_rtts(ws, 8))
        except Exception as exc:  # the figures from before still hold
            self._host_line(f"measuring the clock again failed ({describe_fault(exc)}); "
                            "going by the figures from the start")
        self._plan_firing()

    async def _keep_warm(self, ws: Any, gate: Gate) -> None:
        """Server-time requests, one after the other, until the first order is placed.

        A request that follows a pause reaches the exchange later than one
        in a steady stream (measured here: 0.7 ms later after a 30 ms pause,
        1.5 ms after a second, over a 2 ms round trip): the ends of the way
        wake up from idle.  The clock was measured in a steady stream, so the
        first order goes out in one too.
        """
        try:
            while not gate.orders:
                await (measure(ws, 1) if self.plan.clock_sync else ping_rtts(ws, 1))
        except Exception:  # only a help; the order does not depend on it
            pass
        finally:
            gc.enable()  # the first order has left (see _session)

    def _say_plan(self, pool: Any) -> None:
        plan, est = self.plan, self.clock
        self._to_console(f"{SHIFT_MARK}{self.firing.shift_ms}")
        ready = f"{pool.ready} warm connections" if pool is not None else "no warm connections"
        if plan.compensate:
            aim = self.firing.arrive_at_ms - plan.open_ms
            self._host_line(f"{est.describe()}; {ready}; first order aimed to reach the exchange "
                            f"{aim:.1f} ms after the opening")
        else:
            self._host_line(f"{est.describe()}; {ready}; the module fires by the opening time unchanged")

    async def _session(self, module: Any, gate: Gate, connector: Any, url: str) -> None:
        plan = self.plan
        saved_time = module.time
        ws = pool = warm = None
        try:
            await self._wait_until(self._local_ms(plan.open_ms - PREPARE_S * 1000))
            pool, ws = await self._warm_up(connector, url)
            self._plan_firing()
            if ws is not None:
                await self._last_look(ws)
            if plan.clock_sync or plan.compensate:
                module.time = OffsetClock(self.firing.clock_offset_ms)
            self._say_plan(pool)
            if ws is not None:
                warm = asyncio.ensure_future(self._keep_warm(ws, gate))
            fire_local = self._fire_local()
            await self._wait_until(fire_local - SLEEP_BEFORE_MS)
            # The last milliseconds in one blocking sleep, which wakes to the
            # microsecond where the event loop's timers wake to the
            # millisecond: the module then polls for only about a
            # millisecond, too short for a busy machine to take the processor
            # away from it before it fires.
            _sleep_until(fire_local - ENTER_BEFORE_MS)
            # A full collection of the host's objects takes milliseconds: none
            # may start between the module's firing and its order leaving.
            gc.disable()
            self.entered_left_ms = fire_local - time.time() * 1000
            await self._drive(module, gate)
        finally:
            gc.enable()
            module.time = saved_time
            if warm is not None:
                warm.cancel()
            # Each step runs even when the one before is cancelled or cut
            # short by a stop request: a connection left open here would
            # outlive the event loop.
            try:
                if ws is not None:
                    try:
                        await ws.close()
                    except BaseException:
                        abort_connection(ws)
                        raise
            finally:
                if pool is not None:
                    try:
                        await pool.aclose()
                    finally:
                        self.pool_stats = {"size": pool.size, "opened": pool.opened,
                                           "warm": pool.handed_out, "cold": pool.cold,
                                           "dropped": pool.dropped, "failures": pool.failures[:5],
                                           "taken_at_ms": [t * 1000 for t in pool.taken_at]}

    def _run_session(self, session: Any, connector: Any) -> Any:
        """Run ``session`` in a new event loop, and leave nothing of it running or open.

        Returns the session's result.  While it runs, a stop request cancels
        it from the event loop (:meth:`_stop_requested`); one that ends it
        so, without the handler's exception getting out, leaves as that
        StopRequested all the same.

        A stop request may leave ``run_until_complete`` from any callback,
        with the session and its tasks still pending.  They are then
        cancelled, the session first (its ``finally`` closes the
        connections in order), and again until no task is left: tasks
        started during the cancellation (an order's connection block closing
        its connection) run too.  Whatever connection is still open after
        that is aborted before the loop closes.
        """
        loop = asyncio.new_event_loop()
        main = loop.create_task(session)
        self._session_task = (loop, main)
        try:
            asyncio.set_event_loop(loop)
            try:
                result = loop.run_until_complete(main)
            except asyncio.CancelledError:
                if self.signals is None or self.signals.request is None:
                    raise
                raise self.signals.request() from None
            # The request is the record, not the exception: a cancellation
            # that the session swallowed (asyncio.wait_for can lose one)
            # must not let a stopped run go on.
            if self.signals is not None and self.signals.request is not None:
                raise self.signals.request()
            return result
        finally:
            try:
                if not main.done():
                    main.cancel()
                    self._settle(loop, {main})
                for _ in range(100):
                    tasks = {t for t in asyncio.all_tasks(loop) if not t.done()}
                    if not tasks:
                        break
                    for task in tasks:
                        task.cancel()
                    self._settle(loop, tasks)
                connector.abort_open()
                self._settle(loop, {loop.create_task(asyncio.sleep(0))})  # deliver connection_lost
                self._settle(loop, {loop.create_task(loop.shutdown_asyncgens())})
                self._settle(loop, {loop.create_task(loop.shutdown_default_executor())})
            finally:
                asyncio.set_event_loop(None)
                loop.close()

    @staticmethod
    def _settle(loop: asyncio.AbstractEventLoop, tasks: set) -> None:
        """Run the loop until ``tasks`` are done; a further stop request does not cut this short."""
        for _ in range(100):
            try:
                loop.run_until_complete(asyncio.wait(tasks))
                break
            except StopRequested:  # recorded by the handler; keep tearing down
                continue
        for task in tasks:
            if task.done() and not task.cancelled() and task.exception() is not None \
                    and not isinstance(task.exception(), (StopRequested, asyncio.CancelledError)):
                loop.call_exception_handler({
                    "message": "unhandled exception while the session shut down",
                    "exception": task.exception(), "task": task})

    # ---- console ------------------------------------------------------------------

    def _start_console(self) -> Tuple[subprocess.Popen, int, str]:
        from .files import open_private_append, resolve_output_path
        from .keys import ENV_API_KEY, ENV_SECRET_KEY
        plan = self.plan
        if plan.log_path:
            log_path = resolve_output_path(plan.log_path)
            os.close(open_private_append(log_path))  # owner-only, never through a planted link
        else:
            stamp = time.strftime("%Y%m%d-%H%M%S")
            fd, log_path = tempfile.mkstemp(prefix=f"quorvane-{plan.symbol.upper()}-{stamp}-", suffix=".log")
            os.close(fd)
        fd, record_path = tempfile.mkstemp(prefix="quorvane-console-", suffix=".json")
        os.close(fd)
        tty = {"auto": "yes" if self.term.isatty() else "no", "tty": "yes", "plain": "no"}[plan.display]
        console = start_child(
            [sys.executable, "-m", "quorvane_host.console", "--log", log_path,
             "--max-bytes", str(plan.log_max_bytes), "--record", record_path,
             "--open-at", str(plan.open_ms), "--tty", tty],
            stdin=subprocess.PIPE, stdout=self.term.fd,
            # the console never needs the keys: they stay out of its environment
            env={k: v for k, v in package_path_env().items() if k not in (ENV_API_KEY, ENV_SECRET_KEY)},
        )
        _widen_pipe(console.stdin.fileno())
        self.log_path = log_path
        self.record_path = record_path
        return console, log_path, record_path

    # ---- the trigger ----------------------------------------------------------------

    async def _drive(self, module: Any, gate: Gate) -> None:
        plan = self.plan
        loop = asyncio.get_running_loop()
        task = loop.create_task(module.listen_for_trades(
            plan.api_key, plan.secret, plan.symbol, plan.quantity, self.firing.module_open_ms))

        def cancel_in_flight() -> None:
            if not task.done():
                self.timed_out_in_flight = True
                task.cancel()

        def deadline() -> None:
            gate.stop(f"time limit of {plan.time_limit:g} s after the opening (--time-limit)")
            self._host_line("time limit reached: no further orders")
            loop.call_later(plan.grace, cancel_in_flight)

        # From the real opening, by the exchange's clock: not from the opening
        # time the module was given, nor from the host's start.
        limit_at = self._local_ms(plan.open_ms) / 1000 + plan.time_limit
        handle = loop.call_later(max(0.0, limit_at - time.time()), deadline)
        try:
            await task
        except StopOrdering:
            pass
        except ConnectionLimit as exc:  # a stop rule of its own, not a failure
            gate.stop(f"{exc} (--max-new-connections {plan.max_new_per_minute})")
        except asyncio.CancelledError:
            if not task.cancelled():
                raise
        except Exception as exc:  # the order or the trigger failed
            self.error = describe_fault(exc)
        finally:
            handle.cancel()

    def _host_line(self, text: str) -> None:
        """A message of ours, in order with the module's lines, through the console."""
        self._to_console(HOST_MARK + text)

    def _to_console(self, line: str) -> None:
        self.flush_c()
        try:
            sys.stdout.flush()
            os.write(1, (line + "\n").encode())
        except OSError:
            pass

    # ---- everything ---------------------------------------------------------------

    def run(self) -> int:
        """The whole run; a stop request before the trigger runs leaves as StopRequested."""
        self.signals = StopSignals(self._stop_requested).install()
        try:
            return self._run()
        finally:
            self.signals.restore()
            if self.exchange is not None:
                self.exchange.stop_thread()

    def _stop_requested(self, request: Any) -> bool:
        """The signal handlers' first step: close the gate, and end the session.

        Should what the handler raises be swallowed where it lands (a
        destructor, a callback that logs), the session is still cancelled
        from the event loop, the trigger with it, and the gate holds back
        any order that has not been sent yet.  True when the session is
        being cancelled so.
        """
        if self.gate is not None:
            self.gate.halt(request.said, request)
        session = self._session_task
        if session is not None:
            loop, task = session
            try:
                loop.call_soon_threadsafe(task.cancel)
                return not task.done()
            except RuntimeError:  # the loop has closed
                pass
        return False

    def _offset_ms(self) -> float:
        return self.clock.offset_ms if self.clock else 0.0

    def _run(self) -> int:
        plan = self.plan
        say = self.term.say
        if MODULE_NAME in sys.modules:
            say(f"quorvane host: {MODULE_NAME} was imported before the host could watch its output")
            return EXIT_UNMET

        gate = self.gate = Gate(None, plan.max_orders, self.flush_c)
        refusals = Refusals(plan.open_ms, plan.refusal_overrides, plan.open_grace_s * 1000)
        observer = Observer(plan.orders, gate, refusals, lambda: time.time() * 1000 + self._offset_ms())
        original_print = install_print_hook(observer)
        try:
            module = importlib.import_module(MODULE_NAME)
        except ImportError as exc:
            builtins.print = original_print
            print(f"quorvane host: cannot import {MODULE_NAME}: {exc} (build it first: make build)",
                  file=sys.stderr)
            return EXIT_UNMET

        try:
            url, request = asyncio.run(preflight(module, plan))
        except Exception as exc:
            print(f"quorvane host: {MODULE_NAME} cannot place orders yet: {type(exc).__name__}: {exc}",
                  file=sys.stderr)
            return EXIT_UNMET
        sent_quantity = request.get("params", {}).get("quantity")
        if not plan.allow_inexact_quantity and (
                not isinstance(sent_quantity, str) or not _PLAIN_DECIMAL.match(sent_quantity)
                or Decimal(sent_quantity) != Decimal(plan.quantity_text)):
            print(f"quorvane host: the module would send the quantity as {sent_quantity}, not "
                  f"{plan.quantity_text}; pass --allow-inexact-quantity to send it anyway",
                  file=sys.stderr)
            return EXIT_USAGE
        endpoint_host = urllib.parse.urlsplit(url).hostname or ""
        if plan.endpoint == "module" and endpoint_host.endswith(".invalid"):
            print(f"quorvane host: this build of {MODULE_NAME} sends orders to {url}, a placeholder "
                  "that no exchange answers. Rebuild it with the exchange's host (pip install . -C "
                  "cmake.define.QUORVANE_EXCHANGE_HOST=HOST), or use --connect HOST:PORT "
                  "(or --exchange loopback for a rehearsal)", file=sys.stderr)
            return EXIT_USAGE

        try:
            connector, where, address = self._endpoint(url)
        except Exception as exc:
            print(f"quorvane host: cannot start the loopback exchange: {exc}", file=sys.stderr)
            return EXIT_UNMET
        try:
            # Like the session, so that a stop request here cannot leave the
            # handshake half done and the host waiting on it.
            self.clock = self.clock_at_start = self._run_session(
                self._startup_check(connector, url, address), connector)
        except (EndpointError, UsageError) as exc:
            print(f"quorvane host: {exc}", file=sys.stderr)
            return EXIT_USAGE
        gate.inner = connector
        module.websockets = gate

        left = self._local_ms(plan.open_ms) - current_ms()
        say(f"quorvane host: buy {sent_quantity} {plan.symbol.upper()} when trading opens at "
            f"{format_ms(plan.open_ms)} ({plan.open_ms} ms), in {left / 1000:.1f} s")
        say(f"  endpoint: {where}; module URL {url}")
        if plan.clock_sync:
            say(f"  clock: {self.clock.describe()}")
        else:
            say(f"  clock: this machine's (--no-clock-sync); round trip {self.clock.rtt_min_ms:.1f} ms "
                f"at best, {self.clock.rtt_median_ms:.1f} ms typical")
        say(f"  stop rule: after {plural(plan.orders, 'accepted order')}, "
            f"{plan.time_limit:g} s after the opening, or after {plan.max_orders} orders in all")

        try:
            console, log_path, record_path = self._start_console()
        except OSError as exc:
            print(f"quorvane host: cannot open the log: {exc}", file=sys.stderr)
            return EXIT_USAGE
        say(f"  module output: {log_path}")
        say("  Ctrl-C stops it at any time")

        saved_stdout = os.dup(1)
        started = time.time()
        try:
            os.dup2(console.stdin.fileno(), 1)
            console.stdin.close()
            sys.stdout.reconfigure(line_buffering=True)
            self._run_session(self._session(module, gate, connector, url), connector)
        except StopRequested:
            pass  # the handler recorded it and closed the gate
        except asyncio.CancelledError:
            if self.signals.request is None:
                raise
        finally:
            self.signals.disarm()
            self.flush_c()
            try:
                sys.stdout.flush()
            except OSError:
                pass
            os.dup2(saved_stdout, 1)
            os.close(saved_stdout)
            try:
                console.wait(30)
            except subprocess.TimeoutExpired:
                console.kill()
                console.wait()
            builtins.print = original_print
        # From here on the orders are what they are: nothing below may change
        # the exit status, which says what happened to the money.
        code = exit_status(plan.orders, accepted_orders(gate), unknown_outcomes(gate), self.signals.exit_status)
        self.console_record = self._read_console_record(record_path)
        try:
            result = summarise(self, gate, observer, started, code, self.signals.said, say)
        except Exception as exc:
            say(f"quorvane host: could not make the report ({type(exc).__name__}: {exc}); "
                f"the orders stand as counted above (exit status {code})")
            return code
        if plan.result_path:
            try:
                write_private(plan.result_path, json.dumps(result, indent=1).encode())
            except (OSError, ValueError, TypeError) as exc:
                say(f"quorvane host: could not write {plan.result_path} ({exc}); the orders stand "
                    f"as reported above (exit status {code})")
        return code

    @staticmethod
    def _read_console_record(record_path: str) -> dict:
        try:
            with open(record_path) as fh:
                record = json.load(fh)
            return record if isinstance(record, dict) else {}
        except (OSError, ValueError):
            return {}
        finally:
            try:
                os.unlink(record_path)
            except OSError:
                pass

def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    try:
        plan = build_plan(args, os.environ)
    except UsageError as exc:
        print(f"quorvane host: {exc}", file=sys.stderr)
        return EXIT_USAGE
    from .files import check_output_path
    for option, path in (("--log", plan.log_path), ("--result", plan.result_path)):
        problem = check_output_path(path, option)  # before anything is sent
        if problem:
            print(f"quorvane host: {problem}", file=sys.stderr)
            return EXIT_USAGE
    try:
        return HostRun(plan).run()
    except StopRequested as stop:  # during set-up, before the trigger runs
        print(f"quorvane host: {stop.said} during set-up; nothing was sent", file=sys.stderr)
        return stop.exit_status
    except KeyboardInterrupt:  # before the handlers were in place
        print("quorvane host: interrupted (Ctrl-C) during set-up; nothing was sent", file=sys.stderr)
        return EXIT_INTERRUPTED
