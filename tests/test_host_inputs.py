"""The host's input checks, key files, fault words, line reading, console and gate."""

import asyncio
import io
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest
import ujson
from websockets.exceptions import ConnectionClosedError, ConnectionClosedOK
from websockets.frames import Close

from quorvane_host.cli.console import HOST_MARK, SHIFT_MARK, Console, RotatingLog
from quorvane_rehearsal.exchange import Fault, LoopbackExchange, Symbol, make_self_signed
from quorvane_host.net.faults import describe_fault
from quorvane_host.cli.main import main as host_main
from quorvane_host.cli.progname import program_name
from quorvane_host.cli.keys import CredentialsError, read_key_file
from quorvane_host.orders.lines import parse_latency, parse_outcome, parse_time_left
from quorvane_host.orders.gate import Gate, StopOrdering
from quorvane_host.orders.observer import Observer
from quorvane_host.cli.options import UsageError, build_plan, parse_args, quantity_text
from quorvane_host.orders.refusals import Refusals
from quorvane_host.cli.times import TimeError, current_ms, format_ms, parse_opening_time

NOW = 1_800_000_000_000  # 2027-01-15T08:00:00Z
ENV = {"QUORVANE_API_KEY": "k", "QUORVANE_SECRET_KEY": "s"}


def plan(*argv, env=ENV):
    return build_plan(parse_args(list(argv)), env, now_ms=NOW)


# ---------------------------------------------------------------------------
# Opening time, quantity, symbol, stop rule, endpoint


@pytest.mark.parametrize("text, ms", [
    ("1800000060000", NOW + 60_000),
    ("2027-01-15T08:01:00Z", NOW + 60_000),
    ("2027-01-15T08:01:00.250z", NOW + 60_250),
    ("2027-01-15T09:01:00+01:00", NOW + 60_000),
    ("2027-01-15T03:01:00.999999-05:00", NOW + 60_999),
])
def test_opening_time_forms(text, ms):
    assert plan("QRVUSD", "1", "--open-at", text).open_ms == ms


def test_relative_times_only_where_allowed():
    assert parse_opening_time("+1.5s", now_ms=NOW, allow_relative=True) == NOW + 1500
    assert parse_opening_time("+2m", now_ms=NOW, allow_relative=True) == NOW + 120_000
    with pytest.raises(TimeError):
        parse_opening_time("+1.5s", now_ms=NOW)
    assert format_ms(NOW + 250) == "2027-01-15T08:00:00.250Z"


@pytest.mark.parametrize("argv, message", [
    (["--open-at", str(NOW - 1)], r"in the past \(now: 2027-01-15T08:00:00.000Z\)"),
    (["--open-at", str(NOW)], "in the past"),
    (["--open-at", str(NOW // 1000 + 60)], "looks like seconds"),
    (["--open-at", str(NOW + 24 * 3600 * 1000 + 1)], "more than a day ahead"),
    (["--open-at", "2027-01-15T08:01:00"], "no zone"),
    (["--open-at", "tomorrow"], "cannot read the opening time"),
    (["--open-at", "+5d"], r"cannot read the opening time.*one unit: ms, s, m or h \(\+250ms, \+20s"),
    (["--open-at", "+90"], r"\+90 has no unit: write \+90s for seconds"),
    (["--open-at", "+2h30m"], r"more than one unit: write it in one, \+150m;"),
])
def test_bad_opening_times(argv, message):
    with pytest.raises(UsageError, match=message):
        plan("QRVUSD", "1", *argv)


def test_a_day_ahead_is_allowed():
    assert plan("QRVUSD", "1", "--open-at", str(NOW + 24 * 3600 * 1000)).open_ms


@pytest.mark.parametrize("quantity, message", [
    ("abc", "not a plain number"),
    ("", "not a plain number"),
    ("0", "positive"),
    ("-2", "positive"),
    ("nan", "not a plain number"),
    ("inf", "not a plain number"),
    ("1e3", "not a plain number"),
    ("1" * 301, "too large"),
    ("0.00001", "as 1e-05"),
    ("20000000000000000", r"as 2e\+16"),
    ("0.12345678901234567891", "as 0.12345678901234568"),
])
def test_bad_quantities(quantity, message):
    with pytest.raises(UsageError, match=message):
        plan("QRVUSD", quantity, "--open-at", str(NOW + 1000))


@pytest.mark.parametrize("quantity, value", [
    ("0.5", 0.5), ("3", 3.0), ("0.1", 0.1), ("12.34", 12.34), ("0.0001", 0.0001), ("5.", 5.0)])
def test_plain_quantities(quantity, value):
    assert plan("QRVUSD", quantity, "--open-at", str(NOW + 1000)).quantity == value


def test_exponent_quantity_on_request():
    p = plan("QRVUSD", "0.00001", "--open-at", str(NOW + 1000), "--allow-inexact-quantity")
    assert p.quantity == 1e-05


@pytest.mark.parametrize("value, text", [
    (0.5, "0.5"), (10, "10.0"), (0.1, "0.1"), (1e-05, "1e-05"), (1e16, "1e+16")])
def test_quantity_text(value, text):
    assert quantity_text(value) == text


@pytest.mark.parametrize("argv, message", [
    (["QRV-USD", "1"], "letters and digits"),
    (["Q", "1"], "letters and digits"),
    (["QRVUSD", "1", "--orders", "0"], "--orders"),
    (["QRVUSD", "1", "--orders", "3", "--max-orders", "2"], "--orders 3 is more than --max-orders 2: give "
                                                             "--max-orders 3 or more"),
    (["QRVUSD", "1", "--orders", "200"], r"--orders 200 is more than the 100 orders in all .*default 100\): "
                                         "give --max-orders 200 or more"),
    (["QRV/USD", "1"], "without a separator: QRVUSD"),
    (["QRVUSD", "1", "--time-limit", "0"], "--time-limit"),
    (["QRVUSD", "1", "--grace", "-1"], "--grace"),
    (["QRVUSD", "1", "--connect", "127.0.0.1"], "HOST:PORT"),
    (["QRVUSD", "1", "--connect", "127.0.0.1:0"], "out of range"),
    (["QRVUSD", "1", "--connect", "h:1", "--exchange", "loopback"], "exclude"),
    (["QRVUSD", "1", "--cafile", "x.pem"], "go with --connect"),
    (["QRVUSD", "1", "--connect", "h:1", "--cafile", "/nonexistent.pem"], "does not exist"),
    (["QRVUSD", "1", "--exchange", "loopback", "--loopback-step", "0"], "--loopback-step"),
])
def test_bad_settings(argv, message):
    with pytest.raises(UsageError, match=message):
        plan(*argv, "--open-at", str(NOW + 1000))


def test_connect_forms():
    p = plan("qrvusd", "1", "--open-at", str(NOW + 1000), "--connect", "[::1]:8443")
    assert (p.endpoint, p.connect_host, p.connect_port) == ("connect", "::1", 8443)
    assert p.symbol == "qrvusd"  # the module upper-cases it


# ---------------------------------------------------------------------------
# Keys


@pytest.mark.parametrize("env, message", [
    ({}, "no API key: set QUORVANE_API_KEY"),
    ({"QUORVANE_API_KEY": "k"}, r"no secret key in the environment \(QUORVANE_SECRET_KEY\)$"),
    ({"QUORVANE_SECRET_KEY": "s"}, r"no API key in the environment \(QUORVANE_API_KEY\)$"),
    ({"QUORVANE_API_KEY": "k ", "QUORVANE_SECRET_KEY": "s"}, "blanks"),
])
def test_missing_or_bad_keys_in_environment(env, message):
    with pytest.raises(UsageError, match=message):
        plan("QRVUSD", "1", "--open-at", str(NOW + 1000), env=env)


def key_file(tmp_path, text, mode=0o600):
    path = tmp_path / "keys"
    path.write_text(text)
    os.chmod(path, mode)
    return str(path)


@pytest.mark.parametrize("mode", [0o640, 0o604, 0o660, 0o644, 0o602, 0o620])
def test_key_file_readable_by_others_is_refused(tmp_path, mode):
    path = key_file(tmp_path, "api_key = k\nsecret_key = s\n", mode)
    with pytest.raises(CredentialsError, match=f"mode {mode:04o}.*chmod 600"):
        read_key_file(path)


@pytest.mark.parametrize("text", [
    "api_key = k\nsecret_key = s\n",
    "# mine\n\napi_key: k\nsecret_key: 's'\n",
    'export QUORVANE_API_KEY="k"\nexport QUORVANE_SECRET_KEY=s\n',
])
def test_key_file_forms(tmp_path, text):
    assert read_key_file(key_file(tmp_path, text, 0o400)) == ("k", "s")


@pytest.mark.parametrize("text, message", [
    ("api_key = k\n", "no secret key"),
    ("api_key = k\nsecret_key = s\npassword = x\n", "line 3"),
    ("just some text\n", "line 1"),
])
def test_bad_key_files(tmp_path, text, message):
    with pytest.raises(CredentialsError, match=message):
        read_key_file(key_file(tmp_path, text))


def test_key_file_wins_over_environment(tmp_path):
    path = key_file(tmp_path, "api_key = file-k\nsecret_key = file-s\n")
    p = plan("QRVUSD", "1", "--open-at", str(NOW + 1000), "--key-file", path)
    assert (p.api_key, p.secret) == ("file-k", "file-s")
    assert "file-s" not in repr(p)
    with pytest.raises(UsageError, match="does not exist"):
        plan("QRVUSD", "1", "--open-at", str(NOW + 1000), "--key-file", path + ".missing")


# ---------------------------------------------------------------------------
# Bad input through the command: exit 2 with advice before anything waits,
# never a traceback


def _bad_files(tmp_path):
    files = {"dir": tmp_path / "folder", "fifo": tmp_path / "pipe", "notpem": tmp_path / "ca.pem"}
    files["dir"].mkdir()
    os.mkfifo(files["fifo"])
    files["notpem"].write_text("not a certificate\n")
    for name, data in [("dup", b"api_key = a\nsecret_key = s\napi_key = b\n"),
                       ("latin1", b"api_key = a\nsecret_key = s\xe9cret\n"),
                       ("good", b"api_key = a\nsecret_key = s\n")]:
        files[name] = tmp_path / name
        files[name].write_bytes(data)
        os.chmod(files[name], 0o600)
    return {name: str(path) for name, path in files.items()}


ENV_LATIN1_SECRET = {"QUORVANE_API_KEY": "k", "QUORVANE_SECRET_KEY": "s\udce9"}  # the byte 0xe9


@pytest.mark.parametrize("argv, env, message", [
    (["--key-file", "{dir}"], ENV, "key file .*folder is a directory"),
    (["--key-file", "{fifo}"], ENV, "key file .*pipe is a named pipe"),
    (["--key-file", ""], ENV, "--key-file names no file.*leave --key-file out"),
    (["--key-file", "{dup}"], ENV, r"line 3: api_key is set again \(first on line 1\)"),
    (["--key-file", "{latin1}"], ENV, "line 2: the value of secret_key is not UTF-8 text"),
    (["--key-file", "{good}", "as another user"], ENV, "belongs to another user.*sudo chown"),
    ([], ENV_LATIN1_SECRET, r"secret key in the environment \(QUORVANE_SECRET_KEY\) is not UTF-8"),
    (["--connect", "127.0.0.1:9", "--cafile", "{notpem}"], ENV, "holds no certificate in PEM form"),
    (["--connect", "127.0.0.1:9", "--cafile", "{fifo}"], ENV, "is not a regular file"),
    (["--connect", ""], ENV, "--connect wants HOST:PORT, not ''"),
    (["--open-at", "1" * 16], ENV, "has 16 digits: milliseconds since the epoch have 13"),
    (["--open-at", "9" * 5000], ENV, "has 5000 digits"),
    (["--open-at", "9" * 15], ENV, "more than a day ahead"),
    (["--open-at", "\u00b2"], ENV, "other than plain ASCII digits"),
    (["--open-at", "\u0661\u0668" + "\u0660" * 11], ENV, "other than plain ASCII digits"),
])
def test_bad_input_exits_2_with_advice(tmp_path, monkeypatch, capsys, argv, env, message):
    files = _bad_files(tmp_path)
    if "as another user" in argv:
        argv = [a for a in argv if a != "as another user"]
        monkeypatch.setattr(os, "geteuid", lambda: os.getuid() + 1)
    for name in ("QUORVANE_API_KEY", "QUORVANE_SECRET_KEY"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    argv = [a.format(**files) for a in argv]
    if "--open-at" not in argv:
        argv += ["--open-at", str(current_ms() + 60_000)]
    assert host_main(["QRVUSD", "1", *argv]) == 2
    err = capsys.readouterr().err
    # one form for every error, argparse's: "<command>: error: ..."
    assert re.fullmatch(f"{re.escape(program_name('quorvane_host'))}: error: .*{message}.*\n", err), err


# ---------------------------------------------------------------------------
# The exchange's faults in words


def _closed(received):
    if received is None:
        return ConnectionClosedError(None, None)
    kind = ConnectionClosedOK if received.code == 1000 else ConnectionClosedError
    return kind(received, received, True)


def _not_json():
    try:
        ujson.loads("<html><body>Bad Gateway</body></html>")
    except ValueError as exc:
        return exc


@pytest.mark.parametrize("exc, words", [
    (_closed(Close(1000, "")), "the exchange closed the connection without answering: close code 1000, normal closure"),
    (_closed(Close(1011, "oops")), "the exchange closed the connection with an error: close code 1011, internal error: oops"),
    (_closed(None), "the connection dropped without a closing handshake"),
    (_not_json(), "the exchange answered with text that is not JSON"),
    (json.JSONDecodeError("Expecting value", "x", 0), "the exchange answered with text that is not JSON"),
    (ConnectionResetError(), "the connection was reset: the exchange or something on the way broke it off"),
    (ConnectionRefusedError(111, "Connection refused"), "the exchange refused the connection"),
    (asyncio.TimeoutError(), "the exchange did not answer in time"),
    (socket.gaierror(-2, "Name or service not known"), "the exchange's host name was not found: Name or service not known"),
    (OSError(101, "Network is unreachable"), "a network error: Network is unreachable"),
    (RuntimeError("odd"), "an unexpected RuntimeError: odd"),
])
def test_fault_words(exc, words):
    assert describe_fault(exc).startswith(words)
    assert "(" not in describe_fault(exc)  # callers bracket it: never brackets within brackets


@pytest.mark.parametrize("fault, words", [
    (Fault.CLOSE, "the exchange closed the connection without answering"),
    (Fault.GARBAGE, "the exchange answered with text that is not JSON"),
    (Fault.REFUSE_TLS, "the connection was reset"),
])
def test_fault_words_for_what_the_module_raises(tmp_path, restore_globals, fault, words):
    """The same words for the exceptions that really come out of an order."""
    qv = restore_globals

    async def order():
        now = current_ms()
        async with LoopbackExchange({"k": "s"}, [Symbol("QRVUSD", now - 1)],
                                    tls=make_self_signed(str(tmp_path)), lifetime=30) as ex:
            qv.websockets = ex.connector()
            ex.set_fault(fault, count=1)
            with pytest.raises(Exception) as caught:
                await qv.buy_market_order("k", "s", "QRVUSD", 1.0)
            return caught.value

    assert describe_fault(asyncio.run(order())).startswith(words)


# ---------------------------------------------------------------------------
# Ctrl-C at any moment of the start: one line, status 130, no traceback


def _importing_the_host(pid):
    """Whether the interpreter has started and runs the host's imports (asyncio's extension is loaded).

    Before that the interpreter is still setting itself up, a window no
    Python code can guard."""
    try:
        with open(f"/proc/{pid}/maps") as fh:
            return "_asyncio" in fh.read()
    except OSError:
        return False


@pytest.mark.parametrize("after", [0.0, 0.02, 0.05, 0.1, 0.2, 0.4, 0.8])
def test_ctrl_c_while_starting(after):
    env = dict(os.environ, QUORVANE_API_KEY="k", QUORVANE_SECRET_KEY="s")
    host = subprocess.Popen(
        [sys.executable, "-m", "quorvane_host", "QRVUSD", "1", "--open-at", str(current_ms() + 120_000),
         "--exchange", "loopback", "--display", "plain"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, start_new_session=True,
        # as from a terminal: a runner started in the background may have
        # SIGINT ignored, which the host would inherit and keep
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    while not _importing_the_host(host.pid) and host.poll() is None:
        time.sleep(0.001)
    time.sleep(after)
    os.killpg(host.pid, signal.SIGINT)  # as the terminal does: the host and its children
    try:
        out, err = host.communicate(timeout=60)  # the opening is 120 s away: not ended means not stopped
    finally:
        if host.poll() is None:
            os.killpg(host.pid, signal.SIGKILL)
            host.communicate()
    text = (out + err).decode()
    # The interpreter sometimes ends by SIGINT after the host's own exit(130)
    # (a shell shows 130 for both).
    assert host.returncode in (130, -signal.SIGINT), text
    assert "Traceback" not in text and "Exception ignored" not in text, text
    assert text.count("interrupted (Ctrl-C)") == 1, text


# ---------------------------------------------------------------------------
# Reading the module's lines


@pytest.mark.parametrize("line, accepted, code, order_id", [
    ("Buy order placed successfully: {'id': 'a', 'status': 200, 'result': {'orderId': 7}}", True, None, 7),
    ("Buy order placed successfully: {'id': 'a', 'result': None}", True, None, None),
    ("Buy order placed successfully: {'id': 'a', 'status': 200, 'result': {'symbol': 'X', 'orderId': 12, "
     "'side': 'BUY'}}", True, None, 12),
    # read in full: an order id inside another value, a text that is not in plain quotes
    ("Buy order placed successfully: {'id': 'a', 'status': 200, 'result': {'fills': {'orderId': 5}, 'orderId': 6}}",
     True, None, 6),
    ("Buy order placed successfully: {'id': 'a', 'status': 200, 'result': {'symbol': \"x', 'orderId': 9, \", "
     "'orderId': 10}}", True, None, 10),
    ("Failed to place buy order: {'code': 3005, 'msg': 'trading in X opens in 5 ms'}", False, 3005, None),
    ("Failed to place buy order: None", False, None, None),
    ("Failed to place buy order: {'code': True, 'msg': 1}", False, None, None),
    ("Failed to place buy order: not a literal {", False, None, None),
])
def test_outcome_lines(line, accepted, code, order_id):
    outcome = parse_outcome(line)
    assert (outcome.accepted, outcome.code, outcome.order_id) == (accepted, code, order_id)
    assert outcome.too_early is (code == 3005)


@pytest.mark.parametrize("line", ["Time from opening:5", "Buy order took 3 ms", "", "buy order placed"])
def test_other_lines_are_not_outcomes(line):
    assert parse_outcome(line) is None


def test_trigger_lines():
    assert parse_time_left("Time from opening:-3\n") == -3
    assert parse_time_left("Time from opening: 3") is None
    assert parse_latency("Buy order took 153 ms") == 153
    assert parse_latency("Buy order took 1.5 ms") is None


# ---------------------------------------------------------------------------
# Console


STREAM = (
    b"".join(b"Time from opening:%d\n" % n for n in range(2500, 95, -1))
    + b"Failed to place buy order: {'code': 3005, 'msg': 'early'}\n"
    + b"Buy order took 4 ms\nTime from opening:90\n"
    + b"Buy order placed successfully: {'id': 'x', 'result': {'orderId': 1}}\n"
    + HOST_MARK.encode() + b"a note\n"
    + b"Buy order took 6 ms\nTime from opening:80\n"
    + b"Failed to place buy order: {'code': 1, 'msg': 'm'}\n"
)


@pytest.mark.parametrize("size", [1, 7, 20, 4096, len(STREAM)])
def test_console_reads_any_chunking(size):
    out = io.StringIO()
    console = Console(out, tty=False)
    for i in range(0, len(STREAM), size):
        console.feed(STREAM[i:i + size])
    console.close()
    record = console.record()
    assert [(o["accepted"], o["latency_ms"]) for o in record["orders"]] == [
        (False, 4), (True, 6), (False, None)]
    assert record["first_time_left_ms"] == 2500
    assert record["time_left_at_first_order_ms"] == 99
    assert record["lines"] == STREAM.count(b"\n")
    text = out.getvalue()
    assert "\n  a note\n" in text and "order 2: accepted, order id 1 (6 ms)" in text  # indented as the run's lines
    # a plain countdown: a handful of lines, not one per pass
    assert 2 <= text.count("opens in") <= 5


def test_console_countdown_on_a_terminal_redraws_in_place():
    out = io.StringIO()
    now = [0.0]
    console = Console(out, tty=True, clock=lambda: now[0])
    for n in range(3000, 100, -100):
        console.feed(b"Time from opening:%d\n" % n)
        now[0] += 0.05  # redrawn at most ten times a second
    console.feed(b"Time from opening:99\n")
    console.close()
    text = out.getvalue()
    assert text.count("\n") == 2  # the countdown line and the first-order line
    assert text.startswith("\r  opens in 3.000 s\r  opens in 2.800 s\r")
    assert "\x1b" not in text  # blanked with spaces: no escape sequence for a terminal that has none
    assert 13 <= text.count("opens in") <= 15  # 29 passes in 1.45 s


@pytest.mark.parametrize("tty", [False, True])
def test_the_countdown_ends_at_the_opening(tty):
    # the module's opening 200 ms before the real one: its last passes are past the real opening
    out = io.StringIO()
    console = Console(out, tty=tty)
    console.feed(SHIFT_MARK.encode() + b"200\n")
    for n in (1300, 250, 150, 120, 99):
        console.feed(b"Time from opening:%d\n" % n)
    console.close()
    text = out.getvalue()
    assert "opens in 1.100 s" in text and "opens in 0.000" not in text and "opens in -" not in text


def test_rotating_log_keeps_two_parts(tmp_path):
    path = str(tmp_path / "m.log")
    log = RotatingLog(path, 4096)
    chunks = [bytes([65 + i % 26]) * 1000 for i in range(20)]
    for chunk in chunks:
        log.write(chunk)
    log.close()
    assert log.rotations > 1
    assert sorted(os.listdir(tmp_path)) == ["m.log", "m.log.1"]
    # each part begins with the line that marks it as the host's own log
    parts = [open(name, "rb").read().split(b"\n", 1) for name in (path + ".1", path)]
    assert all(first.startswith(b"[quorvane-host log]") for first, _ in parts)
    kept = b"".join(rest for _, rest in parts)
    assert b"".join(chunks).endswith(kept) and len(kept) > 4096


# ---------------------------------------------------------------------------
# Gate and observer


class Inner:
    def __init__(self):
        self.urls = []

    def connect(self, url):
        self.urls.append(url)
        return url


def test_gate_stops_after_wanted_accepted_orders():
    inner = Inner()
    gate = Gate(inner, max_orders=100)
    Observer(2, gate, Refusals(NOW))  # judges each order by its reply, as the gate hands it over
    filled = {"status": 200, "result": {"orderId": 1, "executedQty": "1", "cummulativeQuoteQty": "1"}}
    for reply in [{"status": 400, "error": {"code": 3005, "msg": "e"}}, filled, filled]:
        gate.connect("u")
        gate.ledger.replied(gate.current, json.dumps(reply))
        gate.replied(gate.current)
    with pytest.raises(StopOrdering, match="2 accepted orders"):
        gate.connect("u")
    assert len(inner.urls) == 3  # what counts as placed: tests/test_host_orders.py


def test_gate_stops_at_max_orders():
    inner = Inner()
    gate = Gate(inner, max_orders=2)
    gate.connect("u")
    gate.connect("u")
    with pytest.raises(StopOrdering, match="--max-orders 2"):
        gate.connect("u")
    assert inner.urls == ["u", "u"]
