"""One run of the host: buy a token with ``quorvane_3`` when its trading opens.

The module never stops by itself (once the opening has passed it places a
further order on every pass), so the host runs it under a stop rule, in
four phases, each in a file of its own:

1. prepare (:mod:`quorvane_host.run.prepare`): the print hook, the import,
   a dry run of one order, the endpoint and the start-up check with the
   exchange's clock;
2. approach (:mod:`quorvane_host.run.approach`): the countdown, the warm
   connections, the last look at the clock, the firing plan;
3. trigger (:mod:`quorvane_host.run.trigger`): ``listen_for_trades`` behind
   the gate, until the stop rule;
4. finish (:mod:`quorvane_host.run.finish`): exit status, report, ``--result``.

What crosses the phases is a :class:`~quorvane_host.run.state.RunState`.
Ctrl-C, SIGTERM and SIGHUP close the gate before anything else
(:mod:`quorvane_host.run.stopping`) and cancel the running session
(:mod:`quorvane_host.run.session`).
"""

from __future__ import annotations

import asyncio
import builtins
import gc
import os
import subprocess
import sys
import time
import traceback
from decimal import Decimal
from typing import Any, Callable, List, Optional, Tuple

from quorvane_host.cli.files import STDOUT_NAME
from quorvane_host.cli.plan import Plan
from quorvane_host.cli.progname import error_line, program_name
from quorvane_host.cli.times import current_ms, format_local, format_ms, format_wait
from quorvane_host.orders.gate import Gate
from quorvane_host.orders.module_json import stand_in_for
from quorvane_host.orders.observer import Observer
from quorvane_host.orders.pace import Pace
from quorvane_host.orders.price_guard import PriceGuard
from quorvane_host.orders.refusals import Refusals
from quorvane_host.run.approach import Approach
from quorvane_host.run.console_link import (TICK_S, ConsoleLink, ModuleStdout, Terminal, read_console_record,
                                            start_console)
from quorvane_host.run.finish import finish
from quorvane_host.run.outcomes import order_queries
from quorvane_host.run.prepare import LoopbackEndpoint, Prepared, SetupFailed, prepare
from quorvane_host.run.priority import FiringPriority
from quorvane_host.run.result_file import early_result, write_early_result
from quorvane_host.words import plural
from quorvane_host.run.session import SessionRunner
from quorvane_host.run.state import RunState
from quorvane_host.run.stopping import WINDING_DOWN, StopRequested, StopSignals
from quorvane_host.run.trigger import enter
from quorvane_host.run.window import FiringWindow, SendWatch
from quorvane_host.orders.exit_status import EXIT_OK, EXIT_USAGE

__all__ = ["HostRun", "start_lines"]

LoopbackFactory = Callable[[Plan], LoopbackEndpoint]
HOST = "quorvane_host"


def _quantity_said(plan: Plan, sent: Any) -> str:
    """The quantity as the person typed it; what goes out too, should that read otherwise.

    The input checks make the two the same value; only --allow-inexact-quantity
    lets them differ, and then the person sees both.
    """
    typed = plan.quantity_text
    return typed if str(sent) == typed or not plan.allow_inexact_quantity else f"{typed} (sent as {sent})"


def _endpoint_said(plan: Plan, p: Prepared) -> str:
    """Where the orders go.  The module's built-in URL only when the orders go there:
    beside --connect or the loopback exchange it would read like a second, wrong endpoint."""
    where = f"{p.where}, {p.url}" if plan.endpoint == "module" else p.where
    if p.check is not None:
        where += f"; connected in {p.check.connected_s * 1000:.0f} ms"
    return where


def start_lines(plan: Plan, p: Prepared, clock: Any, left_ms: float) -> List[str]:
    """What the run is about to do, for the person: the first lines of the run, and a dry run's summary."""
    lines = [f"{program_name(HOST)}: {'dry run: would buy' if plan.dry_run else 'buy'} "
             f"{_quantity_said(plan, p.sent_quantity)} {plan.symbol.upper()} when trading opens at "
             f"{format_ms(plan.open_ms)} ({plan.open_ms} ms), local time {format_local(plan.open_ms)}, "
             f"in {format_wait(left_ms)}",
             f"  keys: from {plan.keys_from}",
             f"  endpoint: {_endpoint_said(plan, p)}"]
    if plan.clock_sync:
        lines.append(f"  clock: {clock.describe()}")
    else:
        lines.append(f"  clock: this machine's (--no-clock-sync); round trip {clock.rtt_min_ms:.1f} ms "
                     f"at best, {clock.rtt_median_ms:.1f} ms typical")
    check = p.check
    if not plan.order_test:
        lines.append("  test order: not sent (--no-order-test)")
    elif check is not None and check.order_test_said:
        lines.append(f"  test order: {check.order_test_said}")
    if check is not None and check.others:
        first = check.others[0]
        lines.append(f"  the exchange also sent {plural(len(check.others), 'message')} of its own (not "
                     f"replies; passed over), the first: {first[:120]}{'...' if len(first) > 120 else ''}")
    lines.append(f"  stop rule: after {plural(plan.orders, 'bought order')}, {plan.time_limit:g} s after "
                 f"the opening, or after {plural(plan.max_orders, 'order')} in all; retries at most "
                 f"{plan.max_order_rate:g} a second until the exchange states its limits")
    if plan.max_price is not None or plan.max_spend is not None:
        guards = ([f"a fill above {plan.max_price} a token (--max-price)"] if plan.max_price is not None else []) \
            + ([f"{plan.max_spend} of the quote spent, or about to be (--max-spend)"]
               if plan.max_spend is not None else [])
        lines.append("  price guard: no further order after " + " or ".join(guards)
                     + "; the first order goes whatever the price")
    return lines


class HostRun:
    """One run of the host in this process: the phases in order, and the stop requests."""

    def __init__(self, plan: Plan, loopback: Optional[LoopbackFactory] = None) -> None:
        # With --result - the JSON alone goes to standard output, and the person's lines to stderr.
        self.term = Terminal(os.dup(2 if plan.result_path == STDOUT_NAME else 1))
        self.link = ConsoleLink()
        gate = Gate(None, plan.max_orders, pace=Pace(plan.max_order_rate), on_skipped=self.link.host_line)
        gate.price_guard = PriceGuard(plan.max_price, plan.max_spend, Decimal(plan.quantity_text))
        refusals = Refusals(plan.open_ms, plan.refusal_overrides)
        self.state = RunState(plan, gate, Observer(plan.orders, gate, refusals, self._clock))
        gate.budget = self.state.budget
        # --priority normal skips the real-time class
        self.state.firing_window = FiringWindow(self.link.batch, FiringPriority(plan.priority))
        self.signals = StopSignals(self._stop_requested)
        self.runner = SessionRunner(self.signals)
        self._loopback_factory = loopback
        self.loopback: Optional[LoopbackEndpoint] = None

    def _clock(self) -> Tuple[float, float]:
        """The exchange's clock minus this machine's, and the one-way delay (ms), as last measured."""
        clock = self.state.clock
        return self.state.offset_ms(), clock.delay_ms if clock is not None else 0.0

    def _stop_requested(self, request: Any) -> bool:
        """The signal handlers' first step: close the gate, and end the session.

        Should what the handler raises be swallowed where it lands (a
        destructor, a callback that logs), the session is still cancelled
        from the event loop, the trigger with it, and the gate holds back
        any order that has not been sent yet.  True when the session is
        being cancelled so.
        """
        gate = self.state.gate
        first = gate.halted is None
        if gate.halt(request.said, request) and first:
            return WINDING_DOWN  # orders have left: their replies are read, then the run ends
        return self.runner.cancel()

    def _start_loopback(self) -> Optional[LoopbackEndpoint]:
        if self.state.plan.endpoint != "loopback" or self._loopback_factory is None:
            return None
        self.loopback = self._loopback_factory(self.state.plan)
        return self.loopback

    def run(self) -> int:
        """The whole run; a stop request before the trigger runs leaves as StopRequested."""
        self.signals.install()
        try:
            try:
                prepared = prepare(self.state, self.runner, self._start_loopback, self.term.say)
            except SetupFailed as failed:
                if failed.on_terminal:
                    self.term.say(error_line(HOST, str(failed)))
                else:
                    print(error_line(HOST, str(failed)), file=sys.stderr)
                self._early_result(failed.status, str(failed))
                return failed.status
            if self.state.plan.dry_run:
                return self._dry_run_summary(prepared)
            return self._countdown_and_after(prepared)
        finally:
            self.signals.restore()
            if self.loopback is not None:
                self.loopback.stop()

    def _say_start(self, p: Prepared) -> None:
        state = self.state
        left = state.local_ms(state.plan.open_ms) - current_ms()
        for line in start_lines(state.plan, p, state.clock, left):
            self.term.say(line)

    def _dry_run_summary(self, p: Prepared) -> int:
        """Everything up to the countdown has been checked: say what the run would do, order nothing.

        The module's ``websockets`` was never handed the gate and no console
        or log was started: nothing of the run is left behind.
        """
        builtins.print = p.original_print
        self._say_start(p)
        said = "dry run: every check passed and no order was sent"
        self._early_result(EXIT_OK, said, dry_run=True)
        self.term.say(f"  {said}; without --dry-run the host would count down now and order at the opening")
        return EXIT_OK

    def _early_result(self, code: int, reason: str, dry_run: bool = False) -> None:
        """``--result`` for a run that ends before the countdown: the status and the reason, nothing sent."""
        plan = self.state.plan
        document = early_result(code, reason, plan=plan, dry_run=dry_run, clock=self.state.clock_at_start)
        for line in write_early_result(plan.result_path, document):
            self.term.say(line)

    def _countdown_and_after(self, p: Prepared) -> int:
        state, say = self.state, self.term.say
        state.gate.inner = p.connector
        p.module.websockets = state.gate
        state.gate.module_json = stand_in_for(getattr(p.module, "json", None))
        if state.gate.module_json is not None:
            p.module.json = state.gate.module_json
        self._say_start(p)
        try:
            console, log_path, record_path = start_console(state.plan, self.term)
        except OSError as exc:
            print(error_line(HOST, f"cannot open the log: {exc}"), file=sys.stderr)
            self._early_result(EXIT_USAGE, f"cannot open the log: {exc}")
            return EXIT_USAGE
        state.log_path = log_path
        say(f"  module output: {log_path}")
        say(f"  Ctrl-C stops it at any time; from another shell: kill {os.getpid()} (its pid)")

        saved_stdout = os.dup(1)
        saved_py_stdout = sys.stdout
        window = state.firing_window
        started = time.time()
        try:
            try:
                sys.stdout.flush()
            except (OSError, ValueError):
                pass
            os.dup2(console.stdin.fileno(), 1)
            console.stdin.close()
            # The module's print lines go into the C runtime's buffer with its
            # printf lines and ours, in the order written, and leave in batches
            # (run.console_link): a write into the console's pipe wakes the
            # console, which on two cores takes a processor from the host or the
            # exchange between an order's reply and the next order.
            self.link.out.hold()
            sys.stdout = ModuleStdout(self.link.out, self.link.batch,
                                      getattr(saved_py_stdout, "encoding", None) or "utf-8",
                                      getattr(saved_py_stdout, "errors", None) or "strict")
            p.connector.after_write = SendWatch(state.gate, window.order_left)
            self.runner.run(self._session(p), p.connector)
        except StopRequested:
            pass  # the handler recorded it and closed the gate
        except Exception as exc:  # noqa: BLE001 - a fault of the host's own
            if not state.gate.placed:
                raise
            # Orders have left: what became of them is still told, and the
            # exit status still follows them (3 while any is in doubt).
            state.error = f"internal error: {type(exc).__name__}: {exc}"
            for line in traceback.format_exception(type(exc), exc, exc.__traceback__):
                for part in line.rstrip("\n").split("\n"):
                    self.link.host_line(part)
        except asyncio.CancelledError:
            if self.signals.request is None:
                raise
        finally:
            self.signals.disarm()
            window.end()
            p.connector.after_write = None
            self.link.batch.direct()
            sys.stdout = saved_py_stdout
            os.dup2(saved_stdout, 1)
            os.close(saved_stdout)
            try:
                console.wait(30)
            except subprocess.TimeoutExpired:
                console.kill()
                console.wait()
            builtins.print = p.original_print
            # read and removed whatever ended the run: none is left in the temporary folder
            state.console_record = read_console_record(record_path)
        if self.loopback is not None:
            try:
                state.exchange_report = self.loopback.report()
            except Exception:  # the rehearsal's own account is extra; the orders stand without it
                pass
        return finish(state, started, self.signals.exit_status, self.signals.said, say)

    async def _session(self, p: Prepared) -> None:
        """The approach and the trigger, in one event loop; everything closed however it ends."""
        approach = Approach(self.state, self.link, p.connector, p.url)
        saved_time = p.module.time
        ticking = asyncio.ensure_future(self._tick())
        try:
            fire_local = await approach.run(p.module)
            queries = order_queries(self.state, self.link, p.module, p.connector, p.url, p.sent_quantity)
            await enter(self.state, self.link, p.module, fire_local, queries)
        finally:
            ticking.cancel()
            self.state.firing_window.end()
            gc.enable()
            p.module.time = saved_time
            await approach.close()

    async def _tick(self) -> None:
        """Lets the console have the lines waiting in a batch when no order is under way."""
        tick = self.link.batch.tick
        while True:
            await asyncio.sleep(TICK_S)
            tick()
