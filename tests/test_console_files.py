"""The console's log and the host's files: full disk, bounded log, owner-only files, no planted links."""

import importlib.util
import io
import os
import stat
import subprocess
import sys
import time

import pytest

from openings import started, with_leads
from quorvane_rehearsal import demo
from quorvane_host.cli.console import Console
from quorvane_host.cli.files import HOST_LOG_MARK, check_output_path, write_private
from quorvane_host.cli.logfile import FULL_BELOW_MS, LEFT_OUT_PREFIX, LogSampler, RotatingLog
from quorvane_host.cli.options import build_plan, parse_args
from quorvane_host.run.console_link import Terminal, start_console

pytestmark = pytest.mark.python_side

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.geteuid() == 0
OTHER_UID = 65534  # nobody


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def flood(top_ms, per_ms):
    """The module's output: ``per_ms`` countdown lines a millisecond, an order near the end."""
    parts = []
    for ms in range(top_ms, -4, -1):
        parts.append(b"Time from opening:%d\n" % ms * per_ms)
        if ms == 60:
            parts.append(b"Buy order placed successfully: {'result': {'orderId': 7}}\nBuy order took 3 ms\n")
    return b"".join(parts)


# ---------------------------------------------------------------------------
# Output paths, checked before anything is sent


def _other_users_link(tmp_path):
    os.symlink(tmp_path / "victim", tmp_path / "out.json")
    os.lchown(tmp_path / "out.json", OTHER_UID, OTHER_UID)
    return tmp_path / "out.json"


def _other_users_file(tmp_path):
    (tmp_path / "out.json").write_text("")
    os.chown(tmp_path / "out.json", OTHER_UID, OTHER_UID)
    return tmp_path / "out.json"


@pytest.mark.parametrize("make, said", [
    (lambda t: t / "out.json", None),
    (lambda t: "/dev/null", None),
    (lambda t: "", "needs a file name"),
    (lambda t: t / "missing" / "out.json", "does not exist; create it first (mkdir -p"),
    (lambda t: t, "is a folder; give the name of a file inside it"),
    (lambda t: os.mkfifo(t / "fifo") or t / "fifo", "is not a regular file"),
    pytest.param(_other_users_link, "symbolic link owned by another user",
                 marks=pytest.mark.skipif(not ROOT, reason="needs a file of another user")),
    pytest.param(_other_users_file, "belongs to another user",
                 marks=pytest.mark.skipif(not ROOT, reason="needs a file of another user")),
])
def test_output_path_check(tmp_path, make, said):
    problem = check_output_path(str(make(tmp_path)), "--result")
    if said is None:
        assert problem is None
    else:
        assert problem.startswith("--result") and said in problem
    assert not (tmp_path / "victim").exists()


@pytest.mark.parametrize("link, write", [
    ("out.json.tmp", lambda path: write_private(path, b"{}")),  # the console's record once did
    ("out.json", lambda path: RotatingLog(path, 4096).write(b"{}")),
])
def test_files_are_never_written_through_a_planted_link(tmp_path, link, write):
    victim = tmp_path / "victim"
    victim.write_text("keep")
    os.symlink(victim, tmp_path / link)
    write(str(tmp_path / "out.json"))
    assert victim.read_text() == "keep"


def test_rotated_log_stays_owner_only(tmp_path):
    # A file of the user's is never taken for a log (tests/test_host_output_safety.py):
    # the log is a new file, and stays owner-only under a permissive umask.
    path = tmp_path / "m.log"
    old_umask = os.umask(0o022)
    try:
        log = RotatingLog(str(path), 4096)
        for _ in range(10):
            log.write(b"x" * 1000)
        log.close()
    finally:
        os.umask(old_umask)
    assert log.rotations > 1 and mode(path) == mode(str(path) + ".1") == 0o600


def test_console_keeps_the_output_flowing_on_a_full_disk(tmp_path):
    # Everything is written to the console's pipe: a console that stopped
    # reading would make this write fail (BrokenPipeError) or hang.
    stream = flood(3000, 40) * 2
    done = subprocess.run(
        [sys.executable, "-m", "quorvane_host.cli.console", "--log", "/dev/full", "--tty", "no",
         "--record", str(tmp_path / "r.json")],
        input=stream, capture_output=True, cwd=REPO, timeout=120)
    out = done.stdout.decode()
    assert done.returncode == 0 and done.stderr == b""
    assert out.count("cannot be written (No space left on device); going on without it") == 1
    assert "order 2: accepted, order id 7 (3 ms)" in out


# ---------------------------------------------------------------------------
# What reaches the disk


@pytest.mark.parametrize("top_ms, per_ms, chunk", [
    (60_000, 30, 1 << 16),  # a minute of polling, read as the console reads it
    (4_000, 5, 7),  # any cut between reads
    (1_500, 5, 4096),  # started within the last seconds: nothing thinned
])
def test_log_keeps_what_matters_and_counts_the_rest(tmp_path, top_ms, per_ms, chunk):
    stream = flood(top_ms, per_ms)
    console = Console(io.StringIO(), tty=False, log=LogSampler(RotatingLog(str(tmp_path / "m.log"), 1 << 30)))
    for i in range(0, len(stream), chunk):
        console.feed(stream[i:i + chunk])
    console.close()
    header, *lines = (tmp_path / "m.log").read_bytes().splitlines()
    assert header.startswith(HOST_LOG_MARK)  # what tells the host's own log from a file of the user's
    countdown = [int(l[len(b"Time from opening:"):]) for l in lines if l.startswith(b"Time from opening:")]
    left_out = sum(int(l.split()[3]) for l in lines if l.startswith(LEFT_OUT_PREFIX))
    others = [l for l in lines if not l.startswith((b"Time from opening:", LEFT_OUT_PREFIX))]
    assert others == [b"Buy order placed successfully: {'result': {'orderId': 7}}", b"Buy order took 3 ms"]
    # every line of the last seconds is there, and the rest is counted
    last_seconds = [ms for ms in range(top_ms, -4, -1) if ms < FULL_BELOW_MS for _ in range(per_ms)]
    assert [ms for ms in countdown if ms < FULL_BELOW_MS] == last_seconds
    assert len(countdown) + left_out == stream.count(b"Time from opening:")
    assert console.record()["log"]["countdown_lines_left_out"] == left_out
    sampled = sum(len(l) + 1 for l in lines if l.startswith(LEFT_OUT_PREFIX)
                  or l.startswith(b"Time from opening:") and int(l[18:]) >= FULL_BELOW_MS)
    assert sampled <= 1_000 * max(0, top_ms - FULL_BELOW_MS) / 1000 + 100  # 1 kB a second of waiting


# ---------------------------------------------------------------------------
# The host's console child and the demo


def test_console_child_runs_without_the_keys(tmp_path, monkeypatch):
    env = {"QUORVANE_API_KEY": "api-key-value", "QUORVANE_SECRET_KEY": "secret-key-value"}
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    plan = build_plan(parse_args(["QRVUSD", "0.5", "--open-at", str(int(time.time() * 1000) + 600_000),
                                  "--log", str(tmp_path / "m.log")]), env)
    term = Terminal(os.dup(1))
    console, log_path, record_path = start_console(plan, term)
    with open(f"/proc/{console.pid}/environ", "rb") as fh:
        child_env = fh.read()
    console.stdin.close()
    console.wait(60)
    term.close()
    os.unlink(record_path)
    assert b"QUORVANE_API_KEY" not in child_env and b"secret-key-value" not in child_env
    assert mode(log_path) == 0o600


@pytest.mark.parametrize("argv, said", [
    (["--orders", "0"], "--orders must be at least 1"),
    (["--result", "/nonexistent-folder/summary.json"], "the folder /nonexistent-folder does not exist"),
])
def test_demo_refuses_bad_input_before_it_starts(argv, said, capsys):
    with pytest.raises(SystemExit) as exit_:
        demo.main(argv)
    assert exit_.value.code == 2 and said in capsys.readouterr().err


@pytest.mark.skipif(importlib.util.find_spec("quorvane_3") is None, reason="quorvane_3 is not built")
def test_demo_leaves_nothing_behind(tmp_path):
    def run_demo(delay):
        # The opening a few seconds after the exchange starts; again with a longer delay when it
        # passed while the host started (a busy machine).
        folder = tmp_path / f"delay-{delay}"
        folder.mkdir()
        return subprocess.run([sys.executable, "-m", "quorvane_rehearsal.demo", "--delay", str(delay), "--orders",
                               "1", "--time-limit", "3", "--display", "plain"],
                              env=dict(os.environ, TMPDIR=str(folder)), cwd=REPO, capture_output=True,
                              text=True, timeout=120 + delay)

    done = with_leads(run_demo, lambda done: started(done.stderr))
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.count("demo summary") == 1 and done.stdout.count("time per order") == 1
    assert [os.listdir(f) for f in tmp_path.iterdir()] == [[]] * len(os.listdir(tmp_path))  # nor a refused one
