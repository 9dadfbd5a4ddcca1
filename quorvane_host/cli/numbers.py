"""Every number the user types, read by one rule and echoed as it was typed.

A number on the command line is ASCII digits with at most one point, after
an optional sign: ``12``, ``0.5``, ``5.``, ``.5``.  Anything else is refused
alike for every option and for the quantity: an exponent (``1e3``), ``inf``
and ``nan``, underscores between digits (``1_000``) and other scripts'
digits, which ``int()``, ``float()`` and ``Decimal()`` would each take in
their own way, and which a person reading the command back may take for
another number than the one the host uses.

A number read here keeps the text it was typed as (:class:`TypedFloat`,
:class:`TypedDecimal`): it computes as a number, and wherever it is shown
(a message, the start lines, ``--result``) it reads as the person wrote it,
never as ``1E+3`` or ``1e+06``.  The quantity's own checks (what the module
sends, the loopback exchange's step) are here too.
"""

from __future__ import annotations

import argparse
import re
from decimal import Decimal, InvalidOperation
from typing import Any

__all__ = ["NumberError", "PLAIN_DECIMAL", "TypedDecimal", "TypedFloat", "check_quantity", "check_on_step",
           "limit", "plain_text", "quantity_text", "read_number", "seconds_or_rate", "whole"]

# A number as a person types it: an optional sign, digits with at most one point.
_NUMBER_FORM = re.compile(r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)\Z")
# The quantity text the module sends, as an exchange takes it: digits, at most one point inside.
PLAIN_DECIMAL = re.compile(r"[0-9]+(\.[0-9]+)?\Z")
FORM_WORDS = "ASCII digits with at most one point, e.g. 12 or 0.5 (no exponent such as 1e3)"


class NumberError(ValueError):
    """A number not written by the rule; the message says what was typed and what is read."""


def plain_text(value: Any) -> str:
    """A number as plain decimal text, never in exponent form: ``1000``, ``0.00000001``, ``2.5``."""
    if isinstance(value, (TypedFloat, TypedDecimal)):
        return value.typed
    number = value if isinstance(value, Decimal) else Decimal(repr(float(value)))
    text = format(number, "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text or "0"


class _Typed:
    """A number that shows as the text it was typed as (``str``, ``format`` without a precision)."""

    typed: str

    def __str__(self) -> str:
        return self.typed

    def __format__(self, form: str, *args: Any) -> str:
        return self.typed if form in ("", "g") else super().__format__(form, *args)  # type: ignore[misc]


class TypedFloat(_Typed, float):
    """A float shown as typed."""

    def __new__(cls, text: Any) -> "TypedFloat":
        number = float.__new__(cls, text)
        number.typed = _shown(text) if isinstance(text, str) else plain_text(float(number))
        return number


class TypedDecimal(_Typed, Decimal):
    """A Decimal shown as typed, not in exponent form (``1E+3``)."""

    def __new__(cls, text: Any) -> "TypedDecimal":
        number = Decimal.__new__(cls, text)
        number.typed = _shown(text) if isinstance(text, str) else plain_text(Decimal(number))
        return number


def _shown(text: str) -> str:
    """The typed text as it is echoed: without blanks or a leading ``+``, ``.5`` as ``0.5``."""
    text = text.strip().lstrip("+")
    if text.startswith("."):
        text = "0" + text
    elif text.startswith("-."):
        text = "-0" + text[1:]
    return text


def read_number(text: str, what: str) -> str:
    """``text`` stripped, if it is written by the rule; else :class:`NumberError` naming ``what``."""
    typed = text.strip()
    if not _NUMBER_FORM.match(typed):
        named = f"{what} {text!r}" if what else repr(text)
        if not typed.isascii():
            raise NumberError(f"{named} has characters other than plain ASCII digits and a point; "
                              "type it again, e.g. 0.5 or 12")
        raise NumberError(f"{named} is not a plain number: give {FORM_WORDS}")
    return typed


# ---- option types for argparse: the option's name comes from argparse ("argument --orders: ...")


def _argument(text: str, what: str) -> str:
    try:
        return read_number(text, what)
    except NumberError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def whole(text: str) -> int:
    """A whole number: ``3``, not ``3.0`` nor ``3e0``."""
    typed = _argument(text, "")
    if "." in typed:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number: give digits only, e.g. 3")
    return int(typed)


def seconds_or_rate(text: str) -> float:
    """A decimal kept as a float (seconds, ms, orders a second), shown as typed."""
    return TypedFloat(_argument(text, ""))


def limit(text: str) -> Decimal:
    """A price or an amount of the quote asset: a positive decimal, kept exact and shown as typed."""
    value = TypedDecimal(_argument(text, ""))
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not above zero: give a positive number, e.g. 0.5")
    return value


# ---- the quantity


def quantity_text(value: float) -> str:
    """The quantity text the module sends: ``repr`` of the number as a float."""
    return repr(float(value))


def check_quantity(text: str, allow_inexact: bool) -> float:
    """The quantity as the module takes it; NumberError when it is not a positive plain number
    or would not go out as typed (unless ``allow_inexact``)."""
    typed = read_number(text, "quantity")
    value = Decimal(typed)
    if value <= 0:
        raise NumberError(f"quantity must be a positive number, not {text!r}")
    if value >= Decimal("1e300"):
        raise NumberError(f"quantity {typed} is too large")
    sent = quantity_text(float(value))
    if not allow_inexact and (not PLAIN_DECIMAL.match(sent) or Decimal(sent) != value):
        raise NumberError(
            f"quantity {typed} would go to the exchange as {sent} (the module sends the text of "
            "the number as a float), and an exchange refuses a quantity in exponent form or "
            "off its lot step. Give the quantity as a plain decimal that a float holds as typed "
            "(at least 0.0001, at most 15 significant digits), or pass --allow-inexact-quantity "
            "to send it anyway"
        )
    return float(value)


def check_on_step(quantity_typed: str, step_text: str) -> None:
    """A quantity the loopback exchange would refuse (off its step) is refused now, in words."""
    step_typed = read_number(step_text, "--loopback-step")
    step = Decimal(step_typed)
    if step <= 0:
        raise NumberError(f"--loopback-step must be above zero, not {step_text!r}")
    try:
        off_step = Decimal(quantity_typed) % step != 0
    except InvalidOperation:  # a quotient beyond Decimal's precision: the exchange judges it
        return
    if off_step:
        raise NumberError(f"quantity {quantity_typed} is not a multiple of the loopback exchange's "
                          f"step {step_typed}, which it would refuse; give a multiple of it, or "
                          "another --loopback-step")
