"""The host's channel and pool over the oldest websockets pyproject.toml allows, installed
offline from the wheel `make test` downloads into build/oldest-websockets."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
WHEELS = ROOT / "build/oldest-websockets"
GUARD_S = 600  # against a hung child only; nothing here depends on speed

pytestmark = pytest.mark.skipif(os.environ.get("QUORVANE_SANITIZED") == "1",
                                reason="pure Python: tested once, outside the sanitizer run")

EXCHANGE = r'''
import asyncio, json, websockets
from quorvane_host.net.connector import Connector
from quorvane_rehearsal.behaviour import Behaviour
from quorvane_rehearsal.exchange import LoopbackExchange, Symbol

URL = "wss://exchange.invalid:443/ws-api/v3"
print(websockets.__version__)
with LoopbackExchange({"k": "s"}, [Symbol("QRVUSD", 0)], behaviour=Behaviour(greet=True)) as ex:
    async def go():
        c = ex.connector()
        async with c.connect(URL) as ws:
            ws.expect("t")
            await ws.send(json.dumps({"id": "t", "method": "time"}))
            print(json.loads(await ws.reply("t", 30))["status"])
            ws.release("t")
        pool = c.start_pool(URL, 1)
        await pool.fill()
        for _ in range(2):
            lease = c.connect(URL)
            async with lease as ws:
                await ws.send(json.dumps({"id": "p", "method": "ping"}))
                print(json.loads(await ws.recv())["id"])
                lease.reusable = True
        await pool.aclose()
        print(pool.opened, pool.reused, pool.pushed)
    asyncio.run(go())
'''


def oldest_allowed():
    text = (ROOT / "pyproject.toml").read_text()
    return re.search(r'"websockets>=([0-9.]+)', text).group(1)


def test_the_oldest_websockets_allowed_carries_the_hosts_connections(tmp_path):
    version = oldest_allowed()
    if not list(WHEELS.glob(f"websockets-{version}*.whl")):
        pytest.skip(f"no websockets {version} wheel in {WHEELS}: `make test` downloads it")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
    env.update(PIP_CONFIG_FILE=os.devnull, TMPDIR=str(tmp_path))  # pip's temporary files: the test's
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps",
                    "--find-links", str(WHEELS), "--target", str(target), f"websockets=={version}"],
                   check=True, env=env, timeout=GUARD_S)
    env["PYTHONPATH"] = f"{target}{os.pathsep}{ROOT}"
    done = subprocess.run([sys.executable, "-c", EXCHANGE], capture_output=True, text=True, env=env,
                          cwd=tmp_path, timeout=GUARD_S)
    assert done.returncode == 0, done.stdout + done.stderr
    # The version asked for (13 is 13.0); the time reply; two orders' replies on one warm
    # connection, given back twice; the greeting pushed.
    first, *rest = done.stdout.split("\n")
    assert re.fullmatch(re.escape(version) + r"(\.0)*", first), first
    assert rest == ["200", "p", "p", "1 2 1", ""]
