// The coroutine state machine: the resume routine that is the only way into
// a body, and send, next, throw and close, which either forward to the
// awaited object or funnel into resume.
#include "coroutine/coroutine.h"

#include "module/constants.h"
#include "module/shared_ops.h"

#include <frameobject.h>

#include <cstring>

namespace qv {

namespace {

PyObject* already_executing() {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
}

// send and throw report a body that ended without an exception as
// StopIteration; next does not (an exhausted iterator is silent).
PyObject* completed(PyObject* result) {
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// While the body runs, a traceback held in the saved exception state
// continues into the caller's frame, as it would for a native frame. Only a
// frame without a back-link of its own is linked; the returned reference
// lets the caller undo exactly this link afterwards.
Ref link_saved_traceback(Coroutine* self, PyThreadState* tstate) {
    _PyErr_StackItem& saved = self->exc_state;
    if (!saved.exc_type || !saved.exc_traceback || !PyTraceBack_Check(saved.exc_traceback)) return Ref();
    PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(saved.exc_traceback)->tb_frame;
    if (!frame || frame->f_back) return Ref();
    Py_XINCREF(tstate->frame);
    frame->f_back = tstate->frame;
    return Ref::borrow(reinterpret_cast<PyObject*>(frame));
}

void unlink_saved_traceback(const Ref& linked, PyThreadState* tstate) {
    if (!linked) return;
    auto* frame = reinterpret_cast<PyFrameObject*>(linked.get());
    if (frame->f_back == tstate->frame) Py_CLEAR(frame->f_back);
}

// The awaited object finished or failed: the body resumes at its await
// point with the StopIteration's value, or with nothing and the failure
// pending.
PyObject* finish_delegation(Coroutine* self) {
    self->awaited.clear();
    Ref value = take_stop_iteration_value();
    return coroutine_resume(self, value.get(), false);
}

PyObject* forward_send(PyObject* awaited, PyObject* value) {
    if (is_coroutine(awaited)) return coroutine_send(reinterpret_cast<Coroutine*>(awaited), value);
    if (PyGen_CheckExact(awaited) || PyCoro_CheckExact(awaited)) {
        return _PyGen_Send(reinterpret_cast<PyGenObject*>(awaited), value == Py_None ? nullptr : value);
    }
    if (value == Py_None) return Py_TYPE(awaited)->tp_iternext(awaited);
    return call_method1(awaited, id::send, value).release();
}

PyObject* forward_next(PyObject* awaited) {
    if (PyGen_CheckExact(awaited)) return _PyGen_Send(reinterpret_cast<PyGenObject*>(awaited), nullptr);
    if (is_coroutine(awaited)) return coroutine_send(reinterpret_cast<Coroutine*>(awaited), Py_None);
    return Py_TYPE(awaited)->tp_iternext(awaited);
}

// How a forwarded throw went when it gave no value.
enum class ThrowForward {
    Done,            // the awaited object finished or failed
    NoThrowMethod,   // it has no `throw`: the exception goes into the body
    LookupFailed,    // looking `throw` up failed otherwise: that is the result
};

PyObject* forward_throw(PyObject* awaited, PyObject* typ, PyObject* val, PyObject* tb, PyObject* args,
                        ThrowForward* outcome) {
    *outcome = ThrowForward::Done;
    if (is_coroutine(awaited)) {
        return coroutine_throw(reinterpret_cast<Coroutine*>(awaited), typ, val, tb, args);
    }
    if (is_wrapper(awaited)) {
        if (Coroutine* target = wrapped_coroutine(awaited)) {
            return coroutine_throw(target, typ, val, tb, args);
        }
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    PyObject* found = nullptr;
    int looked_up = _PyObject_LookupAttr(awaited, id::throw_.str.get(), &found);
    Ref method = Ref::steal(found);
    if (looked_up <= 0) {
        *outcome = looked_up == 0 ? ThrowForward::NoThrowMethod : ThrowForward::LookupFailed;
        return nullptr;
    }
    Ref owned_args;
    if (!args) {
        // Called from C without a Python argument tuple: rebuild one.
        owned_args = Ref::steal(!val ? PyTuple_Pack(1, typ)
                                     : !tb ? PyTuple_Pack(2, typ, val) : PyTuple_Pack(3, typ, val, tb));
        if (!owned_args) return nullptr;
        args = owned_args.get();
    }
    return PyObject_CallObject(method.get(), args);
}

int close_awaited_object(PyObject* awaited) {
    if (is_coroutine(awaited) || is_wrapper(awaited)) {
        Coroutine* target = is_coroutine(awaited) ? reinterpret_cast<Coroutine*>(awaited) : wrapped_coroutine(awaited);
        if (!target) return 0;  // a wrapper emptied by the collector
        Ref result = Ref::steal(coroutine_close(target));
        return result ? 0 : -1;
    }
    PyObject* found = nullptr;
    int looked_up = _PyObject_LookupAttr(awaited, id::close.str.get(), &found);
    Ref method = Ref::steal(found);
    if (looked_up <= 0) {
        // An object without `close` has nothing to close; any other lookup
        // failure is reported and closing goes on.
        if (looked_up < 0) PyErr_WriteUnraisable(awaited);
        return 0;
    }
    return call0(method.get()) ? 0 : -1;
}

// Closes the object `self` delegates to. 0, or -1 with its failure pending.
// `self` counts as running throughout, whatever the awaited object is: code
// run by that close (a body catching GeneratorExit and awaiting again) must
// not drive `self` on, or `self` could finish inside its own close.
int close_awaited(Coroutine* self, PyObject* awaited) {
    self->running = 1;
    int err = close_awaited_object(awaited);
    self->running = 0;
    return err;
}

// The exception given to throw goes into the body at its await point (or
// at its start, for a coroutine that never ran).
PyObject* throw_into_body(Coroutine* self, PyObject* typ, PyObject* val, PyObject* tb) {
    raise_exception(typ, val, tb);
    return completed(coroutine_resume(self, nullptr, false));
}

}  // namespace

PyObject* coroutine_resume(Coroutine* self, PyObject* value, bool closing) {
    if (self->resume_label == 0 && value && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return nullptr;
    }
    if (self->resume_label == -1) {
        if (!closing) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }

    PyThreadState* tstate = PyThreadState_Get();
    Ref linked = link_saved_traceback(self, tstate);

    // The body's handled exception sits on the thread's stack while it runs.
    self->exc_state.previous_item = tstate->exc_info;
    tstate->exc_info = &self->exc_state;

    self->running = 1;
    PyObject* result = self->body(self, tstate, value);
    self->running = 0;

    tstate->exc_info = self->exc_state.previous_item;
    self->exc_state.previous_item = nullptr;

    unlink_saved_traceback(linked, tstate);
    return result;
}

PyObject* coroutine_send(Coroutine* self, PyObject* value) {
    if (self->running) return already_executing();
    PyObject* result;
    if (self->awaited) {
        Ref awaited = self->awaited.ref();
        self->running = 1;
        PyObject* forwarded = forward_send(awaited.get(), value);
        self->running = 0;
        if (forwarded) return forwarded;
        result = finish_delegation(self);
    } else {
        result = coroutine_resume(self, value, false);
    }
    return completed(result);
}

PyObject* coroutine_next(Coroutine* self) {
    if (self->running) return already_executing();
    if (!self->awaited) return coroutine_resume(self, Py_None, false);
    Ref awaited = self->awaited.ref();
    self->running = 1;
    PyObject* forwarded = forward_next(awaited.get());
    self->running = 0;
    if (forwarded) return forwarded;
    return finish_delegation(self);
}

PyObject* coroutine_throw(Coroutine* self, PyObject* typ, PyObject* val, PyObject* tb, PyObject* args) {
    if (self->running) return already_executing();
    if (!self->awaited) return throw_into_body(self, typ, val, tb);

    Ref awaited = self->awaited.ref();
    if (exception_matches(typ, PyExc_GeneratorExit)) {
        // Closing: the awaited object is closed first, then GeneratorExit
        // (or the failure of that close) reaches the body.
        int err = close_awaited(self, awaited.get());
        awaited.reset();
        self->awaited.clear();
        if (err < 0) return completed(coroutine_resume(self, nullptr, false));
        return throw_into_body(self, typ, val, tb);
    }

    ThrowForward outcome;
    self->running = 1;
    PyObject* forwarded = forward_throw(awaited.get(), typ, val, tb, args, &outcome);
    self->running = 0;
    awaited.reset();
    if (forwarded) return forwarded;
    switch (outcome) {
        case ThrowForward::LookupFailed:
            return nullptr;  // still suspended, still delegating
        case ThrowForward::NoThrowMethod:
            self->awaited.clear();
            return throw_into_body(self, typ, val, tb);
        case ThrowForward::Done:
            break;
    }
    return completed(finish_delegation(self));
}

PyObject* coroutine_close(Coroutine* self) {
    if (self->running) return already_executing();
    int err = 0;
    if (self->awaited) {
        Ref awaited = self->awaited.ref();
        err = close_awaited(self, awaited.get());
        self->awaited.clear();
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    if (self->resume_label != -1) {
        PyObject* result = coroutine_resume(self, nullptr, true);
        if (result) {
            Py_DECREF(result);
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        }
    }
    if (PyObject* pending = PyErr_Occurred()) {
        if (!exception_matches(pending, PyExc_GeneratorExit) && !exception_matches(pending, PyExc_StopIteration)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

void coroutine_clear(Coroutine* self) {
    self->closure.clear();
    self->awaited.clear();
    Py_CLEAR(self->exc_state.exc_type);
    Py_CLEAR(self->exc_state.exc_value);
    Py_CLEAR(self->exc_state.exc_traceback);
    self->code.clear();
    self->frame.clear();
    self->name.clear();
    self->qualname.clear();
    self->module_name.clear();
}

PyObject* coroutine_new(BodyFn body, PyObject* closure, PyObject* name, PyObject* code) {
    Coroutine* self = PyObject_GC_New(Coroutine, coroutine_type);
    if (!self) return nullptr;
    // The collector's allocation leaves the fields unset: zeroed, every Slot
    // is empty and can be stored into.
    std::memset(reinterpret_cast<char*>(self) + sizeof(PyObject), 0, sizeof(Coroutine) - sizeof(PyObject));
    self->body = body;
    self->closure.set(Ref::borrow(closure));
    self->running = 0;
    self->resume_label = 0;
    self->qualname.set(Ref::borrow(name));
    self->name.set(Ref::borrow(name));
    self->module_name.set(Ref::borrow(id::quorvane_3.str.get()));
    self->code.set(Ref::borrow(code));
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace qv
