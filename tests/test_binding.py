"""Argument binding of the three entries: messages and traceback records."""
import gc
import json
import weakref

import pytest

from conftest import module_records
from fakes import FakeWebsockets, drive

TAKES = "{name}() takes exactly {n} positional arguments ({k} given)"


def _fail(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return info.value


@pytest.mark.parametrize(
    "args, kwargs, given",
    [
        ((), {}, 0),
        (("a",), {}, 1),
        (("a", "b", "c"), {}, 3),
        (("a", "b", "c"), {"x": 1}, 3),      # too many positionals, keywords present
        ((), {"query_string": "a"}, 1),     # missing parameter reports its position
        ((), {"secret_key": "b"}, 0),
        (("a",), {"x": 1}, 1),
    ],
)
def test_sign_request_argument_count(qv, args, kwargs, given):
    e = _fail(qv.sign_request, *args, **kwargs)
    assert str(e) == TAKES.format(name="sign_request", n=2, k=given)
    assert module_records(e) == [("quorvane_3.sign_request", 18)]


@pytest.mark.parametrize(
    "fn, n, line",
    [("buy_market_order", 4, 34), ("listen_for_trades", 5, 79)],
)
def test_coroutine_functions_argument_count(qv, fn, n, line):
    e = _fail(getattr(qv, fn), "a")
    assert str(e) == TAKES.format(name=fn, n=n, k=1)
    assert module_records(e) == [(f"quorvane_3.{fn}", line)]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", "b"), {"query_string": "c"}, "sign_request() got multiple values for keyword argument 'query_string'"),
        (("a", "b"), {"x": 1}, "sign_request() got an unexpected keyword argument 'x'"),
        (("a",), {"secret_key": "b", "y": 2}, "sign_request() got an unexpected keyword argument 'y'"),
        (("a",), {"secret_key": "b", "query_string": "q"},
         "sign_request() got multiple values for keyword argument 'query_string'"),
    ],
)
def test_keyword_errors(qv, args, kwargs, message):
    e = _fail(qv.sign_request, *args, **kwargs)
    assert str(e) == message
    assert module_records(e) == [("quorvane_3.sign_request", 18)]


def _call_with_dict(fn, args, kwargs):
    """Calls through the C API, so that the keyword dict may hold any keys."""
    import ctypes

    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(fn, args, kwargs)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({1: 2}, "sign_request() keywords must be strings"),
        ({"query_string": "c", 1: 2}, "sign_request() got multiple values for keyword argument 'query_string'"),
        ({1: 2, "x": 3}, "sign_request() keywords must be strings"),
    ],
)
def test_non_string_keywords(qv, kwargs, message):
    with pytest.raises(TypeError) as info:
        _call_with_dict(qv.sign_request, ("a", "b"), kwargs)
    assert str(info.value) == message
    assert module_records(info.value) == [("quorvane_3.sign_request", 18)]


def test_keywords_bind_in_any_order(qv):
    by_name = qv.sign_request(secret_key="b", query_string="a")
    assert by_name == qv.sign_request("a", "b") == qv.sign_request("a", secret_key="b")


def test_equal_but_not_identical_keyword_names_bind(qv):
    key = "".join(["secret", "_key"])  # a str equal to, not identical with, the interned name
    assert qv.sign_request("a", **{key: "b"}) == qv.sign_request("a", "b")


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "b"), "Argument 'query_string' has incorrect type (expected str, got int)"),
        ((None, 5), "Argument 'secret_key' has incorrect type (expected str, got int)"),
        (("a", b"b"), "Argument 'secret_key' has incorrect type (expected str, got bytes)"),
        ((StrSub("a"), "b"), "Argument 'query_string' has incorrect type (expected str, got StrSub)"),
    ],
)
def test_type_test_has_no_record(qv, args, message):
    e = _fail(qv.sign_request, *args)
    assert str(e) == message
    assert module_records(e) == []


def test_quantity_converted_before_str_tests(qv):
    e = _fail(qv.buy_market_order, 1, 2, 3, "x")
    assert "must be real number" in str(e) or "float" in str(e)
    assert module_records(e) == [("quorvane_3.buy_market_order", 34)]
    e = _fail(qv.listen_for_trades, 1, 2, 3, None, 0)
    assert module_records(e) == [("quorvane_3.listen_for_trades", 79)]


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


@pytest.mark.parametrize("quantity", [2, 2.5, Floaty(), Indexy(), True])
def test_quantity_accepts_numbers(qv, quantity):
    c = qv.buy_market_order("a", "b", "c", quantity)
    c.close()


def test_quantity_conversion_error_propagates(qv):
    with pytest.raises(ValueError, match="no float here") as info:
        qv.buy_market_order("a", "b", "c", BadFloat())
    assert module_records(info.value) == [("quorvane_3.buy_market_order", 34)]


def test_open_trade_time_accepts_anything_at_binding(qv):
    for t in ("x", None, object(), 1.5):
        qv.listen_for_trades("a", "b", "c", 1, t).close()


@pytest.mark.parametrize("fn, n", [("buy_market_order", 4), ("listen_for_trades", 5)])
def test_none_passes_str_tests(qv, fn, n):
    args = [None, None, None, 1.0, 0][:n]
    getattr(qv, fn)(*args).close()


class EmptiesItsDict:
    """A quantity whose conversion empties the keyword dict that holds it and
    then makes new texts of the freed texts' sizes, which would take their
    memory if the entry had not kept its own references."""

    def __float__(self):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and holder.get("buy_token_quantity") is self:
                holder.clear()
        self.litter = ["".join(["#"] * n) for n in (3, 6, 7) for _ in range(8)]
        return 2.5


def fresh(text):
    return "".join(list(text))  # neither interned nor shared: the dict holds the only reference


def test_keyword_values_outlive_a_quantity_that_empties_the_dict(qv, restore_globals):
    restore_globals.websockets = ws = FakeWebsockets()
    # Passed with ** as one dict: the call's keyword dict is this dict itself.
    drive(qv.buy_market_order(**dict(api_key=fresh("key"), secret_key=fresh("secret"), symbol=fresh("BTCUSDT"),
                                     buy_token_quantity=EmptiesItsDict())))
    (text,) = ws.sent()
    params = json.loads(text)["params"]
    assert (params["apiKey"], params["symbol"], params["quantity"]) == ("key", "BTCUSDT", "2.5")

    class Opening:
        pass

    kwargs = dict(api_key=fresh("key"), secret_key=fresh("secret"), token_symbol=fresh("BTCUSDT"),
                  buy_token_quantity=EmptiesItsDict(), open_trade_time=Opening())
    opening = weakref.ref(kwargs["open_trade_time"])
    coro = qv.listen_for_trades(**kwargs)
    assert kwargs == {}
    (record,) = gc.get_referents(coro)
    assert opening() is not None and opening() in gc.get_referents(record)
    coro.close()
