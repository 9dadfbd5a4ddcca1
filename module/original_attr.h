// Fast-path guards: whether everything that a general path would read on its
// way through the standard library is still what start-up found.
//
// A guard watches five kinds of things, each at the cost of a load or two:
//   modules    the object's type must still be exactly the module type
//              (assigning a module's __class__ writes no dict);
//   functions  a Python function's __code__, __defaults__ and __kwdefaults__
//              must be the same objects;
//   types      a class's version tag must be the one taken at the last full
//              check (the interpreter retags a class on every change to it,
//              to its bases or to __bases__);
//   dicts      the version tag of each dict that holds a watched name. While
//              no watched dict has been written, every name still maps to
//              the same object; after a write, the names (and the classes'
//              contents) are compared one by one and the tags taken afresh,
//              so an unrelated write costs one full check, and a rebinding by
//              the host is seen at the very next use;
//   instance   for an object found at a full check (the cached quoter), its
//              type and instance dict by identity: assigning __class__ or
//              __dict__ writes no dict that a tag covers.
// Every object a guard holds is held strongly (a Slot), so that a comparison
// by identity cannot be fooled by a freed object's address being reused.
//
// A full check looks names up in dicts, and a lookup can run Python code (a
// key's __eq__). That code may change what was already compared, or use a
// fast path itself: the tags are taken before the comparisons and must not
// have moved by the end, and a guard in the middle of its full check answers
// "changed" to such a use rather than start another one.
#pragma once

#include "module/globals.h"

#include <cstdint>

namespace qv {

class Guard {
public:
    // 1 while nothing watched has changed; 0 when something has (or may
    // have: the caller then takes the general path, which reads everything
    // itself); -1 with the exception set when a full check met an exception
    // that is no failed lookup (a KeyboardInterrupt raised inside a key's
    // __eq__, or an exception set on the thread from outside): the caller
    // fails with it, as the general path would.
    int check() {
        // A use from inside this guard's own full check (code that a lookup
        // or a release runs) finds the watched things half compared, or the
        // extra watches already let go of: it takes the general path.
        if (!armed_ || checking_ || !fixed_parts_hold()) return 0;
        if (!instance_holds()) return recheck();
        if (!tags_hold()) return recheck();
        for (int i = 0; i < n_dicts_; ++i) {
            if (dict_version(dicts_[i].dict.get()) != dicts_[i].version) return recheck();
        }
        return 1;
    }

    // What a lookup that failed means to a full check: an Exception (a key's
    // __eq__ that raises, say) is cleared and answers "changed" (0); any
    // other BaseException stays set (-1).
    static int lookup_failed();

    // ---- building, at start-up; any failure leaves the guard off for good.

    // The module global `name` (its namespace entry); must be a plain module.
    PyObject* module_global(const Name& name);
    // `owner`.`attr` where owner is a watched plain module (its dict entry).
    PyObject* module_attr(PyObject* owner, const char* attr);
    // The same, and the object must be a plain module.
    PyObject* submodule(PyObject* owner, const char* attr);
    // The same, and the object must be a function written in C.
    PyObject* c_function(PyObject* owner, const char* attr);
    // Watches a Python function: its code, defaults and keyword defaults
    // (their entries too), and every name its code could read as a global:
    // the entry in its globals, or, where the globals lack it, the absence
    // there and the entry in its builtins.
    void function(PyObject* fn);
    // Watches a class (its whole dict and its bases, through its version
    // tag) and the listed methods of it as functions.
    void type(PyObject* cls, std::initializer_list<const char*> methods);
    // Watches `key` of `dict` (absent stays absent); what it maps to now.
    PyObject* entry(PyObject* dict, PyObject* key);
    // A check of its own, run at every full check, last; 1, 0 or -1 as
    // check() answers. It may watch more dicts (watch_dict) and one object's
    // type and instance dict (watch_instance), which are forgotten before
    // the next full check; a dict's tag is taken when it is watched.
    void extra_check(int (*check)(Guard&)) { extra_check_ = check; }
    bool broken() const { return broken_; }
    void watch_dict(PyObject* dict);
    void watch_instance(PyObject* object);

    // Which fixed capacity ran out and so turned the guard off for good
    // ("modules", "functions", "types", "dicts", "entries", "instances"), or
    // null; for the tests, which check that today's guards fit.
    const char* overflow() const { return overflow_; }
    // Ends the building: arms the guard if everything was found. -1 when
    // its first full check failed with an exception (see check()).
    int arm();

private:
    struct WatchedDict {
        Slot dict;
        uint64_t version = 0;  // at the last full check that succeeded
        uint64_t seen = 0;     // at the start of the full check under way
    };
    struct WatchedEntry {
        Slot dict;
        Slot key;
        Slot value;  // empty: absent
    };
    struct WatchedFunction {
        Slot function;
        Slot code;
        Slot defaults;
        Slot kwdefaults;
    };
    struct WatchedType {
        Slot type;
        Slot mro;       // the tuple, replaced when __bases__ is
        Slot snapshot;  // a copy of the class's dict
        unsigned int tag = 0;
    };
    struct WatchedInstance {
        Slot object;  // empty: none watched
        Slot type;
        Slot dict;  // empty: none
    };
    static constexpr int kMaxModules = 4, kMaxFunctions = 8, kMaxTypes = 2, kMaxDicts = 12, kMaxEntries = 112;

    // The modules' types and the functions' parts, which no dict tag covers.
    // By identity: a function whose __defaults__ is given back as an equal
    // but new tuple (a patch undone by assigning a copy) leaves the fast
    // path off for good. That costs speed only, never a wrong result, and
    // comparing by value would run the elements' __eq__, Python code, here.
    bool fixed_parts_hold() const {
        for (int i = 0; i < n_modules_; ++i) {
            if (Py_TYPE(modules_[i].get()) != &PyModule_Type) return false;
        }
        for (int i = 0; i < n_functions_; ++i) {
            const WatchedFunction& f = functions_[i];
            auto* fn = reinterpret_cast<PyFunctionObject*>(f.function.get());
            if (fn->func_code != f.code.get() || fn->func_defaults != f.defaults.get() ||
                fn->func_kwdefaults != f.kwdefaults.get()) {
                return false;
            }
        }
        return true;
    }
    bool instance_holds() const {
        const WatchedInstance& w = instance_;
        if (!w.object) return true;
        PyObject** dict = _PyObject_GetDictPtr(w.object.get());
        return Py_TYPE(w.object.get()) == reinterpret_cast<PyTypeObject*>(w.type.get()) &&
               (dict ? *dict : nullptr) == w.dict.get();
    }
    bool tags_hold() const {
        for (int i = 0; i < n_types_; ++i) {
            auto* t = reinterpret_cast<PyTypeObject*>(types_[i].type.get());
            if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || t->tp_version_tag != types_[i].tag) return false;
        }
        return true;
    }
    static uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
    int recheck();
    int full_check();
    int retag_types();
    bool watch_module(PyObject* found);
    void fail() { broken_ = true; }
    void overflowed(const char* capacity) {
        if (!overflow_) overflow_ = capacity;
        fail();
    }

    bool armed_ = false;
    bool broken_ = false;
    bool checking_ = false;  // a full check is under way
    const char* overflow_ = nullptr;
    int (*extra_check_)(Guard&) = nullptr;
    int n_modules_ = 0, n_functions_ = 0, n_types_ = 0, n_dicts_ = 0, n_fixed_dicts_ = 0, n_entries_ = 0;
    Slot modules_[kMaxModules];
    WatchedFunction functions_[kMaxFunctions];
    WatchedType types_[kMaxTypes];
    WatchedDict dicts_[kMaxDicts];
    WatchedEntry entries_[kMaxEntries];
    WatchedInstance instance_;
};

// The guards of the module's fast paths, built after the module statements
// have run. What each one watches is listed in order/fast_paths.h.
struct FastPathGuards {
    Guard time_time;       // time.time
    Guard uuid_uuid4;      // str(uuid.uuid4())
    Guard quote;           // urllib.parse.quote(text)
    Guard hmac_new;        // hmac.new(key, message, digest).hexdigest()
    Guard hashlib_sha256;  // hashlib.sha256
};
extern FastPathGuards fast;

// 0, or -1 when a guard's first full check failed with an exception that is
// no failed lookup (see Guard::check()).
int capture_fast_path_guards();

}  // namespace qv
