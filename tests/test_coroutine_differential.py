"""The runtime's coroutines against native `async def` coroutines.

The same tree of awaitables is built twice, once awaited by the test module's
`awaiter` (a coroutine of the runtime's type) and once by `twin` (the same
loop as an `async def`); the same sequence of send / next / throw / close is
applied to both, and everything observable must agree.
"""
import types

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

t = pytest.importorskip("_qv_coro_testing")


async def twin(items, log, catch=None):
    for x in items:
        try:
            r = await x
        except (catch or ()) as e:
            log.append(("raised", type(e).__name__, str(e)))
        else:
            log.append(("ok", r))
    return tuple(log)


CATCH = {"none": None, "exc": Exception, "base": BaseException, "key": KeyError}


class Context:
    """What one run records: the values its awaitables received and the logs
    of every awaiter, in creation order."""

    def __init__(self):
        self.received = []
        self.logs = []
        self.coros = []
        self.top = None

    def drain(self):
        """Finishes every awaiter, so that none is left to the finaliser (an
        awaiter that catches GeneratorExit needs one close per item left)."""
        for coro in self.coros:
            for _ in range(20):
                try:
                    coro.close()
                    break
                except RuntimeError:
                    pass


class Steps:
    """__await__ is a generator: `steps` suspensions, then `ret` or a raise.
    With `absorb`, an exception thrown in (other than GeneratorExit) ends it
    with "absorbed" instead of propagating."""

    def __init__(self, ctx, tag, steps, ret, exc, absorb):
        self.ctx, self.tag, self.steps, self.ret, self.exc, self.absorb = ctx, tag, steps, ret, exc, absorb

    def __await__(self):
        for i in range(self.steps):
            try:
                got = yield (self.tag, i)
            except GeneratorExit:
                self.ctx.received.append((self.tag, "closed"))
                raise
            except BaseException as e:
                self.ctx.received.append((self.tag, "thrown", type(e).__name__))
                if self.absorb:
                    return "absorbed"
                raise
            self.ctx.received.append((self.tag, "got", got))
        if self.exc:
            raise KeyError(self.tag)
        return self.ret


class PlainIterator:
    """An iterator with no send, throw or close."""

    def __init__(self, ctx, tag, steps, ret):
        self.ctx, self.tag, self.left, self.ret, self.i = ctx, tag, steps, ret, 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.i < self.left:
            self.i += 1
            return (self.tag, "plain", self.i)
        raise StopIteration(self.ret)


class Plain:
    def __init__(self, ctx, tag, steps, ret):
        self.args = (ctx, tag, steps, ret)

    def __await__(self):
        return PlainIterator(*self.args)


class Reenter:
    """While being driven, tries to drive the top-level coroutine again."""

    def __init__(self, ctx, tag):
        self.ctx, self.tag = ctx, tag

    def __await__(self):
        top = self.ctx.top
        try:
            top.send(None)
        except Exception as e:
            self.ctx.received.append((self.tag, "reenter", type(e).__name__, str(e), top.cr_running))
        yield (self.tag, "reenter")
        return "reentered"


class NoAwait:
    pass


class NonIterator:
    def __await__(self):
        return 5


@types.coroutine
def iterable_coroutine(ctx, tag, steps):
    for i in range(steps):
        got = yield (tag, "gen", i)
        ctx.received.append((tag, "gen-got", got))
    return tag


def make_awaiter(impl, items, ctx, catch):
    log = []
    ctx.logs.append(log)
    if impl == "ours":
        coro = t.awaiter(items, log, CATCH[catch])
    else:
        coro = twin(items, log, CATCH[catch])
    ctx.coros.append(coro)
    return coro


def finished_coroutine(impl, ctx):
    coro = make_awaiter(impl, [], ctx, "none")
    try:
        coro.send(None)
    except StopIteration:
        pass
    return coro


def build(tree, inner, ctx, tag):
    kind = tree[0]
    if kind == "steps":
        return Steps(ctx, tag, *tree[1:])
    if kind == "plain":
        return Plain(ctx, tag, *tree[1:])
    if kind == "reenter":
        return Reenter(ctx, tag)
    if kind == "noawait":
        return NoAwait()
    if kind == "noniter":
        return NonIterator()
    if kind == "gen":
        return iterable_coroutine(ctx, tag, tree[1])
    if kind == "finished":
        return finished_coroutine(inner, ctx)
    if kind == "nested":
        items = [build(s, inner, ctx, f"{tag}.{i}") for i, s in enumerate(tree[1])]
        return make_awaiter(inner, items, ctx, tree[2])
    raise AssertionError(kind)


leaf = st.one_of(
    st.tuples(st.just("steps"), st.integers(0, 2), st.integers(0, 9), st.booleans(), st.booleans()),
    st.tuples(st.just("plain"), st.integers(0, 2), st.integers(0, 9)),
    st.tuples(st.just("reenter")),
    st.tuples(st.just("noawait")),
    st.tuples(st.just("noniter")),
    st.tuples(st.just("gen"), st.integers(0, 2)),
    st.tuples(st.just("finished")),
)
catches = st.sampled_from(sorted(CATCH))
item_trees = st.recursive(
    st.lists(leaf, max_size=3),
    lambda children: st.lists(
        st.one_of(leaf, st.tuples(st.just("nested"), children, catches)), max_size=3
    ),
    max_leaves=6,
)
operation = st.one_of(
    st.tuples(st.just("send"), st.sampled_from([None, None, 1, "x"])),
    st.tuples(st.just("next")),
    st.tuples(st.just("throw"), st.sampled_from(["KeyError", "ValueError('v')", "GeneratorExit"])),
    st.tuples(st.just("close")),
)


def make_exception(text):
    return {"KeyError": KeyError, "ValueError('v')": ValueError("v"), "GeneratorExit": GeneratorExit}[text]


def awaited_kind(coro):
    kind = type(coro.cr_await).__name__
    # A native coroutine awaiting one of ours delegates to its wrapper.
    return "coroutine" if kind == "coroutine_wrapper" else kind


def apply(coro, op):
    try:
        if op[0] == "send":
            value = coro.send(op[1])
        elif op[0] == "next":
            value = next(coro.__await__())
        elif op[0] == "throw":
            value = coro.throw(make_exception(op[1]))
        else:
            return ("closed", coro.close())
    except StopIteration as e:
        return ("returned", e.value)
    except BaseException as e:  # GeneratorExit included
        return ("raised", type(e).__name__, str(e))
    return ("yielded", value)


def run(impl, inner, tree, catch, ops):
    ctx = Context()
    items = [build(s, inner, ctx, str(i)) for i, s in enumerate(tree)]
    coro = make_awaiter(impl, items, ctx, catch)
    ctx.top = coro
    trace = []
    for op in ops:
        trace.append((op, apply(coro, op), awaited_kind(coro), coro.cr_running))
    trace.append(("final close", apply(coro, ("close",)), awaited_kind(coro)))
    ctx.drain()
    return trace, ctx.received, ctx.logs


@pytest.mark.parametrize(
    "impl,inner",
    [("ours", "ours"), ("ours", "native"), ("native", "ours")],
    ids=["ours-in-ours", "native-in-ours", "ours-in-native"],
)
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tree=item_trees, catch=catches, ops=st.lists(operation, max_size=8))
# Closing drives an inner awaiter that tries to drive the outer one again.
@example(
    tree=[("nested", [("reenter",), ("reenter",), ("steps", 0, 0, False, False)], "base")],
    catch="base",
    ops=[("send", None)],
)
def test_same_outcomes_as_native(impl, inner, tree, catch, ops):
    expected = run("native", "native", tree, catch, ops)
    assert run(impl, inner, tree, catch, ops) == expected


@pytest.mark.parametrize(
    "ops",
    [
        [("send", 1), ("send", None), ("send", None)],
        [("send", None), ("send", None), ("send", None), ("send", None)],
        [("throw", "ValueError('v')"), ("send", None), ("throw", "KeyError"), ("close",)],
        [("close",), ("send", None), ("throw", "KeyError")],
        [("send", None), ("throw", "GeneratorExit"), ("send", None)],
        [("next",), ("next",), ("next",), ("next",)],
    ],
)
@pytest.mark.parametrize("catch", sorted(CATCH))
def test_fixed_sequences(ops, catch):
    tree = [("steps", 1, 3, False, False), ("plain", 1, 4), ("nested", [("steps", 1, 5, True, False)], "none")]
    expected = run("native", "native", tree, catch, ops)
    assert run("ours", "ours", tree, catch, ops) == expected
