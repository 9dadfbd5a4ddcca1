// Small operations that the function bodies and the coroutine machinery
// share. Each follows the module's failure convention: a null Ref or -1 with
// the interpreter's error indicator set.
#pragma once

#include "module/constants.h"
#include "module/plain_repr.h"

#include <utility>

namespace qv {

// Calls go through the interpreter's own call protocol (vectorcall), so a
// call made here behaves as the same call made by Python code: bound methods
// go to their function with the bound object first, Python functions and
// builtins of every calling convention are entered without an argument
// tuple where their type allows it, the recursion guard applies, and a
// callee that returns null without an error gives SystemError.

// callable(*args), positional arguments only.
inline Ref call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    return Ref::steal(PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), nullptr));
}
inline Ref call0(PyObject* callable) { return Ref::steal(PyObject_CallNoArgs(callable)); }
inline Ref call1(PyObject* callable, PyObject* a) { return Ref::steal(PyObject_CallOneArg(callable, a)); }

// obj.name() and obj.name(arg), the attribute looked up as the interpreter's
// method calls look it up: a plain function found on the type is called
// with obj first, without making a bound-method object.
inline Ref call_method0(PyObject* obj, const Name& name) {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name.str.get()));
}
inline Ref call_method1(PyObject* obj, const Name& name, PyObject* arg) {
    return Ref::steal(PyObject_CallMethodOneArg(obj, name.str.get(), arg));
}

// obj.name looked up now and called later, with arguments evaluated in
// between (`websocket.send(json.dumps(...))` reads `send` first). Looked up
// as call_method0 does.
class Method {
public:
    // Null (with AttributeError or the lookup's error) when absent.
    static Method load(PyObject* obj, const Name& name) {
        PyObject* callable = nullptr;
        int unbound = _PyObject_GetMethod(obj, name.str.get(), &callable);
        return Method(Ref::steal(callable), unbound ? Ref::borrow(obj) : Ref());
    }
    explicit operator bool() const { return static_cast<bool>(callable_); }

    Ref call1(PyObject* arg) const {
        PyObject* stack[] = {nullptr, self_.get(), arg};
        // An unbound function gets obj first; either way the entry before
        // the arguments is free for the callee's use.
        PyObject** args = self_ ? stack + 1 : stack + 2;
        size_t nargs = self_ ? 2 : 1;
        return Ref::steal(PyObject_Vectorcall(callable_.get(), args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

private:
    Method(Ref callable, Ref self) : callable_(std::move(callable)), self_(std::move(self)) {}
    Ref callable_;
    Ref self_;  // obj when callable_ is an unbound function; empty otherwise
};

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
