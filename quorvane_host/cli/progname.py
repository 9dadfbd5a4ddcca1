"""How the host's commands are started: the name their help and messages
show (the one the person typed), and the environment a command started as
``python -m quorvane_host.<name>`` in a child process needs."""

import os
import sys
from typing import Dict

# quorvane_host/cli/progname.py -> the folder that holds quorvane_host
_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def version() -> str:
    """The installed package's version (the project's), for every command's ``--version``."""
    try:
        from importlib.metadata import PackageNotFoundError, version as _version
        return _version("quorvane_3")
    except PackageNotFoundError:  # run from a checkout that was never installed
        return "unknown (not installed)"


def program_name(module: str) -> str:
    """``quorvane-host`` and friends when started as installed commands, else ``python -m module``."""
    invoked = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if invoked.startswith("quorvane-"):
        return invoked
    return f"python -m {module}"


def error_line(module: str, message: str) -> str:
    """An error as every command says it, in argparse's own form: ``quorvane-host: error: ...``.

    One form for the errors argparse reports and for the command's own, so
    that a person (or a script) recognises every failure by the same start.
    """
    return f"{program_name(module)}: error: {message}"


def say_on_stderr(text: str) -> None:
    """One line on stderr, if it still takes one: nothing the host decides hangs on it."""
    try:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass


def package_path_env() -> Dict[str, str]:
    """This process's environment with the package's directory first on ``PYTHONPATH``.

    A child started as ``python -m quorvane_host.<name>`` then imports this
    same package, whether or not it is installed.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (_PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    return env
