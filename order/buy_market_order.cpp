// Body routine of buy_market_order (being written).
#include "order/bodies.h"

namespace qv {

PyObject* buy_market_order_body(Coroutine*, PyThreadState*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "buy_market_order");
    return nullptr;
}

}  // namespace qv
