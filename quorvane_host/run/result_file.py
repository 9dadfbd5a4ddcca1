"""Writing ``--result``, and the document of a run that ended before any order could be sent.

A script reads ``--result`` to learn what happened, so the file is there
however the run ends: a full run's document (:mod:`quorvane_host.run.report`),
or, for a dry run, bad input, a busy account or a failed start-up, a short
one with the same keys for the money (nothing placed, nothing bought), the
exit status and the reason in words.  The file is always a new one; when
``--result`` itself is what is wrong with the command line, nothing is
written.
"""

from __future__ import annotations

import json
from typing import Any, List, Optional

from quorvane_host.cli.files import STDOUT_NAME, check_output_path, is_standard_output, resolve_output_path, \
    write_all, write_new
from quorvane_host.cli.progname import program_name

__all__ = ["early_result", "write_early_result", "write_result"]

HOST = "quorvane_host"


def write_result(path: str, result: dict, code: int) -> List[str]:
    """Write ``--result`` as a new file, or to standard output (``-``); the lines to say about it
    (none when all went well)."""
    try:
        data = json.dumps(result, indent=1, default=str).encode()
        if path == STDOUT_NAME:
            write_all(1, data + b"\n")
            return []
        wanted = resolve_output_path(path)
        written = write_new(path, data, or_beside=True)
    except (OSError, ValueError, TypeError) as exc:
        why = getattr(exc, "strerror", None) or str(exc)
        where = "the result to standard output" if path == STDOUT_NAME else path
        return [f"{program_name(HOST)}: could not write {where} ({why}); the orders stand as reported "
                f"above (exit status {code})"]
    if written != wanted:
        return [f"{program_name(HOST)}: {path} was taken while the host ran (it is left as it was); "
                f"the result went to {written}"]
    return []


def early_result(code: int, reason: str, *, plan: Any = None, args: Any = None, dry_run: bool = False,
                 clock: Any = None) -> dict:
    """The document of a run that sent no order: what was asked (as far as it was read), the
    exit status, the reason, and the money's keys at nothing."""
    source = plan if plan is not None else args
    symbol = getattr(source, "symbol", None)
    quantity = plan.quantity_text if plan is not None else getattr(args, "quantity", None)
    return {
        "exit_code": code,
        "reason": reason,
        "dry_run": dry_run,
        "symbol": symbol.strip().upper() if isinstance(symbol, str) else None,
        "quantity": quantity.strip() if isinstance(quantity, str) else None,
        "open_ms": plan.open_ms if plan is not None else None,
        "wanted_orders": plan.orders if plan is not None else getattr(args, "orders", None),
        "placed": 0,
        "bought_orders": 0,
        "outcome_unknown": 0,
        "bought": None,
        "orders": [],
        "clock_at_start": clock.to_dict() if clock is not None else None,
    }


def write_early_result(path: Optional[str], document: dict) -> List[str]:
    """``document`` to ``--result``, unless there is none or ``path`` itself is what cannot be written."""
    if path is None:
        return []
    if is_standard_output(path):
        path = STDOUT_NAME
    elif check_output_path(path, "--result") is not None:
        return []  # the error already says what is wrong with it
    return write_result(path, document, document["exit_code"])
