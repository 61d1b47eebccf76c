// Where the stable ABI needs the running interpreter's own functions: the
// non-raising attribute lookup, found once (contract in capi.hpp).
#include "core/capi.hpp"

#ifdef Py_LIMITED_API
#include <dlfcn.h>

namespace zelmo {
namespace {

// A function the running interpreter exports but the stable ABI does not
// name.  Usually in the global scope; an embedding program may have loaded
// the interpreter's library privately, so that library is asked too.
void *interpreter_function(const char *name) {
    if (void *f = dlsym(RTLD_DEFAULT, name))
        return f;
    Dl_info info;
    if (!dladdr(reinterpret_cast<void *>(&PyObject_GetAttr), &info) || !info.dli_fname)
        return nullptr;
    void *library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!library)
        return nullptr;
    void *f = dlsym(library, name);
    dlclose(library); // only drops the reference RTLD_NOLOAD took
    return f;
}

OptionalAttrLookup find_optional_attr_lookup() {
    // Each name only on the versions where it has this exact contract.
    const char *name = Py_Version >= 0x030D0000   ? "PyObject_GetOptionalAttr"
                       : Py_Version >= 0x030C0000 ? "_PyObject_LookupAttr"
                                                  : nullptr;
    return name ? reinterpret_cast<OptionalAttrLookup>(interpreter_function(name)) : nullptr;
}

} // namespace

OptionalAttrLookup optional_attr_lookup() {
    static const OptionalAttrLookup lookup = find_optional_attr_lookup();
    return lookup;
}

} // namespace zelmo
#endif
