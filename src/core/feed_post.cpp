#include "core/feed_post.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"

#include <chrono>
#include <cmath>
#include <limits>

namespace zelmo {
namespace {

double monotonic_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Client {
    // http.client, socket, io and requests objects the posts use.
    nb::object HTTPConnection, HTTPException, urlsplit, socket_timeout, BytesIO, BufferedReader;
    nb::object ConnectionError, ConnectTimeout, ReadTimeout, HTTPError, InvalidURL, Response,
        CaseInsensitiveDict;
    nb::object DeadlineSocket, raw_io_close;
    nb::object default_headers; // requests' own, as (name, value) pairs in its order
    nb::object POST, form_type;
    struct {
        nb::handle connect, sock, request, getresponse, status, reason, read, close, getheaders,
            settimeout, sendall, recv_into, scheme, hostname, port, path, query, timeout,
            status_code, url, headers, raw, response, _sock, _deadline;
    } n;
    // The parts of the last URL posted to, parsed once.
    nb::object last_url, host, port, target, host_header;
};
Client *client = nullptr; // made at module load and kept for good

// --- the socket seen by http.client: every operation within the deadline ----

double remaining(nb::handle self) {
    double deadline = PyFloat_AsDouble(get_attr(self, client->n._deadline).ptr());
    double left = deadline - monotonic_seconds();
    if (left <= 0) {
        PyErr_SetString(client->socket_timeout.ptr(), "timed out");
        throw nb::python_error();
    }
    return left;
}

nb::object deadline_socket_init(nb::handle self, nb::handle sock, nb::handle deadline) {
    set_attr(self, client->n._sock, sock);
    set_attr(self, client->n._deadline, deadline);
    return nb::none();
}

nb::object with_time_left(nb::handle self, nb::handle method, nb::handle arg) {
    nb::object sock = get_attr(self, client->n._sock);
    call_method(sock, client->n.settimeout, nb::float_(remaining(self)));
    return call_method(sock, method, arg);
}

nb::object deadline_socket_close(nb::handle self) {
    call_method(get_attr(self, client->n._sock), client->n.close);
    return call(client->raw_io_close, self);
}

void make_deadline_socket_class(nb::handle module) {
    nb::object raw_io_base = nb::module_::import_("io").attr("RawIOBase");
    client->raw_io_close = raw_io_base.attr("close");
    client->DeadlineSocket =
        ClassBuilder(module, "_DeadlineSocket")
            .def("__init__", &deadline_socket_init, {param("sock"), param("deadline")})
            .def("readable", [](nb::handle) { return true; })
            .def("readinto", [](nb::handle self, nb::handle b) {
                return with_time_left(self, client->n.recv_into, b);
            }, {param("b")})
            .def("sendall", [](nb::handle self, nb::handle data) {
                return with_time_left(self, client->n.sendall, data);
            }, {param("data")})
            // What http.client reads the reply from.
            .def("makefile", [](nb::handle self, nb::handle) {
                return call(client->BufferedReader, self);
            }, {param("mode", nb::str("r"))})
            .def("close", &deadline_socket_close)
            .finish(nb::make_tuple(raw_io_base), /*bind=*/false);
}

// --- failures, as requests reports them --------------------------------------

[[noreturn]] void raise_from(nb::handle type, nb::object exc, nb::python_error &cause) {
    PyException_SetCause(exc.ptr(), cause.value().inc_ref().ptr());
    PyErr_SetObject(type.ptr(), exc.ptr());
    throw nb::python_error();
}

// A connection-level failure becomes requests' exception for it; anything
// else (a bad header value, an interrupt) goes on unchanged.
[[noreturn]] void raise_transport_error(nb::python_error &e, bool connecting) {
    nb::handle type;
    if (e.matches(client->socket_timeout))
        type = connecting ? client->ConnectTimeout : client->ReadTimeout;
    else if (e.matches(PyExc_OSError) || e.matches(client->HTTPException))
        type = client->ConnectionError;
    else
        throw;
    raise_from(type, call(type, e.value()), e);
}

const char *status_class(long status) {
    if (status >= 500)
        return "Server Error";
    if (status >= 400)
        return "Client Error";
    if (status >= 300)
        return "Redirection";
    return "Informational";
}

[[noreturn]] void raise_status_error(nb::handle url, nb::handle reply, long status) {
    nb::object content = nb::bytes("");
    try {
        content = call_method(reply, client->n.read);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    nb::object reason = get_attr(reply, client->n.reason);
    nb::object response = call(client->Response);
    set_attr(response, client->n.status_code, get_attr(reply, client->n.status));
    set_attr(response, client->n.reason, reason);
    set_attr(response, client->n.url, url);
    set_attr(response, client->n.headers,
             call(client->CaseInsensitiveDict, call_method(reply, client->n.getheaders)));
    set_attr(response, client->n.raw, call(client->BytesIO, content));
    nb::object message = steal_or_throw(PyUnicode_FromFormat(
        "%ld %s: %S for url: %S", status, status_class(status), reason.ptr(), url.ptr()));
    nb::object kwnames = nb::make_tuple(client->n.response);
    PyObject *argv[] = {nullptr, message.ptr(), response.ptr()};
    nb::object exc = steal_or_throw(PyObject_Vectorcall(
        client->HTTPError.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
    PyErr_SetObject(client->HTTPError.ptr(), exc.ptr());
    throw nb::python_error();
}

// --- the URL -----------------------------------------------------------------

[[noreturn]] void invalid_url(nb::handle url, const char *why) {
    PyErr_Format(client->InvalidURL.ptr(), "Invalid feed service URL %R: %s", url.ptr(), why);
    throw nb::python_error();
}

void parse_url(nb::handle url) {
    if (client->last_url.is_valid() && client->last_url.is(url))
        return;
    if (!PyUnicode_Check(url.ptr()))
        invalid_url(url, "not a text");
    nb::object parts = call(client->urlsplit, url);
    nb::object scheme = get_attr(parts, client->n.scheme);
    nb::object host = get_attr(parts, client->n.hostname);
    if (!nb::str("http").equal(scheme) || host.is_none())
        invalid_url(url, "only plain http URLs with a host are posted to");
    nb::object port;
    try {
        port = get_attr(parts, client->n.port);
    } catch (nb::python_error &e) {
        invalid_url(url, "bad port");
    }
    if (port.is_none())
        port = nb::int_(80);
    // The Host header as requests writes it: the port only when not 80.
    nb::object host_text = PyUnicode_FindChar(host.ptr(), ':', 0, text_length(host.ptr()), 1) >= 0
                               ? nb::object(nb::str("[{}]").format(host))
                               : host;
    nb::object host_header = nb::int_(80).equal(port)
                                 ? host_text
                                 : nb::object(nb::str("{}:{}").format(host_text, port));
    nb::object path = get_attr(parts, client->n.path);
    nb::object query = get_attr(parts, client->n.query);
    nb::object target = nb::str("{}{}{}").format(
        truthy(path) ? path : nb::object(nb::str("/")), truthy(query) ? nb::str("?") : nb::str(""),
        query);
    client->host = host;
    client->port = port;
    client->target = target;
    client->host_header = host_header;
    client->last_url = nb::borrow(url);
}

nb::object request_headers(size_t body_size) {
    nb::dict headers;
    headers["Host"] = client->host_header;
    for (nb::handle pair : client->default_headers)
        PyDict_SetItem(headers.ptr(), tuple_item(pair.ptr(), 0), tuple_item(pair.ptr(), 1));
    if (body_size > 0)
        headers["Content-Type"] = client->form_type;
    headers["Content-Length"] = nb::str(std::to_string(body_size).c_str());
    return headers;
}

} // namespace

void init_feed_post(nb::handle module) {
    if (client)
        return;
    client = new Client();
    Client &c = *client;
    nb::module_ http_client = nb::module_::import_("http.client");
    nb::module_ exceptions = nb::module_::import_("requests.exceptions");
    c.HTTPConnection = http_client.attr("HTTPConnection");
    c.HTTPException = http_client.attr("HTTPException");
    c.urlsplit = nb::module_::import_("urllib.parse").attr("urlsplit");
    c.socket_timeout = nb::module_::import_("socket").attr("timeout");
    c.BytesIO = nb::module_::import_("io").attr("BytesIO");
    c.BufferedReader = nb::module_::import_("io").attr("BufferedReader");
    c.ConnectionError = exceptions.attr("ConnectionError");
    c.ConnectTimeout = exceptions.attr("ConnectTimeout");
    c.ReadTimeout = exceptions.attr("ReadTimeout");
    c.HTTPError = exceptions.attr("HTTPError");
    c.InvalidURL = exceptions.attr("InvalidURL");
    c.Response = nb::module_::import_("requests.models").attr("Response");
    c.CaseInsensitiveDict = nb::module_::import_("requests.structures").attr("CaseInsensitiveDict");
    nb::object defaults = nb::module_::import_("requests.utils").attr("default_headers")();
    c.default_headers = steal_or_throw(PySequence_List(defaults.attr("items")().ptr()));
    for (nb::handle pair : c.default_headers) // (str, str) tuples, checked once
        if (!PyTuple_Check(pair.ptr()) || tuple_size(pair.ptr()) != 2)
            throw nb::type_error("requests' default headers are not name/value pairs");
    c.POST = nb::str("POST");
    c.form_type = nb::str("application/x-www-form-urlencoded");
#define NAME(x) c.n.x = intern(#x)
    NAME(connect); NAME(sock); NAME(request); NAME(getresponse); NAME(status); NAME(reason);
    NAME(read); NAME(close); NAME(getheaders); NAME(settimeout); NAME(sendall); NAME(recv_into);
    NAME(scheme); NAME(hostname); NAME(port); NAME(path); NAME(query); NAME(timeout);
    NAME(status_code); NAME(url); NAME(headers); NAME(raw); NAME(response); NAME(_sock);
    NAME(_deadline);
#undef NAME
    make_deadline_socket_class(module);
}

void post_feed_form(nb::handle url, const std::string &body, nb::handle timeout) {
    parse_url(url);
    double deadline = std::numeric_limits<double>::infinity();
    if (!timeout.is_none()) {
        double seconds = PyFloat_AsDouble(timeout.ptr());
        if (seconds == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        deadline = monotonic_seconds() + seconds;
    }
    nb::handle n_timeout = client->n.timeout;
    PyObject *argv[] = {nullptr, client->host.ptr(), client->port.ptr(), timeout.ptr()};
    nb::object kwnames = nb::steal(PyTuple_Pack(1, n_timeout.ptr()));
    nb::object conn = steal_or_throw(PyObject_Vectorcall(
        client->HTTPConnection.ptr(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));

    // The connection is closed on every way out.
    struct Closer {
        nb::handle conn;
        ~Closer() {
            preserving_error([&] { call_method(conn, client->n.close); });
        }
    } closer{conn};

    try {
        call_method(conn, client->n.connect);
    } catch (nb::python_error &e) {
        raise_transport_error(e, /*connecting=*/true);
    }
    if (std::isfinite(deadline))
        set_attr(conn, client->n.sock,
                 call(client->DeadlineSocket, get_attr(conn, client->n.sock), nb::float_(deadline)));

    nb::object reply;
    long status = 0;
    try {
        nb::object data = body.empty() ? nb::none()
                                       : nb::object(nb::bytes(body.data(), body.size()));
        call_method(conn, client->n.request, client->POST, client->target, data,
                    request_headers(body.size()));
        reply = call_method(conn, client->n.getresponse);
        status = PyLong_AsLong(get_attr(reply, client->n.status).ptr());
        if (status == -1 && PyErr_Occurred())
            throw nb::python_error();
    } catch (nb::python_error &e) {
        raise_transport_error(e, /*connecting=*/false);
    }
    if (status < 200 || status > 299)
        raise_status_error(url, reply, status);
}

} // namespace zelmo
