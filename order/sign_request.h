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

}  // namespace qv
