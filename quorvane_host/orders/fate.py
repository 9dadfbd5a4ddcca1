"""Each order's fate: how far it got, what the exchange answered, what it bought.

Pure bookkeeping (no sockets, no event loop): the gate
(:mod:`quorvane_host.orders.gate`) moves an :class:`Order` along its stages
as the module's connection is used, the ledger
(:mod:`quorvane_host.orders.ledger`) alone settles its verdict, and the
report reads them.

* ``never sent``: no connection (the gate's cap on new connections, nothing
  listening, name not found); nothing reached the exchange;
* ``never connected``: the connection began but its TLS handshake or its
  WebSocket upgrade never finished; the order was not sent;
* ``sent, no reply``: the request was handed to the connection and no reply
  came back: its outcome is unknown, and the account must be checked;
* ``answered``: the order's own reply came (matched by its id), or the
  exchange said what became of it when asked; its verdict
  (:mod:`quorvane_host.orders.reply`) says whether it bought, filled
  nothing, was refused, or is still unknown.
"""

from __future__ import annotations

import asyncio
import socket
from typing import Any, Dict, Optional

from quorvane_host.net.faults import describe_fault
from quorvane_host.net.cap import ConnectionLimit
from quorvane_host.orders.codes import Code
from quorvane_host.orders.lines import Outcome
from quorvane_host.orders.reply import BOUGHT, EMPTY, REFUSED, UNKNOWN, Verdict, decode

__all__ = ["ANSWERED", "NEVER_CONNECTED", "NEVER_SENT", "NO_REPLY", "CONNECTING", "CONNECTED", "SENT", "REPLIED",
           "Order"]

NEVER_SENT, NEVER_CONNECTED, NO_REPLY, ANSWERED = "never sent", "never connected", "sent, no reply", "answered"

# How far an order got.
CONNECTING, CONNECTED, SENT, REPLIED = range(4)


def _no_connection(exc: BaseException) -> bool:
    """True for a failure that came before any connection existed."""
    return isinstance(exc, (ConnectionLimit, socket.gaierror, ConnectionRefusedError))


def _why_stopped(exc: BaseException) -> str:
    said = getattr(exc, "said", None)  # a stop request (quorvane_host.run.stopping)
    if isinstance(said, str):
        return f"stopped: {said}"
    if isinstance(exc, asyncio.CancelledError):
        return "cancelled (the time limit's grace was over, or the run was stopping)"
    return describe_fault(exc)


class Order:
    """One order of the run, from the module's ``connect`` on."""

    def __init__(self, seq: int, started_ms: float) -> None:
        self.seq = seq
        self.started_ms = started_ms
        self.sent_ms: Optional[float] = None  # this machine's time when the request went out
        self.request_id: Any = None  # the id of the request, as the module sent it
        self.stage = CONNECTING
        self.no_connection = False
        self.failure: Optional[str] = None
        self.reply: Any = None  # the order's own reply, as it came
        self.outcome: Optional[Outcome] = None  # the module's line about it, when printed
        self.verdict: Optional[Verdict] = None  # settled by the ledger alone
        self.found_by: Optional[str] = None  # how the verdict was learnt: "its reply", "a late reply", ...
        self.late_replies = 0  # replies that came after the order's wait had ended

    @property
    def sent(self) -> bool:
        return self.stage >= SENT

    @property
    def answered(self) -> bool:
        return self.verdict is not None

    @property
    def fate(self) -> str:
        if self.verdict is not None:
            return ANSWERED
        if self.stage >= SENT:
            return NO_REPLY
        if self.stage == CONNECTED:  # connected, nothing handed to it (a stop request held it back)
            return NEVER_SENT
        return NEVER_SENT if self.no_connection else NEVER_CONNECTED

    @property
    def accepted(self) -> Optional[bool]:
        """Whether the exchange took the order (whatever the module printed); None when not known."""
        verdict = self.verdict
        if verdict is None or (verdict.kind == UNKNOWN and verdict.order_id is None):
            return None
        return verdict.kind != REFUSED

    @property
    def bought(self) -> bool:
        """True when the exchange said something was filled."""
        verdict = self.verdict
        return verdict is not None and verdict.kind == BOUGHT

    @property
    def refused(self) -> bool:
        return self.verdict is not None and self.verdict.kind == REFUSED

    @property
    def outcome_unknown(self) -> bool:
        """Sent, and what it did to the money is not known (yet): it may have bought."""
        if self.verdict is not None:
            return self.verdict.kind == UNKNOWN
        return self.stage >= SENT

    @property
    def may_have_bought(self) -> bool:
        """Bought, or may have: sent, and not known to have bought nothing."""
        return self.bought or self.outcome_unknown

    def failed(self, exc: BaseException) -> None:
        if self.failure is None:
            self.failure = _why_stopped(exc)
        if self.stage == CONNECTING and _no_connection(exc):
            self.no_connection = True

    def reply_data(self) -> Any:
        """The reply as the exchange sent it (decoded), else what the module printed of it."""
        data = decode(self.reply)
        if data is not None:
            return data
        return self.outcome.data if self.outcome is not None else None

    def describe(self) -> str:
        fate = self.fate
        if fate == NO_REPLY:
            return "sent, no reply: its outcome is unknown: check the account"
        if fate == NEVER_CONNECTED:
            return "never connected (TLS or upgrade never finished): not sent" + (
                f"; {self.failure}" if self.failure else "")
        if fate == NEVER_SENT:
            how = "held back on its connection" if self.stage == CONNECTED else "no connection"
            return f"never sent ({how})" + (f": {self.failure}" if self.failure else "")
        v = self.verdict
        assert v is not None
        named = f", order id {v.order_id}" if v.order_id is not None else ""
        found = f" ({self.found_by})" if self.found_by not in (None, "its reply") else ""
        if v.kind == BOUGHT:
            fill = v.filled() or {}
            return (f"accepted{named}: bought {fill.get('quantity')}"
                    + (f" at {fill['price']} for {fill['cost']}" if fill.get("price") is not None else "")
                    + (" so far (the order was not over: check the account for the rest)" if v.open else "")
                    + found)
        if v.kind == EMPTY:
            return f"accepted but nothing filled ({v.order_status or 'quantity 0'}){named}{found}"
        if v.kind == UNKNOWN:
            return f"outcome unknown: {v.why}{named}: check the account"
        return f"refused: {v.msg} (code {v.code})" if (v.msg or v.code is not None) else "refused"

    def to_dict(self) -> dict:
        d: Dict[str, Any] = {"seq": self.seq, "fate": self.fate, "started_ms": self.started_ms,
                             "sent_ms": self.sent_ms, "request_id": self.request_id, "failure": self.failure}
        v = self.verdict
        data = decode(self.reply)
        d["reply"] = data if data is not None else self.reply if isinstance(self.reply, str) else None
        d["verdict"] = v.kind if v is not None else None
        d["found_by"] = self.found_by
        d["outcome_unknown"] = self.outcome_unknown
        d["accepted"] = self.accepted
        d["bought"] = self.bought
        if v is not None:
            d.update(status=v.status, code=v.code, msg=v.msg, order_id=v.order_id, order_status=v.order_status,
                     unknown_why=v.why)
            d["too_early"] = v.code == int(Code.NOT_OPEN)
        if self.outcome is not None:
            d["module_line"] = self.outcome.detail
        d["filled"] = v.filled() if v is not None and v.kind in (BOUGHT, EMPTY) else None
        d["open"] = v is not None and v.open  # a fill whose order was not over at the end: it may be larger
        return d
