"""Openings a few seconds ahead, for the tests that run a host until it orders.

A host started on a busy machine (other builds, the sanitizer run beside this one) may take
seconds to start, and an opening fixed before it started may come before the host waits for it:
the opening is then refused as in the past, or the host orders at once, and the run shows nothing
of what its case is about.  Such a case runs again with a longer lead (:func:`with_leads`), judged
by what the host said (:func:`waited`, :func:`started`), never by the test's own clock; a quiet
machine runs it once, with the shortest lead.
"""

import re
import time

import pytest

from quorvane_host.run.approach import PREPARE_S

LEADS_S = (4, 8, 16, 32)
# The host opens its warm connections this long before the opening: a case about them needs a
# host that was counting down before then.
WARM_UP_MS = PREPARE_S * 1000
WARM_UP_LEADS_S = (7, 14, 28, 56)

_COUNTDOWN = re.compile(r"^\s*opens in (\d+)\.(\d{3}) s", re.M)


def waited_ms(out):
    """How long before the opening the host began its countdown (ms), by the first countdown
    line in ``out``; None when it showed none (it was not ready before the opening)."""
    first = _COUNTDOWN.search(out)
    return None if first is None else int(first.group(1)) * 1000 + int(first.group(2))


def waited(out, at_least_ms=0):
    """Whether the host was counting down at least ``at_least_ms`` before the opening."""
    left = waited_ms(out)
    return left is not None and left >= at_least_ms


def started(err):
    """Whether the host took the opening (it refuses one that passed while it started)."""
    return "is in the past" not in err


def with_leads(run, ready, leads=LEADS_S):
    """``run(lead_s)`` with each lead in turn until ``ready(outcome)``; returns that outcome.

    The test fails when the host was never ready in time, showing the last run's output (the
    ``stdout`` and ``stderr`` of the outcome, its first item or its ``done``).
    """
    for lead_s in leads:
        outcome = run(lead_s)
        if ready(outcome):
            return outcome
    shown = outcome[0] if isinstance(outcome, tuple) else getattr(outcome, "done", outcome)
    said = "".join(text for text in (getattr(shown, "stdout", None), getattr(shown, "stderr", None))
                   if isinstance(text, str))
    pytest.fail(f"the host was never ready in time, with up to {lead_s} s before the opening:\n{said}")


def signal_once_counting(proc, log, signum, *, at_s=None, timeout=60):
    """Send ``signum`` to the host ``proc`` once its log shows its countdown (at ``at_s``, the epoch's
    seconds, if that is later); (whether it was still counting then, its stdout, its stderr).

    A host that ends before is not signalled; one that outlives ``timeout`` afterwards is killed.
    """
    try:
        while proc.poll() is None and (not log.exists() or "left " not in log.read_text()):
            time.sleep(0.05)
        counting = proc.poll() is None  # else it never waited: the opening passed while it started
        if at_s is not None:
            time.sleep(max(0.0, at_s - time.time()))
        if proc.poll() is None:
            proc.send_signal(signum)
        out, err = proc.communicate(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return counting, out, err
