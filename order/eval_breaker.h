/* The interpreter's requests to the thread that holds it, and what its eval
 * loop does about them between two instructions (order/eval_breaker.c). */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* The words a loop that runs no bytecode reads on every pass: while all
 * three are zero nothing is asked of the calling thread. Fixed for the
 * thread and the life of the interpreter; read with relaxed loads. */
typedef struct {
    const int* breaker; /* the eval breaker */
    const int* calls;   /* main thread: calls queued by Py_AddPendingCall; elsewhere a word that stays 0 */
    const int* signals; /* main thread: signals caught; elsewhere a word that stays 0 */
} qv_request_words;

/* The words for the calling thread, which holds the interpreter lock. */
qv_request_words qv_request_words_here(void);

/* Serves every request, as the eval loop does between two instructions:
 * runs signal handlers and pending calls, hands the interpreter lock to a
 * thread waiting for it, and raises an exception set on this thread from
 * outside. May run Python code and let other threads run. 0, or -1 with the
 * exception set. */
int qv_serve_requests(void);

/* Whether the running interpreter lays its state out as the headers this
 * file was compiled against (set once, at import; off until then). Off, the
 * words above always ask, and serving uses the public API only: signal
 * handlers on every pass, pending calls and a hand-over of the lock once
 * per switch interval; an exception set from outside waits for the next
 * bytecode. */
void qv_trust_layout(int trusted);
int qv_layout_trusted(void);

#ifdef __cplusplus
}
#endif
