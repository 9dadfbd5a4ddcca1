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
Ctrl-C and SIGTERM close the gate before anything else
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
from typing import Any, Callable, Optional, Tuple

from quorvane_host.cli.options import Plan
from quorvane_host.cli.times import current_ms, format_ms
from quorvane_host.orders.gate import Gate
from quorvane_host.orders.observer import Observer
from quorvane_host.orders.pace import Pace
from quorvane_host.orders.refusals import Refusals
from quorvane_host.run.approach import Approach
from quorvane_host.run.console_link import (ConsoleLink, Terminal, c_stdout_flusher, read_console_record,
                                            start_console)
from quorvane_host.run.finish import finish
from quorvane_host.run.prepare import LoopbackEndpoint, Prepared, SetupFailed, prepare
from quorvane_host.run.report import plural
from quorvane_host.run.session import SessionRunner
from quorvane_host.run.state import RunState
from quorvane_host.run.stopping import StopRequested, StopSignals
from quorvane_host.run.trigger import enter
from quorvane_host.orders.exit_status import EXIT_USAGE

__all__ = ["HostRun"]

LoopbackFactory = Callable[[Plan], LoopbackEndpoint]


class HostRun:
    """One run of the host in this process: the phases in order, and the stop requests."""

    def __init__(self, plan: Plan, loopback: Optional[LoopbackFactory] = None) -> None:
        self.term = Terminal(os.dup(1))
        self.link = ConsoleLink(c_stdout_flusher())
        gate = Gate(None, plan.max_orders, self.link.flush_c, pace=Pace(plan.max_order_rate),
                    on_skipped=self.link.host_line)
        refusals = Refusals(plan.open_ms, plan.refusal_overrides)
        self.state = RunState(plan, gate, Observer(plan.orders, gate, refusals, self._clock))
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
        self.state.gate.halt(request.said, request)
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
                prepared = prepare(self.state, self.runner, self._start_loopback)
            except SetupFailed as failed:
                if failed.on_terminal:
                    self.term.say(f"quorvane host: {failed}")
                else:
                    print(f"quorvane host: {failed}", file=sys.stderr)
                return failed.status
            return self._countdown_and_after(prepared)
        finally:
            self.signals.restore()
            if self.loopback is not None:
                self.loopback.stop()

    def _say_start(self, p: Prepared) -> None:
        state, plan, say = self.state, self.state.plan, self.term.say
        left = state.local_ms(plan.open_ms) - current_ms()
        say(f"quorvane host: buy {p.sent_quantity} {plan.symbol.upper()} when trading opens at "
            f"{format_ms(plan.open_ms)} ({plan.open_ms} ms), in {left / 1000:.1f} s")
        say(f"  endpoint: {p.where}; module URL {p.url}")
        if plan.clock_sync:
            say(f"  clock: {state.clock.describe()}")
        else:
            say(f"  clock: this machine's (--no-clock-sync); round trip {state.clock.rtt_min_ms:.1f} ms "
                f"at best, {state.clock.rtt_median_ms:.1f} ms typical")
        check = p.check
        if check is not None and check.order_test_said:
            say(f"  test order: {check.order_test_said}")
        if check is not None and check.others:
            first = check.others[0]
            say(f"  the exchange also sent {plural(len(check.others), 'message')} of its own (not replies; "
                f"passed over), the first: {first[:120]}{'...' if len(first) > 120 else ''}")
        say(f"  stop rule: after {plural(plan.orders, 'bought order')}, "
            f"{plan.time_limit:g} s after the opening, or after {plan.max_orders} orders in all; "
            f"retries at most {plan.max_order_rate:g} a second until the exchange states its limits")

    def _countdown_and_after(self, p: Prepared) -> int:
        state, say = self.state, self.term.say
        state.gate.inner = p.connector
        p.module.websockets = state.gate
        self._say_start(p)
        try:
            console, log_path, record_path = start_console(state.plan, self.term)
        except OSError as exc:
            print(f"quorvane host: cannot open the log: {exc}", file=sys.stderr)
            return EXIT_USAGE
        state.log_path = log_path
        say(f"  module output: {log_path}")
        say("  Ctrl-C stops it at any time")

        saved_stdout = os.dup(1)
        started = time.time()
        try:
            os.dup2(console.stdin.fileno(), 1)
            console.stdin.close()
            sys.stdout.reconfigure(line_buffering=True)
            self.runner.run(self._session(p), p.connector)
        except StopRequested:
            pass  # the handler recorded it and closed the gate
        except asyncio.CancelledError:
            if self.signals.request is None:
                raise
        finally:
            self.signals.disarm()
            self.link.flush_c()
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
            builtins.print = p.original_print
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
        try:
            fire_local = await approach.run(p.module)
            await enter(self.state, self.link, p.module, fire_local)
        finally:
            gc.enable()
            p.module.time = saved_time
            await approach.close()
