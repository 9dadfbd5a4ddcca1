// The trigger's clock and console line.
#pragma once

#include "module/ref.h"

namespace qv {

struct GlobalSite;

// int(time.time() * 1000), `time` being the module global looked up through
// `time_site` (natively while it is the time module's own time()). New
// reference, or null with the error and no traceback record.
Ref wall_clock_ms(GlobalSite& time_site);

// wall_clock_ms() with a record "quorvane_3.get_current_timestamp" (line 70)
// on failure.
Ref get_current_timestamp();

// Writes text's UTF-8 bytes (up to a NUL) and a line feed through the C
// runtime's stdout. None, or null with a record "quorvane_3.optimized_print".
Ref optimized_print(PyObject* text);

}  // namespace qv
