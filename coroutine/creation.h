// What a call of a coroutine function returns once its arguments are bound.
#pragma once

#include "module/ref.h"

namespace qv {

// New coroutine object, or null with an exception and a traceback record
// ("quorvane_3.buy_market_order" at 34 / "quorvane_3.listen_for_trades" at 79).
PyObject* create_buy_market_order(PyObject* api_key, PyObject* secret_key, PyObject* symbol,
                                  double buy_token_quantity);
PyObject* create_listen_for_trades(PyObject* api_key, PyObject* secret_key, PyObject* token_symbol,
                                   double buy_token_quantity, PyObject* open_trade_time);

}  // namespace qv
