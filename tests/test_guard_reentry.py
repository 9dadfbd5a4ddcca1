"""Python code that runs inside a fast path's full check (a key's __eq__, met
by a dict lookup or a set membership test): it may free what the check is
reading, raise what must not be swallowed, change what was already
compared, or use the fast path again. Each order is signed as plain Python
signs it, and a stop request raised there ends the call."""
import builtins
import hashlib
import hmac
import os
import urllib.parse
import uuid

import pytest

from conftest import run_python
from fakes import FakeWebsockets, drive, order_params, plain_signature


@pytest.fixture
def qv(restore_globals):
    restore_globals.websockets = FakeWebsockets()
    return restore_globals



class _CollidingKey:
    """Hashes as `like`, so that looking `like` up compares with it: the
    first comparison calls `act()`; it equals `like` when `equal`. `act` may
    be given once the container holding the key has been built."""

    def __init__(self, like, act=None, equal=False):
        self.like, self.act, self.equal = like, act, equal

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        act, self.act = self.act, None
        if act is not None:
            act()
        return self.equal and other == self.like


def _dict_key_replacing(quoter, safe):
    # The quoter's attribute dict, searched for "safe", is freed by the search.
    def act():
        quoter.__dict__ = {"safe": safe}

    # More entries than the interpreter keeps on its free list of tables, so
    # that the searched table is really freed.
    key = _CollidingKey("safe")
    quoter.__dict__ = {key: None, "safe": safe, **{f"filler{i}": i for i in range(8)}}
    key.act = act


def _set_element_replacing(quoter, safe):
    # The safe set, searched for a byte, is freed with the dict that held it.
    def act():
        quoter.__dict__ = {"safe": safe}

    element = _CollidingKey(ord("a"), equal=True)
    quoter.__dict__ = {"safe": frozenset(safe - {ord("a")} | {element})}
    element.act = act


@pytest.mark.parametrize("free", [_dict_key_replacing, _set_element_replacing])
def test_quoter_freed_while_the_cache_is_checked(qv, monkeypatch, free):
    # Under the sanitizers, reading the freed dict or set is reported.
    quoter = urllib.parse.Quoter(b"/")
    free(quoter, frozenset(quoter.safe))
    monkeypatch.setitem(urllib.parse._safe_quoters, b"/", quoter.__getitem__)
    params = order_params(qv)
    assert params["signature"] == plain_signature(params)


# A module, a function of it that a guard watches, and a name the function's
# code reads that the module lacks: the guard looks it up at a full check.
WATCHED_ABSENCES = {
    "hmac": (hmac, hmac.HMAC.hexdigest),
    "urllib.parse": (urllib.parse, urllib.parse.quote),
    "uuid": (uuid, uuid.uuid4),
}


def _absent_name(module):
    owner, function = WATCHED_ABSENCES[module]
    return owner, next(n for n in function.__code__.co_names if n not in vars(owner) and not hasattr(builtins, n))


class _Stop(BaseException):
    """Neither an Exception nor an interrupt: only stop requests derive so."""


def _raise(exc):
    def act():
        raise exc

    return act


@pytest.mark.parametrize("module", WATCHED_ABSENCES)
@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit, _Stop])
def test_stop_request_inside_a_full_check_ends_the_order(qv, monkeypatch, module, stop):
    owner, absent = _absent_name(module)
    order_params(qv)
    monkeypatch.setitem(vars(owner), _CollidingKey(absent, _raise(stop)), None)
    with pytest.raises(stop):
        drive(qv.buy_market_order("a b", "secret", "x y", 0.5))
    assert len(qv.websockets.sent()) == 1  # the first order's only


def test_stop_request_inside_a_full_check_ends_signing(qv, monkeypatch):
    owner, absent = _absent_name("hmac")
    qv.sign_request("q", "k")
    monkeypatch.setitem(vars(owner), _CollidingKey(absent, _raise(KeyboardInterrupt)), None)
    with pytest.raises(KeyboardInterrupt):
        qv.sign_request("q", "k")
    assert qv.sign_request("q", "k") == hmac.new(b"k", b"q", hashlib.sha256).hexdigest()


class _Patched:
    def __init__(self, *args):
        pass

    def hexdigest(self):
        return "patched"


def test_rebinding_during_a_full_check_is_seen(qv, monkeypatch):
    # hmac.new is compared before the absent name; the rebinding comes after.
    owner, absent = _absent_name("hmac")
    qv.sign_request("q", "k")
    monkeypatch.setitem(vars(owner), _CollidingKey(absent, lambda: monkeypatch.setattr(hmac, "new", _Patched)), None)
    assert qv.sign_request("q", "k") == "patched"
    assert qv.sign_request("q", "k") == "patched"


def test_fast_path_used_inside_its_own_full_check(qv, monkeypatch):
    owner, absent = _absent_name("hmac")
    qv.sign_request("q", "k")
    inside = []
    monkeypatch.setitem(vars(owner), _CollidingKey(absent, lambda: inside.append(qv.sign_request("in", "k"))), None)
    assert qv.sign_request("q", "k") == hmac.new(b"k", b"q", hashlib.sha256).hexdigest()
    assert inside == [hmac.new(b"k", b"in", hashlib.sha256).hexdigest()]


_ORDER_WHILE_THE_OLD_QUOTER_GOES = """
import sys, urllib.parse, weakref
sys.path.insert(0, TESTS)
import quorvane_3
from fakes import FakeWebsockets, order_params, plain_signature

# The guard holds the quoter it last checked; its next full check lets go of
# it before looking at the cache again, and a callback on the quoter's death
# places an order while the cache already holds a quoter that keeps spaces.
quorvane_3.websockets = FakeWebsockets()
urllib.parse._safe_quoters[b"/"] = urllib.parse.Quoter(b"/").__getitem__
order_params(quorvane_3)
inside = []
death = weakref.ref(urllib.parse._safe_quoters[b"/"].__self__, lambda _: inside.append(order_params(quorvane_3)))
urllib.parse._safe_quoters[b"/"] = urllib.parse.Quoter(b"/ ").__getitem__
outside = order_params(quorvane_3)
assert death() is None and len(inside) == 1, "the old quoter outlived the order"
print([params["signature"] == plain_signature(params) for params in inside + [outside]])
"""


def test_order_placed_while_a_full_check_lets_the_old_quoter_go():
    # In a fresh interpreter: the guard must be armed and hold the quoter it checked.
    tests = os.path.dirname(os.path.abspath(__file__))
    done = run_python(_ORDER_WHILE_THE_OLD_QUOTER_GOES.replace("TESTS", repr(tests)))
    assert done.stdout.splitlines()[-1:] == ["[True, True]"], done.stdout + done.stderr


_STOP_WHILE_GUARDS_ARE_BUILT = """
import uuid

class Key:
    # Met when the guards look "urandom" up in uuid's namespace, at import.
    def __hash__(self):
        return hash("urandom")

    def __eq__(self, other):
        vars(uuid).pop(self)
        raise KeyboardInterrupt

vars(uuid)[Key()] = None
try:
    import quorvane_3
except KeyboardInterrupt:
    print("stopped")
else:
    print("imported")
"""


def test_stop_request_while_the_guards_are_built_ends_the_import():
    done = run_python(_STOP_WHILE_GUARDS_ARE_BUILT)
    assert done.stdout.strip() == "stopped", done.stdout + done.stderr
