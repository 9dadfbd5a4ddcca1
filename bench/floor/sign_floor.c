/* Floor of signing: HMAC-SHA256 of a ~150-byte query string under a
 * 64-character key, then the 32-byte digest as 64 lowercase hex digits.
 *
 * The primary figure composes HMAC (RFC 2104) from OpenSSL's SHA-256
 * digest, fetched once: per operation the padded key blocks, two digests and
 * the hex text. For comparison it also times the same with the key's padded
 * blocks hashed once beforehand (what a signer that keeps the states for a
 * repeated key pays), and OpenSSL's own HMAC through the EVP_MAC interface
 * (fetched once, key set per operation); all three must give the same
 * digest.
 *
 * Usage: sign_floor ITERATIONS
 * Prints the result as JSON on standard output. */
#define _POSIX_C_SOURCE 200809L
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char kQuery[] =
    "apiKey=vmPUZE6mv9SD5VNHk4HlWFsOr6aKE2zvsw0MuIgwCIPy6utIco14y7Ju91duEh8A"
    "&quantity=0.5&side=BUY&symbol=QRVTOKENUSDT&timestamp=1765100000000&type=MARKET";
static const char kKey[] = "NhqPtmdSJYdKjVHjA7PZj4Mge3R5YNiP1e3UZjInClVN65XAbvqqM6A7H5fATj0j";
static const char kHex[] = "0123456789abcdef";

enum { kBlock = 64, kDigest = 32 };

static long long mono_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void to_hex(const unsigned char* md, size_t len, char* text) {
    for (size_t j = 0; j < len; ++j) {
        text[2 * j] = kHex[md[j] >> 4];
        text[2 * j + 1] = kHex[md[j] & 15];
    }
    text[2 * len] = '\0';
}

/* HMAC-SHA256 from the digest: H((K^opad) || H((K^ipad) || m)). */
static int hmac_by_digest(EVP_MD_CTX* ctx, const EVP_MD* sha256, const unsigned char* key, size_t klen,
                          const unsigned char* msg, size_t mlen, unsigned char* out) {
    unsigned char k0[kBlock] = {0}, pad[kBlock], inner[kDigest];
    unsigned int len = 0;
    if (klen > kBlock) {
        if (!EVP_Digest(key, klen, k0, &len, sha256, NULL)) return 0;
    } else {
        memcpy(k0, key, klen);
    }
    for (int j = 0; j < kBlock; ++j) pad[j] = k0[j] ^ 0x36;
    if (!EVP_DigestInit_ex(ctx, sha256, NULL) || !EVP_DigestUpdate(ctx, pad, kBlock) ||
        !EVP_DigestUpdate(ctx, msg, mlen) || !EVP_DigestFinal_ex(ctx, inner, &len))
        return 0;
    for (int j = 0; j < kBlock; ++j) pad[j] = k0[j] ^ 0x5c;
    return EVP_DigestInit_ex(ctx, sha256, NULL) && EVP_DigestUpdate(ctx, pad, kBlock) &&
           EVP_DigestUpdate(ctx, inner, kDigest) && EVP_DigestFinal_ex(ctx, out, &len);
}

int main(int argc, char** argv) {
    long iterations = argc > 1 ? atol(argv[1]) : 200000;
    if (iterations < 1) iterations = 1;
    const unsigned char* key = (const unsigned char*)kKey;
    const unsigned char* msg = (const unsigned char*)kQuery;
    size_t klen = strlen(kKey), mlen = strlen(kQuery);
    unsigned char md[EVP_MAX_MD_SIZE];
    char text[2 * EVP_MAX_MD_SIZE + 1], mac_text[2 * EVP_MAX_MD_SIZE + 1];
    unsigned long check = 0;

    EVP_MD* sha256 = EVP_MD_fetch(NULL, "SHA256", NULL);
    EVP_MD_CTX* dctx = EVP_MD_CTX_new();
    EVP_MAC* mac = EVP_MAC_fetch(NULL, "HMAC", NULL);
    EVP_MAC_CTX* mctx = mac ? EVP_MAC_CTX_new(mac) : NULL;
    if (!sha256 || !dctx || !mctx) {
        fprintf(stderr, "sign_floor: SHA-256 or HMAC missing from OpenSSL\n");
        return 1;
    }
    char digest_name[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
        OSSL_PARAM_construct_end(),
    };

    long long t0 = mono_ns();
    for (long i = 0; i < iterations; ++i) {
        if (!hmac_by_digest(dctx, sha256, key, klen, msg, mlen, md)) {
            fprintf(stderr, "sign_floor: digest failed\n");
            return 1;
        }
        to_hex(md, kDigest, text);
        check += (unsigned char)text[i & 63];
    }
    long long t1 = mono_ns();

    /* With the key's padded blocks hashed once, as a signer that keeps the
       states for a repeated key can: per operation two context copies, the
       message, one outer block and the hex text. */
    EVP_MD_CTX* inner0 = EVP_MD_CTX_new();
    EVP_MD_CTX* outer0 = EVP_MD_CTX_new();
    if (!inner0 || !outer0) return 1;
    {
        unsigned char pad[kBlock] = {0};
        memcpy(pad, key, klen <= kBlock ? klen : kBlock);
        for (int j = 0; j < kBlock; ++j) pad[j] ^= 0x36;
        EVP_DigestInit_ex(inner0, sha256, NULL);
        EVP_DigestUpdate(inner0, pad, kBlock);
        for (int j = 0; j < kBlock; ++j) pad[j] ^= 0x36 ^ 0x5c;
        EVP_DigestInit_ex(outer0, sha256, NULL);
        EVP_DigestUpdate(outer0, pad, kBlock);
    }
    char keyed_text[2 * EVP_MAX_MD_SIZE + 1];
    long long tk0 = mono_ns();
    for (long i = 0; i < iterations; ++i) {
        unsigned char inner[kDigest];
        unsigned int len = 0;
        if (!EVP_MD_CTX_copy_ex(dctx, inner0) || !EVP_DigestUpdate(dctx, msg, mlen) ||
            !EVP_DigestFinal_ex(dctx, inner, &len) || !EVP_MD_CTX_copy_ex(dctx, outer0) ||
            !EVP_DigestUpdate(dctx, inner, kDigest) || !EVP_DigestFinal_ex(dctx, md, &len)) {
            fprintf(stderr, "sign_floor: digest failed\n");
            return 1;
        }
        to_hex(md, kDigest, keyed_text);
        check += (unsigned char)keyed_text[i & 63];
    }
    long long tk1 = mono_ns();

    long mac_iterations = iterations / 2 > 0 ? iterations / 2 : 1;
    long long t2 = mono_ns();
    for (long i = 0; i < mac_iterations; ++i) {
        size_t mdlen = 0;
        if (!EVP_MAC_init(mctx, key, klen, params) || !EVP_MAC_update(mctx, msg, mlen) ||
            !EVP_MAC_final(mctx, md, &mdlen, sizeof md)) {
            fprintf(stderr, "sign_floor: HMAC failed\n");
            return 1;
        }
        to_hex(md, mdlen, mac_text);
        check += (unsigned char)mac_text[i & 63];
    }
    long long t3 = mono_ns();

    if (strcmp(text, mac_text) != 0 || strcmp(text, keyed_text) != 0) {
        fprintf(stderr, "sign_floor: digests differ: %s %s\n", text, mac_text);
        return 1;
    }
    printf("{\"ns_per_op\": %.3f, \"ops\": %ld, \"keyed_ns_per_op\": %.3f, \"evp_mac_ns_per_op\": %.3f, "
           "\"query_bytes\": %zu, \"digest\": \"%s\", \"check\": %lu}\n",
           (double)(t1 - t0) / (double)iterations, iterations, (double)(tk1 - tk0) / (double)iterations,
           (double)(t3 - t2) / (double)mac_iterations, mlen, text, check);
    EVP_MD_CTX_free(inner0);
    EVP_MD_CTX_free(outer0);
    EVP_MAC_CTX_free(mctx);
    EVP_MAC_free(mac);
    EVP_MD_CTX_free(dctx);
    EVP_MD_free(sha256);
    return 0;
}
