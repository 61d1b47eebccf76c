// tessar_mod_zelmo.feeder.pellard: the feed queues and their delivery.
//
// FeedWriter keeps one queue per feed kind and, when a flush rule fires at
// the start of a write, posts everything queued in one form.  Records leave
// their queue only once the post that carried them succeeded, so a service
// that is down, slow or answering with an error status loses nothing: the
// records go out, in order, with the next flush.
#include "core/feed_encoder.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"

#include <vector>

namespace nb = nanobind;
using namespace zelmo;

namespace {

constexpr int kThreshold = 100;
constexpr double kMaxBatchAgeSeconds = 3.0;
constexpr int kFeedPostTimeoutSeconds = 10;
const char *const kFeedKinds[] = {"risk_feeds",     "account_feeds", "position_feeds",
                                  "plot_feeds",     "log_feeds",     "trade_feeds",
                                  "portfolio_feeds"};

struct Names {
    nb::handle url, cnt, last_flush_time, feeds_queue, portfolio_feed_counter;
    nb::handle keys, threshold, flush, time, requests, post, user_system_log, error;
    nb::handle raise_for_status, portfolio_feeds;
    nb::handle FEED_POST_TIMEOUT;
};
Names n;
nb::handle module_dict;
nb::handle form_headers; // {"Content-Type": "application/x-www-form-urlencoded"}, kept for good

double now_seconds() {
    nb::object time_module = module_global(module_dict, n.time);
    nb::object t = call_method(time_module, n.time);
    double v = PyFloat_AsDouble(t.ptr());
    if (v == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

long long as_long(nb::handle o) {
    long long v = PyLong_AsLongLong(o.ptr());
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

void set_int(nb::handle self, nb::handle name, long long v) {
    set_attr(self, name, steal_or_throw(PyLong_FromLongLong(v)));
}

void feed_writer_init(nb::handle self, nb::handle url) {
    set_attr(self, n.url, url);
    set_int(self, n.cnt, 0);
    set_attr(self, n.last_flush_time, steal_or_throw(PyFloat_FromDouble(now_seconds())));
    nb::dict queues;
    for (nb::handle kind : get_attr(self, n.keys))
        queues[kind] = nb::list();
    set_attr(self, n.feeds_queue, queues);
    set_int(self, n.portfolio_feed_counter, 0);
}

// a >= b, natively for plain integers.
bool at_least(nb::handle a, nb::handle b) {
    if (PyLong_CheckExact(a.ptr()) && PyLong_CheckExact(b.ptr())) {
        int overflow_a = 0, overflow_b = 0;
        long long x = PyLong_AsLongLongAndOverflow(a.ptr(), &overflow_a);
        long long y = PyLong_AsLongLongAndOverflow(b.ptr(), &overflow_b);
        if (!overflow_a && !overflow_b)
            return x >= y;
    }
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GE);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

bool should_flush(nb::handle self, bool portfolio_feed) {
    double last = PyFloat_AsDouble(get_attr(self, n.last_flush_time).ptr());
    if (last == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    if (now_seconds() - last > kMaxBatchAgeSeconds)
        return true;
    if (at_least(get_attr(self, n.cnt), get_attr(self, n.threshold)))
        return true;
    return portfolio_feed && as_long(get_attr(self, n.portfolio_feed_counter)) == 2;
}

void flush(nb::handle self) {
    nb::object queues = get_attr(self, n.feeds_queue);
    FormBodyBuilder body;
    struct Sent {
        nb::object kind, queue;
        Py_ssize_t count;
    };
    std::vector<Sent> sent;
    for (nb::handle kind : get_attr(self, n.keys)) {
        nb::object queue = queues[kind];
        Py_ssize_t count = PyObject_Length(queue.ptr());
        if (count < 0)
            throw nb::python_error();
        if (count == 0)
            continue;
        body.add_json_field(kind, queue);
        sent.push_back({nb::borrow(kind), queue, count});
    }

    nb::object requests = module_global(module_dict, n.requests);
    nb::object timeout = module_global(module_dict, n.FEED_POST_TIMEOUT);
    nb::object url = get_attr(self, n.url);
    nb::object response;
    if (body.empty()) {
        // What requests sends for an empty mapping: no body, no content type.
        response = get_attr(requests, n.post)(url, nb::arg("data") = nb::dict(),
                                             nb::arg("timeout") = timeout);
    } else {
        nb::object data = steal_or_throw(
            PyBytes_FromStringAndSize(body.body().data(), (Py_ssize_t)body.body().size()));
        response = get_attr(requests, n.post)(url, nb::arg("data") = data,
                                             nb::arg("headers") = form_headers,
                                             nb::arg("timeout") = timeout);
    }
    // An error status is a failed delivery.  (A stand-in client whose reply
    // has no raise_for_status is taken at its word.)
    nb::object check = get_attr_optional(response, n.raise_for_status);
    if (check.is_valid())
        call(check);

    // Delivered: drop exactly what was sent.  Anything queued meanwhile (by
    // code the post ran) stays, in order.
    for (Sent &s : sent) {
        nb::object current = queues[s.kind];
        if (!current.is(s.queue) || PyObject_Length(current.ptr()) <= s.count) {
            if (current.is(s.queue))
                queues[s.kind] = nb::list();
            continue;
        }
        nb::object rest = steal_or_throw(PySequence_GetSlice(current.ptr(), s.count, PY_SSIZE_T_MAX));
        queues[s.kind] = steal_or_throw(PySequence_List(rest.ptr()));
    }
    set_attr(self, n.last_flush_time, steal_or_throw(PyFloat_FromDouble(now_seconds())));
    set_int(self, n.cnt, 0);
}

void feed_writer_write(nb::handle self, nb::handle key, nb::handle arr) {
    bool portfolio_feed =
        PyUnicode_Check(key.ptr()) && PyUnicode_Compare(key.ptr(), n.portfolio_feeds.ptr()) == 0;
    if (portfolio_feed)
        set_int(self, n.portfolio_feed_counter,
                as_long(get_attr(self, n.portfolio_feed_counter)) + 1);

    // A failed flush still lets this call count and queue its records; the
    // error is raised once they are safe in the queue.
    std::exception_ptr flush_error;
    if (should_flush(self, portfolio_feed)) {
        try {
            call_method(self, n.flush);
        } catch (nb::python_error &) {
            flush_error = std::current_exception();
        }
    }

    set_int(self, n.cnt, as_long(get_attr(self, n.cnt)) + 1);

    nb::object queues = get_attr(self, n.feeds_queue);
    int present = PySequence_Contains(queues.ptr(), key.ptr());
    if (present < 0)
        throw nb::python_error();
    if (present) {
        nb::object queue = queues[key];
        Py_ssize_t end = PyObject_Length(queue.ptr());
        if (end < 0 || PyList_SetSlice(queue.ptr(), end, end, arr.ptr()) < 0)
            throw nb::python_error();
    } else {
        nb::object message = nb::str("{} not exist in queue").attr("format")(key);
        call_method(module_global(module_dict, n.user_system_log), n.error, message);
    }

    if (flush_error)
        std::rethrow_exception(flush_error);
}

} // namespace

NB_MODULE(pellard, m) {
    n = Names{intern("url"), intern("cnt"), intern("last_flush_time"), intern("feeds_queue"),
              intern("portfolio_feed_counter"), intern("keys"), intern("threshold"),
              intern("flush"), intern("time"), intern("requests"), intern("post"),
              intern("user_system_log"), intern("error"), intern("raise_for_status"), intern("portfolio_feeds"),
              intern("FEED_POST_TIMEOUT")};
    module_dict = nb::handle(PyModule_GetDict(m.ptr()));
    nb::dict headers;
    headers["Content-Type"] = "application/x-www-form-urlencoded";
    form_headers = headers.release();

    m.attr("requests") = nb::module_::import_("requests");
    m.attr("json") = nb::module_::import_("json");
    m.attr("time") = nb::module_::import_("time");
    m.attr("user_system_log") = nb::module_::import_("tessar.utils.logger").attr("user_system_log");
    // Seconds a post may take before it counts as failed.
    m.attr("FEED_POST_TIMEOUT") = kFeedPostTimeoutSeconds;

    nb::list keys;
    for (const char *kind : kFeedKinds)
        keys.append(nb::str(kind));

    ClassBuilder(m, "FeedWriter")
        .attr("keys", keys)
        .attr("threshold", nb::int_(kThreshold))
        .def("__init__", &feed_writer_init, nb::arg("url").none())
        .def("should_flush", [](nb::handle self, nb::handle portfolio_feed) {
                return should_flush(self, truthy(portfolio_feed));
            }, nb::arg("portfolio_feed").none())
        .def("write", &feed_writer_write, nb::arg("key").none(), nb::arg("arr").none())
        .def("flush", &flush)
        .finish(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)));
}
