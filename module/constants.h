// Objects made once at start-up and shared by every function of the module.
// Each is a Slot: the module owns one reference to it and keeps it until the
// process ends (only the module and its namespace are let go again, when
// start-up fails).
#pragma once

#include "module/ref.h"

#include <cstdint>

namespace qv {

// Interned identifiers: attribute, global, module and parameter names.
// X(c++ name, text)
#define QV_IDENTIFIERS(X)                         \
    X(aenter, "__aenter__")                       \
    X(aexit, "__aexit__")                         \
    X(await_, "__await__")                        \
    X(test_, "__test__")                          \
    X(api_key, "api_key")                         \
    X(buy_market_order, "buy_market_order")       \
    X(buy_token_quantity, "buy_token_quantity")   \
    X(cline_in_traceback, "cline_in_traceback")   \
    X(close, "close")                             \
    X(configparser, "configparser")               \
    X(ConfigParser, "ConfigParser")               \
    X(connect, "connect")                         \
    X(current_timestamp, "current_timestamp")     \
    X(dumps, "dumps")                             \
    X(encode, "encode")                           \
    X(hashlib, "hashlib")                         \
    X(hexdigest, "hexdigest")                     \
    X(hmac, "hmac")                               \
    X(items, "items")                             \
    X(json, "json")                               \
    X(key, "key")                                 \
    X(listen_for_trades, "listen_for_trades")     \
    X(loads, "loads")                             \
    X(message, "message")                         \
    X(new_, "new")                                \
    X(open_trade_time, "open_trade_time")         \
    X(params, "params")                           \
    X(parse, "parse")                             \
    X(print, "print")                             \
    X(query_string, "query_string")               \
    X(quote, "quote")                             \
    X(quorvane_3, "quorvane_3")                   \
    X(recv, "recv")                               \
    X(request_payload, "request_payload")         \
    X(response, "response")                       \
    X(response_data, "response_data")             \
    X(secret, "secret")                           \
    X(secret_key, "secret_key")                   \
    X(send, "send")                               \
    X(sha256, "sha256")                           \
    X(sha256_hmac, "sha256_hmac")                 \
    X(sign_request, "sign_request")               \
    X(signature, "signature")                     \
    X(symbol, "symbol")                           \
    X(throw_, "throw")                            \
    X(time, "time")                               \
    X(time_end, "time_end")                       \
    X(time_left, "time_left")                     \
    X(time_start, "time_start")                   \
    X(timestamp, "timestamp")                     \
    X(token_symbol, "token_symbol")               \
    X(ujson, "ujson")                             \
    X(unique_id, "unique_id")                     \
    X(upper, "upper")                             \
    X(urllib, "urllib")                           \
    X(urllib_parse, "urllib.parse")               \
    X(uuid, "uuid")                               \
    X(uuid4, "uuid4")                             \
    X(value, "value")                             \
    X(websocket, "websocket")                     \
    X(websockets, "websockets")

// Data strings: text the functions put into requests and report lines.
#define QV_DATA_STRINGS(X)                                           \
    X(BUY, "BUY")                                                    \
    X(MARKET, "MARKET")                                              \
    X(order_place, "order.place")                                    \
    X(apiKey, "apiKey")                                              \
    X(method, "method")                                              \
    X(id, "id")                                                      \
    X(params, "params")                                              \
    X(quantity, "quantity")                                          \
    X(side, "side")                                                  \
    X(signature, "signature")                                        \
    X(symbol, "symbol")                                              \
    X(timestamp, "timestamp")                                        \
    X(type, "type")                                                  \
    X(error, "error")                                                \
    X(amp, "&")                                                      \
    X(eq, "=")                                                       \
    X(utf_8, "utf-8")                                                \
    X(placed_ok, "Buy order placed successfully: ")                  \
    X(placed_failed, "Failed to place buy order: ")                  \
    X(took, "Buy order took ")                                       \
    X(ms, " ms")                                                     \
    X(time_from_opening, "Time from opening:")

// An interned name with its hash computed once.
struct Name {
    Slot str;
    Py_hash_t hash = -1;
};

namespace id {
#define QV_DECLARE_ID(cname, literal) extern Name cname;
QV_IDENTIFIERS(QV_DECLARE_ID)
#undef QV_DECLARE_ID
}  // namespace id

namespace text {
#define QV_DECLARE_TEXT(cname, literal) extern Slot cname;
QV_DATA_STRINGS(QV_DECLARE_TEXT)
#undef QV_DECLARE_TEXT
}  // namespace text

// Process-wide state filled by the create and exec steps.
struct Startup {
    int64_t first_interpreter_id = -1;
    Slot module;                  // initialised-module reference
    Slot dict;                    // the module namespace
    Slot builtins;                // fallback of global lookups
    Slot support_module;          // carries cline_in_traceback
    Slot empty_tuple;
    Slot empty_bytes;
    Slot empty_str;               // format spec of the text form
    Slot int_100;
    Slot int_1000;
    Slot none3;                   // (None, None, None)
    Slot print;                   // builtins.print as found at import
    Slot code_buy_market_order;
    Slot code_listen_for_trades;
    Slot websocket_api_url;       // module-private endpoint
};

extern Startup g;

// Name of the runtime-support module in sys.modules.
inline constexpr const char kSupportModuleName[] = "_quorvane_runtime";

// File name that traceback records and code objects carry.
inline constexpr const char kSourceFile[] = "quorvane_3.py";

// Makes the interned identifiers and data strings; 0 or -1.
int make_string_constants();

}  // namespace qv
