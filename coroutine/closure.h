// Closure records: one per call of a coroutine function, holding its
// parameters and locals (alphabetical order) across suspensions. Every object
// field is a Slot: the record owns what it holds, and its dealloc releases
// it. The coroutine that the call made owns the record.
#pragma once

#include "module/ref.h"

#include <cstddef>
#include <type_traits>

namespace qv {

struct BuyMarketOrderRecord {
    PyObject_HEAD
    Slot api_key;               // str or None
    double buy_token_quantity;  // held at full precision
    Slot key;
    Slot params;
    Slot query_string;          // str
    Slot request_payload;
    Slot response;
    Slot response_data;
    Slot secret_key;            // str or None
    Slot signature;             // str or None
    Slot symbol;                // str or None
    Slot timestamp;
    Slot unique_id;             // str
    Slot value;
    Slot websocket;
    Slot temps[8];              // values parked across an await (which where: buy_market_order.cpp)
};

struct ListenForTradesRecord {
    PyObject_HEAD
    Slot api_key;               // str or None
    double buy_token_quantity;
    Slot current_timestamp;
    Slot open_trade_time;
    Slot secret_key;            // str or None
    Slot time_end;
    Slot time_left;
    Slot time_start;
    Slot token_symbol;          // str or None
};

// The layouts are those of the same records written with bare pointers: the
// header, the quantity and one pointer per object field, no padding.
static_assert(std::is_standard_layout_v<BuyMarketOrderRecord> && std::is_standard_layout_v<ListenForTradesRecord>);
static_assert(sizeof(BuyMarketOrderRecord) == sizeof(PyObject) + sizeof(double) + 22 * sizeof(PyObject*));
static_assert(offsetof(BuyMarketOrderRecord, temps) == sizeof(PyObject) + sizeof(double) + 14 * sizeof(PyObject*));
static_assert(sizeof(ListenForTradesRecord) == sizeof(PyObject) + sizeof(double) + 8 * sizeof(PyObject*));

extern PyTypeObject BuyMarketOrderRecordType;
extern PyTypeObject ListenForTradesRecordType;

// Free-list first, then the type's allocator. New reference or null.
PyObject* record_alloc(PyTypeObject* type);

// Released records waiting in the free-list of a record type (for tests).
int record_freelist_size(PyTypeObject* type);

}  // namespace qv
