#include "order/sign_request.h"

#include "module/constants.h"
#include "module/globals.h"
#include "module/original_attr.h"
#include "order/fast_paths.h"
#include "module/shared_ops.h"
#include "module/traceback.h"

namespace qv {

namespace {

constexpr const char* kFunc = "quorvane_3.sign_request";

GlobalSite hmac_site;
GlobalSite hashlib_site;

// hmac.new(secret, message, hashlib.sha256), in that order of lookups.
Ref new_hmac(PyObject* secret, PyObject* message) {
    Ref hmac = lookup_global(id::hmac, hmac_site);
    if (!hmac) return hmac;
    Ref make = Ref::steal(PyObject_GetAttr(hmac.get(), id::new_.str.get()));
    if (!make) return make;
    Ref hashlib = lookup_global(id::hashlib, hashlib_site);
    if (!hashlib) return hashlib;
    Ref digest = Ref::steal(PyObject_GetAttr(hashlib.get(), id::sha256.str.get()));
    if (!digest) return digest;
    PyObject* args[] = {secret, message, digest.get()};
    return call(make.get(), args, 3);
}

// None has no encode(): raises the AttributeError that `None.encode` would.
bool reject_none_argument(PyObject* text) {
    if (text != Py_None) return false;
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
    return true;
}

}  // namespace

Ref encode_utf8_argument(PyObject* text) {
    if (reject_none_argument(text)) return Ref();
    return Ref::steal(PyUnicode_AsUTF8String(text));
}

bool utf8_argument_checked(PyObject* text) {
    if (reject_none_argument(text)) return false;
    Py_ssize_t unused;
    return PyUnicode_AsUTF8AndSize(text, &unused) != nullptr;
}

// With hmac.new and hashlib.sha256 as start-up found them, the signature is
// computed natively from the arguments' UTF-8 text.
int native_signing_possible() {
    int hmac_new = fast.hmac_new.check();
    return hmac_new <= 0 ? hmac_new : fast.hashlib_sha256.check();
}

Ref sign_request_body(PyObject* query_string, PyObject* secret_key) {
    int native = native_signing_possible();
    if (native < 0) {
        QV_TRACEBACK(kFunc, 21);
        return Ref();
    }
    if (native) {
        if (!utf8_argument_checked(query_string)) {
            QV_TRACEBACK(kFunc, 19);
            return Ref();
        }
        if (!utf8_argument_checked(secret_key)) {
            QV_TRACEBACK(kFunc, 20);
            return Ref();
        }
        Ref signature = hmac_sha256_text(secret_key, query_string);
        if (!signature) QV_TRACEBACK(kFunc, 22);
        return signature;
    }
    Ref message = encode_utf8_argument(query_string);
    if (!message) {
        QV_TRACEBACK(kFunc, 19);
        return message;
    }
    Ref secret = encode_utf8_argument(secret_key);
    if (!secret) {
        QV_TRACEBACK(kFunc, 20);
        return secret;
    }
    Ref sha256_hmac = new_hmac(secret.get(), message.get());
    if (!sha256_hmac) {
        QV_TRACEBACK(kFunc, 21);
        return sha256_hmac;
    }
    Ref result = call_method0(sha256_hmac.get(), id::hexdigest);
    if (!result) QV_TRACEBACK(kFunc, 22);
    return result;
}

}  // namespace qv
