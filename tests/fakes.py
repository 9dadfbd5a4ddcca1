"""Stand-ins for the websockets package, recording what the module does."""
import hashlib
import hmac
import json
import signal
import types
import urllib.parse


class Suspend:
    """An awaitable that suspends once (hands `value` to the driver) and then
    finishes with `result`."""

    def __init__(self, result=None, value="suspended"):
        self.result = result
        self.value = value

    def __await__(self):
        yield self.value
        return self.result


class Steps:
    """Suspends `steps` times, then returns `ret`; remembers close calls."""

    def __init__(self, steps=1, ret=None):
        self.steps, self.ret, self.closed = steps, ret, False

    def __await__(self):
        try:
            for i in range(self.steps):
                yield i
        except GeneratorExit:
            self.closed = True
            raise
        return self.ret


class Immediate:
    """An awaitable that finishes without suspending."""

    def __init__(self, result=None):
        self.result = result

    def __await__(self):
        return self.result
        yield  # pragma: no cover  (makes this a generator)


class FakeConnection:
    def __init__(self, log, reply, suspend, send_error=None, recv_error=None):
        self.log = log
        self.reply = reply
        self.suspend = suspend
        self.send_error = send_error
        self.recv_error = recv_error

    def _awaitable(self, result):
        return Suspend(result) if self.suspend else Immediate(result)

    def send(self, text):
        self.log.append(("send", text))
        if self.send_error:
            raise self.send_error
        return self._awaitable(None)

    def recv(self):
        self.log.append(("recv",))
        if self.recv_error:
            raise self.recv_error
        return self._awaitable(self.reply)


class FakeManager:
    def __init__(self, log, connection, suppress):
        self.log = log
        self.connection = connection
        self.suppress = suppress

    def __aenter__(self):
        self.log.append(("aenter",))
        return (Suspend if self.connection.suspend else Immediate)(self.connection)

    def __aexit__(self, exc_type, exc, tb):
        self.log.append(("aexit", exc_type, exc, tb))
        return (Suspend if self.connection.suspend else Immediate)(self.suppress)


class FakeWebsockets:
    """Rebind as quorvane_3.websockets; every connect is recorded in `log`."""

    def __init__(self, reply='{"result": {"orderId": 1}}', *, suspend=False, suppress=False,
                 send_error=None, recv_error=None):
        self.log = []
        self.reply = reply
        self.suspend = suspend
        self.suppress = suppress
        self.send_error = send_error
        self.recv_error = recv_error

    def connect(self, url):
        self.log.append(("connect", url))
        conn = FakeConnection(self.log, self.reply, self.suspend, self.send_error, self.recv_error)
        return FakeManager(self.log, conn, self.suppress)

    def events(self):
        return [entry[0] for entry in self.log]

    def sent(self):
        return [entry[1] for entry in self.log if entry[0] == "send"]


def drive(coro, sends=None):
    """Drives a coroutine by hand to its end; returns (value, yielded values)."""
    yielded = []
    try:
        value = coro.send(None)
        while True:
            yielded.append(value)
            value = coro.send(sends)
    except StopIteration as stop:
        return stop.value, yielded


def recording_module(**attrs):
    return types.SimpleNamespace(**attrs)


def order_params(qv):
    """The params of one order placed through ``qv`` (its ``websockets`` a FakeWebsockets)."""
    drive(qv.buy_market_order("a b", "secret", "x y", 0.5))
    return json.loads(qv.websockets.sent()[-1])["params"]


def plain_signature(params):
    """The signature of ``params`` as plain Python signs them."""
    signed = "&".join(f"{k}={urllib.parse.quote(str(v))}" for k, v in sorted(params.items()) if k != "signature")
    return hmac.new(b"secret", signed.encode(), hashlib.sha256).hexdigest()


class Stop(Exception):
    pass


def poll_until_a_signal_at_pass(qi, n, signum=signal.SIGUSR1):
    """Poll with the test-only internals, a signal arriving at pass ``n``; Stop must end it there."""
    def stop(*args):
        raise Stop

    previous = signal.signal(signum, stop)
    try:
        try:
            qi.poll(10**6, (0,) * 5, signal_at=n, signum=signum)
        except Stop:
            return
        raise AssertionError("the signal did not stop the polling")
    finally:
        signal.signal(signum, previous)
