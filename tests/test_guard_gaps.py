"""Changes that a fast path's guard must see although no watched dict's
version moves, and lookups that fail while a guard checks: each order is
signed as plain Python signs it, with the fast paths and without them."""
import builtins
import hashlib
import hmac
import types
import urllib.parse
import uuid

import pytest

from fakes import FakeWebsockets, order_params, plain_signature

qi = pytest.importorskip("_qv_internals")

WAYS = ["fast", "general"]


def _wrapped(module):
    """A stand-in holding the same functions: the module's guards fail on it,
    so the order takes the general path, with the same results."""
    return types.SimpleNamespace(**{k: getattr(module, k) for k in dir(module) if not k.startswith("__")})


def _take_general_path(qv):
    qv.uuid, qv.hmac = _wrapped(uuid), _wrapped(hmac)
    qv.urllib = types.SimpleNamespace(parse=_wrapped(urllib.parse))


@pytest.fixture
def qv(restore_globals):
    # Bound once: a later write to the namespace would make the guards check
    # everything, and hide what only their quick check can see.
    restore_globals.websockets = FakeWebsockets()
    return restore_globals



class _PlusQuoter(urllib.parse.Quoter):
    def __missing__(self, b):
        text = "+" if b == ord(" ") else super().__missing__(b)
        self[b] = text
        return text


# Ways to change what the cached quoter for safe="/" writes for a space
# without writing to any dict: its class, or its attribute dict as a whole.
QUOTER_REPLACEMENTS = {
    "__class__": lambda mp, quoter: mp.setattr(quoter, "__class__", _PlusQuoter),
    "__dict__": lambda mp, quoter: mp.setattr(quoter, "__dict__", {"safe": quoter.safe | {ord(" ")}}),
}


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("replace", QUOTER_REPLACEMENTS)
def test_quoter_replaced_without_a_dict_write(qv, monkeypatch, replace, way):
    # A quoter that has not quoted a space yet, taken by the guard's full check.
    quoter = urllib.parse.Quoter(b"/")
    monkeypatch.setitem(urllib.parse._safe_quoters, b"/", quoter.__getitem__)
    order_params(qv)
    if way == "general":
        _take_general_path(qv)
    QUOTER_REPLACEMENTS[replace](monkeypatch, quoter)
    params = order_params(qv)
    assert urllib.parse.quote("a b") != "a%20b"
    assert params["signature"] == plain_signature(params)


class _UncomparableKey:
    """Hashes as `name`; a lookup of `name` that meets it fails."""

    def __init__(self, name):
        self.hash = hash(name)

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        raise RuntimeError("not comparable")


# A module and a function of it that a guard watches: the guard watches the
# names in the function's code that the module lacks as absent there.
WATCHED_ABSENCES = {
    "hmac": (hmac, hmac.HMAC.hexdigest),
    "urllib.parse": (urllib.parse, urllib.parse.quote),
    "uuid": (uuid, uuid.uuid4),
}


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("module", WATCHED_ABSENCES)
def test_lookup_failing_in_a_full_check(qv, monkeypatch, module, way):
    owner, function = WATCHED_ABSENCES[module]
    absent = next(n for n in function.__code__.co_names if n not in vars(owner) and not hasattr(builtins, n))
    order_params(qv)
    qv.sign_request("q", "k")
    if way == "general":
        _take_general_path(qv)
    # The module's dict is written, so the next use checks every name again.
    monkeypatch.setitem(vars(owner), _UncomparableKey(absent), None)
    params = order_params(qv)
    assert params["signature"] == plain_signature(params)
    assert qv.sign_request("a b", "k") == hmac.new(b"k", b"a b", hashlib.sha256).hexdigest()


def test_guards_fit_their_capacities():
    # The quoter cache holds a quoter, so that its dicts are watched too.
    urllib.parse.quote(" ")
    holds = qi.fast_paths()
    assert qi.guard_overflows() == dict.fromkeys(holds)
    assert all(holds.values())
