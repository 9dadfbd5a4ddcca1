"""The host's input checks, key files, line reading, console and gate."""

import io
import os

import pytest

from quorvane_host.console import HOST_MARK, Console, RotatingLog
from quorvane_host.host import Gate, Observer, StopOrdering
from quorvane_host.keys import CredentialsError, read_key_file
from quorvane_host.lines import parse_latency, parse_outcome, parse_time_left
from quorvane_host.plan import UsageError, build_plan, parse_args, quantity_text
from quorvane_host.times import TimeError, format_ms, parse_opening_time

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
    (["--open-at", str(NOW - 1)], "in the past"),
    (["--open-at", str(NOW)], "in the past"),
    (["--open-at", str(NOW // 1000 + 60)], "looks like seconds"),
    (["--open-at", str(NOW + 24 * 3600 * 1000 + 1)], "more than a day ahead"),
    (["--open-at", "2027-01-15T08:01:00"], "no zone"),
    (["--open-at", "tomorrow"], "cannot read the opening time"),
    (["--open-at", "+5s"], "cannot read the opening time"),
])
def test_bad_opening_times(argv, message):
    with pytest.raises(UsageError, match=message):
        plan("QRVUSD", "1", *argv)


def test_a_day_ahead_is_allowed():
    assert plan("QRVUSD", "1", "--open-at", str(NOW + 24 * 3600 * 1000)).open_ms


@pytest.mark.parametrize("quantity, message", [
    ("abc", "not a number"),
    ("", "not a number"),
    ("0", "positive"),
    ("-2", "positive"),
    ("nan", "positive"),
    ("inf", "positive"),
    ("1e300", "too large"),
    ("0.00001", "as 1e-05"),
    ("20000000000000000", r"as 2e\+16"),
    ("0.12345678901234567891", "as 0.12345678901234568"),
])
def test_bad_quantities(quantity, message):
    with pytest.raises(UsageError, match=message):
        plan("QRVUSD", quantity, "--open-at", str(NOW + 1000))


@pytest.mark.parametrize("quantity, value", [
    ("0.5", 0.5), ("3", 3.0), ("0.1", 0.1), ("12.34", 12.34), ("0.0001", 0.0001), ("1E-3", 0.001)])
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
    (["QRVUSD", "1", "--orders", "3", "--max-orders", "2"], "--max-orders"),
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
    ({"QUORVANE_API_KEY": "k"}, "no secret key"),
    ({"QUORVANE_SECRET_KEY": "s"}, "no API key in the environment"),
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
# Reading the module's lines


@pytest.mark.parametrize("line, accepted, code, order_id", [
    ("Buy order placed successfully: {'id': 'a', 'status': 200, 'result': {'orderId': 7}}", True, None, 7),
    ("Buy order placed successfully: {'id': 'a', 'result': None}", True, None, None),
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
    assert "a note\n" in text and "order 2: accepted, order id 1 (6 ms)" in text
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
    assert text.startswith("\r\x1b[K  opens in 3.000 s\r\x1b[K  opens in 2.800 s\r")
    assert 13 <= text.count("opens in") <= 15  # 29 passes in 1.45 s


def test_rotating_log_keeps_two_parts(tmp_path):
    path = str(tmp_path / "m.log")
    log = RotatingLog(path, 4096)
    chunks = [bytes([65 + i % 26]) * 1000 for i in range(20)]
    for chunk in chunks:
        log.write(chunk)
    log.close()
    assert log.rotations > 1
    assert sorted(os.listdir(tmp_path)) == ["m.log", "m.log.1"]
    kept = open(path + ".1", "rb").read() + open(path, "rb").read()
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
    observer = Observer(2, gate)
    for line in ["Failed to place buy order: {'code': 3005, 'msg': 'e'}",
                 "Buy order placed successfully: {}", "Buy order placed successfully: {}"]:
        gate.connect("u")
        observer.line(line)
    with pytest.raises(StopOrdering, match="2 accepted orders"):
        gate.connect("u")
    assert gate.placed == 3 and len(inner.urls) == 3


def test_gate_stops_at_max_orders():
    inner = Inner()
    gate = Gate(inner, max_orders=2)
    gate.connect("u")
    gate.connect("u")
    with pytest.raises(StopOrdering, match="--max-orders 2"):
        gate.connect("u")
    assert inner.urls == ["u", "u"]
