// Reference ownership in the types.
//
//   Ref       an owned (strong) reference in a local or a parameter;
//             released when the Ref goes away, on every path out of a scope.
//   Slot      an owned (strong) reference in a field: of an object the
//             interpreter allocates (coroutine, wrapper, closure record) or
//             of the process-wide start-up state. Stored into only with
//             set(Ref) and emptied only with take() or clear().
//   PyObject* a borrowed reference: nothing is owned, nothing is released.
//             A bare PyObject* field is borrowed too, and says from where.
//
// Functions that hand out a new reference return Ref (or a raw PyObject*
// when the interpreter's calling convention requires it, e.g. a slot);
// functions that only look take PyObject*.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
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

// An owned reference held in a field. It is exactly one PyObject*, of
// standard layout, so a struct of Slots has the layout of the same struct of
// bare pointers: member tables (offsetof with T_OBJECT), traversal and the
// interpreter's own reads see a plain pointer, and zeroed memory (what the
// interpreter's allocators give, or a record reset for reuse) is an empty
// Slot. It has no destructor: the owner's dealloc releases it with clear()
// (the start-up constants are held until the process ends). Not copyable.
class Slot {
public:
    constexpr Slot() noexcept = default;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    // The held object, borrowed (may be null).
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Stores the reference, then releases the one held before (after the
    // store, as Py_XSETREF does, so that code run by the release never sees
    // a freed object in the field).
    void set(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }
    // Stores an object just made: -1 when making it failed (null, the error
    // pending; the field is left as it was), otherwise 0.
    int set_made(Ref made) noexcept {
        if (!made) return -1;
        set(std::move(made));
        return 0;
    }
    // Moves the reference out, leaving the field empty.
    [[nodiscard]] Ref take() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return Ref::steal(p);
    }
    // Releases the reference (empties the field first, as Py_CLEAR does).
    void clear() noexcept { Py_CLEAR(p_); }
    // A new reference to the held object, for handing out a copy.
    [[nodiscard]] Ref ref() const noexcept { return Ref::borrow(p_); }

private:
    PyObject* p_ = nullptr;
};

static_assert(sizeof(Slot) == sizeof(PyObject*) && alignof(Slot) == alignof(PyObject*) &&
                  std::is_standard_layout_v<Slot>,
              "a Slot is laid out as the bare pointer it replaces");

}  // namespace qv
