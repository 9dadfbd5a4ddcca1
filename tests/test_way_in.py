"""The command as a person and a script meet it: refusals at start, rehearsal output, one host per account."""

import json
import os
import pathlib
import pty
import signal
import subprocess
import sys
import threading
import time

import pytest

from openings import with_leads
from quorvane_host.cli.logfile import log_header, open_log
from quorvane_rehearsal.exchange import LoopbackExchange, Symbol

pytestmark = pytest.mark.python_side

REPO = pathlib.Path(__file__).resolve().parent.parent
KEYS = {"QUORVANE_API_KEY": "way-in-key", "QUORVANE_SECRET_KEY": "way-in-secret"}
NO_KEYS = {"QUORVANE_API_KEY": None, "QUORVANE_SECRET_KEY": None}


def _env(tmp_path, extra):
    env = {**os.environ, "HOME": str(tmp_path), "XDG_RUNTIME_DIR": str(tmp_path), **KEYS, **extra}
    return {k: v for k, v in env.items() if v is not None}


def _host(tmp_path, *args, extra=(), **kwargs):
    return subprocess.Popen([sys.executable, "-m", "quorvane_host", *args], env=_env(tmp_path, dict(extra)),
                            cwd=REPO, text=True, **kwargs)


@pytest.mark.parametrize("args, said", [
    (["1e3", "--exchange", "loopback"], "is not a plain number: give ASCII digits with at most one point"),
    (["1", "--key-file=~/.quorvane-keys"], "--key-file ~/.quorvane-keys: the shell did not expand the ~"),
    (["1", "--result", "~/buy.json"], "--result ~/buy.json: the shell did not expand the ~"),
    (["1", "--result", "{fifo}"], "is not a regular file but a pipe or a socket"),
    (["1", "--open-at"], "argument --open-at: expected one argument (see python -m quorvane_host --help)"),
    (["1", "--connect", "no-such-host.invalid:443", "--dry-run"], "Check the network"),
])
def test_refused_at_start_in_one_line(tmp_path, args, said):
    os.mkfifo(tmp_path / "fifo")
    args = [a.format(fifo=tmp_path / "fifo") for a in args]
    opening = [] if "--open-at" in args else ["--open-at", "+10m"]
    host = _host(tmp_path, "QRVUSD", *args, *opening, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, err = host.communicate(timeout=120)
    assert host.returncode == 2
    assert said in err and err.count("\n") == 1 and err.endswith("\n"), err


def _read_all(fd, into):
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the terminal's other side closed
            return
        if not chunk:
            return
        into.append(chunk)


@pytest.mark.parametrize("result, term, redrawn", [
    ("-", "dumb", False),
    ("/dev/stdout", None, False),
    ("-", "xterm", True),
])
def test_rehearsal_without_keys_result_on_stdout_report_on_a_terminal(tmp_path, result, term, redrawn):
    def rehearse(lead_s):
        """The rehearsal on a terminal: its exit status, standard output and what the terminal showed."""
        main, side = pty.openpty()
        seen = []
        reader = threading.Thread(target=_read_all, args=(main, seen))
        reader.start()
        extra = {**NO_KEYS, "TERM": term, "TZ": "Asia/Kolkata"}
        host = _host(tmp_path, "QRVUSD", "1", "--open-at", f"+{lead_s}s", "--exchange", "loopback",
                     "--result", result, extra=extra, stdout=subprocess.PIPE, stderr=side)
        out, _ = host.communicate(timeout=120 + lead_s)
        os.close(side)
        reader.join()
        os.close(main)
        return host, out, b"".join(seen).decode()

    # again with a longer lead when the start-up took it all: the countdown is the case's
    host, out, shown = with_leads(rehearse, lambda run: "opens in" in run[2], (3, 6, 12, 24))
    assert host.returncode == 0, shown
    assert json.loads(out)["exit_code"] == 0  # standard output holds the JSON and nothing else
    assert "keys: from the loopback exchange's own account" in shown
    assert "IST (UTC+05:30), in " in shown
    assert f"from another shell: kill {host.pid} (its pid)" in shown
    assert "\x1b" not in shown
    assert ("\r  opens in" in shown) is redrawn


def test_one_host_per_account_and_symbol(tmp_path):
    opening = int(time.time() * 1000) + 600_000
    with LoopbackExchange({KEYS["QUORVANE_API_KEY"]: KEYS["QUORVANE_SECRET_KEY"]},
                          [Symbol("QRVUSD", opening), Symbol("QRVEUR", opening)], lifetime=300) as ex:
        endpoint = ["--open-at", str(opening), "--connect", f"127.0.0.1:{ex.port}", "--cafile", ex.cafile]
        first = _host(tmp_path, "QRVUSD", "1", *endpoint, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            assert "checking the endpoint" in first.stdout.readline()  # past the lock
            for symbol, more, status in [("QRVUSD", ["--dry-run"], 2), ("QRVEUR", ["--dry-run"], 0),
                                         ("QRVUSD", ["--dry-run", "--exchange", "loopback"], 0)]:
                args = endpoint if "loopback" not in more else ["--open-at", str(opening)]
                other = _host(tmp_path, symbol, "1", *args, *more, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
                _, err = other.communicate(timeout=120)
                assert other.returncode == status, err
                assert (f"another host is running for this account and symbol (pid {first.pid})" in err) is (
                    status == 2)
                # SIGTERM, which a host started with nohup ... & still takes (SIGINT it may ignore)
                assert (f"(kill {first.pid})" in err) is (status == 2)
        finally:
            first.send_signal(signal.SIGINT)
            first.communicate(timeout=120)
    assert first.returncode == 130


def test_a_log_another_host_began_is_said_so(tmp_path):
    log = tmp_path / "run.log"
    log.write_bytes(log_header())  # begun by another host after this one's start-up check
    with pytest.raises(FileExistsError) as caught:
        open_log(str(log), existing=False)
    assert str(caught.value).startswith(f"{log} is a log of this host, begun since this run started: another host")
