// Argument binding of the module's three entries: positional and keyword
// arguments onto a fixed list of parameters, none with a default.
#pragma once

#include "module/constants.h"

namespace qv {

struct Signature {
    const char* name;          // bare function name for the messages
    const Name* const* params;  // interned parameter names, in order
    Py_ssize_t count;
};

// Binds args/kwds onto values[0..count), as the entry's own references:
// converting the quantity runs Python code (its __float__), which may empty
// the keyword dict that the values came from, and the entry uses the values
// after that. 0, or -1 with TypeError set (no traceback record: the entry
// adds it).
int bind_arguments(const Signature& sig, PyObject* args, PyObject* kwds, Ref* values);

// The conversion of buy_token_quantity: an exact float directly, anything
// else through __float__ / __index__. -1.0 with an error pending is failure.
inline double quantity_from(PyObject* o) {
    return PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
}

// Each of values[0..count) must be None or exactly str; otherwise TypeError
// naming the first offending parameter. 0 or -1.
int check_str_arguments(const Signature& sig, const Ref* values, Py_ssize_t count);

}  // namespace qv
