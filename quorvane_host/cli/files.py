"""Files the host writes: new files only, owner-only, never through a link someone else planted.

The log holds every reply of the exchange and the ``--result`` JSON every
order's outcome: nobody else on the machine should read them, and no file
that was there before may be lost to them.  So

* every file the host writes is one it creates, with mode 0600 and
  ``O_EXCL`` / ``O_NOFOLLOW`` (an existing file or link at the name is
  never written through nor replaced), or inside a folder of its own made
  with mode 0700;
* the one exception is a log of the host's own (its first line starts with
  :data:`HOST_LOG_MARK`), which ``--log-append`` goes on with; its mode is
  left as the user keeps it;
* a file written whole (the result) is written to a fresh temporary file
  beside it and linked to the name, which fails if the name is taken, so a
  reader never sees half of it;
* :func:`check_output_path` tells, before anything is sent, whether a path
  given on the command line can be written, and what to do if not: an order
  must never be bought and then fail to be reported.

Character devices (``/dev/null``, a terminal) are written in place: they are
not files that could be read back by others, nor lost by being written.
Standard output is named ``-`` (:func:`is_standard_output`: also
``/dev/stdout`` and the like); a pipe by any other name is refused before
the run, since nothing written to it at the end could be read back.
"""

from __future__ import annotations

import errno
import os
import stat
import tempfile
from typing import Optional

__all__ = [
    "HOST_LOG_MARK", "PRIVATE_MODE", "STDOUT_NAME", "check_output_path", "create_private", "is_host_log",
    "is_standard_output", "open_private_append", "private_folder", "resolve_output_path", "write_all", "write_new",
    "write_private",
]

PRIVATE_MODE = 0o600
# The first line of every log the host writes (and of each part after a
# rotation): what tells one of its own logs from a file of the user's.
HOST_LOG_MARK = b"[quorvane-host log]"
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
STDOUT_NAME = "-"
# Names of this process's own standard output, whatever it is (a pipe, a
# terminal, a file): followed as links they lead to no path of their own.
_STDOUT_LINKS = ("/dev/stdout", "/dev/fd/1", "/proc/self/fd/1")
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


def is_standard_output(path: str) -> bool:
    """Whether ``path`` means this process's standard output: ``-``, ``/dev/stdout`` and its
    kin, or the very file standard output was sent to (``--result out.json > out.json``)."""
    if path == STDOUT_NAME or os.path.normpath(path) in _STDOUT_LINKS:
        return True
    try:
        named, out = os.stat(path), os.fstat(1)
    except OSError:
        return False
    # A device such as /dev/null may be standard output and a path given for itself alike.
    return not stat.S_ISCHR(named.st_mode) and (named.st_dev, named.st_ino) == (out.st_dev, out.st_ino)


def is_host_log(path: str) -> bool:
    """Whether ``path`` is a regular file whose first line marks it as a log of this host."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | _NOFOLLOW | _CLOEXEC)
    except OSError:
        return False
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return False
        return os.read(fd, len(HOST_LOG_MARK)) == HOST_LOG_MARK
    except OSError:
        return False
    finally:
        os.close(fd)


def _taken(option: str, path: str, real: str, log: bool, append: bool) -> Optional[str]:
    """What keeps an existing regular file at the name from being written; None if nothing does."""
    if log and is_host_log(real):
        if append:
            return None
        return (f"{option} {path} is a log of an earlier run; add --log-append to go on with it, "
                "or choose another path")
    if log and append:
        return (f"{option} {path} already exists and is not a log of this host: --log-append goes on "
                "only with a log this host wrote (its first line says so), and the host never writes "
                "over another file: choose another path, or move that file away")
    return (f"{option} {path} already exists; the host never writes over a file: "
            "choose another path, or move that file away")


def _older_part_taken(option: str, path: str, real: str) -> Optional[str]:
    """The log's older part (LOG.1) replaces what is at that name when the log starts afresh."""
    older = real + ".1"
    try:
        st = os.lstat(older)
    except FileNotFoundError:
        return None
    except OSError as exc:
        return f"{option} {path}: {older}: {exc.strerror or exc}"
    if stat.S_ISREG(st.st_mode) and st.st_uid == os.geteuid() and is_host_log(older):
        return None
    return (f"{option} {path}: {older} exists and is not a log of this host, and the log's older "
            "part takes that name when the log starts afresh (--log-max-mb): move it away or "
            "choose another path")


def check_output_path(path: Optional[str], option: str = "--result", *, log: bool = False,
                      append: bool = False) -> Optional[str]:
    """What stands in the way of writing ``path``, with advice; None if nothing does.

    An existing regular file is refused: the host writes new files only,
    except a log of its own (``log``) when asked to go on with it
    (``append``).  For a log, the name of its older part must be free too.
    Call it before anything is sent.  It does not create the file.
    """
    if path is None:
        return None
    if not path.strip():
        return f"{option} needs a file name"
    if log and is_standard_output(path):
        return (f"{option} {path}: the module writes hundreds of thousands of lines a second while it "
                "waits, too many for standard output; give a file, or leave --log out for a new log "
                "in ~/.local/state/quorvane/logs ($XDG_STATE_HOME/quorvane/logs)")
    try:
        if stat.S_ISFIFO(os.stat(path).st_mode) or stat.S_ISSOCK(os.stat(path).st_mode):
            return (f"{option} {path} is not a regular file but a pipe or a socket, which the host "
                    "cannot write safely; give a file" + (", or - for standard output" if option == "--result" else ""))
    except OSError:
        pass  # nothing there yet, or a link that leads nowhere: judged below
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
        taken = _taken(option, path, real, log, append)
        if taken:
            return taken
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
    if log:
        return _older_part_taken(option, path, real)
    return None


def create_private(path: str) -> int:
    """A new file, mode 0600, opened for writing; fails if anything exists at the name."""
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC, PRIVATE_MODE)


def open_private_append(path: str) -> int:
    """Open an existing file of ours, or a character device, for appending.

    Never creates, never follows a link at the name itself (resolve trusted
    links first with :func:`resolve_output_path`), and never changes the
    file's mode: the user keeps it as they chose.
    """
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | _NOFOLLOW | _CLOEXEC)
    try:
        st = os.fstat(fd)
        if stat.S_ISREG(st.st_mode):
            if st.st_uid != os.geteuid():
                raise PermissionError(errno.EPERM, f"it belongs to another user (uid {st.st_uid})", path)
        elif not stat.S_ISCHR(st.st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _wrote_to_device(real: str, data: bytes) -> bool:
    """Write ``data`` in place when ``real`` is a character device (/dev/null, /dev/full); else False."""
    try:
        st = os.stat(real)
    except FileNotFoundError:
        return False
    if not stat.S_ISCHR(st.st_mode):
        return False
    fd = os.open(real, os.O_WRONLY | _CLOEXEC)
    try:
        write_all(fd, data)
    finally:
        os.close(fd)
    return True


def _temp_beside(real: str, data: bytes) -> str:
    """A fresh temporary file (``O_EXCL``, 0600) beside ``real`` holding ``data``, on disk; its name."""
    folder, name = os.path.split(real)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
    try:
        write_all(fd, data)
        os.fsync(fd)
    except BaseException:
        os.close(fd)
        os.unlink(tmp)
        raise
    os.close(fd)
    return tmp


def write_new(path: str, data: bytes, *, or_beside: bool = False) -> str:
    """Write ``data`` as a new file ``path`` (mode 0600); returns the name written.

    Never writes over anything: a name that is taken raises
    :class:`FileExistsError`, or with ``or_beside`` the data goes to a new
    name beside it (``NAME.XXXXXX.new``), whose name is returned.  The data
    is written to a fresh temporary file first and linked to the name, so
    nobody sees half of it.  A character device is written in place.
    """
    real = resolve_output_path(path)
    if _wrote_to_device(real, data):
        return real
    folder, name = os.path.split(real)
    tmp = _temp_beside(real, data)
    try:
        try:
            os.link(tmp, real)  # fails if the name is taken, whatever is there
        except FileExistsError:
            if not or_beside:
                raise
            fd, beside = tempfile.mkstemp(dir=folder, prefix=f"{name}.", suffix=".new")
            os.close(fd)
            os.replace(tmp, beside)  # over the empty file just made for the name
            return beside
        except OSError as exc:
            if exc.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP):
                raise
            # A file system without hard links: create the name itself, still never over anything.
            fd = create_private(real)
            try:
                write_all(fd, data)
            finally:
                os.close(fd)
        return real
    finally:
        try:
            os.unlink(tmp)
        except OSError:
            pass


def write_private(path: str, data: bytes) -> None:
    """Write ``data`` as the whole of ``path``, mode 0600, replacing what was there.

    For a file of the host's own only (the console's record in a temporary
    file it made); a path from the command line goes to :func:`write_new`.

    A fresh temporary file beside it (``O_EXCL``, 0600) is renamed over the
    name: a planted link at the name is replaced, never written through.
    """
    real = resolve_output_path(path)
    if _wrote_to_device(real, data):
        return
    tmp = _temp_beside(real, data)
    try:
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
