// What the two coroutine bodies share: suspending at an await point,
// finishing, reading an await's result, and the handled-exception stack.
#pragma once

#include "coroutine/coroutine.h"
#include "module/shared_ops.h"

namespace qv {

// The body suspends at await point `label`, handing out `value`.
inline PyObject* suspend_at(Coroutine* self, int label, PyObject* value) {
    Py_CLEAR(self->exc_state.exc_type);
    Py_CLEAR(self->exc_state.exc_value);
    Py_CLEAR(self->exc_state.exc_traceback);
    self->resume_label = label;
    return value;
}

// A StopIteration leaving a body as its failure would read, to whoever
// drives the coroutine, as the coroutine returning: an order whose
// connection raised StopIteration would look placed. As a native coroutine
// does, it becomes RuntimeError "coroutine raised StopIteration", with the
// StopIteration as its cause.
void replace_escaping_stop_iteration();

// The body ends: StopIteration for a normal end (its exception pending
// otherwise), finished label, closure record and the rest released.
inline PyObject* finish_body(Coroutine* self, bool returned) {
    if (returned) PyErr_SetNone(PyExc_StopIteration);
    else if (PyErr_ExceptionMatches(PyExc_StopIteration)) replace_escaping_stop_iteration();
    self->resume_label = -1;
    coroutine_clear(self);
    return nullptr;
}

// The body returns `value` (the StopIteration is made here; a body whose
// value cannot be wrapped fails with that error instead).
inline PyObject* finish_body_returning(Coroutine* self, PyObject* value) {
    Ref stop = call1(PyExc_StopIteration, value);
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    self->resume_label = -1;
    coroutine_clear(self);
    return nullptr;
}

// The result of an await that did not suspend (await_step gave null): None
// when nothing is pending, the StopIteration's value, or null for a failure.
inline Ref finished_await_result() {
    PyObject* pending = PyErr_Occurred();
    if (!pending) return Ref::borrow(Py_None);
    if (pending != PyExc_GeneratorExit && PyErr_GivenExceptionMatches(pending, PyExc_StopIteration)) {
        return take_stop_iteration_value();
    }
    return Ref();
}

// An exception triple held by the body.
struct ExcTriple {
    Ref type, value, traceback;
};

// The exception that sys.exc_info() would report now (new references).
ExcTriple current_handled_exception(PyThreadState* tstate);

// Makes `exc` the handled exception of the running frame (the coroutine's
// own entry of the thread's handled-exception stack); takes the references.
void set_handled_exception(PyThreadState* tstate, ExcTriple exc);

// Takes the pending exception, normalised, with its traceback attached to the
// value, and makes a copy of it the handled exception. Returns the triple.
ExcTriple take_pending_as_handled(PyThreadState* tstate);

}  // namespace qv
