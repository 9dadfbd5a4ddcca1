#include "order/clock_output.h"

#include "module/constants.h"
#include "module/globals.h"
#include "module/original_attr.h"
#include "order/fast_paths.h"
#include "module/shared_ops.h"
#include "module/traceback.h"

#include <cstdio>

namespace qv {

namespace {
GlobalSite time_site;
}  // namespace

Ref get_current_timestamp() {
    constexpr const char* kFunc = "quorvane_3.get_current_timestamp";
    long long now;
    if (fast.time_time.holds() && realtime_ms(&now)) return Ref::steal(PyLong_FromLongLong(now));
    Ref time = lookup_global(id::time, time_site);
    if (!time) {
        QV_TRACEBACK(kFunc, 70);
        return time;
    }
    Ref seconds = call_method(time.get(), id::time, nullptr, 0);
    if (!seconds) {
        QV_TRACEBACK(kFunc, 70);
        return seconds;
    }
    Ref millis = Ref::steal(PyNumber_Multiply(seconds.get(), g.int_1000));
    if (!millis) {
        QV_TRACEBACK(kFunc, 70);
        return millis;
    }
    Ref whole = Ref::steal(PyNumber_Long(millis.get()));
    if (!whole) QV_TRACEBACK(kFunc, 70);
    return whole;
}

Ref optimized_print(PyObject* text) {
    constexpr const char* kFunc = "quorvane_3.optimized_print";
    PyObject* encoding = text::utf_8;
    Ref encoded = call_method(text, id::encode, &encoding, 1);
    if (!encoded) {
        QV_TRACEBACK(kFunc, 75);
        return encoded;
    }
    if (encoded.get() != Py_None && !PyBytes_CheckExact(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes", Py_TYPE(encoded.get())->tp_name);
        QV_TRACEBACK(kFunc, 75);
        return Ref();
    }
    if (encoded.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        QV_TRACEBACK(kFunc, 76);
        return Ref();
    }
    std::printf("%s\n", PyBytes_AS_STRING(encoded.get()));
    return Ref::borrow(Py_None);
}

}  // namespace qv
