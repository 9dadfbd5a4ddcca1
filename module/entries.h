// The three functions that start-up binds in the module namespace.
#pragma once

#include "module/ref.h"

namespace qv {

// Built-in function objects for the namespace (module name "quorvane_3").
PyObject* make_sign_request_function();
PyObject* make_buy_market_order_function();
PyObject* make_listen_for_trades_function();

}  // namespace qv
