"""Files the host writes: owner-only, never through a link someone else planted.

The log holds every reply of the exchange and the ``--result`` JSON every
order's outcome: nobody else on the machine should read them.  So

* every file the host creates is created with mode 0600 and ``O_EXCL`` /
  ``O_NOFOLLOW`` (an existing link or file at the name is never written
  through), or inside a folder of its own made with mode 0700;
* a file written whole (the result, the console's record) is written to a
  fresh temporary file beside it and renamed over the name, so a reader
  never sees half of it and a link at the name is replaced, not followed;
* :func:`check_output_path` tells, before anything is sent, whether a path
  given on the command line can be written, and what to do if not: an order
  must never be bought and then fail to be reported.

Character devices (``/dev/null``, a terminal) are written in place: they are
not files that could be read back by others, and a rename cannot replace
them.
"""

from __future__ import annotations

import os
import stat
import tempfile
from typing import Optional

__all__ = [
    "PRIVATE_MODE", "check_output_path", "create_private", "open_private_append",
    "private_folder", "resolve_output_path", "write_all", "write_private",
]

PRIVATE_MODE = 0o600
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)


def _trusted_owner(uid: int) -> bool:
    """A link made by us or by the system may be followed; anyone else's may not."""
    return uid in (os.geteuid(), 0)


def resolve_output_path(path: str) -> str:
    """The absolute path to write, with links followed only where they are trusted.

    Raises :class:`PermissionError` for a link owned by another user
    (the classic trap in a shared folder such as /tmp).
    """
    path = os.path.abspath(path)
    for _ in range(40):  # the kernel's own limit on nested links
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            return path
        if not stat.S_ISLNK(st.st_mode):
            return path
        if not _trusted_owner(st.st_uid):
            raise PermissionError(
                f"{path} is a symbolic link owned by another user (uid {st.st_uid})")
        target = os.readlink(path)
        path = os.path.normpath(os.path.join(os.path.dirname(path), target))
    raise OSError(f"{path}: too many levels of symbolic links")


def check_output_path(path: Optional[str], option: str = "--result") -> Optional[str]:
    """What stands in the way of writing ``path``, with advice; None if nothing does.

    Call it before anything is sent.  It does not create the file.
    """
    if path is None:
        return None
    if not path.strip():
        return f"{option} needs a file name"
    try:
        real = resolve_output_path(path)
    except PermissionError as exc:
        return f"{option} {path}: {exc}; remove it or choose another path"
    except OSError as exc:
        return f"{option} {path}: {exc.strerror or exc}"
    folder = os.path.dirname(real)
    try:
        st = os.stat(real)
    except FileNotFoundError:
        st = None
    except OSError as exc:
        return f"{option} {path}: {exc.strerror or exc}"
    if st is not None:
        if stat.S_ISDIR(st.st_mode):
            return f"{option} {path} is a folder; give the name of a file inside it"
        if stat.S_ISCHR(st.st_mode):
            if not os.access(real, os.W_OK):
                return f"{option} {path} cannot be written (permission denied)"
            return None
        if not stat.S_ISREG(st.st_mode):
            return f"{option} {path} is not a regular file; choose another path"
        if st.st_uid != os.geteuid():
            return (f"{option} {path} belongs to another user (uid {st.st_uid}); "
                    "remove it or choose another path")
        if not os.access(real, os.W_OK):
            return f"{option} {path} is read-only; make it writable (chmod u+w) or choose another path"
    try:
        fst = os.stat(folder)
    except FileNotFoundError:
        return f"{option} {path}: the folder {folder} does not exist; create it first (mkdir -p {folder})"
    except OSError as exc:
        return f"{option} {path}: the folder {folder}: {exc.strerror or exc}"
    if not stat.S_ISDIR(fst.st_mode):
        return f"{option} {path}: {folder} is not a folder"
    if not os.access(folder, os.W_OK | os.X_OK):
        return (f"{option} {path}: the folder {folder} cannot be written (permission denied); "
                "choose a folder of your own")
    return None


def create_private(path: str) -> int:
    """A new file, mode 0600, opened for writing; fails if anything exists at the name."""
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC, PRIVATE_MODE)


def open_private_append(path: str) -> int:
    """Open a log for appending: created 0600, or an existing file of ours made owner-only.

    Never follows a link at the name itself (resolve trusted links first
    with :func:`resolve_output_path`).  A character device is opened as it is.
    """
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | _NOFOLLOW | _CLOEXEC, PRIVATE_MODE)
    try:
        st = os.fstat(fd)
        if stat.S_ISREG(st.st_mode):
            if st.st_uid != os.geteuid():
                raise PermissionError(f"{path} belongs to another user (uid {st.st_uid})")
            if st.st_mode & 0o077:
                os.fchmod(fd, PRIVATE_MODE)  # it will hold the exchange's replies
        elif not stat.S_ISCHR(st.st_mode):
            raise OSError(f"{path} is not a regular file")
    except BaseException:
        os.close(fd)
        raise
    return fd


def write_private(path: str, data: bytes) -> None:
    """Write ``data`` as the whole of ``path``, mode 0600, replacing what was there.

    A fresh temporary file beside it (``O_EXCL``, 0600) is renamed over the
    name: a planted link at the name is replaced, never written through.
    """
    real = resolve_output_path(path)
    try:
        st = os.stat(real)
    except FileNotFoundError:
        st = None
    if st is not None and stat.S_ISCHR(st.st_mode):
        fd = os.open(real, os.O_WRONLY | _CLOEXEC)
        try:
            write_all(fd, data)
        finally:
            os.close(fd)
        return
    folder, name = os.path.split(real)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
    try:
        try:
            write_all(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, real)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def private_folder(prefix: str) -> str:
    """A new folder only we can enter (mode 0700), in the system's temporary place."""
    return tempfile.mkdtemp(prefix=prefix)


def write_all(fd: int, data: bytes) -> None:
    """Write all of ``data``: a regular file may take less than asked (a filling disk)."""
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        view = view[written:]
