"""dist/'s wheel installed into a new Python 3.9 environment with nothing
built: the module signs and places an order from there, the commands start,
and the type information reaches a type checker.

`make test` builds the wheel (make dist) and downloads the dependencies'
wheels into build/wheels first; this file builds nothing."""

import hashlib
import hmac
import json
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.parse
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DEPENDENCY_WHEELS = ROOT / "build" / "wheels"
KEY, SECRET = "wheel-key", "wheel-secret"
# Guards against a hung child only; nothing here depends on speed.
HANG_GUARD_S = 600

pytestmark = pytest.mark.skipif(
    os.environ.get("QUORVANE_SANITIZED") == "1",
    reason="the wheel is tested once, in the run against the installed module",
)


class Fresh:
    def __init__(self, root: Path) -> None:
        self.root = root
        self.bin = root / "venv" / "bin"
        self.python = str(self.bin / "python")
        # Nothing of this checkout or of the calling environment: no
        # PYTHONPATH (make test points it at the test builds), no pip config.
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("PYTHON", "PIP_")) and k != "VIRTUAL_ENV"}
        self.env.update(PATH=f"{self.bin}{os.pathsep}{os.environ.get('PATH', '')}",
                        PIP_CONFIG_FILE=os.devnull)

    def run(self, *argv, **kwargs):
        kwargs.setdefault("timeout", HANG_GUARD_S)
        return subprocess.run(argv, capture_output=True, text=True, env=self.env,
                              cwd=self.root, **kwargs)


@pytest.fixture(scope="module")
def fresh(tmp_path_factory):
    wheels = sorted((ROOT / "dist").glob("quorvane_3-*-cp39-cp39-manylinux_*.whl"))
    if not wheels or not DEPENDENCY_WHEELS.is_dir():
        pytest.skip("no manylinux wheel in dist/ or no dependency wheels in build/wheels: "
                    "`make test` builds and downloads them")
    env = Fresh(tmp_path_factory.mktemp("fresh"))
    made = env.run(sys.executable, "-m", "venv", str(env.root / "venv"))
    assert made.returncode == 0, made.stderr
    # Wheels only, from the two local folders: a build step would fail here.
    installed = env.run(env.python, "-m", "pip", "install", "--no-index", "--only-binary", ":all:",
                        "--find-links", str(DEPENDENCY_WHEELS), str(wheels[-1]))
    assert installed.returncode == 0, installed.stdout + installed.stderr
    return env


SIGN = """
import json, sys, quorvane_3
print(quorvane_3.__file__)
print(json.dumps([quorvane_3.sign_request(q, k) for q, k in json.load(sys.stdin)]))
"""


def test_signatures_from_the_installed_module(fresh):
    # Keys beyond the 64-byte block are hashed first: another path through
    # the statically linked SHA-256.
    pairs = [[q, k] for q in ("", "symbol=QRVUSD&side=BUY&quantity=0.1", "é" * 100)
             for k in ("", "secret", "k" * 64, "k" * 65, "ключ" * 40)]
    out = fresh.run(fresh.python, "-c", SIGN, input=json.dumps(pairs))
    assert out.returncode == 0, out.stderr
    where, signatures = out.stdout.splitlines()
    assert where.startswith(str(fresh.root / "venv"))
    assert json.loads(signatures) == [
        hmac.new(k.encode(), q.encode(), hashlib.sha256).hexdigest() for q, k in pairs]


ORDER = """
import asyncio, sys, quorvane_3
from quorvane_host.connector import Connector
quorvane_3.websockets = Connector("127.0.0.1", int(sys.argv[1]), cafile=sys.argv[2])
asyncio.run(quorvane_3.buy_market_order(sys.argv[3], sys.argv[4], "QRVUSD", 0.25))
"""


def _address(exchange):
    """The exchange's port and CA file, from the lines it prints at start."""
    port = cafile = None
    for line in exchange.stdout:
        url = re.search(r"wss://127\.0\.0\.1:(\d+)/", line)
        port = port or (url and int(url.group(1)))
        pem = re.search(r"(/\S+\.pem)\b", line) if "CA" in line else None
        cafile = cafile or (pem and pem.group(1))
        if port and cafile:
            return port, cafile
    raise AssertionError("the exchange ended without printing its address")


def test_loopback_order_through_the_installed_commands(fresh):
    records = fresh.root / "records.json"
    exchange = subprocess.Popen(
        [str(fresh.bin / "quorvane-exchange"), "--symbol", "QRVUSD:now",
         "--account", f"{KEY}:{SECRET}", "--recv-window", "600000", "--records", str(records)],
        stdout=subprocess.PIPE, text=True, env=fresh.env, cwd=fresh.root)
    guard = threading.Timer(HANG_GUARD_S, exchange.kill)
    guard.start()
    try:
        port, cafile = _address(exchange)
        order = fresh.run(fresh.python, "-c", ORDER, str(port), cafile, KEY, SECRET)
    finally:
        exchange.send_signal(signal.SIGINT)
        exchange.communicate()
        guard.cancel()
    assert order.returncode == 0, order.stderr
    assert order.stdout.startswith("Buy order placed successfully: "), order.stdout
    assert exchange.returncode == 0
    assert [(r["outcome"], r["quantity"]) for r in json.loads(records.read_text())] == [
        ("accepted", "0.25")]


@pytest.mark.parametrize("command", [
    ["quorvane-host"], ["quorvane-exchange"], ["quorvane-demo"],
    ["python", "-m", "quorvane_host"], ["python", "-m", "quorvane_host.exchange"],
    ["python", "-m", "quorvane_host.demo"],
])
def test_commands_answer_help(fresh, command):
    out = fresh.run(str(fresh.bin / command[0]), *command[1:], "--help")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("usage:")


def test_type_information_reaches_a_type_checker(fresh):
    """mypy sees the installed stubs and py.typed: tests/typecheck/usage.py
    passes a strict check, and misuse.py draws exactly the errors it marks."""
    files = sorted((HERE / "typecheck").glob("*.py"))
    out = fresh.run(sys.executable, "-m", "mypy", "--strict", "--warn-unreachable",
                    "--no-error-summary", "--python-executable", fresh.python,
                    "--cache-dir", str(fresh.root / "mypy-cache"), *map(str, files))
    found = {(Path(f).name, int(n), code) for f, n, code in
             re.findall(r"^(.+?):(\d+): error: .*\[([\w-]+)\]$", out.stdout, re.M)}
    wanted = {(f.name, n, code) for f in files
              for n, line in enumerate(f.read_text().splitlines(), 1)
              for code in re.findall(r"# rejected: ([\w-]+)", line)}
    assert wanted and found == wanted, out.stdout + out.stderr
