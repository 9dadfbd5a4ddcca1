#include "order/fast_paths.h"

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

}  // namespace

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
