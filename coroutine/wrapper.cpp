// The type "coroutine_wrapper": what a coroutine's await slot returns. It
// is the iterator through which native code (and `await` in Python) drives
// the coroutine; every step goes to the wrapped coroutine.
#include "coroutine/coroutine.h"

namespace qv {

PyTypeObject* wrapper_type = nullptr;

namespace {

Coroutine* wrapped(PyObject* self) { return wrapped_coroutine(self); }

// Only the collector's clear, on a wrapper that is about to go away, leaves
// it without a coroutine; a step that reaches it then fails cleanly.
bool has_coroutine(PyObject* self) {
    if (wrapped(self)) return true;
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return false;
}

PyObject* wrapper_next(PyObject* self) {
    return has_coroutine(self) ? coroutine_next(wrapped(self)) : nullptr;
}

PyObject* wrapper_send(PyObject* self, PyObject* value) {
    return has_coroutine(self) ? coroutine_send(wrapped(self), value) : nullptr;
}

PyObject* wrapper_throw(PyObject* self, PyObject* args) {
    PyObject* typ;
    PyObject* val = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    if (!has_coroutine(self)) return nullptr;
    return coroutine_throw(wrapped(self), typ, val, tb, args);
}

PyObject* wrapper_close(PyObject* self, PyObject*) {
    if (!wrapped(self)) Py_RETURN_NONE;
    return coroutine_close(wrapped(self));
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", wrapper_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise StopIteration."},
    {"close", wrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

// Wrappers come only from the await slot.
PyObject* wrapper_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
    return nullptr;
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(wrapped(self));
    return 0;
}

int wrapper_clear(PyObject* self) {
    reinterpret_cast<CoroutineWrapper*>(self)->coroutine.clear();
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    reinterpret_cast<CoroutineWrapper*>(self)->coroutine.clear();
    PyObject_GC_Del(self);
}

}  // namespace

PyTypeObject CoroutineWrapperType = {
    .ob_base = {.ob_base = {.ob_refcnt = 1, .ob_type = nullptr}, .ob_size = 0},
    .tp_name = "coroutine_wrapper",
    .tp_basicsize = sizeof(CoroutineWrapper),
    .tp_itemsize = 0,
    .tp_dealloc = wrapper_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "A wrapper object implementing __await__ for coroutines.",
    .tp_traverse = wrapper_traverse,
    .tp_clear = wrapper_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = wrapper_next,
    .tp_methods = wrapper_methods,
    .tp_new = wrapper_new,
};

}  // namespace qv
