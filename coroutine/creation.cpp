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
    r->api_key.set(Ref::borrow(api_key));
    r->secret_key.set(Ref::borrow(secret_key));
    r->symbol.set(Ref::borrow(symbol));
    r->buy_token_quantity = buy_token_quantity;

    PyObject* coroutine = coroutine_new(buy_market_order_body, record.get(), id::buy_market_order.str.get(),
                                        g.code_buy_market_order.get());
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
    r->api_key.set(Ref::borrow(api_key));
    r->secret_key.set(Ref::borrow(secret_key));
    r->token_symbol.set(Ref::borrow(token_symbol));
    r->buy_token_quantity = buy_token_quantity;
    r->open_trade_time.set(Ref::borrow(open_trade_time));

    PyObject* coroutine = coroutine_new(listen_for_trades_body, record.get(), id::listen_for_trades.str.get(),
                                        g.code_listen_for_trades.get());
    if (!coroutine) QV_TRACEBACK(kFunction, kDefLine);
    return coroutine;
}

}  // namespace qv
