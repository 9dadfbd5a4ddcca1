"""The delay relay: everything delivered, in order, both ways; ends of streams
carried behind the data; nothing left open. No timing is asserted."""

import asyncio
import json
import os
import subprocess
import sys

import pytest

from quorvane_rehearsal.relay import DelayRelay, run

pytestmark = pytest.mark.python_side

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class Target:
    """A server that keeps what each connection sent and answers as told."""

    def __init__(self, answer):
        self.answer = answer  # async (reader, writer, received list) -> None
        self.received = []
        self.server = None

    async def start(self):
        async def handle(reader, writer):
            got = bytearray()
            self.received.append(got)
            try:
                await self.answer(reader, writer, got)
            finally:
                writer.close()

        self.server = await asyncio.start_server(handle, "127.0.0.1", 0)
        return self.server.sockets[0].getsockname()[1]

    async def stop(self):
        self.server.close()
        await self.server.wait_closed()


async def echo(reader, writer, got):
    while True:
        data = await reader.read(65536)
        if not data:
            break
        got += data
        writer.write(data)
        await writer.drain()


async def read_all_then_answer(reader, writer, got):
    got += await reader.read()  # up to the client's end of stream
    writer.write(b"received %d bytes" % len(got))
    writer.write_eof()
    await writer.drain()


def check(main):
    return run(asyncio.wait_for(main, 60))


@pytest.mark.parametrize("rtt, jitter, chunks, size", [
    (4, 4, 300, 7),  # jitter as large as the round trip: order must still hold
    (2, 0, 20, 4096),
    (0, 0, 50, 100),
])
def test_relay_delivers_everything_in_order_both_ways(rtt, jitter, chunks, size):
    async def main():
        target = Target(echo)
        port = await target.start()
        async with DelayRelay("127.0.0.1", port, rtt_ms=rtt, jitter_ms=jitter, seed=1) as relay:
            reader, writer = await asyncio.open_connection("127.0.0.1", relay.port)
            sent = bytearray()
            for i in range(chunks):
                piece = (b"%06d|" % i) * (size // 7 + 1)
                sent += piece
                writer.write(piece)
                if i % 10 == 0:
                    await asyncio.sleep(0.001)
            back = await reader.readexactly(len(sent))
            writer.close()
            await writer.wait_closed()
            stats = relay.stats()
        await target.stop()
        return sent, back, target.received, stats

    sent, back, received, stats = check(main())
    assert bytes(back) == bytes(sent) and [bytes(r) for r in received] == [bytes(sent)]
    assert stats["bytes_up"] == stats["bytes_down"] == len(sent)


def test_large_transfer_from_the_target():
    blob = os.urandom(3 << 20)

    async def send_blob(reader, writer, got):
        writer.write(blob)
        await writer.drain()

    async def main():
        target = Target(send_blob)
        port = await target.start()
        async with DelayRelay("127.0.0.1", port, rtt_ms=2) as relay:
            reader, writer = await asyncio.open_connection("127.0.0.1", relay.port)
            got = await reader.read()  # to the end of stream: the target's close arrives behind the data
            writer.close()
            await writer.wait_closed()
        await target.stop()
        return got

    assert check(main()) == blob


def test_half_close_travels_behind_the_data():
    async def main():
        target = Target(read_all_then_answer)
        port = await target.start()
        async with DelayRelay("127.0.0.1", port, rtt_ms=6, jitter_ms=2) as relay:
            reader, writer = await asyncio.open_connection("127.0.0.1", relay.port)
            for i in range(10):
                writer.write(b"x" * 1000)
            writer.write_eof()
            answer = await reader.read()
            writer.close()
            await writer.wait_closed()
        await target.stop()
        return answer

    assert check(main()) == b"received 10000 bytes"


def test_stop_closes_every_connection_and_socket():
    async def main():
        target = Target(echo)
        port = await target.start()
        baseline = open_fds()
        relay = await DelayRelay("127.0.0.1", port, rtt_ms=100).start()
        clients = [await asyncio.open_connection("127.0.0.1", relay.port) for _ in range(3)]
        for reader, writer in clients:
            writer.write(b"ping")
        for reader, writer in clients:
            assert await reader.readexactly(4) == b"ping"
        writer.write(b"in flight")  # read by the relay, then held there when it stops
        await asyncio.sleep(0.01)
        busy = relay.stats()["open_connections"]
        await relay.stop()
        ends = [await asyncio.wait_for(reader.read(), 10) for reader, _ in clients]
        for _, writer in clients:
            writer.close()
            await writer.wait_closed()
        await asyncio.sleep(0.05)
        after = open_fds()
        stats = relay.stats()
        await target.stop()
        return busy, ends, baseline, after, stats

    busy, ends, baseline, after, stats = check(main())
    assert busy == 3 and stats["open_connections"] == 0
    assert all(end in (b"", b"in flight") for end in ends)
    assert after == baseline


def test_unreachable_target_closes_the_client():
    async def main():
        probe = await asyncio.start_server(lambda r, w: None, "127.0.0.1", 0)
        port = probe.sockets[0].getsockname()[1]
        probe.close()
        await probe.wait_closed()  # nothing listens there now
        async with DelayRelay("127.0.0.1", port, rtt_ms=2) as relay:
            reader, writer = await asyncio.open_connection("127.0.0.1", relay.port)
            writer.write(b"hello")
            try:
                end = await asyncio.wait_for(reader.read(), 10)
            except ConnectionResetError:
                end = b""
            writer.close()
            await asyncio.sleep(0.05)
            return end, relay.stats()

    end, stats = check(main())
    assert end == b"" and stats["failed_connects"] == 1 and stats["open_connections"] == 0


@pytest.mark.parametrize("rtt, jitter", [(-1, 0), (10, -1), (10, 11)])
def test_relay_refuses_impossible_delays(rtt, jitter):
    with pytest.raises(ValueError):
        DelayRelay("127.0.0.1", 1, rtt_ms=rtt, jitter_ms=jitter)


def test_relay_in_a_thread_and_from_the_command_line():
    async def main(port):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"abc")
        back = await reader.readexactly(3)
        writer.close()
        await writer.wait_closed()
        return back

    async def serve_and_use():
        target = Target(echo)
        port = await target.start()
        with DelayRelay("127.0.0.1", port, rtt_ms=2) as threaded:
            in_thread = await main(threaded.port)
        proc = subprocess.Popen(
            [sys.executable, "-m", "quorvane_rehearsal.relay", "--target", f"127.0.0.1:{port}",
             "--rtt", "2", "--jitter", "1", "--ready-json"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=ROOT)
        try:
            ready = json.loads(await asyncio.get_running_loop().run_in_executor(None, proc.stdout.readline))
            from_cli = await main(ready["port"])
            proc.stdin.close()  # the relay stops when its parent's pipe closes
            rc = await asyncio.get_running_loop().run_in_executor(None, proc.wait, 20)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        await target.stop()
        return in_thread, from_cli, rc

    assert check(serve_and_use()) == (b"abc", b"abc", 0)


# ---------------------------------------------------------------------------
# The rehearsal network: exchange and relay in a child process

KEY, SECRET = "key-1", "secret-1"
MODULE_URL = "wss://exchange.invalid:443/ws-api/v3"


def order(symbol, timestamp):
    import hashlib
    import hmac
    import urllib.parse
    import uuid

    params = {"symbol": symbol, "side": "BUY", "type": "MARKET", "quantity": "1.0",
              "timestamp": timestamp, "apiKey": KEY}
    query = "&".join(f"{k}={urllib.parse.quote(str(v))}" for k, v in sorted(params.items()))
    params["signature"] = hmac.new(SECRET.encode(), query.encode(), hashlib.sha256).hexdigest()
    return json.dumps({"id": str(uuid.uuid4()), "method": "order.place", "params": params})


async def exchange_requests(connector, texts):
    """Sends the texts over one connection; returns the decoded replies (None when it closed)."""
    from websockets.exceptions import ConnectionClosed

    replies = []
    async with connector.connect(MODULE_URL) as ws:
        for text in texts:
            try:
                await ws.send(text)
                replies.append(json.loads(await asyncio.wait_for(ws.recv(), 20)))
            except ConnectionClosed:
                replies.append(None)
    return replies


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/stat") as fh:  # a zombie is gone for our purpose
        return fh.read().split(")")[-1].split()[0] != "Z"


def test_rehearsal_network_serves_reports_and_stops():
    import time

    from quorvane_rehearsal.exchange import Code, Symbol
    from quorvane_rehearsal.network import RehearsalNetwork

    skew = -300
    now = int(time.time() * 1000)
    symbols = [Symbol("QRVUSD", now - 60_000), Symbol("LATER", now + 600_000)]
    with RehearsalNetwork({KEY: SECRET}, symbols, rtt_ms=4, jitter_ms=1, clock_skew_ms=skew,
                          seed=3) as net:
        assert net.port == net.relay_port != net.exchange_port and os.path.exists(net.cafile)
        pid, cafile = net._proc.pid, net.cafile
        c = net.connector()
        ts = int(time.time() * 1000) + skew
        replies = asyncio.run(exchange_requests(c, [
            json.dumps({"id": "t", "method": "time"}), order("QRVUSD", ts), order("LATER", ts)]))
        net.add_symbol(Symbol("NEWONE", now - 60_000))
        net.set_fault("close", 1)
        closed = asyncio.run(exchange_requests(c, [order("NEWONE", ts), order("NEWONE", ts)]))
        again = asyncio.run(exchange_requests(c, [order("NEWONE", ts)]))
        report, later = net.report(), net.records("LATER")
        stats = net.relay_stats()
        with pytest.raises(ValueError):
            net.add_symbol(Symbol("bad name", 0))
    final = net.final
    assert replies[0]["status"] == 200 and isinstance(replies[0]["result"]["serverTime"], int)
    assert "error" not in replies[1] and replies[2]["error"]["code"] == Code.NOT_OPEN
    assert closed == [None, None] and "error" not in again[0]
    assert [r.outcome for r in later] == ["refused"] and later[0].code == Code.NOT_OPEN
    assert (report["requests"], report["accepted"], report["too_early"], report["faults"]) == (4, 2, 1, 1)
    assert report["time_requests"] == 1 and report["clock_skew_ms"] == skew
    assert stats["connections"] == 3 and stats["bytes_up"] > 0 and stats["bytes_down"] > 0
    assert final["final"] and final["report"]["requests"] == 4 and len(final["records"]) == 4
    assert final["relay"]["open_connections"] == 0
    assert not net.running and not pid_alive(pid) and not os.path.exists(cafile)
    assert net.stop() is final  # stopping again changes nothing


def test_rehearsal_network_without_relay_and_its_failures(tmp_path):
    from quorvane_rehearsal.exchange import TLSFiles
    from quorvane_rehearsal.network import RehearsalError, RehearsalNetwork

    with RehearsalNetwork({KEY: SECRET}) as net:
        assert net.relay_port is None and net.port == net.exchange_port
    missing = TLSFiles(str(tmp_path / "none.pem"), str(tmp_path / "none.key"))
    with pytest.raises(RehearsalError, match="No such file"):
        RehearsalNetwork({KEY: SECRET}, tls=missing).start()
    with pytest.raises(ValueError):
        RehearsalNetwork({KEY: SECRET}, rtt_ms=2, jitter_ms=3)


def test_rehearsal_network_stops_when_its_parent_dies():
    script = ("import os, sys\n"
              "from quorvane_rehearsal.network import RehearsalNetwork\n"
              "net = RehearsalNetwork({'k': 's'}, rtt_ms=2).start()\n"
              "print(net._proc.pid, flush=True)\n"
              "os._exit(0)\n")
    done = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                          cwd=ROOT, timeout=60)
    pid = int(done.stdout.split()[0])
    import time

    for _ in range(400):  # the child sees its input end and stops; wait for that, without a deadline claim
        if not pid_alive(pid):
            break
        time.sleep(0.05)
    assert not pid_alive(pid)
