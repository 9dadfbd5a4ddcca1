"""The exchange's error codes, as its refusals carry them (``"error": {"code", "msg"}``).

The host looks every refusal up by these (:mod:`quorvane_host.orders.refusals`);
the loopback exchange answers with the same ones.
"""

import enum

__all__ = ["Code"]


class Code(enum.IntEnum):
    """Error codes in refusals. The HTTP-like status goes beside them."""

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
