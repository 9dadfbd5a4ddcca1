"""dist/'s wheel in a new Python 3.9 environment, installed from local wheels
with nothing built (`make test` makes dist/ and build/wheels first)."""

import hashlib
import hmac
import json
import os
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from openings import started, with_leads

ROOT = Path(__file__).resolve().parent.parent
GUARD_S = 600  # against a hung child only; nothing here depends on speed

pytestmark = pytest.mark.python_side


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    wheels = sorted(ROOT.glob("dist/quorvane_3-*-cp39-cp39-manylinux_*.whl"))
    if not wheels or not (ROOT / "build/wheels").is_dir():
        pytest.skip("no wheel in dist/ or build/wheels: `make test` builds them")
    root = tmp_path_factory.mktemp("fresh")
    # Nothing of this checkout or of the caller: no PYTHONPATH, no pip config.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_", "VIRTUAL_ENV"))}
    # pip and the commands keep their temporary files in a folder of the test's
    env.update(PATH=f"{root}/bin:{env['PATH']}", PIP_CONFIG_FILE=os.devnull,
               TMPDIR=str(tmp_path_factory.mktemp("tmp")))

    def run(*argv, **kw):
        out = subprocess.run(argv, capture_output=True, text=True, env=env, cwd=root, timeout=GUARD_S, **kw)
        assert out.returncode == 0, out.stdout + out.stderr
        return out.stdout
    run(sys.executable, "-m", "venv", str(root))
    run("python", "-m", "pip", "install", "--no-index", "--only-binary", ":all:",
        "--find-links", str(ROOT / "build/wheels"), str(wheels[-1]))
    return root, env, run


def test_signatures(venv):
    root, _, run = venv
    pairs = [[q, k] for q in ("", "symbol=QRVUSD&quantity=0.1", "é" * 100) for k in ("", "s", "k" * 65)]
    out = run("python", "-c", "import json, sys, quorvane_3 as q; print(q.__file__); print(json.dumps("
              "[q.sign_request(*p) for p in json.load(sys.stdin)]))", input=json.dumps(pairs))
    where, signatures = out.splitlines()
    assert where.startswith(str(root)) and json.loads(signatures) == [
        hmac.new(k.encode(), q.encode(), hashlib.sha256).hexdigest() for q, k in pairs]


def test_loopback_order(venv):
    root, env, run = venv
    exchange = subprocess.Popen(["quorvane-exchange", "--symbol", "QRVUSD:now", "--account", "k:s",
                                 "--recv-window", "600000", "--records", "records.json"],
                                stdout=subprocess.PIPE, text=True, env=env, cwd=root)
    guard = threading.Timer(GUARD_S, exchange.kill)
    guard.start()
    try:
        ready = json.loads(exchange.stdout.readline() or "{}")  # where to connect, once it listens
        port, cafile = ready["port"], ready["cafile"]
        out = run("python", "-c", "import asyncio, quorvane_3 as q; from quorvane_host.net.connector import "
                  f"Connector; q.websockets = Connector('127.0.0.1', {port}, cafile={cafile!r}); "
                  "asyncio.run(q.buy_market_order('k', 's', 'QRVUSD', 0.25))")
    finally:
        exchange.send_signal(signal.SIGINT)
        exchange.communicate()
        guard.cancel()
    assert out.startswith("Buy order placed successfully: ") and exchange.returncode == 0
    assert [(r["outcome"], r["quantity"]) for r in json.loads((root / "records.json").read_text())] == [
        ("accepted", "0.25")]


@pytest.mark.parametrize("command", ["quorvane-host", "quorvane-exchange", "quorvane-demo", "quorvane-relay",
                                     "python -m quorvane_host", "python -m quorvane_rehearsal.exchange",
                                     "python -m quorvane_rehearsal.demo", "python -m quorvane_rehearsal.relay"])
def test_help(venv, command):
    assert re.search(r"^usage: ", venv[2](*command.split(), "--help"), re.M)  # the host's: after its description


def test_types(venv):
    """mypy sees the installed stubs and py.typed: tests/typecheck/usage.py
    passes a strict check, misuse.py draws exactly the errors it marks."""
    root, env, _ = venv
    files = sorted(ROOT.glob("tests/typecheck/*.py"))
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--warn-unreachable", "--python-executable",
                          f"{root}/bin/python", "--cache-dir", f"{root}/.mypy", *map(str, files)],
                         capture_output=True, text=True, env=env, cwd=root, timeout=GUARD_S).stdout
    found = {(Path(f).name, int(n), c) for f, n, c in re.findall(r"^(.+):(\d+): error: .*\[([\w-]+)\]$", out, re.M)}
    wanted = {(f.name, n, c) for f in files for n, line in enumerate(f.read_text().splitlines(), 1)
              for c in re.findall(r"# rejected: ([\w-]+)", line)}
    assert wanted and found == wanted, out


def test_demo(venv):
    # The whole host flow from the installed package: exchange, host child, console child; again
    # with a longer delay when the opening passed while the host started (a busy machine).
    root, env, _ = venv
    done = with_leads(lambda delay: subprocess.run(
        ["quorvane-demo", "--delay", str(delay), "--orders", "1", "--time-limit", "300", "--display", "plain",
         "--log", f"{root}/demo-{delay}.log"], capture_output=True, text=True, env=env, cwd=root, timeout=GUARD_S),
        lambda done: started(done.stderr))
    assert done.returncode == 0, done.stdout + done.stderr
