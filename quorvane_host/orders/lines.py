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
from dataclasses import dataclass, field
from typing import Any, Optional

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
_TIME_LEFT = re.compile(r"Time from opening:(-?[0-9]+)\Z")


@dataclass
class Outcome:
    """One order's outcome as the module reported it."""

    accepted: bool
    detail: str  # the text after the prefix
    data: Any = field(default=None, repr=False)  # the detail read back as a literal, if it is one
    code: Optional[int] = None
    msg: Optional[str] = None
    order_id: Optional[Any] = None

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


def _literal(text: str) -> Any:
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError, TypeError):
        return None


def parse_outcome(line: str) -> Optional[Outcome]:
    """The outcome in an order's line, or None for any other line."""
    line = line.rstrip("\r\n")
    if line.startswith(ACCEPTED_PREFIX):
        detail = line[len(ACCEPTED_PREFIX):]
        data = _literal(detail)
        order_id = None
        if isinstance(data, dict):
            result = data.get("result")
            if isinstance(result, dict):
                order_id = result.get("orderId")
        return Outcome(True, detail, data, order_id=order_id)
    if line.startswith(REJECTED_PREFIX):
        detail = line[len(REJECTED_PREFIX):]
        data = _literal(detail)
        code = msg = None
        if isinstance(data, dict):
            code, msg = data.get("code"), data.get("msg")
            code = code if isinstance(code, int) and not isinstance(code, bool) else None
            msg = msg if isinstance(msg, str) else None
        return Outcome(False, detail, data, code=code, msg=msg)
    return None


def parse_latency(line: str) -> Optional[int]:
    m = _LATENCY.match(line.rstrip("\r\n"))
    return int(m.group(1)) if m else None


def parse_time_left(line: str) -> Optional[int]:
    m = _TIME_LEFT.match(line.rstrip("\r\n"))
    return int(m.group(1)) if m else None
