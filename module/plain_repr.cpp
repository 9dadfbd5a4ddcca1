#include "module/plain_repr.h"

#include <cstdio>
#include <cstring>

namespace qv {

namespace {

constexpr int kMaxDepth = 64;

enum class Step { kDone, kNotPlain, kNoMemory };

// One buffer, reused by every call (the interpreter lock serialises them).
// It keeps at most kKeep bytes between calls: a single huge reply must not
// hold its size for the life of the process.
struct Buffer {
    static constexpr size_t kKeep = 64 * 1024;

    char* data = nullptr;
    size_t len = 0;
    size_t cap = 0;

    bool reserve(size_t extra) {
        if (len + extra <= cap) return true;
        size_t grown = cap ? cap * 2 : 1024;
        while (grown < len + extra) grown *= 2;
        auto* bigger = static_cast<char*>(PyMem_RawRealloc(data, grown));
        if (!bigger) return false;
        data = bigger;
        cap = grown;
        return true;
    }
    bool put(const char* s, size_t n) {
        if (!reserve(n)) return false;
        std::memcpy(data + len, s, n);
        len += n;
        return true;
    }
    bool put(char c) { return put(&c, 1); }
    // After a call: a buffer that grew past kKeep is freed (the next call
    // grows a new one); a smaller one stays for reuse.
    void give_back_excess() {
        len = 0;
        if (cap <= kKeep) return;
        PyMem_RawFree(data);
        data = nullptr;
        cap = 0;
    }
};
Buffer buffer;

Step done(bool ok) { return ok ? Step::kDone : Step::kNoMemory; }

// repr() of ASCII text: single quotes unless the text has single quotes
// and no double ones; backslash, the quote, \t \n \r escaped; other control
// characters as \xhh.
Step write_str(PyObject* s) {
    if (PyUnicode_READY(s) < 0) {
        PyErr_Clear();
        return Step::kNotPlain;
    }
    if (!PyUnicode_IS_ASCII(s)) return Step::kNotPlain;
    const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
    size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    bool single = std::memchr(p, '\'', n) != nullptr;
    bool dbl = std::memchr(p, '"', n) != nullptr;
    char quote = (single && !dbl) ? '"' : '\'';
    if (!buffer.reserve(4 * n + 2)) return Step::kNoMemory;
    char* out = buffer.data + buffer.len;
    *out++ = quote;
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == static_cast<unsigned char>(quote) || c == '\\') {
            *out++ = '\\';
            *out++ = static_cast<char>(c);
        } else if (c == '\t') {
            *out++ = '\\';
            *out++ = 't';
        } else if (c == '\n') {
            *out++ = '\\';
            *out++ = 'n';
        } else if (c == '\r') {
            *out++ = '\\';
            *out++ = 'r';
        } else if (c < ' ' || c == 0x7f) {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 15];
        } else {
            *out++ = static_cast<char>(c);
        }
    }
    *out++ = quote;
    buffer.len = static_cast<size_t>(out - buffer.data);
    return Step::kDone;
}

Step write_int(PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        Ref text = Ref::steal(PyObject_Repr(o));  // digits and a sign: ASCII
        if (!text) return Step::kNoMemory;
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
        if (!s) return Step::kNoMemory;
        return done(buffer.put(s, static_cast<size_t>(n)));
    }
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%lld", v);
    return done(buffer.put(digits, static_cast<size_t>(n)));
}

Step write_float(PyObject* o) {
    char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(o), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) return Step::kNoMemory;
    bool ok = buffer.put(text, std::strlen(text));
    PyMem_Free(text);
    return done(ok);
}

Step write_value(PyObject* o, int depth);

Step write_dict(PyObject* d, int depth) {
    if (!buffer.put('{')) return Step::kNoMemory;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!first && !buffer.put(", ", 2)) return Step::kNoMemory;
        first = false;
        Step s = write_value(key, depth + 1);
        if (s != Step::kDone) return s;
        if (!buffer.put(": ", 2)) return Step::kNoMemory;
        s = write_value(value, depth + 1);
        if (s != Step::kDone) return s;
    }
    return done(buffer.put('}'));
}

Step write_list(PyObject* l, int depth) {
    if (!buffer.put('[')) return Step::kNoMemory;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        if (i && !buffer.put(", ", 2)) return Step::kNoMemory;
        Step s = write_value(PyList_GET_ITEM(l, i), depth + 1);
        if (s != Step::kDone) return s;
    }
    return done(buffer.put(']'));
}

Step write_value(PyObject* o, int depth) {
    if (depth > kMaxDepth) return Step::kNotPlain;
    if (PyUnicode_CheckExact(o)) return write_str(o);
    if (o == Py_None) return done(buffer.put("None", 4));
    if (o == Py_True) return done(buffer.put("True", 4));
    if (o == Py_False) return done(buffer.put("False", 5));
    if (PyLong_CheckExact(o)) return write_int(o);
    if (PyFloat_CheckExact(o)) return write_float(o);
    if (PyDict_CheckExact(o)) return write_dict(o, depth);
    if (PyList_CheckExact(o)) return write_list(o, depth);
    return Step::kNotPlain;
}

}  // namespace

Ref plain_repr(PyObject* o) {
    buffer.len = 0;
    Step step = write_value(o, 0);
    Ref text;
    if (step == Step::kDone) {
        text = Ref::steal(PyUnicode_DecodeASCII(buffer.data, static_cast<Py_ssize_t>(buffer.len), nullptr));
    } else if (step == Step::kNoMemory && !PyErr_Occurred()) {
        PyErr_NoMemory();
    }
    buffer.give_back_excess();
    return text;
}

}  // namespace qv
