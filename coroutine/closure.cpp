// Closure-record types and their free-lists. Each call of a coroutine
// function gets a record; released records are kept (up to 8 per type) and
// handed out again before the allocator is asked.
#include "coroutine/closure.h"

#include <cstring>

namespace qv {

namespace {

template <typename Record>
struct FreeList {
    static constexpr int kCapacity = 8;
    Record* slots[kCapacity] = {};
    int count = 0;
};

FreeList<BuyMarketOrderRecord> buy_market_order_free;
FreeList<ListenForTradesRecord> listen_for_trades_free;

// A reused record is reset exactly as a fresh one: zeroed, one reference,
// its type set, tracked by the collector.
template <typename Record>
PyObject* alloc_from(FreeList<Record>& free, PyTypeObject* type) {
    if (free.count > 0 && type->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Record))) {
        Record* record = free.slots[--free.count];
        std::memset(static_cast<void*>(record), 0, sizeof(Record));
        PyObject* o = PyObject_INIT(reinterpret_cast<PyObject*>(record), type);
        PyObject_GC_Track(o);
        return o;
    }
    return type->tp_alloc(type, 0);
}

template <typename Record>
void release_to(FreeList<Record>& free, PyObject* o) {
    if (free.count < FreeList<Record>::kCapacity &&
        Py_TYPE(o)->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Record))) {
        free.slots[free.count++] = reinterpret_cast<Record*>(o);
    } else {
        Py_TYPE(o)->tp_free(o);
    }
}

// The constructor slot: arguments are ignored.
PyObject* record_new(PyTypeObject* type, PyObject*, PyObject*) { return record_alloc(type); }

// ------------------------------------------------------ buy_market_order

BuyMarketOrderRecord* as_buy(PyObject* o) { return reinterpret_cast<BuyMarketOrderRecord*>(o); }

// str fields cannot take part in a cycle and are not visited.
int buy_traverse(PyObject* o, visitproc visit, void* arg) {
    BuyMarketOrderRecord* r = as_buy(o);
    Py_VISIT(r->key.get());
    Py_VISIT(r->params.get());
    Py_VISIT(r->request_payload.get());
    Py_VISIT(r->response.get());
    Py_VISIT(r->response_data.get());
    Py_VISIT(r->timestamp.get());
    Py_VISIT(r->value.get());
    Py_VISIT(r->websocket.get());
    for (const Slot& temp : r->temps) Py_VISIT(temp.get());
    return 0;
}

void buy_dealloc(PyObject* o) {
    BuyMarketOrderRecord* r = as_buy(o);
    PyObject_GC_UnTrack(o);
    r->api_key.clear();
    r->key.clear();
    r->params.clear();
    r->query_string.clear();
    r->request_payload.clear();
    r->response.clear();
    r->response_data.clear();
    r->secret_key.clear();
    r->signature.clear();
    r->symbol.clear();
    r->timestamp.clear();
    r->unique_id.clear();
    r->value.clear();
    r->websocket.clear();
    for (Slot& temp : r->temps) temp.clear();
    release_to(buy_market_order_free, o);
}

// ----------------------------------------------------- listen_for_trades

ListenForTradesRecord* as_listen(PyObject* o) { return reinterpret_cast<ListenForTradesRecord*>(o); }

int listen_traverse(PyObject* o, visitproc visit, void* arg) {
    ListenForTradesRecord* r = as_listen(o);
    Py_VISIT(r->current_timestamp.get());
    Py_VISIT(r->open_trade_time.get());
    Py_VISIT(r->time_end.get());
    Py_VISIT(r->time_left.get());
    Py_VISIT(r->time_start.get());
    return 0;
}

void listen_dealloc(PyObject* o) {
    ListenForTradesRecord* r = as_listen(o);
    PyObject_GC_UnTrack(o);
    r->api_key.clear();
    r->current_timestamp.clear();
    r->open_trade_time.clear();
    r->secret_key.clear();
    r->time_end.clear();
    r->time_left.clear();
    r->time_start.clear();
    r->token_symbol.clear();
    release_to(listen_for_trades_free, o);
}

}  // namespace

// Never bound in the module namespace; collected, not subclassable, no clear.
PyTypeObject BuyMarketOrderRecordType = {
    .ob_base = {.ob_base = {.ob_refcnt = 1, .ob_type = nullptr}, .ob_size = 0},
    .tp_name = "quorvane_3._buy_market_order_record",
    .tp_basicsize = sizeof(BuyMarketOrderRecord),
    .tp_itemsize = 0,
    .tp_dealloc = buy_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = buy_traverse,
    .tp_new = record_new,
};

PyTypeObject ListenForTradesRecordType = {
    .ob_base = {.ob_base = {.ob_refcnt = 1, .ob_type = nullptr}, .ob_size = 0},
    .tp_name = "quorvane_3._listen_for_trades_record",
    .tp_basicsize = sizeof(ListenForTradesRecord),
    .tp_itemsize = 0,
    .tp_dealloc = listen_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = listen_traverse,
    .tp_new = record_new,
};

PyObject* record_alloc(PyTypeObject* type) {
    if (type == &BuyMarketOrderRecordType) return alloc_from(buy_market_order_free, type);
    if (type == &ListenForTradesRecordType) return alloc_from(listen_for_trades_free, type);
    return type->tp_alloc(type, 0);
}

int record_freelist_size(PyTypeObject* type) {
    if (type == &BuyMarketOrderRecordType) return buy_market_order_free.count;
    if (type == &ListenForTradesRecordType) return listen_for_trades_free.count;
    return 0;
}

}  // namespace qv
