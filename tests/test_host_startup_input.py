"""What the host takes as input and says while it starts: one rule per input, the first lines,
the help, --version, --dry-run, and a listener that never answers."""

import argparse
import asyncio
import json
import os
import platform
import re
import shlex
import socket
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

from quorvane_host.cli.keys import Keys, load_keys
from quorvane_host.cli.options import UsageError, build_parser, build_plan, parse_args
from quorvane_host.cli.progname import version
from quorvane_host.net.connector import Connector
from quorvane_host.net.endpoint import EndpointError, open_checked
from quorvane_host.run.orchestrator import start_lines
from quorvane_host.run.prepare import Prepared, StartupCheck
from quorvane_rehearsal.exchange import LoopbackExchange, Symbol

pytestmark = pytest.mark.python_side

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NOW = 1_800_000_000_000  # 2027-01-15T08:00:00Z
ENV = {"QUORVANE_API_KEY": "api-key-value", "QUORVANE_SECRET_KEY": "secret-value"}


def plan(*argv, env=ENV):
    return build_plan(parse_args(list(argv)), env, now_ms=NOW)


# ---------------------------------------------------------------------------
# The opening time


@pytest.mark.parametrize("text, ms", [
    ("2027-01-15T08:01:00+0000", NOW + 60_000),
    ("2027-01-15T09:01:00+0100", NOW + 60_000),
    ("2027-01-15T02:31:00-0530", NOW + 60_000),
    ("2027-01-15 09:01:00 +0100", NOW + 60_000),  # date '+%F %T %z'
    ("+20s", NOW + 20_000),
    ("+5m", NOW + 300_000),
    ("+1.5s", NOW + 1500),
    ("+250ms", NOW + 250),
])
def test_opening_time_as_date_writes_it_and_from_now(text, ms):
    assert plan("QRVUSD", "1", "--open-at", text).open_ms == ms


@pytest.mark.parametrize("text, message", [
    ("2027-01-15T08:01:00+2400", "cannot read the opening time"),
    ("2027-01-15T08:01:00+01", "cannot read the opening time"),
    ("+5d", "cannot read the opening time"),
    ("+0s", "in the past"),
    ("+25h", "more than a day ahead"),
])
def test_opening_times_still_refused(text, message):
    with pytest.raises(UsageError, match=message):
        plan("QRVUSD", "1", "--open-at", text)


# ---------------------------------------------------------------------------
# Numbers: ASCII digits only, the quantity as the opening time


@pytest.mark.parametrize("quantity, message", [
    ("\u0661", "other than plain ASCII digits"),  # ARABIC-INDIC DIGIT ONE
    ("\uff11", "other than plain ASCII digits"),  # FULLWIDTH DIGIT ONE
    ("0.\u0665", "other than plain ASCII digits"),
    ("1_000", "not a plain number"),
    ("0.000_5", "not a plain number"),
    ("1 000", "not a plain number"),
])
def test_quantity_in_ascii_digits_only(quantity, message):
    with pytest.raises(UsageError, match=message):
        plan("QRVUSD", quantity, "--open-at", str(NOW + 1000))


@pytest.mark.parametrize("option, text", [
    ("--orders", "\u0662"), ("--max-orders", "1_000"), ("--pool", "\uff13"),
    ("--time-limit", "1_0"), ("--grace", "\u0665"), ("--aim", "nan"), ("--time-limit", "inf"),
    ("--orders", "1.5"),
])
def test_number_options_in_ascii_digits_only(capsys, option, text):
    with pytest.raises(SystemExit) as caught:
        parse_args(["QRVUSD", "1", "--open-at", "+1m", option, text])
    assert caught.value.code == 2
    assert f"error: argument {option}: '{text}' " in capsys.readouterr().err


@pytest.mark.parametrize("quantity, step, refused", [
    ("0.0005", "0.001", True), ("1.0015", "0.001", True), ("0.002", "0.001", False),
    ("0.001", "0.001", False), ("3", "0.5", False), ("0.75", "0.5", True),
])
def test_quantity_on_the_loopback_step(quantity, step, refused):
    argv = ["QRVUSD", quantity, "--open-at", str(NOW + 1000), "--exchange", "loopback", "--loopback-step", step]
    if refused:
        with pytest.raises(UsageError, match=f"not a multiple of the loopback exchange's step {step}"):
            plan(*argv)
    else:
        assert plan(*argv).quantity_text == quantity


# ---------------------------------------------------------------------------
# The keys: said empty when empty, and where they came from (never what they are)


@pytest.mark.parametrize("env, file_text, message", [
    ({"QUORVANE_API_KEY": "k", "QUORVANE_SECRET_KEY": ""}, None,
     r"the secret key in the environment \(QUORVANE_SECRET_KEY\) is empty"),
    ({"QUORVANE_API_KEY": "", "QUORVANE_SECRET_KEY": "s"}, None,
     r"the API key in the environment \(QUORVANE_API_KEY\) is empty"),
    ({"QUORVANE_API_KEY": ""}, None, "API key .* is empty"),
    ({"QUORVANE_SECRET_KEY": ""}, None, "no API key in the environment"),
    ({}, "api_key = k\nsecret_key =\n", r"the secret key in key file .* \(secret_key\) is empty"),
    ({}, "api_key = ''\nsecret_key = s\n", r"the API key in key file .* \(api_key\) is empty"),
])
def test_empty_keys_are_said_to_be_empty(tmp_path, env, file_text, message):
    argv = ["QRVUSD", "1", "--open-at", str(NOW + 1000)]
    if file_text is not None:
        (tmp_path / "keys").write_text(file_text)
        os.chmod(tmp_path / "keys", 0o600)
        argv += ["--key-file", str(tmp_path / "keys")]
    with pytest.raises(UsageError, match=message):
        plan(*argv, env=env)


def test_where_the_keys_came_from(tmp_path, monkeypatch):
    (tmp_path / "keys").write_text("api_key = file-key\nsecret_key = file-secret\n")
    os.chmod(tmp_path / "keys", 0o600)
    monkeypatch.chdir(tmp_path)
    from_file = load_keys("keys", ENV)
    assert from_file == Keys("file-key", "file-secret", f"the key file {tmp_path / 'keys'}")
    assert load_keys(None, ENV).source == "the environment (QUORVANE_API_KEY, QUORVANE_SECRET_KEY)"
    assert "file-secret" not in repr(from_file) and "file-key" not in repr(from_file)


# ---------------------------------------------------------------------------
# The first lines


CLOCK = SimpleNamespace(describe=lambda: "the exchange's clock is 1.0 ms ahead", rtt_min_ms=1.0,
                        rtt_median_ms=2.0)
MODULE_URL = "wss://ws-api.exchange.invalid:443/ws-api/v3"


def _first_lines(*argv, sent="1.0", where="somewhere", said="accepted"):
    p = plan("QRVUSD", *argv, "--open-at", str(NOW + 60_000))
    prepared = Prepared(None, MODULE_URL, sent, None, where, print, StartupCheck(CLOCK, 0.012, said))
    return p, start_lines(p, prepared, CLOCK, 60_000)


@pytest.mark.parametrize("argv, sent, first", [
    (["1"], "1.0", "buy 1 QRVUSD when"),
    (["2.50"], "2.5", "buy 2.50 QRVUSD when"),
    (["0.00001", "--allow-inexact-quantity"], "1e-05", "buy 0.00001 (sent as 1e-05) QRVUSD when"),
    (["1", "--dry-run"], "1.0", "dry run: would buy 1 QRVUSD when"),
])
def test_first_line_says_the_quantity_as_typed(argv, sent, first):
    _, lines = _first_lines(*argv, sent=sent)
    assert first in lines[0]
    assert lines[0].endswith("in 1 min")


@pytest.mark.parametrize("argv, url_said", [
    ([], True),
    (["--connect", "127.0.0.1:9443"], False),
    (["--exchange", "loopback"], False),
])
def test_module_url_only_when_the_orders_go_there(argv, url_said):
    _, lines = _first_lines("1", *argv)
    endpoint = [line for line in lines if line.startswith("  endpoint: ")]
    assert len(endpoint) == 1
    assert (MODULE_URL in endpoint[0]) is url_said
    assert endpoint[0].endswith("connected in 12 ms")
    assert sum(MODULE_URL in line for line in lines) == url_said


def test_first_lines_say_where_the_keys_came_from_and_never_the_keys():
    p, lines = _first_lines("1")
    assert lines[1] == "  keys: from the environment (QUORVANE_API_KEY, QUORVANE_SECRET_KEY)"
    text = "\n".join(lines)
    assert p.api_key not in text and p.secret not in text
    assert all(line.startswith("  ") for line in lines[1:])  # continuation lines indented alike


@pytest.mark.parametrize("argv, said", [
    (["--orders", "1", "--max-orders", "1"], "after 1 bought order, 10 s after the opening, or after 1 order in all"),
    (["--orders", "2", "--max-orders", "3"], "after 2 bought orders, 10 s after the opening, or after 3 orders in all"),
])
def test_stop_rule_in_right_plurals(argv, said):
    _, lines = _first_lines("1", *argv)
    assert any(said in line for line in lines), lines


# ---------------------------------------------------------------------------
# Help and --version


def _options():
    return [a for a in build_parser()._actions if a.option_strings and a.help != argparse.SUPPRESS]


def test_every_option_has_a_help_line():
    missing = [a.option_strings[0] for a in _options() if not (a.help or "").strip()]
    assert missing == []


def test_help_shows_the_required_option_as_required_and_ends_with_examples(capsys):
    with pytest.raises(SystemExit) as caught:
        parse_args(["--help"])
    assert caught.value.code == 0
    text = capsys.readouterr().out
    required = text.split("required arguments:\n", 1)[1].split("\n\n", 1)[0]
    assert "\n  --open-at TIME" in required
    examples = text.rsplit("examples:\n", 1)[1].splitlines()
    prog = build_parser().prog
    assert sum(line.strip().startswith(prog + " ") for line in examples) >= 2
    assert "python -m quorvane_rehearsal" not in text  # the installed command's name instead
    # every example parses, its $(date ...) run as the shell would
    for line in examples:
        if line.strip().startswith(prog + " ") and not line.rstrip().endswith("\\"):
            line = re.sub(r'"\$\((date [^)]*)\)"', lambda m: shlex.quote(
                subprocess.run(["bash", "-c", m.group(1)], capture_output=True, text=True).stdout.strip()), line)
            words = shlex.split(line.strip()[len(prog):].split("#")[0])
            assert parse_args(words).symbol == "QRVUSD"


def test_version(capsys):
    with pytest.raises(SystemExit) as caught:
        parse_args(["--version"])
    assert caught.value.code == 0
    first, endpoint, python = capsys.readouterr().out.splitlines()
    assert first == f"{build_parser().prog} {version()}"
    assert endpoint.startswith("  exchange host built in: ws-api.exchange.invalid (wss://ws-api.exchange.invalid:443/")
    assert "a placeholder" in endpoint
    assert python == f"  Python {platform.python_version()} ({sys.executable})"


# ---------------------------------------------------------------------------
# A listener that never answers: the host says what it waits for


async def _silent_listener():
    accepted = []

    async def hold(reader, writer):
        accepted.append(reader)

    server = await asyncio.start_server(hold, "127.0.0.1", 0)
    return server, accepted


def test_open_checked_says_it_waits_and_leaves_nothing_open():
    waits = []

    async def go():
        server, accepted = await _silent_listener()
        port = server.sockets[0].getsockname()[1]
        try:
            with pytest.raises(EndpointError, match=f"no answer from 127.0.0.1:{port} in time"):
                await open_checked(Connector("127.0.0.1", port), "wss://x/ws-api/v3", f"127.0.0.1:{port}",
                                   timeout=3.0, note_every=0.1, on_wait=waits.append)
            # the attempt ended with the check: nothing of it left running, and
            # the listener sees the connection close
            assert [t for t in asyncio.all_tasks() if t is not asyncio.current_task()] == []
            assert accepted
            try:
                await asyncio.wait_for(accepted[0].read(), 30)  # to the end of the stream, or a timeout
            except ConnectionResetError:
                pass
            else:
                assert accepted[0].at_eof()
        finally:
            server.close()

    asyncio.run(go())
    assert waits and waits == sorted(waits) and all(0 < w < 3.0 for w in waits)


def _host(*args, env_extra=None, timeout=120):
    env = {**os.environ, **ENV, **(env_extra or {})}
    return subprocess.run([sys.executable, "-m", "quorvane_host", *args], env=env, cwd=REPO,
                          capture_output=True, text=True, timeout=timeout)


def test_host_says_which_endpoint_it_checks_while_nothing_answers(tmp_path):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)  # accepted by the kernel, never a word of TLS
        port = listener.getsockname()[1]
        done = _host("QRVUSD", "1", "--open-at", "+10m", "--connect", f"127.0.0.1:{port}",
                     "--log", str(tmp_path / "log"))
    assert done.returncode == 2, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"python -m quorvane_host: checking the endpoint 127.0.0.1:{port} ..."
    assert f"  still waiting for 127.0.0.1:{port} to answer" in done.stdout
    assert done.stderr == (f"python -m quorvane_host: error: no answer from 127.0.0.1:{port} in time: "
                           "check the address, the port and the network\n")


# ---------------------------------------------------------------------------
# --dry-run: every check, a summary, exit 0, no order


def test_dry_run_sends_no_order(tmp_path):
    keys = {"QUORVANE_API_KEY": "dry-key", "QUORVANE_SECRET_KEY": "dry-secret"}
    # Opening soon enough that a run which went on to count down would order within the test's
    # time, and far enough that no start-up on a busy machine takes it.
    open_ms = int(time.time() * 1000) + 30_000
    log, result = tmp_path / "module.log", tmp_path / "result.json"
    with LoopbackExchange({"dry-key": "dry-secret"}, [Symbol("QRVUSD", open_ms)], lifetime=120) as ex:
        done = _host("QRVUSD", "1", "--open-at", str(open_ms), "--connect", f"127.0.0.1:{ex.port}",
                     "--cafile", ex.cafile, "--dry-run", "--log", str(log), "--result", str(result),
                     env_extra=keys)
        records, tested = ex.records(), ex.test_orders
        port, cafile = ex.port, ex.cafile
    assert done.returncode == 0, done.stdout + done.stderr
    assert records == [] and tested == 1  # the test order checked the keys; nothing was placed
    out = done.stdout
    assert "dry run: would buy 1 QRVUSD when trading opens at" in out
    for said in ("  keys: from the environment (QUORVANE_API_KEY, QUORVANE_SECRET_KEY)",
                 f"  endpoint: 127.0.0.1:{port} (trusting {cafile})", "  clock: ",
                 "  test order: accepted", "  stop rule: after 1 bought order",
                 "  dry run: every check passed and no order was sent"):
        assert said in out, out
    assert ".invalid" not in out and "dry-secret" not in out
    assert not log.exists()  # no console started
    document = json.loads(result.read_text())  # a script finds the outcome as for any run
    assert (document["exit_code"], document["dry_run"], document["placed"]) == (0, True, 0)
    assert "Traceback" not in done.stderr
