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
import stat
from typing import Mapping, Optional, Tuple

__all__ = ["CredentialsError", "ENV_API_KEY", "ENV_SECRET_KEY", "read_key_file", "keys_from_env", "load_keys"]

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


def _unquote(value: str) -> str:
    value = value.strip()
    if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
        value = value[1:-1]
    return value


def read_key_file(path: str) -> Tuple[str, str]:
    """Read (api_key, secret_key) from ``path`` after checking who can read it."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        raise CredentialsError(f"key file {path} does not exist") from None
    except OSError as exc:
        raise CredentialsError(f"cannot open key file {path}: {exc.strerror}") from None
    with os.fdopen(fd, "r", encoding="utf-8") as fh:
        info = os.fstat(fh.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise CredentialsError(f"key file {path} is not a regular file")
        if info.st_uid != os.geteuid():
            raise CredentialsError(f"key file {path} belongs to another user (uid {info.st_uid})")
        if info.st_mode & 0o077:
            raise CredentialsError(
                f"key file {path} can be read or changed by other users "
                f"(mode {stat.S_IMODE(info.st_mode):04o}); run: chmod 600 {path}"
            )
        try:
            text = fh.read()
        except UnicodeDecodeError:
            raise CredentialsError(f"key file {path} is not UTF-8 text") from None
    found = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
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
        found[key] = _unquote(value)
    return _complete(found.get("api_key"), found.get("secret_key"), f"key file {path}")


def keys_from_env(env: Mapping[str, str]) -> Optional[Tuple[str, str]]:
    """(api_key, secret_key) from the environment, or None when neither is set."""
    api_key, secret = env.get(ENV_API_KEY), env.get(ENV_SECRET_KEY)
    if api_key is None and secret is None:
        return None
    return _complete(api_key, secret, "the environment")


def load_keys(key_file: Optional[str], env: Mapping[str, str]) -> Tuple[str, str]:
    """The key file when one is given, else the environment."""
    if key_file:
        return read_key_file(key_file)
    keys = keys_from_env(env)
    if keys is None:
        raise CredentialsError(
            f"no API key: set {ENV_API_KEY} and {ENV_SECRET_KEY}, "
            "or give --key-file FILE (readable only by you)"
        )
    return keys


def _complete(api_key: Optional[str], secret: Optional[str], where: str) -> Tuple[str, str]:
    if not api_key:
        raise CredentialsError(f"no API key in {where} ({ENV_API_KEY} / api_key)")
    if not secret:
        raise CredentialsError(f"no secret key in {where} ({ENV_SECRET_KEY} / secret_key)")
    for name, value in (("API key", api_key), ("secret key", secret)):
        if value != value.strip() or any(c in value for c in "\r\n\0"):
            raise CredentialsError(f"the {name} in {where} has blanks or control characters around it")
    return api_key, secret
