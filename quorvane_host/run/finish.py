"""The last phase: the exit status, the report on the terminal and the ``--result`` JSON.

The exit status is settled first (:mod:`quorvane_host.orders.exit_status`):
from here on the orders are what they are, and nothing below may change it,
not even a report or a file that cannot be written.
"""

from __future__ import annotations

import json
from typing import Callable, Optional

from quorvane_host.cli.files import write_private
from quorvane_host.orders.exit_status import bought_orders, exit_status, unknown_outcomes
from quorvane_host.run.report import summarise
from quorvane_host.run.state import RunState

__all__ = ["finish"]


def finish(state: RunState, started: float, stop_status: Optional[int], stop_said: Optional[str],
           say: Callable[[str], None]) -> int:
    plan, gate = state.plan, state.gate
    code = exit_status(plan.orders, bought_orders(gate.orders), unknown_outcomes(gate.orders), stop_status)
    try:
        result = summarise(state, started, code, stop_said, say)
    except Exception as exc:
        say(f"quorvane host: could not make the report ({type(exc).__name__}: {exc}); "
            f"the orders stand as counted above (exit status {code})")
        return code
    if plan.result_path:
        try:
            write_private(plan.result_path, json.dumps(result, indent=1).encode())
        except (OSError, ValueError, TypeError) as exc:
            say(f"quorvane host: could not write {plan.result_path} ({exc}); the orders stand "
                f"as reported above (exit status {code})")
    return code
