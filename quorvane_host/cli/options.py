"""The command line, checked, as a :class:`~quorvane_host.cli.plan.Plan`.

Every check that needs nothing but the input runs here, before the host
imports the module or opens a connection, so that a mistake costs the user
no waiting: a :class:`UsageError` carries the message that says what to
change, and the host exits with status 2.  The options themselves and
their help are in :mod:`quorvane_host.cli.parser`, the number rule and the
quantity's checks in :mod:`quorvane_host.cli.numbers`.
"""

from __future__ import annotations

import argparse
import os
import re
import ssl
import stat
from typing import Mapping, Optional, Tuple

from quorvane_host.cli.keys import CredentialsError, keys_from_env, load_keys, rehearsal_keys
from quorvane_host.cli.numbers import PLAIN_DECIMAL, NumberError, check_on_step, check_quantity, quantity_text
from quorvane_host.cli.parser import build_parser, parse_args
from quorvane_host.cli.paths import unexpanded_homes
from quorvane_host.cli.plan import AIM_SAFETY_MS, DEFAULT_MAX_ORDERS, MAX_AHEAD_MS, Plan, UsageError
from quorvane_host.cli.times import TimeError, current_ms, format_ms, parse_opening_time

# The command line's names, from one place for the rest of the host.
__all__ = ["AIM_SAFETY_MS", "PLAIN_DECIMAL", "Plan", "UsageError", "build_parser", "build_plan", "parse_args",
           "quantity_text"]

_SYMBOL = re.compile(r"[A-Za-z0-9]{2,30}\Z")
# What people put between the two assets of a pair: QRV/USD, QRV-USD, QRV_USD, "QRV USD".
_PAIR_SEPARATORS = re.compile(r"[/\-_.: ]")


def _symbol(text: str) -> str:
    symbol = text.strip()
    if _SYMBOL.match(symbol):
        return symbol
    joined = _PAIR_SEPARATORS.sub("", symbol)
    hint = (f"; the exchange writes the pair without a separator: {joined.upper()}"
            if joined != symbol and _SYMBOL.match(joined) else ", e.g. QRVUSD")
    raise UsageError(f"symbol {text!r} should be 2 to 30 letters and digits{hint}")


def _quantity(text: str, allow_inexact: bool) -> float:
    try:
        return check_quantity(text, allow_inexact)
    except NumberError as exc:
        raise UsageError(str(exc)) from None


def _opening(text: str, now_ms: int) -> int:
    try:
        open_ms = parse_opening_time(text, now_ms=now_ms, allow_relative=True)
    except TimeError as exc:
        raise UsageError(str(exc)) from None
    if open_ms <= now_ms:
        hint = ""
        if open_ms < 100_000_000_000:
            hint = " (it looks like seconds since the epoch; give milliseconds)"
        raise UsageError(
            f"the opening time {format_ms(open_ms) if open_ms > 0 else open_ms} is in the past (now: "
            f"{format_ms(now_ms)}){hint}")
    if open_ms - now_ms > MAX_AHEAD_MS:
        hint = " (milliseconds since the epoch have 13 digits)" if open_ms >= 10 ** 13 else ""
        raise UsageError(
            f"the opening time {format_ms(open_ms)} is more than a day ahead (now: {format_ms(now_ms)}){hint}; "
            "start the host within 24 hours of the opening")
    return open_ms


def _stop_rule(args: argparse.Namespace, max_orders: int) -> None:
    if args.orders < 1:
        raise UsageError("--orders must be at least 1")
    if max_orders < args.orders:
        given = f"--max-orders {max_orders}" if args.max_orders is not None else \
            f"the {max_orders} orders in all that the host sends at most (--max-orders, default {max_orders})"
        raise UsageError(f"--orders {args.orders} is more than {given}: give --max-orders {args.orders} or more "
                         "as well, to let that many orders go")
    if not args.time_limit > 0:
        raise UsageError("--time-limit must be a positive number of seconds")
    if not args.grace >= 0:
        raise UsageError("--grace must not be negative")
    if not 0.1 <= args.max_order_rate <= 1000:
        raise UsageError("--max-order-rate must be between 0.1 and 1000 orders a second")
    if args.open_grace is not None:
        raise UsageError("--open-grace is gone: 'trading not open' and 'unknown symbol' refusals are "
                         "now retried, paced, until --time-limit after the opening; drop the option "
                         "(use --time-limit to end the wait for a late listing sooner)")


def _timing(args: argparse.Namespace) -> None:
    if args.log_max_mb < 1:
        raise UsageError("--log-max-mb must be at least 1")
    if not 0 <= args.pool <= 16:
        raise UsageError("--pool must be between 0 and 16")
    if args.max_new_connections < max(1, args.pool):
        raise UsageError("--max-new-connections must be at least 1 and at least --pool")
    if args.aim is not None:
        if args.no_compensation:
            raise UsageError("--aim and --no-compensation exclude each other")
        if not -1000 <= args.aim <= 1000:
            raise UsageError("--aim must be between -1000 and 1000 ms")


def _host_port(text: str) -> Tuple[str, int]:
    m = re.fullmatch(r"\[([0-9A-Fa-f:.]+)\]:([0-9]+)|([^:\[\]]+):([0-9]+)", text.strip())
    if not m:
        raise UsageError(f"--connect wants HOST:PORT, not {text!r}")
    host = m.group(1) or m.group(3)
    port = int(m.group(2) or m.group(4))
    if not 0 < port < 65536:
        raise UsageError(f"port {port} is out of range")
    return host, port


def _check_cafile(path: str) -> None:
    """Refuse a --cafile that TLS could not use, before anything waits on it."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise UsageError(f"CA file {path} does not exist") from None
    except OSError as exc:
        raise UsageError(f"cannot read CA file {path}: {exc.strerror}") from None
    if not stat.S_ISREG(info.st_mode):
        raise UsageError(f"CA file {path} is not a regular file: give the PEM file of the "
                         "certificate authority (or of the self-signed certificate) to trust")
    try:
        ssl.create_default_context(cafile=path)
    except ssl.SSLError:
        raise UsageError(
            f"CA file {path} holds no certificate in PEM form (text starting with "
            "-----BEGIN CERTIFICATE-----); give the PEM file of the certificate authority to trust "
            f"(a DER file converts with: openssl x509 -inform der -in {path} -out ca.pem)") from None
    except OSError as exc:
        raise UsageError(f"cannot read CA file {path}: {exc.strerror}") from None


def _endpoint(args: argparse.Namespace) -> Tuple[str, Optional[str], Optional[int]]:
    """Where the orders go: ("module" | "loopback" | "connect", host, port)."""
    endpoint, host, port = args.exchange, None, None
    if args.connect is not None:  # an empty one is refused, not ignored
        if args.exchange == "loopback":
            raise UsageError("--connect and --exchange loopback exclude each other")
        host, port = _host_port(args.connect)
        if args.server_name is not None and not args.server_name.strip():
            raise UsageError("--server-name is empty: give the name the certificate was issued for")
        endpoint = "connect"
    elif args.cafile is not None or args.server_name is not None:
        raise UsageError("--cafile and --server-name go with --connect")
    if args.cafile is not None:
        _check_cafile(args.cafile)
    if endpoint == "loopback":
        try:
            check_on_step(args.quantity.strip(), args.loopback_step)
        except NumberError as exc:
            raise UsageError(str(exc)) from None
    return endpoint, host, port


def build_plan(args: argparse.Namespace, env: Mapping[str, str], now_ms: Optional[int] = None) -> Plan:
    """Check every input; raise UsageError with a message for the user."""
    now_ms = current_ms() if now_ms is None else now_ms
    symbol = _symbol(args.symbol)
    quantity = _quantity(args.quantity, args.allow_inexact_quantity)
    open_ms = _opening(args.open_at, now_ms)
    max_orders = DEFAULT_MAX_ORDERS if args.max_orders is None else args.max_orders
    _stop_rule(args, max_orders)
    _timing(args)

    unexpanded = unexpanded_homes((("--key-file", args.key_file), ("--cafile", args.cafile),
                                   ("--log", args.log), ("--result", args.result)))
    if unexpanded:
        raise UsageError(unexpanded)
    endpoint, host, port = _endpoint(args)

    from quorvane_host.orders.refusals import parse_override
    try:
        overrides = tuple(parse_override(text) for text in args.refusal)
    except ValueError as exc:
        raise UsageError(str(exc)) from None

    try:
        if endpoint == "loopback" and args.key_file is None and keys_from_env(env) is None:
            keys = rehearsal_keys()
        else:
            keys = load_keys(args.key_file, env)
    except CredentialsError as exc:
        raise UsageError(str(exc)) from None

    return Plan(
        symbol=symbol, quantity=quantity, quantity_text=args.quantity.strip(), open_ms=open_ms,
        api_key=keys.api_key, secret=keys.secret, keys_from=keys.source, orders=args.orders, time_limit=args.time_limit,
        max_orders=max_orders, grace=args.grace, endpoint=endpoint, connect_host=host, connect_port=port,
        cafile=args.cafile, server_hostname=args.server_name, loopback_step=args.loopback_step,
        log_path=args.log, log_max_bytes=args.log_max_mb << 20, result_path=args.result,
        allow_inexact_quantity=args.allow_inexact_quantity, display=args.display,
        clock_sync=not args.no_clock_sync, compensate=not args.no_compensation, aim_ms=args.aim,
        pool_size=args.pool, max_new_per_minute=args.max_new_connections,
        refusal_overrides=overrides,
        max_order_rate=args.max_order_rate, order_test=not args.no_order_test,
        order_query=not args.no_order_query, max_price=args.max_price, max_spend=args.max_spend,
        log_append=args.log_append, dry_run=args.dry_run, priority=args.priority,
    )
