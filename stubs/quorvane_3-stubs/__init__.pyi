# Types of the quorvane_3 extension module, for editors and type checkers.
#
# The string parameters take exactly str: a subclass is refused at the call.
# None passes the call, then fails in the body or goes out as the text "None"
# (the order's api key and symbol): never what a caller means, so not typed.
from typing import Any, Coroutine, NoReturn, SupportsFloat, SupportsIndex, SupportsInt, Union

# Where orders connect: the module calls `websockets.connect(url)`. Rebinding
# it (to a quorvane_host.connector.Connector, say) redirects every order.
websockets: Any

_Quantity = Union[SupportsFloat, SupportsIndex]

def sign_request(query_string: str, secret_key: str) -> str:
    """Lowercase hexadecimal HMAC-SHA256 of the UTF-8 query string under the UTF-8 key."""

def buy_market_order(
    api_key: str, secret_key: str, symbol: str, buy_token_quantity: _Quantity
) -> Coroutine[Any, Any, None]:
    """A coroutine that places one signed MARKET BUY order and prints the exchange's reply."""

def listen_for_trades(
    api_key: str,
    secret_key: str,
    token_symbol: str,
    buy_token_quantity: _Quantity,
    open_trade_time: SupportsInt,
) -> Coroutine[Any, Any, NoReturn]:
    """A coroutine that polls until open_trade_time (ms since the epoch), then
    places an order on every pass. It never returns: an exception, a cancel or
    close() ends it."""
