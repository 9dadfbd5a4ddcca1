"""The start-up check of the endpoint, and the clock measurement that follows it.

Before the countdown the host opens one connection to the endpoint that
the orders will use: name resolution, TCP, TLS (certificate trust and
server name) and the WebSocket upgrade.  Each failure becomes an
:class:`EndpointError` whose message says what is wrong and what to do, so
that it shows now and not at the opening.  Over the same connection the
host then measures the exchange's clock (:mod:`quorvane_host.timing.measure`).
"""

from __future__ import annotations

import asyncio
import socket
import ssl
from typing import Any, Callable, Optional

from websockets.exceptions import InvalidHandshake, InvalidStatus, InvalidURI

from quorvane_host.net.faults import describe_fault

__all__ = ["EndpointError", "advice", "open_checked"]


class EndpointError(Exception):
    """The endpoint cannot take orders; the message is advice for a person."""


def advice(exc: BaseException, where: str, *, cafile: Optional[str] = None) -> str:
    """Plain words for a failure to open a connection to ``where`` (host:port)."""
    if isinstance(exc, socket.gaierror):
        return (f"host not found: {where} ({exc.strerror or exc}). Check the network (this machine's "
                "connection and name service), and the host: for the module's own endpoint, the one "
                "the build was made for (--version shows it)")
    if isinstance(exc, ssl.SSLCertVerificationError):
        reason = exc.verify_message or str(exc)
        if "hostname" in reason.lower() or "ip address mismatch" in reason.lower():
            return (f"the certificate of {where} is for another name ({reason}): "
                    "pass --server-name NAME with the name it was issued for")
        return (f"certificate not trusted: {where} ({reason}): pass --cafile with the CA "
                "that issued it" + (f" (now trusting only {cafile})" if cafile else ""))
    if isinstance(exc, ssl.SSLError):
        return f"port does not speak TLS: {where} ({exc.reason or exc})"
    if isinstance(exc, ConnectionRefusedError):
        return f"nothing listens on {where}: connection refused (wrong port, or the exchange is down)"
    if isinstance(exc, (asyncio.TimeoutError, TimeoutError)):
        return f"no answer from {where} in time: check the address, the port and the network"
    if isinstance(exc, InvalidStatus):
        status = exc.response.status_code
        if status == 404:
            return f"{where} has no WebSocket API at the module's path (HTTP 404)"
        return f"{where} refused the WebSocket upgrade (HTTP {status})"
    if isinstance(exc, (InvalidHandshake, InvalidURI)):
        return f"{where} does not speak WebSocket ({exc})"
    if isinstance(exc, ConnectionResetError):
        return f"{where} closed the connection during the handshake (a TLS port expecting other settings?)"
    if isinstance(exc, OSError):
        return f"cannot reach {where}: {exc.strerror or exc}"
    return f"cannot open a connection to {where}: {describe_fault(exc)}"


# While the connection is still opening, the person is told every so often
# that the host is waiting (a listener that never answers takes the whole
# timeout, and silence for that long reads like a hang).
WAIT_NOTE_EVERY_S = 3.0


async def _opened(connecting: Any) -> Any:
    return await connecting


async def open_checked(connector: Any, url: str, where: str, *, timeout: float = 10.0,
                       cafile: Optional[str] = None,
                       on_wait: Callable[[float], None] = lambda waited_s: None,
                       note_every: float = WAIT_NOTE_EVERY_S) -> Any:
    """Open one connection to ``url`` through ``connector``; EndpointError with advice on failure.

    ``on_wait(seconds waited)`` is called every ``note_every`` seconds while
    the connection has not opened yet.  Whatever way this ends, the attempt
    is not left running.
    """
    loop = asyncio.get_running_loop()
    started = loop.time()
    opening = asyncio.ensure_future(_opened(connector.connect(url)))
    try:
        while True:
            left = timeout - (loop.time() - started)
            if left <= 0:
                raise asyncio.TimeoutError()
            done, _ = await asyncio.wait({opening}, timeout=min(note_every, left))
            if done:
                return opening.result()
            if loop.time() - started < timeout:
                on_wait(loop.time() - started)
    except asyncio.CancelledError:
        raise
    except Exception as exc:
        raise EndpointError(advice(exc, where, cafile=cafile)) from exc
    finally:
        if not opening.done():
            opening.cancel()
            # The attempt's own clean-up (closing a half-open socket) runs
            # now, in this loop, rather than after it has closed; as with
            # asyncio.wait_for, until the attempt has ended.
            await asyncio.wait({opening})
