// One module's native method called from another module directly, where the
// method an object would run is provably that very one.
//
// A record's write goes from the feeder to the feed writer, and a captured
// line from the log handler to the feeder: through the interpreter each such
// call looks the method up, binds it and passes the arguments through two
// dispatch layers.  The callee's module publishes a plain C entry point in a
// capsule (`_native_<name>`); the caller takes it at load and uses it only
// while the object's class attribute is the callee's own method and the
// instance does not shadow it (replaced_method), so an override or a
// stand-in object is called as before.
//
// The modules link separate copies of the C++ runtime's exception types, so
// no C++ exception crosses: the entry returns -1 with the Python error set
// (a std::bad_alloc as MemoryError, another C++ exception as RuntimeError,
// as the bindings report them) and the caller raises it again as its own.
#pragma once

#include "core/py.hpp"

#include <new>
#include <string>
#include <stdexcept>

namespace zelmo {

using NativeEntry3 = int (*)(PyObject *, PyObject *, PyObject *) noexcept;
using NativeEntry4 = int (*)(PyObject *, PyObject *, PyObject *, PyObject *) noexcept;

// The C entry point over `Body` (a function of nb::handles returning void).
template <auto Body, typename... Args> int native_entry(Args... args) noexcept {
    try {
        Body(nb::handle(args)...);
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

// Publishes `entry` in `module` as `_native_<name>`.
template <typename Entry> void publish_entry(nb::handle module, const char *name, Entry entry) {
    const std::string attribute = std::string("_native_") + name;
    nb::setattr(module, attribute.c_str(),
                nb::capsule(reinterpret_cast<void *>(entry)));
}

// The entry `name` that `module_name` published, or null if it has none.
template <typename Entry> Entry find_entry(const char *module_name, const char *name) {
    nb::object module = nb::module_::import_(module_name);
    const std::string attribute = std::string("_native_") + name;
    if (!nb::hasattr(module, attribute.c_str()))
        return nullptr;
    nb::capsule capsule = nb::borrow<nb::capsule>(module.attr(attribute.c_str()));
    return reinterpret_cast<Entry>(capsule.data());
}

// Raises the error an entry returned -1 with.
inline void check_entry(int result) {
    if (result < 0)
        throw nb::python_error();
}

} // namespace zelmo
