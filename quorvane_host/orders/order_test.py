"""The start-up test order: what its reply says about the keys and the request.

Before the countdown the host sends the exact request the module will send,
as the exchange's test-order request (``order.test`` instead of
``order.place``, same ``params``), which the exchange validates (key,
signature, timestamp, parameters) without placing anything.  A wrong secret
then shows before the countdown, not at the opening with the listing lost.
Pure: the reply in, a verdict out.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from quorvane_host.orders.codes import BANNED_STATUS, RATE_LIMITED_STATUS, Code
from quorvane_host.orders.refusals import STOP, Refusals

__all__ = ["TEST_METHOD", "Verdict", "judge_test_order", "as_test_order"]

TEST_METHOD = "order.test"
# Refusals that say only that the listing has not begun: the key and the
# signature were taken, which is all the test is for.
_NOT_LISTED_YET = (Code.NOT_OPEN, Code.UNKNOWN_SYMBOL)


@dataclass(frozen=True)
class Verdict:
    """``stop``: the run cannot succeed (exit 2 before the countdown); ``said``: one line for a person."""

    stop: bool
    said: str


def as_test_order(request: dict, request_id: str) -> dict:
    """The module's order request as a test order: same parameters, another id and method."""
    return dict(request, id=request_id, method=TEST_METHOD)


def _error(reply: dict) -> dict:
    error = reply.get("error")
    return error if isinstance(error, dict) else {}


def judge_test_order(reply: Any, refusals: Refusals) -> Verdict:
    """What the exchange's answer to the test order means for the run."""
    if not isinstance(reply, dict):
        return Verdict(False, "the exchange's answer to the test order was unreadable; going on "
                              "(the first order will show whether the keys are right)")
    status, error = reply.get("status"), _error(reply)
    code = error.get("code") if isinstance(error.get("code"), int) else None
    msg = str(error.get("msg") or "")
    if status == 200 and "error" not in reply:
        return Verdict(False, "accepted: the API key, the signature and the order's parameters are good")
    if code == Code.UNKNOWN_METHOD:
        return Verdict(False, "this exchange has no test order; the first order will check the keys "
                              "(--no-order-test skips the test)")
    if code in _NOT_LISTED_YET:
        return Verdict(False, f"key and signature accepted; {refusals.reason(code)}, as expected "
                              "before a listing")
    if status == BANNED_STATUS:
        return Verdict(True, f"the exchange has banned this key or address for a while ({msg or 'status 418'}): "
                             "wait until the ban ends, then start again")
    if status == RATE_LIMITED_STATUS or code in (Code.TOO_MANY_ORDERS, Code.TOO_MANY_REQUESTS):
        return Verdict(False, f"the exchange is rate-limiting requests ({msg or 'status 429'}); "
                              "going on, the orders will be paced")
    rule = refusals.rule(code)
    if rule.action != STOP:
        return Verdict(False, f"refused ({msg or rule.reason}" + (f", code {code}" if code is not None else "")
                       + f"), which --refusal {code}={rule.action} lets the run go on with")
    said = f"the exchange refused the test order: {msg or rule.reason}" + (
        f" (code {code})" if code is not None else "")
    return Verdict(True, f"{said}. What to do: {rule.advice}. Nothing was ordered")
