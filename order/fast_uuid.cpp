#include "order/fast_paths.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/random.h>

namespace qv {

namespace {

// 16 random bytes, as os.urandom reads them (getrandom, blocking until the
// pool is ready; interrupted reads let pending signals run first).
int random_bytes(unsigned char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(buf + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) {
                if (PyErr_CheckSignals() < 0) return -1;
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        got += static_cast<size_t>(r);
    }
    return 0;
}

// Random bytes are read from the kernel 16 UUIDs at a time. Bytes read
// before a fork are never used after it: parent and child would otherwise
// hand out the same identifiers.
struct RandomPool {
    unsigned char bytes[256];
    size_t used = sizeof bytes;
    bool fork_handler_installed = false;
};
RandomPool pool;

void discard_pool_in_child() {
    std::memset(pool.bytes, 0, sizeof pool.bytes);
    pool.used = sizeof pool.bytes;
}

int pooled_random_16(unsigned char out[16]) {
    if (!pool.fork_handler_installed) {
        // Without the handler every UUID is read from the kernel directly.
        if (pthread_atfork(nullptr, nullptr, discard_pool_in_child) != 0) return random_bytes(out, 16);
        pool.fork_handler_installed = true;
    }
    if (pool.used == sizeof pool.bytes) {
        if (random_bytes(pool.bytes, sizeof pool.bytes) < 0) return -1;
        pool.used = 0;
    }
    std::memcpy(out, pool.bytes + pool.used, 16);
    std::memset(pool.bytes + pool.used, 0, 16);  // each byte serves once
    pool.used += 16;
    return 0;
}

}  // namespace

Ref uuid4_text() {
    unsigned char b[16];
    if (pooled_random_16(b) < 0) return Ref();
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
    static const char hex[] = "0123456789abcdef";
    Ref text = Ref::steal(PyUnicode_New(36, 127));
    if (!text) return text;
    auto* out = static_cast<Py_UCS1*>(PyUnicode_DATA(text.get()));
    int o = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
        out[o++] = static_cast<Py_UCS1>(hex[b[i] >> 4]);
        out[o++] = static_cast<Py_UCS1>(hex[b[i] & 15]);
    }
    return text;
}

}  // namespace qv
