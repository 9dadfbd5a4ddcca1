"""Benchmarks: the module against the same program as a plain Python script
and against C floor programs, per operation.

    python bench/run.py [--rounds N] [--only OP,OP] [--floor-dir DIR]

Every measurement runs in its own child process (bench/worker.py for the
module and the script, the floor programs for the floors); each figure is
the median over the rounds, and within a round the sides run one after the
other in an order that rotates from round to round, so that the machine's
drift touches every side alike. The table goes to standard output and, as
markdown, to bench/results/latest.md (with the raw figures in latest.json).
`import quorvane_3` finds the module through the ordinary import path (set
PYTHONPATH to measure a build directory).
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
WORKER = os.path.join(BENCH_DIR, "worker.py")
sys.path.insert(0, BENCH_DIR)

from worker import API_KEY, SECRET_KEY, SYMBOL  # noqa: E402

# Environment settings that change what is measured (unbuffered standard
# streams for both Python and the C runtime, no bytecode cache, debug
# modes): the children run without them.
DROPPED_ENV = (
    "PYTHONUNBUFFERED", "PYTHONDONTWRITEBYTECODE", "PYTHONDEVMODE", "PYTHONMALLOC",
    "PYTHONMALLOCSTATS", "PYTHONTRACEMALLOC", "PYTHONASYNCIODEBUG", "PYTHONPROFILEIMPORTTIME",
    "PYTHONINSPECT", "PYTHONVERBOSE", "PYTHONSTARTUP", "PYTHONWARNINGS", "PYTHONPYCACHEPREFIX",
    "LD_PRELOAD",
)


class Operation:
    def __init__(self, key, title, timed, target_script, target_floor=None, floor=None, rounds=5):
        self.key = key
        self.title = title
        self.timed = timed
        self.target_script = target_script
        self.target_floor = target_floor
        self.floor = floor
        self.rounds = rounds

    @property
    def sides(self):
        return ["module", "script"] + (["floor"] if self.floor else [])


OPERATIONS = [
    Operation("poll", "polling pass",
              "one pass of listen_for_trades before the opening (clock, subtraction, time-left line "
              "to a file, comparison, signal check), from the passes in 0.4 s",
              0.2, 2.0, floor="poll_floor"),
    Operation("sign", "sign_request",
              "sign_request of a 149-byte query string under a 64-character key",
              0.35, 1.5, floor="sign_floor"),
    Operation("order", "order body",
              "buy_market_order awaited, websockets rebound to a stand-in whose awaits finish at once, "
              "print a no-op",
              0.4),
    Operation("resume", "coroutine resume",
              "one send(None) through listen_for_trades -> buy_market_order -> an awaitable that "
              "suspends on every step",
              1.0),
    Operation("import", "import",
              "import of the program in a fresh interpreter, its dependencies already imported "
              "(the script from its bytecode cache)",
              1.0, rounds=11),
    Operation("loopback", "order over the loopback exchange",
              "buy_market_order from the call to its outcome line printed, TLS to the loopback "
              "exchange on 127.0.0.1 (the median of --orders orders per run, after one warm-up order)",
              1.0, rounds=15),
]


# ---------------------------------------------------------------------------
# Children


def child_env():
    env = {k: v for k, v in os.environ.items() if k not in DROPPED_ENV}
    return env


def run_child(cmd, *, timeout, stdout=subprocess.PIPE, env=None, parse_stderr=False):
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                          env=env or child_env(), timeout=timeout, cwd=ROOT)
    text = proc.stderr if parse_stderr else proc.stdout
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))} failed ({proc.returncode}):\n"
                           + proc.stderr.decode(errors="replace")[-2000:])
    lines = [l for l in text.decode(errors="replace").splitlines() if l.startswith("{")]
    if not lines:
        raise RuntimeError(f"{' '.join(map(str, cmd))} printed no result:\n"
                           + proc.stderr.decode(errors="replace")[-2000:])
    return json.loads(lines[-1])


class Bench:
    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.floor_dir = None
        self.floor_note = None
        self.exchange = None

    # ---- floors -----------------------------------------------------------

    def find_floors(self):
        names = ("poll_floor", "sign_floor")
        candidates = []
        if self.args.floor_dir:
            candidates.append(self.args.floor_dir)
        for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep):
            if entry:
                candidates.append(os.path.join(os.path.dirname(os.path.abspath(entry)), "bench"))
        candidates.append(os.path.join(ROOT, "build", "dev", "bench"))
        for d in candidates:
            if all(os.access(os.path.join(d, n), os.X_OK) for n in names):
                self.floor_dir = d
                return
        # No build directory with the floors: compile them here.
        cc = shutil.which("cc") or shutil.which("gcc")
        if not cc:
            raise RuntimeError("no floor programs found and no C compiler to build them")
        out = os.path.join(self.tmp, "floor")
        os.makedirs(out)
        for n in names:
            cmd = [cc, "-O2", "-std=c11", os.path.join(BENCH_DIR, "floor", n + ".c"), "-o",
                   os.path.join(out, n)] + (["-lcrypto"] if n == "sign_floor" else [])
            subprocess.run(cmd, check=True, timeout=120)
        self.floor_dir = out
        self.floor_note = "floors compiled by run.py (no build directory had them)"

    def floor(self, op):
        exe = os.path.join(self.floor_dir, op.floor)
        if op.key == "poll":
            out = os.path.join(self.tmp, "poll-floor.txt")
            try:
                with open(out, "wb") as fh:
                    return run_child([exe, str(int(self.args.poll_seconds * 1000))], stdout=fh,
                                     timeout=60, parse_stderr=True)
            finally:
                if os.path.exists(out):
                    os.unlink(out)
        if op.key == "sign":
            return run_child([exe, str(self.args.sign_iterations)], timeout=60)
        raise ValueError(op.key)

    # ---- module and script -------------------------------------------------

    def worker(self, op, side):
        seconds = self.args.poll_seconds if op.key == "poll" else self.args.seconds
        cmd = [sys.executable, WORKER, op.key, side, "--seconds", str(seconds)]
        if op.key == "poll":
            cmd += ["--out", os.path.join(self.tmp, f"poll-{side}.txt")]
        if op.key == "loopback":
            port, cafile = self.start_exchange()
            cmd += ["--port", str(port), "--cafile", cafile, "--orders", str(self.args.orders)]
        return run_child(cmd, timeout=120)

    def measure(self, op, side):
        if side == "floor":
            return self.floor(op)
        return self.worker(op, side)

    # ---- loopback exchange ----------------------------------------------------

    def start_exchange(self):
        if self.exchange is not None:
            return self.exchange[1], self.exchange[2]
        sys.path.insert(0, ROOT)
        from quorvane_rehearsal.exchange import make_self_signed

        tls = make_self_signed(self.tmp)
        log_path = os.path.join(self.tmp, "exchange.log")
        opened = int(time.time() * 1000) - 60_000
        cmd = [sys.executable, "-m", "quorvane_rehearsal.exchange",
               "--symbol", f"{SYMBOL}:{opened},step=0.001",
               "--account", f"{API_KEY}:{SECRET_KEY}",
               "--cert", tls.certfile, "--key", tls.keyfile,
               "--duration", "110"]
        log = open(log_path, "wb")
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                env=child_env(), cwd=ROOT)
        port = None
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and proc.poll() is None:
            with open(log_path, "rb") as fh:
                for line in fh.read().decode(errors="replace").splitlines():
                    if line.startswith("loopback exchange on wss://127.0.0.1:"):
                        port = int(line.split("127.0.0.1:", 1)[1].split("/", 1)[0])
            if port:
                break
            time.sleep(0.05)
        if not port:
            proc.kill()
            proc.wait(10)
            with open(log_path, "rb") as fh:
                raise RuntimeError("the loopback exchange did not start:\n" + fh.read().decode(errors="replace"))
        self.exchange = (proc, port, tls.certfile, log)
        return port, tls.certfile

    def stop_exchange(self):
        if self.exchange is None:
            return
        proc, _, _, log = self.exchange
        self.exchange = None
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(10)
        log.close()


# ---------------------------------------------------------------------------
# The table


def fmt_time(ns):
    if ns is None:
        return "-"
    if ns < 10_000:
        return f"{ns:,.0f} ns"
    if ns < 10_000_000:
        return f"{ns / 1000:,.1f} µs"
    return f"{ns / 1e6:,.2f} ms"


def fmt_ratio(r):
    return "-" if r is None else f"{r:.2f}"


def target_text(op):
    parts = [f"≤ {op.target_script:g}"]
    parts.append(f"≤ {op.target_floor:g}" if op.target_floor else "-")
    return " / ".join(parts)


def met(value, target):
    if value is None or target is None:
        return ""
    return " ✓" if value <= target else " ✗"


def summarize(results):
    rows = []
    for op, runs in results:
        med = {}
        spread = {}
        for side in op.sides:
            values = [r["ns_per_op"] for r in runs.get(side, []) if "ns_per_op" in r]
            med[side] = statistics.median(values) if values else None
            spread[side] = (min(values), max(values), len(values)) if values else None
        extras = {}
        for side in op.sides:
            for field in ("keyed_ns_per_op", "evp_mac_ns_per_op", "with_close_ns"):
                values = [r[field] for r in runs.get(side, []) if field in r]
                if values:
                    extras[(side, field)] = statistics.median(values)
            if any(r.get("stopped_by") == ["backstop"] for r in runs.get(side, [])):
                extras[(side, "backstop")] = True
        m, s, f = med.get("module"), med.get("script"), med.get("floor")
        rows.append({
            "op": op,
            "module": m,
            "script": s,
            "floor": f,
            "module/script": m / s if m and s else None,
            "module/floor": m / f if m and f else None,
            "spread": spread,
            "extras": extras,
            "errors": {side: r["error"] for side in op.sides for r in runs.get(side, []) if "error" in r},
        })
    return rows


def table_lines(rows):
    head = ["operation", "module", "script", "floor", "module/script", "module/floor",
            "target ratios (script / floor)"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in rows:
        op = row["op"]
        cells = [
            op.title,
            fmt_time(row["module"]) if row["module"] is not None else ("error" if "module" in row["errors"] else "-"),
            fmt_time(row["script"]) if row["script"] is not None else ("error" if "script" in row["errors"] else "-"),
            fmt_time(row["floor"]),
            fmt_ratio(row["module/script"]) + met(row["module/script"], op.target_script),
            fmt_ratio(row["module/floor"]) + met(row["module/floor"], op.target_floor),
            target_text(op),
        ]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def describe_machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} CPUs, Linux {platform.release()}, Python {platform.python_version()}"


def git_commit():
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True,
                             text=True, timeout=10)
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                               capture_output=True, text=True, timeout=10)
        return out.stdout.strip() + (" (with uncommitted changes)" if dirty.stdout.strip() else "")
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def markdown(rows, meta):
    lines = [f"Measured {meta['date']} on {meta['machine']}; commit {meta['commit']}; "
             f"module {meta['module']}; {meta['rounds']}.", ""]
    lines += table_lines(rows)
    lines += ["", "Times are per operation, medians over the runs; lower is better. "
              "✓/✗: the ratio against its target.", ""]
    for row in rows:
        op = row["op"]
        spread = "; ".join(f"{side} {fmt_time(v[0])} to {fmt_time(v[1])} over {v[2]} runs"
                           for side, v in row["spread"].items() if v)
        lines.append(f"- {op.title}: {op.timed}. Range: {spread or 'no result'}.")
        ex = row["extras"]
        if ("floor", "keyed_ns_per_op") in ex:
            lines.append(f"  - signing floor variants: with the key's padded blocks hashed once "
                         f"{fmt_time(ex[('floor', 'keyed_ns_per_op')])}; OpenSSL's EVP_MAC HMAC, key set per "
                         f"operation, {fmt_time(ex[('floor', 'evp_mac_ns_per_op')])}")
        closes = [(side, v) for (side, k), v in ex.items() if k == "with_close_ns"]
        if closes:
            lines.append("  - to the end of the call, closing handshake included: "
                         + ", ".join(f"{side} {fmt_time(v)}" for side, v in closes))
        for (side, k), v in ex.items():
            if k == "backstop":
                lines.append(f"  - {side}: the timer's signal was not acted on; the run ended at the opening")
        for side, err in row["errors"].items():
            lines.append(f"  - {side} failed: {err.splitlines()[-1] if err else err}")
    if meta.get("notes"):
        lines += [""] + [f"- {n}" for n in meta["notes"]]
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------


def main():
    p = argparse.ArgumentParser(description="Benchmarks of quorvane_3 against the script and the floors.")
    p.add_argument("--rounds", type=int, default=7, help="runs per side and operation (import and loopback: twice as many + 1)")
    p.add_argument("--only", help="comma-separated operations: " + ",".join(o.key for o in OPERATIONS))
    p.add_argument("--seconds", type=float, default=0.25, help="time budget of one in-process measurement")
    p.add_argument("--poll-seconds", type=float, default=0.4, help="wall time of one polling run")
    p.add_argument("--sign-iterations", type=int, default=400_000, help="operations of one signing floor run")
    p.add_argument("--orders", type=int, default=20, help="timed orders per loopback run")
    p.add_argument("--floor-dir", help="directory with poll_floor and sign_floor")
    p.add_argument("--out", default=os.path.join(BENCH_DIR, "results", "latest.md"))
    args = p.parse_args()

    ops = OPERATIONS
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {o.key for o in OPERATIONS}
        if unknown:
            p.error(f"unknown operations: {', '.join(sorted(unknown))}")
        ops = [o for o in OPERATIONS if o.key in wanted]
    for op in ops:
        if op.key in ("import", "loopback"):
            # Short runs with a wide spread: more of them.
            op.rounds = 2 * args.rounds + 1
        else:
            op.rounds = args.rounds

    started = time.monotonic()
    results = []
    notes = []
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-", dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None) as tmp:
        bench = Bench(args, tmp)
        if any(op.floor for op in ops):
            bench.find_floors()
            if bench.floor_note:
                notes.append(bench.floor_note)
        module_file = "not importable"
        try:
            for op in ops:
                runs = {side: [] for side in op.sides}
                if op.key == "import":
                    # Fill the bytecode cache and the page cache; not counted.
                    for side in ("module", "script"):
                        try:
                            bench.measure(op, side)
                        except (RuntimeError, subprocess.TimeoutExpired):
                            pass
                t_op = time.monotonic()
                for r in range(op.rounds):
                    order = op.sides[r % len(op.sides):] + op.sides[:r % len(op.sides)]
                    for side in order:
                        try:
                            res = bench.measure(op, side)
                        except (RuntimeError, subprocess.TimeoutExpired) as exc:
                            res = {"error": str(exc)}
                        if side == "module" and res.get("file"):
                            module_file = os.path.relpath(res["file"], ROOT)
                        runs[side].append(res)
                    if all(runs[s] and "error" in runs[s][-1] for s in ("module", "script")):
                        break
                results.append((op, runs))
                print(f"{op.title}: {time.monotonic() - t_op:.1f} s", flush=True)
        finally:
            bench.stop_exchange()

    rows = summarize(results)
    meta = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": describe_machine(),
        "commit": git_commit(),
        "module": module_file,
        "rounds": f"{args.rounds} runs per side (import and loopback {2 * args.rounds + 1}), each in its own process",
        "notes": notes,
    }
    print()
    print("\n".join(table_lines(rows)))
    for row in rows:
        for side, err in row["errors"].items():
            print(f"\n{row['op'].title}, {side}: {err}", file=sys.stderr)
    print(f"\n{len(rows)} operations in {time.monotonic() - started:.0f} s; module: {module_file}")

    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as fh:
        fh.write(markdown(rows, meta))
    raw = os.path.splitext(args.out)[0] + ".json"
    with open(raw, "w") as fh:
        json.dump({"meta": meta, "results": [
            {"op": op.key, "runs": runs} for op, runs in results]}, fh, indent=1)
    print(f"written: {os.path.relpath(args.out, ROOT)}, {os.path.relpath(raw, ROOT)}")
    failed = any(row["module"] is None or row["script"] is None for row in rows)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
