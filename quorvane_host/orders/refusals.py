"""Which refusals the host lets the module repeat, and which stop it at once.

The module places a further order on every pass once the opening has come,
so a refusal that a retry cannot fix (a wrong secret, a quantity off the lot
step) would turn into a burst of identical orders: on a real exchange that
spends the rate limit and can get the key or the address banned.  Every
refusal is therefore looked up here, by the exchange's error code, before
another order may leave:

==========================  ======  =================================================
code                        class   what to do
==========================  ======  =================================================
NOT_OPEN (3005)             early   nothing: expected until trading opens
UNKNOWN_SYMBOL (3001)       early   check the symbol (it may not be listed yet)
BAD_SIGNATURE (2002)        stop    check the secret key
UNKNOWN_API_KEY (2001)      stop    check the API key
TIMESTAMP_OUTSIDE_WINDOW    stop    synchronise this machine's clock with NTP
(2003)
BAD_QUANTITY (3003),        stop    give a quantity on the symbol's lot step
QUANTITY_STEP (3004)
UNSUPPORTED_ORDER (3002),   stop    the exchange does not take this request
BAD_PARAMETER (1004),
BAD_REQUEST (1002),
BAD_JSON (1001),
UNKNOWN_METHOD (1003)
TOO_MANY_ORDERS (-1015),    retry   nothing: the orders wait out the window
TOO_MANY_REQUESTS (-1003)
any other code, or none     stop    read the exchange's message (insufficient
                                    balance, ...)
==========================  ======  =================================================

Rate limits and bans go by the reply's status first: a rate-limit refusal
(status 429, codes -1015 and -1003) holds the orders until the window it
names has passed and then retries; status 418 (banned) stops the host at
once, whatever the code.

Classes:

* ``early``: expected before the opening, and after it while a listing is
  late: retried at the order pace (:mod:`quorvane_host.orders.pace`) until
  the time limit.  An "unknown symbol" that persists for
  :data:`UNKNOWN_SYMBOL_ORDERS` orders after the announced opening stops the
  host (a mistyped symbol), unless the exchange said when trading opens.
* ``stop``: the host stops before another order leaves, and says the
  exchange's own message and what to do.
* ``retry``: never stops the host by itself (the stop rule still holds).

``--refusal CODE=CLASS`` (repeatable) changes the class of one code, by
number or by name.  The codes that say an order's execution is unknown
(:data:`~quorvane_host.orders.codes.EXECUTION_UNKNOWN`) are no refusals
(the order is asked about) and take no class.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Iterable, Mapping, Optional

from quorvane_host.orders.codes import EXECUTION_UNKNOWN, Code

__all__ = ["EARLY", "RETRY", "STOP", "UNKNOWN_SYMBOL_ORDERS", "Refusals", "Rule", "parse_override"]

EARLY, RETRY, STOP = "early", "retry", "stop"
CLASSES = (EARLY, RETRY, STOP)
# "Unknown symbol" refusals after the announced opening that make a mistyped symbol.
UNKNOWN_SYMBOL_ORDERS = 5


@dataclass(frozen=True)
class Rule:
    reason: str  # the refusal in a few words, for the grouped report
    action: str  # EARLY, RETRY or STOP
    advice: str  # what a person should do


_CHECK_REQUEST = "the exchange does not take the module's request as it is: check the symbol and the quantity"

# By the exchange's codes (quorvane_host.orders.codes).
TABLE: Mapping[int, Rule] = {
    Code.NOT_OPEN: Rule("trading not open yet", EARLY, "wait for the opening"),
    Code.UNKNOWN_SYMBOL: Rule("unknown symbol", EARLY,
                              "check the symbol: the exchange does not list it (or not yet)"),
    Code.BAD_SIGNATURE: Rule("bad signature", STOP,
                             "check the secret key: it does not belong to this API key"),
    Code.UNKNOWN_API_KEY: Rule("unknown API key", STOP,
                               "check the API key (and that it is enabled for trading)"),
    Code.TIMESTAMP_OUTSIDE_WINDOW: Rule(
        "timestamp outside the receive window", STOP,
        "synchronise this machine's clock (e.g. timedatectl set-ntp true) and start again"),
    Code.BAD_QUANTITY: Rule("bad quantity", STOP, "give the quantity as a plain positive decimal"),
    Code.QUANTITY_STEP: Rule("quantity off the lot step", STOP,
                             "give a quantity that is a multiple of the symbol's lot step"),
    Code.UNSUPPORTED_ORDER: Rule("order type not supported", STOP, _CHECK_REQUEST),
    Code.BAD_PARAMETER: Rule("bad parameter", STOP, _CHECK_REQUEST),
    Code.BAD_REQUEST: Rule("bad request", STOP, _CHECK_REQUEST),
    Code.BAD_JSON: Rule("request not understood", STOP, _CHECK_REQUEST),
    Code.UNKNOWN_METHOD: Rule("request not understood", STOP, _CHECK_REQUEST),
    Code.TOO_MANY_ORDERS: Rule("order rate limit", RETRY, "nothing: the host waits out the exchange's window"),
    Code.TOO_MANY_REQUESTS: Rule("request rate limit", RETRY,
                                 "nothing: the host waits out the exchange's window"),
}

BANNED = Rule("banned for going past the exchange's limits", STOP,
              "wait until the ban ends (the exchange's message says when) before running again; "
              "lower --max-order-rate, and do not run two hosts on one key")

_UNKNOWN = Rule("refused", STOP, "read the exchange's message above before starting again")


def parse_override(text: str) -> tuple:
    """``CODE=CLASS`` (CODE a number or a name of the table) as ``(code, class)``; ValueError if not."""
    code_text, sep, action = text.partition("=")
    code_text, action = code_text.strip(), action.strip().lower()
    if not sep or action not in CLASSES:
        raise ValueError(f"--refusal wants CODE=retry, CODE=stop or CODE=early, not {text!r}")
    try:
        code = int(code_text)
    except ValueError:
        try:
            code = int(Code[code_text.upper()])
        except KeyError:
            names = ", ".join(c.name for c in Code)
            raise ValueError(f"--refusal: unknown code {code_text!r} (a number, or one of {names})") from None
    if code in EXECUTION_UNKNOWN:
        raise ValueError(f"--refusal: code {code} is no refusal: it says the order may have been executed, so "
                         "the host keeps the order unknown and asks the exchange what became of it")
    return code, action


class Refusals:
    """The table with the user's overrides, and the decision for one refusal."""

    def __init__(self, open_ms: int, overrides: Iterable[tuple] = ()) -> None:
        self.open_ms = open_ms
        self.overrides: Dict[int, str] = dict(overrides)

    def rule(self, code: Optional[int]) -> Rule:
        base = TABLE.get(code, _UNKNOWN) if code is not None else _UNKNOWN
        action = self.overrides.get(code) if code is not None else None
        return base if action is None else Rule(base.reason, action, base.advice)

    def stops(self, code: Optional[int]) -> bool:
        """True when a refusal with ``code`` must stop the host before another order."""
        return self.rule(code).action == STOP

    def reason(self, code: Optional[int]) -> str:
        return self.rule(code).reason
