"""One host per account and symbol: a lock taken at start-up and held until the host exits.

Two hosts started with the same keys for the same symbol would both buy,
each by its own stop rule.  So each real run takes an ``flock`` on a file
named by a hash (SHA-256) of the API key, the endpoint and the symbol, in
the user's runtime folder (``$XDG_RUNTIME_DIR/quorvane``) or, without one,
the cache folder (``~/.cache/quorvane``).  The hash keeps the key out of the
file's name; the file holds the pid of the host that has it, which the
second host names.  The kernel lets the lock go with the process, however
it ends, so a host that was killed leaves nothing to clean up.

A rehearsal's account is made for it (the loopback exchange's own): it
takes no lock.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import os
from typing import Mapping, Optional

__all__ = ["AccountBusy", "AccountLock", "lock_folder", "lock_path"]

_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)


class AccountBusy(Exception):
    """Another host holds the lock, or the lock cannot be taken: the message says what to do."""


def lock_folder(env: Mapping[str, str]) -> str:
    """``$XDG_RUNTIME_DIR/quorvane`` when that folder is there, else ``~/.cache/quorvane``."""
    runtime = env.get("XDG_RUNTIME_DIR", "")
    if os.path.isabs(runtime) and os.path.isdir(runtime):
        return os.path.join(runtime, "quorvane")
    cache = env.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(cache):
        cache = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "quorvane")


def lock_path(folder: str, api_key: str, endpoint: str, symbol: str) -> str:
    digest = hashlib.sha256("\n".join((api_key, endpoint, symbol.upper())).encode()).hexdigest()
    return os.path.join(folder, f"host-{digest[:32]}.lock")


def _holder(fd: int) -> Optional[int]:
    try:
        text = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
    except OSError:
        return None
    return int(text) if text.isdigit() else None


class AccountLock:
    """The lock of one account and symbol, held from :meth:`take` to :meth:`release`."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._fd: Optional[int] = None

    def take(self) -> "AccountLock":
        """Hold the lock, or raise :class:`AccountBusy` naming the host that holds it."""
        try:
            os.makedirs(os.path.dirname(self.path), mode=0o700, exist_ok=True)
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | _NOFOLLOW | _CLOEXEC, 0o600)
        except OSError as exc:
            raise AccountBusy(
                f"cannot make the lock that keeps a second host off this account and symbol "
                f"({self.path}: {exc.strerror or exc}); point XDG_RUNTIME_DIR at a folder of "
                "yours") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            holder = _holder(fd)
            os.close(fd)
            if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise AccountBusy(f"cannot take the lock {self.path}: {exc.strerror or exc}") from None
            who = f"pid {holder}" if holder is not None else "its pid unknown"
            # SIGTERM: a host started in the background from a script (nohup ... &) has
            # SIGINT ignored from its start, and kill -INT would do nothing.
            stop = f" (kill {holder})" if holder is not None else ""
            raise AccountBusy(
                f"another host is running for this account and symbol ({who}): the same API key, "
                f"endpoint and symbol. One host per account and symbol: wait for it to end, or stop "
                f"it first{stop}") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
        self._fd = fd
        return self

    def release(self) -> None:
        """Let the lock go (the process's exit would too); the file stays, to be taken again."""
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
