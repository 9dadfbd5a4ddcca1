"""Point a running ``quorvane_3`` at another WebSocket endpoint.

The module opens every order connection with ``websockets.connect(URL)``,
where ``websockets`` is a module global looked up at each use and ``URL`` is
fixed when the module is built.  Rebinding that global to a
:class:`Connector` redirects the connections without touching the module::

    import quorvane_3
    from quorvane_host.net.connector import Connector

    quorvane_3.websockets = Connector("127.0.0.1", 8443, cafile="ca.pem")

A connector keeps everything of the module's URL except the host and the
port: the scheme (``wss``), the path (``/ws-api/v3``) and any query stay as
they are, TLS stays on and the server certificate is still verified, against
the system's trust store or, when ``cafile`` is given, against that file only
(a loopback exchange's self-signed certificate).

``connect(url)`` returns, like the asyncio ``websockets.connect``, an
object that is both awaitable and an asynchronous context manager, which is
all the module needs; what it yields is a
:class:`~quorvane_host.net.channel.Channel` over the connection, whose one
reader routes every message by its id (the module's plain ``send`` then
``recv`` gets its own reply).  With a pool started
(:meth:`Connector.start_pool`), ``connect`` of the pool's URL hands out warm
connections instead (:mod:`quorvane_host.net.pool`).
"""

from __future__ import annotations

import ipaddress
import ssl
import urllib.parse
from typing import Any, Callable, Dict, Generator, Optional, Set, Tuple, Union

from websockets.asyncio.client import ClientConnection, connect as _ws_connect
from websockets.exceptions import ConnectionClosedError

from quorvane_host.net.channel import Channel
from quorvane_host.net.lease import Lease
from quorvane_host.net.message_tap import MessageTap
from quorvane_host.net.pool import Pool, abort_connection

__all__ = ["Connector", "Opening", "rewrite_url"]

REWRITES_KEPT = 64  # URLs whose rewritten form a connector remembers


def _netloc(host: str, port: int) -> str:
    try:
        if ipaddress.ip_address(host).version == 6:
            host = f"[{host}]"
    except ValueError:
        pass
    return f"{host}:{port}"


def rewrite_url(url: str, host: str, port: int) -> str:
    """Return ``url`` with its host and port replaced, everything else kept.

    Only ``wss`` URLs are accepted: a connector never downgrades an order
    connection to clear text.
    """
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "wss":
        raise ValueError(f"expected a wss:// URL, got {url!r}")
    if not 0 < int(port) < 65536:
        raise ValueError(f"port out of range: {port!r}")
    return urllib.parse.urlunsplit(
        (parts.scheme, _netloc(host, int(port)), parts.path, parts.query, parts.fragment)
    )


class Opening:
    """A connection being opened for one user: awaitable (its channel), or ``async with`` (closed at the end)."""

    __slots__ = ("_connecting", "_on_pushed", "_channel")

    def __init__(self, connecting: Any, on_pushed: Optional[Callable[[Any], None]] = None) -> None:
        self._connecting = connecting
        self._on_pushed = on_pushed
        self._channel: Optional[Channel] = None

    @property
    def connection(self) -> Any:
        """The connection as websockets opens it (None before its handshake began)."""
        return getattr(self._connecting, "connection", None)

    async def _open(self) -> Channel:
        return Channel(await self._connecting, on_pushed=self._on_pushed)

    def __await__(self) -> Generator[Any, None, Channel]:
        return self._open().__await__()

    async def __aenter__(self) -> Channel:
        self._channel = await self._open()
        return self._channel

    async def __aexit__(self, *exc: Any) -> None:
        channel, self._channel = self._channel, None
        if channel is not None:
            if exc[1] is not None:
                # Cut short (cancelled at the time limit, a stop, a failure):
                # nothing more is read from it, and a connection gone silent
                # would hold the run for the whole closing handshake's timeout.
                abort_connection(channel.conn)
            await channel.close()


class Connector:
    """A stand-in for the ``websockets`` package that redirects ``connect``.

    ``host``/``port``: where the connections go instead.
    ``cafile``: PEM file of the certificate authority (or self-signed
    certificate) to trust; without it the system's default trust store is
    used.  Verification of the certificate chain and of the host name is
    never turned off.
    ``server_hostname``: the name to check the certificate against (and to
    send as SNI) when it differs from ``host``.
    ``connect_options``: further keyword arguments for
    ``websockets.connect`` (``open_timeout=...`` for instance).

    Instances count the connections they opened in :attr:`opened` and keep
    the last URL they were asked for in :attr:`last_url`.  :attr:`on_pushed`,
    when set, hears the messages that answer no request on the connections
    opened outside the pool (without it, a plain ``recv`` gets them).  They also know
    which of their connections are still open (:meth:`abort_open` drops
    them), whoever holds them: a stop request can leave one behind
    anywhere, and its transport must not outlive the event loop.
    """

    def __init__(
        self,
        host: str,
        port: int,
        *,
        cafile: Optional[str] = None,
        server_hostname: Optional[str] = None,
        **connect_options: Any,
    ) -> None:
        self.host = host
        self.port = int(port)
        self.cafile = cafile
        self.server_hostname = server_hostname
        self.connect_options = connect_options
        self.opened = 0
        self.last_url: Optional[str] = None
        self.pool: Optional[Pool] = None
        self.on_pushed: Optional[Callable[[Any], None]] = None
        self.after_write: Optional[Callable[[], None]] = None
        self._pool_target: Optional[str] = None
        self._rewritten: Dict[Tuple[str, str, int], str] = {}
        self._ssl = ssl.create_default_context(cafile=cafile)
        self._live: Set[ClientConnection] = set()
        live = self._live
        connector = self

        class _Tracked(ClientConnection):
            def __init__(self, *args: Any, **kwargs: Any) -> None:
                super().__init__(*args, **kwargs)
                self.message_tap = MessageTap()

            # TLS is up when connection_made is called; until then asyncio
            # aborts the transport itself if the opening is cut short.
            def connection_made(self, transport: Any) -> None:
                live.add(self)
                super().connection_made(transport)

            def connection_lost(self, exc: Optional[Exception]) -> None:
                live.discard(self)
                super().connection_lost(exc)
                try:
                    closed = self.protocol.close_exc  # what recv would raise now
                    closed.__cause__ = self.recv_exc
                except Exception:  # noqa: BLE001 - lost before its handshake was through
                    closed = ConnectionClosedError(None, None)
                self.message_tap.lost(closed)

            # Data frames go to the tap, whole messages to the channel in this
            # callback, not through websockets' queue and a reader task.
            def process_event(self, event: Any) -> None:
                if self.response is None or not self.message_tap.frame(event):
                    super().process_event(event)

            def send_data(self) -> None:
                super().send_data()
                after = connector.after_write
                if after is not None:
                    try:
                        after()
                    except Exception:  # noqa: BLE001 - websockets would take it for a broken connection
                        pass

        self._connection_class = _Tracked

    @property
    def ssl_context(self) -> ssl.SSLContext:
        return self._ssl

    def rewrite(self, url: str) -> str:
        # Every order asks for the same URL: parsed once, not once per order.
        key = (url, self.host, self.port)
        target = self._rewritten.get(key)
        if target is None:
            target = rewrite_url(url, self.host, self.port)
            if len(self._rewritten) >= REWRITES_KEPT:
                self._rewritten.clear()
            self._rewritten[key] = target
        return target

    def connect(self, url: str, **options: Any) -> Union[Lease, Opening]:
        """Open a connection to ``url`` with host and port redirected.

        When a pool serves ``url`` (and no options are given), the result
        hands out one of its warm connections; leaving its block gives the
        connection back to the pool when the lease was marked ``reusable``
        (the order got its reply), and closes it in the background otherwise.
        """
        target = self.rewrite(url)
        self.last_url = url
        if self.pool is not None and not options and target == self._pool_target:
            return self.pool.lease()
        return self._open(target, **options)

    def _open(self, target: str, **options: Any) -> Opening:
        kwargs = dict(self.connect_options)
        kwargs.update(options)
        kwargs["ssl"] = self._ssl
        kwargs.setdefault("create_connection", self._connection_class)
        # No permessage-deflate: an order is a few hundred bytes, which
        # compression hardly shortens, and deflating each request and
        # inflating each reply costs both ends tens of microseconds of
        # processor per order, on the order's way.
        kwargs.setdefault("compression", None)
        if self.server_hostname is not None:
            kwargs.setdefault("server_hostname", self.server_hostname)
        self.opened += 1
        return Opening(_ws_connect(target, **kwargs), self.on_pushed)

    def start_pool(self, url: str, size: int = 3, *, max_new_per_minute: Optional[int] = 60,
                   say: Callable[[str], None] = lambda text: None) -> Pool:
        """Serve ``connect(url)`` from a pool of ``size`` warm connections (filled by ``pool.fill()``).

        ``say`` shows the pool's news to a person: a message the exchange
        pushed on a waiting connection, a waiting connection lost.  A message
        pushed on a connection an order holds goes to :attr:`on_pushed`.
        """
        target = self.rewrite(url)
        self.pool = Pool(lambda: self._open(target), size, max_new_per_minute=max_new_per_minute, say=say,
                         on_order_pushed=self.on_pushed)
        self._pool_target = target
        return self.pool

    def abort_open(self) -> int:
        """Abort every connection of this connector still open; return how many there were."""
        live = list(self._live)
        for conn in live:
            abort_connection(conn)
        return len(live)

    def __repr__(self) -> str:
        ca = f", cafile={self.cafile!r}" if self.cafile else ""
        return f"Connector({self.host!r}, {self.port}{ca})"
