/* The interpreter's requests to the thread that holds it, served as CPython
 * 3.9's eval loop serves them: the model is eval_frame_handle_pending() in
 * Python/ceval.c (signals, pending calls, the lock's drop request, the
 * asynchronous exception, in that order) and COMPUTE_EVAL_BREAKER() with
 * its UNSIGNAL_* helpers, from which recompute_breaker() below is copied
 * line for line.
 *
 * The eval breaker (the interpreter state's ceval.eval_breaker) is one word,
 * non-zero while anything asks the thread that holds the interpreter to stop
 * running bytecode for a moment: a signal, a pending call, another thread's
 * request that the lock be let go, or an exception set on a thread from
 * outside (PyThreadState_SetAsyncExc). The eval loop reads it between two
 * instructions; a loop written in C that runs no bytecode must do the same,
 * or it never sees any of them.
 *
 * The breaker is recomputed by whichever thread makes a request, with that
 * thread's own view of who may serve it: a signal caught or a call queued
 * on a thread that is not the main one (a plain C thread, which never holds
 * the lock) leaves it unset, and the main thread learns of the request only
 * when something else recomputes it. The eval loop shares that gap but,
 * doing I/O, soon drops the lock and recomputes it on the way back; a
 * polling loop never would. So the main thread also reads the two request
 * words themselves on every pass.
 *
 * The layout and the bookkeeping are the interpreter's own, from its
 * internal headers, which only C can include; they hold for the patch
 * release the module was built against (qv_trust_layout). */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_pystate.h>
#include <internal/pycore_runtime.h>

#if PY_VERSION_HEX < 0x03090000 || PY_VERSION_HEX >= 0x030A0000
#error "order/eval_breaker.c follows CPython 3.9's eval loop and state layout"
#endif

#include <time.h>

#include "order/eval_breaker.h"

static int layout_trusted = 0;

void qv_trust_layout(int trusted) { layout_trusted = trusted != 0; }

int qv_layout_trusted(void) { return layout_trusted; }

/* Words that never change: one that always asks (the untrusted layout
 * serves through the public API on every pass) and one that never does. */
static const int always = 1;
static const int never = 0;

qv_request_words qv_request_words_here(void) {
    qv_request_words words = {&always, &never, &never};
    if (!layout_trusted) return words;
    PyInterpreterState* interp = PyThreadState_Get()->interp;
    words.breaker = (const int*)&interp->ceval.eval_breaker._value;
    if (_Py_ThreadCanHandlePendingCalls()) words.calls = (const int*)&interp->ceval.pending.calls_to_do._value;
    if (_Py_ThreadCanHandleSignals(interp)) words.signals = (const int*)&_PyRuntime.ceval.signals_pending._value;
    return words;
}

/* COMPUTE_EVAL_BREAKER(): set while any request remains that this thread
 * can act on (only the main thread runs signal handlers and pending calls). */
static void recompute_breaker(PyInterpreterState* interp) {
    struct _ceval_runtime_state* ceval = &_PyRuntime.ceval;
    struct _ceval_state* ceval2 = &interp->ceval;
    _Py_atomic_store_relaxed(&ceval2->eval_breaker,
                             _Py_atomic_load_relaxed(&ceval2->gil_drop_request) |
                                 (_Py_atomic_load_relaxed(&ceval->signals_pending) &&
                                  _Py_ThreadCanHandleSignals(interp)) |
                                 (_Py_atomic_load_relaxed(&ceval2->pending.calls_to_do) &&
                                  _Py_ThreadCanHandlePendingCalls()) |
                                 ceval2->pending.async_exc);
}

/* The eval loop takes any non-zero status of a signal handler or a pending
 * call as a failure, and one without an exception as a SystemError. */
static int failed(void) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    return -1;
}

/* Lets another thread take the lock: releasing it hands it over to a thread
 * waiting for it (the releasing thread waits until it has been taken), and
 * taking it back clears the drop request. */
static void hand_over_lock(void) {
    PyThreadState* self = PyEval_SaveThread();
    PyEval_RestoreThread(self);
}

/* The untrusted layout: signal handlers on every pass (one load while none
 * is caught); pending calls and a hand-over of the lock, whether or not a
 * thread waits, once per switch interval, the clock read every 32 passes. */
static int serve_through_public_api(void) {
    static unsigned int passes = 0;
    static struct timespec last_hand_over;
    if (PyErr_CheckSignals() < 0) return -1;
    if (++passes % 32 != 0) return 0;
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    long long since_us = (long long)(now.tv_sec - last_hand_over.tv_sec) * 1000000 +
                         (now.tv_nsec - last_hand_over.tv_nsec) / 1000;
    if (since_us >= 0 && since_us < (long long)_PyEval_GetSwitchInterval()) return 0;
    last_hand_over = now;
    if (Py_MakePendingCalls() != 0) return failed();
    hand_over_lock();
    return 0;
}

int qv_serve_requests(void) {
    if (!layout_trusted) return serve_through_public_api();
    PyThreadState* tstate = PyThreadState_Get();
    PyInterpreterState* interp = tstate->interp;
    struct _ceval_state* ceval2 = &interp->ceval;

    /* Pending signals, then pending calls: Py_MakePendingCalls() runs both
     * (handle_signals() and make_pending_calls()), each taking its request
     * back itself; both run only on the main thread and are no-ops
     * elsewhere. */
    if ((_Py_atomic_load_relaxed(&_PyRuntime.ceval.signals_pending) ||
         _Py_atomic_load_relaxed(&ceval2->pending.calls_to_do)) &&
        Py_MakePendingCalls() != 0) {
        return failed();
    }

    /* GIL drop request. */
    if (_Py_atomic_load_relaxed(&ceval2->gil_drop_request)) hand_over_lock();

    /* Check for asynchronous exception: raised here, once
     * (UNSIGNAL_ASYNC_EXC() takes the request back). */
    if (tstate->async_exc != NULL) {
        PyObject* exc = tstate->async_exc;
        tstate->async_exc = NULL;
        ceval2->pending.async_exc = 0;
        recompute_breaker(interp);
        PyErr_SetNone(exc);
        Py_DECREF(exc);
        return -1;
    }
    return 0;
}
