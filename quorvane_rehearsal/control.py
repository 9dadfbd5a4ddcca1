"""The rehearsal child's side of its control pipe: accounts in, commands answered as JSON lines.

``python -m quorvane_rehearsal.exchange --control`` serves the loopback
exchange (and its relay) and reads its orders from standard input; the
controlling side is :class:`quorvane_rehearsal.network.RehearsalNetwork`,
which describes the protocol.

The exchange's command line serves this pipe, so this side knows the
exchange only by what it asks of it (:class:`Controlled`).
"""

from __future__ import annotations

import argparse
import asyncio
import enum
import json
import sys
from dataclasses import asdict
from typing import Any, Dict, List, Optional, Protocol, Tuple

from quorvane_rehearsal.behaviour import Behaviour
from quorvane_rehearsal.commandline import symbol_arg
from quorvane_rehearsal.orders import Record, Symbol

__all__ = ["Controlled", "open_control", "serve_control", "snapshot"]


class Controlled(Protocol):
    """What the control pipe asks of the loopback exchange it serves."""

    @property
    def fault(self) -> enum.Enum: ...

    def records(self) -> List[Record]: ...
    def report(self, symbol: Optional[str] = None) -> dict: ...
    def now_ms(self) -> float: ...
    def add_symbol(self, symbol: Symbol) -> None: ...
    def set_behaviour(self, **changes: object) -> Behaviour: ...
    def set_fault(self, fault: str, count: Optional[int] = None) -> None: ...


async def open_control() -> Tuple[asyncio.StreamReader, Dict[str, str], Dict[str, Any]]:
    """Standard input as a stream, and the accounts and behaviour from its first line."""
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    first = await reader.readline()
    try:
        config = json.loads(first or b"{}")
        accounts = dict(config.get("accounts") or {})
        behaviour = dict(config.get("behaviour") or {})
    except (ValueError, TypeError, AttributeError):
        raise SystemExit("exchange: --control needs a JSON object on the first line of input")
    return reader, accounts, behaviour


def snapshot(exchange: Controlled, relay: Any = None, symbol: Optional[str] = None) -> dict:
    """The exchange's report and records and the relay's statistics, as plain data."""
    records = exchange.records()
    if symbol is not None:
        records = [r for r in records if r.symbol == symbol]
    return {
        "report": exchange.report(symbol),
        "records": [r.to_dict() for r in records],
        "relay": relay.stats() if relay is not None else None,
        "server_ms": exchange.now_ms(),
    }


def _command(exchange: Controlled, relay: Any, text: str) -> dict:
    word, _, rest = text.partition(" ")
    rest = rest.strip()
    try:
        if word == "report":
            return snapshot(exchange, relay, rest or None)
        if word == "symbol":
            symbol = symbol_arg(rest, int(exchange.now_ms()))
            exchange.add_symbol(symbol)
            return {"ok": True, "symbol": {"name": symbol.name, "open_ms": symbol.open_ms,
                                           "step": symbol.step, "price": symbol.price}}
        if word == "behave":
            changes = json.loads(rest or "{}")
            if not isinstance(changes, dict):
                raise ValueError("behave takes a JSON object of options")
            return {"ok": True, "behaviour": asdict(exchange.set_behaviour(**changes))}
        if word == "fault":
            name, _, count = rest.partition(" ")
            exchange.set_fault(name, int(count) if count.strip() else None)
            return {"ok": True, "fault": exchange.fault.value}
    except (ValueError, TypeError, argparse.ArgumentTypeError) as exc:
        return {"error": str(exc)}
    return {"error": f"unknown command {word!r}"}


async def serve_control(reader: asyncio.StreamReader, exchange: Controlled, relay: Any,
                        stop: asyncio.Event, duration: Optional[float]) -> None:
    """Answer commands until ``stop``, the end of input, a ``stop`` command or ``duration``."""

    async def commands() -> None:
        while True:
            line = await reader.readline()
            if not line:
                return  # the controlling program went away
            text = line.decode("utf-8", "replace").strip()
            if text == "stop":
                return
            if text:
                print(json.dumps(_command(exchange, relay, text)), flush=True)

    tasks = [asyncio.ensure_future(commands()), asyncio.ensure_future(stop.wait())]
    try:
        await asyncio.wait(tasks, timeout=duration, return_when=asyncio.FIRST_COMPLETED)
    finally:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
