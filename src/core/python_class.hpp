// Real Python classes whose methods are native functions.
//
// A class is assembled as a namespace of methods and then created by calling
// the metaclass of its bases, exactly as a `class` statement would.  That
// matters for bases such as the host's AbstractMod (ABCMeta computes the
// abstract-method set from the namespace at creation) and logbook's Handler
// (its own metaclass).  Methods are nanobind functions wrapped in a small
// descriptor that binds like a Python function and carries its own
// __name__, __qualname__ and __doc__ (nanobind would prefix a signature).
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zelmo {

namespace nb = nanobind;

class ClassBuilder {
public:
    ClassBuilder(nb::handle module, const char *name);

    // Adds a method; `extra` are nanobind annotations (nb::arg(...) etc.).
    template <typename Func, typename... Extra>
    ClassBuilder &def(const char *name, Func &&f, const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::is_method(),
                                         nb::name(name), extra...);
        add_method(name, std::move(fn), nullptr);
        return *this;
    }

    // Same, with a documentation text.
    template <typename Func, typename... Extra>
    ClassBuilder &def_doc(const char *name, const char *doc, Func &&f,
                          const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<Func>(f), nb::is_method(),
                                         nb::name(name), extra...);
        add_method(name, std::move(fn), doc);
        return *this;
    }

    // A plain class attribute.
    ClassBuilder &attr(const char *name, nb::handle value);

    // Creates the class through the bases' metaclass and, unless `bind` is
    // false, binds it in the module.
    nb::object finish(nb::tuple bases, bool bind = true);

private:
    void add_method(const char *name, nb::object fn, const char *doc);

    nb::handle module_;
    std::string name_;
    nb::dict namespace_;
};

} // namespace zelmo
