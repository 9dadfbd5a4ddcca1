"""The host's scheduling class at the firing: real-time from just before it until the first order has left.

On a busy machine a process of the ordinary class gets its share of a
processor, not the processor: the host that wakes from its blocking sleep
just before the module fires, and the module that polls and then signs and
sends the first order, wait behind whatever else runs.  For that stretch
alone the host asks the kernel for the real-time class ``SCHED_FIFO`` (at
its lowest priority, 1: above every process of the ordinary class, below
the system's own real-time threads), where the system allows it (root,
``CAP_SYS_NICE``, or an ``RLIMIT_RTPRIO`` limit above zero), and otherwise
for the lowest nice value that ``RLIMIT_NICE`` allows.

It goes back to its own class as soon as the first order's bytes have left
(the module's loop polls between orders: a polling loop at real-time
priority would starve the exchange's side of the machine), on every way
out (an error, Ctrl-C), and in any case after ``limit_s`` (200 ms), from a
thread of its own, so that a first order that stalls never leaves a
spinning thread at real-time priority.

Only the thread that runs the module changes class (Linux keeps the class
and the nice value per thread).  The system calls come through
:class:`SystemCalls`, which a test replaces.
"""

from __future__ import annotations

import os
import resource
import sys
import threading
from typing import Any, Optional, Tuple

__all__ = ["FIFO_PRIORITY", "LIMIT_S", "FiringPriority", "SystemCalls"]

FIFO_PRIORITY = 1
LIMIT_S = 0.2
CAP_SYS_NICE = 23  # its bit in the capability sets of /proc/self/status

FIFO, NICE, NORMAL, OFF = "fifo", "nice", "normal", "off"


class SystemCalls:
    """The kernel's side, per thread (``tid``: a native thread id)."""

    def get_class(self, tid: int) -> Tuple[int, int]:
        return os.sched_getscheduler(tid), os.sched_getparam(tid).sched_priority

    def set_class(self, tid: int, policy: int, priority: int) -> None:
        os.sched_setscheduler(tid, policy, os.sched_param(priority))

    def get_nice(self, tid: int) -> int:
        return os.getpriority(os.PRIO_PROCESS, tid)

    def set_nice(self, tid: int, nice: int) -> None:
        os.setpriority(os.PRIO_PROCESS, tid, nice)

    def limits(self, which: int) -> Tuple[int, int]:
        return resource.getrlimit(which)

    def privileged(self) -> bool:
        """Root, or CAP_SYS_NICE in the effective set."""
        if os.geteuid() == 0:
            return True
        try:
            with open("/proc/self/status") as fh:
                for line in fh:
                    if line.startswith("CapEff:"):
                        return bool(int(line.split()[1], 16) >> CAP_SYS_NICE & 1)
        except (OSError, ValueError, IndexError):
            pass
        return False

    def thread_id(self) -> int:
        return threading.get_native_id()


def _nice_floor(calls: SystemCalls) -> int:
    """The lowest nice value this thread may take."""
    if calls.privileged():
        return -20
    soft = calls.limits(resource.RLIMIT_NICE)[0]
    if soft == resource.RLIM_INFINITY:
        return -20
    return max(-20, 20 - soft)


def how_to_allow(calls: SystemCalls, python: str = sys.executable) -> str:
    """The one line that would let the host take the real-time class next time."""
    hard = calls.limits(resource.RLIMIT_RTPRIO)[1]
    if hard == resource.RLIM_INFINITY or hard > 0:
        return f"`ulimit -r {FIFO_PRIORITY}` in the shell that starts the host"
    return f"`sudo setcap cap_sys_nice+ep {os.path.realpath(python)}` (or an rtprio limit in limits.conf)"


class FiringPriority:
    """Raise the thread that runs the module for the firing, and lower it again; see the module docstring.

    ``mode``: ``auto`` (what the system allows) or ``normal`` (nothing).
    :meth:`probe` finds out what is allowed, by asking and going back at
    once, and says so; :meth:`raise_` takes it, :meth:`lower` gives it back
    (any number of times, from any thread).
    """

    def __init__(self, mode: str = "auto", calls: Optional[SystemCalls] = None, limit_s: float = LIMIT_S) -> None:
        self.mode = mode
        self.calls = calls if calls is not None else SystemCalls()
        self.limit_s = limit_s
        self.plan = OFF if mode == "normal" else None  # what raise_ takes: FIFO, NICE, NORMAL, OFF
        self.nice = 0  # the nice value NICE takes
        self.got: Optional[str] = None  # what the last raise_ took
        self.capped = False  # lowered by the time limit, not by the first order
        self._tid = 0
        self._saved: Optional[Tuple[int, int, int]] = None  # policy, priority, nice
        self._lock = threading.Lock()
        self._done = threading.Event()
        self._cap: Optional[threading.Thread] = None

    # ---- what is allowed -----------------------------------------------------

    def probe(self) -> str:
        """Find out what the firing can have; the plan line that says it."""
        if self.plan == OFF:
            return "priority: normal (--priority normal)"
        calls = self.calls
        tid = calls.thread_id()
        try:
            policy, priority = calls.get_class(tid)
            nice = calls.get_nice(tid)
        except (OSError, AttributeError) as exc:  # no such calls here
            self.plan = NORMAL
            return f"priority: normal (the scheduling class cannot be read: {exc})"
        if policy in (os.SCHED_FIFO, os.SCHED_RR):
            self.plan = NORMAL
            return f"priority: real-time already (priority {priority}), left as it is"
        if self._try(lambda: calls.set_class(tid, os.SCHED_FIFO, FIFO_PRIORITY),
                     lambda: calls.set_class(tid, policy, priority)):
            self.plan = FIFO
            return (f"priority: real-time (SCHED_FIFO {FIFO_PRIORITY}) from just before the firing until "
                    f"the first order has left, {self.limit_s * 1000:.0f} ms at most")
        floor = _nice_floor(calls)
        if floor < nice and self._try(lambda: calls.set_nice(tid, floor), lambda: calls.set_nice(tid, nice)):
            self.plan, self.nice = NICE, floor
            return (f"priority: nice {floor} (no real-time class allowed) from just before the firing until "
                    f"the first order has left; for the real-time class: {how_to_allow(calls)}")
        self.plan = NORMAL
        return ("priority: normal (this system allows neither a real-time class nor a lower nice value); "
                f"to allow the real-time class: {how_to_allow(calls)}")

    @staticmethod
    def _try(take: Any, give_back: Any) -> bool:
        try:
            take()
        except (OSError, ValueError):
            return False
        try:
            give_back()
        except (OSError, ValueError):
            pass
        return True

    # ---- the firing -----------------------------------------------------------

    def raise_(self) -> Optional[str]:
        """Take what :meth:`probe` found (FIFO, NICE), for at most ``limit_s``; what was taken, or None."""
        if self.plan is None:
            self.probe()
        if self.plan not in (FIFO, NICE) or self._saved is not None:
            return None
        calls = self.calls
        tid = self._tid = calls.thread_id()
        try:
            policy, priority = calls.get_class(tid)
            saved = (policy, priority, calls.get_nice(tid))
        except OSError:
            return None
        self._done.clear()
        self.capped = False
        with self._lock:
            self._saved = saved
            try:
                if self.plan == FIFO:
                    calls.set_class(tid, os.SCHED_FIFO, FIFO_PRIORITY)
                else:
                    calls.set_nice(tid, self.nice)
            except (OSError, ValueError):
                self._saved = None
                return None
        self.got = self.plan
        self._cap = threading.Thread(target=self._cap_at_limit, name="quorvane-priority-limit", daemon=True)
        self._cap.start()
        return self.got

    def _cap_at_limit(self) -> None:
        if not self._done.wait(self.limit_s):
            self.capped = self._lower() or self.capped

    def lower(self) -> None:
        """Back to the class the thread had; the time limit's thread ends with it."""
        self._lower()
        self._done.set()

    def _lower(self) -> bool:
        with self._lock:
            saved, self._saved = self._saved, None
            if saved is None:
                return False
            policy, priority, nice = saved
            try:
                self.calls.set_class(self._tid, policy, priority)
            except (OSError, ValueError):
                pass
            try:
                self.calls.set_nice(self._tid, nice)
            except (OSError, ValueError):
                pass
            return True

    @property
    def raised(self) -> bool:
        return self._saved is not None
