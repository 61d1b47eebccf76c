// Native callables that behave like Python functions, and the classes made
// of them through their bases' metaclass (contract in python_class.hpp).
#include "core/python_class.hpp"
#include "core/capi.hpp"

#include <cstddef>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace zelmo {
namespace {

constexpr Py_ssize_t kMaxParams = 16;

// Binds like a Python function: looked up on an instance it yields a bound
// method; Py_TPFLAGS_METHOD_DESCRIPTOR lets the interpreter skip even that.
struct NativeCallable {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;           // the nanobind function, all parameters positional
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module;
    PyObject *text_signature; // "(self, code, exception=None)"
    PyObject *params;         // parameter names, self included for a method
    PyObject *defaults;       // defaults of the trailing optional parameters
    PyObject *error_name;     // as the interpreter names a function in its errors
};

Py_ssize_t required_count(NativeCallable *m) {
    return tuple_size(m->params) - tuple_size(m->defaults);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list.
PyObject *quoted_list(const std::vector<PyObject *> &names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'";
        text += PyUnicode_AsUTF8AndSize(names[i], nullptr);
        text += "'";
    }
    return PyUnicode_FromString(text.c_str());
}

PyObject *missing_arguments(NativeCallable *m, PyObject **slots) {
    std::vector<PyObject *> missing;
    for (Py_ssize_t i = 0; i < required_count(m); ++i)
        if (!slots[i])
            missing.push_back(tuple_item(m->params, i));
    PyObject *list = quoted_list(missing);
    if (list) {
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                     m->error_name, (Py_ssize_t)missing.size(), missing.size() == 1 ? "" : "s",
                     list);
        Py_DECREF(list);
    }
    return nullptr;
}

PyObject *too_many_positional(NativeCallable *m, Py_ssize_t given) {
    Py_ssize_t total = tuple_size(m->params), required = required_count(m);
    const char *verb = given == 1 ? "was" : "were";
    if (required < total)
        PyErr_Format(PyExc_TypeError,
                     "%U() takes from %zd to %zd positional arguments but %zd %s given",
                     m->error_name, required, total, given, verb);
    else
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     m->error_name, total, total == 1 ? "" : "s", given, verb);
    return nullptr;
}

Py_ssize_t param_index(NativeCallable *m, PyObject *keyword) {
    Py_ssize_t total = tuple_size(m->params);
    for (Py_ssize_t i = 0; i < total; ++i) // names are interned: identity first
        if (tuple_item(m->params, i) == keyword)
            return i;
    for (Py_ssize_t i = 0; i < total; ++i) {
        int eq = PyObject_RichCompareBool(tuple_item(m->params, i), keyword, Py_EQ);
        if (eq != 0)
            return eq < 0 ? -2 : i;
    }
    return -1;
}

// Binds the call's arguments to the parameters, in the interpreter's order of
// checks (keywords, then surplus, then missing), and calls the body with
// every parameter by position.
PyObject *native_callable_call(PyObject *self, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    auto *m = reinterpret_cast<NativeCallable *>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t total = tuple_size(m->params);
    Py_ssize_t nkw = kwnames ? tuple_size(kwnames) : 0;
    if (nkw == 0 && nargs == total)
        return PyObject_Vectorcall(m->func, args, nargsf, nullptr);

    PyObject *slots[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs && i < total; ++i)
        slots[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = tuple_item(kwnames, k);
        Py_ssize_t i = param_index(m, keyword);
        if (i == -2)
            return nullptr;
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         m->error_name, keyword);
            return nullptr;
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         m->error_name, keyword);
            return nullptr;
        }
        slots[i] = args[nargs + k];
    }
    if (nargs > total)
        return too_many_positional(m, nargs);
    Py_ssize_t required = required_count(m);
    for (Py_ssize_t i = required; i < total; ++i)
        if (!slots[i])
            slots[i] = tuple_item(m->defaults, i - required);
    for (Py_ssize_t i = 0; i < required; ++i)
        if (!slots[i])
            return missing_arguments(m, slots);
    return PyObject_Vectorcall(m->func, slots, (size_t)total, nullptr);
}

PyObject *native_callable_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
#ifdef Py_LIMITED_API
    static PyObject *method_type = nb::object(nb::module_::import_("types").attr("MethodType")).release().ptr();
    return PyObject_CallFunctionObjArgs(method_type, self, obj, nullptr);
#else
    return PyMethod_New(self, obj);
#endif
}

void native_callable_dealloc(PyObject *self) {
    auto *m = reinterpret_cast<NativeCallable *>(self);
    for (PyObject *o : {m->func, m->name, m->qualname, m->doc, m->module, m->text_signature,
                        m->params, m->defaults, m->error_name})
        Py_XDECREF(o);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type); // a heap type, held by each of its instances
}

PyObject *native_callable_repr(PyObject *self) {
    return PyUnicode_FromFormat("<native function %U>",
                                reinterpret_cast<NativeCallable *>(self)->qualname);
}

PyMemberDef native_callable_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeCallable, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeCallable, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(NativeCallable, doc), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeCallable, module), Py_READONLY, nullptr},
    {"__text_signature__", Py_T_OBJECT_EX, offsetof(NativeCallable, text_signature), Py_READONLY,
     nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeCallable, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot native_callable_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(native_callable_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(native_callable_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(native_callable_get)},
    {Py_tp_members, native_callable_members},
    {0, nullptr},
};

// Made once and kept for good.
PyTypeObject *native_callable_type() {
    static PyTypeObject *type = [] {
        PyType_Spec spec{"tessar_mod_zelmo.native_function", sizeof(NativeCallable), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR |
                             Py_TPFLAGS_HAVE_VECTORCALL,
                         native_callable_slots};
        PyObject *t = PyType_FromSpec(&spec);
        if (!t)
            throw nb::python_error();
        return reinterpret_cast<PyTypeObject *>(t);
    }();
    return type;
}

// The metaclass a class statement would use: the most derived of the bases'.
nb::handle winning_metaclass(nb::tuple bases) {
    PyTypeObject *winner = &PyType_Type;
    for (nb::handle base : bases) {
        PyTypeObject *meta = Py_TYPE(base.ptr());
        if (PyType_IsSubtype(winner, meta))
            continue;
        if (PyType_IsSubtype(meta, winner)) {
            winner = meta;
            continue;
        }
        throw nb::type_error("metaclass conflict among the bases");
    }
    return nb::handle(reinterpret_cast<PyObject *>(winner));
}

} // namespace

namespace detail {

nb::object make_native_callable(nb::object fn, const char *name, const std::string &qualname,
                                nb::handle module_name, const char *doc, Params params,
                                bool is_method) {
    nb::list names, defaults;
    std::string signature = "(";
    if (is_method) {
        names.append(nb::steal(PyUnicode_InternFromString("self")));
        signature += "self";
    }
    bool optional_seen = false;
    for (const Param &p : params) {
        names.append(nb::steal(PyUnicode_InternFromString(p.name)));
        if (signature.size() > 1)
            signature += ", ";
        signature += p.name;
        if (p.default_value.is_valid()) {
            defaults.append(p.default_value);
            signature += "=";
            signature += nb::repr(p.default_value).c_str();
            optional_seen = true;
        } else if (optional_seen) {
            throw std::logic_error("a required parameter after an optional one");
        }
    }
    signature += ")";
    if (nb::len(names) > (size_t)kMaxParams)
        throw std::logic_error("too many parameters");

    auto *m = PyObject_New(NativeCallable, native_callable_type());
    if (!m)
        throw nb::python_error();
    nb::object owned = nb::steal(reinterpret_cast<PyObject *>(m));
    m->vectorcall = native_callable_call;
    m->func = fn.release().ptr();
    m->name = nb::str(name).release().ptr();
    m->qualname = nb::str(qualname.c_str()).release().ptr();
    m->doc = doc ? nb::str(doc).release().ptr() : nb::none().release().ptr();
    m->module = nb::borrow(module_name).release().ptr();
    m->text_signature = nb::str(signature.c_str()).release().ptr();
    m->params = nb::tuple(names).release().ptr();
    m->defaults = nb::tuple(defaults).release().ptr();
    // Python 3.10 and later name a function by its qualified name in errors.
    m->error_name = nb::borrow(PY_VERSION_HEX >= 0x030A0000 ? m->qualname : m->name).release().ptr();
    return owned;
}

} // namespace detail

ClassBuilder::ClassBuilder(nb::handle module, const char *name)
    : module_(module), module_name_(module.attr("__name__")), name_(name) {
    namespace_["__module__"] = module_name_;
    namespace_["__qualname__"] = nb::str(name);
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    namespace_[name] = value;
    return *this;
}

nb::handle ClassBuilder::own_method(nb::handle cls, const char *name) {
    nb::object namespace_of_class = cls.attr("__dict__");
    return nb::object(namespace_of_class[name]).release();
}

nb::object ClassBuilder::finish(nb::tuple bases, bool bind) {
    nb::handle meta = winning_metaclass(bases);
    nb::object cls = meta(nb::str(name_.c_str()), bases, namespace_);
    if (bind)
        module_.attr(name_.c_str()) = cls;
    return cls;
}

} // namespace zelmo
