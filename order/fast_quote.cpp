#include "order/fast_paths.h"

#include "module/original_attr.h"

#include <cstring>

namespace qv {

namespace {

// Bytes that quote() leaves as they are with safe="/": ASCII letters and
// digits, "_.-~" and "/".
constexpr bool unreserved_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '~' || c == '/';
}

struct UnreservedTable {
    bool entries[256];
    constexpr UnreservedTable() : entries() {
        for (int c = 0; c < 256; ++c) entries[c] = unreserved_byte(static_cast<unsigned char>(c));
    }
};
constexpr UnreservedTable kUnreserved;

inline bool is_unreserved(unsigned char c) { return kUnreserved.entries[c]; }

// quote_from_bytes() quotes through _safe_quoters[safe], the __getitem__ of
// a Quoter: a dict of byte -> text that fills itself from __missing__ with
// the bytes in its `safe` set left as they are. quote() passes safe=b"/".
struct QuoterCache {
    Slot by_safe;  // urllib.parse._safe_quoters
    Slot quoter_class;
    Slot slash;  // b"/"
    Slot safe_name;
};
QuoterCache quoters;

// The checks below read the cache without a single call that can run
// Python code: a dict lookup compares keys of the same hash with __eq__, and
// set membership compares elements the same way, so both are done by
// walking the container and comparing only exact bytes, str and int, which
// compare without calling out. Anything else answers no, and the general
// path meets it itself. That is also why borrowed pointers are enough here:
// nothing can free what they point to while the check runs.

// Whether a cached text is what quote() writes for byte b.
bool canonical_text(PyObject* key, PyObject* text) {
    if (!PyLong_CheckExact(key) || !PyUnicode_CheckExact(text)) return false;
    int overflow = 0;
    long b = PyLong_AsLongAndOverflow(key, &overflow);
    if (overflow || b < 0 || b > 255) return false;
    static const char hex[] = "0123456789ABCDEF";
    char expected[4] = {static_cast<char>(b), 0, 0, 0};
    if (!is_unreserved(static_cast<unsigned char>(b))) {
        expected[0] = '%';
        expected[1] = hex[b >> 4];
        expected[2] = hex[b & 15];
    }
    return PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// Whether a Quoter's safe set is exactly the bytes that is_unreserved()
// keeps: a frozenset of exact ints, each one of them.
bool canonical_safe_set(PyObject* safe) {
    if (!PyFrozenSet_CheckExact(safe)) return false;
    Py_ssize_t kept = 0;
    for (int b = 0; b < 256; ++b) kept += is_unreserved(static_cast<unsigned char>(b));
    if (PySet_GET_SIZE(safe) != kept) return false;
    PyObject* element;
    Py_hash_t hash;
    Py_ssize_t pos = 0;
    while (_PySet_NextEntry(safe, &pos, &element, &hash)) {
        if (!PyLong_CheckExact(element)) return false;
        int overflow = 0;
        long b = PyLong_AsLongAndOverflow(element, &overflow);
        // Distinct ints, as many as the kept bytes, each a kept byte.
        if (overflow || b < 0 || b > 255 || !is_unreserved(static_cast<unsigned char>(b))) return false;
    }
    return true;
}

// dict[key] where every key of dict must be exact str (any other answers
// no); *value is null when no key equals `key`.
bool str_keyed_entry(PyObject* dict, PyObject* key, PyObject** value) {
    *value = nullptr;
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        if (k == key || _PyUnicode_EQ(k, key)) *value = v;
    }
    return true;
}

// The same for a dict whose keys must all be exact bytes.
bool bytes_keyed_entry(PyObject* dict, PyObject* key, PyObject** value) {
    *value = nullptr;
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    const Py_ssize_t size = PyBytes_GET_SIZE(key);
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (!PyBytes_CheckExact(k)) return false;
        if (PyBytes_GET_SIZE(k) == size && std::memcmp(PyBytes_AS_STRING(k), PyBytes_AS_STRING(key), size) == 0) {
            *value = v;
        }
    }
    return true;
}

// The entry for b"/": none yet, or a Quoter whose texts and safe set are
// what the native quoting writes. Watches the cache, the Quoter's dicts,
// and its class and instance dict by identity, until the next full check.
// Runs no Python code (see above), so it never fails: 1 or 0.
int quoter_cache_agrees(Guard& guard) {
    guard.watch_dict(quoters.by_safe.get());
    PyObject* getitem;
    if (!bytes_keyed_entry(quoters.by_safe.get(), quoters.slash.get(), &getitem)) return 0;
    if (!getitem) return !guard.broken();
    if (!PyCFunction_CheckExact(getitem)) return 0;
    PyObject* quoter = PyCFunction_GET_SELF(getitem);
    auto* method = reinterpret_cast<PyCFunctionObject*>(getitem)->m_ml;
    if (!quoter || Py_TYPE(quoter) != reinterpret_cast<PyTypeObject*>(quoters.quoter_class.get()) ||
        std::strcmp(method->ml_name, "__getitem__") != 0) {
        return 0;
    }
    PyObject** attrs = _PyObject_GetDictPtr(quoter);
    PyObject* safe;
    if (!attrs || !*attrs || !PyDict_Check(*attrs) || !str_keyed_entry(*attrs, quoters.safe_name.get(), &safe) ||
        !safe || !canonical_safe_set(safe)) {
        return 0;
    }
    PyObject *key, *text;
    Py_ssize_t pos = 0;
    while (PyDict_Next(quoter, &pos, &key, &text)) {
        if (!canonical_text(key, text)) return 0;
    }
    guard.watch_dict(quoter);
    guard.watch_dict(*attrs);
    guard.watch_instance(quoter);
    return !guard.broken();
}

}  // namespace

void watch_quoter_cache(Guard& guard, PyObject* safe_quoters, PyObject* quoter_class) {
    if (!safe_quoters || !PyDict_CheckExact(safe_quoters) || !quoter_class || !PyType_Check(quoter_class)) {
        guard.extra_check([](Guard&) { return 0; });
        return;
    }
    quoters.by_safe.set(Ref::borrow(safe_quoters));
    quoters.quoter_class.set(Ref::borrow(quoter_class));
    if (quoters.slash.set_made(Ref::steal(PyBytes_FromString("/"))) < 0 ||
        quoters.safe_name.set_made(Ref::steal(PyUnicode_InternFromString("safe"))) < 0) {
        PyErr_Clear();
        guard.extra_check([](Guard&) { return 0; });
        return;
    }
    guard.extra_check(quoter_cache_agrees);
}

Py_ssize_t quoted_length(const char* utf8, Py_ssize_t len) {
    Py_ssize_t out_len = 0;
    for (Py_ssize_t i = 0; i < len; ++i) out_len += is_unreserved(static_cast<unsigned char>(utf8[i])) ? 1 : 3;
    return out_len;
}

Py_UCS1* write_quoted(Py_UCS1* out, const char* utf8, Py_ssize_t len) {
    static const char hex[] = "0123456789ABCDEF";
    for (Py_ssize_t i = 0; i < len; ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (is_unreserved(c)) {
            *out++ = c;
        } else {
            *out++ = '%';
            *out++ = static_cast<Py_UCS1>(hex[c >> 4]);
            *out++ = static_cast<Py_UCS1>(hex[c & 15]);
        }
    }
    return out;
}

Ref quote_text(PyObject* text) {
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &len);
    if (!utf8) return Ref();
    Py_ssize_t out_len = quoted_length(utf8, len);
    if (out_len == len) {
        // Nothing to encode: quote() gives text equal to its argument.
        if (PyUnicode_CheckExact(text)) return Ref::borrow(text);
        return Ref::steal(PyUnicode_FromStringAndSize(utf8, len));
    }
    Ref quoted = Ref::steal(PyUnicode_New(out_len, 127));
    if (!quoted) return quoted;
    write_quoted(static_cast<Py_UCS1*>(PyUnicode_DATA(quoted.get())), utf8, len);
    return quoted;
}

}  // namespace qv
