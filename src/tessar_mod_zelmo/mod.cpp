// tessar_mod_zelmo.mod: the mod the host drives.
//
// start_up hands the user's data-service settings to the host, then puts the
// run together: run environment, and for a recorded run the feeder, its
// listeners and one log handler on each host logger.  tear_down delivers
// what is still queued and records how the run ended.
#include "core/py.hpp"
#include "core/python_class.hpp"

namespace nb = nanobind;
using namespace zelmo;

namespace {

constexpr const char *kLocalTimeFormat = "%Y-%m-%d %H:%M:%S.00"; // ".00": literal zeros

#define NAMES(X)                                                                          \
    X(env) X(mod_config) X(zelmo_env) X(feeder) X(active) X(get_conf) X(config) X(mod)     \
    X(dorrow_data) X(base) X(data_bundle_path) X(path) X(exists) X(now) X(strftime)        \
    X(send_log) X(user_log) X(handlers) X(append) X(event_bus) X(add_listener)             \
    X(ON_LINE_PROFILER_RESULT) X(_on_line_profiler_result) X(_register_event)             \
    X(register_event) X(activate) X(feeds_writer) X(flush) X(save_exception) X(result)     \
    X(failed_flush_time) X(datetime)
ZELMO_NAMES(NAMES) n;

#define GLOBALS(IMPORT, IMPORT_AS, FROM, FROM_AS, OWN)                                    \
    IMPORT(datetime) FROM("tessar.interface", AbstractMod) FROM("tessar.events", EVENT)     \
    IMPORT(os) FROM("tessar.utils.logger", user_system_log)                               \
    FROM("tessar_mod_zelmo.feeder.feeder", Feeder)                                        \
    FROM("tessar_mod_zelmo.feeder.quillet", LogHandler)                                   \
    FROM("tessar_mod_zelmo.zelmo_env", ZelmoEnv)
ZELMO_GLOBALS(GLOBALS) g;
nb::handle module_dict; // for the relative import of .conf

// The user setting copied to the host, key by key, in this order.
struct Setting {
    const char *user_key;
    bool in_dorrow_data; // else env.config.base
    const char *host_attribute;
};
constexpr Setting kSettings[] = {
    {"vantix_username", true, "vantix_client_username"},
    {"vantix_password", true, "vantix_client_password"},
    {"vantix_host", true, "vantix_client_addr"},
    {"vantix_port", true, "vantix_client_port"},
    {"bundle_path", false, "data_bundle_path"},
};

nb::object local_now() {
    return call_method(get_attr(g.datetime(), n.datetime), n.now);
}

nb::object stamp(nb::handle now) {
    return call_method(now, n.strftime, nb::str(kLocalTimeFormat));
}

void mod_init(nb::handle self) {
    set_attr(self, n.env, nb::none());
    set_attr(self, n.mod_config, nb::none());
    set_attr(self, n.zelmo_env, nb::none());
    set_attr(self, n.feeder, nb::none());
    set_attr(self, n.active, nb::bool_(false));
}

nb::object import_get_conf() {
    nb::object fromlist = nb::make_tuple("get_conf");
    nb::object conf = steal_or_throw(PyImport_ImportModuleLevel(
        "conf", module_dict.ptr(), nullptr, fromlist.ptr(), 1));
    return get_attr(conf, n.get_conf);
}

nb::object log_handler_for(nb::handle feeder) {
    return g.LogHandler()(get_attr(feeder, n.send_log), nb::arg("bubble") = true);
}

void start_up(nb::handle self, nb::handle env, nb::handle mod_config) {
    nb::object user_conf = call(import_get_conf());
    if (user_conf.is_none())
        return;

    for (const Setting &s : kSettings) {
        nb::object value = user_conf[nb::str(s.user_key)];
        nb::object config = get_attr(env, n.config);
        nb::object section = s.in_dorrow_data ? get_attr(get_attr(config, n.mod), n.dorrow_data)
                                              : get_attr(config, n.base);
        set_attr(section, nb::str(s.host_attribute), value);
    }
    set_attr(self, n.env, env);
    set_attr(self, n.mod_config, mod_config);

    set_attr(self, n.zelmo_env, call(g.ZelmoEnv(), env, mod_config));
    if (!truthy(get_attr(get_attr(self, n.zelmo_env), n.activate)))
        return;

    set_attr(self, n.feeder, call(g.Feeder(), get_attr(self, n.zelmo_env)));
    call_method(self, n._register_event);
    nb::object feeder = get_attr(self, n.feeder);
    call_method(get_attr(get_attr(get_attr(self, n.env), n.user_log), n.handlers), n.append,
                log_handler_for(feeder));
    call_method(get_attr(g.user_system_log(), n.handlers), n.append,
                log_handler_for(feeder));
    set_attr(self, n.active, nb::bool_(true));

    nb::object base = get_attr(get_attr(env, n.config), n.base);
    nb::object os_path = get_attr(g.os(), n.path);
    if (truthy(call_method(os_path, n.exists, get_attr(base, n.data_bundle_path))))
        return;
    nb::object now = local_now();
    nb::object message = nb::str("{} 找不到bundle {}").attr("format")(
        stamp(now), get_attr(get_attr(get_attr(env, n.config), n.base), n.data_bundle_path));
    call_method(get_attr(self, n.feeder), n.send_log, now, message, nb::int_(0));
}

void tear_down(nb::handle self, nb::handle, nb::handle exception) {
    nb::object zelmo_env = get_attr(self, n.zelmo_env);
    // start_up returned early (no user configuration) or failed before the
    // run environment existed: there is nothing to deliver or record.
    if (zelmo_env.is_none())
        return;

    // The exception is stored and its line queued before the one flush, so
    // the line is delivered and a feed service that is down cannot keep the
    // exception out of the run row.  The flush runs even when storing fails,
    // but tear-down waits out at most one failed post: when the line's own
    // write already set off a flush that failed, that was the attempt.
    nb::object writer = get_attr(zelmo_env, n.feeds_writer);
    nb::object failed_before = get_attr_or_none(writer, n.failed_flush_time);
    std::exception_ptr first_error;
    if (!exception.is_none() && truthy(get_attr(self, n.active))) {
        try {
            call_method(zelmo_env, n.save_exception, exception);
        } catch (nb::python_error &) {
            first_error = std::current_exception();
        }
        try {
            nb::object text = nb::str("{}").format(exception);
            call_method(get_attr(self, n.feeder), n.send_log, local_now(), text, nb::int_(0));
        } catch (nb::python_error &) {
            if (!first_error)
                first_error = std::current_exception();
        }
    }
    nb::object failed_after = get_attr_or_none(writer, n.failed_flush_time);
    bool failed_during_tear_down = !failed_after.is_none() && !failed_after.is(failed_before);
    if (!failed_during_tear_down) {
        try {
            call_method(writer, n.flush);
        } catch (nb::python_error &) {
            if (!first_error)
                first_error = std::current_exception();
        }
    }
    if (first_error)
        std::rethrow_exception(first_error);
}

void register_event(nb::handle self) {
    call_method(get_attr(self, n.feeder), n.register_event);
    nb::object bus = get_attr(get_attr(self, n.env), n.event_bus);
    call_method(bus, n.add_listener, get_attr(g.EVENT(), n.ON_LINE_PROFILER_RESULT),
                get_attr(self, n._on_line_profiler_result));
}

void on_line_profiler_result(nb::handle self, nb::handle event) {
    nb::object result = get_attr(event, n.result);
    nb::object now = local_now();
    nb::object text = nb::str("{dt} PERF {msg}").attr("format")(
        nb::arg("dt") = stamp(now), nb::arg("msg") = result);
    call_method(get_attr(self, n.feeder), n.send_log, now, text, nb::int_(1));
}

} // namespace

NB_MODULE(mod, m) {
    n.intern_all();
    g.bind_all(m);
    module_dict = nb::handle(PyModule_GetDict(m.ptr()));

    ClassBuilder(m, "TessarZelmoMod")
        .def("__init__", &mod_init)
        .def("start_up", &start_up, {param("env"), param("mod_config")})
        .def("tear_down", &tear_down, {param("code"), param("exception", Py_None)})
        .def("_register_event", &register_event)
        .def("_on_line_profiler_result", &on_line_profiler_result, {param("event")})
        .finish(nb::make_tuple(g.AbstractMod()));
}
