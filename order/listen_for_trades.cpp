// Body routine of listen_for_trades (being written).
#include "order/bodies.h"

namespace qv {

PyObject* listen_for_trades_body(Coroutine*, PyThreadState*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "listen_for_trades");
    return nullptr;
}

}  // namespace qv
