"""Traceback records: code-object cache and the implementation-line option."""
import ctypes
import functools
import re
import sys
import threading
import types

import pytest

from conftest import module_records
from fakes import FakeWebsockets, Immediate, Suspend, drive

SUPPORT = "_quorvane_runtime"


def _record_frame(exc):
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


def _fail_sign(qv):
    with pytest.raises(AttributeError) as info:
        qv.sign_request(None, "k")
    return info.value


@pytest.fixture
def support(qv):
    mod = sys.modules[SUPPORT]
    saved = mod.__dict__.get("cline_in_traceback", "absent")
    yield mod
    if saved == "absent":
        mod.__dict__.pop("cline_in_traceback", None)
    else:
        mod.cline_in_traceback = saved


def test_record_frame_carries_module_globals(qv):
    tb = _record_frame(_fail_sign(qv))
    assert tb.tb_frame.f_globals is vars(qv)
    assert tb.tb_frame.f_code.co_filename == "quorvane_3.py"
    assert tb.tb_frame.f_code.co_firstlineno == 19


def test_repeated_failures_share_one_code_object(qv):
    first = _record_frame(_fail_sign(qv)).tb_frame.f_code
    second = _record_frame(_fail_sign(qv)).tb_frame.f_code
    assert first is second


def test_code_object_is_shared_by_key_across_names(qv):
    # Line 19 of sign_request is the key; the cached object wins whatever
    # function name a later record carries.
    a = _record_frame(_fail_sign(qv)).tb_frame.f_code
    with pytest.raises(UnicodeEncodeError) as info:
        qv.sign_request("\ud800", "k")
    assert _record_frame(info.value).tb_frame.f_code is a


def test_option_created_false_after_failure(qv, support):
    support.__dict__.pop("cline_in_traceback", None)
    _fail_sign(qv)
    assert support.cline_in_traceback is False


@pytest.mark.parametrize("value, on", [(True, True), (1, True), ("yes", True), (False, False), (0, False), ("", False)])
def test_option_adds_implementation_location(qv, support, value, on):
    support.cline_in_traceback = value
    name, line = module_records(_fail_sign(qv))[0]
    assert line == 19
    if on:
        assert name.startswith("quorvane_3.sign_request (") and name.endswith(")")
        path, _, cline = name[len("quorvane_3.sign_request ("):-1].rpartition(":")
        assert path.endswith(".cpp") and int(cline) > 0
    else:
        assert name == "quorvane_3.sign_request"


def test_option_read_at_every_failure(qv, support):
    support.cline_in_traceback = True
    assert "(" in module_records(_fail_sign(qv))[0][0]
    support.cline_in_traceback = False
    assert module_records(_fail_sign(qv))[0][0] == "quorvane_3.sign_request"


def _without(name):
    return lambda qv, ws: delattr(qv, name)


def _connection(**how):
    return lambda qv, ws: vars(ws).update(how)


# What breaks an order, and the source lines of its records (outermost first).
ORDER_FAILURES = [
    (None, [34]),  # thrown into an order that never started
    (_without("uuid"), [35]),
    (_without("time"), [36]),
    (_without("urllib"), [47]),
    (_without("hmac"), [48]),
    (_without("websockets"), [58]),
    (_connection(send_error=ConnectionResetError("gone")), [58, 59]),
    (_connection(recv_error=ConnectionResetError("gone")), [58, 60]),
    (_connection(reply="not json"), [58, 61]),
    (_connection(reply="null"), [58, 62]),
    (_connection(reply='"an error here"'), [58, 63]),
]

# Record name (with its implementation location) -> the source line it
# showed, over all rows: one implementation line must mean one statement.
shown_lines = {}


@pytest.mark.parametrize("breaks, lines", ORDER_FAILURES)
def test_order_records_show_their_own_line_with_the_option_on(qv, support, restore_globals, breaks, lines):
    support.cline_in_traceback = True
    restore_globals.websockets = ws = FakeWebsockets()
    coro = qv.buy_market_order("key", "secret", "BTCUSDT", 0.5)
    with pytest.raises(Exception) as info:
        if breaks is None:
            coro.throw(KeyError("k"))
        breaks(restore_globals, ws)
        drive(coro)
    records = module_records(info.value)
    assert [line for _, line in records] == lines
    for name, line in records:
        assert re.fullmatch(r"(quorvane_3\.)?buy_market_order \(.+\.cpp:\d+\)", name)
        assert shown_lines.setdefault(name, line) == line


# The trigger's failure sites. Each case sets the module up, makes the
# coroutine fail and returns the exception.

class _Stop(Exception):
    pass


def _clock(*seconds):
    """Gives the readings in turn, then raises _Stop."""
    readings = iter(seconds)

    def time():
        for reading in readings:
            return reading
        raise _Stop

    return types.SimpleNamespace(time=time)


def _stopping_clock_in_c():
    # Sets _Stop on the polling thread from within the clock, which is
    # written in C, so that no bytecode runs before the pass serves it.
    set_exc = functools.partial(ctypes.pythonapi.PyThreadState_SetAsyncExc, ctypes.c_ulong(threading.get_ident()))
    return types.SimpleNamespace(time=map(set_exc, [ctypes.py_object(_Stop)]).__next__)


def _trigger_failure(qv, opening=0, clock=None, order=None, drive_it=None):
    if clock is not None:
        qv.time = clock
    if order is not None:
        qv.buy_market_order = order
    coro = qv.listen_for_trades("k", "s", "x", 1.0, opening)
    with pytest.raises(Exception) as info:
        (drive_it or (lambda c: c.send(None)))(coro)
    return info.value


def _thrown_in_while_suspended(coro):
    coro.send(None)
    coro.throw(KeyError("k"))


TRIGGER_FAILURES = {
    "thrown in before the start": (dict(drive_it=lambda c: c.throw(KeyError("k"))), [79]),
    "opening not a number": (dict(opening="soon"), [80]),
    "clock fails while polling": (dict(clock=_clock()), [82, 70]),
    "stopped from outside while polling": (dict(opening=10**12, clock="stopping in C"), [85]),
    "clock fails before the order": (dict(clock=_clock(1.0)), [86, 70]),
    "order fails": (dict(clock=_clock(1.0, 1.0), order=lambda *a: 1 / 0), [87]),
    "thrown into the order": (dict(clock=_clock(1.0, 1.0), order=lambda *a: Suspend(),
                                   drive_it=_thrown_in_while_suspended), [87]),
    "clock fails after the order": (dict(clock=_clock(1.0, 1.0), order=lambda *a: Immediate()), [88, 70]),
}


@pytest.fixture
def time_left_lines(capfd):
    yield
    ctypes.CDLL(None).fflush(None)  # none left in the C runtime's buffer for a later test
    capfd.readouterr()


@pytest.mark.parametrize("case", TRIGGER_FAILURES)
def test_trigger_records_show_their_own_line_with_the_option_on(support, restore_globals, time_left_lines, case):
    qv = restore_globals
    support.cline_in_traceback = True
    how, lines = TRIGGER_FAILURES[case]
    if how.get("clock") == "stopping in C":
        how = dict(how, clock=_stopping_clock_in_c())
    records = module_records(_trigger_failure(qv, **how))
    assert [line for _, line in records] == lines
    name = records[0][0]
    assert re.fullmatch(r"listen_for_trades \(.+\.cpp:\d+\)", name)
    # Another statement's record must not show the same implementation line.
    other = "opening not a number" if lines[0] == 79 else "thrown in before the start"
    assert module_records(_trigger_failure(qv, **TRIGGER_FAILURES[other][0]))[0][0] != name
