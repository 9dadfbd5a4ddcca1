// Test-only module: coroutines of the runtime's own type whose body awaits
// each item of a tuple in turn, one await point per item, so that tests can
// drive the runtime side by side with an equivalent `async def`:
//
//     async def awaiter(items, log, catch=()):      # line 10
//         for x in items:
//             try:
//                 r = await x                        # line 12
//             except catch as e:
//                 log.append(("raised", type(e).__name__, str(e)))
//             else:
//                 log.append(("ok", r))
//         return tuple(log)
//
// Beside it, holding() makes coroutines whose closure record (of either
// function's type) holds a given object in a given field, for collector tests.
//
// It carries its own copy of the runtime and registers it as quorvane_3
// does, so it shares the coroutine type with quorvane_3 when both are loaded.
#include "coroutine/await.h"
#include "coroutine/closure.h"
#include "coroutine/coroutine.h"
#include "coroutine/registration.h"
#include "module/constants.h"
#include "module/shared_ops.h"
#include "module/traceback.h"
#include "order/body_support.h"

#include <cstddef>
#include <cstring>
#include <iterator>

namespace {

using qv::Coroutine;
using qv::Ref;

constexpr int kDefLine = 10;
constexpr int kAwaitLine = 12;
constexpr const char* kBodyName = "awaiter";

// The record of listen_for_trades serves as this body's closure record (and
// so its free-list is the one exercised): the items, the log and the
// exception class to catch live in three of its object fields.
using Record = qv::ListenForTradesRecord;
qv::Slot& items_field(Record* r) { return r->open_trade_time; }
qv::Slot& log_field(Record* r) { return r->time_left; }
qv::Slot& catch_field(Record* r) { return r->time_start; }
PyObject* items_of(Record* r) { return items_field(r).get(); }
PyObject* log_of(Record* r) { return log_field(r).get(); }
PyObject* catch_of(Record* r) { return catch_field(r).get(); }

PyObject* code_object = nullptr;

int append_entry(PyObject* log, Ref entry) {
    if (!entry) return -1;
    return PyList_Append(log, entry.get());
}

// The outcome of one await goes into the log. A failure that `catch`
// matches is logged and swallowed; any other stays pending (-1).
int deliver(Record* r, PyObject* result) {
    if (result) return append_entry(log_of(r), Ref::steal(Py_BuildValue("(sO)", "ok", result)));
    PyObject* catch_ = catch_of(r);
    if (catch_ == Py_None || !PyErr_ExceptionMatches(catch_)) return -1;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), traceback = Ref::steal(tb);
    Ref text = Ref::steal(PyObject_Str(v.get()));
    if (!text) return -1;
    PyObject* name = PyObject_GetAttrString(t.get(), "__name__");
    if (!name) return -1;
    return append_entry(log_of(r), Ref::steal(Py_BuildValue("(sNO)", "raised", name, text.get())));
}

// Normal end: StopIteration carrying tuple(log).
PyObject* finish_returning(Coroutine* self, Record* r) {
    Ref value = Ref::steal(PySequence_Tuple(log_of(r)));
    if (!value) {
        QV_TRACEBACK(kBodyName, kDefLine);
        return qv::finish_body(self, false);
    }
    return qv::finish_body_returning(self, value.get());
}

PyObject* awaiter_body(Coroutine* self, PyThreadState*, PyObject* sent) {
    auto* r = reinterpret_cast<Record*>(self->closure.get());
    Py_ssize_t count = PyTuple_GET_SIZE(items_of(r));
    Py_ssize_t index;
    int line = kDefLine;

    if (self->resume_label == 0) {
        if (!sent) goto leave_with_error;
        index = 0;
    } else if (self->resume_label > 0 && self->resume_label <= count) {
        index = self->resume_label - 1;
        line = kAwaitLine;
        if (deliver(r, sent) < 0) goto leave_with_error;
        ++index;
    } else {
        return nullptr;
    }

    line = kAwaitLine;
    while (index < count) {
        PyObject* yielded = qv::await_step(self, PyTuple_GET_ITEM(items_of(r), index));
        if (yielded) return qv::suspend_at(self, static_cast<int>(index + 1), yielded);
        Ref result = qv::finished_await_result();
        if (deliver(r, result.get()) < 0) goto leave_with_error;
        ++index;
    }
    return finish_returning(self, r);

leave_with_error:
    QV_TRACEBACK(kBodyName, line);
    return qv::finish_body(self, false);
}

// awaiter(items, log, catch=None, name="awaiter")
PyObject* awaiter(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"items", "log", "catch", "name", nullptr};
    PyObject* items;
    PyObject* log;
    PyObject* catch_ = Py_None;
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!|OU:awaiter", const_cast<char**>(keywords), &items,
                                     &PyList_Type, &log, &catch_, &name)) {
        return nullptr;
    }
    Ref item_tuple = Ref::steal(PySequence_Tuple(items));
    if (!item_tuple) return nullptr;
    Ref name_ref = name ? Ref::borrow(name) : Ref::steal(PyUnicode_InternFromString(kBodyName));
    if (!name_ref) return nullptr;

    Ref record = Ref::steal(qv::record_alloc(&qv::ListenForTradesRecordType));
    if (!record) return nullptr;
    auto* r = reinterpret_cast<Record*>(record.get());
    items_field(r).set(std::move(item_tuple));
    log_field(r).set(Ref::borrow(log));
    catch_field(r).set(Ref::borrow(catch_));
    return qv::coroutine_new(awaiter_body, record.get(), name_ref.get(), code_object);
}

Coroutine* coroutine_arg(PyObject* o) {
    if (!qv::is_coroutine(o)) {
        PyErr_SetString(PyExc_TypeError, "expected a coroutine of the runtime's type");
        return nullptr;
    }
    return reinterpret_cast<Coroutine*>(o);
}

// Address of the coroutine's closure record (None once it is released).
PyObject* record_id(PyObject*, PyObject* o) {
    Coroutine* c = coroutine_arg(o);
    if (!c) return nullptr;
    if (!c->closure) Py_RETURN_NONE;
    return PyLong_FromVoidPtr(c->closure.get());
}

PyObject* resume_label(PyObject*, PyObject* o) {
    Coroutine* c = coroutine_arg(o);
    return c ? PyLong_FromLong(c->resume_label) : nullptr;
}

PyObject* freelist_size(PyObject*, PyObject*) {
    return PyLong_FromLong(qv::record_freelist_size(&qv::ListenForTradesRecordType));
}

// The await slot called directly, with an object or with nothing.
PyObject* await_slot(PyObject*, PyObject* args) {
    PyObject* o = nullptr;
    if (!PyArg_UnpackTuple(args, "await_slot", 0, 1, &o)) return nullptr;
    return qv::coroutine_await(o);
}

PyObject* awaitable_iterator(PyObject*, PyObject* o) { return qv::awaitable_iterator(o); }

PyObject* shared_types(PyObject*, PyObject*) {
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(qv::coroutine_type),
                         reinterpret_cast<PyObject*>(qv::wrapper_type));
}

// ------------------------------------------------ records holding an object
//
// holding(kind, field, obj) gives a coroutine that never runs a body of its
// own and whose closure record (of the named function's type) holds obj in
// one object field, so that tests can build a cycle through each field.

struct Field {
    const char* name;
    size_t offset;
};

#define QV_FIELD(Record, f) Field{#f, offsetof(Record, f)}
#define QV_TEMP(i) Field{"temps[" #i "]", offsetof(qv::BuyMarketOrderRecord, temps) + (i) * sizeof(qv::Slot)}

// The fields that are not str: everything a cycle can go through.
const Field buy_fields[] = {
    QV_FIELD(qv::BuyMarketOrderRecord, key),       QV_FIELD(qv::BuyMarketOrderRecord, params),
    QV_FIELD(qv::BuyMarketOrderRecord, request_payload), QV_FIELD(qv::BuyMarketOrderRecord, response),
    QV_FIELD(qv::BuyMarketOrderRecord, response_data), QV_FIELD(qv::BuyMarketOrderRecord, timestamp),
    QV_FIELD(qv::BuyMarketOrderRecord, value),     QV_FIELD(qv::BuyMarketOrderRecord, websocket),
    QV_TEMP(0), QV_TEMP(1), QV_TEMP(2), QV_TEMP(3), QV_TEMP(4), QV_TEMP(5), QV_TEMP(6), QV_TEMP(7),
};
const Field listen_fields[] = {
    QV_FIELD(qv::ListenForTradesRecord, current_timestamp), QV_FIELD(qv::ListenForTradesRecord, open_trade_time),
    QV_FIELD(qv::ListenForTradesRecord, time_end),          QV_FIELD(qv::ListenForTradesRecord, time_left),
    QV_FIELD(qv::ListenForTradesRecord, time_start),
};

// A field added to a record must be added to its table above (or be a str
// field): the tables plus the str fields and the quantity fill the record.
constexpr size_t kPointer = sizeof(PyObject*);
constexpr size_t kBuyStrFields = 6;     // api_key, query_string, secret_key, signature, symbol, unique_id
constexpr size_t kListenStrFields = 3;  // api_key, secret_key, token_symbol
static_assert(sizeof(qv::BuyMarketOrderRecord) ==
              sizeof(PyObject) + sizeof(double) + (std::size(buy_fields) + kBuyStrFields) * kPointer);
static_assert(sizeof(qv::ListenForTradesRecord) ==
              sizeof(PyObject) + sizeof(double) + (std::size(listen_fields) + kListenStrFields) * kPointer);

struct RecordKind {
    const char* name;
    PyTypeObject* type;
    const Field* fields;
    size_t count;
};
const RecordKind kinds[] = {
    {"buy_market_order", &qv::BuyMarketOrderRecordType, buy_fields, std::size(buy_fields)},
    {"listen_for_trades", &qv::ListenForTradesRecordType, listen_fields, std::size(listen_fields)},
};

const RecordKind* kind_named(const char* name) {
    for (const RecordKind& kind : kinds) {
        if (std::strcmp(kind.name, name) == 0) return &kind;
    }
    PyErr_Format(PyExc_ValueError, "no closure record for %s", name);
    return nullptr;
}

// The holders' body: it is never meant to run, and finishes when it does.
PyObject* idle_body(Coroutine* self, PyThreadState*, PyObject* sent) { return qv::finish_body(self, sent != nullptr); }

// object_fields(kind) -> names of the record's object (non-str) fields
PyObject* object_fields(PyObject*, PyObject* args) {
    const char* name;
    if (!PyArg_ParseTuple(args, "s:object_fields", &name)) return nullptr;
    const RecordKind* kind = kind_named(name);
    if (!kind) return nullptr;
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (size_t i = 0; i < kind->count; ++i) {
        Ref field = Ref::steal(PyUnicode_FromString(kind->fields[i].name));
        if (!field || PyList_Append(names.get(), field.get()) < 0) return nullptr;
    }
    return names.release();
}

// holding(kind, field, obj) -> a coroutine whose record holds obj in field
PyObject* holding(PyObject*, PyObject* args) {
    const char *name, *field_name;
    PyObject* obj;
    if (!PyArg_ParseTuple(args, "ssO:holding", &name, &field_name, &obj)) return nullptr;
    const RecordKind* kind = kind_named(name);
    if (!kind) return nullptr;
    const Field* field = nullptr;
    for (size_t i = 0; i < kind->count; ++i) {
        if (std::strcmp(kind->fields[i].name, field_name) == 0) field = &kind->fields[i];
    }
    if (!field) {
        PyErr_Format(PyExc_ValueError, "%s records have no object field %s", name, field_name);
        return nullptr;
    }
    Ref record = Ref::steal(qv::record_alloc(kind->type));
    if (!record) return nullptr;
    auto* slot = reinterpret_cast<qv::Slot*>(reinterpret_cast<char*>(record.get()) + field->offset);
    slot->set(Ref::borrow(obj));
    Ref holder_name = Ref::steal(PyUnicode_InternFromString("holder"));
    if (!holder_name) return nullptr;
    return qv::coroutine_new(idle_body, record.get(), holder_name.get(), code_object);
}

PyMethodDef methods[] = {
    {"awaiter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(awaiter)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"record_id", record_id, METH_O, nullptr},
    {"resume_label", resume_label, METH_O, nullptr},
    {"freelist_size", freelist_size, METH_NOARGS, nullptr},
    {"await_slot", await_slot, METH_VARARGS, nullptr},
    {"awaitable_iterator", awaitable_iterator, METH_O, nullptr},
    {"shared_types", shared_types, METH_NOARGS, nullptr},
    {"object_fields", object_fields, METH_VARARGS, nullptr},
    {"holding", holding, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_qv_coro_testing", nullptr, -1, methods};

// The start-up state that the runtime reads: names, the namespace that
// traceback records and frames use as globals, and the registered types.
int set_up(PyObject* module) {
    using qv::g;
    if (qv::make_string_constants() < 0) return -1;
    g.dict.set(Ref::borrow(PyModule_GetDict(module)));
    // The module itself carries cline_in_traceback: records get bare names.
    g.support_module.set(Ref::borrow(module));
    if (g.builtins.set_made(Ref::steal(PyImport_ImportModule("builtins"))) < 0) return -1;
    if (!g.empty_tuple && g.empty_tuple.set_made(Ref::steal(PyTuple_New(0))) < 0) return -1;
    if (!g.empty_str && g.empty_str.set_made(Ref::steal(PyUnicode_FromString(""))) < 0) return -1;
    if (qv::register_coroutine_types() < 0 || qv::ready_record_types() < 0) return -1;
    code_object = reinterpret_cast<PyObject*>(PyCode_NewEmpty("_qv_coro_testing.py", kBodyName, kDefLine));
    if (!code_object) return -1;
    return qv::register_with_abc();
}

}  // namespace

PyMODINIT_FUNC PyInit__qv_coro_testing() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || set_up(module.get()) < 0) return nullptr;
    return module.release();
}
