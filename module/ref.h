// Reference ownership in the types.
//
//   Ref       an owned (strong) reference; released when the Ref goes away,
//             on every path out of a scope.
//   PyObject* a borrowed reference: nothing is owned, nothing is released.
//
// Functions that hand out a new reference return Ref (or a raw PyObject*
// when the interpreter's calling convention requires it, e.g. a slot);
// functions that only look take PyObject*.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qv {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Makes a new reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Gives the reference away to the caller (who now owns it).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Replaces the held object with a stolen new reference; the new reference
    // is stored before the old one is released, as Py_XSETREF does.
    void reset(PyObject* steal = nullptr) noexcept {
        PyObject* old = p_;
        p_ = steal;
        Py_XDECREF(old);
    }
    // A fresh new reference to the same object, for handing out a copy.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// The pending exception, set aside and restored on scope exit unless taken.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        if (restore_) PyErr_Restore(type_, value_, tb_);
        else {
            Py_XDECREF(type_);
            Py_XDECREF(value_);
            Py_XDECREF(tb_);
        }
    }
    // Drops the saved exception instead of restoring it.
    void discard() noexcept { restore_ = false; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
    bool restore_ = true;
};

// Stores a stolen new reference into a raw owning slot (a struct field),
// releasing what was there after the store.
inline void set_slot(PyObject*& slot, PyObject* steal) noexcept {
    PyObject* old = slot;
    slot = steal;
    Py_XDECREF(old);
}

inline void clear_slot(PyObject*& slot) noexcept { Py_CLEAR(slot); }

}  // namespace qv
