// The trigger's polling pass without Python objects: the same clock value,
// the same line, the same service of the interpreter's requests and the same
// comparison as the general pass, in C integers.
#pragma once

#include "module/ref.h"
#include "order/eval_breaker.h"

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

// Acts on whatever the interpreter asks of the thread that holds it, as its
// eval loop does between two instructions (order/eval_breaker.h): a loop that
// runs no bytecode would otherwise leave signals, pending calls, an exception
// set from another thread and a thread waiting for the lock unserved until
// it ends. One load while nothing is asked. 0, or -1 with the exception set.
inline int serve_interpreter(const int* eval_breaker) {
    return __atomic_load_n(eval_breaker, __ATOMIC_RELAXED) ? qv_serve_eval_breaker() : 0;
}

// Polls until the time left falls below the threshold. `read_clock(&now)`
// gives the clock in ms, or false to hand over to the general pass. Returns
// 1 once crossed (*now and *left of that pass set), 0 when the clock handed
// over or the subtraction left the C range, -1 when serving the interpreter
// raised (a signal handler, a pending call, an exception set from outside).
template <class ReadClock>
int poll_until_crossed(long long opening, ReadClock&& read_clock, long long* now, long long* left) {
    const int* eval_breaker = qv_eval_breaker();
    for (;;) {
        if (!read_clock(now) || __builtin_sub_overflow(opening, *now, left)) return 0;
        write_time_left_line(*left);
        if (serve_interpreter(eval_breaker) < 0) return -1;
        if (*left < kOrderThresholdMs) return 1;
    }
}

}  // namespace qv
