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

    python bench/whole_host.py [--orders N]     # one round, against a network of its own

:func:`host_round` is what ``bench/cadence.py`` calls, alternating with its
plain client.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from typing import List, Optional

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

OPEN_AHEAD = "+3s"  # time for the start-up (keys, test order, clock measurement) before the opening


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


def main(argv: Optional[List[str]] = None) -> int:
    import argparse

    sys.path.insert(0, REPO)
    from quorvane_rehearsal.exchange import Symbol
    from quorvane_rehearsal.network import RehearsalNetwork

    p = argparse.ArgumentParser(prog="python bench/whole_host.py", description=__doc__.split("\n")[0])
    p.add_argument("--orders", type=int, default=40, help="orders after the opening (default 40)")
    p.add_argument("--rounds", type=int, default=1, help="runs of the command (default 1)")
    p.add_argument("--profile", metavar="FILE", help="run the host under cProfile, writing FILE")
    args = p.parse_args(argv)
    key, secret, symbol = "bench-key", "bench-secret", "QRVUSD"
    python = [sys.executable, "-m", "cProfile", "-o", args.profile] if args.profile else None
    with RehearsalNetwork({key: secret}, [Symbol(symbol, 0, step="0.001")]) as net:
        for _ in range(args.rounds):
            r = host_round(net.host, net.port, net.cafile, key, secret, symbol, 0.5, args.orders, python)
            print(f"{r['per_order_s'] * 1000:.3f} ms per order, {r['accepted']} accepted, "
                  f"{r['opened']} connection(s) opened", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
