"""The demo: ``quorvane_3`` buys a token on a loopback exchange the moment it opens.

``quorvane-demo`` (what ``make demo`` runs):

1. starts a rehearsal network (:mod:`quorvane_rehearsal.network`): the loopback
   exchange on 127.0.0.1 behind a delay relay, in a process of their own,
   by default with a 20 ms round trip and the exchange's clock 250 ms ahead
   of this machine's, with a throwaway account;
2. lists a symbol that opens a few seconds from now (by the exchange's
   clock) and runs the host (``python -m quorvane_host``) in a child process
   against it: the host measures the exchange's clock and shows the offset,
   the round trip and the jitter before the countdown, and awaits
   ``listen_for_trades`` (whose polling holds its thread: a process of its
   own);
3. the child sends the module's own lines to a log file whose path it shows,
   and shows a countdown and each order's outcome and time instead;
4. at the end this process checks the host's report against the exchange's
   own record of the requests and adds what only the exchange knows (when
   the first accepted order reached it) to the host's report: one summary.

The host's log and result go to a folder of the demo's own (mode 0700),
removed at the end unless ``--keep-log`` is given (or ``--log FILE``, which
is kept where it is).  Output paths are checked before anything starts.

``--compare`` first runs the host as the module behaves on its own (this
machine's clock, a new connection per order, the opening unchanged), then
with the host's defaults, on a symbol each, and prints both side by side.

It stops by itself (the host's stop rule) and exits 0 when all went well.
"""

from __future__ import annotations

import argparse
import json
import os
import secrets
import shutil
import signal
import statistics
import subprocess
import sys
import time
from typing import IO, Any, Dict, List, Optional, Tuple

from quorvane_rehearsal.exchange import Code, Record, Symbol
from quorvane_host.cli.files import check_output_path, private_folder, write_new
from quorvane_host.cli.keys import ENV_API_KEY, ENV_SECRET_KEY
from quorvane_host.cli.progname import package_path_env
from quorvane_rehearsal.commandline import CommandParser
from quorvane_rehearsal.orders import quantity_problem
from quorvane_rehearsal.behaviour import Behaviour, add_behaviour_arguments, behaviour_from_args
from quorvane_rehearsal.exchange import parse_time_ms
from quorvane_rehearsal.network import RehearsalNetwork
from quorvane_host.cli.times import current_ms, format_ms
from quorvane_host.words import plural

# The host's options for the module on its own: this machine's clock, a new
# connection for every order, the opening time unchanged.
ALONE = ["--no-clock-sync", "--pool", "0", "--no-compensation"]
# The lot step of the symbol the demo lists: --quantity is checked against it first.
DEMO_STEP = "0.001"

__all__ = ["run_demo", "main"]

EXIT_USAGE = 2


def _say(out: IO[str], text: str = "") -> None:
    out.write(text + "\n")
    out.flush()


def _summary(result: Optional[dict], records: List[Record], open_ms: int,
             report: Optional[dict] = None) -> dict:
    # An expired order was taken and filled nothing: the host counts it as answered 200, too.
    accepted = [r for r in records if r.accepted or r.outcome == "expired"]
    filled = [r for r in records if r.accepted]
    ex_too_early = sum(1 for r in records if r.code == Code.NOT_OPEN)
    summary: Dict[str, Any] = {
        "open_ms": open_ms,
        "exchange_requests": len(records),
        "exchange_accepted": len(accepted),
        "exchange_too_early": ex_too_early,
        "exchange_filled": len(filled),
        "first_accepted_after_open_ms": (filled[0].arrival_ms - open_ms) if filled else None,
        "late_ms": (report or {}).get("late_ms") or 0,
        "first_accepted_after_real_open_ms": (report or {}).get("first_accepted_after_real_open_ms"),
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
            clock=result.get("clock"),
            clock_sync=result.get("clock_sync"),
            firing=result.get("firing"),
            pool=result.get("pool"),
        )
    problems = []
    if result is not None:
        if summary["orders"] != len(records):
            problems.append(f"the host placed {plural(summary['orders'] or 0, 'order')}, "
                            f"the exchange saw {len(records)}")
        if summary["accepted"] != len(accepted):
            problems.append(f"the host saw {summary['accepted']} accepted, the exchange {len(accepted)}")
        if summary["too_early"] != ex_too_early:
            problems.append(f"the host saw {summary['too_early']} too early, the exchange {ex_too_early}")
    summary["problems"] = problems
    summary["records"] = [r.to_dict() for r in records]
    return summary


def _print_summary(out: IO[str], s: dict) -> None:
    """What the exchange saw, after the host's own report (which this does not repeat)."""
    _say(out)
    _say(out, "demo summary, by the exchange's own record")
    first = s["first_accepted_after_open_ms"]
    if first is not None:
        when = "after" if first >= 0 else "before"
        _say(out, f"  first filled order reached the exchange {abs(first):.1f} ms {when} the opening")
        real = s.get("first_accepted_after_real_open_ms")
        if s.get("late_ms") and real is not None:
            _say(out, f"  the listing opened {s['late_ms']:g} ms late: {real:+.1f} ms from its real opening")
    else:
        _say(out, "  no order was filled")
    _say(out, f"  orders placed in all: {s['orders'] if s['orders'] is not None else '?'} "
              f"({s['accepted'] if s['accepted'] is not None else '?'} accepted, "
              f"{s['too_early'] if s['too_early'] is not None else '?'} refused as too early); "
              f"the exchange recorded {plural(s['exchange_requests'], 'request')}, "
              f"{s['exchange_accepted']} accepted, {s['exchange_too_early']} too early")
    for problem in s["problems"]:
        _say(out, f"  MISMATCH: {problem}")


def run_demo(
    *,
    delay: float = 5.0,
    orders: int = 3,
    quantity: str = "0.5",
    symbol: str = "QRVUSD",
    time_limit: float = 5.0,
    max_orders: int = 2000,
    display: str = "auto",
    log: Optional[str] = None,
    keep_log: bool = False,
    out: IO[str] = sys.stdout,
    child_timeout: Optional[float] = None,
    rtt_ms: float = 20.0,
    jitter_ms: float = 1.0,
    clock_skew_ms: float = 250.0,
    compare: bool = False,
    behaviour: Optional[Behaviour] = None,
) -> dict:
    """Run the whole demo; returns the summary (with ``exit_code``).

    With ``compare``, the summary is that of the host's defaults and carries
    the module-alone run under ``"alone"``.  The host's log goes to ``log``
    if given, else to the demo's own folder, kept only with ``keep_log``.
    """
    api_key, secret = "demo-" + secrets.token_hex(6), secrets.token_hex(24)
    runs: List[Tuple[Optional[str], str, List[str]]] = \
        [("on its own", symbol + "A", ALONE), ("with the host's defaults", symbol, [])] if compare \
        else [(None, symbol, [])]
    # Leave the network running a while past the host's own limits, then let it go.
    lifetime = len(runs) * (delay + time_limit + 60) + 60
    summaries: List[dict] = []
    work = private_folder("quorvane-demo-")
    try:
        _rehearse(work, runs, summaries, api_key=api_key, secret=secret, lifetime=lifetime,
                  delay=delay, orders=orders, quantity=quantity, time_limit=time_limit,
                  max_orders=max_orders, display=display, log=log, out=out,
                  child_timeout=child_timeout, rtt_ms=rtt_ms, jitter_ms=jitter_ms,
                  clock_skew_ms=clock_skew_ms, behaviour=behaviour)
    finally:
        kept = keep_log and not log
        if kept:
            _say(out, f"demo: the module's own lines are kept in {work} (--keep-log)")
        else:
            shutil.rmtree(work, ignore_errors=True)
            if not log:
                _say(out, "demo: the module's own lines were removed with the demo's folder "
                          "(--keep-log keeps them)")
    summary = summaries[-1]
    if compare and len(summaries) == 2:
        summary["alone"] = summaries[0]
        _print_comparison(out, summaries[0], summaries[1])
    summary["exit_code"] = max(s["exit_code"] for s in summaries)
    if not kept and not log:
        for s in summaries:
            s["log"] = None  # removed with the demo's folder
    return summary


def _rehearse(work: str, runs: List[Tuple[Optional[str], str, List[str]]], summaries: List[dict], *,
              api_key: str, secret: str, lifetime: float, rtt_ms: float, jitter_ms: float,
              clock_skew_ms: float, behaviour: Optional[Behaviour] = None,
              **host_options: Any) -> None:
    with RehearsalNetwork({api_key: secret}, rtt_ms=rtt_ms, jitter_ms=jitter_ms,
                          clock_skew_ms=clock_skew_ms, lifetime=lifetime, behaviour=behaviour) as net:
        out = host_options["out"]
        ahead = "ahead of" if clock_skew_ms >= 0 else "behind"
        _say(out, f"demo: loopback exchange behind a relay on 127.0.0.1:{net.port}: round trip "
                  f"{rtt_ms:g} ms +- {jitter_ms:g} ms, its clock {abs(clock_skew_ms):g} ms {ahead} this "
                  f"machine's; account {api_key}")
        for label, name, extra in runs:
            if label:
                _say(out)
                _say(out, f"demo: the module {label}")
            summary = _run_host(net, work, api_key, secret, name, extra,
                                clock_skew_ms=clock_skew_ms, **host_options)
            summaries.append(summary)
            if summary.get("interrupted") or summary["host_exit_code"] == EXIT_USAGE:
                break


def _run_host(net: RehearsalNetwork, work: str, api_key: str, secret: str, symbol: str,
              extra: List[str], *,
              delay: float, orders: int, quantity: str, time_limit: float, max_orders: int,
              display: str, log: Optional[str], out: IO[str], child_timeout: Optional[float],
              clock_skew_ms: float) -> dict:
    """List ``symbol`` opening ``delay`` s from now, run the host on it; the summary."""
    open_ms = current_ms() + int(clock_skew_ms) + int(delay * 1000)  # by the exchange's clock
    net.add_symbol(Symbol(symbol, open_ms, step=DEMO_STEP))
    result_path = os.path.join(work, f"{symbol}-result.json")
    _say(out, f"demo: {symbol} opens at {format_ms(open_ms)} by the exchange's clock, "
              f"{delay:.1f} s from now")
    cmd = [*_host_command(), symbol, quantity,
           "--open-at", str(open_ms),
           "--connect", f"{net.host}:{net.port}", "--cafile", net.cafile,
           "--orders", str(orders), "--time-limit", f"{time_limit:g}",
           "--max-orders", str(max_orders), "--result", result_path,
           # a rehearsal needs only the log's tail: keep it small
           "--log-max-mb", "32",
           "--display", {"auto": "auto", "tty": "tty", "plain": "plain"}[display], *extra]
    cmd += ["--log", log or os.path.join(work, f"{symbol}.log")]
    if log:  # --compare runs the host twice: the second goes on with the log the first made
        cmd.append("--log-append")
    _say(out, "demo: running the host: quorvane-host " + " ".join(cmd[len(_host_command()):]))
    _say(out)
    env = package_path_env()
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
    summary = _summary(result, net.records(symbol), open_ms, net.report(symbol))
    summary["symbol"] = symbol
    summary["host_exit_code"] = rc
    summary["interrupted"] = interrupted
    if result is not None:
        _print_summary(out, summary)
    if rc != 0:
        _say(out, f"demo: the host exited with status {rc}")
    ok = rc == 0 and not summary["problems"] and summary["exchange_filled"] >= orders
    summary["exit_code"] = 0 if ok else (130 if interrupted else EXIT_USAGE if rc == EXIT_USAGE else 1)
    summary["captured"] = captured
    return summary


def _print_comparison(out: IO[str], alone: dict, new: dict) -> None:
    def first(s: dict) -> str:
        v = s["first_accepted_after_open_ms"]
        return "none accepted" if v is None else f"{v:+.1f} ms"

    def per_order(s: dict) -> str:
        lat = s.get("latency_ms")
        return f"{lat['median']:g} ms" if lat else "-"

    rows = [
        ("first accepted order at the exchange, from the opening", first(alone), first(new)),
        ("orders refused as too early", str(alone["exchange_too_early"]), str(new["exchange_too_early"])),
        ("time per order (median)", per_order(alone), per_order(new)),
        ("orders placed in all", str(alone["exchange_requests"]), str(new["exchange_requests"])),
    ]
    width = max(len(r[0]) for r in rows)
    _say(out)
    _say(out, "demo: side by side")
    _say(out, f"  {'':{width}}  {'module alone':>14}  {'host defaults':>14}")
    for name, a, b in rows:
        _say(out, f"  {name:{width}}  {a:>14}  {b:>14}")


def _host_command() -> List[str]:
    """The host as a person runs it: the installed ``quorvane-host`` beside this interpreter.

    Its lines then start with the name the README shows.  From a checkout
    that was never installed: ``python -m quorvane_host``.
    """
    installed = os.path.join(os.path.dirname(sys.executable), "quorvane-host")
    if os.access(installed, os.X_OK):
        return [installed]
    return [sys.executable, "-m", "quorvane_host"]


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


EXAMPLES = (
    "quorvane-demo",
    "    QRVUSD opens 5 s from now over a 20 ms round trip; the host buys 3 orders of 0.5",
    "quorvane-demo --compare",
    "    the module on its own first, then with the host's defaults, side by side",
    "quorvane-demo --late-ms 1500 --order-limit 10 --expire-first 1 --greet",
    "    a listing that opens 1.5 s late, under a limit of 10 orders a second, whose first",
    "    order fills nothing, on an exchange that greets every connection",
)


def _parser() -> CommandParser:
    p = CommandParser(
        "quorvane-demo",
        "Buy a token on a loopback exchange the moment it opens: the exchange behind\n"
        "a delay relay in a process of their own (with a throwaway account), the host\n"
        "in a child process, then a summary checked against the exchange's own record.\n"
        "Exit status: 0 when the wanted orders were filled, 1 when not, 2 for bad input.",
        EXAMPLES)
    p.add_argument("--delay", type=float, default=5.0, metavar="S",
                   help="seconds until the opening (default 5)")
    p.add_argument("--orders", type=int, default=3, metavar="N",
                   help="filled orders to stop after (default 3)")
    p.add_argument("--quantity", default="0.5", metavar="Q",
                   help=f"quantity of each order, a multiple of the symbol's step {DEMO_STEP} (default 0.5)")
    p.add_argument("--symbol", default="QRVUSD", metavar="NAME",
                   help="the symbol that the demo lists (default QRVUSD)")
    p.add_argument("--time-limit", type=float, default=5.0, metavar="S",
                   help="seconds after the opening at which the host stops anyway (default 5)")
    p.add_argument("--display", choices=("auto", "tty", "plain"), default="auto",
                   help="the host's countdown: tty (redrawn in place), plain (a line now and then, "
                        "for a log or a pipe), auto (tty on a terminal; default)")
    p.add_argument("--log", metavar="FILE",
                   help="file for the module's own lines, kept (default: a temporary file, "
                        "removed at the end)")
    p.add_argument("--keep-log", action="store_true",
                   help="keep the temporary folder with the module's own lines")
    p.add_argument("--result", metavar="FILE", help="write the summary as JSON here")
    net = p.add_argument_group("the rehearsal network")
    net.add_argument("--rtt", type=float, default=20.0, metavar="MS",
                     help="round trip to the exchange (default 20; 0: straight to it)")
    net.add_argument("--jitter", type=float, default=1.0, metavar="MS",
                     help="how far a round trip strays from --rtt (default 1)")
    net.add_argument("--clock-skew", type=float, default=250.0, metavar="MS",
                     help="the exchange's clock runs this far ahead of this machine's, negative for "
                          "behind (default 250)")
    p.add_argument("--compare", action="store_true",
                   help="run the module on its own first (this machine's clock, a new connection per "
                        "order, the opening unchanged), then with the host's defaults; show both")
    # The exchange's listing-day behaviour, as quorvane-exchange takes it (a late opening,
    # an order limit, expired fills, ...): times by the exchange's clock.
    add_behaviour_arguments(p)
    return p


def main(argv: Optional[List[str]] = None) -> int:
    p = _parser()
    args = p.parse_args(argv)
    try:
        behaviour = behaviour_from_args(args, current_ms() + int(args.clock_skew), parse_time_ms)
    except (ValueError, argparse.ArgumentTypeError) as exc:
        p.error(str(exc))
    if not 0 <= args.jitter <= args.rtt and not (args.rtt == 0 and args.jitter == 0):
        p.error("--jitter must lie between 0 and --rtt")
    if not 0.5 <= args.delay <= 3600:
        p.error("--delay must be between 0.5 and 3600 seconds")
    if args.orders < 1:
        p.error("--orders must be at least 1")
    if not args.time_limit > 0:
        p.error("--time-limit must be more than 0 seconds")
    off_step = quantity_problem(args.quantity, DEMO_STEP)
    if off_step:
        p.error(f"--quantity {off_step} (the demo lists {args.symbol.upper()} with that step; "
                "e.g. --quantity 0.5)")
    for option, path in (("--log", args.log), ("--result", args.result)):
        problem = check_output_path(path, option)
        if problem:
            p.error(problem)
    summary = run_demo(delay=args.delay, orders=args.orders, quantity=args.quantity,
                       symbol=args.symbol.upper(), time_limit=args.time_limit,
                       display=args.display, log=args.log, keep_log=args.keep_log,
                       rtt_ms=args.rtt, jitter_ms=args.jitter,
                       clock_skew_ms=args.clock_skew, compare=args.compare, behaviour=behaviour)
    if args.result:
        data = json.dumps({k: v for k, v in summary.items() if k != "captured"}, indent=1,
                          default=lambda o: None)
        try:
            written = write_new(args.result, data.encode(), or_beside=True)
        except OSError as exc:
            p.fail(f"cannot write {args.result}: {exc.strerror or exc}")
        else:
            if written != os.path.realpath(args.result):  # the name was taken while the demo ran
                print(f"{p.prog}: {args.result} appeared while the demo ran; the summary is in {written}",
                      file=sys.stderr)
    return summary["exit_code"]


if __name__ == "__main__":
    sys.exit(main())
