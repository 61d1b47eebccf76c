// tessar_mod_zelmo.feeder.pellard: the feed queues and their delivery.
//
// FeedWriter keeps one queue per feed kind and, when a flush rule fires at
// the start of a write, posts everything queued in one form.  Delivery is at
// least once:
//   - records leave their queue only once the service answered the post that
//     carried them with a 2xx status; a service that is down, slow,
//     redirecting or answering with an error loses nothing, and the records
//     go out, in order, with a later flush;
//   - after a failed flush, writes only queue until the failed attempt is
//     more than 3 seconds old (`failed_flush_time`), so an outage costs one
//     attempt per batch age, not one per write; flush() always tries;
//   - a write or flush reached from inside a flush (a value's str() that
//     logs, say) only queues (`flushing`): the outer flush removes exactly
//     what it sent and the rest goes with the next one.
// A post cut off after the service read it is sent again.
#include "core/feed_encoder.hpp"
#include "core/feed_post.hpp"
#include "core/native_entry.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"

#include <climits>
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

#define NAMES(X)                                                                          \
    X(url) X(cnt) X(last_flush_time) X(feeds_queue) X(portfolio_feed_counter) X(flushing)   \
    X(failed_flush_time) X(keys) X(threshold) X(flush) X(should_flush) X(time) X(error)     \
    X(extend) X(portfolio_feeds)
ZELMO_NAMES(NAMES) n;

// requests and json are not used here; they stay importable from this module.
#define GLOBALS(IMPORT, IMPORT_AS, FROM, FROM_AS, OWN)                                    \
    IMPORT(requests) IMPORT(json) IMPORT(time) FROM("tessar.utils.logger", user_system_log) \
    OWN(FEED_POST_TIMEOUT)
ZELMO_GLOBALS(GLOBALS) g;

nb::handle one;
nb::handle native_should_flush; // FeedWriter.should_flush as defined here

nb::object now() {
    return call_method(g.time(), n.time);
}

// a - b > limit, natively for floats, else with the interpreter's arithmetic.
bool older_than(nb::handle a, nb::handle b, double limit) {
    if (PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr()))
        return float_value(a.ptr()) - float_value(b.ptr()) > limit;
    nb::object age = steal_or_throw(PyNumber_Subtract(a.ptr(), b.ptr()));
    nb::object bound = steal_or_throw(PyFloat_FromDouble(limit));
    int r = PyObject_RichCompareBool(age.ptr(), bound.ptr(), Py_GT);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

bool compare(nb::handle a, nb::handle b, int op) {
    long long x, y;
    if (PyLong_CheckExact(a.ptr()) && PyLong_CheckExact(b.ptr()) && exact_int_value(a.ptr(), x) &&
        exact_int_value(b.ptr(), y))
        return op == Py_GE ? x >= y : x == y;
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// self.<name> += 1, on whatever number is there.
void increment(nb::handle self, nb::handle name) {
    nb::object v = get_attr(self, name);
    long long x;
    // The usual case, without the generic dispatch.
    if (PyLong_CheckExact(v.ptr()) && exact_int_value(v.ptr(), x) && x < LLONG_MAX) {
        set_attr(self, name, steal_or_throw(PyLong_FromLongLong(x + 1)));
        return;
    }
    set_attr(self, name, steal_or_throw(PyNumber_InPlaceAdd(v.ptr(), one.ptr())));
}

void feed_writer_init(nb::handle self, nb::handle url) {
    set_attr(self, n.url, url);
    set_attr(self, n.cnt, nb::int_(0));
    set_attr(self, n.last_flush_time, now());
    nb::dict queues;
    for (nb::handle kind : get_attr(self, n.keys))
        queues[kind] = nb::list();
    set_attr(self, n.feeds_queue, queues);
    set_attr(self, n.portfolio_feed_counter, nb::int_(0));
    set_attr(self, n.flushing, nb::bool_(false));
    set_attr(self, n.failed_flush_time, nb::none());
}

bool should_flush(nb::handle self, bool portfolio_feed) {
    if (older_than(now(), get_attr(self, n.last_flush_time), kMaxBatchAgeSeconds))
        return true;
    if (compare(get_attr(self, n.cnt), get_attr(self, n.threshold), Py_GE))
        return true;
    return portfolio_feed &&
           compare(get_attr(self, n.portfolio_feed_counter), nb::int_(2), Py_EQ);
}

// self.should_flush(portfolio_feed), straight to the native rule unless a
// subclass or the instance replaced it.
bool ask_should_flush(nb::handle self, bool portfolio_feed) {
    nb::object replaced = replaced_method(self, n.should_flush, native_should_flush);
    if (!replaced.is_valid())
        return should_flush(self, portfolio_feed);
    return truthy(call(replaced, nb::bool_(portfolio_feed)));
}

// Holds `flushing` true while a flush is under way.
class FlushingFlag {
public:
    explicit FlushingFlag(nb::handle self) : self_(self) { set_attr(self_, n.flushing, nb::bool_(true)); }
    ~FlushingFlag() {
        preserving_error([&] { set_attr(self_, n.flushing, nb::bool_(false)); });
    }
    FlushingFlag(const FlushingFlag &) = delete;
    FlushingFlag &operator=(const FlushingFlag &) = delete;

private:
    nb::handle self_;
};

// After delivery: what was sent leaves the kind's queue; whatever was queued
// meanwhile stays, in order.
void drop_sent(nb::handle queues, nb::handle kind, nb::handle sent_queue, Py_ssize_t sent) {
    nb::object current = queues[kind];
    if (!current.is(sent_queue))
        return; // replaced meanwhile: the new queue holds nothing that was sent
    Py_ssize_t size = PyObject_Length(current.ptr());
    if (size < 0)
        throw nb::python_error();
    if (size <= sent) {
        queues[kind] = nb::list();
        return;
    }
    nb::object all = steal_or_throw(PySequence_List(current.ptr()));
    queues[kind] = steal_or_throw(PyList_GetSlice(all.ptr(), sent, size));
}

void flush(nb::handle self) {
    if (truthy(get_attr(self, n.flushing)))
        return; // a nested flush: the outer one is sending
    FlushingFlag flag(self);
    try {
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
            body.add_records_field(kind, queue, count);
            sent.push_back({nb::borrow(kind), queue, count});
        }
        post_feed_form(get_attr(self, n.url), body.take_body(),
                       g.FEED_POST_TIMEOUT());
        for (Sent &s : sent)
            drop_sent(queues, s.kind, s.queue, s.count);
    } catch (nb::python_error &) {
        set_attr(self, n.failed_flush_time, now());
        throw;
    }
    set_attr(self, n.last_flush_time, now());
    set_attr(self, n.cnt, nb::int_(0));
    set_attr(self, n.failed_flush_time, nb::none());
}

// Whether this write may flush: not within the batch age of a failed
// attempt.  (Inside a flush, the nested flush() itself does nothing.)
bool may_flush(nb::handle self) {
    nb::object failed = get_attr(self, n.failed_flush_time);
    return failed.is_none() || older_than(now(), failed, kMaxBatchAgeSeconds);
}

void extend_queue(nb::handle queue, nb::handle arr) {
    if (PyList_CheckExact(queue.ptr()) && (PyList_CheckExact(arr.ptr()) || PyTuple_CheckExact(arr.ptr()))) {
        Py_ssize_t end = list_size(queue.ptr());
        if (PyList_SetSlice(queue.ptr(), end, end, arr.ptr()) < 0)
            throw nb::python_error();
        return;
    }
    call_method(queue, n.extend, arr);
}

// write(key, records): the flush rules, then `put(queue)` puts the records in
// the kind's queue.
template <typename Put> void write_records(nb::handle self, nb::handle key, Put &&put) {
    bool portfolio_feed;
    if (key.is(n.portfolio_feeds))
        portfolio_feed = true;
    else if (PyUnicode_CheckExact(key.ptr()))
#ifndef Py_LIMITED_API
        // Equal interned texts are one object: an interned other is another kind.
        portfolio_feed = !PyUnicode_CHECK_INTERNED(key.ptr()) &&
                         PyUnicode_Compare(key.ptr(), n.portfolio_feeds.ptr()) == 0;
#else
        portfolio_feed = PyUnicode_Compare(key.ptr(), n.portfolio_feeds.ptr()) == 0;
#endif
    else
        portfolio_feed = compare(key, n.portfolio_feeds, Py_EQ);
    if (portfolio_feed)
        increment(self, n.portfolio_feed_counter);

    // A failed flush still lets this call count and queue its records; the
    // error is raised once they are safe in the queue.
    std::exception_ptr flush_error;
    if (ask_should_flush(self, portfolio_feed) && may_flush(self)) {
        try {
            call_method(self, n.flush);
        } catch (nb::python_error &) {
            flush_error = std::current_exception();
        }
    }

    increment(self, n.cnt);

    nb::object queues = get_attr(self, n.feeds_queue);
    nb::object queue;
    if (PyDict_CheckExact(queues.ptr())) { // one look-up where `in` and [] make two
        PyObject *item = PyDict_GetItemWithError(queues.ptr(), key.ptr());
        if (!item && PyErr_Occurred())
            throw nb::python_error();
        queue = nb::borrow(item);
    } else {
        int present = PySequence_Contains(queues.ptr(), key.ptr());
        if (present < 0)
            throw nb::python_error();
        if (present)
            queue = queues[key];
    }
    if (queue.is_valid()) {
        put(queue);
    } else {
        nb::object message = nb::str("{} not exist in queue").format(key);
        call_method(g.user_system_log(), n.error, message);
    }

    if (flush_error)
        std::rethrow_exception(flush_error);
}

void feed_writer_write(nb::handle self, nb::handle key, nb::handle arr) {
    write_records(self, key, [&](nb::handle queue) { extend_queue(queue, arr); });
}

// write(key, [record]), without the list: for the feeder's one-record writes.
void feed_writer_write_one(nb::handle self, nb::handle key, nb::handle record) {
    write_records(self, key, [&](nb::handle queue) {
        if (PyList_CheckExact(queue.ptr())) {
            if (PyList_Append(queue.ptr(), record.ptr()) < 0)
                throw nb::python_error();
        } else {
            extend_queue(queue, list_of(record));
        }
    });
}

} // namespace

NB_MODULE(pellard, m) {
    n.intern_all();
    g.bind_all(m);
    one = nb::int_(1).release();
    // Seconds a whole post (connect, send, reply) may take before it fails.
    g.FEED_POST_TIMEOUT.set(nb::int_(kFeedPostTimeoutSeconds));
    init_feed_post(m);

    nb::list keys;
    for (const char *kind : kFeedKinds)
        keys.append(nb::str(kind));

    nb::object cls =
        ClassBuilder(m, "FeedWriter")
            .attr("keys", keys)
            .attr("threshold", nb::int_(kThreshold))
            .def("__init__", &feed_writer_init, {param("url")})
            .def("should_flush", [](nb::handle self, nb::handle portfolio_feed) {
                    return should_flush(self, truthy(portfolio_feed));
                }, {param("portfolio_feed")})
            .def("write", &feed_writer_write, {param("key"), param("arr")})
            .def("flush", &flush)
            .finish(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)));
    native_should_flush = ClassBuilder::own_method(cls, "should_flush");
    // For the feeder, whose every record goes through FeedWriter.write.
    publish_entry(m, "write",
                  &native_entry<feed_writer_write, PyObject *, PyObject *, PyObject *>);
    publish_entry(m, "write_one",
                  &native_entry<feed_writer_write_one, PyObject *, PyObject *, PyObject *>);
}
