// What each fast path's guard watches: everything that the general path
// reads on its way through the standard library (order/fast_paths.h lists
// it). Built once, after the module statements have run.
#include "module/original_attr.h"
#include "order/fast_paths.h"

namespace qv {

namespace {

// int(time.time() * 1000): the module, its time(), written in C.
void watch_time_time(Guard& g) {
    g.c_function(g.module_global(id::time), "time");
}

// str(uuid.uuid4()), that is str(UUID(bytes=os.urandom(16), version=4)).
void watch_uuid4(Guard& g) {
    PyObject* uuid = g.module_global(id::uuid);
    g.function(g.module_attr(uuid, "uuid4"));
    g.c_function(g.submodule(uuid, "os"), "urandom");
    g.type(g.module_attr(uuid, "UUID"), {"__init__", "__str__"});
}

// urllib.parse.quote(text), which goes through quote_from_bytes() and the
// module's cache of Quoter objects.
void watch_quote(Guard& g) {
    PyObject* parse = g.submodule(g.module_global(id::urllib), "parse");
    g.function(g.module_attr(parse, "quote"));
    g.function(g.module_attr(parse, "quote_from_bytes"));
    g.type(g.module_attr(parse, "Quoter"), {"__init__", "__missing__"});
    watch_quoter_cache(g, g.module_attr(parse, "_safe_quoters"), g.module_attr(parse, "Quoter"));
}

// hmac.new(key, message, digest).hexdigest(): new() makes an HMAC, whose
// __init__ feeds the message to update(); hexdigest() goes through _current().
void watch_hmac_new(Guard& g) {
    PyObject* hmac = g.module_global(id::hmac);
    g.function(g.module_attr(hmac, "new"));
    g.type(g.module_attr(hmac, "HMAC"), {"__init__", "update", "_current", "hexdigest"});
}

void watch_hashlib_sha256(Guard& g) {
    g.c_function(g.module_global(id::hashlib), "sha256");
}

int build(Guard& g, void (*watch)(Guard&)) {
    watch(g);
    return g.arm();
}

}  // namespace

int capture_fast_path_guards() {
    if (build(fast.time_time, watch_time_time) < 0 || build(fast.uuid_uuid4, watch_uuid4) < 0 ||
        build(fast.quote, watch_quote) < 0 || build(fast.hmac_new, watch_hmac_new) < 0 ||
        build(fast.hashlib_sha256, watch_hashlib_sha256) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace qv
