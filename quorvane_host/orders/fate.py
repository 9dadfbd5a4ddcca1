"""Each order's fate: how far it got, what the exchange answered, what it bought.

Pure bookkeeping (no sockets, no event loop): the gate
(:mod:`quorvane_host.orders.gate`) moves an :class:`Order` along its stages
as the module's connection is used, and the report reads them.

* ``never sent``: no connection (the gate's cap on new connections, nothing
  listening, name not found); nothing reached the exchange;
* ``never connected``: the connection began but its TLS handshake or its
  WebSocket upgrade never finished; the order was not sent;
* ``sent, no reply``: the request was handed to the connection and no reply
  came back: its outcome is unknown, and the account must be checked;
* ``answered``: the order's own reply came (matched by its id); accepted
  (bought, or filled nothing) or refused by the exchange
  (:mod:`quorvane_host.orders.reply`);
* ``answered, unreadable``: a reply that is not a JSON object, which says
  nothing of the order: its outcome is unknown, as without a reply.
"""

from __future__ import annotations

import asyncio
import socket
from typing import Any, Dict, Optional

from quorvane_host.net.faults import describe_fault
from quorvane_host.net.cap import ConnectionLimit
from quorvane_host.orders.codes import Code
from quorvane_host.orders.lines import Outcome
from quorvane_host.orders.reply import BOUGHT, EMPTY, UNSTATED, Verdict, decode, judge
from quorvane_host.orders.reply import UNREADABLE as VERDICT_UNREADABLE

__all__ = ["ANSWERED", "NEVER_CONNECTED", "NEVER_SENT", "NO_REPLY", "UNKNOWN_FATES", "UNREADABLE",
           "CONNECTING", "CONNECTED", "SENT", "REPLIED", "Order"]

NEVER_SENT, NEVER_CONNECTED, NO_REPLY, ANSWERED = "never sent", "never connected", "sent, no reply", "answered"
UNREADABLE = "answered, unreadable"  # a reply the module could not read: as unknown as no reply
UNKNOWN_FATES = (NO_REPLY, UNREADABLE)

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
        self._verdict: Optional[Verdict] = None

    @property
    def sent(self) -> bool:
        return self.stage >= SENT

    @property
    def verdict(self) -> Optional[Verdict]:
        """What the order's reply says of it; None before it came."""
        if self.stage != REPLIED:
            return None
        if self._verdict is None:
            self._verdict = judge(self.reply)
        return self._verdict

    @property
    def fate(self) -> str:
        if self.stage == REPLIED:
            return UNREADABLE if self.verdict.kind == VERDICT_UNREADABLE else ANSWERED
        if self.stage == SENT:
            return NO_REPLY
        if self.stage == CONNECTED:  # connected, nothing handed to it (a stop request held it back)
            return NEVER_SENT
        return NEVER_SENT if self.no_connection else NEVER_CONNECTED

    @property
    def accepted(self) -> Optional[bool]:
        """Whether the exchange took the order, by its reply (whatever the module printed); None before."""
        verdict = self.verdict
        if verdict is None or verdict.kind == VERDICT_UNREADABLE:
            return None
        return verdict.accepted

    @property
    def bought(self) -> bool:
        """True when the reply says something was filled."""
        verdict = self.verdict
        return verdict is not None and verdict.bought

    @property
    def outcome_unknown(self) -> bool:
        """Sent, and what it did to the money cannot be told from what came back."""
        verdict = self.verdict
        return self.fate in UNKNOWN_FATES or (verdict is not None and verdict.kind == UNSTATED)

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
        if fate == UNREADABLE:
            return "answered with something that is not a reply to read: its outcome is unknown: check the account"
        if fate == NEVER_CONNECTED:
            return "never connected (TLS or upgrade never finished): not sent" + (
                f" ({self.failure})" if self.failure else "")
        if fate == NEVER_SENT:
            how = "held back on its connection" if self.stage == CONNECTED else "no connection"
            return f"never sent ({how})" + (f" ({self.failure})" if self.failure else "")
        v = self.verdict
        named = f", order id {v.order_id}" if v.order_id is not None else ""
        if v.kind == BOUGHT:
            fill = v.filled()
            return (f"accepted{named}: bought {fill['quantity']}"
                    + (f" at {fill['price']} for {fill['cost']}" if fill["price"] is not None else ""))
        if v.kind == EMPTY:
            return f"accepted but nothing filled ({v.order_status or 'quantity 0'}){named}"
        if v.kind == UNSTATED:
            return f"accepted{named}, but the reply does not say what was filled: check the account"
        return f"refused: {v.msg} (code {v.code})" if (v.msg or v.code is not None) else "refused"

    def to_dict(self) -> dict:
        d: Dict[str, Any] = {"seq": self.seq, "fate": self.fate, "started_ms": self.started_ms,
                             "sent_ms": self.sent_ms, "request_id": self.request_id, "failure": self.failure}
        v = self.verdict
        data = decode(self.reply)
        d["reply"] = data if data is not None else self.reply if isinstance(self.reply, str) else None
        d["verdict"] = v.kind if v is not None else None
        d["accepted"] = self.accepted
        d["bought"] = self.bought
        if v is not None:
            d.update(status=v.status, code=v.code, msg=v.msg, order_id=v.order_id, order_status=v.order_status)
            d["too_early"] = v.code == int(Code.NOT_OPEN)
        if self.outcome is not None:
            d["module_line"] = self.outcome.detail
        d["filled"] = v.filled() if v is not None and v.accepted else None
        return d
