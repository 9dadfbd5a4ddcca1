"""The trigger's clock and console writer, reached through a test-only module."""
import os
import subprocess
import sys

import pytest

from conftest import module_records


@pytest.mark.parametrize(
    "text, expected",
    [
        ("plain", b"plain\n"),
        ("before\x00after", b"before\n"),
        ("caf\u00e9 \u20ac \U0001f600", "caf\u00e9 \u20ac \U0001f600\n".encode("utf-8")),
        ("", b"\n"),
    ],
)
def test_console_line_bytes(text, expected):
    proc = subprocess.run(
        [sys.executable, "-c", f"import _qv_internals as qi\nqi.optimized_print({text!r})"],
        capture_output=True, env=os.environ)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected


@pytest.fixture
def qi():
    return pytest.importorskip("_qv_internals")


def test_lone_surrogate_fails_at_75(qi):
    with pytest.raises(UnicodeEncodeError) as info:
        qi.optimized_print("\ud800")
    assert module_records(info.value) == [("quorvane_3.optimized_print", 75)]


class EncodesTo:
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        assert encoding == "utf-8"
        return self.result


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "result, message, line",
    [
        (None, "expected bytes, NoneType found", 76),
        ("text", "Expected bytes, got str", 75),
        (BytesSub(b"x"), "Expected bytes, got BytesSub", 75),
    ],
)
def test_encode_result_type_checked(qi, result, message, line):
    with pytest.raises(TypeError) as info:
        qi.optimized_print(EncodesTo(result))
    assert str(info.value) == message
    assert module_records(info.value) == [("quorvane_3.optimized_print", line)]


def test_timestamp_is_wall_clock_ms(qi):
    import time

    before = int(time.time() * 1000)
    now = qi.get_current_timestamp()
    after = int(time.time() * 1000)
    assert type(now) is int and before <= now <= after


@pytest.mark.parametrize("seconds, expected", [(0.9999, 999), (5, 5000), (-0.0015, -1), (1.5e9, 1_500_000_000_000)])
def test_timestamp_from_rebound_clock(qi, restore_globals, seconds, expected):
    restore_globals.time = type("Clock", (), {"time": staticmethod(lambda: seconds)})
    assert qi.get_current_timestamp() == expected


def test_timestamp_without_time_is_name_error(qi, restore_globals):
    del restore_globals.time
    with pytest.raises(NameError, match="name 'time' is not defined") as info:
        qi.get_current_timestamp()
    assert module_records(info.value) == [("quorvane_3.get_current_timestamp", 70)]
