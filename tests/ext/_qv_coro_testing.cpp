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
PyObject*& items_of(Record* r) { return r->open_trade_time; }
PyObject*& log_of(Record* r) { return r->time_left; }
PyObject*& catch_of(Record* r) { return r->time_start; }

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
    auto* r = reinterpret_cast<Record*>(self->closure);
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
    items_of(r) = item_tuple.release();
    log_of(r) = Ref::borrow(log).release();
    catch_of(r) = Ref::borrow(catch_).release();
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
    return PyLong_FromVoidPtr(c->closure);
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

PyMethodDef methods[] = {
    {"awaiter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(awaiter)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"record_id", record_id, METH_O, nullptr},
    {"resume_label", resume_label, METH_O, nullptr},
    {"freelist_size", freelist_size, METH_NOARGS, nullptr},
    {"await_slot", await_slot, METH_VARARGS, nullptr},
    {"awaitable_iterator", awaitable_iterator, METH_O, nullptr},
    {"shared_types", shared_types, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_qv_coro_testing", nullptr, -1, methods};

// The start-up state that the runtime reads: names, the namespace that
// traceback records and frames use as globals, and the registered types.
int set_up(PyObject* module) {
    using qv::g;
    if (qv::make_string_constants() < 0) return -1;
    g.dict = Ref::borrow(PyModule_GetDict(module)).release();
    // The module itself carries cline_in_traceback: records get bare names.
    g.support_module = Ref::borrow(module).release();
    g.builtins = Ref::steal(PyImport_ImportModule("builtins")).release();
    if (!g.builtins) return -1;
    if (!g.empty_tuple && !(g.empty_tuple = PyTuple_New(0))) return -1;
    if (!g.empty_str && !(g.empty_str = PyUnicode_FromString(""))) return -1;
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
