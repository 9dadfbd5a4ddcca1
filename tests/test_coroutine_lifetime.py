"""Memory of the coroutine runtime: closure-record free-lists, garbage
collection of cycles through coroutines, and no growth over many runs."""
import gc
import tracemalloc
import warnings
import weakref

import pytest

t = pytest.importorskip("_qv_coro_testing")


from fakes import Steps  # noqa: E402


def run_to_end(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration:
        pass


def test_free_list_keeps_eight_records_and_hands_them_back_newest_first():
    hold = [t.awaiter([], []) for _ in range(16)]  # empties the free-list
    assert t.freelist_size() == 0
    nine = hold[:9]
    ids = [t.record_id(c) for c in nine]
    for coro in nine:
        run_to_end(coro)
        assert t.record_id(coro) is None
    assert t.freelist_size() == 8
    again = [t.awaiter([], []) for _ in range(8)]
    # Records in the free-list are never freed, so matching addresses are
    # the same records.
    assert [t.record_id(c) for c in again] == ids[7::-1]
    assert t.freelist_size() == 0
    for coro in hold + again:
        coro.close()
    assert t.freelist_size() == 8


def test_reused_record_starts_empty():
    hold = [t.awaiter([], []) for _ in range(8)]  # room in the free-list
    first_log, fresh_log = [], []
    coro = t.awaiter([Steps()], first_log, KeyError)
    record_id = t.record_id(coro)
    coro.send(None)
    coro.close()
    again = t.awaiter([], fresh_log)
    assert t.record_id(again) == record_id
    (record,) = [r for r in gc.get_referents(again) if type(r).__name__ == "_listen_for_trades_record"]
    held = gc.get_referents(record)
    assert any(x is fresh_log for x in held)
    assert not any(x is first_log or x is KeyError for x in held)
    again.close()
    for c in hold:
        c.close()


def collected(make):
    """Builds an object graph with make(), drops it and reports whether the
    coroutine that make returned was freed by the collector."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ref = weakref.ref(make())
        gc.collect()
    return ref() is None


def test_cycle_through_suspended_coroutine_is_collected():
    steps = Steps(3)

    def make():
        log = []
        coro = t.awaiter([steps], log)
        log.append(coro)  # coroutine -> record -> log -> coroutine
        coro.send(None)
        return coro

    assert collected(make)
    assert steps.closed  # the finaliser closed the awaited object


def test_cycle_through_awaited_object_is_collected():
    class Holder:
        def __await__(self):
            yield "held"

    def make():
        holder = Holder()
        coro = t.awaiter([holder], [])
        holder.coro = coro
        coro.send(None)
        return coro

    assert collected(make)


def test_cycle_through_unstarted_coroutine_is_collected():
    def make():
        box = []
        coro = t.awaiter([box], [])
        box.append(coro)
        return coro

    assert collected(make)


class Back:
    """An object that refers back to a coroutine (as a connection might)."""


@pytest.mark.parametrize(
    "kind, field",
    [(kind, field) for kind in ("buy_market_order", "listen_for_trades") for field in t.object_fields(kind)],
)
def test_cycle_through_each_record_field_is_collected(kind, field):
    def make():
        back = Back()
        back.coro = t.holding(kind, field, back)  # coroutine -> record.field -> back -> coroutine
        return back.coro

    assert collected(make)


def test_reading_cr_frame_does_not_keep_the_coroutine_alive():
    def peek(coro):
        return coro.cr_frame.f_lineno

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        coro = t.awaiter([], [])
        peek(coro)
        ref = weakref.ref(coro)
        del coro
    assert ref() is None  # freed by reference counting alone


def one_of_each_life():
    t.awaiter([], []).close()
    coro = t.awaiter([Steps(2), Steps(1)], [], KeyError)
    coro.send(None)
    coro.throw(KeyError("k"))
    coro.close()
    run_to_end(t.awaiter([Steps(1), t.awaiter([Steps(1)], [])], []))
    coro = t.awaiter([Steps(1)], [])
    next(coro.__await__())
    del coro  # finalised while suspended
    coro = t.awaiter([5], [])
    with pytest.raises(TypeError):
        coro.send(None)


def test_no_growth_over_100000_coroutines():
    for _ in range(2000):
        one_of_each_life()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(20000):  # six coroutines each: 120,000 in all
            one_of_each_life()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024
