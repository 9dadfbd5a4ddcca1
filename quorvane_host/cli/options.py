"""What the user asked for: the command line, checked, as a :class:`Plan`.

Every check that needs nothing but the input runs here, before the host
imports the module or opens a connection, so that a mistake costs the user
no waiting: a :class:`UsageError` carries the message that says what to
change, and the host exits with status 2.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import ssl
import stat
import textwrap
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation
from typing import Any, Callable, List, Mapping, NoReturn, Optional, Tuple

from quorvane_host.cli.about import version_lines
from quorvane_host.cli.keys import (ENV_API_KEY, ENV_SECRET_KEY, CredentialsError, keys_from_env, load_keys,
                                    rehearsal_keys)
from quorvane_host.cli.paths import unexpanded_homes
from quorvane_host.cli.progname import error_line, program_name, say_on_stderr
from quorvane_host.cli.times import TimeError, current_ms, format_ms, parse_opening_time

__all__ = ["Plan", "UsageError", "build_parser", "build_plan", "parse_args", "quantity_text"]

MAX_AHEAD_MS = 24 * 3600 * 1000
AIM_SAFETY_MS = 0.5  # default arrival target: the measured jitter plus this


class UsageError(Exception):
    """Bad input: the message says what to change."""


@dataclass
class Plan:
    symbol: str
    quantity: float
    quantity_text: str
    open_ms: int
    api_key: str = field(repr=False)
    secret: str = field(repr=False)
    orders: int = 1
    time_limit: float = 10.0
    max_orders: int = 100
    grace: float = 5.0
    endpoint: str = "module"  # "module", "loopback" or "connect"
    connect_host: Optional[str] = None
    connect_port: Optional[int] = None
    cafile: Optional[str] = None
    server_hostname: Optional[str] = None
    loopback_step: str = "0.001"
    log_path: Optional[str] = None
    log_max_bytes: int = 256 << 20
    result_path: Optional[str] = None
    allow_inexact_quantity: bool = False
    display: str = "auto"
    clock_sync: bool = True
    compensate: bool = True
    aim_ms: Optional[float] = None
    pool_size: int = 3
    max_new_per_minute: int = 60
    refusal_overrides: Tuple[Tuple[int, str], ...] = ()
    max_order_rate: float = 5.0  # orders a second after a refusal, until the exchange states its limits
    order_test: bool = True  # send the order as a test order at start-up (key, signature, parameters)
    order_query: bool = True  # ask the exchange (order.status, allOrders) when an order's outcome is unknown
    max_price: Optional[Decimal] = None  # no further order once a fill's average price is above it
    max_spend: Optional[Decimal] = None  # no further order once this much quote is spent (or would be)
    log_append: bool = False  # --log may name one of the host's own earlier logs, to go on with
    dry_run: bool = False  # everything up to the countdown, then a summary: no order is sent
    keys_from: str = ""  # where the keys came from, in words (never a key)


def quantity_text(value: float) -> str:
    """The quantity text the module sends: ``repr`` of the number as a float."""
    return repr(float(value))


PLAIN_DECIMAL = re.compile(r"[0-9]+(\.[0-9]+)?\Z")
# What a person types for a quantity: ASCII digits and a point.  Decimal()
# alone would also take other scripts' digits, underscores between digits
# and an exponent (1e3), which a person reading the command back may take
# for another number than the one that goes out.
_QUANTITY_FORM = re.compile(r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)\Z")
_SYMBOL = re.compile(r"[A-Za-z0-9]{2,30}\Z")


def _quantity(text: str, allow_inexact: bool) -> float:
    typed = text.strip()
    if not typed.isascii():
        raise UsageError(f"quantity {text!r} has characters other than plain ASCII digits and a "
                         "point; type it again, e.g. 0.5 or 12")
    try:
        value = Decimal(typed)
    except InvalidOperation:
        raise UsageError(f"quantity {text!r} is not a number") from None
    if not value.is_finite() or value <= 0:
        raise UsageError(f"quantity must be a positive number, not {text!r}")
    if not _QUANTITY_FORM.match(typed):
        raise UsageError(f"quantity {text!r} is not written as a plain number: digits with at most "
                         "one point, e.g. 1000 or 0.5 (exponent forms such as 1e3 are refused)")
    if value >= Decimal("1e300"):
        raise UsageError(f"quantity {text} is too large")
    sent = quantity_text(float(value))
    if not allow_inexact and (not PLAIN_DECIMAL.match(sent) or Decimal(sent) != value):
        raise UsageError(
            f"quantity {text} would go to the exchange as {sent} (the module sends the text of "
            "the number as a float), and an exchange refuses a quantity in exponent form or "
            "off its lot step. Give the quantity as a plain decimal that a float holds as typed "
            "(at least 0.0001, at most 15 significant digits), or pass --allow-inexact-quantity "
            "to send it anyway"
        )
    return float(value)


def _on_step(quantity_typed: str, step_text: str) -> None:
    """A quantity the loopback exchange would refuse (off its step) is refused now, in words."""
    try:
        step = Decimal(step_text)
        if not step.is_finite() or step <= 0:
            raise InvalidOperation
    except InvalidOperation:
        raise UsageError(f"--loopback-step must be a positive decimal, not {step_text!r}") from None
    try:
        off_step = Decimal(quantity_typed) % step != 0
    except InvalidOperation:  # a quotient beyond Decimal's precision: the exchange judges it
        return
    if off_step:
        raise UsageError(f"quantity {quantity_typed} is not a multiple of the loopback exchange's "
                         f"step {step_text}, which it would refuse; give a multiple of it, or "
                         "another --loopback-step")


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


class _HelpFormatter(argparse.HelpFormatter):
    """Fills each paragraph of the description and epilog on its own; indented lines stay as written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        paragraphs = []
        for paragraph in text.split("\n\n"):
            lines = paragraph.splitlines()
            if any(line.startswith(" ") for line in lines):  # a heading and its indented lines
                paragraphs.append("\n".join(indent + line for line in lines))
            else:
                paragraphs.append(textwrap.fill(" ".join(paragraph.split()), width,
                                                initial_indent=indent, subsequent_indent=indent))
        return "\n\n".join(paragraphs)


def _ascii_number(text: str, convert: Callable[[str], Any], what: str) -> Any:
    """``convert(text)`` for plain ASCII digits only: int() and float() alone would also take
    other scripts' digits and underscores, which the rest of the input refuses."""
    if not text.strip().isascii() or "_" in text:
        raise argparse.ArgumentTypeError(f"{text!r} has characters other than plain ASCII digits")
    try:
        value = convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not {what}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def _whole(text: str) -> int:
    return int(_ascii_number(text, int, "a whole number"))


def _decimal(text: str) -> float:
    return float(_ascii_number(text, float, "a number"))


def _limit(text: str) -> Decimal:
    """A price or an amount of the quote asset: a positive plain decimal, kept exact."""
    _ascii_number(text, float, "a number")
    value = Decimal(text.strip())
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number")
    return value


def _epilog(prog: str) -> str:
    return f"""\
The API key and secret come from the environment ({ENV_API_KEY}, {ENV_SECRET_KEY}) or from \
--key-file, a file readable only by you with the lines 'api_key = ...' and 'secret_key = ...'; \
never from the command line. A rehearsal (--exchange loopback) needs none: without keys it uses the \
loopback exchange's own account.

exit status:
  0    the wanted number of orders bought something (accepted with nothing
       filled does not count), also when stopped after that
  1    stopped without them; every order sent is known to have bought nothing
  2    bad input, or an endpoint that cannot take orders (nothing was sent)
  3    an order's outcome is still unknown, whatever stopped the run (Ctrl-C
       included): check the account before running again
  130  stopped by Ctrl-C before that (129 by SIGHUP, 143 by SIGTERM)

examples:
  a rehearsal against a loopback exchange started here, nothing real:
    {prog} QRVUSD 0.5 --open-at +2m --exchange loopback
  every check up to the countdown, then exit without ordering (the opening
  must lie within 24 hours; here the next whole hour after one from now):
    {prog} QRVUSD 0.5 --open-at "$(date -d '+2 hours' '+%F %H:00:00 %z')" --dry-run
  the real run, the keys from a file, the time as date +%z writes the zone:
    {prog} QRVUSD 0.5 --open-at "$(date -d '+2 hours' '+%F %H:00:00 %z')" \\
      --key-file ~/.quorvane-keys"""


class _Parser(argparse.ArgumentParser):
    """A usage error in one line and where to read more, not the whole usage block."""

    def error(self, message: str) -> NoReturn:
        say_on_stderr(error_line("quorvane_host", f"{message} (see {self.prog} --help)"))
        self.exit(2)


class _Version(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> None:
        print("\n".join(version_lines(parser.prog)))
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    prog = program_name("quorvane_host")
    p = _Parser(
        prog=prog, formatter_class=_HelpFormatter,
        description="Buy SYMBOL with quorvane_3 the moment its trading opens, then stop by a stop rule.",
        epilog=_epilog(prog),
    )
    p.add_argument("symbol", help="symbol to buy, e.g. QRVUSD (sent in upper case)")
    p.add_argument("quantity", help="how much of the token to buy per order, in the token itself (the base "
                                    "asset: 0.5 of QRV for QRVUSD, not an amount of USD); a positive "
                                    "decimal in ASCII digits, e.g. 0.5, no exponent (sent as the module "
                                    "writes the number)")
    p.add_argument("--version", action=_Version, nargs=0,
                   help="show the version, the exchange's host built into the module and the Python, "
                        "and exit")
    required = p.add_argument_group("required arguments")
    required.add_argument(
        "--open-at", required=True, metavar="TIME",
        help="opening time: milliseconds since the epoch; ISO 8601 with its zone "
             "(2030-01-31T12:00:00Z, 2030-01-31T13:00:00+01:00, or +0100 as date +%%z prints it); "
             "or from now (+20s, +5m, +1h)")
    keys = p.add_argument_group("keys")
    keys.add_argument("--key-file", metavar="FILE",
                      help=f"read the API key and secret from FILE (default: {ENV_API_KEY} and "
                           f"{ENV_SECRET_KEY} in the environment)")
    stop = p.add_argument_group("stop rule")
    stop.add_argument("--orders", type=_whole, default=1, metavar="N",
                      help="stop after N orders that bought something (default 1)")
    stop.add_argument("--time-limit", type=_decimal, default=10.0, metavar="SECONDS",
                      help="stop this long after the opening time (default 10)")
    stop.add_argument("--max-orders", type=_whole, default=100, metavar="N",
                      help="stop after N orders in all, accepted or not (default 100)")
    stop.add_argument("--max-price", type=_limit, metavar="P",
                      help="no further order once a fill's average price is above P (in the quote "
                           "asset; the first order goes whatever the price)")
    stop.add_argument("--max-spend", type=_limit, metavar="Q",
                      help="no further order once Q of the quote asset is spent, or when the next "
                           "order at the last price would pass it")
    stop.add_argument("--grace", type=_decimal, default=5.0, metavar="SECONDS",
                      help="at the time limit, how long an order in flight may still take before "
                           "it is cancelled (default 5)")
    stop.add_argument("--refusal", action="append", default=[], metavar="CODE=CLASS",
                      help="how to take the exchange's refusal CODE (number or name): 'stop' at once, "
                           "'retry' (the stop rule still holds) or 'early' (retried at the order pace "
                           "until the time limit, aimed at the opening when the exchange says when it "
                           "is); repeatable. By default only 'trading not open' and 'unknown symbol' "
                           "are early, and rate limits are waited out; every other refusal stops the host")
    # Gone: early refusals are retried, paced, until --time-limit. Refused
    # with a word rather than ignored, so that nobody relies on it unawares.
    stop.add_argument("--open-grace", default=None, help=argparse.SUPPRESS)
    ep = p.add_argument_group("endpoint")
    ep.add_argument("--exchange", choices=("module", "loopback"), default="module",
                    help="'module': the endpoint built into quorvane_3 (default); 'loopback': "
                         "a rehearsal against a loopback exchange started here")
    ep.add_argument("--connect", metavar="HOST:PORT",
                    help="send the module's connections to HOST:PORT instead (same path, TLS "
                         "verified), e.g. a loopback exchange started with quorvane-exchange")
    ep.add_argument("--cafile", metavar="PEM", help="trust this CA file for --connect")
    ep.add_argument("--server-name", metavar="NAME",
                    help="check the certificate of --connect against NAME instead of HOST")
    ep.add_argument("--loopback-step", default="0.001", metavar="STEP",
                    help="lot step of the symbol on the loopback exchange (default 0.001); the "
                         "quantity must be a multiple of it")
    ep.add_argument("--no-order-test", action="store_true",
                    help="skip the test order at start-up (for an exchange without the order.test "
                         "request); key and signature are then checked only by the first real order")
    ep.add_argument("--no-order-query", action="store_true",
                    help="never ask the exchange (order.status, allOrders) what became of an order "
                         "whose reply was lost or not final, for an exchange without those requests; "
                         "such an order then stops the ordering and the run ends with exit 3")
    out = p.add_argument_group("output")
    out.add_argument("--log", metavar="FILE",
                     help="where the module's own lines go (default: a new file in the temporary folder)")
    out.add_argument("--log-append", action="store_true",
                     help="let --log name an earlier log of this host's and go on with it (any "
                          "other existing file is refused)")
    out.add_argument("--log-max-mb", type=_whole, default=256, metavar="MB",
                     help="start the log afresh at this size, keeping one older part (default 256)")
    out.add_argument("--result", metavar="FILE", help="write the outcome as JSON to FILE")
    out.add_argument("--display", choices=("auto", "tty", "plain"), default="auto",
                     help="countdown redrawn in place (tty) or a line now and then (plain); "
                          "default: tty on a terminal")
    tm = p.add_argument_group("timing")
    tm.add_argument("--no-clock-sync", action="store_true",
                    help="fire by this machine's clock instead of measuring the exchange's (for an "
                         "exchange without the server-time request; keep this machine synchronised "
                         "with NTP)")
    tm.add_argument("--aim", type=_decimal, metavar="MS",
                    help="when the first order should reach the exchange, in ms after the opening "
                         "(default: how much earlier than predicted a request reached the exchange "
                         f"while the clock was measured, plus {AIM_SAFETY_MS:g} ms)")
    tm.add_argument("--no-compensation", action="store_true",
                    help="give the module the opening time unchanged: it then fires up to 100 ms "
                         "before the opening, as it does on its own")
    tm.add_argument("--pool", type=_whole, default=3, metavar="N",
                    help="connections kept open and ready for the orders (default 3; 0: a new "
                         "connection for every order)")
    tm.add_argument("--max-new-connections", type=_whole, default=60, metavar="N",
                    help="open at most N new connections per minute (default 60)")
    tm.add_argument("--max-order-rate", type=_decimal, default=5.0, metavar="N",
                    help="orders a second at most when retrying after a refusal, until the exchange "
                         "states its own limits (default 5)")
    checks = p.add_argument_group("checks")
    checks.add_argument("--dry-run", action="store_true",
                        help="check everything up to the countdown (input, endpoint, clock, the test "
                             "order), say what would happen, and exit without ordering")
    checks.add_argument("--allow-inexact-quantity", action="store_true",
                        help="send the quantity even when its text would differ from what you typed")
    return p


def parse_args(argv: Optional[List[str]] = None) -> argparse.Namespace:
    return build_parser().parse_args(argv)


def build_plan(args: argparse.Namespace, env: Mapping[str, str], now_ms: Optional[int] = None) -> Plan:
    """Check every input; raise UsageError with a message for the user."""
    now_ms = current_ms() if now_ms is None else now_ms
    symbol = args.symbol.strip()
    if not _SYMBOL.match(symbol):
        raise UsageError(f"symbol {args.symbol!r} should be 2 to 30 letters and digits, e.g. QRVUSD")
    quantity = _quantity(args.quantity, args.allow_inexact_quantity)

    try:
        open_ms = parse_opening_time(args.open_at, now_ms=now_ms, allow_relative=True)
    except TimeError as exc:
        raise UsageError(str(exc)) from None
    if open_ms <= now_ms:
        hint = ""
        if open_ms < 100_000_000_000:
            hint = " (it looks like seconds since the epoch; give milliseconds)"
        raise UsageError(
            f"the opening time {format_ms(open_ms) if open_ms > 0 else open_ms} is in the past{hint}")
    if open_ms - now_ms > MAX_AHEAD_MS:
        hint = " (milliseconds since the epoch have 13 digits)" if open_ms >= 10 ** 13 else ""
        raise UsageError(
            f"the opening time {format_ms(open_ms)} is more than a day ahead{hint}; start the "
            "host within 24 hours of the opening")

    if args.orders < 1:
        raise UsageError("--orders must be at least 1")
    if not args.time_limit > 0:
        raise UsageError("--time-limit must be a positive number of seconds")
    if not args.grace >= 0:
        raise UsageError("--grace must not be negative")
    if args.max_orders < args.orders:
        raise UsageError("--max-orders must be at least --orders")
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

    unexpanded = unexpanded_homes((("--key-file", args.key_file), ("--cafile", args.cafile),
                                   ("--log", args.log), ("--result", args.result)))
    if unexpanded:
        raise UsageError(unexpanded)

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
        _on_step(args.quantity.strip(), args.loopback_step)

    from quorvane_host.orders.refusals import parse_override
    try:
        overrides = tuple(parse_override(text) for text in args.refusal)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if not 0.1 <= args.max_order_rate <= 1000:
        raise UsageError("--max-order-rate must be between 0.1 and 1000 orders a second")
    if args.open_grace is not None:
        raise UsageError("--open-grace is gone: 'trading not open' and 'unknown symbol' refusals are "
                         "now retried, paced, until --time-limit after the opening; drop the option "
                         "(use --time-limit to end the wait for a late listing sooner)")

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
        max_orders=args.max_orders, grace=args.grace, endpoint=endpoint, connect_host=host, connect_port=port,
        cafile=args.cafile, server_hostname=args.server_name, loopback_step=args.loopback_step,
        log_path=args.log, log_max_bytes=args.log_max_mb << 20, result_path=args.result,
        allow_inexact_quantity=args.allow_inexact_quantity, display=args.display,
        clock_sync=not args.no_clock_sync, compensate=not args.no_compensation, aim_ms=args.aim,
        pool_size=args.pool, max_new_per_minute=args.max_new_connections,
        refusal_overrides=overrides,
        max_order_rate=args.max_order_rate, order_test=not args.no_order_test,
        order_query=not args.no_order_query, max_price=args.max_price, max_spend=args.max_spend,
        log_append=args.log_append, dry_run=args.dry_run,
    )
