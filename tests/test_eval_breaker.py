"""Polling runs no bytecode, so it must serve what the eval loop serves: an
exception set on the polling thread from outside and calls queued with
Py_AddPendingCall. The clocks count their readings and never reach the
opening; a request is served when the poller reads at most once more after
it. The stop only ends a poller that ignores the request."""
import ctypes
import itertools
import operator
import threading
import time
import types

import pytest

qi = pytest.importorskip("_qv_internals")

_set_async_exc = ctypes.pythonapi.PyThreadState_SetAsyncExc
_set_async_exc.argtypes = [ctypes.c_ulong, ctypes.py_object]
_PendingCall = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
_add_pending_call = ctypes.pythonapi.Py_AddPendingCall
_add_pending_call.argtypes = [_PendingCall, ctypes.c_void_p]
_fflush = ctypes.CDLL(None).fflush
_fflush.argtypes = [ctypes.c_void_p]

GIVE_UP_SECONDS = 60  # never reached by a poller that serves the request
TICKS = 10**12


def _native(qv):
    """The native pass through the test module: one reading held."""
    polls_before = qi.polls()  # clock_reads() is the last poll's until this one begins
    return (lambda: qi.poll(10**6, (0,), hold=True),
            lambda: qi.clock_reads() if qi.polls() > polls_before else 0,
            qi.release_clock)


def _general(qv):
    """listen_for_trades with a clock written in C: no bytecode either."""
    ticks = itertools.repeat(0.0, TICKS)
    qv.time = types.SimpleNamespace(time=ticks.__next__)

    def stop():
        qv.time = types.SimpleNamespace(time=object)  # object() * 1000 raises TypeError

    return (lambda: qv.listen_for_trades("k", "s", "x", 1.0, 10**6).send(None),
            lambda: TICKS - operator.length_hint(ticks), stop)


PASSES = {"native": _native, "general": _general}


@pytest.fixture(autouse=True)
def time_left_lines(capfd):
    yield
    _fflush(None)  # none left in the C runtime's buffer for a later test
    capfd.readouterr()


def _wait_for_polling(reads):
    while reads() == 0:
        time.sleep(0.001)


@pytest.mark.parametrize("way", PASSES)
def test_exception_set_from_outside_ends_polling(restore_globals, way):
    run, reads, stop = PASSES[way](restore_globals)
    raised = []

    def poller():
        try:
            run()
        except BaseException as e:  # noqa: B902 - the interrupt is the outcome
            raised.append(e)

    thread = threading.Thread(target=poller)
    thread.start()
    _wait_for_polling(reads)
    reads_when_set = reads()
    assert _set_async_exc(thread.ident, KeyboardInterrupt) == 1
    thread.join(GIVE_UP_SECONDS)
    stop()
    thread.join()
    assert [type(e) for e in raised] == [KeyboardInterrupt]
    assert reads() - reads_when_set <= 1


@pytest.mark.parametrize("way", PASSES)
def test_pending_call_runs_while_polling(restore_globals, way):
    # Pending calls run on the main thread only: the test's own thread polls.
    run, reads, stop = PASSES[way](restore_globals)
    queued_at, ran_at, served = [], [], threading.Event()

    @_PendingCall
    def pending(_):
        ran_at.append(reads())
        served.set()
        stop()
        return 0

    def queue_call():
        _wait_for_polling(reads)
        queued_at.append(reads())
        assert _add_pending_call(pending, None) == 0
        if not served.wait(GIVE_UP_SECONDS):
            stop()

    helper = threading.Thread(target=queue_call)
    helper.start()
    try:
        run()
    except TypeError:  # the general pass stopped
        pass
    helper.join()
    assert ran_at and ran_at[0] - queued_at[0] <= 1
