"""The host against an exchange that behaves as real ones do on a listing day.

Each case runs the host in a child process against the loopback exchange behind a relay with a
30 ms round trip, with the exchange's listing-day behaviour switched on, and asserts outcomes:
the exit status, what the exchange saw, the report's lines. Each opening is set once the
exchange is up, a few seconds ahead; a case that needs the host to be waiting for the opening
before it comes (its first order arriving before a late listing opens, say) runs again with
a longer lead when the machine was too busy for that, so no case depends on the machine's speed.
"""

import time

import pytest

from quorvane_host.orders.codes import Code
from quorvane_rehearsal.behaviour import Behaviour
from quorvane_rehearsal.exchange import Fault, Symbol
from quorvane_rehearsal.network import RehearsalNetwork
from openings import waited, with_leads
from test_host_run import host, read_json, standin_env  # noqa: F401 - fixture

pytestmark = pytest.mark.python_side

ACCOUNTS = {"test-key": "test-secret"}


def run_once(env, tmp_path, behaviour, *args, listed="QRVUSD", asked="QRVUSD", fault=Fault.NONE,
             lead_s=4.0):
    """One host run over the relay; returns (process, result document or None, exchange records, real opening)."""
    tmp_path.mkdir(parents=True, exist_ok=True)
    result = tmp_path / "result.json"
    with RehearsalNetwork(ACCOUNTS, rtt_ms=30, jitter_ms=2, lifetime=120 + lead_s, behaviour=behaviour, fault=fault) as net:
        # Listed once the exchange is up: its start-up takes none of the lead.
        open_ms = int(time.time() * 1000 + lead_s * 1000)
        net.add_symbol(Symbol(listed, open_ms))
        done = host(env, asked, "0.5", "--open-at", str(open_ms), "--connect", f"127.0.0.1:{net.port}",
                    "--cafile", net.cafile, "--log", str(tmp_path / "log"), "--result", str(result),
                    *args, timeout=120 + lead_s)
        records = [r for r in net.records() if r.outcome != "test"]
    return done, read_json(result) if result.exists() else None, records, behaviour.real_open_ms(open_ms)


def waited_for_the_opening(run):
    """Whether the host's first order started before the opening (else it started too late)."""
    done, r, records, real_open = run
    left = r and r.get("time_left_at_first_order_ms")
    return left is not None and left >= 0


def ordered_before_the_real_opening(run):
    done, r, records, real_open = run
    return waited_for_the_opening(run) and bool(records) and records[0].arrival_ms < real_open


def run_host(env, tmp_path, behaviour, *args, ready=waited_for_the_opening, **kwargs):
    """``run_once`` until a run where ``ready`` holds, each with a longer lead than the last."""
    return with_leads(lambda lead_s: run_once(env, tmp_path / f"lead-{lead_s}", behaviour, *args, lead_s=lead_s,
                                              **kwargs), ready)


def orders_placed(records):
    return [r for r in records if r.code != Code.UNKNOWN_METHOD]


@pytest.mark.parametrize("late_ms, announce", [
    (300, True),  # within what used to be a fixed grace of a few seconds
    (1500, True),
    (1500, False),  # the exchange does not say when: found by the paced retries alone
    (6000, True),
])
def test_late_listing_is_bought_within_the_exchanges_order_limit(standin_env, tmp_path, late_ms, announce):
    behaviour = Behaviour(late_ms=late_ms, announce_late=announce, order_limit=10)
    done, r, records, real_open = run_host(standin_env, tmp_path, behaviour, ready=ordered_before_the_real_opening)
    out = done.stdout + done.stderr
    assert done.returncode == 0, out
    accepted = [rec for rec in records if rec.accepted]
    assert len(accepted) == 1 and accepted[0].arrival_ms >= real_open, out
    # paced within the stated limit: no rate-limit refusal beyond the first
    assert sum(rec.code == Code.TOO_MANY_ORDERS for rec in records) <= 1, out
    assert r["bought_orders"] == 1 and r["late_opening"]["opened"], out
    assert "the listing opened late" in done.stdout


def test_listing_that_never_opens_ends_at_the_time_limit(standin_env, tmp_path):
    behaviour = Behaviour(late_ms=600_000, order_limit=10)
    done, r, records, _ = run_host(standin_env, tmp_path, behaviour, "--time-limit", "3")
    out = done.stdout + done.stderr
    assert done.returncode == 1, out
    assert "time limit of 3 s" in done.stdout and "did not open within the time limit" in done.stdout
    assert 0 < len(records) <= 100 and not any(rec.accepted for rec in records), out
    assert r["late_opening"] == dict(r["late_opening"], opened=False)


def test_paced_retries_without_stated_limits(standin_env, tmp_path):
    # Nothing said about limits or the opening: retries at --max-order-rate.
    behaviour = Behaviour(late_ms=600_000, announce_late=False)
    done, r, records, _ = run_host(standin_env, tmp_path, behaviour, "--time-limit", "2",
                                   "--max-order-rate", "4")
    assert done.returncode == 1, done.stdout + done.stderr
    assert 2 <= len(records) <= 4 * 2 + 2, done.stdout  # a tight loop would place hundreds
    # paced as they started, by the host's clock: a busy machine only spreads them further (their
    # arrivals, after the relay and a busy machine, may come closer together)
    starts = [o["started_ms"] for o in r["orders"] if o["started_ms"] is not None]
    assert min(b - a for a, b in zip(starts, starts[1:])) >= 250 - 0.1, starts


def test_expired_first_order_is_not_bought(standin_env, tmp_path):
    done, r, records, _ = run_host(standin_env, tmp_path, Behaviour(expire_first=1))
    out = done.stdout + done.stderr
    assert done.returncode == 0, out
    assert [o["verdict"] for o in r["orders"]] == ["accepted, nothing filled", "bought"], out
    assert (r["accepted"], r["bought_orders"], r["accepted_unfilled"]) == (2, 1, 1)
    assert "accepted but nothing filled (EXPIRED)" in done.stdout
    assert isinstance(r["orders"][1]["reply"], dict) and r["orders"][1]["filled"]["quantity"] == "0.5"


def test_expired_orders_until_the_stop_rule_are_not_a_success(standin_env, tmp_path):
    done, r, records, _ = run_host(standin_env, tmp_path, Behaviour(expire_first=1000), "--max-orders", "3")
    assert done.returncode == 1, done.stdout + done.stderr
    assert len(records) == 3 and r["bought_orders"] == 0 and r["accepted"] == 3
    assert "wanted 1 accepted order, got 0 (an order that filled nothing does not count)" in done.stdout


def test_pushed_message_is_never_taken_for_the_reply(standin_env, tmp_path):
    done, r, records, _ = run_host(standin_env, tmp_path, Behaviour(greet=True), "--pool", "0")
    assert done.returncode == 0, done.stdout + done.stderr
    assert r["bought_orders"] == 1 and r["skipped_messages"] >= 1
    assert "the exchange also sent 1 message of its own" in done.stdout  # at start-up: not the clock's reply


def test_mistyped_symbol_stops_after_a_few_orders(standin_env, tmp_path):
    done, r, records, _ = run_host(standin_env, tmp_path, Behaviour(), "--max-orders", "1000",
                                   asked="QRVUSX")
    out = done.stdout + done.stderr
    assert done.returncode == 1, out
    assert "unknown symbol: check the symbol" in done.stdout and "what to do: check the symbol" in done.stdout
    assert 1 <= len(records) <= 6 and all(rec.code == Code.UNKNOWN_SYMBOL for rec in records), out


def test_reply_that_is_not_json_leaves_the_outcome_unknown(standin_env, tmp_path):
    done, r, records, _ = run_host(standin_env, tmp_path, Behaviour(), "--no-order-test",
                                   fault=Fault.GARBAGE)
    assert done.returncode == 3, done.stdout + done.stderr
    assert "check the account" in done.stdout and r["outcome_unknown"] == 1


def test_the_demo_rehearses_a_listing_day(standin_env, tmp_path):
    import subprocess
    import sys

    def demo(delay):
        return subprocess.run([sys.executable, "-m", "quorvane_rehearsal.demo", "--delay", str(delay), "--orders", "1",
                               "--late-ms", "300", "--expire-first", "1", "--order-limit", "10", "--display",
                               "plain"], env=dict(standin_env, TMPDIR=str(tmp_path)), capture_output=True, text=True,
                              timeout=120 + delay)

    # the first order refused before the real opening: the host was counting down before it
    done = with_leads(demo, lambda done: waited(done.stdout))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "accepted but nothing filled (EXPIRED)" in done.stdout
    assert "the listing opened 300 ms late" in done.stdout and "MISMATCH" not in done.stdout
