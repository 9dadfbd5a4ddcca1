"""What waits on a connection for which id, and what has stopped waiting.

A :class:`~quorvane_host.net.channel.Channel` keeps one :class:`Request`
per id it expects a reply to.  Ids are told apart by type as JSON does
(:func:`id_key`: ``"1"`` is not ``1``).  A request whose wait has ended
(released: timed out, cancelled, or answered) is remembered a while longer
so that its reply, should it come now, is told from a pushed message and
goes to the request's ``on_late``: a fill that comes late is still
somebody's to count.

:class:`RequestBook` is the channel's part that registers and ends the
waits; the waiting itself and the routing of replies are the channel's.
"""

from __future__ import annotations

import asyncio
import collections
import json
from typing import Any, Callable, Dict, Hashable, Optional, Tuple

__all__ = ["ENDED_KEPT", "GARBLED", "OnLate", "Request", "RequestBook", "decode", "id_key", "sent_id"]

# Requests whose wait has ended, remembered so that their late replies are
# told from pushed messages; the oldest are forgotten past this many.
ENDED_KEPT = 4096

GARBLED = object()  # what a message that is not JSON text decodes to

OnLate = Optional[Callable[[Any, Any], None]]


def id_key(value: Any) -> Hashable:
    """A key for a request id that tells ids apart by type as JSON does: ``"1"``, ``1``, ``1.0``, ``true``."""
    if type(value) is str:
        return value
    try:
        hash(value)
    except TypeError:  # a list or an object: by its text
        return ("json", json.dumps(value, sort_keys=True))
    return (type(value), value)


# The scanner ``json.loads`` ends in, called directly for text that is one
# JSON value from its first character to its last (every reply of the
# exchange): the same value, without the three calls and two whitespace
# matches around it.  Anything else goes through ``json.loads`` itself.
_scan = json.JSONDecoder().scan_once


def decode(message: Any) -> Any:
    """``message`` read as JSON, or :data:`GARBLED`."""
    try:
        if type(message) is str:
            try:
                value, end = _scan(message, 0)
            except StopIteration:  # empty, or not a value from the first character on
                pass
            else:
                if end == len(message):
                    return value
        elif not isinstance(message, (str, bytes, bytearray)):
            return GARBLED
        return json.loads(message)
    except (ValueError, RecursionError):  # UnicodeDecodeError is a ValueError
        return GARBLED


def sent_id(message: Any) -> Any:
    """The id a request carries, or None."""
    data = decode(message)
    return data.get("id") if isinstance(data, dict) else None


class Request:
    """One request waiting for its reply."""

    __slots__ = ("request_id", "on_late", "takes_garbled", "plain", "outstanding", "message", "data", "arrived",
                 "taken", "waiter", "deadline")

    def __init__(self, request_id: Any, on_late: OnLate, takes_garbled: bool, plain: bool) -> None:
        self.request_id = request_id
        self.on_late = on_late
        self.takes_garbled = takes_garbled
        self.plain = plain  # registered by ``send`` for ``recv``, not by ``expect``
        self.outstanding = 1  # plain ones: sends not answered yet
        self.message: Any = None
        self.data: Any = None  # the message decoded (None when it is not JSON): read once, here
        self.arrived = False
        self.taken = False  # its waiter got the message
        self.waiter: Optional[asyncio.Future[None]] = None
        self.deadline: Optional[float] = None  # the event loop's time its wait ends, while it waits


class RequestBook:
    """The channel's waits: begun by ``expect``, ended by ``release``; late replies counted or handed on.

    Mixed into :class:`~quorvane_host.net.channel.Channel`, whose
    ``__init__`` makes the attributes below.
    """

    late: int  # late replies nobody asked to hear about
    _waiting: Dict[Hashable, Request]
    _ended: "collections.OrderedDict[Hashable, Tuple[Any, OnLate]]"
    _last_sent: Optional[Hashable]  # the last request sent that ``expect`` registered
    _plain_out: int  # requests sent through ``send`` alone, not answered yet

    def expect(self, request_id: Any, *, on_late: OnLate = None, takes_garbled: bool = False) -> None:
        """Wait for the reply to ``request_id`` from now on (call it before the request's bytes go)."""
        key = id_key(request_id)
        self._ended.pop(key, None)
        old = self._waiting.get(key)
        if old is not None and old.plain:
            self._plain_out -= old.outstanding
        self._waiting[key] = Request(request_id, on_late, takes_garbled, plain=False)

    def decoded(self, request_id: Any) -> Any:
        """The reply to ``request_id`` as the reader decoded it (None: not JSON), before :meth:`release`."""
        request = self._waiting.get(id_key(request_id))
        return request.data if request is not None else None

    def release(self, request_id: Any) -> None:
        """The wait for ``request_id`` is over; a reply coming later goes to its ``on_late``.

        A reply that came but never reached its waiter (cancelled in the
        same pass) is late too.
        """
        key = id_key(request_id)
        request = self._waiting.pop(key, None)
        if request is None:
            return
        if request.plain:
            self._plain_out -= request.outstanding
        self._end_wait(key, request)
        if request.arrived and not request.taken:
            self._late(request.request_id, request.on_late, request.message)

    def _end_wait(self, key: Hashable, request: Request) -> None:
        if self._last_sent == key:
            self._last_sent = None
        self._ended[key] = (request.request_id, request.on_late)
        if len(self._ended) > ENDED_KEPT:
            self._ended.popitem(last=False)

    def _late(self, request_id: Any, on_late: OnLate, message: Any) -> None:
        if on_late is None:
            self.late += 1
            return
        try:
            on_late(request_id, message)
        except Exception:  # the reader must go on whatever a callback does
            self.late += 1
