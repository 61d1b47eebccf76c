// tessar_mod_zelmo.feeder.quillet: captures the host's log lines.
//
// LogHandler is a logbook handler (a real subclass of Handler and
// StringFormatterHandlerMixin) that stamps each record with the backtest's
// simulated time and forwards the line to the feeder.  Forwarding never
// raises into the code that logged: a failure is printed and the line dropped.
#include "core/logbook_record.hpp"
#include "core/native_entry.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"
#include "core/text_cache.hpp"

#include <optional>

namespace nb = nanobind;
using namespace zelmo;

namespace {

#define NAMES(X)                                                                          \
    X(get_instance) X(calendar_dt) X(DATETIME_FORMAT) X(__init__) X(encoding) X(lock)       \
    X(send_quillet) X(formatter) X(format) X(acquire) X(release) X(write) X(print) X(level)  \
    X(emit) X(handle_error)
ZELMO_NAMES(NAMES) n;

#define TEXTS(X) X(no_time_stamp, "0000-00-00") X(blank, " ")
ZELMO_TEXTS(TEXTS) text;

#define GLOBALS(IMPORT, IMPORT_AS, FROM, FROM_AS, OWN)                                    \
    FROM("logbook.handlers", Handler) FROM("logbook.handlers", StringFormatterHandlerMixin) \
    FROM("logbook.base", NOTSET) FROM("tessar.environment", Environment)                  \
    IMPORT_AS("tessar.utils.logger", logger) OWN(new_fine_grained_lock) OWN(log_formatter)
ZELMO_GLOBALS(GLOBALS) g;

nb::handle handler_format;           // logbook's Handler.format
nb::handle log_formatter_function;   // this module's log_formatter
nb::handle log_handler_write_method; // LogHandler.write as defined here
nb::handle log_handler_emit_method;  // LogHandler.emit as defined here

nb::object calendar_dt() {
    return get_attr(call_method(g.Environment(), n.get_instance), n.calendar_dt);
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
    nb::object dt = nb::borrow(text.no_time_stamp);
    if (t.dt.is_valid())
        guarded([&] { dt = cached_strftime(t.dt, get_attr(g.logger(), n.DATETIME_FORMAT)); },
                [&](nb::python_error &) { dt = nb::borrow(text.no_time_stamp); });
    // Filled as str.format fills it: each part is format(part, ""), so a
    // stamp that is not text is formatted, not refused.
    const LevelAndMessage read = read_logbook_record(record);
    nb::object level = format_of(read.level_name);
    nb::object message = format_of(read.message);
    dt = format_of(dt);
    TupleBuilder parts(3); // joined as it is, no copy made
    parts.set(0, std::move(dt));
    parts.set(1, std::move(level));
    parts.set(2, std::move(message));
    return steal_or_throw(PyUnicode_Join(text.blank.ptr(), parts.release().ptr()));
}

nb::object log_formatter(nb::handle record, nb::handle) {
    return format_line_at(record, read_line_time());
}

void log_handler_init(nb::handle self, nb::handle send_quillet, nb::handle level,
                      nb::handle format_string, nb::handle encoding, nb::handle filter,
                      nb::handle bubble) {
    call_method(g.Handler(), n.__init__, self, level, filter, bubble);
    call_method(g.StringFormatterHandlerMixin(), n.__init__, self, format_string);
    set_attr(self, n.encoding, encoding);
    set_attr(self, n.lock, call(g.new_fine_grained_lock()));
    set_attr(self, n.send_quillet, send_quillet);
    // Last, so the forwarded text is always log_formatter's, whatever
    // format_string the caller passed.
    set_attr(self, n.formatter, g.log_formatter());
}

// The feeder's own send_log, straight from its module (native_entry.hpp).
NativeEntry4 native_send_log = nullptr;
nb::handle native_send_log_method; // Feeder.send_log
nb::handle zero;

// send(dt, line, 0): a feeder's own send_log, bound, runs directly.
void forward(nb::handle send, nb::handle dt, nb::handle line) {
#ifndef Py_LIMITED_API
    if (native_send_log && PyMethod_Check(send.ptr()) &&
        PyMethod_GET_FUNCTION(send.ptr()) == native_send_log_method.ptr()) {
        check_entry(native_send_log(PyMethod_GET_SELF(send.ptr()), dt.ptr(), line.ptr(), zero.ptr()));
        return;
    }
#endif
    call(send, dt, line, zero);
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
                forward(send, t.dt, item);
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

// logbook's Handler.should_handle and Handler.handle, which every captured
// line passes through, run natively.  should_handle: whether the record's
// level is at least the handler's, as `>=` gives it.
nb::object should_handle(nb::handle self, nb::handle record) {
    nb::object record_level = get_attr(record, n.level);
    nb::object handler_level = get_attr(self, n.level);
    return steal_or_throw(
        PyObject_RichCompare(record_level.ptr(), handler_level.ptr(), Py_GE));
}

// handle: self.emit(record); an Exception goes to self.handle_error(record,
// exc_info), called while that exception is the one being handled, as from
// an except block.  Always true: the line was recorded.
nb::object handle(nb::handle self, nb::handle record) {
    try {
        nb::object replaced_emit = replaced_method(self, n.emit, log_handler_emit_method);
        if (replaced_emit.is_valid())
            call(replaced_emit, record);
        else
            emit(self, record);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        nb::object type = nb::borrow(e.type()), value = nb::borrow(e.value());
        nb::object traceback = e.traceback().is_valid() ? nb::borrow(e.traceback()) : nb::none();
        PyObject *outer_type, *outer_value, *outer_traceback;
        PyErr_GetExcInfo(&outer_type, &outer_value, &outer_traceback);
        PyErr_SetExcInfo(type.inc_ref().ptr(), value.inc_ref().ptr(), traceback.inc_ref().ptr());
        try {
            call_method(self, n.handle_error, record, nb::make_tuple(type, value, traceback));
        } catch (...) {
            PyErr_SetExcInfo(outer_type, outer_value, outer_traceback);
            throw;
        }
        PyErr_SetExcInfo(outer_type, outer_value, outer_traceback);
    }
    return nb::bool_(true);
}

} // namespace

NB_MODULE(quillet, m) {
    n.intern_all();
    text.intern_all();
    g.bind_all(m);
    // The re-entrant lock logbook's own handlers take.  logbook 1.10
    // deprecates the public factory (it warns on every call) but keeps the
    // same lock behind it; older versions have only the public one.
    nb::object concurrency = nb::module_::import_("logbook.concurrency");
    g.new_fine_grained_lock.set(nb::hasattr(concurrency, "_new_fine_grained_lock")
                                    ? concurrency.attr("_new_fine_grained_lock")
                                    : concurrency.attr("new_fine_grained_lock"));
    init_logbook_record_reader();

    def_function(m, "log_formatter", &log_formatter, {param("record"), param("handler")});
    log_formatter_function = g.log_formatter().release();
    handler_format = nb::object(g.Handler().attr("__dict__")["format"]).release();

    nb::object cls = ClassBuilder(m, "LogHandler")
        .def("__init__", &log_handler_init,
             {param("send_quillet"), param("level", g.NOTSET()), param("format_string", Py_None),
              param("encoding", Py_None), param("filter", Py_None), param("bubble", Py_False)})
        .def("write", &log_handler_write, {param("item")}, "Writes a bytestring to the stream.")
        .def("emit", &emit, {param("record")})
        .def("should_handle", &should_handle, {param("record")},
             "Returns `True` if this handler wants to handle the record.")
        .def("handle", &handle, {param("record")},
             "Emits the record; an error in doing so goes to handle_error.")
        .finish(nb::make_tuple(g.Handler(), g.StringFormatterHandlerMixin()));
    log_handler_write_method = ClassBuilder::own_method(cls, "write");
    zero = nb::int_(0).release();
    native_send_log = find_entry<NativeEntry4>("tessar_mod_zelmo.feeder.feeder", "send_log");
    native_send_log_method = nb::object(nb::module_::import_("tessar_mod_zelmo.feeder.feeder")
                                            .attr("Feeder").attr("__dict__")["send_log"])
                                 .release();
    log_handler_emit_method = ClassBuilder::own_method(cls, "emit");
}
