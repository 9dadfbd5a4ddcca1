#include "module/globals.h"

namespace qv {

Ref lookup_global(const Name& name, GlobalSite& site) {
    uint64_t version = namespace_version();
    if (site.version == version && site.value) return Ref::borrow(site.value);

    PyObject* found = _PyDict_GetItem_KnownHash(g.dict.get(), name.str.get(), name.hash);
    if (found) {
        site.version = version;
        site.value = found;
        return Ref::borrow(found);
    }
    site.version = 0;
    site.value = nullptr;
    if (PyErr_Occurred()) return Ref();

    Ref from_builtins = Ref::steal(PyObject_GetAttr(g.builtins.get(), name.str.get()));
    if (!from_builtins) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.str.get());
    }
    return from_builtins;
}

}  // namespace qv
