"""While the trigger polls it runs no bytecode, so it must serve what the
interpreter asks of the thread holding it, as the eval loop does between two
instructions: an exception set on the thread from outside
(PyThreadState_SetAsyncExc, how a host stops a worker thread) and calls queued
with Py_AddPendingCall, besides signals and the switch to waiting threads.

Each case polls with a clock that counts its readings and never reaches the
opening by itself. What is checked is how many readings the poller made
after the request: none or one when it is served. The stop is only there so
that a poller that ignores the request still ends."""
import ctypes
import itertools
import operator
import threading
import time
import types

import pytest

from conftest import module_records

qi = pytest.importorskip("_qv_internals")

_set_async_exc = ctypes.pythonapi.PyThreadState_SetAsyncExc
_set_async_exc.argtypes = [ctypes.c_ulong, ctypes.py_object]
_set_async_exc.restype = ctypes.c_int

_PendingCall = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
_add_pending_call = ctypes.pythonapi.Py_AddPendingCall
_add_pending_call.argtypes = [_PendingCall, ctypes.c_void_p]
_add_pending_call.restype = ctypes.c_int

_fflush = ctypes.CDLL(None).fflush
_fflush.argtypes = [ctypes.c_void_p]


@pytest.fixture(autouse=True)
def time_left_lines(capfd):
    """Swallows the pollers' lines, and leaves none in the C runtime's
    buffer for a later test to find."""
    yield
    _fflush(None)
    capfd.readouterr()


# Long enough for any machine to serve a request; a poller that never
# serves it is stopped after this and the case fails on its counts.
GIVE_UP_SECONDS = 60

FAR_AHEAD_MS = 10**6
TICKS = 10**12


class Stopped(Exception):
    """How a poller that ignored the request is ended."""


def _stopping_clock():
    def time():
        raise Stopped

    return types.SimpleNamespace(time=time)


class NativePass:
    """The native pass, through the test module, with a clock that repeats
    one reading until released."""

    def __init__(self, qv):
        self.polls_before = qi.polls()

    def run(self):
        return qi.poll(FAR_AHEAD_MS, (0,), hold=True)

    def reads(self):
        # The count is that of the last poll until this one begins.
        return qi.clock_reads() if qi.polls() > self.polls_before else 0

    def stop(self):
        qi.release_clock()


class GeneralPass:
    """listen_for_trades with a clock written in C, so that the general pass
    runs no bytecode either."""

    def __init__(self, qv):
        self.qv = qv
        self.ticks = itertools.repeat(0.0, TICKS)
        qv.time = types.SimpleNamespace(time=self.ticks.__next__)

    def run(self):
        return self.qv.listen_for_trades("k", "s", "x", 1.0, FAR_AHEAD_MS).send(None)

    def reads(self):
        return TICKS - operator.length_hint(self.ticks)

    def stop(self):
        self.qv.time = _stopping_clock()


PASSES = {"native": NativePass, "general": GeneralPass}


def _wait_for_polling(poller):
    while poller.reads() == 0:
        time.sleep(0.001)


class _Outcome:
    def __init__(self):
        self.result = self.error = None


def _run_in_thread(poller):
    outcome = _Outcome()

    def target():
        try:
            outcome.result = poller.run()
        except BaseException as e:  # noqa: B902 - the interrupt is the outcome
            outcome.error = e

    thread = threading.Thread(target=target)
    thread.start()
    return thread, outcome


@pytest.mark.parametrize("way", PASSES)
def test_exception_set_from_outside_ends_polling_at_once(restore_globals, way):
    poller = PASSES[way](restore_globals)
    thread, outcome = _run_in_thread(poller)
    _wait_for_polling(poller)
    reads_when_set = poller.reads()
    assert _set_async_exc(thread.ident, KeyboardInterrupt) == 1
    thread.join(GIVE_UP_SECONDS)
    poller.stop()
    thread.join()
    assert isinstance(outcome.error, KeyboardInterrupt), outcome.error or outcome.result
    assert poller.reads() - reads_when_set <= 1


def test_exception_set_from_outside_carries_the_comparison_line(restore_globals, capfd):
    # The module's own clock and native pass, the opening an hour ahead.
    qv = restore_globals
    opening = int(time.time() * 1000) + 3_600_000
    result = {}

    def target():
        try:
            qv.listen_for_trades("k", "s", "x", 1.0, opening).send(None)
        except BaseException as e:  # noqa: B902
            result["error"] = e

    thread = threading.Thread(target=target)
    thread.start()
    while not capfd.readouterr().out:  # until its first lines
        time.sleep(0.001)
    assert _set_async_exc(thread.ident, KeyboardInterrupt) == 1
    thread.join(GIVE_UP_SECONDS)
    qv.time = _stopping_clock()
    thread.join()
    assert isinstance(result["error"], KeyboardInterrupt), result
    assert module_records(result["error"]) == [("listen_for_trades", 85)]


@pytest.mark.parametrize("way", PASSES)
def test_pending_call_runs_while_polling(restore_globals, way):
    # Pending calls run on the main thread only: the test's own thread polls.
    poller = PASSES[way](restore_globals)
    ran_at_read = []
    served = threading.Event()

    @_PendingCall
    def pending(_):
        ran_at_read.append(poller.reads())
        served.set()
        poller.stop()
        return 0

    queued_at_read = []

    def queue_call():
        _wait_for_polling(poller)
        queued_at_read.append(poller.reads())
        assert _add_pending_call(pending, None) == 0
        if not served.wait(GIVE_UP_SECONDS):
            poller.stop()

    helper = threading.Thread(target=queue_call)
    helper.start()
    try:
        outcome = poller.run()
    except Stopped:
        outcome = "stopped"
    helper.join()
    assert ran_at_read, "the pending call never ran"
    assert ran_at_read[0] - queued_at_read[0] <= 1, outcome
