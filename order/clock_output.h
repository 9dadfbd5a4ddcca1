// The trigger's clock and console line.
#pragma once

#include "module/ref.h"

namespace qv {

// int(time.time() * 1000), `time` being the module global. New reference, or
// null with a record "quorvane_3.get_current_timestamp" (line 70).
Ref get_current_timestamp();

// Writes text's UTF-8 bytes (up to a NUL) and a line feed through the C
// runtime's stdout. None, or null with a record "quorvane_3.optimized_print".
Ref optimized_print(PyObject* text);

}  // namespace qv
