#include "module/traceback.h"

#include "module/code_cache.h"
#include "module/constants.h"

#include <frameobject.h>

#include <cstring>

namespace qv {

namespace {

// Process-wide, never emptied. Keys combine the source line (or the negative
// implementation line while the implementation-line option is on) with the
// function name, so that two functions failing at the same line number (an
// entry and its coroutine body share their def line) never show each
// other's name. With the option on they also carry the source line and the
// implementation file: a cached code object fixes the line that a record
// shows, so a key must never stand for two source lines (a shared exit of a
// body records many) nor for two files. Repeated failures of one statement
// still share one code object.
// The cache owns one reference to each code object in it, for the life of
// the process (a replaced one is released on insertion).
SortedCache<PyObject*> code_cache;

struct Origin {
    const char* funcname;
    const char* c_file;  // null while the option is off
};
constexpr int kMaxOrigins = 64;
Origin origins[kMaxOrigins];
int origin_count = 0;

bool same_text(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }

// A small number standing for the function name and file (both are few and
// fixed).
int origin_number(const char* funcname, const char* c_file) {
    for (int i = 0; i < origin_count; ++i) {
        if (same_text(origins[i].funcname, funcname) && same_text(origins[i].c_file, c_file)) return i;
    }
    if (origin_count == kMaxOrigins) return kMaxOrigins;  // shares one slot; never reached
    origins[origin_count] = Origin{funcname, c_file};
    return origin_count++;
}

long long cache_key(const char* funcname, const char* c_file, int c_line, int py_line) {
    // Both kinds of line stay far below 2^20.
    constexpr long long kLines = 1LL << 20;
    long long where = c_line ? -(c_line * kLines + py_line) : py_line;
    return where * (kMaxOrigins + 1) + origin_number(funcname, c_line ? c_file : nullptr);
}

// Reads cline_in_traceback from the support module; the caller has set the
// pending exception aside. A missing attribute is created as False.
bool implementation_lines_wanted() {
    PyObject* support = g.support_module.get();
    PyObject* name = id::cline_in_traceback.str.get();
    if (!name) return false;  // start-up failed before making its names
    Ref value;
    PyObject** dictptr = _PyObject_GetDictPtr(support);
    if (dictptr && *dictptr) {
        value = Ref::borrow(_PyDict_GetItem_KnownHash(*dictptr, name, id::cline_in_traceback.hash));
        PyErr_Clear();
    } else {
        value = Ref::steal(PyObject_GetAttr(support, name));
        if (!value) PyErr_Clear();
    }
    if (!value) {
        if (PyObject_SetAttr(support, name, Py_False) < 0) PyErr_Clear();
        return false;
    }
    if (value.get() == Py_False) return false;
    if (value.get() == Py_True) return true;
    int is_false = PyObject_Not(value.get());
    if (is_false != 0) {
        PyErr_Clear();  // a failed truth test counts as off
        return false;
    }
    return true;
}

// The cached code object for key, or a new one inserted into the cache.
// Null with the new error pending when it cannot be made.
Ref code_for(long long key, const char* funcname, const char* c_file, int c_line, int py_line) {
    if (PyObject* cached = code_cache.find(key)) return Ref::borrow(cached);

    SavedError pending;
    char qualified[512];
    const char* name = funcname;
    if (c_line) {
        PyOS_snprintf(qualified, sizeof qualified, "%s (%s:%d)", funcname, c_file, c_line);
        name = qualified;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, name, py_line)));
    if (!code) {
        pending.discard();  // the code object's error replaces the pending one
        return Ref();
    }
    PyObject* replaced = code_cache.insert(key, code.get());
    if (replaced != code.get()) {
        Py_INCREF(code.get());  // the cache's own reference
        Py_XDECREF(replaced);
    }
    return code;
}

}  // namespace

void add_traceback_at(const char* funcname, const char* c_file, int c_line, int py_line) {
    if (c_line && g.support_module.get()) {
        SavedError pending;
        if (!implementation_lines_wanted()) c_line = 0;
    }
    long long key = cache_key(funcname, c_file, c_line, py_line);
    Ref code = code_for(key, funcname, c_file, c_line, py_line);
    if (!code) return;

    PyThreadState* tstate = PyThreadState_Get();
    PyFrameObject* frame;
    {
        SavedError pending;
        frame = PyFrame_New(tstate, reinterpret_cast<PyCodeObject*>(code.get()), g.dict.get(), nullptr);
        if (!frame) {
            PyErr_Clear();  // no frame: the record is skipped
            return;
        }
    }
    frame->f_lineno = py_line;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

void add_traceback(const char* funcname, int c_line, int py_line) {
    add_traceback_at(funcname, __FILE__, c_line, py_line);
}

int code_cache_size() { return code_cache.size(); }

}  // namespace qv
