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

// Whether dict[key] is `expected` (null: absent): 1 or 0, or -1 (see
// Guard::lookup_failed()). The lookup may run a key's __eq__; the three
// objects are the guard's, held strongly, and no code can take them from
// it meanwhile (a guard does not start a full check inside its own).
int same_entry(PyObject* dict, PyObject* key, PyObject* expected) {
    PyObject* now = PyDict_GetItemWithError(dict, key);  // borrowed, only compared
    if (!now && PyErr_Occurred()) return Guard::lookup_failed();
    return now == expected;
}

}  // namespace

int Guard::lookup_failed() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

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
    // a full check that succeeds takes the tags (those seen at its start, or
    // when it began to watch the dict).
    WatchedDict& watched = dicts_[n_dicts_++];
    watched.dict.set(Ref::borrow(dict));
    watched.version = 0;
    watched.seen = dict_version(dict);
}

void Guard::watch_instance(PyObject* object) {
    if (instance_.object) return overflowed("instances");
    PyObject** dict = _PyObject_GetDictPtr(object);
    instance_.object.set(Ref::borrow(object));
    instance_.type.set(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))));
    instance_.dict.set(Ref::borrow(dict ? *dict : nullptr));
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
        lookup_failed();
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
    // The lookups below may run Python code (a key's __eq__), which may
    // rebind what the function holds: what they walk is held here.
    if (f->func_kwdefaults) {
        Ref kwdefaults = Ref::borrow(f->func_kwdefaults);
        PyObject* key;
        Py_ssize_t pos = 0;
        while (!broken_ && PyDict_Next(kwdefaults.get(), &pos, &key, nullptr)) {
            Ref held = Ref::borrow(key);
            entry(kwdefaults.get(), held.get());
        }
    }
    Ref globals = Ref::borrow(f->func_globals);
    if (!builtins_key()) {
        PyErr_Clear();
        return fail();
    }
    entry(globals.get(), builtins_key());
    if (broken_) return;
    Ref builtins = Ref::borrow(builtins_dict_of(globals.get()));
    if (!builtins) {
        if (PyErr_Occurred()) lookup_failed();
        return fail();
    }
    // co_names holds the names of globals and of attributes alike; watching
    // both is more than needed and never less.
    Ref names = Ref::borrow(reinterpret_cast<PyCodeObject*>(f->func_code)->co_names);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()) && !broken_; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        if (!entry(globals.get(), name) && !broken_) entry(builtins.get(), name);
    }
}

void Guard::type(PyObject* cls, std::initializer_list<const char*> methods) {
    // A guard already broken may carry the stop request that broke it (see
    // lookup_failed()): it stays set for arm() to return.
    if (broken_) return;
    if (!cls || !PyType_Check(cls)) return fail();
    if (!builtins_key()) {
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
    for (const char* name : methods) {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        if (!key) {
            lookup_failed();
            return fail();
        }
        Ref method = Ref::borrow(PyDict_GetItemWithError(t->tp_dict, key.get()));
        if (!method && PyErr_Occurred()) {
            lookup_failed();
            return fail();
        }
        function(method.get());
        if (broken_) return;
    }
}

int Guard::arm() {
    n_fixed_dicts_ = n_dicts_;
    if (broken_) return PyErr_Occurred() ? -1 : 0;
    int checked = recheck();
    armed_ = checked == 1;
    return checked < 0 ? -1 : 0;
}

// A class changed (or its tag was dropped, as sys._clear_type_cache() drops
// every tag) is still the same when its dict holds the same objects and its
// bases are the same; it is then tagged afresh. The tag is taken before the
// comparison: a change made meanwhile (by a key's __eq__) drops it again.
int Guard::retag_types() {
    for (int i = 0; i < n_types_; ++i) {
        WatchedType& w = types_[i];
        auto* t = reinterpret_cast<PyTypeObject*>(w.type.get());
        if ((t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == w.tag) continue;
        if (t->tp_mro != w.mro.get()) return 0;
        _PyType_Lookup(t, builtins_key());
        if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
        unsigned int tag = t->tp_version_tag;
        Ref dict = Ref::borrow(t->tp_dict);
        if (PyDict_Size(dict.get()) != PyDict_Size(w.snapshot.get())) return 0;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(w.snapshot.get(), &pos, &key, &value)) {
            Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
            int same = same_entry(dict.get(), held_key.get(), held_value.get());
            if (same <= 0) return same;
        }
        if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || t->tp_version_tag != tag) return 0;
        w.tag = tag;
    }
    return 1;
}

int Guard::recheck() {
    if (broken_ || checking_) return 0;
    checking_ = true;
    int checked = full_check();
    checking_ = false;
    return checked;
}

int Guard::full_check() {
    if (!fixed_parts_hold()) return 0;
    // The dicts' tags before any comparison: a write made meanwhile, by code
    // that a lookup runs, moves one and fails the check at the end.
    for (int i = 0; i < n_fixed_dicts_; ++i) dicts_[i].seen = dict_version(dicts_[i].dict.get());
    for (int i = 0; i < n_entries_; ++i) {
        const WatchedEntry& e = entries_[i];
        int same = same_entry(e.dict.get(), e.key.get(), e.value.get());
        if (same <= 0) return same;
    }
    int retagged = retag_types();
    if (retagged <= 0) return retagged;
    while (n_dicts_ > n_fixed_dicts_) dicts_[--n_dicts_].dict.clear();
    instance_.object.clear();
    instance_.type.clear();
    instance_.dict.clear();
    if (extra_check_) {
        int extra = extra_check_(*this);
        if (extra <= 0 || broken_) return extra < 0 ? -1 : 0;
    }
    // What the comparisons may have changed behind them.
    if (!fixed_parts_hold() || !instance_holds() || !tags_hold()) return 0;
    for (int i = 0; i < n_dicts_; ++i) {
        if (dict_version(dicts_[i].dict.get()) != dicts_[i].seen) return 0;
    }
    for (int i = 0; i < n_dicts_; ++i) dicts_[i].version = dicts_[i].seen;
    return 1;
}

}  // namespace qv
