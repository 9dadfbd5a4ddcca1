"""The cadence through the whole host: the ``quorvane-host`` command, timed by its own record.

One round runs the real command (``python -m quorvane_host``) against the
rehearsal network's exchange (``--connect``/``--cafile``), with an opening a
few seconds ahead and ``--orders N``, so that everything a listing runs is
on the path: the trigger, the observer, the console child and its pipe, the
ledger, the pool and the readers.  The time per order comes from the run's
``--result``: the moments the orders' bytes left (``orders[].sent_ms``), from
the first to the last, over the orders between them.  That is one whole
cycle per order (the reply, then the module's next pass and the next send),
the same span a plain client's round of N orders covers N times.

Its yardstick is a plain asyncio client (:func:`plain_round`) that keeps
one connection and sends the same kind of signed ``order.place`` request,
one after the other.  Like the host's, its orders come after a wait: it
connects, waits :data:`PLAIN_WAIT_S` as a client that connected ahead of
an opening would, then sends.  (After any wait of 20 ms or more its first
order is answered in about 1.3 ms here, against 0.7 ms right after the
handshake, which leaves both ends warm; sent at once, a plain client is
measured in a state the host's orders never meet, about 7% faster per
order over 40.)  :func:`whole_host_row` alternates the two, five
rounds each by default, and gives the ratio as the median of the rounds'
ratios (each round's host against the plain client's round beside it, so
that a machine that gets busier or quieter during the run moves both).

    python bench/whole_host.py [--orders N] [--rounds N]   # against a network of its own

``bench/cadence.py`` gives the row as its last.
"""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import uuid
from typing import Any, Callable, List, Optional

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

OPEN_AHEAD = "+3s"  # time for the start-up (keys, test order, clock measurement) before the opening
PLAIN_WAIT_S = 0.5  # the plain client's wait between its handshake and its first order


def per_order_ms(result: dict) -> float:
    """The time per order from a ``--result`` document: first send to last, over the cycles between."""
    sent = [o["sent_ms"] for o in result.get("orders", []) if o.get("sent_ms") is not None]
    if len(sent) < 2:
        raise ValueError(f"the run sent {len(sent)} order(s); at least two are needed for a cadence")
    return (max(sent) - min(sent)) / (len(sent) - 1)


def host_command(host: str, port: int, cafile: str, symbol: str, quantity: float, orders: int,
                 result_path: str, log_path: str) -> List[str]:
    return ["-m", "quorvane_host", symbol, repr(float(quantity)),
            "--open-at", OPEN_AHEAD, "--connect", f"{host}:{port}", "--cafile", cafile,
            "--orders", str(orders), "--max-orders", str(orders),
            "--result", result_path, "--log", log_path, "--display", "plain"]


def host_round(host: str, port: int, cafile: str, key: str, secret: str, symbol: str, quantity: float,
               orders: int, python: Optional[List[str]] = None) -> dict:
    """One run of the command; its time per order, orders accepted and connections opened.

    ``python``: the interpreter's command line (a profiler's, say); this one by default.
    """
    with tempfile.TemporaryDirectory(prefix="quorvane-cadence-") as tmp:
        result_path, log_path = os.path.join(tmp, "result.json"), os.path.join(tmp, "module.log")
        env = dict(os.environ, QUORVANE_API_KEY=key, QUORVANE_SECRET_KEY=secret)
        # As a person's shell starts it: an interpreter told to run unbuffered
        # (PYTHONUNBUFFERED, set by some tool environments) writes every piece
        # of the module's lines apart, a system call and a console wake-up each.
        env.pop("PYTHONUNBUFFERED", None)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (REPO, env.get("PYTHONPATH")) if p)
        cmd = (python or [sys.executable]) + host_command(host, port, cafile, symbol, quantity, orders, result_path, log_path)
        done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0 or not os.path.exists(result_path):
            tail = "\n".join(done.stdout.splitlines()[-15:])
            raise RuntimeError(f"quorvane-host exited {done.returncode}:\n{tail}")
        with open(result_path) as fh:
            result = json.load(fh)
    return {"per_order_s": per_order_ms(result) / 1000, "opened": result["pool"]["opened"],
            "accepted": result["accepted"]}


def signed_order(key: str, secret: str, symbol: str, quantity: float) -> str:
    """A MARKET BUY request like the module's, signed the same way."""
    params = {"apiKey": key, "quantity": repr(float(quantity)), "side": "BUY", "symbol": symbol,
              "timestamp": int(time.time() * 1000), "type": "MARKET"}
    query = urllib.parse.urlencode(sorted(params.items()))
    params["signature"] = hmac.new(secret.encode(), query.encode(), hashlib.sha256).hexdigest()
    return json.dumps({"id": str(uuid.uuid4()), "method": "order.place", "params": params})


async def plain_side(net: Any, key: str, secret: str, symbol: str, quantity: float, orders: int,
                     wait_s: float = 0.0) -> dict:
    """``orders`` orders over one connection kept open by a plain asyncio client, the first ``wait_s``
    after its handshake."""
    import websockets

    url = f"wss://{net.host}:{net.port}/ws-api/v3"
    accepted = 0
    async with websockets.connect(url, ssl=net.connector().ssl_context) as ws:
        if wait_s > 0:
            await asyncio.sleep(wait_s)
        started = time.perf_counter()
        for _ in range(orders):
            await ws.send(signed_order(key, secret, symbol, quantity))
            if '"orderId"' in await ws.recv():
                accepted += 1
        per_order = (time.perf_counter() - started) / orders
    return {"per_order_s": per_order, "opened": 1, "accepted": accepted}


def plain_round(net: Any, key: str, secret: str, symbol: str, quantity: float, orders: int,
                wait_s: float = PLAIN_WAIT_S) -> dict:
    loop = asyncio.new_event_loop()
    try:
        asyncio.set_event_loop(loop)
        return loop.run_until_complete(plain_side(net, key, secret, symbol, quantity, orders, wait_s))
    finally:
        loop.close()


def whole_host_row(net: Any, key: str, secret: str, symbol: str, quantity: float, orders: int, rounds: int = 5,
                   log: Callable[[str], None] = lambda text: None) -> dict:
    """The whole host against the plain client, alternated; medians, and the median of the rounds' ratios."""
    host: List[dict] = []
    plain: List[dict] = []
    for n in range(rounds):
        sides = [("host", host), ("plain", plain)]
        for name, results in (sides if n % 2 == 0 else sides[::-1]):
            if name == "host":
                results.append(host_round(net.host, net.port, net.cafile, key, secret, symbol, quantity, orders))
            else:
                results.append(plain_round(net, key, secret, symbol, quantity, orders))
            r = results[-1]
            log(f"  whole host, round {n + 1}, {name}: {r['per_order_s'] * 1000:.2f} ms per order, "
                f"{r['opened']} connection(s) opened, {r['accepted']} accepted")
    ratios = [h["per_order_s"] / p["per_order_s"] for h, p in zip(host, plain)]
    return {"host_ms": statistics.median(r["per_order_s"] for r in host) * 1000,
            "plain_ms": statistics.median(r["per_order_s"] for r in plain) * 1000,
            "ratio": statistics.median(ratios), "ratios": ratios,
            "opened": max(r["opened"] for r in host),
            "accepted": min(r["accepted"] for r in host + plain), "orders": orders, "rounds": rounds}


def main(argv: Optional[List[str]] = None) -> int:
    import argparse

    sys.path.insert(0, REPO)
    from quorvane_rehearsal.exchange import Symbol
    from quorvane_rehearsal.network import RehearsalNetwork

    p = argparse.ArgumentParser(prog="python bench/whole_host.py", description=__doc__.split("\n")[0])
    p.add_argument("--orders", type=int, default=40, help="orders after the opening (default 40)")
    p.add_argument("--rounds", type=int, default=5, help="rounds per side (default 5)")
    p.add_argument("--profile", metavar="FILE", help="run the host once under cProfile, writing FILE")
    args = p.parse_args(argv)
    key, secret, symbol = "bench-key", "bench-secret", "QRVUSD"
    with RehearsalNetwork({key: secret}, [Symbol(symbol, 0, step="0.001")]) as net:
        if args.profile:
            python = [sys.executable, "-m", "cProfile", "-o", args.profile]
            r = host_round(net.host, net.port, net.cafile, key, secret, symbol, 0.5, args.orders, python)
            print(f"{r['per_order_s'] * 1000:.3f} ms per order, {r['accepted']} accepted", flush=True)
            return 0
        row = whole_host_row(net, key, secret, symbol, 0.5, args.orders, args.rounds,
                             log=lambda text: print(text, flush=True))
    print(f"whole host {row['host_ms']:.2f} ms per order, plain client {row['plain_ms']:.2f} ms: "
          f"host / plain {row['ratio']:.2f} (median of {args.rounds} rounds' ratios: "
          + ", ".join(f"{x:.2f}" for x in row["ratios"]) + f"), load {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
