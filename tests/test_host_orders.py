"""What happens to each order and to the money: refusals, fates, stop requests."""

import asyncio
import json
import os
import random
import signal
import ssl
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

from quorvane_host.orders.codes import Code
from quorvane_host.orders.fate import ANSWERED, NEVER_CONNECTED, NEVER_SENT, NO_REPLY
from quorvane_host.orders.gate import Gate, StopOrdering, _TrackedSocket
from quorvane_host.orders.observer import Observer
from quorvane_rehearsal.exchange import Symbol
from quorvane_host.net.pool import ConnectionLimit
from quorvane_host.orders.refusals import Refusals, parse_override
from quorvane_rehearsal.network import RehearsalNetwork
from quorvane_host.run.stopping import Interrupted
from openings import signal_once_counting, with_leads
from test_host_run import KEYS, REPO, host_waited, read_json, run_on_exchange, standin_env  # noqa: F401 - fixture

pytestmark = pytest.mark.python_side

OPEN = 1_000_000


@pytest.mark.parametrize("code, overrides, stops", [
    # early: retried at the pace until the time limit, however late the listing is
    (Code.NOT_OPEN, (), False),
    (Code.UNKNOWN_SYMBOL, (), False),
    (Code.TOO_MANY_ORDERS, (), False),  # waited out, never a stop by itself
    (Code.TOO_MANY_REQUESTS, (), False),
    (Code.BAD_SIGNATURE, (), True),
    (Code.UNKNOWN_API_KEY, (), True),
    (Code.TIMESTAMP_OUTSIDE_WINDOW, (), True),
    (Code.QUANTITY_STEP, (), True),
    (Code.BAD_QUANTITY, (), True),
    (Code.UNSUPPORTED_ORDER, (), True),
    (-2010, (), True),  # not in the table (insufficient balance...)
    (None, (), True),  # a refusal without a code
    (Code.BAD_SIGNATURE, ("BAD_SIGNATURE=retry",), False),
    (Code.NOT_OPEN, ("3005=retry",), False),
    (Code.NOT_OPEN, ("not_open=stop",), True),
    (Code.TOO_MANY_ORDERS, ("-1015=stop",), True),
    (-2010, ("-2010=early",), False),
])
def test_refusal_classes(code, overrides, stops):
    refusals = Refusals(OPEN, [parse_override(o) for o in overrides])
    assert refusals.stops(code) is stops


@pytest.mark.parametrize("text", ["2002", "2002=maybe", "NO_SUCH_CODE=stop",
                                  "-1007=retry", "BACKEND_TIMEOUT=stop"])  # execution unknown: no refusal
def test_bad_refusal_override(text):
    with pytest.raises(ValueError, match="--refusal"):
        parse_override(text)


# ---------------------------------------------------------------------------
# Per-order fate, with a stand-in for the connections


class _Socket:
    def __init__(self, reply):
        self.reply = reply
        self.sent = []

    async def send(self, text):
        self.sent.append(text)

    async def recv(self):
        if isinstance(self.reply, BaseException):
            raise self.reply
        return self.reply


class _Connecting:
    def __init__(self, opened, after_open):
        self.opened, self.after_open = opened, after_open

    async def __aenter__(self):
        if isinstance(self.opened, BaseException):
            raise self.opened
        self.after_open()
        return self.opened

    async def __aexit__(self, *exc):
        return False


class _Inner:
    def __init__(self, opened):
        self.opened = opened
        self.after_open = lambda: None

    def connect(self, url):
        return _Connecting(self.opened, self.after_open)


async def _order(gate):
    async with gate.connect("wss://x/ws-api/v3") as ws:
        await ws.send("{}")
        return await ws.recv()


FILLED = json.dumps({"id": "1", "status": 200, "result": {
    "orderId": 7, "executedQty": "0.5",
    "fills": [{"price": "2.00", "qty": "0.2", "quoteQty": "0.400"},
              {"price": "3.00", "qty": "0.3", "quoteQty": "0.900"}]}})


@pytest.mark.parametrize("opened, halt, fate, said", [
    (ConnectionLimit("60 new connections"), False, NEVER_SENT, "never sent (no connection)"),
    (ConnectionRefusedError(111, "refused"), False, NEVER_SENT, "never sent (no connection)"),
    (ssl.SSLError("handshake"), False, NEVER_CONNECTED, "never connected (TLS or upgrade"),
    (asyncio.TimeoutError(), False, NEVER_CONNECTED, "never connected"),
    (_Socket(ConnectionResetError("reset")), False, NO_REPLY, "its outcome is unknown: check the account"),
    (_Socket(FILLED), False, ANSWERED, "bought 0.5 at 2.6 for 1.300"),
    (_Socket("<html>busy</html>"), False, ANSWERED, "outcome unknown"),
    (_Socket(FILLED), True, NEVER_SENT, "never sent (held back on its connection)"),
])
def test_order_fate(opened, halt, fate, said):
    inner = _Inner(opened)
    gate = Gate(inner, max_orders=10)
    observer = Observer(1, gate, Refusals(OPEN))
    if halt:  # a stop request after the connection opened, before the send: the handler's first step
        inner.after_open = lambda: gate.halt("interrupted (Ctrl-C)", Interrupted)
    try:
        reply = asyncio.run(_order(gate))
    except (Exception, Interrupted):
        reply = None
    if reply is not None and reply.startswith("{"):
        observer.line("Buy order placed successfully: " + str(json.loads(reply)))
    order = gate.orders[0]
    assert order.fate == fate and said in order.describe()
    assert gate.placed == (fate in (NO_REPLY, ANSWERED))
    if halt:
        assert opened.sent == [] and gate.sent_at_halt == 0
        with pytest.raises(StopOrdering):  # and no further order starts
            gate.connect("wss://x/ws-api/v3")


def _send_halting_at(step, raising):
    """One order whose stop request lands before the ``step``-th bytecode of the gate's send.

    The handler closes the gate, then raises (``raising``) or not (code
    that swallows the exception).  Returns the gate and what reached the socket.
    """
    socket = _Socket(FILLED)
    gate = Gate(_Inner(socket), max_orders=10)
    target, count = _TrackedSocket.send.__code__, [0]

    def trace(frame, event, arg):
        if frame.f_code is not target:
            return None
        frame.f_trace_opcodes = True

        def opcode(frame, event, arg):
            if event == "opcode":
                count[0] += 1
                if count[0] == step:
                    gate.halt("interrupted (Ctrl-C)", Interrupted)
                    if raising:
                        raise Interrupted()
            return opcode
        return opcode

    sys.settrace(trace)
    try:
        asyncio.run(_order(gate))
    except (Exception, Interrupted):
        pass
    finally:
        sys.settrace(None)
    return gate, socket.sent, count[0]


@pytest.mark.filterwarnings("ignore:coroutine:RuntimeWarning")  # a send created, then interrupted
@pytest.mark.parametrize("raising", [False, True])
def test_stop_request_at_every_step_of_the_send(raising):
    # Wherever in the send the handler runs, an order that reached the
    # connection was counted by it, and the count never exceeds the orders placed.
    _, _, steps = _send_halting_at(0, raising)
    assert steps > 10
    for step in range(1, steps + 1):
        gate, sent, _ = _send_halting_at(step, raising)
        where = f"stop request at bytecode {step} of {steps}"
        assert gate.sent_at_halt is not None, where
        assert len(sent) <= gate.sent_at_halt <= gate.placed, where


# ---------------------------------------------------------------------------
# End to end: a refusal that retrying cannot fix stops before the next order


@pytest.mark.parametrize("secret, step, code, advice", [
    ("another-secret", "0.001", Code.BAD_SIGNATURE, "check the secret key"),
    ("test-secret", "0.3", Code.QUANTITY_STEP, "multiple of the symbol's lot step"),
])
def test_refusal_stops_before_another_order(standin_env, tmp_path, secret, step, code, advice):
    run = with_leads(lambda lead_s: run_on_exchange(
        standin_env, tmp_path / f"lead-{lead_s}", lead_s, "--max-orders", "1000",
        "--no-order-test", secret=secret, symbol={"step": step}), host_waited())  # refused at the opening
    done, r, records = run.done, run.r, run.records
    assert done.returncode == 1, done.stdout + done.stderr
    # the module's pass after the refusal found the gate closed: one order in all
    assert [r.code for r in records] == [code]
    assert records[0].msg in done.stdout and advice in done.stdout
    assert r["placed"] == 1 and r["refusal_stop"]["code"] == code
    assert list(r["refusals"].values()) == [1]


# ---------------------------------------------------------------------------
# Stop requests at random moments of an order

# The host as if whatever the handler raises were swallowed where it lands:
# the record and the closed gate alone must stop it.
SWALLOWED = """
import sys
from quorvane_host.run import stopping
install = stopping.StopSignals.install
def record_only(self):
    self.armed = False
    return install(self)
stopping.StopSignals.install = record_only
from quorvane_host.cli.main import main
sys.exit(main(sys.argv[1:]))
"""


def _signal_at(net, folder, env, command, signum, offset_s, lead_s):
    """A host on a symbol opening ``lead_s`` s from now, sent ``signum`` ``offset_s`` s from the opening
    (at once, if that has passed when its countdown begins); what came of it."""
    symbol = f"QRV{folder.name}X{lead_s}USD"
    open_ms = int(time.time() * 1000 + lead_s * 1000)
    net.add_symbol(Symbol(symbol, open_ms))
    log, result = folder / f"{lead_s}.log", folder / f"{lead_s}.json"
    proc = subprocess.Popen(
        [sys.executable, *command, symbol, "0.5", "--open-at", str(open_ms),
         "--connect", f"127.0.0.1:{net.port}", "--cafile", net.cafile,
         "--orders", "100000", "--max-orders", "100000", "--max-new-connections", "100000",
         "--time-limit", "25", "--log", str(log), "--result", str(result)],
        env=env, cwd=REPO, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    counting, out, err = signal_once_counting(proc, log, signum, at_s=open_ms / 1000 + offset_s)
    done = subprocess.CompletedProcess(proc.args, proc.returncode, out, err)
    return SimpleNamespace(done=done, counting=counting, records=net.records(symbol),
                           r=read_json(result) if result.exists() else None)


def test_signals_at_random_moments_stop_at_once(standin_env, tmp_path):
    rng = random.Random(os.environ.get("QUORVANE_TEST_SEED", time.time_ns()))
    runs = 8
    swallowed = tmp_path / "swallowed.py"
    swallowed.write_text(SWALLOWED)
    env = dict(standin_env, **KEYS)
    env["PYTHONPATH"] = os.pathsep.join([REPO, env["PYTHONPATH"]])  # for the script as for -m
    with RehearsalNetwork({"test-key": "test-secret"}, rtt_ms=10, jitter_ms=1, lifetime=900) as net:
        for run in range(runs):
            signum = (signal.SIGINT, signal.SIGTERM)[run % 2]
            command = [str(swallowed)] if run % 4 >= 2 else ["-m", "quorvane_host"]
            # Somewhere from just before the first order to a few orders in
            # (each takes a round trip of about 10 ms through the relay).
            offset_s = rng.uniform(-0.15, 0.4)
            folder = tmp_path / str(run)
            folder.mkdir()
            got = with_leads(lambda lead_s: _signal_at(net, folder, env, command, signum, offset_s, lead_s),
                             lambda got: got.counting)
            done, r, records = got.done, got.r, got.records
            context = f"run {run}, signal {signum.name}, {command[0]}\n{done.stdout}\n{done.stderr}"
            assert "Traceback" not in done.stderr, context
            # An order caught waiting for its reply may have bought: that says 3, whatever stopped the run.
            status = 3 if r["outcome_unknown"] else 130 if signum == signal.SIGINT else 143
            assert done.returncode == status, context
            # No order left after the signal: the exchange saw no more orders
            # than had been handed to a connection when the handler ran.
            assert r["orders_sent_at_stop_request"] is not None, context
            assert len(records) <= r["orders_sent_at_stop_request"] <= r["placed"], context
            # Nothing the exchange saw goes unaccounted: answered or outcome unknown.
            answered = r["accepted"] + r["refused"]
            assert answered <= len(records) <= answered + r["outcome_unknown"], context
            assert sum(rec.accepted for rec in records) >= r["accepted"], context
