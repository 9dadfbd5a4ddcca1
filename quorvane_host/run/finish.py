"""The last phase: the exit status, the ``--result`` JSON, then the report on the terminal.

The exit status is settled first (:mod:`quorvane_host.orders.exit_status`):
from here on the orders are what they are, and nothing below may change it,
not even a report or a file that cannot be written.  ``--result`` is
written before the report is shown: a terminal that has gone away (a pipe
closed by ``head``, a dropped session) or a second stop request during the
report must not cost the record of what was bought.
"""

from __future__ import annotations

from typing import Callable, Optional

from quorvane_host.cli.progname import program_name
from quorvane_host.orders.exit_status import bought_orders, exit_status, unknown_outcomes
from quorvane_host.run.report import result_document, say_report
from quorvane_host.run.result_file import write_result
from quorvane_host.run.state import RunState

__all__ = ["finish"]

HOST = "quorvane_host"


def _bare_result(state: RunState, code: int, stop_said: Optional[str], why: str) -> dict:
    """What ``--result`` holds when the full report could not be made: the money, counted by the gate."""
    gate = state.gate
    return {
        "exit_code": code,
        "symbol": state.plan.symbol.upper(),
        "open_ms": state.plan.open_ms,
        "interrupted": stop_said,
        "placed": gate.placed,
        "bought_orders": bought_orders(gate.orders),
        "outcome_unknown": unknown_outcomes(gate.orders),
        "orders": [o.to_dict() for o in gate.orders],
        "report_error": why,
    }


def _reason(state: RunState, stop_said: Optional[str]) -> Optional[str]:
    """Why the run ended, in the report's words: the stop request, the stop rule, or the trigger's end."""
    if stop_said:
        return stop_said
    if state.gate.stop_reason:
        return f"stopped after {state.gate.stop_reason}"
    if state.error:
        return f"the trigger ended with {state.error}"
    return None


def finish(state: RunState, started: float, stop_status: Optional[int], stop_said: Optional[str],
           say: Callable[[str], None]) -> int:
    plan, gate = state.plan, state.gate
    code = exit_status(plan.orders, bought_orders(gate.orders), unknown_outcomes(gate.orders), stop_status)
    me = program_name(HOST)
    failed: Optional[str] = None
    if plan.result_path:
        try:
            result = result_document(state, started, code, stop_said)
        except Exception as exc:
            failed = f"{type(exc).__name__}: {exc}"
            result = _bare_result(state, code, stop_said, failed)
        result.update(reason=_reason(state, stop_said), dry_run=False)
        notes = write_result(plan.result_path, result, code)
    else:
        notes = []
    try:
        say_report(state, code, stop_said, say)
    except Exception as exc:
        failed = failed or f"{type(exc).__name__}: {exc}"
    if failed:
        say(f"{me}: could not make the whole report ({failed}); the orders stand as counted "
            f"(exit status {code})")
    for line in notes:
        say(line)
    return code
