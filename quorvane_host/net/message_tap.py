"""A connection's whole messages, handed on in the callback that read them.

websockets puts every data frame it reads into a queue, and a task that
awaits ``recv`` takes it out on a later pass of the event loop.  An order's
reply would then wake two tasks, one after the other: the reader, and the
order that waits for it.  A :class:`MessageTap` takes the frames before the
queue does (the connection's ``process_event``, see
:mod:`quorvane_host.net.connector`) and hands each whole message at once to
its taker, the channel's routing (:mod:`quorvane_host.net.channel`), so
that the order waiting for it is the only task to wake.

* Messages come whole and in the order they were sent: fragments are
  joined here, text is decoded (text that is not UTF-8 is handed on as its
  bytes, which the routing tells from JSON).
* Until a taker comes (the connection is handed to its channel right after
  its handshake), messages are kept, and handed over first.
* Control frames (ping, pong, close) are websockets' own and pass by.
* When the connection is lost, the taker's ``lost`` hears of it once, with
  the exception websockets' ``recv`` would have raised.
"""

from __future__ import annotations

import collections
from typing import Any, Callable, Deque, List, Optional

from websockets.frames import Opcode

__all__ = ["MessageTap"]

_TEXT, _BINARY, _CONT = Opcode.TEXT, Opcode.BINARY, Opcode.CONT


class MessageTap:
    """Whole messages to one taker; see the module docstring."""

    __slots__ = ("_take", "_lost", "_kept", "_parts", "_text", "_ended")

    def __init__(self) -> None:
        self._take: Optional[Callable[[Any], None]] = None
        self._lost: Optional[Callable[[BaseException], None]] = None
        self._kept: Deque[Any] = collections.deque()
        self._parts: Optional[List[bytes]] = None  # a fragmented message so far
        self._text = False
        self._ended: Optional[BaseException] = None

    def hand_to(self, take: Callable[[Any], None], lost: Callable[[BaseException], None]) -> None:
        """From now on every message goes to ``take``; what came before goes first, and a loss is told now."""
        self._take, self._lost = take, lost
        while self._kept:
            self.message(self._kept.popleft())
        if self._ended is not None:
            self._tell_lost()

    def frame(self, frame: Any) -> bool:
        """Take ``frame`` if it carries data (True); a control frame is left to websockets (False)."""
        opcode = frame.opcode
        if opcode is _TEXT or opcode is _BINARY:
            if not frame.fin:
                self._parts, self._text = [bytes(frame.data)], opcode is _TEXT
                return True
            data, text = bytes(frame.data), opcode is _TEXT
        elif opcode is _CONT:
            if self._parts is None:  # websockets' protocol refuses this before it comes here
                return True
            self._parts.append(bytes(frame.data))
            if not frame.fin:
                return True
            data, text, self._parts = b"".join(self._parts), self._text, None
        else:
            return False
        if text:
            try:
                data = data.decode()
            except UnicodeDecodeError:
                pass  # its bytes, which are not JSON either: the routing hands them on as text it cannot read
        self.message(data)
        return True

    def message(self, data: Any) -> None:
        """A whole message: to the taker, or kept until there is one."""
        take = self._take
        if take is None:
            self._kept.append(data)
            return
        try:
            take(data)
        except Exception as exc:  # noqa: BLE001 - websockets' callback must not raise: the taker ends instead
            self._take = None
            self.lost(exc)

    def lost(self, exc: BaseException) -> None:
        """The connection has ended (or the taker failed); told to the taker once."""
        if self._ended is None:
            self._ended = exc
            if self._lost is not None:
                self._tell_lost()

    def _tell_lost(self) -> None:
        lost, self._lost, self._take = self._lost, None, None
        if lost is not None:
            lost(self._ended)
