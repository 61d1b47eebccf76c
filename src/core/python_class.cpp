#include "core/python_class.hpp"

#include <structmember.h>

namespace zelmo {
namespace {

// Binds like a Python function: looked up on an instance it yields a bound
// method; Py_TPFLAGS_METHOD_DESCRIPTOR lets the interpreter skip even that.
struct NativeMethod {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module;
};

PyObject *native_method_call(PyObject *self, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) {
    return PyObject_Vectorcall(reinterpret_cast<NativeMethod *>(self)->func, args,
                               nargsf, kwnames);
}

PyObject *native_method_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

void native_method_dealloc(PyObject *self) {
    auto *m = reinterpret_cast<NativeMethod *>(self);
    Py_XDECREF(m->func);
    Py_XDECREF(m->name);
    Py_XDECREF(m->qualname);
    Py_XDECREF(m->doc);
    Py_XDECREF(m->module);
    Py_TYPE(self)->tp_free(self);
}

PyObject *native_method_repr(PyObject *self) {
    return PyUnicode_FromFormat("<native method %U>",
                                reinterpret_cast<NativeMethod *>(self)->qualname);
}

PyMemberDef native_method_members[] = {
    {"__name__", T_OBJECT, offsetof(NativeMethod, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeMethod, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeMethod, doc), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeMethod, module), READONLY, nullptr},
    {"__wrapped__", T_OBJECT, offsetof(NativeMethod, func), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject native_method_type = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1; // a static type, never freed
    t.tp_name = "tessar_mod_zelmo.native_method";
    t.tp_basicsize = sizeof(NativeMethod);
    t.tp_dealloc = native_method_dealloc;
    t.tp_vectorcall_offset = offsetof(NativeMethod, vectorcall);
    t.tp_repr = native_method_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_members = native_method_members;
    t.tp_descr_get = native_method_get;
    return t;
}();

PyTypeObject *ready_native_method_type() {
    static bool ready = false;
    if (!ready) {
        if (PyType_Ready(&native_method_type) < 0)
            throw nb::python_error();
        ready = true;
    }
    return &native_method_type;
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

ClassBuilder::ClassBuilder(nb::handle module, const char *name)
    : module_(module), name_(name) {
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = nb::str(name);
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    namespace_[name] = value;
    return *this;
}

void ClassBuilder::add_method(const char *name, nb::object fn, const char *doc) {
    PyTypeObject *type = ready_native_method_type();
    auto *m = PyObject_New(NativeMethod, type);
    if (!m)
        throw nb::python_error();
    m->vectorcall = native_method_call;
    m->func = fn.release().ptr();
    m->name = nb::str(name).release().ptr();
    m->qualname = nb::str((name_ + "." + name).c_str()).release().ptr();
    m->doc = doc ? nb::str(doc).release().ptr() : nb::none().release().ptr();
    m->module = nb::object(module_.attr("__name__")).release().ptr();
    namespace_[name] = nb::steal(reinterpret_cast<PyObject *>(m));
}

nb::object ClassBuilder::finish(nb::tuple bases, bool bind) {
    nb::handle meta = winning_metaclass(bases);
    nb::object cls = meta(nb::str(name_.c_str()), bases, namespace_);
    if (bind)
        module_.attr(name_.c_str()) = cls;
    return cls;
}

} // namespace zelmo
