#include "order/fast_paths.h"

#include <ctime>

namespace qv {

long long ms_from_realtime_ns(int64_t ns) {
    // As the time module turns nanoseconds into float seconds: whole seconds
    // are divided as integers (1e-9 is not exact in binary), the rest as a
    // double. volatile keeps the compiler from fusing or reordering the
    // rounding steps.
    volatile double seconds;
    if (ns % 1000000000 == 0) seconds = static_cast<double>(ns / 1000000000);
    else {
        seconds = static_cast<double>(ns);
        seconds = seconds / 1e9;
    }
    volatile double ms = seconds * 1000.0;
    return static_cast<long long>(ms);  // int(): truncation toward zero
}

bool realtime_ms(long long* out) {
    timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return false;
    *out = ms_from_realtime_ns(static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
    return true;
}

}  // namespace qv
