"""Where a run's own files go when the command line names none: the log in the user's state
folder, the newest few kept; the console's record in the temporary folder, a dead host's removed."""
import os
import subprocess
import sys

import pytest

from quorvane_host.cli.files import HOST_LOG_MARK
from quorvane_host.cli.runfiles import new_default_log, prune_logs, remove_leftover_records

pytestmark = pytest.mark.python_side

LOG = HOST_LOG_MARK + b" started 2030-01-01T00:00:00+0000, pid 1\n"


def test_only_the_newest_logs_are_kept(tmp_path):
    def make(name, content, age_s):
        path = tmp_path / name
        path.write_bytes(content)
        os.utime(path, (1e9 - age_s, 1e9 - age_s))

    for age in range(5):
        make(f"QRVUSD-{age}.log", LOG, age)
    make("QRVUSD-4.log.1", LOG, 9)  # the oldest log's older part goes with it
    make("notes.log", b"mine\n", 99)  # not a log of the host's
    make("QRVUSD-9.txt", LOG, 99)  # not named as a log
    prune_logs(str(tmp_path), 2)
    assert sorted(os.listdir(tmp_path)) == ["QRVUSD-0.log", "QRVUSD-1.log", "QRVUSD-9.txt", "notes.log"]


def test_a_run_without_log_writes_into_the_state_folder(tmp_path):
    env = {"XDG_STATE_HOME": str(tmp_path / "state")}
    paths = [new_default_log("qrvusd", env, keep=3) for _ in range(5)]
    folder = tmp_path / "state" / "quorvane" / "logs"
    assert sorted(os.listdir(folder)) == sorted(os.path.basename(p) for p in paths[-3:])
    assert os.stat(folder).st_mode & 0o777 == 0o700 and os.stat(paths[-1]).st_mode & 0o777 == 0o600
    assert os.path.basename(paths[-1]).startswith("QRVUSD-")
    with open(paths[-1], "rb") as fh:
        assert fh.read().startswith(HOST_LOG_MARK)


def test_records_of_hosts_no_longer_running_are_removed(tmp_path):
    gone = subprocess.Popen([sys.executable, "-c", ""])
    gone.wait()
    names = {
        f"quorvane-console-{gone.pid}-a1.json": False,
        f"quorvane-console-{os.getpid()}-b2.json": True,  # its host runs
        "quorvane-console-c3.json": True,  # no pid in its name: not known to be left over
        f"quorvane-other-{gone.pid}-d4.json": True,
    }
    for name in names:
        (tmp_path / name).write_text("{}")
    remove_leftover_records(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == sorted(name for name, kept in names.items() if kept)
