"""Import, namespace, re-import and start-up failures of the module."""
import builtins
import collections.abc
import json as std_json
import sys
import textwrap

import pytest

from conftest import run_python


def test_namespace_after_import(qv):
    import configparser
    import hashlib
    import hmac
    import time
    import urllib.parse
    import uuid

    import ujson
    import websockets

    ns = vars(qv)
    assert ns["json"] is ujson and ns["json"] is not std_json
    assert ns["hmac"] is hmac and ns["hashlib"] is hashlib
    assert ns["ConfigParser"] is configparser.ConfigParser
    assert ns["websockets"] is websockets and ns["time"] is time and ns["uuid"] is uuid
    assert ns["urllib"] is urllib and ns["urllib"].parse is urllib.parse
    assert ns["__test__"] == {} and type(ns["__test__"]) is dict
    assert ns["__builtins__"] is builtins
    assert qv.__doc__ is None
    for hidden in ("WEBSOCKET_API_URL", "get_current_timestamp", "optimized_print"):
        assert hidden not in ns
    assert not any("wss://" in repr(v) for v in ns.values() if isinstance(v, str))


@pytest.mark.parametrize("name", ["sign_request", "buy_market_order", "listen_for_trades"])
def test_functions_are_builtins_without_docs(qv, name):
    import inspect
    import types

    fn = getattr(qv, name)
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__module__ == "quorvane_3" and fn.__name__ == name
    assert fn.__doc__ is None and fn.__text_signature__ is None
    assert fn.__self__ is None
    assert not inspect.iscoroutinefunction(fn)


def test_spec_attributes_copied(qv):
    spec = qv.__spec__
    assert qv.__loader__ is spec.loader
    assert qv.__file__ == spec.origin
    assert qv.__package__ == spec.parent
    assert not hasattr(qv, "__path__")


def test_reimport_yields_same_module_without_rerunning(qv):
    test_dict = qv.__test__
    fn = qv.sign_request
    spec = qv.__spec__  # the import system gives the module the spec it found again: put back after
    qv.json = "rebound"  # a rerun of the module statements would undo this
    try:
        del sys.modules["quorvane_3"]
        import quorvane_3 as again

        assert again is qv
        assert sys.modules["quorvane_3"] is qv
        assert again.__test__ is test_dict and again.sign_request is fn
        assert again.json == "rebound"
    finally:
        import ujson

        qv.json = ujson
        qv.__spec__ = spec
        sys.modules["quorvane_3"] = qv


def test_sys_modules_entry_made_by_module_itself():
    # Loading through the extension loader directly: nobody but the module
    # puts it into sys.modules.
    r = run_python(textwrap.dedent("""
        import importlib.machinery, importlib.util, sys
        spec = importlib.util.find_spec("quorvane_3")
        mod = importlib.util.module_from_spec(spec)
        assert "quorvane_3" not in sys.modules
        spec.loader.exec_module(mod)
        assert sys.modules["quorvane_3"] is mod
        print("ok")
    """))
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_second_interpreter_is_refused():
    r = run_python(textwrap.dedent("""
        import quorvane_3, _xxsubinterpreters as interps
        interp = interps.create()
        try:
            interps.run_string(interp, "import quorvane_3")
        except Exception as e:
            print(type(e).__name__, e)
    """))
    assert r.returncode == 0, r.stderr
    assert "ImportError" in r.stdout
    assert ("Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in r.stdout


@pytest.mark.parametrize("missing, line", [("ujson", 2), ("websockets", 7)])
def test_import_fails_without_dependency(missing, line):
    r = run_python(textwrap.dedent(f"""
        import sys, traceback
        sys.modules[{missing!r}] = None   # as if not installed
        try:
            import quorvane_3
        except ImportError as e:
            tb = e.__traceback__
            entries = []
            while tb:
                entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
                tb = tb.tb_next
            print(type(e).__name__, entries[-1])
            del sys.modules[{missing!r}]
            # a failed start-up runs again on the next attempt
            import quorvane_3
            print("second", quorvane_3.json.__name__)
    """))
    assert r.returncode == 0, r.stderr
    first, second = r.stdout.strip().splitlines()
    assert first == f"ModuleNotFoundError ('init quorvane_3', {line})"
    assert second == "second ujson"


def test_missing_configparser_name_is_import_error():
    r = run_python(textwrap.dedent("""
        import configparser
        del configparser.ConfigParser
        try:
            import quorvane_3
        except ImportError as e:
            tb = e.__traceback__
            while tb.tb_next: tb = tb.tb_next
            print(e, tb.tb_frame.f_code.co_name, tb.tb_lineno)
    """))
    assert r.stdout.strip() == "cannot import name ConfigParser init quorvane_3 6", r.stderr


def test_coroutines_are_abc_coroutines(qv):
    c = qv.buy_market_order("k", "s", "BTC", 1.0)
    try:
        assert isinstance(c, collections.abc.Coroutine)
        assert type(c).__name__ == "coroutine"
        assert type(c) is not type((lambda: None).__code__) and not asyncio_native(c)
    finally:
        c.close()


def asyncio_native(obj):
    import types

    return isinstance(obj, types.CoroutineType)
