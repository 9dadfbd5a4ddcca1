"""API key and secret for the host: from the environment or from a key file.

Never from the command line, where every user of the machine can read them
in the process list.

A key file holds two settings, one a line; blank lines and lines starting
with ``#`` are ignored; values may be quoted::

    api_key = ...
    secret_key = ...

(``QUORVANE_API_KEY=...`` / ``QUORVANE_SECRET_KEY=...`` are read too, so a
file written for a shell's ``source`` works.)  The file must belong to the
user running the host and must not be readable or writable by anyone else
(``chmod 600 FILE``).
"""

from __future__ import annotations

import os
import pwd
import secrets
import stat
from typing import Dict, Mapping, NamedTuple, Optional, Tuple

__all__ = ["CredentialsError", "ENV_API_KEY", "ENV_SECRET_KEY", "Keys", "read_key_file", "keys_from_env",
           "load_keys", "rehearsal_keys"]

ENV_API_KEY = "QUORVANE_API_KEY"
ENV_SECRET_KEY = "QUORVANE_SECRET_KEY"

_NAMES = {
    "api_key": "api_key",
    "apikey": "api_key",
    ENV_API_KEY.lower(): "api_key",
    "secret_key": "secret_key",
    "secret": "secret_key",
    ENV_SECRET_KEY.lower(): "secret_key",
}


class CredentialsError(Exception):
    pass


class Keys(NamedTuple):
    """The keys, and where they came from in words a person can check (never the keys themselves)."""

    api_key: str
    secret: str
    source: str

    def __repr__(self) -> str:  # a stray repr in a log or a traceback shows no key
        return f"Keys(source={self.source!r})"


# A key file holds two short lines; anything much larger is not one.
MAX_KEY_FILE_BYTES = 64 << 10

_KINDS = (
    (stat.S_ISDIR, "a directory: give the file inside it that holds the keys"),
    (stat.S_ISFIFO, "a named pipe, not a regular file: write the keys into a file (chmod 600)"),
    (stat.S_ISSOCK, "a socket, not a regular file: write the keys into a file (chmod 600)"),
    (stat.S_ISCHR, "a device, not a regular file: write the keys into a file (chmod 600)"),
    (stat.S_ISBLK, "a device, not a regular file: write the keys into a file (chmod 600)"),
)


def _unquote(value: str) -> str:
    value = value.strip()
    if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
        value = value[1:-1]
    return value


def _user(uid: int) -> str:
    """The user's name, or the number (which chown takes as well)."""
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _check_owner(path: str, info: os.stat_result) -> None:
    if info.st_uid == os.geteuid():
        return
    me = _user(os.geteuid())
    raise CredentialsError(
        f"key file {path} belongs to another user ({_user(info.st_uid)}), who could change or "
        f"replace the keys. Keep the keys in a file of your own, readable only by you: have it "
        f"handed over (sudo chown {me} {path}) or write a new one (and chmod 600 it)")


def _check_kind(path: str, info: os.stat_result) -> None:
    for test, what in _KINDS:
        if test(info.st_mode):
            raise CredentialsError(f"key file {path} is {what}")
    if not stat.S_ISREG(info.st_mode):
        raise CredentialsError(f"key file {path} is not a regular file")


def _read_private_file(path: str) -> bytes:
    """The bytes of ``path`` once it is known to be a regular file that only this user can read."""
    try:
        # O_NONBLOCK: opening a named pipe must not wait for a writer;
        # nothing is read before the file is known to be a regular one.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except FileNotFoundError:
        raise CredentialsError(f"key file {path} does not exist") from None
    except PermissionError:
        try:
            _check_owner(path, os.stat(path))
        except OSError:
            pass
        raise CredentialsError(f"cannot read key file {path}: permission denied; it must be "
                               f"readable by you and nobody else (chmod 600 {path})") from None
    except OSError as exc:
        raise CredentialsError(f"cannot open key file {path}: {exc.strerror}") from None
    try:
        info = os.fstat(fd)
        _check_kind(path, info)
        _check_owner(path, info)
        if info.st_mode & 0o077:
            raise CredentialsError(
                f"key file {path} can be read or changed by other users "
                f"(mode {stat.S_IMODE(info.st_mode):04o}); run: chmod 600 {path}"
            )
        if info.st_size > MAX_KEY_FILE_BYTES:
            raise CredentialsError(f"key file {path} is {info.st_size:,} bytes, too large for a "
                                   "key file (two lines: api_key = ... and secret_key = ...)")
        chunks = []
        while True:
            chunk = os.read(fd, MAX_KEY_FILE_BYTES + 1)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)
    except OSError as exc:
        raise CredentialsError(f"cannot read key file {path}: {exc.strerror}") from None
    finally:
        os.close(fd)


def _setting_name(raw: bytes) -> Optional[str]:
    """The setting a line is about (read from its ASCII start), or None."""
    head = raw.strip()
    if head.startswith(b"export "):
        head = head[len(b"export "):]
    for sep in (b"=", b":"):
        name, found, _ = head.partition(sep)
        if found:
            try:
                return _NAMES.get(name.decode("ascii").strip().lower())
            except UnicodeDecodeError:
                return None
    return None


def read_key_file(path: str) -> Tuple[str, str]:
    """Read (api_key, secret_key) from ``path`` after checking who can read it."""
    if not path:
        raise CredentialsError(
            "--key-file names no file: give the path of the key file, or leave --key-file out "
            f"to take the keys from {ENV_API_KEY} and {ENV_SECRET_KEY}")
    data = _read_private_file(path)
    if data.startswith(b"\xef\xbb\xbf"):  # the mark some editors put first in a UTF-8 file
        data = data[3:]
    found: Dict[str, str] = {}
    first_line: Dict[str, int] = {}
    for number, raw in enumerate(data.splitlines(), 1):
        try:
            line = raw.decode("utf-8").strip()
        except UnicodeDecodeError:
            key = _setting_name(raw)
            what = f"the value of {key}" if key else "it"
            raise CredentialsError(
                f"key file {path}, line {number}: {what} is not UTF-8 text (saved in another "
                "encoding?); save the file as UTF-8, or copy the key from the exchange again") from None
        if not line or line.startswith("#"):
            continue
        if line.startswith("export "):
            line = line[len("export "):]
        name, sep, value = line.partition("=")
        if not sep:
            name, sep, value = line.partition(":")
        key = _NAMES.get(name.strip().lower())
        if not sep or key is None:
            raise CredentialsError(f"key file {path}, line {number}: expected api_key = ... or secret_key = ...")
        if key in first_line:
            raise CredentialsError(
                f"key file {path}, line {number}: {key} is set again (first on line "
                f"{first_line[key]}); keep only the one that is right")
        first_line[key] = number
        found[key] = _unquote(value)
    return _complete(found.get("api_key"), found.get("secret_key"), f"key file {path}",
                     ("api_key", "secret_key"))


def keys_from_env(env: Mapping[str, str]) -> Optional[Tuple[str, str]]:
    """(api_key, secret_key) from the environment, or None when neither is set."""
    api_key, secret = env.get(ENV_API_KEY), env.get(ENV_SECRET_KEY)
    if api_key is None and secret is None:
        return None
    return _complete(api_key, secret, "the environment", (ENV_API_KEY, ENV_SECRET_KEY))


def load_keys(key_file: Optional[str], env: Mapping[str, str]) -> Keys:
    """The key file when one is given (even an empty name, which is refused), else the environment."""
    if key_file is not None:
        api_key, secret = read_key_file(key_file)
        return Keys(api_key, secret, f"the key file {os.path.abspath(key_file)}")
    keys = keys_from_env(env)
    if keys is None:
        raise CredentialsError(
            f"no API key: set {ENV_API_KEY} and {ENV_SECRET_KEY}, "
            "or give --key-file FILE (readable only by you)"
        )
    return Keys(keys[0], keys[1], f"the environment ({ENV_API_KEY}, {ENV_SECRET_KEY})")


def rehearsal_keys() -> Keys:
    """Keys made up for a rehearsal: the loopback exchange started for the run holds them as its one account.

    Fresh for every run, so that no key of the person's is needed, shown or
    sent to the rehearsal, and nothing else on the machine can guess them.
    """
    return Keys(f"rehearsal-{secrets.token_hex(8)}", secrets.token_hex(32),
                "the loopback exchange's own account (no keys set; a rehearsal needs none)")


def _complete(api_key: Optional[str], secret: Optional[str], where: str,
              labels: Tuple[str, str]) -> Tuple[str, str]:
    # Set but empty is its own mistake (an unfilled template, a variable
    # exported before it was given a value): say so rather than "no key".
    if api_key == "":
        raise CredentialsError(f"the API key in {where} ({labels[0]}) is empty")
    if api_key is None:
        raise CredentialsError(f"no API key in {where} ({labels[0]})")
    if secret == "":
        raise CredentialsError(f"the secret key in {where} ({labels[1]}) is empty")
    if secret is None:
        raise CredentialsError(f"no secret key in {where} ({labels[1]})")
    for name, label, value in (("API key", labels[0], api_key), ("secret key", labels[1], secret)):
        try:
            # An environment variable that is not UTF-8 arrives with its
            # bytes escaped as lone surrogates, which cannot be signed or sent.
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise CredentialsError(
                f"the {name} in {where} ({label}) is not UTF-8 text (typed or saved in another "
                "encoding?); copy it from the exchange again") from None
        if value != value.strip() or any(ord(c) < 32 or ord(c) == 127 for c in value):
            raise CredentialsError(f"the {name} in {where} ({label}) has blanks or control "
                                   "characters around or in it")
    return api_key, secret
