"""Output that cannot change the outcome, files never written over, and stop requests from the first moment.

A terminal that goes away (a pipe closed by ``head``, a closed or full
standard output) must not change whether the host buys, its exit status,
or ``--result``; no file that was there before the run is written, replaced
or made owner-only; SIGHUP stops like SIGTERM; a stop request that lands
where its exception is swallowed still stops the run.
"""

import builtins
import socket
import os
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

from quorvane_host.cli.files import HOST_LOG_MARK, write_new
from quorvane_host.cli.logfile import RotatingLog
from quorvane_host.orders.observer import install_print_hook
from quorvane_host.run.session import SessionRunner
from quorvane_host.run.stopping import EarlyStop, HungUp, StopSignals
from test_host_run import KEYS, REPO, read_json, standin_env  # noqa: F401 - fixture

pytestmark = pytest.mark.python_side

SAID_ONCE = {
    "closed": "standard output is closed",
    "pipe closed early": "the output cannot be written (Broken pipe)",
    "/dev/full": "the output cannot be written (No space left on device)",
}


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def host_command(*args, opening_s=5):
    # The opening counted from the host's start: never in the past, however slowly it starts
    # (a rehearsal buys all the same if its start-up takes the whole lead).
    return [sys.executable, "-m", "quorvane_host", "QRVUSD", "1", "--exchange", "loopback",
            "--open-at", f"+{opening_s}s", "--display", "plain", *args]


def _close_stdout():
    os.close(1)


def run_with_stdout(kind, env, tmp_path, *args):
    """The host with standard output closed, cut off after its first line, or on /dev/full."""
    popen = dict(env=dict(env, **KEYS), cwd=REPO, stderr=subprocess.PIPE)
    command = host_command("--result", str(tmp_path / "result.json"), *args)
    if kind == "closed":
        proc = subprocess.Popen(command, preexec_fn=_close_stdout, **popen)
    elif kind == "/dev/full":
        with open("/dev/full", "wb") as full:
            proc = subprocess.Popen(command, stdout=full, **popen)
    else:
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, **popen)
        proc.stdout.readline()  # as `| head -1` would, then the reader goes away
        proc.stdout.close()
    try:
        err = proc.stderr.read()
        proc.wait(timeout=90)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, err.decode()


@pytest.mark.parametrize("kind", list(SAID_ONCE))
def test_output_that_fails_never_changes_the_outcome(standin_env, tmp_path, kind):
    status, err = run_with_stdout(kind, standin_env, tmp_path)
    assert status == 0, err  # it bought: a wrapper that retries on failure must not buy again
    assert "Traceback" not in err and "Exception ignored" not in err, err
    assert err.count(SAID_ONCE[kind]) == 1, err
    result = read_json(tmp_path / "result.json")
    assert result["exit_code"] == 0 and result["bought_orders"] == 1


def test_print_failing_inside_an_order_is_dropped(monkeypatch):
    seen = []

    class Observer:
        gate = None

        def line(self, text):
            seen.append(text)

    def broken(*args, **kwargs):
        raise BrokenPipeError(32, "Broken pipe")

    monkeypatch.setattr(builtins, "print", broken)
    install_print_hook(Observer())
    builtins.print("Buy order placed successfully: {}")  # the module's call, inside its order
    assert seen == ["Buy order placed successfully: {}"]


# ---------------------------------------------------------------------------
# Files: new ones only, or the host's own log with --log-append

NOTES = b"my notes\n"
OLD_LOG = HOST_LOG_MARK + b" started 2030-01-01T00:00:00+0000, pid 1\nTime from opening:5\n"


@pytest.mark.parametrize("name, content, flags, said", [
    ("notes.txt", NOTES, ["--log", "{path}"], "already exists; the host never writes over a file"),
    ("notes.txt", NOTES, ["--log", "{path}", "--log-append"], "is not a log of this host: --log-append goes on "
                                                              "only with a log this host wrote"),
    ("old.log", OLD_LOG, ["--log", "{path}"], "is a log of an earlier run; add --log-append"),
    ("result.json", b'{"mine": 1}\n', ["--result", "{path}"], "already exists"),
    ("result.json", OLD_LOG, ["--result", "{path}", "--log-append"], "already exists"),
    # the log's older part would take LOG.1 when the log starts afresh
    ("new.log.1", NOTES, ["--log", "{folder}/new.log"], "new.log.1 exists and is not a log of this host"),
])
def test_existing_files_are_refused_and_left_as_they_were(standin_env, tmp_path, name, content, flags, said):
    path = tmp_path / name
    path.write_bytes(content)
    os.chmod(path, 0o644)
    args = [f.format(path=path, folder=tmp_path) for f in flags]
    done = subprocess.run(host_command(*args, opening_s=60), env=dict(standin_env, **KEYS), cwd=REPO,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2, done.stdout + done.stderr
    assert said in done.stderr and done.stdout == ""
    assert path.read_bytes() == content and mode(path) == 0o644
    assert sorted(os.listdir(tmp_path)) == [name]  # nothing else created either


@pytest.mark.parametrize("name", ["-", "/dev/stdout"])
def test_log_to_standard_output_is_refused(standin_env, tmp_path, name):
    # Run in a folder of its own: a host that took "-" for a file name would make it there.
    env = dict(standin_env, **KEYS, PYTHONPATH=os.pathsep.join([REPO, standin_env["PYTHONPATH"]]))
    done = subprocess.run(host_command("--log", name), env=env, cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2 and done.stdout == "", done.stdout + done.stderr
    assert "too many for standard output; give a file" in done.stderr and done.stderr.count("\n") == 1
    assert os.listdir(tmp_path) == []


def test_the_hosts_own_log_goes_on_with_log_append(standin_env, tmp_path):
    log = tmp_path / "old.log"
    log.write_bytes(OLD_LOG)
    os.chmod(log, 0o640)  # the person's choice, kept
    done = subprocess.run(host_command("--log", str(log), "--log-append", "--result", str(tmp_path / "r.json")),
                          env=dict(standin_env, **KEYS), cwd=REPO, capture_output=True, text=True, timeout=90)
    assert done.returncode == 0, done.stdout + done.stderr
    text = log.read_bytes()
    assert text.startswith(OLD_LOG) and HOST_LOG_MARK + b" appended to " in text[len(OLD_LOG):]
    assert b"Buy order placed successfully" in text and mode(log) == 0o640


@pytest.mark.parametrize("taken, beside", [(False, False), (True, False), (True, True)])
def test_a_result_never_replaces_a_file(tmp_path, taken, beside):
    path = tmp_path / "result.json"
    if taken:
        path.write_bytes(NOTES)
    old_umask = os.umask(0o022)
    try:
        if taken and not beside:
            with pytest.raises(FileExistsError):
                write_new(str(path), b"{}")
            written = None
        else:
            written = write_new(str(path), b"{}", or_beside=beside)
    finally:
        os.umask(old_umask)
    if taken:
        assert path.read_bytes() == NOTES
    if written is not None:
        assert open(written, "rb").read() == b"{}" and mode(written) == 0o600
        assert (written == str(path)) == (not taken)
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


@pytest.mark.parametrize("content, older, rotates", [
    (None, None, True),  # a new log: both parts made by the host
    (OLD_LOG, OLD_LOG, True),  # the host's own parts
    (NOTES, None, False),  # a file of the person's is not a log to write to
    (None, NOTES, False),  # nor is one at the older part's name
])
def test_the_log_writes_only_into_logs_of_its_own(tmp_path, content, older, rotates):
    path = tmp_path / "m.log"
    before = {}
    for name, data in ((path, content), (tmp_path / "m.log.1", older)):
        if data is not None:
            name.write_bytes(data)
            os.chmod(name, 0o644)
            before[name] = data
    log = RotatingLog(str(path), 4096)
    for _ in range(10):
        log.write(b"x" * 1000)
    log.close()
    assert (log.rotations > 1) == rotates and (log.error is None) == rotates
    for name, data in before.items():
        if not rotates:  # left byte for byte, mode and all
            assert name.read_bytes() == data and mode(name) == 0o644
    if rotates:
        assert path.read_bytes().startswith(HOST_LOG_MARK + b" continued")


# ---------------------------------------------------------------------------
# Stop requests: SIGHUP, and one that lands where it is swallowed


def test_sighup_stops_like_sigterm(standin_env, tmp_path):
    log, result = tmp_path / "module.log", tmp_path / "result.json"
    proc = subprocess.Popen(host_command("--log", str(log), "--result", str(result), opening_s=30),
                            env=dict(standin_env, **KEYS), cwd=REPO, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        while proc.poll() is None and (not log.exists() or "left " not in log.read_text()):
            time.sleep(0.05)
        assert proc.poll() is None, "the host stopped before the countdown"
        proc.send_signal(signal.SIGHUP)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 129, out + err
    assert "hung up (SIGHUP) before the first order; nothing was sent" in out
    r = read_json(result)
    assert r["exit_code"] == 129 and r["placed"] == 0 and r["interrupted"] == "hung up (SIGHUP)"


SWALLOWED_AT_START = textwrap.dedent("""
    import builtins, signal, sys
    from quorvane_host import __main__ as command  # its stop handler comes first

    def request():
        signal.raise_signal(signal.{signal})

    class Swallowing:
        def __del__(self):
            request()  # what the handler raises is swallowed here, as in an import lock's callback

    class Named:
        def __set_name__(self, owner, name):
            request()  # what the handler raises becomes the cause of a RuntimeError

    real_import = builtins.__import__

    def importing(name, *args, **kwargs):
        if name == "quorvane_host.cli.main":  # while the command loads its modules
            builtins.__import__ = real_import
            {how}
        return real_import(name, *args, **kwargs)

    builtins.__import__ = importing
    sys.argv[1:] = {argv!r}
    command.run()
""")


@pytest.mark.parametrize("signum, status, said, how", [
    ("SIGINT", 130, "interrupted (Ctrl-C)", "Swallowing()"),
    ("SIGHUP", 129, "hung up (SIGHUP)", "Swallowing()"),
    ("SIGINT", 130, "interrupted (Ctrl-C)", "type('Owner', (), {{'attribute': Named()}})"),
])
def test_a_stop_request_swallowed_at_start_still_stops(standin_env, signum, status, said, how):
    # --dry-run: a host that lost the request would go on and exit 0
    argv = host_command("--dry-run", opening_s=60)[3:]
    script = SWALLOWED_AT_START.format(signal=signum, argv=argv, how=how.format())
    done = subprocess.run([sys.executable, "-c", script], env=dict(standin_env, **KEYS), cwd=REPO,
                          capture_output=True, text=True, timeout=60)
    text = done.stdout + done.stderr
    assert done.returncode == status, text
    assert f"{said} while starting; nothing was sent" in done.stderr
    assert "Traceback" not in text and "Exception ignored" not in text, text


def test_a_recorded_request_stops_before_the_next_session():
    signals = StopSignals()
    signals.request = HungUp  # recorded while no session ran
    ran = []

    async def session():
        ran.append(True)

    with pytest.raises(HungUp):
        SessionRunner(signals).run(session(), connector=None)
    assert ran == []


def test_install_takes_over_what_the_first_handler_recorded():
    early = EarlyStop()
    early.request = HungUp
    saved = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    closed = []
    try:
        signal.signal(signal.SIGHUP, early)
        signals = StopSignals(closed.append)
        with pytest.raises(HungUp):
            signals.install()
        assert signals.request is HungUp and closed == [HungUp]  # the gate closed first
        signals.restore()
        assert signal.getsignal(signal.SIGHUP) is early and not early.raising
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


@pytest.mark.parametrize("ignored", [signal.SIGHUP, signal.SIGINT], ids=["nohup", "background job"])
def test_a_signal_ignored_at_start_stays_ignored(monkeypatch, ignored):
    """Under nohup a dropped SSH session must not stop a wait of hours; the other signals still stop."""
    monkeypatch.setattr(sys, "unraisablehook", sys.unraisablehook)  # EarlyStop wraps it
    saved = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    try:
        signal.signal(ignored, signal.SIG_IGN)
        early = EarlyStop().install()
        signals = StopSignals().install()
        assert signal.getsignal(ignored) is signal.SIG_IGN
        assert signal.getsignal(signal.SIGTERM) == signals._handle
        signals.restore()
        assert signal.getsignal(ignored) is signal.SIG_IGN and signal.getsignal(signal.SIGTERM) is early
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


# ---------------------------------------------------------------------------
# --result comes before the report


def _state(tmp_path):
    from quorvane_host.cli.options import build_plan, parse_args
    from quorvane_host.orders.gate import Gate
    from quorvane_host.orders.observer import Observer
    from quorvane_host.orders.pace import Pace
    from quorvane_host.orders.refusals import Refusals
    from quorvane_host.run.state import RunState

    plan = build_plan(parse_args(["QRVUSD", "1", "--open-at", str(int(time.time() * 1000) + 600_000),
                                  "--result", str(tmp_path / "result.json")]),
                      {"QUORVANE_API_KEY": "k", "QUORVANE_SECRET_KEY": "s"})
    gate = Gate(None, plan.max_orders, lambda: None, pace=Pace(plan.max_order_rate))
    return RunState(plan, gate, Observer(plan.orders, gate, Refusals(plan.open_ms, plan.refusal_overrides)))


@pytest.mark.parametrize("report_fails", [False, True])
def test_result_is_written_before_the_report_is_shown(tmp_path, monkeypatch, report_fails):
    from quorvane_host.run import finish as finishing

    if report_fails:
        def broken(*args, **kwargs):
            raise RuntimeError("a report that cannot be made")
        monkeypatch.setattr(finishing, "result_document", broken)

    def say(line):  # a second Ctrl-C as the report starts
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        finishing.finish(_state(tmp_path), time.time(), 130, "interrupted (Ctrl-C)", say)
    r = read_json(tmp_path / "result.json")
    assert r["exit_code"] == 130 and r["placed"] == 0
    assert ("report_error" in r) == report_fails


def test_a_broken_stderr_leaves_the_exit_status(standin_env):
    # An endpoint where nothing listens: exit 2 and a message on stderr, which nobody reads.
    read_end, write_end = os.pipe()
    os.close(read_end)
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    try:
        done = subprocess.run([sys.executable, "-m", "quorvane_host", "QRVUSD", "1", "--open-at",
                               str(int(time.time() * 1000) + 60_000), "--connect", f"127.0.0.1:{port}"],
                              env=dict(standin_env, **KEYS), cwd=REPO, stdout=subprocess.DEVNULL,
                              stderr=write_end, timeout=60)
    finally:
        os.close(write_end)
    assert done.returncode == 2


@pytest.mark.parametrize("log, result, said", [
    ("out", "out", "--log and --result name the same file"),
    ("out", "./out", "--log and --result name the same file"),
    ("/dev/null", "/dev/null", None),  # a device takes both
])
def test_log_and_result_need_a_file_each(tmp_path, monkeypatch, capsys, log, result, said):
    from quorvane_host.cli.main import output_paths_problem
    from quorvane_host.cli.options import build_plan, parse_args

    monkeypatch.chdir(tmp_path)
    plan = build_plan(parse_args(["QRVUSD", "1", "--open-at", str(int(time.time() * 1000) + 600_000),
                                  "--log", log, "--result", result]),
                      {"QUORVANE_API_KEY": "k", "QUORVANE_SECRET_KEY": "s"})
    problem = output_paths_problem(plan)
    assert (problem is None) if said is None else said in problem
