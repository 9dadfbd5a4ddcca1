# The trading program as a plain Python script: the pure-Python side of the
# benchmarks. Statement for statement the same logic as the extension module,
# and the same line numbers for the def lines and the statements.
# One difference a script user would make: optimized_print writes with the
# builtin print (sys.stdout), since pure Python has no direct printf.
import ujson as json
import hmac
import hashlib
from configparser import ConfigParser  # noqa: F401  (imported, never used)
import websockets
import time
import uuid
import urllib.parse

WEBSOCKET_API_URL = "wss://ws-api.exchange.invalid:443/ws-api/v3"


def sign_request(query_string, secret_key):
    message = query_string.encode("utf-8")
    secret = secret_key.encode("utf-8")
    sha256_hmac = hmac.new(secret, message, hashlib.sha256)
    return sha256_hmac.hexdigest()


# A MARKET BUY of buy_token_quantity units of symbol, as one "order.place"
# request over a new connection:
#   1. the order parameters, with a fresh request id and timestamp;
#   2. the signed text: the parameters as key=value pairs in key order,
#      values percent-encoded, joined by "&";
#   3. its HMAC-SHA256 under the secret key, added as "signature";
#   4. the request sent as JSON, one reply read and decoded;
#   5. one printed line: the error when the reply carries "error", else the
#      whole reply.
async def buy_market_order(api_key, secret_key, symbol, buy_token_quantity):
    unique_id = str(uuid.uuid4())
    timestamp = int(time.time() * 1000)

    # Order parameters, in the order the request lists them.
    params = {"symbol": symbol,
              "side": "BUY",
              "type": "MARKET",
              "quantity": f"{buy_token_quantity}",
              "timestamp": timestamp,
              "apiKey": api_key}

    # Signed text: key=quoted value pairs in key order, joined by "&".
    query_string = "&".join([f"{key}={urllib.parse.quote(str(value))}" for key, value in sorted(params.items())])
    signature = hmac.new(secret_key.encode("utf-8"), query_string.encode("utf-8"), hashlib.sha256).hexdigest()
    params["signature"] = signature

    # The request document; "params" is the same dict, signature included.
    request_payload = {"id": unique_id, "method": "order.place", "params": params}

    # One connection per order: send the request, read one reply, close.
    # Leaving the block closes the connection, after a failure too.
    response = None

    async with websockets.connect(WEBSOCKET_API_URL) as websocket:
        await websocket.send(json.dumps(request_payload))
        response = await websocket.recv()
        response_data = json.loads(response)
        if "error" in response_data:
            print(f"Failed to place buy order: {response_data['error']}")
        else:
            print(f"Buy order placed successfully: {response_data}")


# Wall clock in whole milliseconds since the epoch.
def get_current_timestamp():
    return int(time.time() * 1000)


# One line to standard output.
def optimized_print(text):
    # Through sys.stdout: plain Python has no direct way to the C runtime's.
    print(text)


async def listen_for_trades(api_key, secret_key, token_symbol, buy_token_quantity, open_trade_time):
    open_trade_time = int(open_trade_time)
    while True:
        current_timestamp = get_current_timestamp()
        time_left = open_trade_time - current_timestamp
        optimized_print(f"Time from opening:{time_left}")
        if time_left < 100:
            time_start = get_current_timestamp()
            await buy_market_order(api_key, secret_key, token_symbol.upper(), buy_token_quantity)
            time_end = get_current_timestamp()
            optimized_print(f"Buy order took {time_end - time_start} ms")
