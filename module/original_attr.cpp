#include "module/original_attr.h"

#include "module/globals.h"

namespace qv {

FastPathGuards fast;

void OriginalAttr::capture(const Name& global, std::initializer_list<const char*> attrs) {
    if (captured_ || static_cast<int>(attrs.size()) > kMaxDepth || attrs.size() == 0) return;
    PyObject* current = _PyDict_GetItem_KnownHash(g.dict, global.str, global.hash);
    if (!current) {
        PyErr_Clear();
        return;
    }
    global_ = &global;
    chain_[0] = Ref::borrow(current).release();
    int i = 0;
    for (const char* attr : attrs) {
        if (Py_TYPE(chain_[i]) != &PyModule_Type) return;
        dicts_[i] = Ref::borrow(PyModule_GetDict(chain_[i])).release();
        names_[i] = PyUnicode_InternFromString(attr);
        if (!names_[i]) {
            PyErr_Clear();
            return;
        }
        PyObject* next = PyDict_GetItemWithError(dicts_[i], names_[i]);
        if (!next) {
            PyErr_Clear();
            return;
        }
        chain_[i + 1] = Ref::borrow(next).release();
        ++i;
    }
    depth_ = i;
    captured_ = true;
    if (!recheck()) captured_ = false;
}

bool OriginalAttr::recheck() {
    PyObject* bound = _PyDict_GetItem_KnownHash(g.dict, global_->str, global_->hash);
    if (bound != chain_[0]) {
        if (!bound) PyErr_Clear();
        return false;
    }
    for (int i = 0; i < depth_; ++i) {
        // A module subclass could answer attribute lookups its own way.
        if (Py_TYPE(chain_[i]) != &PyModule_Type || PyModule_GetDict(chain_[i]) != dicts_[i]) return false;
        PyObject* next = PyDict_GetItemWithError(dicts_[i], names_[i]);
        if (next != chain_[i + 1]) {
            if (!next) PyErr_Clear();
            return false;
        }
    }
    versions_[0] = namespace_version();
    for (int i = 0; i < depth_; ++i) versions_[i + 1] = module_dict_version(i);
    return true;
}

void capture_fast_path_guards() {
    fast.time_time.capture(id::time, {"time"});
    fast.uuid_uuid4.capture(id::uuid, {"uuid4"});
    fast.quote.capture(id::urllib, {"parse", "quote"});
    fast.hmac_new.capture(id::hmac, {"new"});
    fast.hashlib_sha256.capture(id::hashlib, {"sha256"});
}

}  // namespace qv
