// Closure records: one per call of a coroutine function, holding its
// parameters and locals (alphabetical order) across suspensions.
#pragma once

#include "module/ref.h"

namespace qv {

struct BuyMarketOrderRecord {
    PyObject_HEAD
    PyObject* api_key;           // str or None
    double buy_token_quantity;   // held at full precision
    PyObject* key;
    PyObject* params;
    PyObject* query_string;      // str
    PyObject* request_payload;
    PyObject* response;
    PyObject* response_data;
    PyObject* secret_key;        // str or None
    PyObject* signature;         // str or None
    PyObject* symbol;            // str or None
    PyObject* timestamp;
    PyObject* unique_id;         // str
    PyObject* value;
    PyObject* websocket;
    PyObject* temps[8];          // values parked across an await
};

struct ListenForTradesRecord {
    PyObject_HEAD
    PyObject* api_key;           // str or None
    double buy_token_quantity;
    PyObject* current_timestamp;
    PyObject* open_trade_time;
    PyObject* secret_key;        // str or None
    PyObject* time_end;
    PyObject* time_left;
    PyObject* time_start;
    PyObject* token_symbol;      // str or None
};

extern PyTypeObject BuyMarketOrderRecordType;
extern PyTypeObject ListenForTradesRecordType;

// Free-list first, then the type's allocator. New reference or null.
PyObject* record_alloc(PyTypeObject* type);

// Released records waiting in the free-list of a record type (for tests).
int record_freelist_size(PyTypeObject* type);

}  // namespace qv
