/* The interpreter's eval breaker (3.9: the interpreter state's
 * ceval.eval_breaker): one word, non-zero while anything asks the thread
 * that holds the interpreter to stop running bytecode for a moment: a
 * signal, a pending call, another thread's request that the lock be let go,
 * or an exception set on a thread from outside (PyThreadState_SetAsyncExc).
 * The eval loop reads it between two instructions and, when it is set, acts
 * on each request in the order below. A loop written in C that runs no
 * bytecode does the same, or it never sees any of them.
 *
 * The layout and the bookkeeping are the interpreter's own, from its
 * internal headers, which only C can include. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_pystate.h>
#include <internal/pycore_runtime.h>

#include "order/eval_breaker.h"

const int* qv_eval_breaker(void) {
    PyInterpreterState* interp = PyThreadState_Get()->interp;
    return (const int*)&interp->ceval.eval_breaker._value;
}

/* The breaker as the interpreter recomputes it after taking a request back:
 * set while any request remains that this thread can act on (only the main
 * thread runs signal handlers and pending calls). */
static void recompute_breaker(PyInterpreterState* interp) {
    struct _ceval_runtime_state* runtime = &_PyRuntime.ceval;
    struct _ceval_state* ceval = &interp->ceval;
    _Py_atomic_store_relaxed(&ceval->eval_breaker,
                             _Py_atomic_load_relaxed(&ceval->gil_drop_request) |
                                 (_Py_atomic_load_relaxed(&runtime->signals_pending) &&
                                  _Py_ThreadCanHandleSignals(interp)) |
                                 (_Py_atomic_load_relaxed(&ceval->pending.calls_to_do) &&
                                  _Py_ThreadCanHandlePendingCalls()) |
                                 ceval->pending.async_exc);
}

int qv_serve_eval_breaker(void) {
    PyThreadState* tstate = PyThreadState_Get();
    PyInterpreterState* interp = tstate->interp;
    struct _ceval_state* ceval = &interp->ceval;

    /* Signal handlers and pending calls; each takes its request back itself.
     * Both run only on the main thread and are no-ops elsewhere. */
    if ((_Py_atomic_load_relaxed(&_PyRuntime.ceval.signals_pending) ||
         _Py_atomic_load_relaxed(&ceval->pending.calls_to_do)) &&
        Py_MakePendingCalls() < 0) {
        return -1;
    }

    /* Another thread has waited for the switch interval: releasing the lock
     * hands it over (the releasing thread waits until it has been taken),
     * and taking it back clears the request. */
    if (_Py_atomic_load_relaxed(&ceval->gil_drop_request)) {
        PyThreadState* self = PyEval_SaveThread();
        PyEval_RestoreThread(self);
    }

    /* An exception set on this thread from outside is raised here, once. */
    if (tstate->async_exc != NULL) {
        PyObject* exc = tstate->async_exc;
        tstate->async_exc = NULL;
        ceval->pending.async_exc = 0;
        recompute_breaker(interp);
        PyErr_SetNone(exc);
        Py_DECREF(exc);
        return -1;
    }
    return 0;
}
