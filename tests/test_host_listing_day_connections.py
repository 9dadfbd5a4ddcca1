"""The host against an exchange whose connections misbehave before the opening.

Each case runs the host end to end over the rehearsal network (the loopback
exchange and a 30 ms relay in a process of their own), with the exchange
behaving as real ones do on a listing day.  The assertions are on outcomes
(exit status, the pool's account, what the host said), never on timings.
"""

import json
import os
import subprocess
import sys
import time

import pytest

from openings import WARM_UP_LEADS_S, WARM_UP_MS, waited, with_leads
from quorvane_host.cli.progname import package_path_env
from quorvane_rehearsal.behaviour import Behaviour
from quorvane_rehearsal.exchange import Symbol
from quorvane_rehearsal.network import RehearsalNetwork

pytestmark = pytest.mark.python_side

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def module_env():
    env = package_path_env()
    done = subprocess.run([sys.executable, "-c", "import quorvane_3"], env=env, cwd=REPO,
                          capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        pytest.skip(f"quorvane_3 cannot be imported here: {done.stderr.strip()[-300:]}")
    env.update(QUORVANE_API_KEY="k", QUORVANE_SECRET_KEY="s")
    return env


def run_host(env, folder, behaviour, lead_s):
    """One host run with the opening ``lead_s`` from when the exchange is up; (process, result, report)."""
    folder.mkdir()
    result = folder / "result.json"
    with RehearsalNetwork({"k": "s"}, rtt_ms=30, jitter_ms=2, lifetime=120 + lead_s) as net:
        open_ms = int(time.time() * 1000 + lead_s * 1000)
        net.add_symbol(Symbol("QRVUSD", open_ms, step="0.001"))
        net.set_behaviour(**{k: (open_ms + v if k.endswith("_at_ms") else v) for k, v in behaviour.items()})
        done = subprocess.run(
            [sys.executable, "-m", "quorvane_host", "QRVUSD", "0.5", "--open-at", str(open_ms),
             "--connect", f"{net.host}:{net.port}", "--cafile", net.cafile, "--orders", "1",
             "--max-orders", "50", "--time-limit", "3", "--log", str(folder / "log"),
             "--result", str(result)],
            env=env, cwd=REPO, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120 + lead_s)
        report = net.report("QRVUSD")
    return done, json.loads(result.read_text()) if result.exists() else None, report


# Times are ms from the opening, by the exchange's clock.  The host warms
# its pool 5 s before the opening and takes its last look in the last
# 0.6 s or so; each case runs again with a longer lead until the host was
# counting down before its warm-up began.  ``pool`` checks the pool's
# account and ``lost``, its connections dropped for anything but an
# unanswered ping: on a busy machine a ping may go unanswered in time
# whatever the case, and that connection is replaced.
@pytest.mark.parametrize("behaviour, pool, said", [
    # every connection closed 1.5 s before: each replaced as soon as it closes
    (dict(close_at_ms=-1500), lambda p, lost: lost == 3 and p["cold"] == 0, "a waiting connection was lost"),
    # every connection silent from 1.5 s before: found by a ping, never handed out
    (dict(silence_at_ms=-1500), lambda p, lost: p["unanswered"] == 3, "did not answer a ping"),
    # a time reply held for 2 s in the last look: given up, the firing not delayed
    (dict(hold_time_reply_at_ms=-500), lambda p, lost: True, "was not back in time for the firing"),
    # a notice on every new connection: read and shown, not taken for a reply
    (dict(greet=True), lambda p, lost: lost == 0 and 3 <= p["pushed"] <= p["opened"],
     "the exchange sent a message on a waiting connection"),
], ids=["closed", "silent", "held time reply", "greeting"])
def test_warm_connections_on_a_listing_day(module_env, tmp_path, behaviour, pool, said):
    done, r, report = with_leads(lambda lead_s: run_host(module_env, tmp_path / f"lead-{lead_s}", behaviour, lead_s),
                                 lambda run: waited(run[0].stdout, WARM_UP_MS), WARM_UP_LEADS_S)
    assert done.returncode == 0, done.stdout + done.stderr
    assert said in done.stdout
    assert report["accepted"] >= 1
    p = r["pool"]
    assert pool(p, p["dropped"] - p["unanswered"]), p
    # No order went out over a connection that could not carry it.
    assert report["requests"] == r["placed"]
