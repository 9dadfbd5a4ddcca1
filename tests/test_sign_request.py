"""sign_request: HMAC-SHA256 of a query string, as hexadecimal text."""
import hashlib
import hmac

import pytest

from conftest import module_records


def reference(query, key):
    return hmac.new(key.encode(), query.encode(), hashlib.sha256).hexdigest()


# RFC 4231 test cases whose key and data are text.
@pytest.mark.parametrize(
    "key, data, digest",
    [
        ("Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"),
        ("\x0b" * 20, "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"),
    ],
)
def test_rfc4231_vectors(qv, key, data, digest):
    assert qv.sign_request(data, key) == digest


@pytest.mark.parametrize(
    "query, key",
    [
        ("", ""),
        ("apiKey=k&quantity=0.1&side=BUY&symbol=BTCUSDT&timestamp=1&type=MARKET", "s" * 64),
        ("caf\u00e9=1", "cl\u00e9"),
        ("\U0001f600", "k"),
        ("a" * 10000, "k" * 200),
    ],
)
def test_matches_standard_library(qv, query, key):
    result = qv.sign_request(query, key)
    assert type(result) is str and len(result) == 64
    assert result == reference(query, key)


def test_non_ascii_is_signed_as_utf8(qv):
    assert qv.sign_request("\u00e9", "k") == hmac.new(b"k", b"\xc3\xa9", hashlib.sha256).hexdigest()


@pytest.mark.parametrize(
    "query, key, line",
    [(None, "k", 19), ("q", None, 20), (None, None, 19)],
)
def test_none_arguments(qv, query, key, line):
    with pytest.raises(AttributeError) as info:
        qv.sign_request(query, key)
    assert str(info.value) == "'NoneType' object has no attribute 'encode'"
    assert module_records(info.value) == [("quorvane_3.sign_request", line)]


@pytest.mark.parametrize("query, key, line", [("\ud800", "k", 19), ("q", "\udfff", 20)])
def test_lone_surrogates(qv, query, key, line):
    with pytest.raises(UnicodeEncodeError) as info:
        qv.sign_request(query, key)
    assert module_records(info.value) == [("quorvane_3.sign_request", line)]


def test_rebinding_hashlib_changes_the_digest(restore_globals):
    qv = restore_globals

    class OtherHashlib:
        sha256 = staticmethod(hashlib.sha512)

    qv.hashlib = OtherHashlib
    assert qv.sign_request("q", "k") == hmac.new(b"k", b"q", hashlib.sha512).hexdigest()
    qv.hashlib = hashlib
    assert qv.sign_request("q", "k") == reference("q", "k")


def test_rebinding_hmac_and_result_passes_unchecked(restore_globals):
    qv = restore_globals
    calls = []

    class FakeHmac:
        @staticmethod
        def new(key, msg, digestmod):
            calls.append((key, msg, digestmod))

            class R:
                def hexdigest(self):
                    return 42

            return R()

    qv.hmac = FakeHmac
    assert qv.sign_request("q", "k") == 42
    assert calls == [(b"k", b"q", hashlib.sha256)]


@pytest.mark.parametrize("name", ["hmac", "hashlib"])
def test_missing_global_is_name_error(restore_globals, name):
    qv = restore_globals
    delattr(qv, name)
    with pytest.raises(NameError) as info:
        qv.sign_request("q", "k")
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_records(info.value) == [("quorvane_3.sign_request", 21)]


def test_global_found_in_builtins(restore_globals):
    import builtins

    qv = restore_globals
    del qv.hmac
    builtins.hmac = hmac
    try:
        assert qv.sign_request("q", "k") == reference("q", "k")
    finally:
        del builtins.hmac


def test_hexdigest_failure_is_line_22(restore_globals):
    qv = restore_globals

    class NoHex:
        @staticmethod
        def new(*a):
            return object()

    qv.hmac = NoHex
    with pytest.raises(AttributeError) as info:
        qv.sign_request("q", "k")
    assert module_records(info.value) == [("quorvane_3.sign_request", 22)]
