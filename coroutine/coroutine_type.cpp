// The type "coroutine" as Python sees it: its methods, members and
// properties, the await slot, and its life cycle with the collector
// (finaliser, deallocation, traversal).
#include "coroutine/coroutine.h"

#include "module/constants.h"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace qv {

PyTypeObject* coroutine_type = nullptr;

namespace {

Coroutine* as_coroutine(PyObject* o) { return reinterpret_cast<Coroutine*>(o); }

PyObject* new_ref_or_none(PyObject* o) {
    PyObject* result = o ? o : Py_None;
    Py_INCREF(result);
    return result;
}

// ------------------------------------------------------------------ methods

PyObject* send_method(PyObject* self, PyObject* value) { return coroutine_send(as_coroutine(self), value); }

PyObject* throw_method(PyObject* self, PyObject* args) {
    PyObject* typ;
    PyObject* val = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    return coroutine_throw(as_coroutine(self), typ, val, tb, args);
}

PyObject* close_method(PyObject* self, PyObject*) { return coroutine_close(as_coroutine(self)); }

PyMethodDef coroutine_methods[] = {
    {"send", send_method, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", throw_method, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", close_method, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------------ members

PyMemberDef coroutine_members[] = {
    {"cr_running", T_BOOL, offsetof(Coroutine, running), READONLY, nullptr},
    {"cr_await", T_OBJECT, offsetof(Coroutine, awaited), READONLY, "object being awaited, or None"},
    {"cr_code", T_OBJECT, offsetof(Coroutine, code), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Coroutine, module_name), PY_WRITE_RESTRICTED, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// --------------------------------------------------------------- properties

PyObject* get_name(PyObject* self, void*) { return new_ref_or_none(as_coroutine(self)->name.get()); }
PyObject* get_qualname(PyObject* self, void*) { return new_ref_or_none(as_coroutine(self)->qualname.get()); }

// Names are always str: anything else, deletion included, is refused.
int set_str_field(Slot& field, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    field.set(Ref::borrow(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_coroutine(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_coroutine(self)->qualname, value, "__qualname__ must be set to a string object");
}

// A frame of the function's code object, made on first read and cached. It
// never runs, so it has no caller: the back-link that PyFrame_New gives it
// is dropped. Kept, that link would tie the reader's frame (often one whose
// locals hold this coroutine) to a reference the collector cannot see.
PyObject* get_frame(PyObject* o, void*) {
    Coroutine* self = as_coroutine(o);
    if (!self->frame) {
        if (!self->code) Py_RETURN_NONE;
        Ref globals = Ref::borrow(g.dict.get());
        if (!globals) globals = Ref::steal(PyDict_New());
        if (!globals) return nullptr;
        PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(self->code.get()),
                                           globals.get(), nullptr);
        if (!frame) return nullptr;
        Py_CLEAR(frame->f_back);
        self->frame.set(Ref::steal(reinterpret_cast<PyObject*>(frame)));
    }
    return self->frame.ref().release();
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, "name of the coroutine", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the coroutine", nullptr},
    {"cr_frame", get_frame, nullptr, "Frame of the coroutine", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- life cycle

void warn_never_awaited(Coroutine* self) {
    PyObject* o = reinterpret_cast<PyObject*>(self);
    // Out of the collector's sight while warning code runs.
    bool tracked = PyObject_GC_IsTracked(o);
    if (tracked) PyObject_GC_UnTrack(o);
    PyObject* qualname = self->qualname ? self->qualname.get() : Py_None;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", qualname) < 0) {
        PyErr_WriteUnraisable(o);
    }
    if (tracked) PyObject_GC_Track(o);
}

// A coroutine that never ran is only reported; one suspended at an await is
// closed, so that its awaited object and its body can clean up.
void coroutine_finalize(PyObject* o) {
    Coroutine* self = as_coroutine(o);
    if (self->resume_label < 0) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (self->resume_label == 0 && !value) {
        warn_never_awaited(self);
    } else {
        PyObject* result = coroutine_close(self);
        if (result) Py_DECREF(result);
        else if (PyErr_Occurred()) PyErr_WriteUnraisable(o);
    }
    PyErr_Restore(type, value, traceback);
}

void coroutine_dealloc(PyObject* o) {
    Coroutine* self = as_coroutine(o);
    PyObject_GC_UnTrack(o);
    if (self->weakreflist) PyObject_ClearWeakRefs(o);
    if (self->resume_label >= 0) {
        PyObject_GC_Track(o);
        if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
        PyObject_GC_UnTrack(o);
    }
    coroutine_clear(self);
    PyObject_GC_Del(o);
}

// Names, code object and frame cannot lead back to the coroutine and are
// not visited.
int coroutine_traverse(PyObject* o, visitproc visit, void* arg) {
    Coroutine* self = as_coroutine(o);
    Py_VISIT(self->closure.get());
    Py_VISIT(self->awaited.get());
    Py_VISIT(self->exc_state.exc_type);
    Py_VISIT(self->exc_state.exc_value);
    Py_VISIT(self->exc_state.exc_traceback);
    return 0;
}

PyAsyncMethods coroutine_async = {
    .am_await = coroutine_await,
    .am_aiter = nullptr,
    .am_anext = nullptr,
};

}  // namespace

PyObject* coroutine_await(PyObject* self) {
    if (!self || !is_coroutine(self)) {
        PyErr_SetString(PyExc_TypeError, "invalid input, expected coroutine");
        return nullptr;
    }
    CoroutineWrapper* wrapper = PyObject_GC_New(CoroutineWrapper, wrapper_type);
    if (!wrapper) return nullptr;
    // Zeroed first: the collector's allocation leaves the field unset.
    std::memset(reinterpret_cast<char*>(wrapper) + sizeof(PyObject), 0, sizeof(CoroutineWrapper) - sizeof(PyObject));
    wrapper->coroutine.set(Ref::borrow(self));
    PyObject_GC_Track(wrapper);
    return reinterpret_cast<PyObject*>(wrapper);
}

// No constructor, no iteration, no instance dict, not subclassable. The
// attribute lookup is installed by start-up registration before readying.
PyTypeObject CoroutineType = {
    .ob_base = {.ob_base = {.ob_refcnt = 1, .ob_type = nullptr}, .ob_size = 0},
    .tp_name = "coroutine",
    .tp_basicsize = sizeof(Coroutine),
    .tp_itemsize = 0,
    .tp_dealloc = coroutine_dealloc,
    .tp_as_async = &coroutine_async,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE,
    .tp_doc = nullptr,
    .tp_traverse = coroutine_traverse,
    .tp_clear = nullptr,
    .tp_weaklistoffset = offsetof(Coroutine, weakreflist),
    .tp_methods = coroutine_methods,
    .tp_members = coroutine_members,
    .tp_getset = coroutine_getset,
    .tp_finalize = coroutine_finalize,
};

}  // namespace qv
