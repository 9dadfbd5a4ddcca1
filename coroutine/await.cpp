// The await step: how a body starts awaiting an object, and how an arbitrary
// awaitable becomes the iterator that the coroutine then delegates to.
#include "coroutine/await.h"

#include "module/constants.h"

namespace qv {

namespace {

bool is_iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    PyObject* code = reinterpret_cast<PyGenObject*>(o)->gi_code;
    return code && (reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE);
}

// The object's __await__ (its await slot, or a method of that name),
// called. Null with an exception when there is none or it raised.
Ref call_await(PyObject* awaitable, bool* raised) {
    PyTypeObject* type = Py_TYPE(awaitable);
    if (type->tp_as_async && type->tp_as_async->am_await) {
        Ref res = Ref::steal(type->tp_as_async->am_await(awaitable));
        *raised = !res;
        return res;
    }
    Ref method = Ref::steal(PyObject_GetAttr(awaitable, id::await_.str.get()));
    if (!method) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
        return Ref();
    }
    Ref res = Ref::steal(PyObject_CallNoArgs(method.get()));
    *raised = !res;
    return res;
}

bool is_iterator(PyObject* o) {
    iternextfunc next = Py_TYPE(o)->tp_iternext;
    return next && next != &_PyObject_NextNotImplemented;
}

}  // namespace

PyObject* awaitable_iterator(PyObject* awaitable) {
    PyTypeObject* type = Py_TYPE(awaitable);
    if (!(type->tp_as_async && type->tp_as_async->am_await) && is_iterable_coroutine(awaitable)) {
        Py_INCREF(awaitable);
        return awaitable;
    }
    bool raised = false;
    Ref res = call_await(awaitable, &raised);
    if (!res) {
        if (raised) {
            // The failure is reported as the await's, with __await__'s own
            // exception as its cause.
            _PyErr_FormatFromCause(PyExc_TypeError, "__await__() of '%.100s' object raised an exception",
                                   type->tp_name);
        }
        return nullptr;
    }
    if (!is_iterator(res.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(res.get())->tp_name);
        return nullptr;
    }
    return res.release();
}

PyObject* await_step(Coroutine* self, PyObject* awaitable) {
    if (is_coroutine(awaitable)) {
        auto* other = reinterpret_cast<Coroutine*>(awaitable);
        if (other->awaited) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        PyObject* value = coroutine_next(other);
        if (value) self->awaited.set(Ref::borrow(awaitable));
        return value;
    }
    Ref iterator = Ref::steal(awaitable_iterator(awaitable));
    if (!iterator) return nullptr;
    PyObject* value = Py_TYPE(iterator.get())->tp_iternext(iterator.get());
    if (value) self->awaited.set(std::move(iterator));
    return value;
}

}  // namespace qv
