/* Where the interpreter keeps its request that the thread holding it let go
 * (3.9: the interpreter state's ceval.gil_drop_request). A thread that has
 * waited for the interpreter for the switch interval sets it; the eval loop
 * reads it between instructions and then releases and takes back the lock.
 * The layout is the interpreter's own, from its internal headers, which only
 * C can include. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>

#include "order/interpreter_switch_flag.h"

const int* qv_drop_request_flag(void) {
    PyInterpreterState* interp = PyThreadState_Get()->interp;
    return (const int*)&interp->ceval.gil_drop_request._value;
}
