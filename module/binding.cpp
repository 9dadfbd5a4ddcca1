#include "module/binding.h"

namespace qv {

namespace {

int wrong_count(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
                 "exactly", sig.count, "s", given);
    return -1;
}

// Index of the parameter whose name is `key` (identity first, then equal
// text), or -1.
Py_ssize_t parameter_index(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (sig.params[i]->str.get() == key) return i;
    }
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        PyObject* name = sig.params[i]->str.get();
        if (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(name, key) == 0) {
            return i;
        }
    }
    return -1;
}

// The keywords left over after the by-name lookups: parameters not bound by
// position may be bound again; anything else is an error.
int bind_leftover_keywords(const Signature& sig, PyObject* kwds, Py_ssize_t npositional, Ref* values) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        Py_ssize_t i = parameter_index(sig, key);
        if (i >= npositional) {
            values[i] = Ref::borrow(value);
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return -1;
        }
        if (i >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
            return -1;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return -1;
    }
    return 0;
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* args, PyObject* kwds, Ref* values) {
    const Py_ssize_t k = PyTuple_GET_SIZE(args);
    if (!kwds) {
        if (k != sig.count) return wrong_count(sig, k);
        for (Py_ssize_t i = 0; i < k; ++i) values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
        return 0;
    }
    if (k > sig.count) return wrong_count(sig, k);
    for (Py_ssize_t i = 0; i < k; ++i) values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));

    Py_ssize_t unconsumed = PyDict_GET_SIZE(kwds);
    for (Py_ssize_t i = k; i < sig.count; ++i) {
        const Name& name = *sig.params[i];
        PyObject* value = _PyDict_GetItem_KnownHash(kwds, name.str.get(), name.hash);
        if (!value) {
            if (PyErr_Occurred()) return -1;
            return wrong_count(sig, i);
        }
        values[i] = Ref::borrow(value);
        --unconsumed;
    }
    if (unconsumed > 0) return bind_leftover_keywords(sig, kwds, k, values);
    return 0;
}

int check_str_arguments(const Signature& sig, const Ref* values, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* v = values[i].get();
        if (v == Py_None || PyUnicode_CheckExact(v)) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     PyUnicode_AsUTF8(sig.params[i]->str.get()), "str", Py_TYPE(v)->tp_name);
        return -1;
    }
    return 0;
}

}  // namespace qv
