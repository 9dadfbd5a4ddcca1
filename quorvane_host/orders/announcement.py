"""When trading opens, as a refusal announces it.

A pure reading of a refusal's content (parsed JSON); the times it gives
are the exchange's (ms since the epoch).  Exchanges say it in one of
these forms, looked for in this order:

* a field of epoch ms, ``openTime`` or ``opensAt``, in the error's
  ``data``, in the error, or beside it (an ISO 8601 time there is read too);
* "opens in N ms" (or seconds) in the message, counted from the refused
  order's arrival;
* an ISO 8601 time right after the word "open" in the message ("... opens at
  2026-12-07T20:00:03.040Z"), with ``Z`` or an offset.  A time without a
  zone says nothing certain, and a time not about the opening (the
  server's, the request's) is not taken for it.
"""

from __future__ import annotations

import datetime
import re
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, Iterator, Optional

__all__ = ["announced_open"]

FIELDS = ("openTime", "opensAt")
_OPENS_IN = re.compile(r"opens in (-?[0-9]+(?:\.[0-9]+)?) ?(ms|milliseconds?|s|secs?|seconds?)\b", re.IGNORECASE)
_ISO = r"(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2}):(\d{2})(?:[.,](\d+))?\s?(Z|[+-]\d{2}(?::?\d{2})?)(?![\w:])"
_ISO_TIME = re.compile(_ISO)
# "opens at", "opening time:", "will open on": the word, then at most two small ones, then the time
_OPENS_AT = re.compile(r"\bopen\w*\W+(?:(?:at|on|from|time|is)\W+){0,2}" + _ISO, re.IGNORECASE)


def announced_open(data: Any, arrival_ms: float) -> Optional[float]:
    """When trading opens, by the exchange's clock, as a refusal says it; None when it does not.

    ``arrival_ms``: the exchange's time at which the refused order arrived
    (an "opens in N ms" counts from there).
    """
    for where in _places(data):
        for name in FIELDS:
            at = _field_time(where.get(name))
            if at is not None:
                return at
    msg = _message(data)
    if msg is None:
        return None
    m = _OPENS_IN.search(msg)
    if m:
        in_ms = m.group(2).lower() in ("ms", "millisecond", "milliseconds")
        return arrival_ms + float(m.group(1)) * (1 if in_ms else 1000)
    return _iso_after_open(msg)


def _places(data: Any) -> Iterator[Dict[str, Any]]:
    """The error's data, the error, the reply itself: where a field may stand."""
    if not isinstance(data, dict):
        return
    error = data.get("error")
    if isinstance(error, dict):
        if isinstance(error.get("data"), dict):
            yield error["data"]
        yield error
    yield data


def _message(data: Any) -> Optional[str]:
    """The error's message, or one beside it."""
    if not isinstance(data, dict):
        return None
    error = data.get("error")
    for where in (error if isinstance(error, dict) else {}, data):
        msg = where.get("msg")
        if isinstance(msg, str):
            return msg
    return None


def _field_time(value: Any) -> Optional[float]:
    """Epoch ms, as a number or its text, or an ISO 8601 time with its zone."""
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        return None
    if isinstance(value, str):
        m = _ISO_TIME.fullmatch(value.strip())
        if m:
            return _iso_ms(m)
    try:
        number = Decimal(str(value))
    except InvalidOperation:
        return None
    return float(number) if number.is_finite() else None


def _iso_after_open(msg: str) -> Optional[float]:
    """The ISO 8601 time that follows the word "open" in ``msg``."""
    m = _OPENS_AT.search(msg)
    return _iso_ms(m) if m else None


def _iso_ms(m: "re.Match[str]") -> Optional[float]:
    year, month, day, hour, minute, second = (int(g) for g in m.groups()[:6])
    fraction, zone = m.group(7) or "", m.group(8)
    if zone == "Z":
        offset = datetime.timedelta(0)
    else:
        digits = zone[1:].replace(":", "")
        offset = datetime.timedelta(hours=int(digits[:2]), minutes=int(digits[2:] or 0))
        offset = -offset if zone[0] == "-" else offset
    try:
        at = datetime.datetime(year, month, day, hour, minute, second,
                               tzinfo=datetime.timezone(offset))
    except ValueError:  # a 30th of February, an hour 25, an offset past a day
        return None
    whole = int(at.timestamp()) * 1000
    return whole + (float(Decimal("0." + fraction) * 1000) if fraction else 0.0)
