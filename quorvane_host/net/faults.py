"""Plain words for what went wrong on the way to the exchange.

An order fails with whatever the network, TLS, the WebSocket library or the
JSON decoder raised: ``ConnectionClosedOK: received 1000 (OK); then sent
1000 (OK)``, ``JSONDecodeError: Expected object or value``, an empty
``ConnectionResetError``.  :func:`describe_fault` turns such an exception
into what the exchange (or the way to it) did, for the report and the
``--result`` JSON.  The table :data:`FAULTS` is read from the top; the first
row whose exception class matches says it.

The words hold no brackets: callers put them in brackets of their own
("never sent (no connection): ...", "no warm connections (...)"), and
brackets within brackets are hard to read.
"""

from __future__ import annotations

import asyncio
import json
import socket
import ssl
from typing import Callable, List, Tuple, Type

from websockets.exceptions import (ConnectionClosed, InvalidHandshake, InvalidMessage,
                                   InvalidStatus, InvalidURI)

__all__ = ["FAULTS", "close_code_text", "describe_fault"]

try:  # the module decodes replies with ujson, whose error is its own class
    from ujson import JSONDecodeError as _UJSONDecodeError
except ImportError:  # pragma: no cover - the module cannot be imported without it
    _UJSONDecodeError = json.JSONDecodeError

# What the WebSocket close codes mean (RFC 6455 and the registry that follows it).
CLOSE_CODES = {
    1000: "normal closure",
    1001: "going away",
    1002: "protocol error",
    1003: "unsupported data",
    1005: "no code given",
    1006: "dropped without a closing handshake",
    1007: "invalid data",
    1008: "policy violation",
    1009: "message too big",
    1010: "extension missing",
    1011: "internal error",
    1012: "service restart",
    1013: "try again later",
    1014: "bad gateway",
}


def close_code_text(code: int, reason: str = "") -> str:
    """``close code 1011, internal error: reason`` for a WebSocket close frame."""
    text = f"close code {code}"
    meaning = CLOSE_CODES.get(code)
    if meaning:
        text += f", {meaning}"
    if reason:
        text += f": {reason}"
    return text


def _detail(exc: BaseException) -> str:
    """``: text`` when the exception says more than its class, else nothing."""
    text = getattr(exc, "strerror", None) or str(exc)
    return f": {text}" if text else ""


def _closed(exc: BaseException) -> str:
    received = getattr(exc, "rcvd", None)
    if received is None:
        return ("the connection dropped without a closing handshake: the exchange or something "
                "on the way cut it")
    how = close_code_text(received.code, received.reason)
    if received.code in (1000, 1001):
        return f"the exchange closed the connection without answering: {how}"
    return f"the exchange closed the connection with an error: {how}"


def _handshake_closed(exc: BaseException) -> str:
    if isinstance(exc.__cause__, (EOFError, ConnectionError)):
        return "the exchange closed the connection before the WebSocket upgrade was done"
    return f"the exchange's reply to the WebSocket upgrade was not valid HTTP{_detail(exc)}"


def _certificate(exc: BaseException) -> str:
    reason = getattr(exc, "verify_message", None) or str(exc)
    return f"the exchange's TLS certificate was not accepted: {reason}"


def _tls(exc: BaseException) -> str:
    reason = getattr(exc, "reason", None) or str(exc)
    return f"the TLS handshake with the exchange failed: {reason}"


# (exception classes, words): the first row that matches says it, so the
# more particular classes come first.
FAULTS: List[Tuple[Tuple[Type[BaseException], ...], Callable[[BaseException], str]]] = [
    ((ConnectionClosed,), _closed),
    ((_UJSONDecodeError, json.JSONDecodeError),
     lambda exc: "the exchange answered with text that is not JSON"),
    ((InvalidStatus,),
     lambda exc: f"the exchange refused the WebSocket upgrade with HTTP {exc.response.status_code}"),
    ((InvalidMessage,), _handshake_closed),
    ((InvalidURI,), lambda exc: f"the exchange's address is not a WebSocket URL{_detail(exc)}"),
    ((InvalidHandshake,), lambda exc: f"the WebSocket upgrade with the exchange failed{_detail(exc)}"),
    ((ssl.SSLCertVerificationError,), _certificate),
    ((ssl.SSLError,), _tls),
    ((socket.gaierror,), lambda exc: f"the exchange's host name was not found{_detail(exc)}"),
    ((ConnectionRefusedError,),
     lambda exc: "the exchange refused the connection: nothing listens at its address and port"),
    ((ConnectionResetError,),
     lambda exc: "the connection was reset: the exchange or something on the way broke it off"),
    ((BrokenPipeError, ConnectionAbortedError),
     lambda exc: "the connection broke while the request was being sent"),
    ((asyncio.IncompleteReadError, EOFError),
     lambda exc: "the exchange closed the connection in the middle of a message"),
    ((asyncio.TimeoutError, TimeoutError), lambda exc: "the exchange did not answer in time"),
    ((OSError,), lambda exc: f"a network error{_detail(exc)}"),
]


def describe_fault(exc: BaseException) -> str:
    """What the exchange, or the way to it, did: words for a person, never a bare class name."""
    for classes, words in FAULTS:
        if isinstance(exc, classes):
            return words(exc)
    # Nothing known: the class name is then the most a person can look up.
    text = str(exc)
    return f"an unexpected {type(exc).__name__}{': ' + text if text else ''}"
