#include "module/shared_ops.h"

#include <algorithm>
#include <cstring>

namespace qv {

Ref lookup_special(PyObject* obj, const Name& name) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* found = _PyType_Lookup(type, name.str.get());  // borrowed
    if (!found) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name.str.get());
        return Ref();
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get) return Ref::steal(get(found, obj, reinterpret_cast<PyObject*>(type)));
    return Ref::borrow(found);
}

void raise_exception(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
        return;
    }
    if (value == Py_None) value = nullptr;

    Ref owned_value;
    if (PyExceptionInstance_Check(type)) {
        if (value) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return;
        }
        value = type;
        type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    } else if (PyExceptionClass_Check(type)) {
        PyObject* instance_class = nullptr;
        if (value && PyExceptionInstance_Check(value)) {
            instance_class = reinterpret_cast<PyObject*>(Py_TYPE(value));
            if (instance_class != type) {
                int is_subclass = PyObject_IsSubclass(instance_class, type);
                if (is_subclass < 0) return;
                if (is_subclass) type = instance_class;
                else instance_class = nullptr;
            }
        }
        if (!instance_class) {
            Ref args;
            if (!value) args = g.empty_tuple ? g.empty_tuple.ref() : Ref::steal(PyTuple_New(0));
            else if (PyTuple_Check(value)) args = Ref::borrow(value);
            else args = Ref::steal(PyTuple_Pack(1, value));
            if (!args) return;
            owned_value = Ref::steal(PyObject_Call(type, args.get(), nullptr));
            if (!owned_value) return;
            value = owned_value.get();
            if (!PyExceptionInstance_Check(value)) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %R", type,
                             reinterpret_cast<PyObject*>(Py_TYPE(value)));
                return;
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
        return;
    }

    PyErr_SetObject(type, value);
    if (tb) {
        PyObject *t, *v, *old_tb;
        PyErr_Fetch(&t, &v, &old_tb);
        Py_INCREF(tb);
        Py_XDECREF(old_tb);
        PyErr_Restore(t, v, tb);
    }
}

int finish_iteration() {
    PyObject* pending = PyErr_Occurred();
    if (!pending) return 0;
    if (PyErr_GivenExceptionMatches(pending, PyExc_StopIteration)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

Ref take_stop_iteration_value() {
    PyObject* pending = PyErr_Occurred();
    if (!pending) return Ref::borrow(Py_None);

    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    if (et == PyExc_StopIteration) {
        Ref value;
        if (!ev) value = Ref::borrow(Py_None);
        else if (Py_TYPE(ev) == reinterpret_cast<PyTypeObject*>(PyExc_StopIteration)) {
            PyObject* v = reinterpret_cast<PyStopIterationObject*>(ev)->value;
            value = Ref::borrow(v ? v : Py_None);
        } else if (PyTuple_Check(ev)) {
            value = Ref::borrow(PyTuple_GET_SIZE(ev) ? PyTuple_GET_ITEM(ev, 0) : Py_None);
        } else if (!PyObject_TypeCheck(ev, reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
            value = Ref::borrow(ev);
        }
        if (value) {
            Py_XDECREF(et);
            Py_XDECREF(ev);
            Py_XDECREF(tb);
            return value;
        }
    } else if (!PyErr_GivenExceptionMatches(et, PyExc_StopIteration)) {
        PyErr_Restore(et, ev, tb);
        return Ref();
    }
    PyErr_NormalizeException(&et, &ev, &tb);
    if (!ev || !PyObject_TypeCheck(ev, reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
        PyErr_Restore(et, ev, tb);
        return Ref();
    }
    PyObject* v = reinterpret_cast<PyStopIterationObject*>(ev)->value;
    Ref value = Ref::borrow(v ? v : Py_None);
    Py_XDECREF(et);
    Py_XDECREF(ev);
    Py_XDECREF(tb);
    return value;
}

Ref join3(PyObject* a, PyObject* b, PyObject* c) {
    PyObject* pieces[3] = {a, b, c};
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0;
    for (PyObject* p : pieces) {
        if (PyUnicode_READY(p) < 0) return Ref();
        Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (total > PY_SSIZE_T_MAX - len) {
            PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
            return Ref();
        }
        total += len;
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(p));
    }
    Ref result = Ref::steal(PyUnicode_New(total, maxchar));
    if (!result) return result;
    int kind = PyUnicode_KIND(result.get());
    char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
    Py_ssize_t at = 0;
    for (PyObject* p : pieces) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(p);
        if (PyUnicode_KIND(p) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(p), static_cast<size_t>(len) * kind);
        } else if (PyUnicode_CopyCharacters(result.get(), at, p, 0, len) < 0) {
            return Ref();
        }
        at += len;
    }
    return result;
}

}  // namespace qv
