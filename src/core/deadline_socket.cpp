// The deadline's socket and the reply's reader (contract in deadline_socket.hpp).
#include "core/deadline_socket.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"

#include <chrono>
#include <cmath>

namespace zelmo {
namespace {

#define NAMES(X)                                                                          \
    X(_sock) X(_raw) X(_deadline) X(settimeout) X(sendall) X(readinto) X(makefile) X(close) X(recv)
ZELMO_NAMES(NAMES) n;

#define TEXTS(X) X(rb, "rb")
ZELMO_TEXTS(TEXTS) t;

#define IMPORTS(IMPORT, IMPORT_AS, FROM, FROM_AS)                                         \
    FROM_AS("socket", "timeout", socket_timeout) FROM("io", BufferedReader) FROM("io", RawIOBase) \
    FROM("socket", MSG_PEEK)
ZELMO_IMPORTS(IMPORTS) i;

nb::handle raw_io_close;   // io.RawIOBase.close
nb::handle DeadlineReader; // the classes made here
nb::handle DeadlineSocket;

// Seconds left before `deadline`; socket.timeout once it has passed.
double time_left(double deadline) {
    double left = deadline - monotonic_seconds();
    if (left <= 0) {
        PyErr_SetString(i.socket_timeout.ptr(), "timed out");
        throw nb::python_error();
    }
    return left;
}

double remaining(nb::handle self) {
    double deadline = PyFloat_AsDouble(get_attr(self, n._deadline).ptr());
    if (deadline == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return time_left(deadline);
}

// target.method(arg), with the real socket's timeout set to what is left of
// the deadline.
nb::object with_time_left(nb::handle self, nb::handle target, nb::handle method, nb::handle arg) {
    call_method(get_attr(self, n._sock), n.settimeout, nb::float_(remaining(self)));
    return call_method(target, method, arg);
}

// --- the reply's reader: a raw file over the socket's own file ---------------

nb::object reader_init(nb::handle self, nb::handle raw, nb::handle sock, nb::handle deadline) {
    set_attr(self, n._raw, raw);
    set_attr(self, n._sock, sock);
    set_attr(self, n._deadline, deadline);
    return nb::none();
}

nb::object reader_readinto(nb::handle self, nb::handle b) {
    return with_time_left(self, get_attr(self, n._raw), n.readinto, b);
}

nb::object reader_close(nb::handle self) {
    // The socket file's close releases the socket (and closes it, once the
    // connection let go of it too).
    nb::object raw = get_attr_optional(self, n._raw);
    if (raw.is_valid())
        call_method(raw, n.close);
    return call(raw_io_close, self);
}

// --- the socket ----------------------------------------------------------------

nb::object socket_init(nb::handle self, nb::handle sock, nb::handle deadline) {
    set_attr(self, n._sock, sock);
    set_attr(self, n._deadline, deadline);
    return nb::none();
}

nb::object socket_sendall(nb::handle self, nb::handle data) {
    return with_time_left(self, get_attr(self, n._sock), n.sendall, data);
}

nb::object socket_makefile(nb::handle self, nb::handle) {
    nb::object sock = get_attr(self, n._sock);
    nb::object raw = get_attr(sock, n.makefile)(t.rb, nb::arg("buffering") = 0);
    return call(i.BufferedReader, call(DeadlineReader, raw, sock, get_attr(self, n._deadline)));
}

nb::object socket_close(nb::handle self) { return call_method(get_attr(self, n._sock), n.close); }

} // namespace

double monotonic_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void init_deadline_socket(nb::handle module) {
    n.intern_all();
    t.intern_all();
    i.import_all();
    raw_io_close = nb::object(i.RawIOBase.attr("close")).release();
    DeadlineReader = ClassBuilder(module, "_DeadlineReader")
                         .def("__init__", &reader_init, {param("raw"), param("sock"), param("deadline")})
                         .def("readable", [](nb::handle) { return true; })
                         .def("readinto", &reader_readinto, {param("b")})
                         .def("close", &reader_close)
                         .finish(nb::make_tuple(i.RawIOBase), /*bind=*/false)
                         .release();
    DeadlineSocket = ClassBuilder(module, "_DeadlineSocket")
                         .def("__init__", &socket_init, {param("sock"), param("deadline")})
                         .def("sendall", &socket_sendall, {param("data")})
                         .def("makefile", &socket_makefile, {param("mode", nb::str("r"))})
                         .def("close", &socket_close)
                         .finish(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                                 /*bind=*/false)
                         .release();
}

nb::object peek(nb::handle sock, double deadline, Py_ssize_t size) {
    if (std::isfinite(deadline))
        call_method(sock, n.settimeout, nb::float_(time_left(deadline)));
    return call_method(sock, n.recv, nb::int_(size), i.MSG_PEEK);
}

nb::object deadline_socket(nb::handle sock, double deadline) {
    return call(DeadlineSocket, sock, nb::float_(deadline));
}

} // namespace zelmo
