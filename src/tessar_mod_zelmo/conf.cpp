// tessar_mod_zelmo.conf: finds, parses and caches ~/.zelmo/zelmo.yml.
//
// The cache is the module variable `conf`; every read and write goes through
// the module's namespace so Python code can inspect or reset it.
#include "core/py.hpp"
#include "core/python_class.hpp"

namespace nb = nanobind;
using namespace zelmo;

namespace {

struct Names {
    nb::handle conf, yaml, os, user_system_log;
    nb::handle name, path, expanduser, exists, read, close, warning;
    nb::handle SafeLoader, get_single_data, dispose;
};
Names n;
nb::handle module_dict;

bool is_mapping(nb::handle value) {
    if (PyDict_Check(value.ptr()))
        return true;
    static PyObject *mapping = nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
    int r = PyObject_IsInstance(value.ptr(), mapping);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

nb::object get_conf() {
    nb::object cached = module_global(module_dict, n.conf);
    if (!cached.is_none())
        return cached;

    nb::object os = module_global(module_dict, n.os);
    nb::object os_name = get_attr(os, n.name);
    nb::object os_path = get_attr(os, n.path);
    nb::object path;
    if (os_name.equal(nb::str("nt")) || os_name.equal(nb::str("posix"))) {
        nb::object home = call_method(os_path, n.expanduser, nb::str("~"));
        path = home + nb::str("/.zelmo/zelmo.yml");
    } else {
        call_method(module_global(module_dict, n.user_system_log), n.warning,
                    nb::str("Can not define a valida zelmo.yml path"));
        return nb::none();
    }

    if (!truthy(call_method(os_path, n.exists, path))) {
        nb::object message = nb::str("{} not exist").attr("format")(path);
        call_method(module_global(module_dict, n.user_system_log), n.warning, message);
        return nb::none();
    }

    nb::object file = open_utf8_text(path);
    nb::object result;
    try {
        nb::object text = call_method(file, n.read);
        // The safe loader: the file cannot construct arbitrary objects.  The
        // loader is named after the file so that a parse error points to it.
        nb::object yaml = module_global(module_dict, n.yaml);
        nb::object loader = call(get_attr(yaml, n.SafeLoader), text);
        set_attr(loader, n.name, path);
        try {
            result = call_method(loader, n.get_single_data);
        } catch (...) {
            call_method(loader, n.dispose);
            throw;
        }
        call_method(loader, n.dispose);
        // Only a mapping is a configuration.  Anything else is reported and
        // not cached, so the next call reads the file again once it is fixed.
        if (!result.is_none() && !is_mapping(result)) {
            nb::object found = steal_or_throw(type_name(result.ptr()));
            PyErr_Format(PyExc_TypeError,
                         "%U: the top level of the user configuration must be a mapping of "
                         "settings, not %S",
                         path.ptr(), found.ptr());
            throw nb::python_error();
        }
        if (PyDict_SetItem(module_dict.ptr(), n.conf.ptr(), result.ptr()) < 0)
            throw nb::python_error();
    } catch (...) {
        // Closing must not hide the error that brought us here.
        try {
            call_method(file, n.close);
        } catch (nb::python_error &) {
        }
        throw;
    }
    call_method(file, n.close);
    return result;
}

} // namespace

NB_MODULE(conf, m) {
    n = Names{intern("conf"), intern("yaml"), intern("os"), intern("user_system_log"),
              intern("name"), intern("path"), intern("expanduser"),
              intern("exists"), intern("read"), intern("close"), intern("warning"),
              intern("SafeLoader"), intern("get_single_data"), intern("dispose")};
    module_dict = nb::handle(PyModule_GetDict(m.ptr()));

    m.attr("yaml") = nb::module_::import_("yaml");
    m.attr("os") = nb::module_::import_("os");
    m.attr("user_system_log") = nb::module_::import_("tessar.utils.logger").attr("user_system_log");
    m.attr("conf") = nb::none();
    def_function(m, "get_conf", &get_conf);
}
