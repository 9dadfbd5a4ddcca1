"""The listing benchmark: when does the first order reach the exchange, over a real network?

For each round trip (2, 30, 80 ms, with jitter 0.5, 2 and 4 ms) and each
clock skew of the exchange (300 ms behind, equal, 300 ms ahead), the host
buys on a symbol that opens a few seconds later, over the rehearsal network
(loopback exchange and delay relay in a process of their own), twice per
run:

* the module on its own: this machine's clock, a new connection for every
  order, the opening time unchanged (the host's --no-clock-sync --pool 0
  --no-compensation);
* the host's defaults: the exchange's clock, warm connections, the opening
  moved by the way there.

Each host stops after its first accepted order.  The table gives the first
accepted order's arrival relative to the opening (by the exchange's clock;
median and worst of the runs) and the orders refused as too early (total
over the runs); the picture shows every order's arrival.

A last table runs the host's defaults on a busy machine: four CPU-bound
processes beside it on the machine's cores, the exchange and its relay
(30 ms round trip) at a raised priority so that only the host is starved,
with the real-time class at the firing and without it (``--priority
normal``), alternately.  The rehearsal process gets the real-time class
(``SCHED_FIFO`` 1) where the system allows it, else nice -10: the kernel's
fair scheduler lets a process woken at a raised nice value wait for a
CPU-bound one's time slice (a few milliseconds on two cores) before it runs,
which the relay then added to the way of the order it was passing on.

    python bench/listing.py [--runs N] [--busy-runs N] [--out bench/results]

Writes listing.md, listing.json and listing.png (the picture needs
matplotlib, the project's ``bench`` extra, installed by ``make bench``).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import List, Optional

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)

from quorvane_rehearsal.demo import ALONE  # noqa: E402
from quorvane_rehearsal.exchange import Code, Symbol  # noqa: E402
from quorvane_host.cli.progname import package_path_env  # noqa: E402
from quorvane_rehearsal.network import RehearsalNetwork  # noqa: E402

NETWORKS = [(2.0, 0.5), (30.0, 2.0), (80.0, 4.0)]  # round trip, jitter (ms)
SKEWS = [-300.0, 0.0, 300.0]
MODES = [("alone", ALONE), ("defaults", [])]
KEY, SECRET = "bench-key", "bench-secret"


BUSY_PROCESSES = 4
BUSY_NETWORK = (30.0, 2.0)
BUSY_MODES = [("real-time", []), ("normal", ["--priority", "normal"])]


def one_run(net: RehearsalNetwork, symbol: str, extra: List[str], skew: float, rtt: float) -> dict:
    """List ``symbol``, run the host on it until its first accepted order; what the exchange saw."""
    # Room for the host's start-up check and its second look at the clock,
    # about 40 round trips.
    delay_ms = 3000 + 40 * rtt
    open_ms = int(time.time() * 1000 + skew + delay_ms)
    net.add_symbol(Symbol(symbol, open_ms, step="0.001"))
    with tempfile.TemporaryDirectory(prefix="quorvane-listing-") as work:
        result_path = os.path.join(work, "result.json")
        env = package_path_env()
        env.update(QUORVANE_API_KEY=KEY, QUORVANE_SECRET_KEY=SECRET)
        done = subprocess.run(
            [sys.executable, "-m", "quorvane_host", symbol, "0.5", "--open-at", str(open_ms),
             "--connect", f"{net.host}:{net.port}", "--cafile", net.cafile,
             "--orders", "1", "--max-orders", "400", "--time-limit", "2",
             "--log", os.path.join(work, "module.log"), "--log-max-mb", "8",
             "--result", result_path, "--display", "plain", *extra],
            env=env, cwd=REPO, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        try:
            with open(result_path) as fh:
                result = json.load(fh)
        except (OSError, ValueError):
            result = {}
    records = net.records(symbol)
    accepted = [r for r in records if r.accepted]
    return {
        "exit_code": done.returncode,
        "first_ms": accepted[0].arrival_ms - open_ms if accepted else None,
        "too_early": sum(1 for r in records if r.code == Code.NOT_OPEN),
        "timestamp_refused": sum(1 for r in records if r.code == Code.TIMESTAMP_OUTSIDE_WINDOW),
        "arrivals_ms": [round(r.arrival_ms - open_ms, 3) for r in records],
        "accepted": [r.accepted for r in records],
        "clock": result.get("clock"),
        "steps": _steps(result, records[0].arrival_ms if records else None),
        "load": os.getloadavg()[0],
        "error": None if done.returncode == 0 else (done.stdout[-400:] + done.stderr[-400:]),
    }


def _raise(pid: int) -> str:
    """Every thread of process ``pid`` (Linux keeps the class per thread) above the CPU-bound ones.

    The real-time class where allowed: the rehearsal process sleeps in its
    event loop between chunks, so it never holds a processor for long.
    Returns what it got, for the table.
    """
    tids = [int(tid) for tid in os.listdir(f"/proc/{pid}/task")]
    raised: List[int] = []
    try:
        for tid in tids:
            os.sched_setscheduler(tid, os.SCHED_FIFO, os.sched_param(1))
            raised.append(tid)
        return "the real-time class (SCHED_FIFO 1)"
    except OSError:
        for tid in raised:  # all or none: the table names one class
            os.sched_setscheduler(tid, os.SCHED_OTHER, os.sched_param(0))
    for tid in tids:
        try:
            os.setpriority(os.PRIO_PROCESS, tid, -10)
        except OSError:
            return "the ordinary priority (nothing higher allowed)"
    return "nice -10"


def run_busy(runs: int, log=print) -> dict:
    """The host's defaults with and without the real-time class, beside CPU-bound processes."""
    rtt, jitter = BUSY_NETWORK
    spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(BUSY_PROCESSES)]
    results: dict = {mode: [] for mode, _ in BUSY_MODES}
    try:
        with RehearsalNetwork({KEY: SECRET}, rtt_ms=rtt, jitter_ms=jitter, lifetime=3600) as net:
            raised = _raise(net._proc.pid)
            for i in range(runs):
                for mode, extra in (BUSY_MODES if i % 2 == 0 else BUSY_MODES[::-1]):
                    run = one_run(net, f"QRVB{i}{mode[0].upper()}", extra, 0.0, rtt)
                    results[mode].append(run)
                    first = run["first_ms"]
                    log(f"busy, rtt {rtt:g}+-{jitter:g} ms, {mode:9}: first accepted "
                        + (f"{first:+7.1f} ms" if first is not None else "   none   ")
                        + f", {run['too_early']} too early, load {run['load']:.1f}"
                        + (f"  [exit {run['exit_code']}: {run['error'][-300:]}]" if run["exit_code"] else "")
                        + (f"  {run['steps']}" if run["steps"] else ""))
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()
    return {"rtt_ms": rtt, "jitter_ms": jitter, "processes": BUSY_PROCESSES, "runs": results,
            "raised": raised}


def busy_table(busy: dict) -> str:
    lines = ["| busy machine | first accepted, each run (ms) | median / worst (ms) | too early | load |",
             "|---|---|---|---|---|"]
    for mode, _ in BUSY_MODES:
        runs = busy["runs"][mode]
        each = ", ".join(f"{r['first_ms']:+.1f}" if r["first_ms"] is not None else "none" for r in runs)
        loads = [r["load"] for r in runs]
        label = "real-time class at the firing" if mode == "real-time" else "without it (`--priority normal`)"
        lines.append(f"| {label} | {each} | {_first_cell(runs)} | {sum(r['too_early'] for r in runs)} "
                     f"| {min(loads):.1f}-{max(loads):.1f} |")
    lines.append("")
    lines.append(f"{busy['processes']} CPU-bound processes beside the host, the exchange and its relay "
                 f"({busy['rtt_ms']:g} ± {busy['jitter_ms']:g} ms) at {busy['raised']}; the host's defaults; arrival "
                 "of the first accepted order relative to the opening, by the exchange's clock.")
    return "\n".join(lines)


def _steps(result: dict, first_arrival: Optional[float]) -> Optional[dict]:
    """Where the first order's time went (ms, exchange clock), to tell the host's delays from the way's."""
    firing, pool, clock = result.get("firing"), result.get("pool"), result.get("clock")
    if not (firing and pool and pool.get("taken_at_ms") and clock and result.get("clock_sync")
            and first_arrival is not None):
        return None
    taken = pool["taken_at_ms"][0] + clock["offset_ms"]  # by the exchange's clock, as measured
    return {"fire_planned": round(firing["fire_at_ms"] - firing["open_ms"], 2),
            "taken": round(taken - firing["open_ms"], 2),
            "way": round(first_arrival - taken, 2),
            "delay_predicted": round(clock["delay_ms"], 2),
            "entered_before_ms": result.get("entered_before_firing_ms")}


def run_all(runs: int, log=print, modes=MODES) -> List[dict]:
    scenarios = []
    n = 0
    for rtt, jitter in NETWORKS:
        for skew in SKEWS:
            scenario = {"rtt_ms": rtt, "jitter_ms": jitter, "skew_ms": skew, "runs": {}}
            with RehearsalNetwork({KEY: SECRET}, rtt_ms=rtt, jitter_ms=jitter, clock_skew_ms=skew,
                                  lifetime=3600) as net:
                for i in range(runs):
                    for mode, extra in modes:  # alternated, so that both see the same machine
                        n += 1
                        run = one_run(net, f"QRV{n}", extra, skew, rtt)
                        scenario["runs"].setdefault(mode, []).append(run)
                        first = run["first_ms"]
                        log(f"rtt {rtt:g}+-{jitter:g} ms, skew {skew:+g} ms, {mode:8}: first accepted "
                            + (f"{first:+7.1f} ms" if first is not None else "   none   ")
                            + f", {run['too_early']} too early, load {run['load']:.1f}"
                            + (f"  [exit {run['exit_code']}]" if run["exit_code"] else "")
                            + (f"  {run['steps']}" if run["steps"] and mode == "defaults" else ""))
            scenarios.append(scenario)
    return scenarios


def _first_cell(runs: List[dict]) -> str:
    firsts = [r["first_ms"] for r in runs if r["first_ms"] is not None]
    if not firsts:
        return "none accepted"
    text = f"{statistics.median(firsts):+.1f} / {max(firsts):+.1f}"
    missing = len(runs) - len(firsts)
    return text + (f" ({missing} none)" if missing else "")


def table(scenarios: List[dict]) -> str:
    runs = len(scenarios[0]["runs"]["alone"]) if scenarios else 0
    lines = [
        f"| round trip | exchange clock | module alone: first accepted, median / worst (ms) | too early "
        f"| host defaults: first accepted, median / worst (ms) | too early |",
        "|---|---|---|---|---|---|",
    ]
    for s in scenarios:
        skew = s["skew_ms"]
        clock = "equal" if skew == 0 else f"{abs(skew):g} ms {'ahead' if skew > 0 else 'behind'}"
        cells = []
        for mode, _ in MODES:
            mode_runs = s["runs"][mode]
            cells += [_first_cell(mode_runs), str(sum(r["too_early"] for r in mode_runs))]
        lines.append(f"| {s['rtt_ms']:g} ± {s['jitter_ms']:g} ms | {clock} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append(f"{runs} runs per cell; arrival at the exchange relative to the opening, by the "
                 "exchange's clock; too early: orders refused because trading had not opened, "
                 "over all runs.")
    return "\n".join(lines)


def picture(scenarios: List[dict], path: str) -> Optional[str]:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib is not installed (make bench installs it): no picture"
    fig, axes = plt.subplots(1, 2, figsize=(12, 0.55 * len(scenarios) + 1.6), sharey=True)
    colours = {"alone": "#c0504d", "defaults": "#1f77b4"}
    titles = {"alone": "module alone (this machine's clock, cold connections)",
              "defaults": "host defaults (exchange clock, warm pool, compensation)"}
    labels = []
    for row, s in enumerate(scenarios):
        skew = s["skew_ms"]
        labels.append(f"rtt {s['rtt_ms']:g} ms, clock {'+' if skew > 0 else ''}{skew:g}")
        for ax, (mode, _) in zip(axes, MODES):
            for k, run in enumerate(s["runs"][mode]):
                y = row + (k - (len(s["runs"][mode]) - 1) / 2) * 0.18
                for x, ok in zip(run["arrivals_ms"], run["accepted"]):
                    ax.scatter([x], [y], s=18, marker="o" if ok else "x",
                               color=colours[mode] if ok else "#7f7f7f", linewidths=1)
    for ax, (mode, _) in zip(axes, MODES):
        ax.axvline(0, color="black", linewidth=0.8)
        ax.set_title(titles[mode], fontsize=10)
        ax.set_xlabel("arrival at the exchange, ms from the opening (x: refused, o: accepted)")
        ax.grid(axis="x", alpha=0.3)
    axes[0].set_yticks(range(len(scenarios)))
    axes[0].set_yticklabels(labels, fontsize=8)
    axes[0].invert_yaxis()
    axes[0].set_xlim(-450, 450)
    arrivals = [x for s in scenarios for run in s["runs"]["defaults"] for x in run["arrivals_ms"]]
    axes[1].set_xlim(min([-10.0] + [x - 2 for x in arrivals]), max([20.0] + [x + 2 for x in arrivals]))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


def main(argv: Optional[List[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python bench/listing.py", description=__doc__.split("\n")[0])
    p.add_argument("--runs", type=int, default=3, help="runs per scenario and mode (default 3)")
    p.add_argument("--only", choices=[m for m, _ in MODES], help="run one mode only (no table)")
    p.add_argument("--busy-runs", type=int, default=8, help="runs per mode on the busy machine (default 8; 0: none)")
    p.add_argument("--busy-only", action="store_true", help="only the busy machine's table")
    p.add_argument("--out", default=os.path.join(REPO, "bench", "results"), help="folder for the results")
    args = p.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    started = time.time()
    print(f"listing benchmark: {0 if args.busy_only else len(NETWORKS) * len(SKEWS)} scenarios x {len(MODES)} "
          f"modes x {args.runs} runs, and the busy machine x {len(BUSY_MODES)} modes x {args.busy_runs} runs "
          f"(load {os.getloadavg()[0]:.1f})", flush=True)
    say = lambda text: print(text, flush=True)  # noqa: E731
    if args.busy_only:
        text = busy_table(run_busy(args.busy_runs, log=say))
        print()
        print(text)
        with open(os.path.join(args.out, "listing-busy.md"), "w") as fh:
            fh.write(text + "\n")
        return 0
    modes = [m for m in MODES if args.only in (None, m[0])]
    scenarios = run_all(args.runs, log=say, modes=modes)
    if args.only:
        return 0
    text = table(scenarios)
    if args.busy_runs:
        text += "\n\n" + busy_table(run_busy(args.busy_runs, log=say))
    print()
    print(text)
    with open(os.path.join(args.out, "listing.md"), "w") as fh:
        fh.write(text + "\n")
    with open(os.path.join(args.out, "listing.json"), "w") as fh:
        json.dump(scenarios, fh, indent=1)
    problem = picture(scenarios, os.path.join(args.out, "listing.png"))
    print(problem or f"picture: {os.path.join(args.out, 'listing.png')}")
    print(f"({time.time() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
