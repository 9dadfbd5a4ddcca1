"""Polling runs no bytecode, so it must serve what the eval loop serves: an
exception set on the polling thread from outside and calls queued with
Py_AddPendingCall. The clocks count their readings and never reach the
opening; a request is served when the poller reads at most once more after
it. The stop only ends a poller that ignores the request."""
import ctypes
import itertools
import operator
import signal
import threading
import time
import types

import pytest

from fakes import poll_until_a_signal_at_pass

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


def _general_with_c_clock(qv, limit=-1):
    """listen_for_trades reading qi.tick, a clock written in C that the
    test module counts and stops (RuntimeError)."""
    qv.time = types.SimpleNamespace(time=qi.tick)

    def run():
        qi.reset_clock(limit)
        return qv.listen_for_trades("k", "s", "x", 1.0, 10**6).send(None)

    return run


# A pending call that fails: any non-zero status is a failure, and one that
# sets no exception a SystemError, as in the eval loop.
FAILED_CALLS = {
    "-1, nothing set": (-1, False, SystemError),
    "1, nothing set": (1, False, SystemError),
    "1, an exception set": (1, True, RuntimeError),
    "-1, an exception set": (-1, True, RuntimeError),
}


@pytest.mark.parametrize("way", ["native", "general"])
@pytest.mark.parametrize("call", FAILED_CALLS)
def test_failed_pending_call_ends_polling(restore_globals, way, call):
    status, raises, expected = FAILED_CALLS[call]
    # Queued by the polling thread itself (the main one) as it reads the
    # clock for the first time: served in that pass.
    run = (lambda: qi.poll(10**6, (0,) * 5)) if way == "native" else _general_with_c_clock(restore_globals, 5)
    qi.queue_pending_call(status, raises)
    with pytest.raises(expected) as failure:
        run()
    assert qi.served_reads() == 1
    if expected is SystemError:
        assert str(failure.value) == "error return without exception set"


PLAIN_THREAD_WAYS = {
    "native": lambda qv: lambda: qi.poll(10**6, (0,), hold=True),
    "general": lambda qv: _general_with_c_clock(qv),
}


@pytest.fixture
def usr1_serves():
    previous = signal.signal(signal.SIGUSR1, lambda *args: qi.served())
    yield
    signal.signal(signal.SIGUSR1, previous)


@pytest.mark.parametrize("way", PLAIN_THREAD_WAYS)
@pytest.mark.parametrize("what", ["call", "signal"])
def test_request_from_a_thread_without_the_lock(restore_globals, usr1_serves, way, what):
    # A plain C thread queues a call or catches a signal while the main
    # thread polls; it sets no breaker, and no other thread ever asks for
    # the lock here, so only reading the request words serves it.
    run = PLAIN_THREAD_WAYS[way](restore_globals)
    qi.request_from_plain_thread(what, 1000, signal.SIGUSR1)
    try:
        run()
    except RuntimeError:  # the general pass's clock, stopped once served
        pass
    requested_at, served_at, gave_up = qi.plain_thread_outcome()
    assert not gave_up and served_at >= 0
    assert served_at - requested_at <= 1


@pytest.fixture
def public_api_only():
    """Polling as on another patch release of the interpreter (in the test
    module's copy of the code only)."""
    assert qi.layout_trusted()  # the release it was built against
    qi.trust_layout(False)
    yield
    qi.trust_layout(True)


def test_public_api_only_acts_on_a_signal_in_the_same_pass(public_api_only):
    poll_until_a_signal_at_pass(qi, 2)
    assert qi.clock_reads() == 3


@pytest.mark.parametrize("way", PLAIN_THREAD_WAYS)
def test_public_api_only_serves_pending_calls(restore_globals, public_api_only, way):
    run = PLAIN_THREAD_WAYS[way](restore_globals)
    qi.queue_pending_call(0)
    try:
        assert run() == (1, 0)
    except RuntimeError:  # the general pass's clock, stopped once served
        pass
    assert qi.served_reads() > 0


def test_public_api_only_lets_other_threads_run(public_api_only):
    # The worker can end the poll only if the poller hands the lock over.
    polls_before = qi.polls()

    def worker():
        while qi.polls() == polls_before or qi.clock_reads() == 0:
            time.sleep(0.001)
        qi.release_clock()

    thread = threading.Thread(target=worker)
    thread.start()
    assert qi.poll(10**6, (0,), hold=True) == (1, 0)
    thread.join()
