"""One measurement in a fresh interpreter: ``python bench/worker.py OP SIDE [options]``.

OP is one of poll, sign, order, resume, import, loopback; SIDE is ``module``
(the extension module ``quorvane_3``) or ``script`` (bench/script.py, the
same program in plain Python). The floors are separate C programs that
run.py starts itself.

The worker prints one JSON object on its standard output, at least
``{"ns_per_op": ...}``. Everything the program under test writes to
standard output (the C runtime's stdout and Python's sys.stdout) goes to
/dev/null, or to the file given with --out for the polling pass.
"""

import argparse
import json
import os
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))

# The inputs shared with the floor programs: a 64-character key and a
# 149-byte query string.
SECRET_KEY = "NhqPtmdSJYdKjVHjA7PZj4Mge3R5YNiP1e3UZjInClVN65XAbvqqM6A7H5fATj0j"
API_KEY = "vmPUZE6mv9SD5VNHk4HlWFsOr6aKE2zvsw0MuIgwCIPy6utIco14y7Ju91duEh8A"
QUERY = ("apiKey=" + API_KEY + "&quantity=0.5&side=BUY&symbol=QRVTOKENUSDT"
         "&timestamp=1765100000000&type=MARKET")
QUERY_DIGEST = "05d5209a24a86097c80e21b4b9533a815657b8aaea0c0d4e29badb48f237d6c7"
SYMBOL = "QRVTOKENUSDT"
QUANTITY = 0.5
# An accepted order's reply, in the form the loopback exchange sends.
REPLY = ('{"id": "7d0c3a52-3f4e-4b7e-9a53-8d9f6a1c2b3d", "status": 200, "result": '
         '{"symbol": "QRVTOKENUSDT", "orderId": 1, "transactTime": 1765100000123, "side": "BUY", '
         '"type": "MARKET", "status": "FILLED", "origQty": "0.5", "executedQty": "0.5", '
         '"fills": [{"price": "1.00", "qty": "0.5", "quoteQty": "0.500"}]}}')


class Stop(Exception):
    """Raised from the timer's signal handler (or the backstop) to end a run."""


# ---------------------------------------------------------------------------
# Set-up shared by the operations


def redirect_stdout(path):
    """Points descriptor 1 at `path`; returns a descriptor for the result."""
    result_fd = os.dup(1)
    sys.stdout.flush()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.dup2(fd, 1)
    os.close(fd)
    return result_fd


def report(result_fd, **fields):
    os.write(result_fd, (json.dumps(fields) + "\n").encode())


def load_side(side):
    """Imports the program for `side` the way a user would, by name."""
    import importlib

    if side == "module":
        return importlib.import_module("quorvane_3")
    if side == "script":
        if BENCH_DIR not in sys.path:
            sys.path.insert(0, BENCH_DIR)
        return importlib.import_module("script")
    raise SystemExit(f"unknown side {side!r}")


def flush_c_stdout():
    import ctypes

    ctypes.CDLL(None).fflush(None)


def timed_loop(fn, seconds, min_n=100, batches=3):
    """ns per op of fn(n), which runs n operations: n is grown until one call
    takes a fifth of the budget, then `batches` calls share the budget and
    the median batch counts (a burst of other load spoils one batch, not the
    figure)."""
    n = min_n
    while True:
        t0 = time.perf_counter_ns()
        fn(n)
        elapsed = time.perf_counter_ns() - t0
        if elapsed >= seconds * 1e9 * 0.2 or n >= 1 << 30:
            break
        n *= 4
    n = max(1, int(n * seconds * 1e9 / batches / max(elapsed, 1)))
    per_op = []
    for _ in range(batches):
        t0 = time.perf_counter_ns()
        fn(n)
        per_op.append((time.perf_counter_ns() - t0) / n)
    per_op.sort()
    return per_op[len(per_op) // 2], n * batches


# Awaitables built on C objects, so that both sides pay the same small cost
# for the stand-ins: an asyncio future that is already done finishes an
# await at once with its result; itertools.repeat(None) suspends on every
# step, for ever.


def done_future(loop, value):
    import asyncio

    fut = asyncio.Future(loop=loop)
    fut.set_result(value)
    return fut


class SuspendForever:
    def __await__(self):
        import itertools

        return itertools.repeat(None)


class FakeConnection:
    """The connection: send and recv finish at once (or recv never does)."""

    def __init__(self, sent, received, recv_forever=False):
        self._sent = sent
        self._received = received
        self._recv_forever = recv_forever
        self.last_sent = None

    def send(self, text):
        self.last_sent = text
        return self._sent

    def recv(self):
        if self._recv_forever:
            return SuspendForever()
        return self._received


class FakeManager:
    def __init__(self, entered, exited):
        self._entered = entered
        self._exited = exited

    def __aenter__(self):
        return self._entered

    def __aexit__(self, exc_type, exc, tb):
        return self._exited


class FakeWebsockets:
    """Stands in for the websockets package: connect() hands out the same manager."""

    def __init__(self, recv_forever=False):
        import asyncio

        self.loop = asyncio.new_event_loop()
        self.connection = FakeConnection(done_future(self.loop, None), done_future(self.loop, REPLY),
                                         recv_forever)
        self.manager = FakeManager(done_future(self.loop, self.connection), done_future(self.loop, None))
        self.urls = 0

    def connect(self, url):
        self.urls += 1
        return self.manager


def check_request(text):
    """The request that an order sent: the fields and a correct signature."""
    import hashlib
    import hmac
    import urllib.parse

    doc = json.loads(text)
    params = doc["params"]
    assert doc["method"] == "order.place" and list(params) == [
        "symbol", "side", "type", "quantity", "timestamp", "apiKey", "signature"], doc
    signed = "&".join(f"{k}={urllib.parse.quote(str(v))}" for k, v in sorted(params.items()) if k != "signature")
    expected = hmac.new(SECRET_KEY.encode(), signed.encode(), hashlib.sha256).hexdigest()
    assert params["signature"] == expected, (params, expected)
    assert params["quantity"] == "0.5" and params["symbol"] == SYMBOL, params


# ---------------------------------------------------------------------------
# Operations


def op_poll(side, args):
    """Passes of listen_for_trades before the opening, for a fixed wall time.

    The opening lies far enough ahead that no pass reaches it; a real-time
    interval timer raises Stop from its Python handler (both sides act on
    pending signals on every pass). Every pass writes one line to the file,
    so the line count is the number of passes. As a backstop, should the
    signal not be acted on, the opening comes 3 s after the timer and the
    order that it starts raises Stop instead.
    """
    import signal

    result_fd = redirect_stdout(args.out)
    prog = load_side(side)
    stopped_by = []

    def on_alarm(signum, frame):
        stopped_by.append("signal")
        raise Stop()

    def backstop(*a):
        stopped_by.append("backstop")
        raise Stop()

    prog.buy_market_order = backstop
    signal.signal(signal.SIGALRM, on_alarm)
    opening = int(time.time() * 1000) + int(args.seconds * 1000) + 3000
    coro = prog.listen_for_trades(API_KEY, SECRET_KEY, SYMBOL.lower(), QUANTITY, opening)
    signal.setitimer(signal.ITIMER_REAL, args.seconds)
    t0 = time.perf_counter_ns()
    try:
        coro.send(None)
    except Stop:
        pass
    t1 = time.perf_counter_ns()
    signal.setitimer(signal.ITIMER_REAL, 0)
    sys.stdout.flush()
    flush_c_stdout()
    with open(args.out, "rb") as fh:
        first = fh.readline()
        fh.seek(0)
        lines = 0
        while True:
            chunk = fh.read(1 << 22)
            if not chunk:
                break
            lines += chunk.count(b"\n")
    os.unlink(args.out)
    assert first.startswith(b"Time from opening:"), first[:60]
    report(result_fd, ns_per_op=(t1 - t0) / max(lines, 1), ops=lines, stopped_by=stopped_by[:1],
           file=getattr(prog, "__file__", None))


def op_sign(side, args):
    result_fd = redirect_stdout(os.devnull)
    prog = load_side(side)
    sign_request = prog.sign_request
    assert sign_request(QUERY, SECRET_KEY) == QUERY_DIGEST

    def run(n):
        q, k = QUERY, SECRET_KEY
        for _ in range(n):
            sign_request(q, k)

    ns, n = timed_loop(run, args.seconds)
    report(result_fd, ns_per_op=ns, ops=n, file=getattr(prog, "__file__", None))


def op_order(side, args):
    """buy_market_order awaited against a websockets stand-in whose awaits
    finish at once; print is a no-op (set before the program is imported,
    since the module takes print once, at start-up)."""
    import builtins

    result_fd = redirect_stdout(os.devnull)
    builtins.print = lambda *a, **k: None
    prog = load_side(side)
    fake = FakeWebsockets()
    prog.websockets = fake
    buy_market_order = prog.buy_market_order

    # One checked order first: the request is complete and correctly signed.
    coro = buy_market_order(API_KEY, SECRET_KEY, SYMBOL, QUANTITY)
    try:
        coro.send(None)
        raise AssertionError("the order suspended on awaitables that finish at once")
    except StopIteration:
        pass
    check_request(fake.connection.last_sent)

    async def driver(n):
        order, a, s, sym, q = buy_market_order, API_KEY, SECRET_KEY, SYMBOL, QUANTITY
        for _ in range(n):
            await order(a, s, sym, q)

    def run(n):
        coro = driver(n)
        try:
            coro.send(None)
        except StopIteration:
            return
        raise AssertionError("the driver suspended")

    ns, n = timed_loop(run, args.seconds, min_n=20)
    assert fake.urls >= n
    report(result_fd, ns_per_op=ns, ops=n, file=getattr(prog, "__file__", None))


def op_resume(side, args):
    """send(None) through listen_for_trades -> buy_market_order -> an
    awaitable that suspends on every step.

    The opening time is long past (0), so the first pass orders at once; the
    order's recv then suspends for ever, and every later send(None) travels
    down the whole chain and back."""
    result_fd = redirect_stdout(os.devnull)
    prog = load_side(side)
    fake = FakeWebsockets(recv_forever=True)
    prog.websockets = fake
    coro = prog.listen_for_trades(API_KEY, SECRET_KEY, SYMBOL.lower(), QUANTITY, 0)
    assert coro.send(None) is None
    assert fake.urls == 1
    check_request(fake.connection.last_sent)
    send = coro.send

    def run(n):
        for _ in range(n):
            send(None)

    ns, n = timed_loop(run, args.seconds)
    assert fake.urls == 1
    coro.close()
    report(result_fd, ns_per_op=ns, ops=n, file=getattr(prog, "__file__", None))


def op_import(side, args):
    """One import of the program in this fresh interpreter, its dependencies
    imported beforehand."""
    import collections.abc  # noqa: F401
    import configparser  # noqa: F401
    import hashlib  # noqa: F401
    import hmac  # noqa: F401
    import importlib
    import urllib.parse  # noqa: F401
    import uuid  # noqa: F401

    import ujson  # noqa: F401
    import websockets  # noqa: F401

    import importlib.util

    result_fd = redirect_stdout(os.devnull)
    name = "quorvane_3" if side == "module" else "script"
    if side == "script" and BENCH_DIR not in sys.path:
        sys.path.insert(0, BENCH_DIR)
    # Both programs are found through warm directory caches, as in an
    # interpreter that has just imported the dependencies: a search for a
    # name that exists nowhere lists every directory of the path once.
    assert importlib.util.find_spec("_no_such_module_anywhere") is None
    t0 = time.perf_counter_ns()
    prog = importlib.import_module(name)
    t1 = time.perf_counter_ns()
    assert callable(prog.listen_for_trades)
    report(result_fd, ns_per_op=t1 - t0, ops=1, file=getattr(prog, "__file__", None))


def op_loopback(side, args):
    """Orders over TLS to the loopback exchange on 127.0.0.1, each from the
    call of buy_market_order to the moment its outcome line is printed; the
    median over --orders orders, after one warm-up order."""
    import asyncio
    import builtins

    sys.path.insert(0, os.path.dirname(BENCH_DIR))
    from quorvane_host.net.connector import Connector

    result_fd = redirect_stdout(os.devnull)
    real_print = builtins.print
    printed = []

    def stamped_print(*a, **k):
        printed.append((time.perf_counter_ns(), a))
        real_print(*a, **k)

    builtins.print = stamped_print  # taken by the module at start-up
    prog = load_side(side)
    prog.websockets = Connector("127.0.0.1", args.port, cafile=args.cafile)

    async def orders():
        to_reply, to_end = [], []
        for i in range(args.orders + 1):
            del printed[:]
            t0 = time.perf_counter_ns()
            await prog.buy_market_order(API_KEY, SECRET_KEY, SYMBOL, QUANTITY)
            t1 = time.perf_counter_ns()
            assert len(printed) == 1, printed
            stamp, text = printed[0]
            assert str(text[0]).startswith("Buy order placed successfully: "), text
            if i:
                to_reply.append(stamp - t0)
                to_end.append(t1 - t0)
        return to_reply, to_end

    to_reply, to_end = asyncio.run(orders())
    to_reply.sort()
    to_end.sort()
    report(result_fd, ns_per_op=to_reply[len(to_reply) // 2], ops=len(to_reply),
           with_close_ns=to_end[len(to_end) // 2], file=getattr(prog, "__file__", None))


OPS = {
    "poll": op_poll,
    "sign": op_sign,
    "order": op_order,
    "resume": op_resume,
    "import": op_import,
    "loopback": op_loopback,
}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("op", choices=sorted(OPS))
    p.add_argument("side", choices=["module", "script"])
    p.add_argument("--seconds", type=float, default=0.3, help="time budget of the measurement")
    p.add_argument("--out", help="poll: the file that standard output goes to")
    p.add_argument("--port", type=int, help="loopback: the exchange's port")
    p.add_argument("--cafile", help="loopback: the exchange's certificate")
    p.add_argument("--orders", type=int, default=10, help="loopback: timed orders")
    args = p.parse_args()
    if args.op == "poll" and not args.out:
        p.error("poll needs --out FILE")
    if args.op == "loopback" and not (args.port and args.cafile):
        p.error("loopback needs --port and --cafile")
    OPS[args.op](args.side, args)


if __name__ == "__main__":
    main()
