"""Start-up registration of the coroutine machinery, and the coroutines of
quorvane_3 itself. Each registration case runs in a fresh interpreter."""
import collections.abc
import gc
import textwrap
import warnings

import pytest

from conftest import module_records, run_python

t = pytest.importorskip("_qv_coro_testing")

SHARED = "_quorvane_coroutine_runtime_1"


def run(code, **kwargs):
    result = run_python(textwrap.dedent(code), **kwargs)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


@pytest.mark.parametrize("first,second", [("quorvane_3", "_qv_coro_testing"), ("_qv_coro_testing", "quorvane_3")])
def test_modules_share_one_coroutine_type(first, second):
    out = run(
        f"""
        import sys, collections.abc
        import {first}, {second}
        import quorvane_3 as q, _qv_coro_testing as t
        ours = q.buy_market_order("k", "s", "BTCUSDT", 1.0)
        mine = t.awaiter([ours], [], BaseException)
        assert type(ours) is type(mine) is sys.modules["{SHARED}"].coroutine
        assert type(mine.__await__()) is sys.modules["{SHARED}"].coroutine_wrapper
        assert isinstance(ours, collections.abc.Coroutine)
        assert mine.close() is None and ours.close() is None
        """
    )
    assert out == ""


def test_test_module_awaits_quorvane_coroutine():
    out = run(
        """
        import quorvane_3 as q, _qv_coro_testing as t
        log = []
        order = q.buy_market_order("k", None, "BTCUSDT", 1.0)  # no secret: fails before connecting
        try:
            t.awaiter([order], log).send(None)
        except AttributeError as e:
            tb, names = e.__traceback__, []
            while tb:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
            print(names[-2:], order.cr_code)
        """
    )
    # The failure leaves the order's body, then the awaiting body.
    assert out == "['awaiter', 'buy_market_order'] None"


@pytest.mark.parametrize(
    "value,message",
    [("5", "Shared type 'coroutine' is not a type object"),
     ("int", "Shared type 'coroutine' has the wrong size, try recompiling")],
)
def test_foreign_object_in_shared_module_fails_start_up(value, message):
    out = run(
        f"""
        import sys, types
        shared = types.ModuleType("{SHARED}")
        shared.coroutine = {value}
        sys.modules["{SHARED}"] = shared
        try:
            import _qv_coro_testing
        except TypeError as e:
            print(e)
        """
    )
    assert out == message


def test_missing_collections_abc_warns_and_goes_on():
    out = run(
        """
        import sys, warnings
        sys.unraisablehook = lambda u: print("unraisable", u.exc_type.__name__)
        sys.modules["collections.abc"] = None
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import _qv_coro_testing
        print([str(w.message) for w in caught])
        """
    )
    assert out.splitlines() == [
        "unraisable ModuleNotFoundError",
        "['quorvane_3 module failed to register with collections.abc module']",
    ]


def test_missing_collections_abc_fails_start_up_when_warnings_are_errors():
    out = run(
        """
        import sys
        sys.unraisablehook = lambda u: None
        sys.modules["collections.abc"] = None
        try:
            import _qv_coro_testing
        except RuntimeWarning as e:
            print(e)
        """,
        env={"PYTHONWARNINGS": "error::RuntimeWarning"},
    )
    assert out == "quorvane_3 module failed to register with collections.abc module"


def test_backports_abc_is_patched_and_its_failures_ignored():
    # Even with warnings as errors, a failing backport does not stop start-up.
    out = run(
        """
        import sys, types
        sys.unraisablehook = lambda u: print("unraisable", u.exc_type.__name__)
        registered = []
        def register(cls):
            registered.append(cls.__name__)
            raise ValueError("refused")
        sys.modules["backports_abc"] = types.SimpleNamespace(Coroutine=types.SimpleNamespace(register=register))
        import _qv_coro_testing
        print(registered)
        """,
        env={"PYTHONWARNINGS": "error::RuntimeWarning"},
    )
    assert out.splitlines() == ["unraisable ValueError", "['coroutine']"]


def test_failed_patch_of_collections_abc():
    out = run(
        """
        import sys, collections.abc, warnings
        sys.unraisablehook = lambda u: print("unraisable", u.exc_type.__name__)
        def refuse(cls):
            raise ValueError("refused")
        collections.abc.Coroutine.register = refuse
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import _qv_coro_testing
        print([str(w.message) for w in caught])
        """
    )
    assert out.splitlines() == [
        "unraisable ValueError",
        "['quorvane_3 module failed to patch module with custom type']",
    ]


# ---------------------------------------------------- quorvane_3 coroutines


@pytest.fixture
def q():
    return pytest.importorskip("quorvane_3")


def make(q, which):
    if which == "buy_market_order":
        return q.buy_market_order("key", "secret", "BTCUSDT", 0.5)
    return q.listen_for_trades("key", "secret", "btcusdt", 0.5, 0)


@pytest.mark.parametrize("which,line", [("buy_market_order", 34), ("listen_for_trades", 79)])
def test_quorvane_coroutine_members(q, which, line):
    coro = make(q, which)
    assert type(coro) is t.shared_types()[0]
    assert isinstance(coro, collections.abc.Coroutine)
    assert (coro.__name__, coro.__qualname__, coro.__module__) == (which, which, "quorvane_3")
    assert coro.cr_code.co_name == which and coro.cr_code.co_firstlineno == line
    assert coro.cr_frame.f_code is coro.cr_code
    assert coro.cr_await is None and coro.cr_running is False
    assert coro.close() is None
    assert coro.cr_code is None and coro.__name__ is None


@pytest.mark.parametrize("which,line", [("buy_market_order", 34), ("listen_for_trades", 79)])
def test_throw_into_unstarted_quorvane_coroutine(q, which, line):
    coro = make(q, which)
    with pytest.raises(KeyError) as info:
        coro.throw(KeyError("k"))
    assert module_records(info.value) == [(which, line)]
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.throw(ValueError)
    assert coro.close() is None


@pytest.mark.parametrize("which", ["buy_market_order", "listen_for_trades"])
def test_quorvane_coroutine_never_awaited(q, which):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make(q, which)
        gc.collect()
    assert [str(w.message) for w in caught] == [f"coroutine '{which}' was never awaited"]


@pytest.mark.parametrize("which", ["buy_market_order", "listen_for_trades"])
def test_quorvane_records_reused(q, which):
    hold = [make(q, which) for _ in range(16)]
    nine = hold[:9]
    ids = [t.record_id(c) for c in nine]
    for coro in nine:
        coro.close()
    again = [make(q, which) for _ in range(8)]
    assert [t.record_id(c) for c in again] == ids[7::-1]
    for coro in hold + again:
        coro.close()
