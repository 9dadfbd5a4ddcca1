// Entries: bind and test the arguments, then run the body (sign_request) or
// create the coroutine object (the two coroutine functions).
#include "module/entries.h"

#include "coroutine/creation.h"
#include "module/binding.h"
#include "module/constants.h"
#include "module/traceback.h"
#include "order/sign_request.h"

namespace qv {

namespace {

constexpr int kSignRequestLine = 18;
constexpr int kBuyMarketOrderLine = 34;
constexpr int kListenForTradesLine = 79;

const Name* const sign_request_params[] = {&id::query_string, &id::secret_key};
const Name* const buy_market_order_params[] = {&id::api_key, &id::secret_key, &id::symbol,
                                               &id::buy_token_quantity};
const Name* const listen_for_trades_params[] = {&id::api_key, &id::secret_key, &id::token_symbol,
                                                &id::buy_token_quantity, &id::open_trade_time};

const Signature sign_request_sig{"sign_request", sign_request_params, 2};
const Signature buy_market_order_sig{"buy_market_order", buy_market_order_params, 4};
const Signature listen_for_trades_sig{"listen_for_trades", listen_for_trades_params, 5};

PyObject* sign_request_entry(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[2];
    if (bind_arguments(sign_request_sig, args, kwds, values) < 0) {
        QV_TRACEBACK("quorvane_3.sign_request", kSignRequestLine);
        return nullptr;
    }
    if (check_str_arguments(sign_request_sig, values, 2) < 0) return nullptr;
    return sign_request_body(values[0].get(), values[1].get()).release();
}

// Binding, the quantity's conversion and the str tests shared by the two
// coroutine functions (their first three parameters are str, the fourth the
// quantity). 0, or -1 with the error set and, where due, a record.
int bind_order_arguments(const Signature& sig, const char* record_name, int def_line, PyObject* args,
                         PyObject* kwds, Ref* values, double* quantity) {
    if (bind_arguments(sig, args, kwds, values) < 0) {
        QV_TRACEBACK(record_name, def_line);
        return -1;
    }
    *quantity = quantity_from(values[3].get());
    if (*quantity == -1.0 && PyErr_Occurred()) {
        QV_TRACEBACK(record_name, def_line);
        return -1;
    }
    return check_str_arguments(sig, values, 3);
}

PyObject* buy_market_order_entry(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[4];
    double quantity;
    if (bind_order_arguments(buy_market_order_sig, "quorvane_3.buy_market_order", kBuyMarketOrderLine, args, kwds,
                             values, &quantity) < 0) {
        return nullptr;
    }
    return create_buy_market_order(values[0].get(), values[1].get(), values[2].get(), quantity);
}

PyObject* listen_for_trades_entry(PyObject*, PyObject* args, PyObject* kwds) {
    Ref values[5];
    double quantity;
    if (bind_order_arguments(listen_for_trades_sig, "quorvane_3.listen_for_trades", kListenForTradesLine, args,
                             kwds, values, &quantity) < 0) {
        return nullptr;
    }
    return create_listen_for_trades(values[0].get(), values[1].get(), values[2].get(), quantity, values[4].get());
}

PyMethodDef sign_request_def = {"sign_request", reinterpret_cast<PyCFunction>(sign_request_entry),
                                METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef buy_market_order_def = {"buy_market_order", reinterpret_cast<PyCFunction>(buy_market_order_entry),
                                    METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef listen_for_trades_def = {"listen_for_trades", reinterpret_cast<PyCFunction>(listen_for_trades_entry),
                                     METH_VARARGS | METH_KEYWORDS, nullptr};

PyObject* make_function(PyMethodDef* def) { return PyCFunction_NewEx(def, nullptr, id::quorvane_3.str.get()); }

}  // namespace

PyObject* make_sign_request_function() { return make_function(&sign_request_def); }
PyObject* make_buy_market_order_function() { return make_function(&buy_market_order_def); }
PyObject* make_listen_for_trades_function() { return make_function(&listen_for_trades_def); }

}  // namespace qv
