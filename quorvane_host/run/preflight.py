"""One order through the module with nothing sent: the endpoint and the request it would use.

Before the host waits for the opening it rebinds the module's ``websockets``
to a probe that takes the URL the module connects to and the text it would
send, and raises instead of sending.  The host checks both (a placeholder
endpoint, a quantity that would not go out as typed) while a mistake still
costs nothing.
"""

from __future__ import annotations

import json
from typing import Any, Optional, Tuple

__all__ = ["preflight"]


class _ProbeDone(Exception):
    pass


class _ProbeSocket:
    def __init__(self, probe: "_Probe") -> None:
        self._probe = probe

    async def send(self, text: Any) -> None:
        self._probe.request_text = text
        raise _ProbeDone()

    async def recv(self) -> Any:  # pragma: no cover - send never returns
        raise _ProbeDone()


class _Probe:
    """A ``websockets`` stand-in that captures the URL and the request, and sends nothing."""

    def __init__(self) -> None:
        self.url: Optional[str] = None
        self.request_text: Optional[Any] = None

    def connect(self, url: str, *args: Any, **kwargs: Any) -> "_Probe":
        self.url = url
        return self

    async def __aenter__(self) -> _ProbeSocket:
        return _ProbeSocket(self)

    async def __aexit__(self, *exc: Any) -> bool:
        return False


async def preflight(module: Any, plan: Any) -> Tuple[str, dict]:
    """Run one order through the module with a probe for ``websockets``: nothing is sent.

    Returns the endpoint URL the module would use and the request it would send.
    """
    probe, saved = _Probe(), module.websockets
    module.websockets = probe
    try:
        await module.buy_market_order(plan.api_key, plan.secret, plan.symbol.upper(), plan.quantity)
    except _ProbeDone:
        pass
    finally:
        module.websockets = saved
    if probe.url is None or probe.request_text is None:
        raise RuntimeError("the module did not try to send an order")
    return probe.url, json.loads(probe.request_text)
