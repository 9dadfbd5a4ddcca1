#include "module/constants.h"

namespace qv {

Startup g;

namespace id {
#define QV_DEFINE_ID(cname, literal) Name cname;
QV_IDENTIFIERS(QV_DEFINE_ID)
#undef QV_DEFINE_ID
}  // namespace id

namespace text {
#define QV_DEFINE_TEXT(cname, literal) Slot cname;
QV_DATA_STRINGS(QV_DEFINE_TEXT)
#undef QV_DEFINE_TEXT
}  // namespace text

namespace {

int make_name(Name& name, const char* s) {
    if (name.str) return 0;  // made by an earlier, failed start-up
    Ref o = Ref::steal(PyUnicode_InternFromString(s));
    if (!o) return -1;
    Py_hash_t h = PyObject_Hash(o.get());
    if (h == -1) return -1;
    name.str.set(std::move(o));
    name.hash = h;
    return 0;
}

int make_text(Slot& slot, const char* s) {
    if (slot) return 0;
    Ref o = Ref::steal(PyUnicode_FromString(s));
    if (!o) return -1;
    // Hash once now, so dict operations with these keys never hash again.
    if (PyObject_Hash(o.get()) == -1) return -1;
    slot.set(std::move(o));
    return 0;
}

}  // namespace

int make_string_constants() {
#define QV_MAKE_ID(cname, literal) \
    if (make_name(id::cname, literal) < 0) return -1;
    QV_IDENTIFIERS(QV_MAKE_ID)
#undef QV_MAKE_ID
#define QV_MAKE_TEXT(cname, literal) \
    if (make_text(text::cname, literal) < 0) return -1;
    QV_DATA_STRINGS(QV_MAKE_TEXT)
#undef QV_MAKE_TEXT
    return 0;
}

}  // namespace qv
