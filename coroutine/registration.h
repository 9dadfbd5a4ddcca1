// The three registration points of module start-up.
#pragma once

namespace qv {

// Coroutine and wrapper types, through the shared type module. 0 or -1.
int register_coroutine_types();
// The two closure-record types. 0 or -1.
int ready_record_types();
// collections.abc (and backports_abc) learn the coroutine type. 0 or -1.
int register_with_abc();

}  // namespace qv
