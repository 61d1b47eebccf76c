// tessar_mod_zelmo.conf: finds, parses and caches ~/.zelmo/zelmo.yml.
//
// The cache is the module variable `conf`; every read and write goes through
// the module's namespace so Python code can inspect or reset it.
#include "core/py.hpp"
#include "core/python_class.hpp"

namespace nb = nanobind;
using namespace zelmo;

namespace {

#define NAMES(X)                                                                          \
    X(name) X(path) X(expanduser) X(exists) X(read) X(warning) X(SafeLoader)       \
    X(get_single_data) X(dispose)
ZELMO_NAMES(NAMES) n;

// `conf` is the cache; the imported ones are globals so that tests can rebind them.
#define GLOBALS(IMPORT, IMPORT_AS, FROM, FROM_AS, OWN)                                    \
    IMPORT(yaml) IMPORT(os) FROM("tessar.utils.logger", user_system_log) OWN(conf)
ZELMO_GLOBALS(GLOBALS) g;

bool is_mapping(nb::handle value) {
    if (PyDict_Check(value.ptr()))
        return true;
    static PyObject *mapping = nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
    int r = PyObject_IsInstance(value.ptr(), mapping);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// ~/.zelmo/zelmo.yml, or None, with a warning, where there is none.
nb::object conf_path() {
    nb::object os = g.os();
    nb::object os_name = get_attr(os, n.name);
    nb::object os_path = get_attr(os, n.path);
    if (!os_name.equal(nb::str("nt")) && !os_name.equal(nb::str("posix"))) {
        call_method(g.user_system_log(), n.warning,
                    nb::str("Can not define a valida zelmo.yml path"));
        return nb::none();
    }
    nb::object home = call_method(os_path, n.expanduser, nb::str("~"));
    nb::object path = home + nb::str("/.zelmo/zelmo.yml");
    if (!truthy(call_method(os_path, n.exists, path))) {
        nb::object message = nb::str("{} not exist").attr("format")(path);
        call_method(g.user_system_log(), n.warning, message);
        return nb::none();
    }
    return path;
}

// The single YAML document of `text`, read from `path`.  The safe loader:
// the file cannot construct arbitrary objects.  The loader is named after
// the file so that a parse error points to it.
nb::object parse_conf(nb::handle path, nb::handle text) {
    nb::object loader = call(get_attr(g.yaml(), n.SafeLoader), text);
    set_attr(loader, n.name, path);
    nb::object result;
    try {
        result = call_method(loader, n.get_single_data);
    } catch (...) {
        call_method(loader, n.dispose);
        throw;
    }
    call_method(loader, n.dispose);
    // Only a mapping is a configuration.  Anything else is reported and not
    // cached, so the next call reads the file again once it is fixed.
    if (!result.is_none() && !is_mapping(result)) {
        nb::object found = steal_or_throw(type_name(result.ptr()));
        PyErr_Format(PyExc_TypeError,
                     "%U: the top level of the user configuration must be a mapping of "
                     "settings, not %S",
                     path.ptr(), found.ptr());
        throw nb::python_error();
    }
    return result;
}

nb::object get_conf() {
    nb::object cached = g.conf();
    if (!cached.is_none())
        return cached;
    nb::object path = conf_path();
    if (path.is_none())
        return path;
    nb::object file = open_utf8_text(path);
    return closing(file, [&] {
        nb::object result = parse_conf(path, call_method(file, n.read));
        g.conf.set(result);
        return result;
    });
}

} // namespace

NB_MODULE(conf, m) {
    n.intern_all();
    g.bind_all(m);
    g.conf.set(nb::none());
    def_function(m, "get_conf", &get_conf);
}
