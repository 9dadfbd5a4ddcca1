// Module definition and start-up of quorvane_3 (multi-phase initialisation).
//
// The create step makes (or, on re-import, returns) the one module object of
// the process; the exec step checks the interpreter, makes the shared
// constants, registers the coroutine machinery and runs the module-level
// statements in their source order. Every failure from the recording of the
// module on carries an "init quorvane_3" traceback record at the line of the
// failing statement.
#include "coroutine/registration.h"
#include "module/constants.h"
#include "module/entries.h"
#include "module/original_attr.h"
#include "module/ref.h"
#include "module/startup_checks.h"
#include "module/traceback.h"

namespace qv {

namespace {

constexpr const char* kInit = "init quorvane_3";

#ifndef QUORVANE_EXCHANGE_HOST
#define QUORVANE_EXCHANGE_HOST "ws-api.exchange.invalid"
#endif
constexpr const char kWebsocketApiUrl[] = "wss://" QUORVANE_EXCHANGE_HOST ":443/ws-api/v3";

// ---------------------------------------------------------------- create step

int guard_single_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g.first_interpreter_id == -1) {
        if (current == -1) return -1;
        g.first_interpreter_id = current;
        return 0;
    }
    if (current != g.first_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies one attribute of the module spec into the namespace. A missing
// attribute is skipped; None is stored unless `skip_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (guard_single_interpreter() < 0) return nullptr;
    if (g.module) return g.module.ref().release();

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// ------------------------------------------------------------------ exec step

int make_empties() {
    if (!g.empty_tuple && g.empty_tuple.set_made(Ref::steal(PyTuple_New(0))) < 0) return -1;
    if (!g.empty_bytes && g.empty_bytes.set_made(Ref::steal(PyBytes_FromStringAndSize("", 0))) < 0) return -1;
    if (!g.empty_str && g.empty_str.set_made(Ref::steal(PyUnicode_FromStringAndSize("", 0))) < 0) return -1;
    return 0;
}

void record_module(PyObject* module) {
    g.module.set(Ref::borrow(module));
    g.dict.set(Ref::borrow(PyModule_GetDict(module)));
}

void forget_module() {
    g.module.clear();
    g.dict.clear();
}

int hold_builtins_and_support(PyObject* module) {
    if (!g.builtins) {
        PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
        if (!builtins) return -1;
        g.builtins.set(Ref::borrow(builtins));
    }
    if (!g.support_module) {
        PyObject* support = PyImport_AddModule(kSupportModuleName);  // borrowed, made when absent
        if (!support) return -1;
        g.support_module.set(Ref::borrow(support));
    }
    return PyObject_SetAttrString(module, "__builtins__", g.builtins.get());
}

int make_int_constants() {
    if (!g.int_100 && g.int_100.set_made(Ref::steal(PyLong_FromLong(100))) < 0) return -1;
    if (!g.int_1000 && g.int_1000.set_made(Ref::steal(PyLong_FromLong(1000))) < 0) return -1;
    return 0;
}

int enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    int present = PyDict_Contains(modules, id::quorvane_3.str.get());
    if (present < 0) return -1;
    if (present) return 0;
    return PyDict_SetItem(modules, id::quorvane_3.str.get(), module);
}

int hold_print() {
    Ref print = Ref::steal(PyObject_GetAttr(g.builtins.get(), id::print.str.get()));
    if (!print) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", id::print.str.get());
        return -1;
    }
    g.print.set(std::move(print));
    return 0;
}

// Code object of a coroutine function: no bytecode, only what cr_code shows.
Ref make_function_code(const Name& name, int first_line, int argcount,
                             std::initializer_list<const Name*> locals) {
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(locals.size())));
    if (!varnames) return varnames;
    Py_ssize_t i = 0;
    for (const Name* local : locals) {
        Py_INCREF(local->str.get());
        PyTuple_SET_ITEM(varnames.get(), i++, local->str.get());
    }
    Ref filename = Ref::steal(PyUnicode_FromString(kSourceFile));
    if (!filename) return filename;
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(locals.size()), 0, CO_OPTIMIZED | CO_NEWLOCALS, g.empty_bytes.get(),
        g.empty_tuple.get(), g.empty_tuple.get(), varnames.get(), g.empty_tuple.get(), g.empty_tuple.get(),
        filename.get(), name.str.get(), first_line, g.empty_bytes.get())));
}

int make_tuple_and_code_objects() {
    if (!g.none3 && g.none3.set_made(Ref::steal(PyTuple_Pack(3, Py_None, Py_None, Py_None))) < 0) return -1;
    if (!g.code_buy_market_order) {
        Ref code = make_function_code(
            id::buy_market_order, 34, 4,
            {&id::api_key, &id::secret_key, &id::symbol, &id::buy_token_quantity, &id::unique_id, &id::timestamp,
             &id::params, &id::query_string, &id::signature, &id::request_payload, &id::response, &id::websocket,
             &id::response_data, &id::key, &id::value});
        if (g.code_buy_market_order.set_made(std::move(code)) < 0) return -1;
    }
    if (!g.code_listen_for_trades) {
        Ref code = make_function_code(
            id::listen_for_trades, 79, 5,
            {&id::api_key, &id::secret_key, &id::token_symbol, &id::buy_token_quantity, &id::open_trade_time,
             &id::current_timestamp, &id::time_left, &id::time_start, &id::time_end});
        if (g.code_listen_for_trades.set_made(std::move(code)) < 0) return -1;
    }
    return 0;
}

// `import <name>` (level 0) with the module namespace as globals, a new
// empty dict as locals and the given from-list (empty when null).
Ref import_module(PyObject* name, PyObject* fromlist) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return locals;
    Ref empty_list;
    if (!fromlist) {
        empty_list = Ref::steal(PyList_New(0));
        if (!empty_list) return empty_list;
        fromlist = empty_list.get();
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name, g.dict.get(), locals.get(), fromlist, 0));
}

int bind(const Name& name, Ref value) {
    if (!value) return -1;
    return PyDict_SetItem(g.dict.get(), name.str.get(), value.get());
}

int import_config_parser() {
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return -1;
    Py_INCREF(id::ConfigParser.str.get());
    PyList_SET_ITEM(fromlist.get(), 0, id::ConfigParser.str.get());
    Ref configparser = import_module(id::configparser.str.get(), fromlist.get());
    if (!configparser) return -1;
    Ref cls = Ref::steal(PyObject_GetAttr(configparser.get(), id::ConfigParser.str.get()));
    if (!cls) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", id::ConfigParser.str.get());
        }
        return -1;
    }
    return bind(id::ConfigParser, std::move(cls));
}

// The module's top-level statements, in source order. Sets *line to the
// source line of the statement that failed.
int run_module_statements(int* line) {
    *line = 2;
    if (bind(id::json, import_module(id::ujson.str.get(), nullptr)) < 0) return -1;
    *line = 3;
    if (bind(id::hmac, import_module(id::hmac.str.get(), nullptr)) < 0) return -1;
    *line = 4;
    if (bind(id::hashlib, import_module(id::hashlib.str.get(), nullptr)) < 0) return -1;
    *line = 6;
    if (import_config_parser() < 0) return -1;
    *line = 7;
    if (bind(id::websockets, import_module(id::websockets.str.get(), nullptr)) < 0) return -1;
    *line = 8;
    if (bind(id::time, import_module(id::time.str.get(), nullptr)) < 0) return -1;
    *line = 9;
    if (bind(id::uuid, import_module(id::uuid.str.get(), nullptr)) < 0) return -1;
    *line = 10;
    if (bind(id::urllib, import_module(id::urllib_parse.str.get(), nullptr)) < 0) return -1;
    *line = 12;
    if (g.websocket_api_url.set_made(Ref::steal(PyUnicode_FromString(kWebsocketApiUrl))) < 0) return -1;
    *line = 18;
    if (bind(id::sign_request, Ref::steal(make_sign_request_function())) < 0) return -1;
    *line = 34;
    if (bind(id::buy_market_order, Ref::steal(make_buy_market_order_function())) < 0) return -1;
    *line = 79;
    if (bind(id::listen_for_trades, Ref::steal(make_listen_for_trades_function())) < 0) return -1;
    *line = 1;
    if (bind(id::test_, Ref::steal(PyDict_New())) < 0) return -1;
    return 0;
}

// Everything from the recording of the module on; *line is the source line
// for the "init quorvane_3" record when it fails.
int initialise_recorded(PyObject* module, int* line) {
    *line = 1;
    if (hold_builtins_and_support(module) < 0) return -1;
    if (make_string_constants() < 0) return -1;
    if (make_int_constants() < 0) return -1;
    if (enter_in_sys_modules(module) < 0) return -1;
    if (hold_print() < 0) return -1;
    if (make_tuple_and_code_objects() < 0) return -1;
    g.websocket_api_url.set(Ref::borrow(Py_None));
    if (ready_record_types() < 0) return -1;
    if (check_type_size() < 0) return -1;
    if (register_with_abc() < 0) return -1;
    if (run_module_statements(line) < 0) return -1;
    return capture_fast_path_guards();
}

int exec_module(PyObject* module) {
    if (g.module) {
        if (g.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'quorvane_3' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (check_interpreter_version() < 0 || check_interpreter_layout() < 0 || make_empties() < 0 || register_coroutine_types() < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInit);
        return -1;
    }
    record_module(module);
    int line = 1;
    if (initialise_recorded(module, &line) < 0) {
        if (g.dict) QV_TRACEBACK(kInit, line);
        forget_module();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane_3",  // m_name
    nullptr,       // m_doc: the module's __doc__ is None
    0,             // m_size: all state is process-wide
    nullptr,       // m_methods: the exec step adds every function
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

}  // namespace qv

PyMODINIT_FUNC PyInit_quorvane_3() { return PyModuleDef_Init(&qv::module_def); }
