"""Where a run's own files go when the command line names none.

* The log of the module's lines: a new file in the user's state folder,
  ``$XDG_STATE_HOME/quorvane/logs`` (``~/.local/state/quorvane/logs`` when
  that variable is unset or not an absolute path), where a user looks for an
  application's logs.  Each run keeps the newest :data:`KEEP_LOGS` logs there
  and removes older ones, so trying the tool for an hour or a year costs the
  same disk.  Only files that are logs of this host (their first line) are
  ever removed.  When that folder cannot be made or is not the user's own, the
  log goes to the temporary folder, as a file there named for the run.
* The console's record (what it counted, read once at the end and removed):
  a file in the temporary folder whose name carries the host's pid.  A host
  killed before it could remove it leaves it behind; the next run removes
  every such file of a host that no longer runs.
"""

from __future__ import annotations

import os
import re
import stat
import tempfile
import time
from typing import List, Mapping, Optional, Tuple

from quorvane_host.cli.files import is_host_log, write_all
from quorvane_host.cli.logfile import log_header

__all__ = ["KEEP_LOGS", "log_folder", "new_console_record", "new_default_log", "prune_logs",
           "remove_leftover_records"]

KEEP_LOGS = 30
_RECORD_PREFIX = "quorvane-console-"
_RECORD_NAME = re.compile(re.escape(_RECORD_PREFIX) + r"(\d+)-[^/]*\.json\Z")


def log_folder(env: Mapping[str, str]) -> str:
    """``$XDG_STATE_HOME/quorvane/logs``, or ``~/.local/state/quorvane/logs``."""
    state = env.get("XDG_STATE_HOME", "")
    if not os.path.isabs(state):
        state = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, "quorvane", "logs")


def _own_folder(folder: str) -> bool:
    """Make ``folder`` (0700) if it is missing; whether it is a real folder of ours."""
    try:
        os.makedirs(folder, mode=0o700, exist_ok=True)
        st = os.lstat(folder)
    except OSError:
        return False
    return stat.S_ISDIR(st.st_mode) and st.st_uid == os.geteuid() and os.access(folder, os.W_OK | os.X_OK)


def prune_logs(folder: str, keep: int) -> List[str]:
    """Remove all but the newest ``keep`` of the host's logs in ``folder``; the paths removed.

    A log is a regular file named ``*.log`` whose first line marks it as the
    host's; its older part (``*.log.1``) goes with it.  Newest by the time it
    was last written: a log still being written is among the newest.
    """
    logs: List[Tuple[float, str]] = []
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    for name in names:
        if not name.endswith(".log"):
            continue
        path = os.path.join(folder, name)
        try:
            st = os.lstat(path)
        except OSError:
            continue
        if stat.S_ISREG(st.st_mode) and st.st_uid == os.geteuid() and is_host_log(path):
            logs.append((st.st_mtime, path))
    logs.sort(reverse=True)
    removed = []
    for _, path in logs[max(keep, 0):]:
        for part in (path, path + ".1"):
            if part != path and not is_host_log(part):
                continue
            try:
                os.unlink(part)
                removed.append(part)
            except OSError:
                pass
    return removed


def new_default_log(symbol: str, env: Mapping[str, str] = os.environ, keep: int = KEEP_LOGS) -> str:
    """A new log (0600, its header written) for a run given no ``--log``; its path."""
    name = f"{symbol.upper()}-{time.strftime('%Y%m%d-%H%M%S')}-"
    folder = log_folder(env)
    if _own_folder(folder):
        prune_logs(folder, keep - 1)
        fd, path = tempfile.mkstemp(prefix=name, suffix=".log", dir=folder)
    else:
        fd, path = tempfile.mkstemp(prefix="quorvane-" + name, suffix=".log")
    try:
        write_all(fd, log_header())
    finally:
        os.close(fd)
    return path


def _runs(pid: int) -> bool:
    """Whether a process of that pid runs; True for what is no pid at all (nothing removed for it)."""
    if pid <= 0:
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):  # another user's process, or no pid this system has
        return True
    return True


def remove_leftover_records(folder: Optional[str] = None) -> List[str]:
    """Remove the console records that hosts no longer running left in ``folder``; the paths removed."""
    folder = folder or tempfile.gettempdir()
    removed = []
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    for name in names:
        match = _RECORD_NAME.match(name)
        if not match or _runs(int(match.group(1))):
            continue
        path = os.path.join(folder, name)
        try:
            st = os.lstat(path)
            if stat.S_ISREG(st.st_mode) and st.st_uid == os.geteuid():
                os.unlink(path)
                removed.append(path)
        except OSError:
            pass
    return removed


def new_console_record() -> str:
    """An empty file for the console's record, named for this host; leftovers removed first."""
    remove_leftover_records()
    fd, path = tempfile.mkstemp(prefix=f"{_RECORD_PREFIX}{os.getpid()}-", suffix=".json")
    os.close(fd)
    return path
