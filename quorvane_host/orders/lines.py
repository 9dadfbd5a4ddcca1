"""Reading the lines that ``quorvane_3`` prints.

The trigger prints ``Time from opening:<ms>`` on every pass and
``Buy order took <ms> ms`` after every order (C stdio, file descriptor 1);
each order prints ``Buy order placed successfully: <reply>`` or
``Failed to place buy order: <error>`` through Python's ``print``, where the
reply or error is the ``str`` of the decoded JSON (a Python literal).
"""

from __future__ import annotations

import ast
import re
from typing import Any, Optional, Tuple

from quorvane_host.orders.codes import Code

__all__ = [
    "ACCEPTED_PREFIX",
    "REJECTED_PREFIX",
    "TIME_LEFT_PREFIX",
    "Outcome",
    "parse_outcome",
    "parse_latency",
    "parse_time_left",
    "NOT_OPEN_CODE",
]

TIME_LEFT_PREFIX = "Time from opening:"
ACCEPTED_PREFIX = "Buy order placed successfully: "
REJECTED_PREFIX = "Failed to place buy order: "
# The exchange's code for an order that came before the opening.
NOT_OPEN_CODE = int(Code.NOT_OPEN)

_LATENCY = re.compile(r"Buy order took (-?[0-9]+) ms\Z")
# An accepted order's line as the module prints nearly every one: the
# reply's repr, plain values up to the result's ``orderId``.  Read that far,
# it names the order id without the whole literal being read back (which
# costs more than the rest of what the console does with the line); any
# other form is read in full.
_PLAIN = r"(?:'[^'\\]*'|-?[0-9]+|True|False|None)"
_ACCEPTED_ID = re.compile(r"\{'id': " + _PLAIN + r", 'status': 200, 'result': \{(?:'[A-Za-z_]+': " + _PLAIN
                          + r", )*'orderId': (-?[0-9]+)[,}]")
_TIME_LEFT = re.compile(r"Time from opening:(-?[0-9]+)\Z")


class Outcome:
    """One order's outcome as the module reported it.

    The detail is read back as a literal only when something asks for what
    is in it (``data``, ``code``, ``msg``, ``order_id``): the host sees every
    order's line between the reply and the next order, and reading a reply's
    literal costs more than the rest of that step together.
    """

    __slots__ = ("accepted", "detail", "_read")

    def __init__(self, accepted: bool, detail: str) -> None:
        self.accepted = accepted
        self.detail = detail  # the text after the prefix
        self._read: Optional[Tuple[Any, Optional[int], Optional[str], Any]] = None

    def _fields(self) -> Tuple[Any, Optional[int], Optional[str], Any]:
        if self._read is None:
            self._read = _read_detail(self.accepted, self.detail)
        return self._read

    @property
    def data(self) -> Any:
        """The detail read back as a literal, if it is one."""
        return self._fields()[0]

    @property
    def code(self) -> Optional[int]:
        return None if self.accepted else self._fields()[1]

    @property
    def msg(self) -> Optional[str]:
        return None if self.accepted else self._fields()[2]

    @property
    def order_id(self) -> Optional[Any]:
        if self._read is None and self.accepted:
            plain = _ACCEPTED_ID.match(self.detail)
            if plain is not None:
                return int(plain.group(1))
        return self._fields()[3]

    @property
    def too_early(self) -> bool:
        return not self.accepted and self.code == NOT_OPEN_CODE

    def describe(self) -> str:
        if self.accepted:
            return "accepted" + (f", order id {self.order_id}" if self.order_id is not None else "")
        if self.code is not None or self.msg is not None:
            return f"refused: {self.msg} (code {self.code})"
        return f"refused: {self.detail}"

    def to_dict(self) -> dict:
        return {"accepted": self.accepted, "detail": self.detail, "code": self.code,
                "msg": self.msg, "order_id": self.order_id, "too_early": self.too_early}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Outcome):
            return NotImplemented
        return (self.accepted, self.detail) == (other.accepted, other.detail)

    def __hash__(self) -> int:
        return hash((self.accepted, self.detail))

    def __repr__(self) -> str:
        return f"Outcome(accepted={self.accepted!r}, detail={self.detail!r})"


def _literal(text: str) -> Any:
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError, TypeError):
        return None


def _read_detail(accepted: bool, detail: str) -> Tuple[Any, Optional[int], Optional[str], Any]:
    """``(data, code, msg, order_id)`` of an outcome's detail."""
    data = _literal(detail)
    code = msg = order_id = None
    if not isinstance(data, dict):
        return data, None, None, None
    if accepted:
        result = data.get("result")
        if isinstance(result, dict):
            order_id = result.get("orderId")
    else:
        code, msg = data.get("code"), data.get("msg")
        code = code if isinstance(code, int) and not isinstance(code, bool) else None
        msg = msg if isinstance(msg, str) else None
    return data, code, msg, order_id


def parse_outcome(line: str) -> Optional[Outcome]:
    """The outcome in an order's line, or None for any other line."""
    line = line.rstrip("\r\n")
    if line.startswith(ACCEPTED_PREFIX):
        return Outcome(True, line[len(ACCEPTED_PREFIX):])
    if line.startswith(REJECTED_PREFIX):
        return Outcome(False, line[len(REJECTED_PREFIX):])
    return None


def parse_latency(line: str) -> Optional[int]:
    m = _LATENCY.match(line.rstrip("\r\n"))
    return int(m.group(1)) if m else None


def parse_time_left(line: str) -> Optional[int]:
    m = _TIME_LEFT.match(line.rstrip("\r\n"))
    return int(m.group(1)) if m else None
