"""The first phase: everything that can go wrong before the countdown, found now.

In order: the print hook (before the module is imported: the module keeps
the ``print`` it finds then), the import, one order through the module with
nothing sent (:mod:`quorvane_host.run.preflight`), the quantity as it would
go out, the endpoint, and the start-up check: one connection to the
endpoint (:mod:`quorvane_host.net.endpoint`) over which the exchange's clock
is measured.  A failure is a :class:`SetupFailed` with the exit status and
the message for a person.
"""

from __future__ import annotations

import asyncio
import builtins
import importlib
import json
import secrets
import sys
import time
import urllib.parse
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any, Callable, List, Optional, Protocol, Tuple

from quorvane_host.cli.numbers import PLAIN_DECIMAL
from quorvane_host.cli.plan import Plan, UsageError
from quorvane_host.cli.progname import program_name
from quorvane_host.net.connector import Connector
from quorvane_host.net.endpoint import EndpointError, open_checked
from quorvane_host.orders.exit_status import EXIT_UNMET, EXIT_USAGE
from quorvane_host.orders.observer import install_print_hook
from quorvane_host.orders.refusals import Refusals
from quorvane_host.orders.reply import decode
from quorvane_host.orders.weights import RequestBudget
from quorvane_host.orders.order_test import judge_test_order, as_test_order
from quorvane_host.run.preflight import preflight
from quorvane_host.run.session import SessionRunner
from quorvane_host.run.state import RunState
from quorvane_host.timing.estimate import ClockEstimate, estimate, estimate_rtt_only
from quorvane_host.timing.measure import Allowance, ClockUnsupported, measure_within, ping_rtts
from quorvane_host.timing.offset_clock import OffsetClock

__all__ = ["CLOCK_SAMPLES", "MODULE_NAME", "LoopbackEndpoint", "Prepared", "SetupFailed", "prepare"]

MODULE_NAME = "quorvane_3"
# The exchange's receive window: how far this machine's clock may lag behind
# (an order's timestamp may be that old) or run ahead of the exchange's.
RECV_WINDOW_MS, AHEAD_MS = 5000, 1000
CLOCK_SAMPLES = 20
ORDER_TEST_TIMEOUT_S = 5.0  # the test order is a help: no answer in this long, and the run goes on


class LoopbackEndpoint(Protocol):
    """A rehearsal exchange started for this run (``--exchange loopback``)."""

    host: str
    port: int
    url: str

    def connector(self) -> Any: ...
    def report(self, symbol: Optional[str] = None) -> dict: ...
    def stop(self) -> Any: ...


class SetupFailed(Exception):
    """The run cannot go on; ``status`` is its exit status, the message says why."""

    def __init__(self, status: int, message: str, *, on_terminal: bool = False) -> None:
        super().__init__(message)
        self.status = status
        self.on_terminal = on_terminal  # said on the terminal rather than on stderr


@dataclass
class StartupCheck:
    """What the start-up connection showed."""

    clock: ClockEstimate
    connected_s: float = 0.0  # how long the connection took to open (name, TCP, TLS, upgrade)
    order_test_said: Optional[str] = None  # None: no test order was sent
    others: List[str] = field(default_factory=list)  # messages the exchange sent of its own accord


@dataclass
class Prepared:
    """What the later phases need: the module, where its orders go, and the print to restore."""

    module: Any
    url: str
    sent_quantity: Any
    connector: Any
    where: str
    original_print: Callable[..., None]
    check: Optional[StartupCheck] = None  # what the start-up connection showed


def _import_watched(state: RunState) -> Tuple[Any, Callable[..., None]]:
    if MODULE_NAME in sys.modules:
        raise SetupFailed(EXIT_UNMET, f"{MODULE_NAME} was imported before the host could watch its output",
                          on_terminal=True)
    original_print = install_print_hook(state.observer)
    try:
        return importlib.import_module(MODULE_NAME), original_print
    except ImportError as exc:
        builtins.print = original_print
        raise SetupFailed(EXIT_UNMET, f"cannot import {MODULE_NAME}: {exc} (build it first: make build)") from None


def check_request(plan: Plan, url: str, request: dict) -> Any:
    """The quantity the module would send, after the checks on it and on the URL (SetupFailed)."""
    sent_quantity = request.get("params", {}).get("quantity")
    if not plan.allow_inexact_quantity and (
            not isinstance(sent_quantity, str) or not PLAIN_DECIMAL.match(sent_quantity)
            or Decimal(sent_quantity) != Decimal(plan.quantity_text)):
        raise SetupFailed(EXIT_USAGE, f"the module would send the quantity as {sent_quantity}, not "
                                      f"{plan.quantity_text}; pass --allow-inexact-quantity to send it anyway")
    endpoint_host = urllib.parse.urlsplit(url).hostname or ""
    if plan.endpoint == "module" and endpoint_host.endswith(".invalid"):
        raise SetupFailed(EXIT_USAGE, f"this build of {MODULE_NAME} sends orders to {url}, a placeholder "
                          "that no exchange answers. Build it for the exchange's host, in the project's folder: "
                          "make build QUORVANE_EXCHANGE_HOST=HOST (kept for later builds; make dist "
                          "for a wheel), or use --connect HOST:PORT "
                          "(or --exchange loopback for a rehearsal)")
    return sent_quantity


def choose_endpoint(plan: Plan, url: str, loopback: Optional[LoopbackEndpoint]) -> Tuple[Any, str, str]:
    """The connector for the orders, what to call the endpoint, and its host:port."""
    if loopback is not None:
        return (loopback.connector(), f"loopback exchange at {loopback.url}",
                f"{loopback.host}:{loopback.port}")
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


async def look_at_clock(plan: Plan, ws: Any, samples: int, budget: Optional[RequestBudget] = None,
                        say: Callable[[str], None] = lambda text: None) -> ClockEstimate:
    """The exchange's clock over ``ws`` (or only the round trip, without clock sync).

    The server-time requests stay within half of what the exchange's
    request budget has left; a reply saying its limit is reached ends them,
    and the samples at hand are used.  With none at all, the clock is this
    machine's (WebSocket pings weigh nothing) and ``say`` tells so.
    """
    pings = max(4, samples // 2)
    if not plan.clock_sync:
        return estimate_rtt_only(await ping_rtts(ws, pings))
    got = await measure_within(ws, samples, allowance=Allowance(budget))
    if got.samples:
        return estimate(got.samples)
    say(f"{program_name('quorvane_host')}: the exchange's request limit leaves no room for a server-time "
        "request now: going by this machine's clock until the last look (synchronise it with NTP)")
    return estimate_rtt_only(await ping_rtts(ws, pings))


def clock_problem(est: ClockEstimate) -> Optional[str]:
    """Why the exchange would refuse every order's timestamp, or None."""
    if RECV_WINDOW_MS >= est.offset_ms >= -AHEAD_MS:
        return None
    how = (f"{est.offset_ms:.0f} ms behind" if est.offset_ms > 0 else f"{-est.offset_ms:.0f} ms ahead of")
    return (f"this machine's clock is {how} the exchange's, more than the exchange's receive "
            f"window accepts ({RECV_WINDOW_MS} ms behind, {AHEAD_MS} ms ahead). Fix this machine's "
            "clock (synchronise it with NTP, e.g. timedatectl set-ntp true) and start again")


async def send_test_order(plan: Plan, module: Any, ws: Any, refusals: Refusals, offset_ms: float,
                          budget: Optional[RequestBudget] = None) -> Tuple[bool, str]:
    """The module's own request, sent as a test order over the channel ``ws``: (stop the run?, what it showed).

    Text that is not JSON coming while it waits is taken as its answer (unreadable).
    """
    saved_time = module.time
    if plan.clock_sync:  # the timestamp by the exchange's clock, as the orders will carry it
        module.time = OffsetClock(offset_ms)
    try:
        _, request = await preflight(module, plan)
    finally:
        module.time = saved_time
    request_id = f"test-order-{secrets.token_hex(4)}"
    ws.expect(request_id, takes_garbled=True)
    try:
        if budget is not None:
            budget.spend(time.time() * 1000)
        await ws.send(json.dumps(as_test_order(request, request_id)))
        reply = decode(await ws.reply(request_id, ORDER_TEST_TIMEOUT_S))
    except asyncio.TimeoutError:
        return False, "no answer in time; going on (the first order will check the keys)"
    finally:
        ws.release(request_id)
    if budget is not None:
        budget.learn(reply, time.time() * 1000)
    verdict = judge_test_order(reply, refusals)
    return verdict.stop, verdict.said


def _say_waiting(say: Callable[[str], None], where: str) -> Callable[[float], None]:
    def waiting(waited_s: float) -> None:
        say(f"  still waiting for {where} to answer ({waited_s:.0f} s) ...")
    return waiting


async def startup_check(plan: Plan, connector: Any, url: str, where: str, module: Any = None,
                        refusals: Optional[Refusals] = None,
                        say: Callable[[str], None] = lambda text: None,
                        budget: Optional[RequestBudget] = None) -> StartupCheck:
    """Open one connection (EndpointError with advice), measure the clock over it, send the test order.

    A test order that shows the run cannot succeed (a wrong key or secret) raises UsageError.
    ``say`` tells the person what the host is waiting for meanwhile.  ``budget``: the run's
    request budget, which the requests here spend and the replies teach.
    """
    say(f"{program_name('quorvane_host')}: checking the endpoint {where} ...")
    loop = asyncio.get_running_loop()
    started = loop.time()
    ws = await open_checked(connector, url, where, cafile=plan.cafile, on_wait=_say_waiting(say, where))
    connected_s = loop.time() - started
    said = None
    others: List[str] = []
    ws.watch(on_pushed=lambda message: others.append(message if isinstance(message, str) else repr(message)))
    try:
        try:
            est = await look_at_clock(plan, ws, CLOCK_SAMPLES, budget, say)
        except ClockUnsupported as exc:
            raise UsageError(
                f"the exchange at {where} does not answer the server-time request ({exc}), "
                "so its clock cannot be measured. Pass --no-clock-sync to fire by this "
                "machine's clock (synchronise it with NTP first)") from None
        except asyncio.TimeoutError:
            raise UsageError(f"the exchange at {where} did not answer the server-time request "
                             "in time; pass --no-clock-sync to go without it") from None
        problem = clock_problem(est)
        if problem:
            raise UsageError(problem)
        if plan.order_test and module is not None and refusals is not None:
            stop, said = await send_test_order(plan, module, ws, refusals, est.offset_ms, budget)
            if stop:
                raise UsageError(f"test order at start-up: {said}")
    finally:
        await ws.close()
    return StartupCheck(est, connected_s, said, others)


def prepare(state: RunState, runner: SessionRunner,
            loopback: Callable[[], Optional[LoopbackEndpoint]],
            say: Callable[[str], None] = lambda text: None) -> Prepared:
    """Import, a trial of one order with nothing sent, checks, endpoint and start-up check.

    SetupFailed when the run cannot go on; ``say`` tells the person what is being checked.
    """
    plan = state.plan
    module, original_print = _import_watched(state)
    try:
        try:
            url, request = asyncio.run(preflight(module, plan))
        except Exception as exc:
            raise SetupFailed(EXIT_UNMET, f"{MODULE_NAME} cannot place orders yet: "
                                          f"{type(exc).__name__}: {exc}") from None
        sent_quantity = check_request(plan, url, request)
        try:
            connector, where, address = choose_endpoint(plan, url, loopback())
        except Exception as exc:
            raise SetupFailed(EXIT_UNMET, f"cannot start the loopback exchange: {exc}") from None
        try:
            # Like the session, so that a stop request here cannot leave the
            # handshake half done and the host waiting on it.
            check = runner.run(
                startup_check(plan, connector, url, address, module, state.observer.refusals, say, state.budget),
                connector)
            state.clock = state.clock_at_start = check.clock
        except (EndpointError, UsageError) as exc:
            raise SetupFailed(EXIT_USAGE, str(exc)) from None
    except BaseException:
        builtins.print = original_print
        raise
    return Prepared(module, url, sent_quantity, connector, where, original_print, check)
