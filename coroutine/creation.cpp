// Calling a coroutine function: the bound arguments go into a new closure
// record, and a coroutine object that owns the record is returned. Nothing
// of the body runs here.
#include "coroutine/creation.h"

#include "coroutine/closure.h"
#include "coroutine/coroutine.h"
#include "module/constants.h"
#include "module/traceback.h"
#include "order/bodies.h"

namespace qv {

namespace {

template <typename Record>
Record* as_record(const Ref& record) {
    return reinterpret_cast<Record*>(record.get());
}

PyObject* new_ref(PyObject* o) {
    Py_XINCREF(o);
    return o;
}

}  // namespace

PyObject* create_buy_market_order(PyObject* api_key, PyObject* secret_key, PyObject* symbol,
                                  double buy_token_quantity) {
    constexpr const char* kFunction = "quorvane_3.buy_market_order";
    constexpr int kDefLine = 34;
    Ref record = Ref::steal(record_alloc(&BuyMarketOrderRecordType));
    if (!record) {
        QV_TRACEBACK(kFunction, kDefLine);
        return nullptr;
    }
    auto* r = as_record<BuyMarketOrderRecord>(record);
    r->api_key = new_ref(api_key);
    r->secret_key = new_ref(secret_key);
    r->symbol = new_ref(symbol);
    r->buy_token_quantity = buy_token_quantity;

    PyObject* coroutine =
        coroutine_new(buy_market_order_body, record.get(), id::buy_market_order.str, g.code_buy_market_order);
    if (!coroutine) QV_TRACEBACK(kFunction, kDefLine);
    return coroutine;
}

PyObject* create_listen_for_trades(PyObject* api_key, PyObject* secret_key, PyObject* token_symbol,
                                   double buy_token_quantity, PyObject* open_trade_time) {
    constexpr const char* kFunction = "quorvane_3.listen_for_trades";
    constexpr int kDefLine = 79;
    Ref record = Ref::steal(record_alloc(&ListenForTradesRecordType));
    if (!record) {
        QV_TRACEBACK(kFunction, kDefLine);
        return nullptr;
    }
    auto* r = as_record<ListenForTradesRecord>(record);
    r->api_key = new_ref(api_key);
    r->secret_key = new_ref(secret_key);
    r->token_symbol = new_ref(token_symbol);
    r->buy_token_quantity = buy_token_quantity;
    r->open_trade_time = new_ref(open_trade_time);

    PyObject* coroutine = coroutine_new(listen_for_trades_body, record.get(), id::listen_for_trades.str,
                                        g.code_listen_for_trades);
    if (!coroutine) QV_TRACEBACK(kFunction, kDefLine);
    return coroutine;
}

}  // namespace qv
