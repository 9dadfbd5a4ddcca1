"""The coroutine and wrapper types as Python sees them, the await step's
errors, finalisation, and running under asyncio. Driven through the test
module's `awaiter` (see tests/ext/_qv_coro_testing.cpp)."""
import asyncio
import collections.abc
import gc
import sys
import types
import warnings
import weakref

import pytest

t = pytest.importorskip("_qv_coro_testing")


from fakes import Steps  # noqa: E402


class PlainIterator:
    def __iter__(self):
        return self

    def __next__(self):
        return "plain"


class Plain:
    def __await__(self):
        return PlainIterator()


def start(coro):
    return coro.send(None)


def finish(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration as e:
        return e.value


def never_awaited_warnings(action):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        action()
        gc.collect()
    return [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, str(u.exc_value), u.object)))
    return seen


# ---------------------------------------------------------------- the type


def test_type_identity_and_abc():
    coro = t.awaiter([], [])
    kind = type(coro)
    assert kind.__name__ == "coroutine" and kind is not types.CoroutineType
    assert isinstance(coro, collections.abc.Coroutine)
    assert asyncio.iscoroutine(coro)
    assert t.shared_types() == (kind, type(coro.__await__()))
    assert kind.__doc__ is None and not hasattr(coro, "__dict__")
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        iter(coro)
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})
    assert weakref.ref(coro)() is coro
    coro.close()


def test_members_while_alive_and_after_finishing():
    coro = t.awaiter([Steps()], [], name="job")
    assert (coro.__name__, coro.__qualname__, coro.__module__) == ("job", "job", "quorvane_3")
    assert coro.cr_code.co_name == "awaiter" and coro.cr_code.co_firstlineno == 10
    frame = coro.cr_frame
    assert frame is coro.cr_frame and frame.f_code is coro.cr_code
    assert frame.f_back is None
    assert coro.cr_await is None and coro.cr_running is False
    coro.__module__ = 5
    del coro.__module__
    assert coro.__module__ is None
    start(coro)
    assert type(coro.cr_await).__name__ == "generator"
    finish(coro)
    for attr in ("__name__", "__qualname__", "__module__", "cr_code", "cr_frame", "cr_await"):
        assert getattr(coro, attr) is None, attr
    assert coro.cr_running is False


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [5, None, b"name", "DELETE"])
def test_name_setters_take_only_str(attr, value):
    coro = t.awaiter([], [])
    with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
        if value == "DELETE":
            delattr(coro, attr)
        else:
            setattr(coro, attr, value)
    assert getattr(coro, attr) == "awaiter"

    class Text(str):
        pass

    setattr(coro, attr, Text("renamed"))
    assert getattr(coro, attr) == "renamed"
    coro.close()


# ------------------------------------------------------ start-up and finish


@pytest.mark.parametrize(
    "qualname,name,expected",
    [
        (None, None, "coroutine 'awaiter' was never awaited"),
        (None, "renamed", "coroutine 'awaiter' was never awaited"),
        ("q" * 60, None, "coroutine '" + "q" * 50 + "' was never awaited"),
    ],
)
def test_never_awaited_warning_uses_qualname(qualname, name, expected):
    def drop():
        coro = t.awaiter([], [])
        if qualname:
            coro.__qualname__ = qualname
        if name:
            coro.__name__ = name

    assert never_awaited_warnings(drop) == [expected]


@pytest.mark.parametrize("how", ["close", "throw", "finish"])
def test_no_warning_once_closed_thrown_into_or_finished(how):
    def drop():
        coro = t.awaiter([], [])
        if how == "close":
            assert coro.close() is None
        elif how == "throw":
            with pytest.raises(KeyError):
                coro.throw(KeyError)
        else:
            assert finish(coro) == ()

    assert never_awaited_warnings(drop) == []


def test_never_awaited_warning_as_error_goes_to_unraisable(unraisable):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro = t.awaiter([], [])
        del coro
    assert len(unraisable) == 1 and unraisable[0][0] is RuntimeWarning


def test_dropping_suspended_coroutine_closes_awaited_then_body(unraisable):
    steps, log = Steps(3), []
    coro = t.awaiter([steps, Steps()], log, BaseException)
    start(coro)
    del coro  # the body catches GeneratorExit and awaits again: reported
    gc.collect()
    assert steps.closed and log == [("raised", "GeneratorExit", "")]
    assert [(e, m) for e, m, _ in unraisable] == [(RuntimeError, "coroutine ignored GeneratorExit")]
    assert type(unraisable[0][2]).__name__ == "coroutine"


def test_awaited_without_close_is_skipped(unraisable):
    log = []
    coro = t.awaiter([Plain()], log, BaseException)
    start(coro)
    assert coro.close() is None
    assert log == [("raised", "GeneratorExit", "")] and not unraisable


def test_failing_close_lookup_is_reported_and_closing_goes_on(unraisable):
    class BadCloseIterator(PlainIterator):
        @property
        def close(self):
            raise ValueError("no close today")

    class BadClose:
        def __await__(self):
            return it

    it, log = BadCloseIterator(), []
    coro = t.awaiter([BadClose()], log, BaseException)
    start(coro)
    assert coro.close() is None
    assert log == [("raised", "GeneratorExit", "")]
    assert [(e, m) for e, m, _ in unraisable] == [(ValueError, "no close today")]
    assert unraisable[0][2] is it


def test_failing_throw_lookup_is_the_result_and_delegation_goes_on():
    class BadThrowIterator(PlainIterator):
        @property
        def throw(self):
            raise ValueError("no throw today")

    class BadThrow:
        def __await__(self):
            return it

    it, log = BadThrowIterator(), []
    coro = t.awaiter([BadThrow()], log, BaseException)
    start(coro)
    with pytest.raises(ValueError, match="no throw today"):
        coro.throw(KeyError)
    assert coro.cr_await is it and log == []
    assert coro.send(None) == "plain"
    coro.close()


def test_failing_close_of_awaited_reaches_body():
    class CloseFails(PlainIterator):
        def close(self):
            raise KeyError("close")

    class Awaitable:
        def __await__(self):
            return CloseFails()

    log = []
    coro = t.awaiter([Awaitable()], log, Exception)
    start(coro)
    assert coro.close() is None  # the body caught the KeyError and returned
    assert log == [("raised", "KeyError", "'close'")]


def test_throw_argument_checks_reach_the_body():
    log = []
    coro = t.awaiter([Plain()], log, TypeError)
    start(coro)
    with pytest.raises(StopIteration):
        coro.throw(KeyError, None, 5)
    assert log == [("raised", "TypeError", "raise: arg 3 must be a traceback or None")]
    with pytest.raises(TypeError, match="throw expected at least 1 argument, got 0"):
        coro.throw()
    with pytest.raises(TypeError, match="throw expected at most 3 arguments, got 4"):
        coro.throw(1, 2, 3, 4)


# ------------------------------------------------------------- the wrapper


def test_wrapper_type():
    coro = t.awaiter([Steps(2, "done")], [])
    first, second = coro.__await__(), coro.__await__()
    kind = type(first)
    assert first is not second and kind is type(second)
    assert kind.__name__ == "coroutine_wrapper"
    assert kind.__doc__ == "A wrapper object implementing __await__ for coroutines."
    with pytest.raises(TypeError, match="^cannot instantiate type, use 'await coroutine' instead$"):
        kind()
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})
    with pytest.raises(TypeError):
        weakref.ref(first)
    assert iter(first) is first
    assert next(first) == 0 and first.send(None) == 1
    with pytest.raises(StopIteration) as stop:
        next(second)
    assert stop.value.value == (("ok", "done"),)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        next(first)
    assert first.close() is None


def test_wrapper_throw_and_close():
    log = []
    coro = t.awaiter([Plain(), Plain()], log, KeyError)
    wrapper = coro.__await__()
    assert next(wrapper) == "plain"
    assert wrapper.throw(KeyError("k")) == "plain"
    assert log == [("raised", "KeyError", "'k'")]
    assert wrapper.close() is None and coro.cr_await is None
    with pytest.raises(TypeError, match="throw expected at least 1 argument"):
        wrapper.throw()


@pytest.mark.parametrize("args", [(5,), (None,), ()], ids=["int", "None", "nothing"])
def test_await_slot_needs_a_coroutine(args):
    with pytest.raises(TypeError, match="^invalid input, expected coroutine$"):
        t.await_slot(*args)


def test_await_slot_makes_wrapper_for_finished_coroutine():
    coro = t.awaiter([], [])
    finish(coro)
    wrapper = t.await_slot(coro)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        next(wrapper)


# ---------------------------------------------------------- the await step


def raising_await(self):
    raise ValueError("inner")


LongName = type("L" + "o" * 120 + "ng", (), {"__await__": raising_await})


def await_failure(item):
    coro = t.awaiter([item], [])
    with pytest.raises(BaseException) as info:
        coro.send(None)
    return info.value


async def native_coroutine():
    return 1


@pytest.mark.parametrize(
    "returned,name",
    [(lambda: 5, "int"), (native_coroutine, "coroutine"), (lambda: t.awaiter([], []), "coroutine")],
    ids=["int", "native-coroutine", "our-coroutine"],
)
def test_await_returning_non_iterator(returned, name):
    class Awaitable:
        def __await__(self):
            return returned()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        exc = await_failure(Awaitable())
    assert type(exc) is TypeError
    assert str(exc) == f"__await__() returned non-iterator of type '{name}'"


def test_raising_await_is_chained_into_type_error():
    exc = await_failure(LongName())
    assert type(exc) is TypeError
    assert LongName.__name__[:100] in str(exc) and LongName.__name__[:101] not in str(exc)
    assert type(exc.__cause__) is ValueError and str(exc.__cause__) == "inner"


@pytest.mark.parametrize(
    "item,name", [(5, "int"), (object(), "object"), ((x for x in ()), "generator")], ids=["int", "object", "gen"]
)
def test_not_awaitable(item, name):
    exc = await_failure(item)
    assert type(exc) is TypeError and str(exc) == f"object {name} can't be used in 'await' expression"


def test_await_method_found_on_instance():
    # Without an await slot on the type, __await__ is looked up on the object.
    item = types.SimpleNamespace(__await__=lambda: iter(["from instance"]))
    coro = t.awaiter([item], [])
    assert start(coro) == "from instance"
    coro.close()


def test_coroutine_being_awaited_already():
    shared = t.awaiter([Steps()], [])
    first = t.awaiter([shared], [])
    start(first)
    second = t.awaiter([shared], [])
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        second.send(None)
    first.close()


# ----------------------------------------------------------------- asyncio


def test_asyncio_run_and_native_await():
    async def main():
        inner = t.awaiter([asyncio.sleep(0, "slept"), Steps(0, 2)], [])
        return await inner

    assert asyncio.run(main()) == (("ok", "slept"), ("ok", 2))
    assert asyncio.run(t.awaiter([asyncio.sleep(0.001, 1)], [])) == (("ok", 1),)


def test_cancelling_a_task_closes_the_chain():
    log = []

    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.create_task(t.awaiter([t.awaiter([fut], [])], log, asyncio.CancelledError))
        await asyncio.sleep(0)
        task.cancel()
        result = await task
        return fut.cancelled(), result

    cancelled, result = asyncio.run(main())
    assert cancelled and log == [("raised", "CancelledError", "")]
    assert result == (("raised", "CancelledError", ""),)
