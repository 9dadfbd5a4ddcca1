// Body routines of the two coroutine functions.
#pragma once

#include "coroutine/coroutine.h"

namespace qv {

PyObject* buy_market_order_body(Coroutine* self, PyThreadState* tstate, PyObject* sent);
PyObject* listen_for_trades_body(Coroutine* self, PyThreadState* tstate, PyObject* sent);

}  // namespace qv
