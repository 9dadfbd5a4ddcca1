// The module's own coroutine type ("coroutine") and the wrapper type that
// its await slot returns ("coroutine_wrapper").
#pragma once

#include "module/ref.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qv {

struct Coroutine;

// The resumable body of a coroutine function. Called only by the resume
// step, as body(coroutine, thread state, sent value or null when an
// exception is pending). Returns a new reference to the value to hand out at
// a suspension, or null when the body finished (StopIteration pending) or
// failed (its exception pending).
using BodyFn = PyObject* (*)(Coroutine* self, PyThreadState* tstate, PyObject* sent);

// Ownership: every Slot is a strong reference the coroutine owns (released
// by coroutine_clear). exc_state is the interpreter's own record of a handled
// exception: its type, value and traceback are owned as well, and its
// previous_item is a borrowed link that is set only while the body runs.
// weakreflist is no reference at all: the interpreter keeps the weak
// references to the coroutine there.
struct Coroutine {
    PyObject_HEAD
    BodyFn body;
    Slot closure;                 // the call's closure record; the only reference
    _PyErr_StackItem exc_state;   // exception being handled inside the body
    PyObject* weakreflist;        // not a reference (see above)
    Slot awaited;                 // cr_await: the iterator delegated to
    Slot name;                    // __name__
    Slot qualname;                // __qualname__
    Slot module_name;             // __module__
    Slot code;                    // cr_code
    Slot frame;                   // cr_frame, made on first read
    int32_t resume_label;         // 0 not started, N suspended at await N, -1 finished
    char running;                 // cr_running
};

// What a coroutine's await slot returns: the iterator that drives it. It
// owns its coroutine (emptied only by the collector's clear).
struct CoroutineWrapper {
    PyObject_HEAD
    Slot coroutine;               // a Coroutine
};

// Fields that the member table reads through offsetof must keep the
// pointer's layout, and the coroutine type shared between modules built
// with this runtime is checked by its size only.
static_assert(std::is_standard_layout_v<Coroutine> && std::is_standard_layout_v<CoroutineWrapper>);
static_assert(offsetof(Coroutine, resume_label) ==
              sizeof(PyObject) + sizeof(BodyFn) + sizeof(_PyErr_StackItem) + 8 * sizeof(PyObject*));
static_assert(sizeof(CoroutineWrapper) == sizeof(PyObject) + sizeof(PyObject*));

// This build's own type objects. Start-up registration decides whether they
// are the ones in use or another module's copies are (see registration.h).
extern PyTypeObject CoroutineType;
extern PyTypeObject CoroutineWrapperType;

// The types in use after start-up registration (possibly shared with other
// modules built with this runtime version).
extern PyTypeObject* coroutine_type;
extern PyTypeObject* wrapper_type;

inline bool is_coroutine(PyObject* o) { return Py_TYPE(o) == coroutine_type; }
inline bool is_wrapper(PyObject* o) { return Py_TYPE(o) == wrapper_type; }

// The coroutine a wrapper drives (borrowed; null once the collector emptied it).
inline Coroutine* wrapped_coroutine(PyObject* wrapper) {
    return reinterpret_cast<Coroutine*>(reinterpret_cast<CoroutineWrapper*>(wrapper)->coroutine.get());
}

// The await slot: a new wrapper for a coroutine of the type in use.
PyObject* coroutine_await(PyObject* self);

// The core resume routine that send, next, throw and close all go through.
PyObject* coroutine_resume(Coroutine* self, PyObject* value, bool closing);
// Python-level operations; new reference or null.
PyObject* coroutine_send(Coroutine* self, PyObject* value);
PyObject* coroutine_next(Coroutine* self);
PyObject* coroutine_throw(Coroutine* self, PyObject* typ, PyObject* val, PyObject* tb, PyObject* args);
PyObject* coroutine_close(Coroutine* self);
// Releases closure record, awaited object, saved exception, code, frame and
// names (deallocation, and every body when it finishes).
void coroutine_clear(Coroutine* self);

// Allocates and fills a coroutine object (no constructor runs); takes a new
// reference to `closure`. Null with an exception on failure.
PyObject* coroutine_new(BodyFn body, PyObject* closure, PyObject* name, PyObject* code);

}  // namespace qv
