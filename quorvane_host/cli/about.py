"""What ``--version`` says: the version, the exchange's host built into the module, and the Python.

The endpoint is fixed when the module is built, and a build for the wrong
host (or the placeholder) is the first thing to rule out when nothing can
be reached; the module is asked the way the run asks it, by one order
through it with nothing sent (:mod:`quorvane_host.run.preflight`).
"""

from __future__ import annotations

import asyncio
import platform
import sys
import urllib.parse
from types import SimpleNamespace
from typing import List

from quorvane_host.cli.progname import version
from quorvane_host.run.preflight import preflight

__all__ = ["PLACEHOLDER_DOMAIN", "built_in_endpoint", "version_lines"]

MODULE_NAME = "quorvane_3"
# The top-level domain of the endpoint that a build without the exchange's host carries.
PLACEHOLDER_DOMAIN = ".invalid"


def built_in_endpoint() -> str:
    """The module's endpoint in words: its host and URL, or why it cannot be read."""
    try:
        import quorvane_3 as module
    except ImportError as exc:
        return f"unknown: {MODULE_NAME} cannot be imported ({exc}; build it first: make build)"
    trial = SimpleNamespace(api_key="version", secret="version", symbol="QRVUSD", quantity=1.0)
    try:
        url, _ = asyncio.run(preflight(module, trial))
    except Exception as exc:
        return f"unknown: {MODULE_NAME} did not say ({type(exc).__name__}: {exc})"
    host = urllib.parse.urlsplit(url).hostname or "?"
    if host.endswith(PLACEHOLDER_DOMAIN):
        return (f"{host} ({url}), a placeholder: real orders need a build made for the exchange's "
                "host (rehearsals and --connect do not)")
    return f"{host} ({url})"


def version_lines(prog: str) -> List[str]:
    return [f"{prog} {version()}",
            f"  exchange host built in: {built_in_endpoint()}",
            f"  Python {platform.python_version()} ({sys.executable})"]
