#include "order/clock_output.h"

#include "module/constants.h"
#include "module/globals.h"
#include "module/original_attr.h"
#include "module/shared_ops.h"
#include "module/traceback.h"
#include "order/fast_paths.h"

#include <cstdio>

namespace qv {

Ref wall_clock_ms(GlobalSite& time_site) {
    long long now;
    int native = fast.time_time.check();
    if (native < 0) return Ref();
    if (native && realtime_ms(&now)) return Ref::steal(PyLong_FromLongLong(now));
    Ref time = lookup_global(id::time, time_site);
    if (!time) return time;
    Ref seconds = call_method0(time.get(), id::time);
    if (!seconds) return seconds;
    Ref millis = Ref::steal(PyNumber_Multiply(seconds.get(), g.int_1000.get()));
    if (!millis || PyLong_CheckExact(millis.get())) return millis;
    return Ref::steal(PyNumber_Long(millis.get()));
}

Ref get_current_timestamp() {
    static GlobalSite time_site;
    Ref now = wall_clock_ms(time_site);
    if (!now) QV_TRACEBACK("quorvane_3.get_current_timestamp", 70);
    return now;
}

Ref optimized_print(PyObject* text) {
    constexpr const char* kFunc = "quorvane_3.optimized_print";
    PyObject* encoding = text::utf_8.get();
    Ref encoded = call_method1(text, id::encode, encoding);
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
