import atexit
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

# The host's one-host-per-account lock lives in the user's runtime folder:
# every host a test starts takes it in a folder of the test run's instead.
# Likewise a run given no --log writes its log into the user's state folder:
# here into the test run's.
_RUNTIME = tempfile.mkdtemp(prefix="quorvane-test-runtime-")
_STATE = tempfile.mkdtemp(prefix="quorvane-test-state-")
os.environ["XDG_RUNTIME_DIR"] = _RUNTIME
os.environ["XDG_STATE_HOME"] = _STATE
atexit.register(shutil.rmtree, _RUNTIME, True)
atexit.register(shutil.rmtree, _STATE, True)

# Tests stop hosts and the module with SIGINT, as Ctrl-C does. A run started in
# the background (`make test &`, nohup) has it ignored, which every child would
# inherit and keep: it is taken back here, and children start with the default.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def records(exc):
    """(function name, line) of every traceback entry of an exception."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        out.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def module_records(exc):
    """The entries that the module added (its code objects carry its file name)."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "quorvane_3.py":
            out.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out


def run_python(code, *, env=None, timeout=60, **kwargs):
    """Runs code in a fresh interpreter of this environment."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        **kwargs,
    )


@pytest.fixture
def qv():
    import quorvane_3

    return quorvane_3


@pytest.fixture
def restore_globals(qv):
    """Undoes rebinding of module globals made by a test."""
    saved = dict(vars(qv))
    yield qv
    for name in list(vars(qv)):
        if name not in saved:
            delattr(qv, name)
    for name, value in saved.items():
        if vars(qv).get(name, object()) is not value:
            setattr(qv, name, value)


# No deadlines: the suite also runs under the sanitizers on busy machines,
# where one example can take many times its usual time. Example counts are
# bounded per test instead.
from hypothesis import settings as _hypothesis_settings  # noqa: E402

_hypothesis_settings.register_profile("quorvane", deadline=None)
_hypothesis_settings.load_profile("quorvane")


# Parallel workers (pytest -n) each collect the suite and must find the same
# test names. A parameter holding a request id drawn at import (uuid4) would
# name the test differently in each worker: the id is left out of the name.
_UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")


def pytest_make_parametrize_id(config, val, argname):
    if isinstance(val, str) and _UUID.search(val):
        return _UUID.sub("<uuid>", val)
    return None


# The sanitizer run (QUORVANE_SANITIZED=1, `make test-asan`) is there for the
# module's C++. A test marked python_side tests the Python around it: the
# host, the rehearsal tools, the packages and the documents. When such a test
# reaches the module at all, it is as the host's order sender in a child
# process, which the module's own tests and the real-module runs of
# test_host_run cover under the sanitizers; it runs once, in the ordinary run.
# Unmarked tests run in both, so a new test is sanitized unless it says not.
def pytest_configure(config):
    config.addinivalue_line("markers", "python_side: tests the Python around the module; left out of the sanitizer run")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("QUORVANE_SANITIZED") != "1":
        return
    left_out = [item for item in items if item.get_closest_marker("python_side")]
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = [item for item in items if not item.get_closest_marker("python_side")]
