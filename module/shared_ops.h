// Small operations that the function bodies and the coroutine machinery
// share. Each follows the module's failure convention: a null Ref or -1 with
// the interpreter's error indicator set.
#pragma once

#include "module/constants.h"
#include "module/plain_repr.h"

#include <utility>

namespace qv {

// Calls `callable` with positional arguments, with the interpreter's generic
// call semantics: bound methods go straight to their function with the bound
// object first; Python functions and fast-convention builtins are entered
// without an argument tuple; the recursion guard applies; a callee that
// returns null without an error gives SystemError.
Ref call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs);
inline Ref call0(PyObject* callable) { return call(callable, nullptr, 0); }
inline Ref call1(PyObject* callable, PyObject* a) { return call(callable, &a, 1); }

// An attribute looked up for calling, as the interpreter's own method calls
// do it: a plain function found on the type is kept unbound together with
// the object, so that no bound-method object is made.
class BoundMethod {
public:
    BoundMethod() = default;
    BoundMethod(Ref function, Ref self) : function_(std::move(function)), self_(std::move(self)) {}
    explicit operator bool() const { return static_cast<bool>(function_); }
    Ref call(PyObject* const* args, Py_ssize_t nargs) const;

private:
    Ref function_;
    Ref self_;  // empty when function_ is already bound or not a method
};

// obj.name, ready to be called (null with AttributeError when absent).
BoundMethod get_method(PyObject* obj, const Name& name);

// Gets attribute `name` of obj and calls it.
Ref call_method(PyObject* obj, const Name& name, PyObject* const* args, Py_ssize_t nargs);

// Special-method lookup: on the type along its MRO, bound when a
// descriptor; AttributeError(name) when absent.
Ref lookup_special(PyObject* obj, const Name& name);

// Raises from a type, value and traceback (any of value and tb may be null
// or None), with the `raise` statement's checks and messages.
void raise_exception(PyObject* type, PyObject* value, PyObject* tb);

// After an iterator reported no further item: 0 for a normal end (a pending
// StopIteration is cleared), -1 when another exception is pending.
int finish_iteration();

// The value of the pending StopIteration (None when nothing is pending);
// null, with the exception left pending, for any other exception.
Ref take_stop_iteration_value();

// a + b + c as one new str.
Ref join3(PyObject* a, PyObject* b, PyObject* c);

// The text form of a value: format(value, ""). For the exact built-in types
// that the bodies format (ints, floats, dicts, None), format() with ""
// is str(), so the __format__ lookup is skipped.
inline Ref text_form(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyDict_CheckExact(value)) {
        // A decoded reply: str() of a dict is its repr().
        Ref text = plain_repr(value);
        if (text || PyErr_Occurred()) return text;
    }
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyDict_CheckExact(value) || value == Py_None) {
        return Ref::steal(PyObject_Str(value));
    }
    return Ref::steal(PyObject_Format(value, g.empty_str.get()));
}

inline bool exception_matches(PyObject* given, PyObject* cls) {
    return PyErr_GivenExceptionMatches(given, cls) != 0;
}

// Truth test; True, False and None answered directly.
inline int truth(PyObject* o) {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

}  // namespace qv
