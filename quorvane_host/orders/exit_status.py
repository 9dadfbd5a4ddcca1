"""The exit status: what happened to the money, and only that.

* 3: at least one order's outcome is still unknown at the end (sent with
  no reply, or a reply that does not settle it, and the exchange could not
  tell when asked), whatever stopped the run, a stop request included: it
  may have bought, and the account must be checked before another run;
* 0: the wanted number of orders bought something (an order the exchange
  accepted but filled nothing does not count); a failure to write the
  report afterwards is a warning, never a failure: a wrapper that retries
  on failure would buy twice;
* 1: the host stopped without them, and every order it sent is known to
  have bought or not;
* 2: bad input, or an endpoint that cannot take orders (nothing was sent);
* 130 / 143 / 129: a stop request (Ctrl-C / SIGTERM / SIGHUP) before the
  wanted number of orders bought something, every outcome known.

A stop request after they did changes nothing of that: the money is spent
as asked, the status is 0, and the report says that the run was stopped.
A wrapper that retries on anything but 0 would otherwise buy a second time.
"""

from __future__ import annotations

from typing import Iterable, Optional

from quorvane_host.orders.fate import Order

__all__ = ["EXIT_HUNG_UP", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_TERMINATED", "EXIT_UNKNOWN", "EXIT_UNMET", "EXIT_USAGE",
           "accepted_orders", "bought_orders", "exit_status", "unknown_outcomes"]

EXIT_OK, EXIT_UNMET, EXIT_USAGE, EXIT_UNKNOWN, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 3, 130, 143
EXIT_HUNG_UP = 129


def unknown_outcomes(orders: Iterable[Order]) -> int:
    """Orders sent whose outcome is not known: each may have been filled."""
    return sum(1 for o in orders if o.outcome_unknown)


def accepted_orders(orders: Iterable[Order]) -> int:
    """Orders the exchange took, by their replies, whether they filled or not."""
    return sum(1 for o in orders if o.accepted)


def bought_orders(orders: Iterable[Order]) -> int:
    """Orders whose replies say something was filled: what ``--orders`` counts."""
    return sum(1 for o in orders if o.bought)


def exit_status(wanted: int, bought: int, unknown: int, stop_status: Optional[int]) -> int:
    if unknown:
        return EXIT_UNKNOWN  # also after a stop request: the money may be spent
    if bought >= wanted:
        return EXIT_OK  # also after a stop request: what was wanted is bought
    if stop_status:
        return stop_status
    return EXIT_UNMET
