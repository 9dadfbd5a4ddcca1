"""Opening times: milliseconds since the Unix epoch, from what a user types."""

from __future__ import annotations

import datetime as _dt
import re
import time
from typing import Optional

__all__ = ["TimeError", "parse_opening_time", "format_ms", "format_local", "format_wait", "current_ms"]

_RELATIVE = re.compile(r"\+\s*([0-9]+(?:\.[0-9]+)?)\s*(ms|s|m|h)\Z")
_UNIT_MS = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000}
# The zone as `date +%z` prints it (+0000, -0530), perhaps after a blank
# (`date '+%F %T %z'`); fromisoformat wants the colon and no blank.
_COMPACT_ZONE = re.compile(r"\s?([+-])([0-9]{2})([0-9]{2})\Z")
# Milliseconds since the epoch have 13 digits until the year 2286, 15 until
# the last year a date can hold; more digits are another unit.
MAX_DIGITS = 15


class TimeError(ValueError):
    pass


def current_ms() -> int:
    return int(time.time() * 1000)


def parse_opening_time(text: str, *, now_ms: Optional[int] = None, allow_relative: bool = False) -> int:
    """Return the time in ``text`` as whole milliseconds since the epoch.

    ``text`` is a number of milliseconds since the epoch, or an ISO 8601 date
    and time with its zone (``Z``, ``+hh:mm`` or ``+hhmm``); with ``allow_relative``
    also ``now`` or an offset from now such as ``+5s``, ``+250ms``, ``+2m``.
    """
    text = text.strip()
    if not text:
        raise TimeError("empty opening time")
    if not text.isascii():
        raise TimeError(f"the opening time {text!r} has characters other than plain ASCII digits, "
                        "letters and signs; type it again, e.g. 1800000000000 or 2030-01-31T12:00:00Z")
    if text.isdigit():
        if len(text) > MAX_DIGITS:
            raise TimeError(
                f"the opening time {text} has {len(text)} digits: milliseconds since the epoch "
                f"have 13 (now: {current_ms()}); this looks like micro- or nanoseconds")
        return int(text)
    if allow_relative:
        current = current_ms() if now_ms is None else now_ms
        if text == "now":
            return current
        m = _RELATIVE.match(text)
        if m:
            offset = float(m.group(1)) * _UNIT_MS[m.group(2)]
            if not offset < 10 ** MAX_DIGITS:
                raise TimeError(f"the opening time {text} is too far ahead")
            return current + int(offset)
        if text.startswith("+"):
            raise TimeError(_relative_advice(text))
    iso = text[:-1] + "+00:00" if text[-1:] in "Zz" else _COMPACT_ZONE.sub(r"\1\2:\3", text)
    try:
        moment = _dt.datetime.fromisoformat(iso)
    except ValueError:
        from_now = ", or a time from now such as +20s or +5m" if allow_relative else ""
        raise TimeError(
            f"cannot read the opening time {text!r}: give milliseconds since the epoch "
            f"or an ISO 8601 time with its zone, e.g. 2030-01-31T12:00:00Z{from_now}"
        ) from None
    if moment.tzinfo is None or moment.utcoffset() is None:
        raise TimeError(f"the opening time {text!r} has no zone: add Z or an offset such as +01:00")
    epoch = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
    delta = moment - epoch
    return (delta.days * 86_400 + delta.seconds) * 1000 + delta.microseconds // 1000


def _relative_advice(text: str) -> str:
    """What to type instead of a time from now that is not read: ``+90`` or ``+2h30m``."""
    forms = "a number and one unit: ms, s, m or h (+250ms, +20s, +5m, +1h)"
    bare = re.fullmatch(r"\+\s*([0-9]+(?:\.[0-9]+)?)", text)
    if bare:
        return f"the opening time {text} has no unit: write +{bare.group(1)}s for seconds; a time from now is {forms}"
    parts = re.findall(r"([0-9]+(?:\.[0-9]+)?)\s*(ms|s|m|h)", text)
    if len(parts) > 1 and re.fullmatch(r"\+(\s*[0-9]+(?:\.[0-9]+)?\s*(ms|s|m|h))+", text):
        total_ms = sum(float(n) * _UNIT_MS[unit] for n, unit in parts)
        unit = next(u for u in ("h", "m", "s", "ms") if total_ms % _UNIT_MS[u] == 0)
        return (f"the opening time {text} has more than one unit: write it in one, "
                f"+{int(total_ms // _UNIT_MS[unit])}{unit}; a time from now is {forms}")
    return f"cannot read the opening time {text!r} as a time from now: give {forms}"


def format_ms(ms: int) -> str:
    """ISO 8601 text (UTC, milliseconds) of a time in ms since the epoch."""
    try:
        moment = _dt.datetime.fromtimestamp(ms / 1000, tz=_dt.timezone.utc)
    except (OverflowError, ValueError, OSError):  # beyond the years a date can hold
        return f"{ms} ms since the epoch"
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def format_local(ms: int) -> str:
    """The time in this machine's zone, for a person comparing with their own clock:
    ``2030-01-31 13:00:00.000 CET (UTC+01:00)``."""
    try:
        moment = _dt.datetime.fromtimestamp(ms / 1000, tz=_dt.timezone.utc).astimezone()
    except (OverflowError, ValueError, OSError):
        return format_ms(ms)
    offset = moment.strftime("%z")
    return (f"{moment.strftime('%Y-%m-%d %H:%M:%S')}.{moment.microsecond // 1000:03d} "
            f"{moment.tzname()} (UTC{offset[:3]}:{offset[3:]})")


def format_wait(ms: float) -> str:
    """How long until then, as a person says it: ``8.5 s``, ``42 s``, ``12 min 5 s``, ``1 h 13 min``."""
    if ms < 10_000:
        return f"{max(ms, 0) / 1000:.1f} s"
    seconds = int(ms // 1000)
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        minutes, rest = divmod(seconds, 60)
        return f"{minutes} min" + (f" {rest} s" if rest else "")
    hours, rest = divmod(seconds, 3600)
    return f"{hours} h" + (f" {rest // 60} min" if rest // 60 else "")
