// HMAC-SHA256 signature of a query string, as hexadecimal text.
#pragma once

#include "module/ref.h"

namespace qv {

// The body of sign_request; arguments are exact str or None. New reference,
// or null with a traceback record "quorvane_3.sign_request".
Ref sign_request_body(PyObject* query_string, PyObject* secret_key);

// UTF-8 bytes of a str argument that may be None (AttributeError for None,
// as `None.encode` would raise).
Ref encode_utf8_argument(PyObject* text);

// The checks that encode_utf8_argument makes (None, lone surrogates) without
// making the bytes, for the native signer, which reads the UTF-8 text itself.
// False with the same exception set.
bool utf8_argument_checked(PyObject* text);

// Whether hmac.new and hashlib.sha256 are what start-up found, so that
// hmac_sha256_text gives what they would: 1 or 0, or -1 with the exception
// set (see Guard::check()).
int native_signing_possible();

}  // namespace qv
