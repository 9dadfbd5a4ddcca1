"""The cadence benchmark: how long each further order takes, and how many connections it opens.

After the first order the module places another on every pass, each over
``websockets.connect(URL)``.  Through the host, that is the gate and the
pool: a connection whose order got its reply goes back to the pool and
carries the next order.  This compares, per order over 40 orders placed one
after the other:

* the host's path: the module's ``buy_market_order`` with its
  ``websockets`` rebound to the host's gate over a connector with a pool of
  3 warm connections;
* a plain asyncio client that keeps one connection open and sends the same
  kind of signed order over it, one after the other;

over the rehearsal network (the loopback exchange in a process of its
own), behind a delay relay of 30 ms round trip and directly on loopback.
Two last rows, over the relay and on loopback, run the whole host instead
of its gate and pool: the ``quorvane-host`` command, with its trigger,
observer and console, timed by its own ``--result``
(``bench/whole_host.py``), five rounds each whatever ``--rounds`` says,
its ratio the median of the rounds' ratios.
The two sides alternate, ``--rounds`` times each; each figure is the
median over the rounds of the time per order (a round's total over 40).

    python bench/cadence.py [--rounds N] [--orders N] [--out bench/results]

Writes cadence.md (the table).
"""

from __future__ import annotations

import argparse
import asyncio
import builtins
import os
import statistics
import sys
import time
from typing import Callable, List, Optional

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)
sys.path.insert(0, os.path.join(REPO, "bench"))

from quorvane_host.orders.gate import Gate  # noqa: E402
from quorvane_rehearsal.exchange import Symbol  # noqa: E402
from quorvane_rehearsal.network import RehearsalNetwork  # noqa: E402
from whole_host import PLAIN_WAIT_S, plain_side, whole_host_row  # noqa: E402

KEY, SECRET, SYMBOL, QUANTITY = "bench-key", "bench-secret", "QRVUSD", 0.5
POOL_SIZE = 3
NETWORKS = [("30 ms round trip (relay), gate + pool", 30.0), ("loopback, gate + pool", 0.0)]
TARGETS = {30.0: 1.1, 0.0: 1.5}  # host / plain client, per order, at most
WHOLE_HOST = [("30 ms round trip (relay), whole host (`quorvane-host`)", 30.0, 1.05),
              ("loopback, whole host (`quorvane-host`: trigger, observer, console)", 0.0, 1.15)]
WHOLE_HOST_ROUNDS = 5


def _quiet_module():
    """The module, imported with a ``print`` that swallows its outcome lines (it keeps the one it finds)."""
    saved = builtins.print
    builtins.print = lambda *args, **kwargs: None
    try:
        import quorvane_3
    finally:
        builtins.print = saved
    return quorvane_3


async def host_side(net: RehearsalNetwork, module, url: str, orders: int) -> dict:
    """``orders`` orders through the module, the gate and a pool; seconds per order, connections opened."""
    connector = net.connector()
    pool = connector.start_pool(url, POOL_SIZE)
    await pool.fill()
    gate = Gate(connector, orders + 1, wanted=orders)
    saved = module.websockets
    module.websockets = gate
    try:
        started = time.perf_counter()
        for _ in range(orders):
            await module.buy_market_order(KEY, SECRET, SYMBOL, QUANTITY)
        per_order = (time.perf_counter() - started) / orders
    finally:
        module.websockets = saved
        await pool.aclose()
    accepted = sum(1 for o in gate.orders if '"orderId"' in str(o.reply))
    return {"per_order_s": per_order, "opened": connector.opened, "accepted": accepted,
            "reused": pool.reused}


async def module_url(module) -> str:
    """The URL the module's orders go to (one order, stopped at its connect)."""
    class Probe:
        url = ""

        def connect(self, url):
            Probe.url = url
            raise RuntimeError("probe")

    saved, module.websockets = module.websockets, Probe()
    try:
        await module.buy_market_order(KEY, SECRET, SYMBOL, QUANTITY)
    except RuntimeError:
        pass
    finally:
        module.websockets = saved
    return Probe.url


def _in_new_loop(coro) -> dict:
    loop = asyncio.new_event_loop()
    try:
        asyncio.set_event_loop(loop)
        return loop.run_until_complete(coro)
    finally:
        loop.close()


def run_network(label: str, rtt: float, rounds: int, orders: int, module, url: Optional[str],
                log: Callable[[str], None], target: Optional[float] = None) -> dict:
    """One row: the host's side (gate and pool; the whole command when ``url`` is None) against the plain client."""
    host: List[dict] = []
    plain: List[dict] = []
    with RehearsalNetwork({KEY: SECRET}, [Symbol(SYMBOL, 0, step="0.001")], rtt_ms=rtt) as net:
        if url is None:
            row = whole_host_row(net, KEY, SECRET, SYMBOL, QUANTITY, orders, WHOLE_HOST_ROUNDS, log)
            return dict(row, network=label, rtt_ms=rtt, target=target, pool=POOL_SIZE,
                        load=os.getloadavg()[0])
        for n in range(rounds):
            # Alternate which side goes first, so that neither always meets a warmer exchange.
            sides = [("host", host), ("plain", plain)]
            for name, results in (sides if n % 2 == 0 else sides[::-1]):
                if name == "plain":
                    results.append(_in_new_loop(plain_side(net, KEY, SECRET, SYMBOL, QUANTITY, orders)))
                else:
                    results.append(_in_new_loop(host_side(net, module, url, orders)))
                r = results[-1]
                log(f"  {label}, round {n + 1}, {name}: {r['per_order_s'] * 1000:.2f} ms per order, "
                    f"{r['opened']} connection(s) opened, {r['accepted']} accepted")
    host_ms = statistics.median(r["per_order_s"] for r in host) * 1000
    plain_ms = statistics.median(r["per_order_s"] for r in plain) * 1000
    return {"network": label, "rtt_ms": rtt, "host_ms": host_ms, "plain_ms": plain_ms,
            "ratio": host_ms / plain_ms, "target": TARGETS[rtt],
            "opened": max(r["opened"] for r in host), "pool": POOL_SIZE,
            "accepted": min(r["accepted"] for r in host + plain), "orders": orders, "rounds": rounds}


def table(rows: List[dict]) -> str:
    lines = [
        "| network | host, per order | plain client, one connection, per order | host / plain "
        "| target | connections opened by the host for the orders (pool size) |",
        "|---|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(f"| {r['network']} | {r['host_ms']:.2f} ms | {r['plain_ms']:.2f} ms | {r['ratio']:.2f} "
                     f"| ≤ {r['target']:g} | {r['opened']} ({r['pool']}; target ≤ {r['pool'] + 2}) |")
    r0 = rows[0]
    lines.append("")
    lines.append(f"{r0['orders']} orders one after the other per round, {r0['rounds']} rounds per side, "
                 "sides alternated; median over the rounds of each round's time per order. The whole host's "
                 "from its `--result`: the first order's send to the last's, over the orders between; "
                 f"{WHOLE_HOST_ROUNDS} rounds per side, its ratio the median of the rounds' ratios; beside it "
                 f"the plain client's first order goes {PLAIN_WAIT_S:g} s after its handshake, as the host's goes "
                 f"after its wait for the opening (load {rows[-1].get('load', 0):.1f} after it).")
    return "\n".join(lines)


def main(argv: Optional[List[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python bench/cadence.py", description=__doc__.split("\n")[0])
    p.add_argument("--rounds", type=int, default=5, help="rounds per side and network (default 5)")
    p.add_argument("--orders", type=int, default=40, help="orders per round (default 40)")
    p.add_argument("--out", default=os.path.join(REPO, "bench", "results"), help="folder for the results")
    args = p.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    started = time.time()
    print(f"cadence benchmark: {args.orders} orders x {args.rounds} rounds x 2 sides x "
          f"{len(NETWORKS) + len(WHOLE_HOST)} rows (load {os.getloadavg()[0]:.1f})", flush=True)
    module = _quiet_module()
    url = asyncio.run(module_url(module))
    say = lambda text: print(text, flush=True)  # noqa: E731
    rows = [run_network(label, rtt, args.rounds, args.orders, module, url, say) for label, rtt in NETWORKS]
    rows += [run_network(label, rtt, args.rounds, args.orders, module, None, say, target)
             for label, rtt, target in WHOLE_HOST]
    text = table(rows)
    print()
    print(text)
    with open(os.path.join(args.out, "cadence.md"), "w") as fh:
        fh.write(text + "\n")
    print(f"({time.time() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
