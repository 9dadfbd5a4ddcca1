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

// The interpreter's requests to the calling thread, as a loop that runs no
// bytecode must serve them (order/eval_breaker.h): otherwise signals, pending
// calls, an exception set from another thread and a thread waiting for the
// lock would wait until the loop ends. Three relaxed loads while nothing is
// asked (the breaker, and on the main thread the request words that a thread
// without the lock sets without setting the breaker).
class InterpreterRequests {
public:
    InterpreterRequests() : words_(qv_request_words_here()) {}

    // Serves whatever is asked, as the eval loop does between two
    // instructions: may run Python code (signal handlers, pending calls) and
    // let other threads run. 0, or -1 with the exception set.
    int serve() const { return asked() ? qv_serve_requests() : 0; }

private:
    static int load(const int* word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }
    bool asked() const { return (load(words_.breaker) | load(words_.calls) | load(words_.signals)) != 0; }

    qv_request_words words_;
};

// Polls until the time left falls below the threshold. `read_clock(&now)`
// gives 1 with the clock in ms, 0 to hand over to the general pass, or -1
// with an exception set. Returns 1 once crossed (*now and *left of that pass
// set), 0 when the clock handed over or the subtraction left the C range, -1
// when reading the clock or serving the interpreter's requests raised (a
// signal handler, a pending call, an exception set from outside).
template <class ReadClock>
int poll_until_crossed(long long opening, ReadClock&& read_clock, long long* now, long long* left) {
    const InterpreterRequests requests;
    for (;;) {
        int read = read_clock(now);
        if (read < 0) return -1;
        if (!read || __builtin_sub_overflow(opening, *now, left)) return 0;
        write_time_left_line(*left);
        if (requests.serve() < 0) return -1;
        if (*left < kOrderThresholdMs) return 1;
    }
}

}  // namespace qv
