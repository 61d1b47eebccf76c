// Real Python classes whose methods are native functions.
//
// A class is assembled as a namespace of methods and then created by calling
// the metaclass of its bases, exactly as a `class` statement would.  That
// matters for bases such as the host's AbstractMod (ABCMeta computes the
// abstract-method set from the namespace at creation) and logbook's Handler
// (its own metaclass).
//
// Methods (and module functions) are native callables that behave like the
// interpreter's own functions: they bind to an instance like a function,
// carry their own __name__, __qualname__ and __doc__, have a signature that
// inspect.signature() reads (from __text_signature__), and bind their
// arguments by position or keyword with the interpreter's own TypeError
// wording for a missing, surplus or unknown argument.  The native body then
// receives every parameter by position.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace zelmo {

namespace nb = nanobind;

// One parameter: its name and, for an optional one, its default.
struct Param {
    const char *name;
    nb::handle default_value; // null: required
};
inline Param param(const char *name) { return {name, nb::handle()}; }
inline Param param(const char *name, nb::handle default_value) { return {name, default_value}; }

using Params = std::initializer_list<Param>;

namespace detail {

// The number of parameters of a function pointer or a lambda.
template <typename T> struct arity : arity<decltype(&T::operator())> {};
template <typename R, typename... A> struct arity<R (*)(A...)> {
    static constexpr size_t value = sizeof...(A);
};
template <typename C, typename R, typename... A> struct arity<R (C::*)(A...) const> {
    static constexpr size_t value = sizeof...(A);
};

// A nanobind function over `f` taking every parameter by position, None
// included; binding by keyword happens before it is called.
template <typename Func, size_t... I>
nb::object positional_function(Func &&f, const char *name, std::index_sequence<I...>) {
    return nb::cpp_function(std::forward<Func>(f), nb::name(name),
                            ((void)I, nb::arg().none())...);
}
template <typename Func> nb::object positional_function(Func &&f, const char *name) {
    constexpr size_t n = arity<std::decay_t<Func>>::value;
    return positional_function(std::forward<Func>(f), name, std::make_index_sequence<n>{});
}

// A native callable over `fn` (a nanobind function taking every parameter by
// position).  `params` excludes self; for a method, self comes first.
nb::object make_native_callable(nb::object fn, const char *name, const std::string &qualname,
                                nb::handle module_name, const char *doc, Params params,
                                bool is_method);
} // namespace detail

class ClassBuilder {
public:
    ClassBuilder(nb::handle module, const char *name);

    // Adds a method with the parameters `params` after self; `doc` is its
    // documentation text (none by default).
    template <typename Func>
    ClassBuilder &def(const char *name, Func &&f, Params params = {}, const char *doc = nullptr) {
        nb::object fn = detail::positional_function(std::forward<Func>(f), name);
        namespace_[name] = detail::make_native_callable(std::move(fn), name, name_ + "." + name,
                                                        module_name_, doc, params, true);
        return *this;
    }

    // A plain class attribute.
    ClassBuilder &attr(const char *name, nb::handle value);

    // Creates the class through the bases' metaclass and, unless `bind` is
    // false, binds it in the module.
    nb::object finish(nb::tuple bases, bool bind = true);

    // The native method `name` as the finished class `cls` holds it, kept for
    // good (for replaced_method).
    static nb::handle own_method(nb::handle cls, const char *name);

private:
    nb::handle module_;
    nb::object module_name_;
    std::string name_;
    nb::dict namespace_;
};

// Binds the module function `name` in `module`.
template <typename Func>
void def_function(nb::handle module, const char *name, Func &&f, Params params = {},
                  const char *doc = nullptr) {
    nb::object fn = detail::positional_function(std::forward<Func>(f), name);
    nb::object module_name = module.attr("__name__");
    nb::setattr(module, name,
                detail::make_native_callable(std::move(fn), name, name, module_name, doc, params,
                                             false));
}

} // namespace zelmo
