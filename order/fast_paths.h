// Native equivalents of the standard-library calls on the order path. Each
// gives bit-for-bit what the library call gives, and is used only while its
// guard (module/original_attr.h; built in order/fast_path_guards.cpp) holds.
//
// What each guard watches: every object that the general path reads on the
// way, so that a patch anywhere below the module global changes the result
// exactly as it changes the general path's. "Function" means its __code__,
// __defaults__ and __kwdefaults__ (and that dict's entries), its globals'
// "__builtins__", and each name its code could read as a global: the entry
// in its module, or where the module lacks it, that absence and the entry in
// the builtins. "Module" means the object's type must stay exactly the module
// type (a reassigned __class__ can answer attributes its own way). "Class"
// means its whole dict and its bases (version tag), and the listed methods
// as functions.
//
//   time.time       the namespace's `time`; that module; its `time`, a
//                   function written in C.
//   uuid.uuid4      the namespace's `uuid`; that module; its `uuid4`
//                   (function); its `os` (module) and that module's
//                   `urandom` (written in C); its `UUID` (class: __init__,
//                   __str__).
//   quote           the namespace's `urllib`; that package; its `parse`
//                   (module); quote and quote_from_bytes (functions), Quoter
//                   (class: __init__, __missing__); the cache
//                   _safe_quoters[b"/"]: none yet, or the __getitem__ of a
//                   Quoter whose texts are all quote()'s own and whose safe
//                   set is exactly the unreserved bytes and "/" (its dict and
//                   attributes watched after each full check, its class and
//                   the identity of its attribute dict at every use).
//   hmac.new        the namespace's `hmac`; that module; its `new`
//                   (function) and `HMAC` (class: __init__, update,
//                   _current, hexdigest), with the module globals these read
//                   (trans_5C, trans_36, ...).
//   hashlib.sha256  the namespace's `hashlib`; that module; its `sha256`,
//                   written in C.
// Built-in types and functions written in C (int, str, bytes, dict, the
// hash objects) cannot be changed from Python and are not watched.
#pragma once

#include "module/ref.h"

#include <cstddef>
#include <cstdint>

namespace qv {

class Guard;

// int(time.time() * 1000) for a system-clock reading of `ns` nanoseconds:
// the same double seconds the time module makes, times 1000, truncated.
long long ms_from_realtime_ns(int64_t ns);

// The wall clock now, in ms as above. False when the clock cannot be read.
bool realtime_ms(long long* out);

// str(uuid.uuid4()): a version-4 UUID from the operating system's random
// source (the same source os.urandom reads). New reference or null.
Ref uuid4_text();

// urllib.parse.quote(text) with its defaults (safe "/", UTF-8, strict).
// New reference or null (UnicodeEncodeError for lone surrogates).
Ref quote_text(PyObject* text);

// Makes `guard` check, at each of its full checks, urllib.parse's cache of
// quoters (see the list above).
void watch_quoter_cache(Guard& guard, PyObject* safe_quoters, PyObject* quoter_class);

// The length of quote() of UTF-8 text, and the quoted text written at `out`
// (ASCII); returns the end of what was written.
Py_ssize_t quoted_length(const char* utf8, Py_ssize_t len);
Py_UCS1* write_quoted(Py_UCS1* out, const char* utf8, Py_ssize_t len);

// Lowercase hexadecimal HMAC-SHA256 of message under key.
void hmac_sha256_hex(const unsigned char* key, size_t key_len, const unsigned char* message, size_t message_len,
                     char out[64]);

// hmac.new(secret, message, hashlib.sha256).hexdigest() for two str
// arguments (UTF-8 encoded). New reference or null.
Ref hmac_sha256_text(PyObject* secret, PyObject* message);

}  // namespace qv
