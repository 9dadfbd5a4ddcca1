#include "order/body_support.h"

namespace qv {

void replace_escaping_stop_iteration() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    PyObject *rtype, *rvalue, *rtb;
    PyErr_Fetch(&rtype, &rvalue, &rtb);
    PyErr_NormalizeException(&rtype, &rvalue, &rtb);
    if (value && rvalue) {
        Py_INCREF(value);
        PyException_SetCause(rvalue, value);  // steals
        PyException_SetContext(rvalue, value);  // steals the caller's reference
        value = nullptr;
    }
    Py_XDECREF(value);
    PyErr_Restore(rtype, rvalue, rtb);
}

ExcTriple current_handled_exception(PyThreadState* tstate) {
    _PyErr_StackItem* item = tstate->exc_info;
    while ((!item->exc_type || item->exc_type == Py_None) && item->previous_item) item = item->previous_item;
    return ExcTriple{Ref::borrow(item->exc_type), Ref::borrow(item->exc_value), Ref::borrow(item->exc_traceback)};
}

void set_handled_exception(PyThreadState* tstate, ExcTriple exc) {
    _PyErr_StackItem* item = tstate->exc_info;
    PyObject* old_type = item->exc_type;
    PyObject* old_value = item->exc_value;
    PyObject* old_tb = item->exc_traceback;
    item->exc_type = exc.type.release();
    item->exc_value = exc.value.release();
    item->exc_traceback = exc.traceback.release();
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    Py_XDECREF(old_tb);
}

ExcTriple take_pending_as_handled(PyThreadState* tstate) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    ExcTriple taken{Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
    set_handled_exception(tstate, ExcTriple{Ref::borrow(type), Ref::borrow(value), Ref::borrow(tb)});
    return taken;
}

}  // namespace qv
