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
* ``answered``: the reply came; accepted or refused by the exchange;
* ``answered, unreadable``: a reply that is not a JSON object, which says
  nothing of the order: its outcome is unknown, as without a reply.
"""

from __future__ import annotations

import asyncio
import json
import socket
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, Optional

from quorvane_host.net.faults import describe_fault
from quorvane_host.net.pool import ConnectionLimit
from quorvane_host.orders.lines import Outcome

__all__ = ["ANSWERED", "NEVER_CONNECTED", "NEVER_SENT", "NO_REPLY", "UNKNOWN_FATES", "UNREADABLE",
           "CONNECTING", "CONNECTED", "SENT", "REPLIED", "Order", "filled"]

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
        self.stage = CONNECTING
        self.no_connection = False
        self.failure: Optional[str] = None
        self.reply: Any = None
        self.outcome: Optional[Outcome] = None

    @property
    def sent(self) -> bool:
        return self.stage >= SENT

    @property
    def fate(self) -> str:
        if self.stage == REPLIED:
            if self.outcome is None and not isinstance(self.reply_data(), dict):
                return UNREADABLE
            return ANSWERED
        if self.stage == SENT:
            return NO_REPLY
        if self.stage == CONNECTED:  # connected, nothing handed to it (a stop request held it back)
            return NEVER_SENT
        return NEVER_SENT if self.no_connection else NEVER_CONNECTED

    @property
    def accepted(self) -> Optional[bool]:
        """Whether the exchange took the order, once answered; None before.

        By the module's line, or, when a stop request came between the reply
        and that line, by the reply itself, as the module reads it.
        """
        if self.outcome is not None:
            return self.outcome.accepted
        data = self.reply_data()
        if self.stage != REPLIED or not isinstance(data, dict):
            return None
        return "error" not in data

    def failed(self, exc: BaseException) -> None:
        if self.failure is None:
            self.failure = _why_stopped(exc)
        if self.stage == CONNECTING and _no_connection(exc):
            self.no_connection = True

    def reply_data(self) -> Any:
        """The reply as the exchange sent it (decoded), else what the module printed of it."""
        if isinstance(self.reply, (str, bytes)):
            try:
                return json.loads(self.reply)
            except ValueError:
                pass
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
        if self.outcome is None:
            text = ("accepted" if self.accepted else "refused") + " (the run stopped before the module said so)"
        else:
            text = self.outcome.describe()
        fill = filled(self.reply_data()) if self.accepted else None
        if fill and fill["price"] is None:
            text += ": nothing was filled (the reply says quantity 0)"
        elif fill:
            text += f": bought {fill['quantity']} at {fill['price']} for {fill['cost']}"
        return text

    def to_dict(self) -> dict:
        d: Dict[str, Any] = {"seq": self.seq, "fate": self.fate, "started_ms": self.started_ms,
                             "failure": self.failure}
        if self.outcome is not None:
            d.update(self.outcome.to_dict())
        d["accepted"] = self.accepted
        if self.accepted:
            d["filled"] = filled(self.reply_data())
        return d


def _decimal(value: Any) -> Optional[Decimal]:
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        return None
    try:
        d = Decimal(str(value))
    except InvalidOperation:
        return None
    return d if d.is_finite() else None


def filled(reply: Any) -> Optional[Dict[str, Optional[str]]]:
    """What an accepted order bought, from its reply: quantity, average price and cost.

    None when the reply does not say (an exchange that answers only with an
    order id).
    """
    result = reply.get("result") if isinstance(reply, dict) else None
    if not isinstance(result, dict):
        return None
    qty = cost = Decimal(0)
    fills = result.get("fills")
    if isinstance(fills, list) and fills:
        for f in fills:
            q = _decimal(f.get("qty")) if isinstance(f, dict) else None
            p = _decimal(f.get("price")) if isinstance(f, dict) else None
            if q is None or p is None:
                return None
            quote = _decimal(f.get("quoteQty"))
            qty += q
            cost += quote if quote is not None else q * p
    else:
        q, c = _decimal(result.get("executedQty")), _decimal(result.get("cummulativeQuoteQty"))
        if q is None or c is None:
            return None
        qty, cost = q, c
    if qty <= 0:
        return {"quantity": str(qty), "price": None, "cost": str(cost)}
    return {"quantity": str(qty), "price": str((cost / qty).normalize()), "cost": str(cost)}
