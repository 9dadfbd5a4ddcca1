"""The demo: ``quorvane_3`` buys a token on a loopback exchange the moment it opens.

``python -m quorvane_host.demo`` (what ``make demo`` runs):

1. starts the loopback exchange on 127.0.0.1 with a symbol that opens a few
   seconds from now and a throwaway account;
2. runs the host (``python -m quorvane_host``) in a child process against it,
   through the connector: the child awaits ``listen_for_trades``, whose
   polling holds the interpreter lock, which is why it gets a process of its
   own while this one keeps the exchange answering;
3. the child sends the module's own lines to a log file whose path it shows,
   and shows a countdown and each order's outcome and time instead;
4. at the end this process prints a summary and checks it against the
   exchange's own record of the requests.

It stops by itself (the host's stop rule) and exits 0 when all went well.
"""

from __future__ import annotations

import argparse
import json
import os
import secrets
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from typing import IO, List, Optional

from .exchange import Code, LoopbackExchange, Symbol
from .host import _package_path_env
from .keys import ENV_API_KEY, ENV_SECRET_KEY
from .times import current_ms, format_ms

__all__ = ["run_demo", "main"]


def _say(out: IO[str], text: str = "") -> None:
    out.write(text + "\n")
    out.flush()


def _summary(result: Optional[dict], exchange: LoopbackExchange, open_ms: int) -> dict:
    records = exchange.records()
    accepted = [r for r in records if r.accepted]
    ex_too_early = sum(1 for r in records if r.code == Code.NOT_OPEN)
    summary = {
        "open_ms": open_ms,
        "exchange_requests": len(records),
        "exchange_accepted": len(accepted),
        "exchange_too_early": ex_too_early,
        "first_accepted_after_open_ms": (accepted[0].arrival_ms - open_ms) if accepted else None,
        "first_request_after_open_ms": (records[0].arrival_ms - open_ms) if records else None,
        "orders": None, "accepted": None, "too_early": None, "latency_ms": None,
    }
    if result is not None:
        latencies = result.get("latencies_ms") or []
        summary.update(
            orders=result.get("placed"),
            accepted=result.get("accepted"),
            too_early=result.get("too_early"),
            latency_ms=({"min": min(latencies), "median": statistics.median(latencies),
                         "max": max(latencies)} if latencies else None),
            latencies_ms=latencies,
            stop_reason=result.get("stop_reason"),
            log=result.get("log"),
            time_left_at_first_order_ms=result.get("time_left_at_first_order_ms"),
        )
    problems = []
    if result is not None:
        if summary["orders"] != len(records):
            problems.append(f"the host placed {summary['orders']} orders, the exchange saw {len(records)}")
        if summary["accepted"] != len(accepted):
            problems.append(f"the host saw {summary['accepted']} accepted, the exchange {len(accepted)}")
        if summary["too_early"] != ex_too_early:
            problems.append(f"the host saw {summary['too_early']} too early, the exchange {ex_too_early}")
    summary["problems"] = problems
    summary["records"] = [r.to_dict() for r in records]
    return summary


def _print_summary(out: IO[str], s: dict) -> None:
    _say(out)
    _say(out, "demo summary")
    first = s["first_accepted_after_open_ms"]
    if first is not None:
        when = "after" if first >= 0 else "before"
        _say(out, f"  first accepted order reached the exchange {abs(first):.1f} ms {when} the opening")
    else:
        _say(out, "  no order was accepted")
    if s.get("time_left_at_first_order_ms") is not None:
        _say(out, f"  first order started {s['time_left_at_first_order_ms']} ms before the opening")
    _say(out, f"  rejected as too early: {s['too_early'] if s['too_early'] is not None else '?'}")
    lat = s["latency_ms"]
    if lat:
        _say(out, f"  time per order: min {lat['min']} ms, median {lat['median']:g} ms, max {lat['max']} ms")
    _say(out, f"  orders placed in all: {s['orders'] if s['orders'] is not None else '?'} "
              f"({s['accepted'] if s['accepted'] is not None else '?'} accepted); "
              f"the exchange recorded {s['exchange_requests']} requests")
    if s.get("log"):
        _say(out, f"  the module's own lines: {s['log']}")
    for problem in s["problems"]:
        _say(out, f"  MISMATCH: {problem}")


def run_demo(
    *,
    delay: float = 3.0,
    orders: int = 3,
    quantity: str = "0.5",
    symbol: str = "QRVUSD",
    time_limit: float = 5.0,
    max_orders: int = 2000,
    display: str = "auto",
    log: Optional[str] = None,
    out: IO[str] = sys.stdout,
    child_timeout: Optional[float] = None,
) -> dict:
    """Run the whole demo; returns the summary (with ``exit_code``)."""
    api_key, secret = "demo-" + secrets.token_hex(6), secrets.token_hex(24)
    open_ms = current_ms() + int(delay * 1000)
    # Leave the exchange running a while past the host's own limits, then let it go.
    lifetime = delay + time_limit + 120
    exchange = LoopbackExchange({api_key: secret}, [Symbol(symbol, open_ms, step="0.001")],
                                lifetime=lifetime)
    with tempfile.TemporaryDirectory(prefix="quorvane-demo-") as work:
        result_path = os.path.join(work, "host-result.json")
        with exchange:
            _say(out, f"demo: loopback exchange listening on {exchange.url}")
            _say(out, f"demo: {symbol} opens at {format_ms(open_ms)}, "
                      f"{(open_ms - current_ms()) / 1000:.1f} s from now; account {api_key}")
            cmd = [sys.executable, "-m", "quorvane_host", symbol, quantity,
                   "--open-at", str(open_ms),
                   "--connect", f"{exchange.host}:{exchange.port}", "--cafile", exchange.cafile,
                   "--orders", str(orders), "--time-limit", f"{time_limit:g}",
                   "--max-orders", str(max_orders), "--result", result_path,
                   # a rehearsal needs only the log's tail: keep it small
                   "--log-max-mb", "32",
                   "--display", {"auto": "auto", "tty": "tty", "plain": "plain"}[display]]
            if log:
                cmd += ["--log", log]
            _say(out, "demo: running the host: python -m quorvane_host " + " ".join(cmd[3:]))
            _say(out)
            env = _package_path_env()
            env[ENV_API_KEY], env[ENV_SECRET_KEY] = api_key, secret
            try:
                out.flush()
            except (OSError, ValueError):
                pass
            stdout = out if hasattr(out, "fileno") and _has_fd(out) else None
            child = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=stdout if stdout is not None else subprocess.PIPE,
                                     stderr=subprocess.STDOUT if stdout is None else None)
            timeout = child_timeout if child_timeout is not None else delay + time_limit + 60
            interrupted = False
            try:
                captured = _wait(child, timeout, out if stdout is None else None)
            except KeyboardInterrupt:
                # Ctrl-C reached the child too; let it wind down and report.
                interrupted = True
                captured = _wait(child, 30, out if stdout is None else None)
            rc = child.returncode
            result = None
            try:
                with open(result_path) as fh:
                    result = json.load(fh)
            except (OSError, ValueError):
                pass
        summary = _summary(result, exchange, open_ms)
    summary["host_exit_code"] = rc
    summary["interrupted"] = interrupted
    if result is not None:
        _print_summary(out, summary)
    if rc != 0:
        _say(out, f"demo: the host exited with status {rc}")
    ok = rc == 0 and not summary["problems"] and summary["exchange_accepted"] >= orders
    summary["exit_code"] = 0 if ok else (130 if interrupted else 1)
    summary["captured"] = captured
    return summary


def _has_fd(stream: IO[str]) -> bool:
    try:
        stream.fileno()
        return True
    except (OSError, ValueError, AttributeError):
        return False


def _wait(child: subprocess.Popen, timeout: float, relay: Optional[IO[str]]) -> Optional[str]:
    """Wait for the child; pass its output on to ``relay`` when it was captured."""
    deadline = time.monotonic() + timeout
    chunks: List[str] = []
    if relay is not None and child.stdout is not None:
        for raw in child.stdout:
            text = raw.decode("utf-8", "replace")
            chunks.append(text)
            relay.write(text)
            if time.monotonic() > deadline:
                break
    try:
        child.wait(max(0.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        child.send_signal(signal.SIGINT)
        try:
            child.wait(10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
    return "".join(chunks) if chunks else None


def main(argv: Optional[List[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python -m quorvane_host.demo",
                                description="Buy a token on a loopback exchange the moment it opens.")
    p.add_argument("--delay", type=float, default=3.0, help="seconds until the opening (default 3)")
    p.add_argument("--orders", type=int, default=3, help="accepted orders to stop after (default 3)")
    p.add_argument("--quantity", default="0.5")
    p.add_argument("--symbol", default="QRVUSD")
    p.add_argument("--time-limit", type=float, default=5.0,
                   help="seconds after the opening at which the host stops anyway (default 5)")
    p.add_argument("--display", choices=("auto", "tty", "plain"), default="auto")
    p.add_argument("--log", help="file for the module's own lines (default: a temporary file)")
    p.add_argument("--result", help="write the summary as JSON here")
    args = p.parse_args(argv)
    if not 0.5 <= args.delay <= 3600:
        p.error("--delay must be between 0.5 and 3600 seconds")
    summary = run_demo(delay=args.delay, orders=args.orders, quantity=args.quantity,
                       symbol=args.symbol.upper(), time_limit=args.time_limit,
                       display=args.display, log=args.log)
    if args.result:
        with open(args.result, "w") as fh:
            json.dump({k: v for k, v in summary.items() if k != "captured"}, fh, indent=1)
    return summary["exit_code"]


if __name__ == "__main__":
    sys.exit(main())
