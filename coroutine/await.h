// The await step that coroutine bodies use at every `await`.
#pragma once

#include "coroutine/coroutine.h"

namespace qv {

// Starts awaiting `awaitable` (borrowed) on behalf of `self`. A new reference
// means the awaited object suspended: the body parks its temporaries, sets its
// resume label and returns the value. Null means it finished at once (no
// exception, or StopIteration pending: the await's result) or failed.
PyObject* await_step(Coroutine* self, PyObject* awaitable);

// The iterator that an awaitable is driven through (its await slot or
// __await__, or an iterable-coroutine generator itself).
PyObject* awaitable_iterator(PyObject* awaitable);

}  // namespace qv
