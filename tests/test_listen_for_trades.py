"""listen_for_trades with a fake clock and a recording buy_market_order.

The trigger prints through the C runtime's stdout, so each case runs in a
child process whose stdout is read once it has exited."""
import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import run_python
from fakes import poll_until_a_signal_at_pass

CHILD = textwrap.dedent("""
    import json, sys
    import quorvane_3 as qv

    class ClockDone(Exception):
        pass

    readings = iter({readings!r})

    class Clock:
        @staticmethod
        def time():
            try:
                return next(readings)
            except StopIteration:
                raise ClockDone from None

    qv.time = Clock
    orders = []

    class Done:
        def __await__(self):
            return None
            yield

    def recording_order(*args):
        orders.append([type(a).__name__ if a is not None else None for a in args] + list(args))
        return Done()

    qv.buy_market_order = recording_order
    {setup}
    coro = qv.listen_for_trades("key", "secret", {symbol!r}, {quantity!r}, {opening!r})
    report = {{"orders": orders}}
    try:
        coro.send(None)
    except BaseException as e:
        tb = e.__traceback__
        recs = []
        while tb:
            if tb.tb_frame.f_code.co_filename == "quorvane_3.py":
                recs.append([tb.tb_frame.f_code.co_name, tb.tb_lineno])
            tb = tb.tb_next
        report.update(error=type(e).__name__, message=str(e), records=recs)
    sys.stderr.write("REPORT" + json.dumps(report) + "\\n")
""")


def run_trigger(readings, opening, *, symbol="btcusdt", quantity=0.1, setup=""):
    code = CHILD.format(readings=readings, opening=opening, symbol=symbol, quantity=quantity, setup=setup)
    r = run_python(code)
    report_line = [l for l in r.stderr.splitlines() if l.startswith("REPORT")]
    assert report_line, r.stderr
    return r.stdout.splitlines(), json.loads(report_line[0][len("REPORT"):])


def test_countdown_then_order_per_pass():
    # opening at 10.000 s; clock readings in seconds
    lines, report = run_trigger([9.0, 9.5, 9.9, 9.901, 9.95, 9.96, 9.97, 10.2], 10000)
    assert lines == [
        "Time from opening:1000",
        "Time from opening:500",
        "Time from opening:100",      # exactly 100: no order
        "Time from opening:99",       # 99: order (start 9.95, end 9.96)
        "Buy order took 10 ms",
        "Time from opening:30",       # every later pass orders again
    ]
    assert report["error"] == "ClockDone"
    assert [o[:4] for o in report["orders"]] == [["str", "str", "str", "float"]] * 2
    assert report["orders"][0][4:] == ["key", "secret", "BTCUSDT", 0.1]


@pytest.mark.parametrize(
    "opening, first",
    [
        (10000.9, "Time from opening:1000"),   # float truncated
        ("10000", "Time from opening:1000"),   # digit string parsed
        (True, "Time from opening:-8999"),
    ],
)
def test_opening_time_conversion(opening, first):
    lines, _ = run_trigger([9.0], opening)
    assert lines[0] == first


@pytest.mark.parametrize("opening, exc", [("1.5", "ValueError"), (None, "TypeError"), ("soon", "ValueError")])
def test_bad_opening_time_fails_at_80_before_printing(opening, exc):
    lines, report = run_trigger([9.0], opening)
    assert lines == []
    assert report["error"] == exc
    assert report["records"] == [["listen_for_trades", 80]]
    assert report["orders"] == []


def test_clock_readings_truncate_toward_zero():
    lines, _ = run_trigger([0.9999], 0)
    assert lines[0] == "Time from opening:-999"


def test_int_clock_gives_whole_milliseconds():
    lines, _ = run_trigger([5], 7000)
    assert lines[0] == "Time from opening:2000"


def test_symbol_upper_cased_for_every_order():
    _, report = run_trigger([1.0, 1.0, 1.0, 1.0, 1.0, 1.0], 0, symbol="eth\u00dfusd")
    assert [o[6] for o in report["orders"]] == ["ETHSSUSD", "ETHSSUSD"]


def test_none_symbol_fails_at_87_after_time_line():
    lines, report = run_trigger([1.0, 1.0], 0, symbol=None)
    assert lines == ["Time from opening:-1000"]
    assert report["error"] == "AttributeError"
    assert report["records"] == [["listen_for_trades", 87]]
    assert report["orders"] == []


def test_failing_order_ends_without_latency_line():
    setup = textwrap.dedent("""
        def failing(*a):
            raise ConnectionError("down")
        qv.buy_market_order = failing
    """)
    lines, report = run_trigger([1.0, 1.0, 1.0], 0, setup=setup)
    assert lines == ["Time from opening:-1000"]
    assert report["error"] == "ConnectionError"
    assert report["records"] == [["listen_for_trades", 87]]


def test_rebinding_and_deleting_buy_market_order_between_orders():
    setup = textwrap.dedent("""
        second = []
        def first_order(*a):
            orders.append("first")
            def replacement(*a):
                orders.append("second")
                del qv.buy_market_order
                return Done()
            qv.buy_market_order = replacement
            return Done()
        qv.buy_market_order = first_order
    """)
    lines, report = run_trigger([1.0] * 10, 0, setup=setup)
    assert report["orders"] == ["first", "second"]
    assert report["error"] == "NameError" and report["message"] == "name 'buy_market_order' is not defined"
    assert report["records"] == [["listen_for_trades", 87]]
    assert lines.count("Buy order took 0 ms") == 2


def test_order_result_value_is_discarded():
    setup = textwrap.dedent("""
        class Valued:
            def __await__(self):
                return "ignored"
                yield
        qv.buy_market_order = lambda *a: (orders.append(1), Valued())[1]
    """)
    lines, report = run_trigger([1.0, 1.0, 1.0], 0, setup=setup)
    assert lines[:2] == ["Time from opening:-1000", "Buy order took 0 ms"]


@pytest.mark.parametrize(
    "setup, line",
    [
        ("del qv.time", 82),
        ("qv.time = type('C', (), {'time': staticmethod(lambda: 'x')})", 82),
    ],
)
def test_clock_failures(setup, line):
    lines, report = run_trigger([1.0], 0, setup=setup)
    assert report["records"] == [["listen_for_trades", line], ["quorvane_3.get_current_timestamp", 70]]


def test_quantity_passed_on_as_float():
    _, report = run_trigger([1.0, 1.0, 1.0], 0, quantity=1)
    assert report["orders"][0][3] == "float" and report["orders"][0][7] == 1.0


def test_sigint_interrupts_polling(tmp_path):
    code = textwrap.dedent("""
        import asyncio, sys, time
        import quorvane_3 as qv
        sys.stderr.write("ready\\n"); sys.stderr.flush()
        try:
            asyncio.run(qv.listen_for_trades("k", "s", "x", 1.0, int(time.time() * 1000) + 3_600_000))
        except KeyboardInterrupt as e:
            tb = e.__traceback__
            while tb.tb_next: tb = tb.tb_next
            sys.stderr.write("interrupted %s %d\\n" % (tb.tb_frame.f_code.co_name, tb.tb_lineno))
    """)
    lines = tmp_path / "lines"
    with open(lines, "wb") as out_file:
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=out_file,
                                stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stderr.readline().strip() == "ready"
        while proc.poll() is None and lines.stat().st_size == 0:
            time.sleep(0.01)  # until the polling loop has written its first lines
        proc.send_signal(signal.SIGINT)
        _, out = proc.communicate(timeout=300)  # a child that does not stop fails the test, not hangs it
        assert proc.returncode == 0
    finally:
        proc.kill()
    assert "interrupted listen_for_trades 85" in out


# The native pass, driven by the test-only internals with a scripted clock.

@pytest.fixture
def qi():
    return pytest.importorskip("_qv_internals")


@pytest.mark.parametrize("opening, readings, outcome, lefts", [
    (1000, (0, 899, 900, 901), (1, 99), [1000, 101, 100, 99]),  # exactly 100 places no order
    (1000, (2000,), (1, -1000), [-1000]),                        # opening already past
    (1000, (0, 1), (0, None), [1000, 999]),                      # the clock hands over
    (-2**63, (1,), (0, None), []),                               # time left outside C's range
])
def test_native_pass(qi, capfd, opening, readings, outcome, lefts):
    assert qi.poll(opening, readings) == outcome
    assert capfd.readouterr().out.splitlines() == [f"Time from opening:{n}" for n in lefts]


def test_native_pass_acts_on_a_signal_in_the_same_pass(qi, capfd):
    poll_until_a_signal_at_pass(qi, 2)
    assert qi.clock_reads() == 3
    assert len(capfd.readouterr().out.splitlines()) == 3


def test_native_pass_lets_other_threads_run(qi):
    # The worker can see that polling has begun, and end it, only if the
    # polling thread hands the interpreter over; otherwise the child polls
    # until the timeout.
    code = textwrap.dedent("""
        import sys, threading, time, _qv_internals as qi
        def worker():
            while qi.clock_reads() == 0:
                time.sleep(0.001)
            qi.release_clock()
        threading.Thread(target=worker).start()
        sys.stderr.write(repr(qi.poll(10**6, (0,), hold=True)))
    """)
    r = subprocess.run([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       text=True, timeout=300)
    assert r.returncode == 0 and r.stderr == "(1, 0)", r.stderr


def test_general_pass_lets_other_threads_run():
    # A clock written in C keeps the general pass out of the eval loop too;
    # the worker stops the polling through a signal once the clock has moved.
    code = textwrap.dedent("""
        import itertools, operator, os, signal, sys, threading, time, types
        import quorvane_3 as qv
        ticks = itertools.repeat(0.0, 10**12)
        qv.time = types.SimpleNamespace(time=ticks.__next__)
        def stop(*args):
            raise KeyboardInterrupt
        signal.signal(signal.SIGUSR1, stop)
        def worker():
            while operator.length_hint(ticks) == 10**12:
                time.sleep(0.001)
            os.kill(os.getpid(), signal.SIGUSR1)
        threading.Thread(target=worker).start()
        try:
            qv.listen_for_trades("k", "s", "x", 1.0, 10**9).send(None)
        except KeyboardInterrupt:
            sys.stderr.write("stopped")
    """)
    r = subprocess.run([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       text=True, timeout=300)
    assert r.returncode == 0 and r.stderr == "stopped", r.stderr
