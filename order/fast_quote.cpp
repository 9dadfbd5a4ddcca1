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

// Whether a cached text is what quote() writes for byte b.
bool canonical_text(PyObject* key, PyObject* text) {
    if (!PyLong_CheckExact(key) || !PyUnicode_CheckExact(text)) return false;
    long b = PyLong_AsLong(key);
    if (b < 0 || b > 255) {
        PyErr_Clear();
        return false;
    }
    static const char hex[] = "0123456789ABCDEF";
    char expected[4] = {static_cast<char>(b), 0, 0, 0};
    if (!is_unreserved(static_cast<unsigned char>(b))) {
        expected[0] = '%';
        expected[1] = hex[b >> 4];
        expected[2] = hex[b & 15];
    }
    return PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// Whether a Quoter's safe set is exactly the bytes that is_unreserved() keeps.
bool canonical_safe_set(PyObject* safe) {
    if (!PyFrozenSet_CheckExact(safe)) return false;
    Py_ssize_t kept = 0;
    for (int b = 0; b < 256; ++b) {
        if (!is_unreserved(static_cast<unsigned char>(b))) continue;
        ++kept;
        Ref n = Ref::steal(PyLong_FromLong(b));
        if (!n || PySet_Contains(safe, n.get()) != 1) {
            PyErr_Clear();
            return false;
        }
    }
    return PySet_GET_SIZE(safe) == kept;
}

// The entry for b"/": none yet, or a Quoter whose texts and safe set are
// what the native quoting writes. Watches the Quoter's dicts, and its class
// and instance dict by identity, until the next full check. A lookup that
// fails answers no, its error cleared: the general path meets it itself.
bool quoter_cache_agrees(Guard& guard) {
    guard.watch_extra(quoters.by_safe.get());
    PyObject* getitem = PyDict_GetItemWithError(quoters.by_safe.get(), quoters.slash.get());
    if (!getitem) {
        if (!PyErr_Occurred()) return true;
        PyErr_Clear();
        return false;
    }
    if (!PyCFunction_CheckExact(getitem)) return false;
    PyObject* quoter = PyCFunction_GET_SELF(getitem);
    auto* method = reinterpret_cast<PyCFunctionObject*>(getitem)->m_ml;
    if (!quoter || Py_TYPE(quoter) != reinterpret_cast<PyTypeObject*>(quoters.quoter_class.get()) ||
        std::strcmp(method->ml_name, "__getitem__") != 0) {
        return false;
    }
    PyObject** attrs = _PyObject_GetDictPtr(quoter);
    PyObject* safe = attrs && *attrs ? PyDict_GetItemWithError(*attrs, quoters.safe_name.get()) : nullptr;
    if (!safe || !canonical_safe_set(safe)) {
        PyErr_Clear();
        return false;
    }
    PyObject *key, *text;
    Py_ssize_t pos = 0;
    while (PyDict_Next(quoter, &pos, &key, &text)) {
        if (!canonical_text(key, text)) return false;
    }
    guard.watch_extra(quoter);
    guard.watch_extra(*attrs);
    guard.watch_instance(quoter);
    return !guard.broken();
}

}  // namespace

void watch_quoter_cache(Guard& guard, PyObject* safe_quoters, PyObject* quoter_class) {
    if (!safe_quoters || !PyDict_CheckExact(safe_quoters) || !quoter_class || !PyType_Check(quoter_class)) {
        guard.extra_check([](Guard&) { return false; });
        return;
    }
    quoters.by_safe.set(Ref::borrow(safe_quoters));
    quoters.quoter_class.set(Ref::borrow(quoter_class));
    if (quoters.slash.set_made(Ref::steal(PyBytes_FromString("/"))) < 0 ||
        quoters.safe_name.set_made(Ref::steal(PyUnicode_InternFromString("safe"))) < 0) {
        PyErr_Clear();
        guard.extra_check([](Guard&) { return false; });
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
