// Fast-path guards: whether a module global, and an attribute path below
// it, still resolve to the objects that start-up found.
//
// A fast path may replace a lookup chain such as `time.time` or
// `urllib.parse.quote` only while every link of the chain is what it was at
// import: the module namespace still binds the global to the same module
// object, and each module's dict still maps the attribute to the same object.
// Dict version tags make the common check three loads and compares; any write
// to one of the dicts triggers a full re-check, so a rebinding by the host is
// seen at the very next use.
#pragma once

#include "module/globals.h"

#include <cstdint>

namespace qv {

class OriginalAttr {
public:
    static constexpr int kMaxDepth = 2;

    // Records what `global`.`attrs[0]`.`attrs[1]`... resolves to now. A chain
    // that cannot be resolved, or passes through something that is not a
    // plain module, leaves the guard permanently off. Never fails.
    void capture(const Name& global, std::initializer_list<const char*> attrs);

    // True while the whole chain is unchanged.
    bool holds() {
        if (!captured_) return false;
        if (versions_[0] == namespace_version() && module_dict_version(0) == versions_[1] &&
            (depth_ < 2 || module_dict_version(1) == versions_[2])) {
            return true;
        }
        return recheck();
    }

    PyObject* original() const { return chain_[depth_]; }

private:
    uint64_t module_dict_version(int i) const {
        return reinterpret_cast<PyDictObject*>(dicts_[i])->ma_version_tag;
    }
    bool recheck();

    bool captured_ = false;
    int depth_ = 0;
    const Name* global_ = nullptr;
    PyObject* names_[kMaxDepth] = {};        // interned attribute names
    PyObject* chain_[kMaxDepth + 1] = {};    // module, ..., final object (held)
    PyObject* dicts_[kMaxDepth] = {};        // the modules' dicts (held)
    uint64_t versions_[kMaxDepth + 1] = {};  // namespace and module dicts at last check
};

// The guards of the module's fast paths, captured after the module
// statements have run.
struct FastPathGuards {
    OriginalAttr time_time;       // time.time
    OriginalAttr uuid_uuid4;      // uuid.uuid4
    OriginalAttr quote;           // urllib.parse.quote
    OriginalAttr hmac_new;        // hmac.new
    OriginalAttr hashlib_sha256;  // hashlib.sha256
};
extern FastPathGuards fast;

void capture_fast_path_guards();

}  // namespace qv
