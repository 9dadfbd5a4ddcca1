// HMAC-SHA256 (RFC 2104) over OpenSSL's SHA-256 block function. The states
// after the key's inner and outer pads are kept for the last key used: an
// order loop signs every request with the same secret, so each signature
// then costs only the message's blocks and one outer block.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "order/fast_paths.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstring>

namespace qv {

namespace {

constexpr size_t kBlock = SHA256_CBLOCK;  // 64

struct KeyedStates {
    unsigned char* key = nullptr;  // a copy of the key the states belong to
    size_t key_len = 0;
    SHA256_CTX inner;
    SHA256_CTX outer;
    bool valid = false;
};
KeyedStates last_key;

void forget_last_key() {
    if (last_key.key) {
        OPENSSL_cleanse(last_key.key, last_key.key_len);
        PyMem_RawFree(last_key.key);
    }
    last_key.key = nullptr;
    last_key.key_len = 0;
    last_key.valid = false;
}

void derive_states(const unsigned char* key, size_t key_len, SHA256_CTX* inner, SHA256_CTX* outer) {
    unsigned char block[kBlock] = {};
    if (key_len > kBlock) {
        // The block functions, not the one-shot SHA256(): in OpenSSL 3 that
        // goes through EVP and its provider machinery, which a static link
        // would then carry whole.
        SHA256_CTX ctx;
        SHA256_Init(&ctx);
        SHA256_Update(&ctx, key, key_len);
        SHA256_Final(block, &ctx);
        OPENSSL_cleanse(&ctx, sizeof ctx);
    } else {
        std::memcpy(block, key, key_len);
    }
    unsigned char pad[kBlock];
    for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
    SHA256_Init(inner);
    SHA256_Update(inner, pad, kBlock);
    for (size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
    SHA256_Init(outer);
    SHA256_Update(outer, pad, kBlock);
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(pad, sizeof pad);
}

// The pad states for `key`: the remembered ones when the key is the last
// one used, else derived into `scratch` (and remembered when memory allows).
const KeyedStates& states_for(const unsigned char* key, size_t key_len, KeyedStates* scratch) {
    if (last_key.valid && last_key.key_len == key_len && std::memcmp(last_key.key, key, key_len) == 0) {
        return last_key;
    }
    forget_last_key();
    auto* copy = static_cast<unsigned char*>(PyMem_RawMalloc(key_len ? key_len : 1));
    KeyedStates& target = copy ? last_key : *scratch;
    derive_states(key, key_len, &target.inner, &target.outer);
    if (copy) {
        std::memcpy(copy, key, key_len);
        last_key.key = copy;
        last_key.key_len = key_len;
        last_key.valid = true;
    }
    return target;
}

}  // namespace

void hmac_sha256_hex(const unsigned char* key, size_t key_len, const unsigned char* message, size_t message_len,
                     char out[64]) {
    KeyedStates scratch;
    const KeyedStates& states = states_for(key, key_len, &scratch);
    SHA256_CTX ctx = states.inner;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Update(&ctx, message, message_len);
    SHA256_Final(digest, &ctx);
    ctx = states.outer;
    SHA256_Update(&ctx, digest, sizeof digest);
    SHA256_Final(digest, &ctx);
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof digest; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
}

Ref hmac_sha256_text(PyObject* secret, PyObject* message) {
    Py_ssize_t key_len, message_len;
    const char* key = PyUnicode_AsUTF8AndSize(secret, &key_len);
    if (!key) return Ref();
    const char* msg = PyUnicode_AsUTF8AndSize(message, &message_len);
    if (!msg) return Ref();
    Ref text = Ref::steal(PyUnicode_New(64, 127));
    if (!text) return text;
    hmac_sha256_hex(reinterpret_cast<const unsigned char*>(key), static_cast<size_t>(key_len),
                    reinterpret_cast<const unsigned char*>(msg), static_cast<size_t>(message_len),
                    static_cast<char*>(PyUnicode_DATA(text.get())));
    return text;
}

}  // namespace qv
