#include "module/startup_checks.h"

#include "module/ref.h"
#include "order/eval_breaker.h"

namespace qv {

int check_interpreter_version() {
    char built[16];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    if (version_matches(built, running)) return 0;
    char shown[5];
    short_running_version(running, shown);
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", built,
                  "quorvane_3", shown);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int check_interpreter_layout() {
    const char* running = Py_GetVersion();
    const bool same = same_release(PY_VERSION, running);
    qv_trust_layout(same);
    char minor[16];
    PyOS_snprintf(minor, sizeof minor, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    if (same || !version_matches(minor, running)) return 0;
    char message[300];
    PyOS_snprintf(message, sizeof message,
                  "module '%s' was built against Python %s and runs on %.*s: while polling it serves signals, "
                  "pending calls and other threads through the interpreter's public API, and an exception set on "
                  "the polling thread from another waits for the next bytecode",
                  "quorvane_3", PY_VERSION, release_length(running) > 20 ? 20 : release_length(running), running);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int check_type_size() {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    Ref type = Ref::steal(PyObject_GetAttrString(builtins.get(), "type"));
    if (!type) return -1;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "builtins", "type");
        return -1;
    }
    const Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject));
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     "builtins", "type", expected, actual);
        return -1;
    }
    if (actual > expected) {
        char warning[200];
        PyOS_snprintf(warning, sizeof warning,
                      "%s.%s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      "builtins", "type", expected, actual);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 0) < 0) return -1;
    }
    return 0;
}

}  // namespace qv
