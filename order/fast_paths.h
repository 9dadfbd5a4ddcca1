// Native equivalents of the standard-library calls on the order path. Each
// gives bit-for-bit what the library call gives, and is used only while the
// matching guard (module/original_attr.h) says the host has rebound nothing.
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
