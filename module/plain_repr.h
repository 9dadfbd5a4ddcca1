// repr() of plain data: exact dicts and lists of exact str, int, float,
// bool and None, as a decoded JSON reply is. Written straight into one
// buffer instead of one temporary string per item; the text is exactly what
// repr() gives.
#pragma once

#include "module/ref.h"

namespace qv {

// New reference to repr(o); null without an error when `o` is not plain
// data (a type other than those above, non-ASCII text, nesting deeper than
// 64): the caller then asks the interpreter. Null with an error only when
// memory runs out.
Ref plain_repr(PyObject* o);

}  // namespace qv
