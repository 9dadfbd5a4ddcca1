"""Paths as the person typed them: a ``~`` that the shell left as it was.

The shell expands ``~`` only at the start of a word: ``--key-file
~/keys`` reaches the host as ``/home/me/keys``, but ``--key-file=~/keys``
and ``--log "~/run.log"`` arrive with the ``~`` in them, and the file is
then looked for (or made) under a folder named ``~`` in the current one.
Said plainly before anything is read or written, rather than as "does not
exist" about a path the person never meant.
"""

from __future__ import annotations

import os
from typing import Iterable, Optional, Tuple

__all__ = ["unexpanded_home", "unexpanded_homes"]


def unexpanded_home(option: str, path: str) -> Optional[str]:
    """What to do about a ``path`` that starts with an unexpanded ``~``; None when it does not.

    A folder really named ``~`` (or ``~name``) in the current folder is
    taken at its word.
    """
    if not path.startswith("~"):
        return None
    first = path.split(os.sep, 1)[0]
    if os.path.lexists(first):
        return None
    expanded = os.path.expanduser(path)
    write = f"write it out ({option} {expanded})" if expanded != path else "write the whole path"
    return (f"{option} {path}: the shell did not expand the ~ (it does not after '=' or inside quotes); "
            f"{write}, or put a blank instead of the '='")


def unexpanded_homes(paths: Iterable[Tuple[str, Optional[str]]]) -> Optional[str]:
    """The first (option, path) whose path starts with an unexpanded ``~``, said; None when none does."""
    for option, path in paths:
        problem = unexpanded_home(option, path) if path else None
        if problem:
            return problem
    return None
