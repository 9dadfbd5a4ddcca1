// Start-up registration of the coroutine machinery: the coroutine and
// wrapper types (shared by every module built with this runtime version),
// the closure-record types, and collections.abc learning about coroutines.
#include "coroutine/registration.h"

#include "coroutine/closure.h"
#include "coroutine/coroutine.h"
#include "module/constants.h"

#include <cstring>

namespace qv {

namespace {

// One name per version of this runtime: modules built with the same version
// share the types found there, so their coroutines can await one another and
// pass every type test of either module.
constexpr const char kSharedTypeModule[] = "_quorvane_coroutine_runtime_1";

bool registered_with_abc = false;

const char* short_name(const PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// The type in use for `type`: the one already in the shared type module, or
// `type` itself, readied and stored there. Borrowed: the shared module keeps
// it for the life of the process.
PyTypeObject* fetch_shared_type(PyTypeObject* type) {
    PyObject* shared = PyImport_AddModule(kSharedTypeModule);  // borrowed
    if (!shared) return nullptr;
    const char* name = short_name(type);
    Ref found = Ref::steal(PyObject_GetAttrString(shared, name));
    if (found) {
        if (!PyType_Check(found.get())) {
            PyErr_Format(PyExc_TypeError, "Shared type '%.200s' is not a type object", name);
            return nullptr;
        }
        auto* found_type = reinterpret_cast<PyTypeObject*>(found.get());
        if (found_type->tp_basicsize != type->tp_basicsize) {
            PyErr_Format(PyExc_TypeError, "Shared type '%.200s' has the wrong size, try recompiling", name);
            return nullptr;
        }
        return found_type;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    if (PyType_Ready(type) < 0) return nullptr;
    if (PyObject_SetAttrString(shared, name, reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
    return type;
}

// Registers the coroutine type with `abc.Coroutine`, as the Python
//
//     try:
//         Coroutine = abc_module.Coroutine
//     except AttributeError:
//         pass
//     else:
//         Coroutine.register(coroutine_type)
//
// would (this runtime has no generator type, so `abc.Generator` is never
// touched). Written out in C rather than compiled from source at every
// start-up: compiling the snippet cost more than the rest of the start-up.
int run_registration_code(PyObject* abc_module) {
    if (!coroutine_type) return 0;
    Ref coroutine_abc = Ref::steal(PyObject_GetAttrString(abc_module, "Coroutine"));
    if (!coroutine_abc) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref result = Ref::steal(
        PyObject_CallMethod(coroutine_abc.get(), "register", "O", reinterpret_cast<PyObject*>(coroutine_type)));
    return result ? 0 : -1;
}

// Teaches `abc_module` the coroutine type. A failure is reported and turned
// into a warning; only a failure to warn fails (-1).
int patch(PyObject* abc_module) {
    if (run_registration_code(abc_module) == 0) return 0;
    PyErr_WriteUnraisable(abc_module);
    return PyErr_WarnEx(PyExc_RuntimeWarning, "quorvane_3 module failed to patch module with custom type", 1);
}

}  // namespace

int register_coroutine_types() {
    CoroutineType.tp_getattro = PyObject_GenericGetAttr;
    coroutine_type = fetch_shared_type(&CoroutineType);
    if (!coroutine_type) return -1;
    wrapper_type = fetch_shared_type(&CoroutineWrapperType);
    if (!wrapper_type) return -1;
    return 0;
}

int ready_record_types() {
    if (PyType_Ready(&BuyMarketOrderRecordType) < 0) return -1;
    if (PyType_Ready(&ListenForTradesRecordType) < 0) return -1;
    return 0;
}

int register_with_abc() {
    if (registered_with_abc) return 0;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        PyErr_WriteUnraisable(nullptr);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, "quorvane_3 module failed to register with collections.abc module",
                         1) < 0) {
            return -1;
        }
    } else {
        if (patch(abc.get()) < 0) return -1;
        registered_with_abc = true;
    }
    // The optional backport is taught too when present; nothing it does
    // stops the start-up.
    Ref backports = Ref::steal(PyImport_ImportModule("backports_abc"));
    if (!backports || patch(backports.get()) < 0) PyErr_Clear();
    return 0;
}

}  // namespace qv
