// Module-global lookups: the module namespace first, then builtins.
#pragma once

#include "module/constants.h"

#include <cstdint>

namespace qv {

// One per use site: remembers what the namespace held for the name together
// with the namespace's version tag. While the tag is unchanged the namespace
// has not been written, so the remembered (borrowed) object is still the
// one bound there. A builtins fallback is never remembered.
struct GlobalSite {
    uint64_t version = 0;
    PyObject* value = nullptr;  // borrowed from the namespace
};

// New reference to the global `name`, or null with NameError
// "name '%U' is not defined" (or the namespace lookup's own error).
Ref lookup_global(const Name& name, GlobalSite& site);

// The namespace's current version tag.
inline uint64_t namespace_version() {
    return reinterpret_cast<PyDictObject*>(g.dict.get())->ma_version_tag;
}

}  // namespace qv
