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

struct Names {
    // module globals
    nb::handle datetime, AbstractMod, EVENT, os, user_system_log, Feeder, LogHandler, ZelmoEnv;
    // attributes
    nb::handle env, mod_config, zelmo_env, feeder, active, get_conf, config, mod, dorrow_data,
        base, data_bundle_path, path, exists, now, strftime, send_log, user_log, handlers,
        append, event_bus, add_listener, ON_LINE_PROFILER_RESULT,
        _on_line_profiler_result, _register_event, register_event, activate, feeds_writer,
        flush, save_exception, result, failed_flush_time;
};
Names n;
nb::handle module_dict;

nb::object global(nb::handle name) { return module_global(module_dict, name); }

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
    return call_method(get_attr(global(n.datetime), n.datetime), n.now);
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
    return global(n.LogHandler)(get_attr(feeder, n.send_log), nb::arg("bubble") = true);
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

    set_attr(self, n.zelmo_env, call(global(n.ZelmoEnv), env, mod_config));
    if (!truthy(get_attr(get_attr(self, n.zelmo_env), n.activate)))
        return;

    set_attr(self, n.feeder, call(global(n.Feeder), get_attr(self, n.zelmo_env)));
    call_method(self, n._register_event);
    nb::object feeder = get_attr(self, n.feeder);
    call_method(get_attr(get_attr(get_attr(self, n.env), n.user_log), n.handlers), n.append,
                log_handler_for(feeder));
    call_method(get_attr(global(n.user_system_log), n.handlers), n.append,
                log_handler_for(feeder));
    set_attr(self, n.active, nb::bool_(true));

    nb::object base = get_attr(get_attr(env, n.config), n.base);
    nb::object os_path = get_attr(global(n.os), n.path);
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
    call_method(bus, n.add_listener, get_attr(global(n.EVENT), n.ON_LINE_PROFILER_RESULT),
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
#define NAME(x) intern(#x)
    n = Names{NAME(datetime), NAME(AbstractMod), NAME(EVENT), NAME(os), NAME(user_system_log),
              NAME(Feeder), NAME(LogHandler), NAME(ZelmoEnv), NAME(env), NAME(mod_config),
              NAME(zelmo_env), NAME(feeder), NAME(active), NAME(get_conf), NAME(config),
              NAME(mod), NAME(dorrow_data), NAME(base), NAME(data_bundle_path), NAME(path),
              NAME(exists), NAME(now), NAME(strftime), NAME(send_log), NAME(user_log),
              NAME(handlers), NAME(append), NAME(event_bus), NAME(add_listener),
              NAME(ON_LINE_PROFILER_RESULT), NAME(_on_line_profiler_result),
              NAME(_register_event), NAME(register_event), NAME(activate), NAME(feeds_writer),
              NAME(flush), NAME(save_exception), NAME(result), NAME(failed_flush_time)};
#undef NAME
    module_dict = nb::handle(PyModule_GetDict(m.ptr()));

    m.attr("datetime") = nb::module_::import_("datetime");
    m.attr("AbstractMod") = nb::module_::import_("tessar.interface").attr("AbstractMod");
    m.attr("EVENT") = nb::module_::import_("tessar.events").attr("EVENT");
    m.attr("os") = nb::module_::import_("os");
    m.attr("user_system_log") = nb::module_::import_("tessar.utils.logger").attr("user_system_log");
    m.attr("Feeder") = nb::module_::import_("tessar_mod_zelmo.feeder.feeder").attr("Feeder");
    m.attr("LogHandler") = nb::module_::import_("tessar_mod_zelmo.feeder.quillet").attr("LogHandler");
    m.attr("ZelmoEnv") = nb::module_::import_("tessar_mod_zelmo.zelmo_env").attr("ZelmoEnv");

    ClassBuilder(m, "TessarZelmoMod")
        .def("__init__", &mod_init)
        .def("start_up", &start_up, {param("env"), param("mod_config")})
        .def("tear_down", &tear_down, {param("code"), param("exception", Py_None)})
        .def("_register_event", &register_event)
        .def("_on_line_profiler_result", &on_line_profiler_result, {param("event")})
        .finish(nb::make_tuple(global(n.AbstractMod)));
}
