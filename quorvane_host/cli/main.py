"""The ``quorvane-host`` command: options in, one run, the exit status out.

This is the one place where the product reaches the rehearsal tools: with
``--exchange loopback`` it imports :mod:`quorvane_rehearsal` (lazily, so that
a real run never loads it) to start a loopback exchange in a process of its
own.

Before the run it takes the lock that keeps a second host off the same
account and symbol (:mod:`quorvane_host.cli.lock`), and lets it go at the end.
"""

from __future__ import annotations

import os
from typing import Any, List, Optional

from quorvane_host.cli.files import STDOUT_NAME, check_output_path, is_standard_output, resolve_output_path
from quorvane_host.cli.lock import AccountBusy, AccountLock, lock_folder, lock_path
from quorvane_host.cli.progname import error_line, program_name, say_on_stderr
from quorvane_host.cli.options import build_plan
from quorvane_host.cli.parser import parse_args, result_path_in
from quorvane_host.cli.plan import Plan, UsageError
from quorvane_host.orders.exit_status import EXIT_INTERRUPTED, EXIT_USAGE
from quorvane_host.run.orchestrator import HostRun
from quorvane_host.run.prepare import LoopbackEndpoint
from quorvane_host.run.result_file import early_result, write_early_result
from quorvane_host.run.stopping import StopRequested

__all__ = ["main"]

HOST = "quorvane_host"


def start_loopback(plan: Plan) -> LoopbackEndpoint:
    """A loopback exchange listing the plan's symbol, for a rehearsal with the plan's keys."""
    from quorvane_rehearsal.loopback import start_loopback as start

    return start(plan)


def output_paths_problem(plan: Plan) -> Optional[str]:
    """What keeps ``--log`` or ``--result`` from being written as new files; None if nothing does.

    A ``--result`` that names standard output (``-``, ``/dev/stdout``) is
    taken as ``-`` from here on: the JSON goes there, the report to stderr.
    """
    if plan.result_path is not None and is_standard_output(plan.result_path):
        plan.result_path = STDOUT_NAME
    problem = (check_output_path(plan.log_path, "--log", log=True, append=plan.log_append)
               or (None if plan.result_path == STDOUT_NAME else check_output_path(plan.result_path, "--result")))
    if problem or not plan.log_path or plan.result_path is None or plan.result_path == STDOUT_NAME:
        return problem
    try:
        same = resolve_output_path(plan.log_path) == resolve_output_path(plan.result_path)
    except OSError:
        same = False
    if same and not os.path.exists(plan.log_path):  # a device such as /dev/null may take both
        return f"--log and --result name the same file ({plan.result_path}); give each its own"
    return None


def account_lock(plan: Plan) -> Optional[AccountLock]:
    """The lock that keeps a second host off the plan's account and symbol; none for a rehearsal."""
    if plan.endpoint == "loopback":
        return None
    endpoint = f"{plan.connect_host}:{plan.connect_port}".lower() if plan.endpoint == "connect" else "module"
    return AccountLock(lock_path(lock_folder(os.environ), plan.api_key, endpoint, plan.symbol)).take()


def _refused(path: Optional[str], reason: str, plan: Optional[Plan] = None, args: Any = None) -> int:
    """Exit 2 before anything is sent: the reason on stderr, and in ``--result`` for a script."""
    _leave_result(path, early_result(EXIT_USAGE, reason, plan=plan, args=args))
    say_on_stderr(error_line(HOST, reason))
    return EXIT_USAGE


def _leave_result(path: Optional[str], document: dict) -> None:
    for line in write_early_result(path, document):
        say_on_stderr(line)


def _stopped_in_setup(plan: Plan, status: int, said: str) -> int:
    reason = f"{said} during set-up; nothing was sent"
    _leave_result(plan.result_path, early_result(status, reason, plan=plan))
    say_on_stderr(f"{program_name(HOST)}: {reason}")
    return status


def main(argv: Optional[List[str]] = None) -> int:
    # A command line that cannot be read still leaves its --result, when that names a file.
    args = parse_args(argv, on_error=lambda said, words: _leave_result(
        result_path_in(words), early_result(EXIT_USAGE, said)))
    try:
        plan = build_plan(args, os.environ)
    except UsageError as exc:
        return _refused(args.result, str(exc), args=args)
    problem = output_paths_problem(plan)  # before anything is sent
    if problem:
        return _refused(plan.result_path, problem, plan=plan)
    try:
        lock = account_lock(plan)
    except AccountBusy as busy:
        return _refused(plan.result_path, str(busy), plan=plan)
    try:
        return HostRun(plan, start_loopback).run()
    except StopRequested as stop:  # during set-up, before the trigger runs
        return _stopped_in_setup(plan, stop.exit_status, stop.said)
    except KeyboardInterrupt:  # before the handlers were in place
        return _stopped_in_setup(plan, EXIT_INTERRUPTED, "interrupted (Ctrl-C)")
    finally:
        if lock is not None:
            lock.release()
