/* Floor of one polling pass: read the wall clock, make whole milliseconds,
 * print the time-left line through printf, compare with 100.
 *
 * Usage: poll_floor DURATION_MS
 * The opening time is DURATION_MS from now, so the loop ends by itself on
 * the first pass with fewer than 100 ms left. Standard output is meant to be
 * redirected to a file; the result goes to standard error as JSON. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    /* The same value as the wall-clock seconds as a double, times 1000,
       truncated: whole seconds and the millisecond part. */
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static long long mono_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char** argv) {
    long long duration = argc > 1 ? atoll(argv[1]) : 500;
    if (duration < 200) duration = 200;
    long long open_ms = now_ms() + duration + 100;
    long long passes = 0;
    long long t0 = mono_ns();
    for (;;) {
        long long left = open_ms - now_ms();
        printf("Time from opening:%lld\n", left);
        ++passes;
        if (left < 100) break;
    }
    long long t1 = mono_ns();
    fflush(stdout);
    fprintf(stderr, "{\"ns_per_op\": %.3f, \"ops\": %lld}\n", (double)(t1 - t0) / (double)passes, passes);
    return 0;
}
