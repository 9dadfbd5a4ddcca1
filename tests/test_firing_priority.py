"""The firing's scheduling class: what each system allows, and the way back on every path."""

import os
import resource

import pytest

from quorvane_host.run.priority import FiringPriority, SystemCalls

pytestmark = pytest.mark.python_side

INF = resource.RLIM_INFINITY


class FakeSystem(SystemCalls):
    """One thread's class and nice value, and what the kernel would allow."""

    def __init__(self, fifo=False, rtprio=(0, 0), nice_limit=(0, 0), privileged=False, policy=os.SCHED_OTHER):
        self.fifo, self.privileged_ = fifo, privileged
        self.rlimits = {resource.RLIMIT_RTPRIO: rtprio, resource.RLIMIT_NICE: nice_limit}
        self.state = {"policy": policy, "priority": 0, "nice": 0}

    def get_class(self, tid):
        return self.state["policy"], self.state["priority"]

    def set_class(self, tid, policy, priority):
        if policy == os.SCHED_FIFO and not self.fifo:
            raise PermissionError(1, "Operation not permitted")
        self.state.update(policy=policy, priority=priority)

    def get_nice(self, tid):
        return self.state["nice"]

    def set_nice(self, tid, nice):
        if nice < self.state["nice"] and not self.privileged_ and nice < 20 - self.rlimits[resource.RLIMIT_NICE][0]:
            raise PermissionError(13, "Permission denied")
        self.state["nice"] = nice

    def limits(self, which):
        return self.rlimits[which]

    def privileged(self):
        return self.privileged_

    def thread_id(self):
        return 4242


START = {"policy": os.SCHED_OTHER, "priority": 0, "nice": 0}


@pytest.mark.parametrize("system, said, during", [
    (FakeSystem(fifo=True, privileged=True), "real-time (SCHED_FIFO 1)",
     {"policy": os.SCHED_FIFO, "priority": 1, "nice": 0}),
    # no real-time class, but RLIMIT_NICE lets it go down to -10; the limit on rtprio could be raised
    (FakeSystem(rtprio=(0, 5), nice_limit=(30, 30)), "nice -10 (no real-time class allowed)",
     {"policy": os.SCHED_OTHER, "priority": 0, "nice": -10}),
    (FakeSystem(rtprio=(0, 5)), "to allow the real-time class: `ulimit -r 1`", START),
    (FakeSystem(), "to allow the real-time class: `sudo setcap cap_sys_nice+ep", START),
])
def test_what_the_firing_gets_and_gives_back(system, said, during):
    priority = FiringPriority(calls=system)
    assert said in priority.probe()
    assert system.state == START  # the probe went back at once
    priority.raise_()
    assert system.state == during
    priority.lower()
    assert system.state == START and not priority.raised


@pytest.mark.parametrize("priority, said", [
    (FiringPriority("normal", calls=FakeSystem(fifo=True)), "normal (--priority normal)"),
    (FiringPriority(calls=FakeSystem(fifo=True, policy=os.SCHED_RR)), "real-time already"),
])
def test_left_as_it_is(priority, said):
    before = dict(priority.calls.state)
    assert said in priority.probe()
    assert priority.raise_() is None and priority.calls.state == before


def test_the_time_limit_lowers_it_when_the_first_order_never_leaves():
    system = FakeSystem(fifo=True)
    priority = FiringPriority(calls=system, limit_s=0.001)
    priority.raise_()
    priority._cap.join()  # the limit's thread, which ends only once it has lowered it
    assert system.state == START and priority.capped
    priority.lower()  # the normal way back, later, changes nothing more
    assert system.state == START
