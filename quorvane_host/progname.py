"""The name a command's help and messages show: the one the person typed."""

import os
import sys


def program_name(module: str) -> str:
    """``quorvane-host`` and friends when started as installed commands, else ``python -m module``."""
    invoked = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if invoked.startswith("quorvane-"):
        return invoked
    return f"python -m {module}"
