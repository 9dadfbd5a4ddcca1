"""The ``quorvane-host`` command: options in, one run, the exit status out.

This is the one place where the product reaches the rehearsal tools: with
``--exchange loopback`` it imports :mod:`quorvane_rehearsal` (lazily, so that
a real run never loads it) to start a loopback exchange in a process of its
own.
"""

from __future__ import annotations

import os
import sys
from typing import List, Optional

from quorvane_host.cli.files import check_output_path
from quorvane_host.cli.options import Plan, UsageError, build_plan, parse_args
from quorvane_host.orders.exit_status import EXIT_INTERRUPTED, EXIT_USAGE
from quorvane_host.run.orchestrator import HostRun
from quorvane_host.run.prepare import LoopbackEndpoint
from quorvane_host.run.stopping import StopRequested

__all__ = ["main"]


def start_loopback(plan: Plan) -> LoopbackEndpoint:
    """A loopback exchange listing the plan's symbol, for a rehearsal with the plan's keys."""
    from quorvane_rehearsal.loopback import start_loopback as start

    return start(plan)


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    try:
        plan = build_plan(args, os.environ)
    except UsageError as exc:
        print(f"quorvane host: {exc}", file=sys.stderr)
        return EXIT_USAGE
    for option, path in (("--log", plan.log_path), ("--result", plan.result_path)):
        problem = check_output_path(path, option)  # before anything is sent
        if problem:
            print(f"quorvane host: {problem}", file=sys.stderr)
            return EXIT_USAGE
    try:
        return HostRun(plan, start_loopback).run()
    except StopRequested as stop:  # during set-up, before the trigger runs
        print(f"quorvane host: {stop.said} during set-up; nothing was sent", file=sys.stderr)
        return stop.exit_status
    except KeyboardInterrupt:  # before the handlers were in place
        print("quorvane host: interrupted (Ctrl-C) during set-up; nothing was sent", file=sys.stderr)
        return EXIT_INTERRUPTED
