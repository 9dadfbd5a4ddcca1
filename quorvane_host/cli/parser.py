"""The command line of ``quorvane-host``: its options, and the help that explains them.

``--help`` reads from the top as a person needs it: what the command does,
a short usage, the options a run needs, then the expert options under
headings of their own, the exit statuses and examples.  Each option's
value is read by the number rule of :mod:`quorvane_host.cli.numbers`; the
checks that look at several options together are in
:mod:`quorvane_host.cli.options`.
"""

from __future__ import annotations

import argparse
import sys
import textwrap
from typing import Any, List, NoReturn, Optional, Sequence

from quorvane_host.cli.about import version_lines
from quorvane_host.cli.keys import ENV_API_KEY, ENV_SECRET_KEY
from quorvane_host.cli.numbers import limit, seconds_or_rate, whole
from quorvane_host.cli.plan import AIM_SAFETY_MS, DEFAULT_MAX_ORDERS
from quorvane_host.cli.progname import error_line, program_name, say_on_stderr

__all__ = ["DESCRIPTION", "build_parser", "parse_args", "result_path_in"]

DESCRIPTION = "Buy SYMBOL with quorvane_3 the moment its trading opens, then stop by a stop rule."
USAGE = "%(prog)s SYMBOL QUANTITY --open-at TIME [options]"


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


def result_path_in(argv: Sequence[str]) -> Optional[str]:
    """The file ``--result`` names in ``argv``, read without the rest of the command line.

    For a command line that cannot be read as a whole: the document saying
    so still goes where the script that started the host looks for it.
    Takes ``--result FILE``, ``--result=FILE`` and the abbreviations
    argparse takes; nothing after ``--``.
    """
    words = list(argv)
    for i, word in enumerate(words):
        if word == "--":
            return None
        name, equals, value = word.partition("=")
        if len(name) > len("--re") and "--result".startswith(name):
            if equals:
                return value
            return words[i + 1] if i + 1 < len(words) else None
    return None


class _Parser(argparse.ArgumentParser):
    """Description before usage; a usage error in one line and where to read more."""

    failed_argv: Optional[List[str]] = None
    on_error: Any = None  # called with (message, argv) before the exit, for --result

    def parse_known_args(self, args: Optional[Sequence[str]] = None, namespace: Any = None) -> Any:
        self.failed_argv = list(sys.argv[1:] if args is None else args)
        return super().parse_known_args(args, namespace)

    def format_help(self) -> str:
        formatter = self._get_formatter()
        formatter.add_text(self.description)
        formatter.add_usage(self.usage, self._actions, self._mutually_exclusive_groups)
        for group in self._action_groups:
            formatter.start_section(group.title)
            formatter.add_text(group.description)
            formatter.add_arguments(group._group_actions)
            formatter.end_section()
        formatter.add_text(self.epilog)
        return formatter.format_help()

    def error(self, message: str) -> NoReturn:
        said = f"{message} (see {self.prog} --help)"
        if self.on_error is not None:
            self.on_error(said, self.failed_argv or [])
        say_on_stderr(error_line("quorvane_host", said))
        self.exit(2)


class _Version(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> None:
        print("\n".join(version_lines(parser.prog)))
        parser.exit()


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


def _everyday_options(p: argparse.ArgumentParser) -> None:
    """What a run needs: what to buy and when, the keys, the stop rule, where, and the output."""
    required = p.add_argument_group("required arguments")
    required.add_argument("symbol", metavar="SYMBOL", help="symbol to buy, e.g. QRVUSD (sent in upper case)")
    required.add_argument(
        "quantity", metavar="QUANTITY",
        help="how much of the token to buy per order, in the token itself (the base asset: 0.5 of QRV for "
             "QRVUSD, not an amount of USD); a positive decimal in ASCII digits, e.g. 0.5, no exponent "
             "(sent as the module writes the number)")
    required.add_argument(
        "--open-at", required=True, metavar="TIME",
        help="opening time: milliseconds since the epoch; ISO 8601 with its zone "
             "(2030-01-31T12:00:00Z, 2030-01-31T13:00:00+01:00, or +0100 as date +%%z prints it); "
             "or from now in one unit (+20s, +5m, +1h, +250ms)")
    keys = p.add_argument_group("keys")
    keys.add_argument("--key-file", metavar="FILE",
                      help=f"read the API key and secret from FILE (default: {ENV_API_KEY} and "
                           f"{ENV_SECRET_KEY} in the environment)")
    stop = p.add_argument_group("stop rule")
    stop.add_argument("--orders", type=whole, default=1, metavar="N",
                      help="stop after N orders that bought something (default 1)")
    stop.add_argument("--time-limit", type=seconds_or_rate, default=10.0, metavar="SECONDS",
                      help="stop this long after the opening time (default 10)")
    stop.add_argument("--max-orders", type=whole, default=None, metavar="N",
                      help=f"stop after N orders in all, accepted or not (default {DEFAULT_MAX_ORDERS}; at "
                           "least --orders)")
    stop.add_argument("--max-price", type=limit, metavar="P",
                      help="no further order once a fill's average price is above P (in the quote "
                           "asset; the first order goes whatever the price)")
    stop.add_argument("--max-spend", type=limit, metavar="Q",
                      help="no further order once Q of the quote asset is spent, or when the next "
                           "order at the last price would pass it")
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
    ep.add_argument("--dry-run", action="store_true",
                    help="check everything up to the countdown (input, endpoint, clock, the test "
                         "order), say what would happen, and exit without ordering")
    out = p.add_argument_group("output")
    out.add_argument("--result", metavar="FILE",
                     help="write the outcome as JSON to FILE, a new file (- for standard output); "
                          "written however the run ends, with the exit status and the reason")
    out.add_argument("--log", metavar="FILE",
                     help="where the module's own lines go (default: a new file in the temporary folder)")
    out.add_argument("--log-append", action="store_true",
                     help="let --log name an earlier log of this host's and go on with it (any "
                          "other existing file is refused)")
    out.add_argument("--display", choices=("auto", "tty", "plain"), default="auto",
                     help="countdown redrawn in place (tty) or a line now and then (plain); "
                          "default: tty on a terminal")
    about = p.add_argument_group("about")
    about.add_argument("-h", "--help", action="help", help="show this help and exit")
    about.add_argument("-V", "--version", action=_Version, nargs=0,
                       help="show the version, the exchange's host built into the module and the Python, "
                            "and exit")


def _expert_options(p: argparse.ArgumentParser) -> None:
    """The rest: the defaults suit a listing; each changes how the host works inside."""
    stop = p.add_argument_group("expert options: stop rule and refusals")
    stop.add_argument("--grace", type=seconds_or_rate, default=5.0, metavar="SECONDS",
                      help="at the time limit, how long an order in flight may still take before "
                           "it is cancelled (default 5)")
    stop.add_argument("--refusal", action="append", default=[], metavar="CODE=CLASS",
                      help="how to take the exchange's refusal CODE (number or name): 'stop' at once, "
                           "'retry' (the stop rule still holds) or 'early' (retried at the order pace "
                           "until the time limit, aimed at the opening when the exchange says when it "
                           "is); repeatable. By default only 'trading not open' and 'unknown symbol' "
                           "are early, and rate limits are waited out; every other refusal stops the host")
    stop.add_argument("--max-order-rate", type=seconds_or_rate, default=5.0, metavar="N",
                      help="orders a second at most when retrying after a refusal, until the exchange "
                           "states its own limits (default 5)")
    # Gone: early refusals are retried, paced, until --time-limit. Refused
    # with a word rather than ignored, so that nobody relies on it unawares.
    stop.add_argument("--open-grace", default=None, help=argparse.SUPPRESS)
    tm = p.add_argument_group("expert options: timing and connections")
    tm.add_argument("--aim", type=seconds_or_rate, metavar="MS",
                    help="when the first order should reach the exchange, in ms after the opening "
                         "(default: how much earlier than predicted a request reached the exchange "
                         f"while the clock was measured, plus {AIM_SAFETY_MS:g} ms)")
    tm.add_argument("--no-compensation", action="store_true",
                    help="give the module the opening time unchanged: it then fires up to 100 ms "
                         "before the opening, as it does on its own")
    tm.add_argument("--no-clock-sync", action="store_true",
                    help="fire by this machine's clock instead of measuring the exchange's (for an "
                         "exchange without the server-time request; keep this machine synchronised "
                         "with NTP)")
    tm.add_argument("--pool", type=whole, default=3, metavar="N",
                    help="connections kept open and ready for the orders (default 3; 0: a new "
                         "connection for every order)")
    tm.add_argument("--max-new-connections", type=whole, default=60, metavar="N",
                    help="open at most N new connections per minute (default 60)")
    tm.add_argument("--priority", choices=("auto", "normal"), default="auto",
                    help="auto: ask the kernel for a real-time scheduling class from just before the "
                         "first order until its bytes have left (or a raised nice value where only "
                         "that is allowed); normal: leave the host's scheduling alone")
    ex = p.add_argument_group("expert options: an exchange without some requests")
    ex.add_argument("--no-order-test", action="store_true",
                    help="skip the test order at start-up (for an exchange without the order.test "
                         "request); key and signature are then checked only by the first real order")
    ex.add_argument("--no-order-query", action="store_true",
                    help="never ask the exchange (order.status, allOrders) what became of an order "
                         "whose reply was lost or not final, for an exchange without those requests; "
                         "such an order then stops the ordering and the run ends with exit 3")
    io = p.add_argument_group("expert options: input, log and rehearsal")
    io.add_argument("--allow-inexact-quantity", action="store_true",
                    help="send the quantity even when its text would differ from what you typed")
    io.add_argument("--log-max-mb", type=whole, default=256, metavar="MB",
                    help="start the log afresh at this size, keeping one older part (default 256)")
    io.add_argument("--loopback-step", default="0.001", metavar="STEP",
                    help="lot step of the symbol on the loopback exchange (default 0.001); the "
                         "quantity must be a multiple of it")


def build_parser() -> argparse.ArgumentParser:
    prog = program_name("quorvane_host")
    p = _Parser(prog=prog, usage=USAGE, description=DESCRIPTION, epilog=_epilog(prog),
                formatter_class=_HelpFormatter, add_help=False)
    _everyday_options(p)
    _expert_options(p)
    return p


def parse_args(argv: Optional[List[str]] = None, on_error: Any = None) -> argparse.Namespace:
    """The command line read; a bare command prints the usage, as other tools do, and exits 2.

    ``on_error(message, argv)`` is called before the exit on a command line that cannot be read.
    """
    parser = build_parser()
    words = sys.argv[1:] if argv is None else argv
    if not words:
        say_on_stderr(parser.format_usage().rstrip("\n"))
        say_on_stderr(error_line("quorvane_host", f"give the symbol, the quantity and --open-at; "
                                                  f"{parser.prog} --help lists every option"))
        parser.exit(2)
    parser.on_error = on_error  # type: ignore[attr-defined]
    return parser.parse_args(words)
