/* The interpreter's eval breaker for the current interpreter, and what its
 * eval loop does when the breaker is set (order/eval_breaker.c). */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* The breaker word, read-only: non-zero while a signal, a pending call, a
 * request to let go of the interpreter or an exception set from another
 * thread waits. Fixed for the life of the interpreter. */
const int* qv_eval_breaker(void);

/* Acts on every request, as the eval loop does between two instructions:
 * runs signal handlers and pending calls, hands the interpreter to a thread
 * waiting for it, and raises an exception set on this thread from outside.
 * 0, or -1 with the exception set. */
int qv_serve_eval_breaker(void);

#ifdef __cplusplus
}
#endif
