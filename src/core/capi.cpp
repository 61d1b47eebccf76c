// Where the stable ABI needs the running interpreter's own functions: the
// non-raising attribute lookup, found once (contract in capi.hpp).
#include "core/capi.hpp"

#ifdef Py_LIMITED_API
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace zelmo {
namespace {

// A function the running interpreter exports but the stable ABI does not
// name, from the interpreter's own library.
#ifdef _WIN32
// The module imports python3.dll, whose entries forward to the interpreter's
// DLL (python3X.dll): the address of an imported function lies in the latter.
void *interpreter_function(const char *name) {
    HMODULE library = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&PyObject_GetAttr), &library))
        return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(library, name));
}
#else
// Usually in the global scope; an embedding program may have loaded the
// interpreter's library privately, so that library is asked too.
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
#endif

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
