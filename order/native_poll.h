// The trigger's polling pass without Python objects: the same clock value,
// the same line, the same signal check and the same comparison as the
// general pass, in C integers.
#pragma once

#include "module/ref.h"
#include "order/interpreter_switch_flag.h"

#include <cstdio>
#include <cstring>

namespace qv {

// The time left, in ms, below which a pass starts an order.
inline constexpr long long kOrderThresholdMs = 100;

// Writes "Time from opening:<left>" and a line feed to the C runtime's
// stdout: the bytes that the general pass prints for an int time_left.
inline void write_time_left_line(long long left) {
    static constexpr char kPrefix[] = "Time from opening:";
    char line[sizeof kPrefix + 24];
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    char digits[24];
    int n = 0;
    unsigned long long magnitude = left < 0 ? 0ULL - static_cast<unsigned long long>(left)
                                            : static_cast<unsigned long long>(left);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    size_t at = sizeof kPrefix - 1;
    if (left < 0) line[at++] = '-';
    while (n) line[at++] = digits[--n];
    line[at++] = '\n';
    std::fwrite(line, 1, at, stdout);
}

// Lets another thread take the interpreter when one has asked for it, as the
// interpreter's own eval loop does between two instructions: a thread that
// has waited for the switch interval (sys.getswitchinterval()) sets the drop
// request; the holder then releases the lock, which hands it over, and waits
// to take it back. Reading the request costs one load per pass.
class InterpreterSwitch {
public:
    InterpreterSwitch() : request_(qv_drop_request_flag()) {}
    void offer() const {
        if (__atomic_load_n(request_, __ATOMIC_RELAXED)) {
            PyThreadState* self = PyEval_SaveThread();
            PyEval_RestoreThread(self);
        }
    }

private:
    const int* request_;
};

// Polls until the time left falls below the threshold. `read_clock(&now)`
// gives the clock in ms, or false to hand over to the general pass. Returns
// 1 once crossed (*now and *left of that pass set), 0 when the clock handed
// over or the subtraction left the C range, -1 when a signal handler raised.
template <class ReadClock>
int poll_until_crossed(long long opening, ReadClock&& read_clock, long long* now, long long* left) {
    InterpreterSwitch interpreter;
    for (;;) {
        if (!read_clock(now) || __builtin_sub_overflow(opening, *now, left)) return 0;
        write_time_left_line(*left);
        if (PyErr_CheckSignals() < 0) return -1;
        if (*left < kOrderThresholdMs) return 1;
        interpreter.offer();
    }
}

}  // namespace qv
