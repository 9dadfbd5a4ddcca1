"""The module's ``json`` while the host runs it: an order's reply is decoded once.

The module reads each reply with its ``json.loads`` to print it.  The host
has decoded that very text already, to route it to its order and judge it
(:mod:`quorvane_host.net.channel`), a moment before.  On loopback the
exchange runs on the host's processor between an order and its reply, so
each microsecond of the host's own work costs the next order about two.
:class:`ModuleJson` stands in for the module's ``json`` as the gate stands
in for its ``websockets``: ``loads`` of the text the gate has just handed
the module returns what the host decoded from it, once; everything else is
the module's own ``json``.

The value is the same one: the host decodes with the standard library's
scanner, and a text that it reads, the decoders the module may use read
alike (the same numbers, strings, key order and repeated keys); the looser
forms only those accept ("01", "1.", raw control characters in strings)
the host reads as no JSON, and the module then decodes them itself.  It is
the very object the ledger keeps with the order's verdict; the module only
reads it (a membership test, and its text for the outcome line).
"""

from __future__ import annotations

from typing import Any, Optional

__all__ = ["ModuleJson", "stand_in_for"]

# The decoders whose reading of what the host reads is known to be the host's.
_SAME_READING = ("json", "ujson")


class ModuleJson:
    """The module's ``json``: :meth:`handed` notes a reply and its decoded form, :meth:`loads` gives it back."""

    __slots__ = ("_json", "_message", "_data", "dumps")

    def __init__(self, original: Any) -> None:
        self._json = original
        self.dumps = original.dumps  # the module's requests are written as before
        self._message: Any = None
        self._data: Any = None

    def handed(self, message: Any, data: Any) -> None:
        """The gate hands ``message`` to the module; ``data``: what the host decoded from it.

        Text only: bytes the standard library reads in any of its encodings
        (UTF-16, say) another decoder may not read at all.
        """
        if type(data) is dict and type(message) is str:
            self._message, self._data = message, data
        else:
            self._message = self._data = None

    def loads(self, s: Any, *args: Any, **kwargs: Any) -> Any:
        message, data = self._message, self._data
        self._message = self._data = None  # once: a second read decodes afresh
        if s is message and data is not None and not args and not kwargs:
            return data
        return self._json.loads(s, *args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._json, name)


def stand_in_for(original: Any) -> Optional[ModuleJson]:
    """A :class:`ModuleJson` over the module's ``json``, or None when it is some other decoder."""
    if getattr(original, "__name__", None) not in _SAME_READING or not all(
            hasattr(original, name) for name in ("loads", "dumps")):
        return None
    return ModuleJson(original)
