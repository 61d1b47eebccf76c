// tessar_mod_zelmo.feeder.quillet: captures the host's log lines.
//
// LogHandler is a logbook handler (a real subclass of Handler and
// StringFormatterHandlerMixin) that stamps each record with the backtest's
// simulated time and forwards the line to the feeder.  Forwarding never
// raises into the code that logged: a failure is printed and the line dropped.
#include "core/py.hpp"
#include "core/python_class.hpp"
#include "core/text_cache.hpp"

#include <optional>

namespace nb = nanobind;
using namespace zelmo;

namespace {

struct Names {
    nb::handle Handler, StringFormatterHandlerMixin, new_fine_grained_lock, Environment, logger,
        log_formatter;
    nb::handle get_instance, calendar_dt, DATETIME_FORMAT, level_name, message, __init__,
        encoding, lock, send_quillet, formatter, format, acquire, release, write, print,
        _format_message;
};
Names n;
nb::handle module_dict;
nb::handle no_time_stamp; // "0000-00-00"
nb::handle blank;
nb::handle handler_format;           // logbook's Handler.format
nb::handle log_formatter_function;   // this module's log_formatter
nb::handle log_handler_write_method; // LogHandler.write as defined here

nb::object global(nb::handle name) { return module_global(module_dict, name); }

nb::object calendar_dt() {
    return get_attr(call_method(global(n.Environment), n.get_instance), n.calendar_dt);
}

// Runs `body`; an Exception (not an exit or interrupt) goes to `on_error`.
template <typename Body, typename OnError>
void guarded(Body &&body, OnError &&on_error) {
    try {
        body();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        on_error(e);
    }
}

// logbook's own LogRecord machinery, when this logbook has it in the form
// the native reading below reproduces; otherwise records are read through
// Python only.
struct LogbookRecord {
    nb::handle message, format_message, level_name; // LogRecord's own class attributes
    nb::handle level_names;                         // logbook.base._level_names
    nb::handle args, kwargs, msg, level, __dict__;
    bool usable = false;
} logbook_record;

// How a record is read.  `plain`: its class is LogRecord or a subclass that
// replaced none of message, _format_message and level_name, so both are
// computed here.  `dict`: the record's __dict__ (plain records only).
// `fields_in_dict`: the class reads attributes the ordinary way and has no
// data descriptor for level, msg, args or kwargs, so the record's own
// __dict__ entries are what reading them gives.
struct RecordView {
    bool plain = false, fields_in_dict = false;
    nb::object dict;
};

#ifndef Py_LIMITED_API
// The last record class found plain, with the version tag it had then.
// While the tag holds, neither the class nor its bases changed, so the
// checks need not be made again (tags are never reused).  The stable ABI
// shows no tags: there every record is checked.
struct {
    PyTypeObject *type = nullptr;
    unsigned int tag = 0;
    bool fields_in_dict = false;
} plain_record_class;

bool no_data_descriptor(PyTypeObject *type, nb::handle name) {
    PyObject *d = _PyType_Lookup(type, name.ptr());
    return !d || !Py_TYPE(d)->tp_descr_set;
}
#endif

void check_record_class(PyTypeObject *type, RecordView &view) {
    const LogbookRecord &r = logbook_record;
#ifndef Py_LIMITED_API
    const bool tagged = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    if (tagged && type == plain_record_class.type && type->tp_version_tag == plain_record_class.tag) {
        view.plain = true;
        view.fields_in_dict = plain_record_class.fields_in_dict;
        return;
    }
#endif
    view.plain = r.usable && class_attribute_is(type, n.message, r.message) &&
                 class_attribute_is(type, n._format_message, r.format_message) &&
                 class_attribute_is(type, n.level_name, r.level_name);
#ifndef Py_LIMITED_API
    if (!view.plain)
        return;
    view.fields_in_dict = type->tp_getattro == PyObject_GenericGetAttr &&
                          no_data_descriptor(type, r.level) && no_data_descriptor(type, r.msg) &&
                          no_data_descriptor(type, r.args) && no_data_descriptor(type, r.kwargs);
    // The look-ups above gave the class a valid tag if it had none.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        plain_record_class = {type, type->tp_version_tag, view.fields_in_dict};
#endif
}

RecordView view_record(nb::handle record) {
    RecordView view;
    check_record_class(Py_TYPE(record.ptr()), view);
    if (view.plain) {
        view.dict = get_attr(record, logbook_record.__dict__);
        if (!PyDict_CheckExact(view.dict.ptr()))
            view = RecordView{};
    }
    return view;
}

// record.<name> for one of the fields logbook's __init__ sets.
nb::object record_field(nb::handle record, const RecordView &view, nb::handle name) {
    if (view.fields_in_dict) {
        if (PyObject *v = PyDict_GetItemWithError(view.dict.ptr(), name.ptr()))
            return nb::borrow(v);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return get_attr(record, name);
}

// record.level_name as logbook's property gives it: the name registered for
// record.level.  An unknown level takes the property's own way, which
// raises its LookupError.
nb::object record_level_name(nb::handle record, const RecordView &view) {
    if (view.plain) {
        nb::object level = record_field(record, view, logbook_record.level);
        PyObject *name = PyDict_GetItemWithError(logbook_record.level_names.ptr(), level.ptr());
        if (name)
            return nb::borrow(name);
        if (PyErr_Occurred())
            PyErr_Clear(); // an unhashable level: the property reports it
    }
    return get_attr(record, n.level_name);
}

// record.message as logbook's cached property gives it, cached the same way
// in the record's __dict__: msg itself without arguments, else
// msg.format(*args, **kwargs).  A message that fails to format takes the
// property's own way, which reports the failure exactly as logbook does.
nb::object record_message(nb::handle record, const RecordView &view) {
    if (!view.plain)
        return get_attr(record, n.message);
    if (PyObject *cached = PyDict_GetItemWithError(view.dict.ptr(), n.message.ptr()))
        return nb::borrow(cached);
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object args = record_field(record, view, logbook_record.args);
    nb::object kwargs = record_field(record, view, logbook_record.kwargs);
    nb::object message;
    if (!truthy(args) && !truthy(kwargs)) {
        message = record_field(record, view, logbook_record.msg);
    } else {
        nb::object msg = record_field(record, view, logbook_record.msg);
        if (!PyUnicode_CheckExact(msg.ptr()) || !PyTuple_CheckExact(args.ptr()) ||
            !(PyDict_CheckExact(kwargs.ptr()) || kwargs.is_none() || !truthy(kwargs)))
            return get_attr(record, n.message);
        nb::object keywords = PyDict_CheckExact(kwargs.ptr()) ? kwargs : nb::object(nb::dict());
        PyObject *text = PyObject_Call(get_attr(msg, n.format).ptr(), args.ptr(), keywords.ptr());
        if (!text) {
            PyErr_Clear();
            return get_attr(record, n.message);
        }
        message = nb::steal(text);
    }
    if (PyDict_SetItem(view.dict.ptr(), n.message.ptr(), message.ptr()) < 0)
        throw nb::python_error();
    return message;
}

// The simulated time of a line: the host's calendar date-time, or the error
// reading it raised.
struct LineTime {
    nb::object dt, error;
};

LineTime read_line_time() {
    LineTime t;
    guarded([&] { t.dt = calendar_dt(); },
            [&](nb::python_error &e) { t.error = nb::borrow(e.value()); });
    return t;
}

// "{dt} {level} {msg}" for `record` at time `t`; a time that cannot be read
// or formatted stamps "0000-00-00".
nb::object format_line_at(nb::handle record, const LineTime &t) {
    nb::object dt = nb::borrow(no_time_stamp);
    if (t.dt.is_valid())
        guarded([&] { dt = cached_strftime(t.dt, get_attr(global(n.logger), n.DATETIME_FORMAT)); },
                [&](nb::python_error &) { dt = nb::borrow(no_time_stamp); });
    // Filled as str.format fills it: each part is format(part, ""), so a
    // stamp that is not text is formatted, not refused.
    const RecordView view = view_record(record);
    nb::object level = format_of(record_level_name(record, view));
    nb::object message = format_of(record_message(record, view));
    dt = format_of(dt);
    PyObject *parts[] = {dt.ptr(), level.ptr(), message.ptr()};
    nb::object list = steal_or_throw(PyList_New(3));
    for (int i = 0; i < 3; ++i) {
        Py_INCREF(parts[i]);
        list_init_item(list.ptr(), i, parts[i]);
    }
    return steal_or_throw(PyUnicode_Join(blank.ptr(), list.ptr()));
}

nb::object log_formatter(nb::handle record, nb::handle) {
    return format_line_at(record, read_line_time());
}

void log_handler_init(nb::handle self, nb::handle send_quillet, nb::handle level,
                      nb::handle format_string, nb::handle encoding, nb::handle filter,
                      nb::handle bubble) {
    call_method(global(n.Handler), n.__init__, self, level, filter, bubble);
    call_method(global(n.StringFormatterHandlerMixin), n.__init__, self, format_string);
    set_attr(self, n.encoding, encoding);
    set_attr(self, n.lock, call(global(n.new_fine_grained_lock)));
    set_attr(self, n.send_quillet, send_quillet);
    // Last, so the forwarded text is always log_formatter's, whatever
    // format_string the caller passed.
    set_attr(self, n.formatter, global(n.log_formatter));
}

// Forwards `item` stamped with time `t` to the feeder; a failure, reading
// the time included, is printed and the line dropped.
void write_line_at(nb::handle self, nb::handle item, const LineTime &t) {
    guarded(
        [&] {
            if (t.error.is_valid()) {
                PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(t.error.ptr())), t.error.ptr());
                throw nb::python_error();
            }
            nb::object send = get_attr(self, n.send_quillet);
            if (truthy(send))
                call(send, t.dt, item, nb::int_(0));
        },
        [&](nb::python_error &e) {
            nb::object pair = nb::make_tuple(nb::str("LogHandler"), e.value());
            call(builtin(n.print), pair);
        });
}

void log_handler_write(nb::handle self, nb::handle item) {
    write_line_at(self, item, read_line_time());
}

// Runs `forward` holding the handler's lock.
template <typename Forward>
void locked(nb::handle self, Forward &&forward) {
    nb::object lock = get_attr(self, n.lock);
    call_method(lock, n.acquire);
    try {
        forward();
    } catch (...) {
        call_method(lock, n.release);
        throw;
    }
    call_method(lock, n.release);
}

// The handler's own format() and write() are run directly while they are
// the ones this module defines (logbook's Handler.format with log_formatter
// installed, LogHandler.write); an override or a replaced formatter is
// called through Python as usual.  When this module both stamps and forwards
// the line, one reading of the simulated time serves both.
void emit(nb::handle self, nb::handle record) {
    std::optional<LineTime> time;
    auto line_time = [&]() -> const LineTime & {
        if (!time)
            time = read_line_time();
        return *time;
    };
    nb::object line;
    nb::object replaced_format = replaced_method(self, n.format, handler_format);
    if (replaced_format.is_valid())
        line = call(replaced_format, record);
    else if (get_attr(self, n.formatter).is(log_formatter_function))
        line = format_line_at(record, line_time());
    else
        line = call_method(self, n.format, record);
    locked(self, [&] {
        nb::object replaced_write = replaced_method(self, n.write, log_handler_write_method);
        if (replaced_write.is_valid())
            call(replaced_write, line);
        else
            write_line_at(self, line, line_time());
    });
}

} // namespace

NB_MODULE(quillet, m) {
#define NAME(x) intern(#x)
    n = Names{NAME(Handler), NAME(StringFormatterHandlerMixin), NAME(new_fine_grained_lock),
              NAME(Environment), NAME(logger), NAME(log_formatter),
              NAME(get_instance), NAME(calendar_dt), NAME(DATETIME_FORMAT), NAME(level_name),
              NAME(message), NAME(__init__), NAME(encoding), NAME(lock), NAME(send_quillet),
              NAME(formatter), NAME(format), NAME(acquire), NAME(release), NAME(write),
              NAME(print), NAME(_format_message)};
#undef NAME
    no_time_stamp = intern("0000-00-00");
    blank = intern(" ");
    module_dict = nb::handle(PyModule_GetDict(m.ptr()));

    nb::object handlers = nb::module_::import_("logbook.handlers");
    m.attr("Handler") = handlers.attr("Handler");
    m.attr("StringFormatterHandlerMixin") = handlers.attr("StringFormatterHandlerMixin");
    // The re-entrant lock logbook's own handlers take.  logbook 1.10
    // deprecates the public factory (it warns on every call) but keeps the
    // same lock behind it; older versions have only the public one.
    nb::object concurrency = nb::module_::import_("logbook.concurrency");
    m.attr("new_fine_grained_lock") = nb::hasattr(concurrency, "_new_fine_grained_lock")
                                          ? concurrency.attr("_new_fine_grained_lock")
                                          : concurrency.attr("new_fine_grained_lock");
    nb::object notset = nb::module_::import_("logbook.base").attr("NOTSET");
    m.attr("NOTSET") = notset;
    m.attr("Environment") = nb::module_::import_("tessar.environment").attr("Environment");
    m.attr("logger") = nb::module_::import_("tessar.utils.logger");

    // logbook's record class, read natively while nobody replaced its parts.
    nb::object logbook_base = nb::module_::import_("logbook.base");
    nb::object record_class = logbook_base.attr("LogRecord");
    nb::object record_attributes = record_class.attr("__dict__");
    auto has = [&](const char *name) { return PyMapping_HasKeyString(record_attributes.ptr(), name); };
    if (nb::hasattr(logbook_base, "_level_names") && has("message") && has("_format_message") &&
        has("level_name")) {
        LogbookRecord &r = logbook_record;
        r.message = nb::object(record_attributes["message"]).release();
        r.format_message = nb::object(record_attributes["_format_message"]).release();
        r.level_name = nb::object(record_attributes["level_name"]).release();
        r.level_names = nb::object(logbook_base.attr("_level_names")).release();
        r.usable = PyDict_CheckExact(r.level_names.ptr());
        r.args = intern("args");
        r.kwargs = intern("kwargs");
        r.msg = intern("msg");
        r.level = intern("level");
        r.__dict__ = intern("__dict__");
    }

    def_function(m, "log_formatter", &log_formatter, {param("record"), param("handler")});
    log_formatter_function = nb::object(m.attr("log_formatter")).release();
    handler_format = nb::object(handlers.attr("Handler").attr("__dict__")["format"]).release();

    nb::object cls = ClassBuilder(m, "LogHandler")
        .def("__init__", &log_handler_init,
             {param("send_quillet"), param("level", notset), param("format_string", Py_None),
              param("encoding", Py_None), param("filter", Py_None), param("bubble", Py_False)})
        .def("write", &log_handler_write, {param("item")}, "Writes a bytestring to the stream.")
        .def("emit", &emit, {param("record")})
        .finish(nb::make_tuple(global(n.Handler), global(n.StringFormatterHandlerMixin)));
    log_handler_write_method = ClassBuilder::own_method(cls, "write");
}
