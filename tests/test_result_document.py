"""The --result document and the report's words: the keys docs/result.md lists, JSON values,
each reply once, times to 0.1 ms, what was asked for; a run against the loopback exchange."""

import json
import re
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest

from quorvane_host.cli.progname import package_path_env
from quorvane_host.run.report import json_ready

pytestmark = pytest.mark.python_side

REPO = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("value, ready", [
    ({"sent_ms": 1796658543599.3943}, {"sent_ms": 1796658543599.4}),
    ({"taken_at_ms": [12.34, 5.0]}, {"taken_at_ms": [12.3, 5.0]}),  # a list takes its key's rule
    ({"seconds": 4.794452667}, {"seconds": 4.7945}),
    ({"seconds_since_first_time_left": 0.0107977}, {"seconds_since_first_time_left": 0.0108}),
    ({"after_ms": float("nan"), "by_ms": float("inf")}, {"after_ms": None, "by_ms": None}),
    ({"ratio": 0.123456}, {"ratio": 0.123456}),  # not a time: as it is
    ({"quantity": Decimal("0.10")}, {"quantity": "0.10"}),  # text, never repr
    ({1: (1.25,)}, {"1": [1.25]}),
])
def test_values_are_plain_json_with_times_to_a_tenth_of_a_ms(value, ready):
    got = json_ready(value)
    assert got == ready
    json.dumps(got, allow_nan=False)


def _documented(section: str, table_after: str) -> set:
    """The backticked names in the first column of the table that follows ``table_after``."""
    text = (REPO / "docs" / "result.md").read_text()
    part = text.split(section, 1)[1].split(table_after, 1)[1]
    keys = set()
    for line in part.splitlines()[1:]:
        if not line.startswith("|"):
            if keys:
                break
            continue
        keys.update(re.findall(r"`([a-z_]+)`", line.split("|")[1]))
    return keys


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One rehearsal that buys once: the document and what the terminal got."""
    folder = tmp_path_factory.mktemp("result")
    result = folder / "result.json"
    env = dict(package_path_env(), QUORVANE_API_KEY="k", QUORVANE_SECRET_KEY="s")
    # Counted from the host's start: never in the past, however slowly it starts; the run buys all
    # the same if its start-up takes the whole lead.
    done = subprocess.run([sys.executable, "-m", "quorvane_host", "qrvusd", "0.10", "--open-at", "+4s",
                           "--exchange", "loopback", "--display", "plain", "--result", str(result)],
                          env=env, cwd=folder, capture_output=True, text=True, timeout=120)
    if not result.exists():
        pytest.fail(f"no --result (exit {done.returncode}): {done.stdout[-2000:]} {done.stderr[-2000:]}")
    return done, result.read_text()


def test_the_document_has_the_keys_its_description_lists(run):
    _, text = run
    doc = json.loads(text)
    assert set(doc) == _documented("# The result document", "| key | what it holds |")
    order_keys = _documented("Each object in `orders`", "| key | what it holds |")
    assert doc["orders"] and all(set(o) == order_keys for o in doc["orders"])


def test_the_document_holds_what_was_asked_for_and_each_reply_once(run):
    done, text = run
    doc = json.loads(text)
    assert done.returncode == doc["exit_code"] == 0
    assert (doc["symbol"], doc["quantity"]) == ("QRVUSD", "0.10")
    for order in doc["orders"]:
        assert isinstance(order["reply"], dict) and order["reply"]["id"] == order["request_id"]
        # the request's id: once for the request, once inside its reply, nowhere else
        assert text.count(order["request_id"]) == 2
    assert "{'" not in text and "': " not in text  # no Python text of a dict anywhere
    assert all(round(o["sent_ms"], 1) == o["sent_ms"] for o in doc["orders"])


def test_the_report_counts_in_words_that_agree(run):
    done, _ = run
    report = done.stdout.split("\n\n")[-1]
    assert "rejected" not in done.stdout and " refused" in report
    assert not re.search(r"\b1 (orders|requests|lines|connections)\b", report), report


@pytest.mark.parametrize("fills, cost, price", [
    ([("0.01", "10"), ("0.01", "10")], "20", "1000"),  # plain text, never 1E+3
    ([("0.02", None)], None, None),  # no price stated: not known, never 0
    ([("0.01", "10"), ("0.01", None)], None, None),  # a sum that leaves a fill out is no cost
])
def test_what_was_bought_in_all_never_makes_up_a_price(fills, cost, price):
    from types import SimpleNamespace

    from quorvane_host.run.report import _bought

    orders = [SimpleNamespace(verdict=SimpleNamespace(bought=True, quantity=Decimal(q),
                                                      cost=None if c is None else Decimal(c))) for q, c in fills]
    assert _bought(SimpleNamespace(orders=orders)) == {
        "quantity": str(sum(Decimal(q) for q, _ in fills)), "cost": cost, "price": price}
