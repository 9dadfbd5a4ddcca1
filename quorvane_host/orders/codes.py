"""The exchange's error codes, as its refusals carry them (``"error": {"code", "msg"}``).

The host looks every refusal up by these (:mod:`quorvane_host.orders.refusals`);
the loopback exchange answers with the same ones.
"""

import enum

__all__ = ["BANNED_STATUS", "EXECUTION_UNKNOWN", "Code", "RATE_LIMITED_STATUS"]

RATE_LIMITED_STATUS = 429  # over a request or order limit: wait, then retry
BANNED_STATUS = 418  # banned for going on past the limits: stop


class Code(enum.IntEnum):
    """Error codes in refusals. The HTTP-like status goes beside them."""

    # Rate limits: status 429 (wait and retry; ``retryAfter`` says until when)
    # or, once an address keeps going past them, 418 (banned for a while).
    TOO_MANY_REQUESTS = -1003
    # The exchange does not know what became of the request: the order may
    # have been executed, whatever status goes with these.
    UNKNOWN_ERROR = -1000
    UNEXPECTED_RESPONSE = -1006
    BACKEND_TIMEOUT = -1007
    TOO_MANY_ORDERS = -1015
    BAD_JSON = 1001
    BAD_REQUEST = 1002
    UNKNOWN_METHOD = 1003
    BAD_PARAMETER = 1004
    UNKNOWN_API_KEY = 2001
    BAD_SIGNATURE = 2002
    TIMESTAMP_OUTSIDE_WINDOW = 2003
    UNKNOWN_SYMBOL = 3001
    UNSUPPORTED_ORDER = 3002
    BAD_QUANTITY = 3003
    QUANTITY_STEP = 3004
    NOT_OPEN = 3005
    UNKNOWN_ORDER = 3006  # an order query names no order of the account


# Codes that leave an order's execution unknown: never a refusal, never retried blind.
EXECUTION_UNKNOWN = frozenset({int(Code.UNKNOWN_ERROR), int(Code.UNEXPECTED_RESPONSE), int(Code.BACKEND_TIMEOUT)})
