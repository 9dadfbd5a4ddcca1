#include "module/original_attr.h"

#include "module/globals.h"

namespace qv {

FastPathGuards fast;

namespace {

// "__builtins__", interned at the first guard built and held (owned) for the
// life of the process.
PyObject* builtins_key() {
    static PyObject* key = PyUnicode_InternFromString("__builtins__");
    return key;
}

// The dict that a function's frames take their builtins from, as the
// interpreter finds it: globals["__builtins__"], a module or a dict.
PyObject* builtins_dict_of(PyObject* globals) {
    PyObject* b = PyDict_GetItemWithError(globals, builtins_key());
    if (!b) return nullptr;
    if (PyModule_Check(b)) return PyModule_GetDict(b);
    return PyDict_Check(b) ? b : nullptr;
}

// Whether dict[key] is `expected` (null: absent). A lookup that fails (a
// key whose __eq__ raises, say) answers no, with its error cleared: the
// caller then takes the general path, which meets the same lookups itself.
bool same_entry(PyObject* dict, PyObject* key, PyObject* expected) {
    PyObject* now = PyDict_GetItemWithError(dict, key);
    if (!now && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return now == expected;
}

}  // namespace

bool Guard::watch_module(PyObject* found) {
    if (broken_ || !found || Py_TYPE(found) != &PyModule_Type) {
        fail();
        return false;
    }
    if (n_modules_ == kMaxModules) {
        overflowed("modules");
        return false;
    }
    modules_[n_modules_++].set(Ref::borrow(found));
    return true;
}

void Guard::watch_dict(PyObject* dict) {
    for (int i = 0; i < n_dicts_; ++i) {
        if (dicts_[i].dict.get() == dict) return;
    }
    if (!PyDict_Check(dict)) return fail();
    if (n_dicts_ == kMaxDicts) return overflowed("dicts");
    // Version 0 is never a dict's: the next use makes a full check, and only
    // a full check that succeeds takes the tags.
    WatchedDict& watched = dicts_[n_dicts_++];
    watched.dict.set(Ref::borrow(dict));
    watched.version = 0;
}

void Guard::watch_extra(PyObject* dict) { watch_dict(dict); }

void Guard::watch_instance(PyObject* object) {
    if (n_instances_ == kMaxInstances) return overflowed("instances");
    PyObject** dict = _PyObject_GetDictPtr(object);
    WatchedInstance& watched = instances_[n_instances_++];
    watched.object.set(Ref::borrow(object));
    watched.type.set(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))));
    watched.dict.set(Ref::borrow(dict ? *dict : nullptr));
}

PyObject* Guard::entry(PyObject* dict, PyObject* key) {
    for (int i = 0; i < n_entries_; ++i) {
        if (entries_[i].dict.get() == dict && entries_[i].key.get() == key) return entries_[i].value.get();
    }
    if (broken_) return nullptr;
    if (n_entries_ == kMaxEntries) {
        overflowed("entries");
        return nullptr;
    }
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) {
        PyErr_Clear();
        fail();
        return nullptr;
    }
    watch_dict(dict);
    WatchedEntry& watched = entries_[n_entries_++];
    watched.dict.set(Ref::borrow(dict));
    watched.key.set(Ref::borrow(key));
    watched.value.set(Ref::borrow(value));
    return value;
}

PyObject* Guard::module_global(const Name& name) {
    PyObject* found = entry(g.dict.get(), name.str.get());
    return watch_module(found) ? found : nullptr;
}

PyObject* Guard::module_attr(PyObject* owner, const char* attr) {
    if (broken_ || !owner) return nullptr;
    Ref key = Ref::steal(PyUnicode_InternFromString(attr));
    if (!key) {
        PyErr_Clear();
        fail();
        return nullptr;
    }
    PyObject* found = entry(PyModule_GetDict(owner), key.get());
    if (!found) fail();
    return found;
}

PyObject* Guard::submodule(PyObject* owner, const char* attr) {
    PyObject* found = module_attr(owner, attr);
    return watch_module(found) ? found : nullptr;
}

PyObject* Guard::c_function(PyObject* owner, const char* attr) {
    PyObject* found = module_attr(owner, attr);
    if (!found || !PyCFunction_CheckExact(found)) {
        fail();
        return nullptr;
    }
    return found;
}

void Guard::function(PyObject* fn) {
    if (broken_ || !fn || !PyFunction_Check(fn)) return fail();
    if (n_functions_ == kMaxFunctions) return overflowed("functions");
    auto* f = reinterpret_cast<PyFunctionObject*>(fn);
    // Cells of a closure can be rebound unseen: such a function is not watched.
    if (f->func_closure) return fail();
    WatchedFunction& watched = functions_[n_functions_++];
    watched.function.set(Ref::borrow(fn));
    watched.code.set(Ref::borrow(f->func_code));
    watched.defaults.set(Ref::borrow(f->func_defaults));
    watched.kwdefaults.set(Ref::borrow(f->func_kwdefaults));
    if (f->func_kwdefaults) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(f->func_kwdefaults, &pos, &key, &value)) entry(f->func_kwdefaults, key);
    }
    PyObject* globals = f->func_globals;
    if (!builtins_key()) {
        PyErr_Clear();
        return fail();
    }
    entry(globals, builtins_key());
    PyObject* builtins = builtins_dict_of(globals);
    if (!builtins) {
        PyErr_Clear();
        return fail();
    }
    // co_names holds the names of globals and of attributes alike; watching
    // both is more than needed and never less.
    PyObject* names = reinterpret_cast<PyCodeObject*>(f->func_code)->co_names;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!entry(globals, name) && !broken_) entry(builtins, name);
    }
}

void Guard::type(PyObject* cls, std::initializer_list<const char*> methods) {
    if (broken_ || !cls || !PyType_Check(cls) || !builtins_key()) {
        PyErr_Clear();
        return fail();
    }
    if (n_types_ == kMaxTypes) return overflowed("types");
    auto* t = reinterpret_cast<PyTypeObject*>(cls);
    // The interpreter tags a class when it first looks a name up in it.
    _PyType_Lookup(t, builtins_key());
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return fail();
    Ref snapshot = Ref::steal(PyDict_Copy(t->tp_dict));
    if (!snapshot) {
        PyErr_Clear();
        return fail();
    }
    WatchedType& watched = types_[n_types_++];
    watched.type.set(Ref::borrow(cls));
    watched.mro.set(Ref::borrow(t->tp_mro));
    watched.snapshot.set(std::move(snapshot));
    watched.tag = t->tp_version_tag;
    for (const char* name : methods) function(PyDict_GetItemString(t->tp_dict, name));
}

void Guard::arm() {
    n_fixed_dicts_ = n_dicts_;
    armed_ = !broken_ && recheck();
}

// A class changed (or its tag was dropped, as sys._clear_type_cache() drops
// every tag) is still the same when its dict holds the same objects and its
// bases are the same; it is then tagged afresh.
bool Guard::retag_types() {
    for (int i = 0; i < n_types_; ++i) {
        WatchedType& w = types_[i];
        auto* t = reinterpret_cast<PyTypeObject*>(w.type.get());
        if ((t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == w.tag) continue;
        if (t->tp_mro != w.mro.get() || PyDict_Size(t->tp_dict) != PyDict_Size(w.snapshot.get())) return false;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(w.snapshot.get(), &pos, &key, &value)) {
            if (!same_entry(t->tp_dict, key, value)) return false;
        }
        _PyType_Lookup(t, builtins_key());
        if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
        w.tag = t->tp_version_tag;
    }
    return true;
}

bool Guard::recheck() {
    if (broken_ || !fixed_parts_hold()) return false;
    for (int i = 0; i < n_entries_; ++i) {
        const WatchedEntry& e = entries_[i];
        if (!same_entry(e.dict.get(), e.key.get(), e.value.get())) return false;
    }
    if (!retag_types()) return false;
    while (n_dicts_ > n_fixed_dicts_) dicts_[--n_dicts_].dict.clear();
    while (n_instances_ > 0) {
        WatchedInstance& w = instances_[--n_instances_];
        w.object.clear();
        w.type.clear();
        w.dict.clear();
    }
    if (extra_check_ && !extra_check_(*this)) return false;
    for (int i = 0; i < n_dicts_; ++i) dicts_[i].version = dict_version(dicts_[i].dict.get());
    return true;
}

}  // namespace qv
