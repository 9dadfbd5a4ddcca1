"""The command line as a new user meets it: one rule for every number, numbers echoed as typed,
the help's order, a bare command, and --result left by a run that sent nothing."""

import json
import os
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest

from quorvane_host.cli.options import build_plan, parse_args
from quorvane_host.cli.parser import build_parser, result_path_in
from quorvane_host.cli.progname import package_path_env

pytestmark = pytest.mark.python_side

REPO = Path(__file__).resolve().parent.parent
NOW = 1_800_000_000_000
ENV = {"QUORVANE_API_KEY": "k", "QUORVANE_SECRET_KEY": "s"}
NUMBER_OPTIONS = ["--orders", "--max-orders", "--time-limit", "--max-price", "--max-spend", "--grace",
                  "--max-order-rate", "--aim", "--pool", "--max-new-connections", "--log-max-mb"]


@pytest.mark.parametrize("option", NUMBER_OPTIONS)
@pytest.mark.parametrize("typed, said", [
    ("1e3", "is not a plain number"),
    ("inf", "is not a plain number"),
    ("nan", "is not a plain number"),
    ("1_0", "is not a plain number"),
    ("0x10", "is not a plain number"),
    ("\u0661", "has characters other than plain ASCII digits"),
])
def test_every_number_is_read_by_one_rule(capsys, option, typed, said):
    with pytest.raises(SystemExit) as stop:
        parse_args(["QRVUSD", "1", "--open-at", "+1m", option, typed])
    assert stop.value.code == 2 and f"argument {option}: {typed!r} {said}" in capsys.readouterr().err


@pytest.mark.parametrize("argv, field, shown", [
    (["--max-price", "0.00000001"], "max_price", "0.00000001"),
    (["--max-price", "1000"], "max_price", "1000"),
    (["--max-spend", ".5"], "max_spend", "0.5"),
    (["--time-limit", "1000000"], "time_limit", "1000000"),
    (["--max-order-rate", "2.50"], "max_order_rate", "2.50"),
])
def test_numbers_are_echoed_as_typed_never_in_exponent_form(argv, field, shown):
    value = getattr(build_plan(parse_args(["QRVUSD", "1", "--open-at", str(NOW + 1000), *argv]), ENV, NOW), field)
    assert (str(value), f"{value}", f"{value:g}") == (shown, shown, shown)
    assert Decimal(str(value)) == Decimal(shown) and json.loads(json.dumps({"v": str(value)}))["v"] == shown


@pytest.mark.parametrize("argv, priority", [([], "auto"), (["--priority", "normal"], "normal")])
def test_priority_is_kept_in_the_plan(argv, priority):
    assert build_plan(parse_args(["QRVUSD", "1", "--open-at", str(NOW + 1000), *argv]), ENV, NOW).priority == priority


@pytest.mark.parametrize("argv, path", [
    (["--result", "r.json"], "r.json"),
    (["--result=r.json"], "r.json"),
    (["--resu", "r.json"], "r.json"),
    (["--", "--result", "r.json"], None),
    (["--result"], None),
    (["--re", "r.json"], None),  # --refusal too: argparse would not take it either
])
def test_result_path_of_a_command_line_that_cannot_be_read(argv, path):
    assert result_path_in(["QRVUSD", "--bogus", *argv]) == path


def test_help_reads_description_usage_everyday_then_expert_options():
    text = build_parser().format_help()
    order = [text.index(part) for part in (
        "Buy SYMBOL", "usage:", "required arguments:", "\n  --open-at TIME", "stop rule:", "--result FILE",
        "-V, --version", "expert options:", "--aim MS", "--priority {auto,normal}", "exit status:", "examples:")]
    assert order == sorted(order)
    usage = text.split("usage:", 1)[1].split("\n\n", 1)[0]
    assert len(usage.splitlines()) == 1 and "[options]" in usage
    everyday = text.split("expert options:", 1)[0]
    for expert in ("--aim", "--no-compensation", "--pool", "--refusal", "--loopback-step", "--grace"):
        assert expert not in everyday.split("usage:", 1)[1], expert
    statuses = [line.split()[0] for line in text.split("exit status:\n", 1)[1].splitlines()
                if line[2:3].isdigit()]
    assert statuses == ["0", "1", "2", "3", "130"]


def _host(*args, cwd):
    return subprocess.run([sys.executable, "-m", "quorvane_host", *args], capture_output=True, text=True,
                          cwd=cwd, env=dict(package_path_env(), **ENV), timeout=120)


def test_a_bare_command_prints_the_usage_and_V_the_version(tmp_path):
    bare = _host(cwd=tmp_path)
    assert bare.returncode == 2 and bare.stderr.startswith("usage: python -m quorvane_host SYMBOL QUANTITY")
    assert bare.stderr.count("\n") == 2 and ": error: give the symbol, the quantity and --open-at" in bare.stderr
    assert _host("-V", cwd=tmp_path).stdout == _host("--version", cwd=tmp_path).stdout != ""


@pytest.mark.parametrize("args, code, reason", [
    (["QRVUSD", "1", "--open-at", "+90"], 2, "has no unit"),
    (["QRVUSD", "1", "--open-at", "+1m", "--bogus"], 2, "unrecognized arguments: --bogus"),
    (["QRVUSD", "1", "--open-at", "+1m", "--log", "taken"], 2, "already exists"),
    (["QRVUSD", "1", "--open-at", "+1m", "--exchange", "loopback", "--dry-run"], 0, "dry run: every check passed"),
])
def test_a_run_that_sends_nothing_still_leaves_its_result(tmp_path, args, code, reason):
    (tmp_path / "taken").write_text("mine\n")
    done = _host(*args, "--result", "r.json", cwd=tmp_path)
    assert done.returncode == code, done.stderr
    document = json.loads((tmp_path / "r.json").read_text())
    assert document["exit_code"] == code and reason in document["reason"]
    assert (document["placed"], document["bought_orders"], document["outcome_unknown"], document["orders"]) == (
        0, 0, 0, [])
    assert document["dry_run"] is ("--dry-run" in args)
    assert (tmp_path / "taken").read_text() == "mine\n"


def test_a_result_that_is_itself_the_problem_is_not_written(tmp_path):
    (tmp_path / "r.json").write_text("mine\n")
    done = _host("QRVUSD", "1", "--open-at", "+1m", "--result", "r.json", cwd=tmp_path)
    assert done.returncode == 2 and "already exists" in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["r.json"] and (tmp_path / "r.json").read_text() == "mine\n"


@pytest.mark.parametrize("setting, loop_module", [(None, "uvloop"), ("asyncio", "asyncio.unix_events")])
def test_the_command_runs_on_uvloop_unless_told_to_keep_asyncios_own(setting, loop_module):
    env = package_path_env()
    env.pop("QUORVANE_EVENT_LOOP", None)
    if setting is not None:
        env["QUORVANE_EVENT_LOOP"] = setting
    code = ("import asyncio; from quorvane_host.cli.interrupts import quiet_interrupts; quiet_interrupts(); "
            "loop = asyncio.new_event_loop(); print(type(loop).__module__); loop.close()")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == loop_module, done.stderr
