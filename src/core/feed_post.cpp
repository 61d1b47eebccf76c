#include "core/feed_post.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"

#include <cerrno>
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
    nb::object DeadlineSocket, DeadlineReader, raw_io_close, rb;
    nb::object PreparedRequest, HTTPBasicAuth, get_auth_from_url, get_encoding_from_headers;
    nb::object authorization_name;
    // urllib3 2 reads the reply also after a reset while sending; 1.26 does not.
    bool read_reply_after_reset = true;
    nb::object default_headers; // requests' own, as (name, value) pairs in its order
    nb::object POST, form_type;
    struct {
        nb::handle connect, sock, request, getresponse, status, reason, read, close, getheaders,
            settimeout, sendall, readinto, makefile, scheme, hostname, port, timeout,
            status_code, url, headers, raw, response, _sock, _raw, _deadline, lower, encoding,
            prepare_url, prepare_headers, path_url, any, errno_;
    } n;
    // The last URL posted to, prepared once: where to connect, the request
    // target, the Host header, Basic authorization (or null) and the URL as
    // requests prepares it.
    nb::object last_url, host, port, target, host_header, authorization, prepared_url;
};
Client *client = nullptr; // made at module load and kept for good

// --- the socket seen by http.client: every operation within the deadline ----
//
// http.client sends through the connection's socket and reads the reply
// through the file that socket's makefile() returns.  Both go through
// wrappers that give each operation only the time left before one deadline.
// The reply's reader is a file of the real socket (socket.makefile), so like
// any socket file it keeps the connection open until the reader itself is
// closed: http.client closes the connection as soon as it sees a reply that
// ends the connection, and reads that reply afterwards.

double remaining(nb::handle self) {
    double deadline = PyFloat_AsDouble(get_attr(self, client->n._deadline).ptr());
    double left = deadline - monotonic_seconds();
    if (left <= 0) {
        PyErr_SetString(client->socket_timeout.ptr(), "timed out");
        throw nb::python_error();
    }
    return left;
}

// Runs sock.method(arg) on the real socket with what is left of the deadline.
nb::object with_time_left(nb::handle self, nb::handle target, nb::handle method, nb::handle arg) {
    call_method(get_attr(self, client->n._sock), client->n.settimeout, nb::float_(remaining(self)));
    return call_method(target, method, arg);
}

nb::object deadline_reader_init(nb::handle self, nb::handle raw, nb::handle sock,
                                nb::handle deadline) {
    set_attr(self, client->n._raw, raw);
    set_attr(self, client->n._sock, sock);
    set_attr(self, client->n._deadline, deadline);
    return nb::none();
}

nb::object deadline_reader_close(nb::handle self) {
    // The socket file's close releases the socket (and closes it, once the
    // connection let go of it too).
    nb::object raw = get_attr_optional(self, client->n._raw);
    if (raw.is_valid())
        call_method(raw, client->n.close);
    return call(client->raw_io_close, self);
}

nb::object deadline_socket_init(nb::handle self, nb::handle sock, nb::handle deadline) {
    set_attr(self, client->n._sock, sock);
    set_attr(self, client->n._deadline, deadline);
    return nb::none();
}

nb::object deadline_socket_makefile(nb::handle self, nb::handle) {
    nb::object sock = get_attr(self, client->n._sock);
    nb::object raw = get_attr(sock, client->n.makefile)(client->rb, nb::arg("buffering") = 0);
    return call(client->BufferedReader,
                call(client->DeadlineReader, raw, sock, get_attr(self, client->n._deadline)));
}

void make_deadline_socket_classes(nb::handle module) {
    nb::object raw_io_base = nb::module_::import_("io").attr("RawIOBase");
    client->raw_io_close = raw_io_base.attr("close");
    client->DeadlineReader =
        ClassBuilder(module, "_DeadlineReader")
            .def("__init__", &deadline_reader_init,
                 {param("raw"), param("sock"), param("deadline")})
            .def("readable", [](nb::handle) { return true; })
            .def("readinto", [](nb::handle self, nb::handle b) {
                return with_time_left(self, get_attr(self, client->n._raw), client->n.readinto, b);
            }, {param("b")})
            .def("close", &deadline_reader_close)
            .finish(nb::make_tuple(raw_io_base), /*bind=*/false);
    client->DeadlineSocket =
        ClassBuilder(module, "_DeadlineSocket")
            .def("__init__", &deadline_socket_init, {param("sock"), param("deadline")})
            .def("sendall", [](nb::handle self, nb::handle data) {
                return with_time_left(self, get_attr(self, client->n._sock), client->n.sendall, data);
            }, {param("data")})
            .def("makefile", &deadline_socket_makefile, {param("mode", nb::str("r"))})
            .def("close", [](nb::handle self) {
                return call_method(get_attr(self, client->n._sock), client->n.close);
            })
            .finish(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)), /*bind=*/false);
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

// Whether a failure while sending the request still leaves its reply to be
// read, as requests (through urllib3) decides: a service may answer early,
// say 413 to a large upload, and close without reading the rest.
bool reply_may_follow_failed_send(nb::python_error &e) {
    if (e.matches(PyExc_BrokenPipeError))
        return true;
    if (!e.matches(PyExc_OSError))
        return false;
    nb::object code = get_attr(e.value(), client->n.errno_);
    if (code.is_none())
        return false;
    long errno_value = PyLong_AsLong(code.ptr());
    if (errno_value == -1 && PyErr_Occurred())
        throw nb::python_error();
    return errno_value == EPROTOTYPE || errno_value == ESHUTDOWN ||
           (client->read_reply_after_reset && errno_value == ECONNRESET);
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

// The reply's headers as requests gives them: a header sent more than once
// is one entry, its values joined by ", ", under the name as first sent.
nb::object reply_headers(nb::handle reply) {
    nb::dict by_lower_name; // lower-case name -> [name, value]
    nb::list order;
    for (nb::handle pair : call_method(reply, client->n.getheaders)) {
        nb::object name = nb::borrow(tuple_item(pair.ptr(), 0));
        nb::object value = nb::borrow(tuple_item(pair.ptr(), 1));
        nb::object key = call_method(name, client->n.lower);
        PyObject *seen = PyDict_GetItemWithError(by_lower_name.ptr(), key.ptr());
        if (seen) {
            nb::object joined = nb::str("{}, {}").format(nb::handle(list_item(seen, 1)), value);
            PyList_SetItem(seen, 1, joined.release().ptr());
            continue;
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        nb::list entry;
        entry.append(name);
        entry.append(value);
        by_lower_name[key] = entry;
        order.append(entry);
    }
    nb::list pairs;
    for (nb::handle entry : order)
        pairs.append(nb::make_tuple(nb::handle(list_item(entry.ptr(), 0)),
                                    nb::handle(list_item(entry.ptr(), 1))));
    return call(client->CaseInsensitiveDict, pairs);
}

// A non-2xx reply: requests' HTTPError, with the reply as a requests.Response
// (status, reason, headers, body, URL and text encoding as requests sets them).
[[noreturn]] void raise_status_error(nb::handle reply, long status) {
    nb::object content = nb::bytes("");
    try {
        content = call_method(reply, client->n.read);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    nb::object url = client->prepared_url;
    nb::object reason = get_attr(reply, client->n.reason);
    nb::object headers = reply_headers(reply);
    nb::object response = call(client->Response);
    set_attr(response, client->n.status_code, get_attr(reply, client->n.status));
    set_attr(response, client->n.reason, reason);
    set_attr(response, client->n.url, url);
    set_attr(response, client->n.headers, headers);
    set_attr(response, client->n.encoding, call(client->get_encoding_from_headers, headers));
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

// Prepares `url` as requests does (percent-encoding what must be, taking
// credentials out into Basic authorization), once per distinct URL.
void prepare_url(nb::handle url) {
    if (client->last_url.is_valid() && (client->last_url.is(url) || client->last_url.equal(url)))
        return;
    if (!PyUnicode_Check(url.ptr()))
        invalid_url(url, "not a text");
    nb::object prepared = call(client->PreparedRequest);
    try {
        call_method(prepared, client->n.prepare_url, url, nb::none());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        nb::object why = str_of(e.value());
        PyErr_Format(client->InvalidURL.ptr(), "Invalid feed service URL %R: %S", url.ptr(),
                     why.ptr());
        throw nb::python_error();
    }
    nb::object prepared_url = get_attr(prepared, client->n.url);
    nb::object parts = call(client->urlsplit, prepared_url);
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
    // The Host header as requests writes it: the port only when not 80, no
    // credentials.
    nb::object host_text = PyUnicode_FindChar(host.ptr(), ':', 0, text_length(host.ptr()), 1) >= 0
                               ? nb::object(nb::str("[{}]").format(host))
                               : host;
    nb::object host_header = nb::int_(80).equal(port)
                                 ? host_text
                                 : nb::object(nb::str("{}:{}").format(host_text, port));
    // Credentials in the URL become Basic authorization, as requests sends them.
    nb::object authorization;
    nb::object credentials = call(client->get_auth_from_url, prepared_url);
    if (truthy(call(builtin(client->n.any), credentials))) {
        call_method(prepared, client->n.prepare_headers, nb::none());
        call(call(client->HTTPBasicAuth, credentials[0], credentials[1]), prepared);
        authorization = get_attr(prepared, client->n.headers)[client->authorization_name];
    }
    client->host = host;
    client->port = port;
    client->target = get_attr(prepared, client->n.path_url);
    client->host_header = host_header;
    client->authorization = authorization;
    client->prepared_url = prepared_url;
    client->last_url = nb::borrow(url);
}

nb::object request_headers(size_t body_size) {
    nb::dict headers;
    headers["Host"] = client->host_header;
    for (nb::handle pair : client->default_headers)
        PyDict_SetItem(headers.ptr(), tuple_item(pair.ptr(), 0), tuple_item(pair.ptr(), 1));
    // requests sets the length first, then the form's type (none without a body).
    headers["Content-Length"] = nb::str(std::to_string(body_size).c_str());
    if (body_size > 0)
        headers["Content-Type"] = client->form_type;
    if (client->authorization.is_valid())
        headers[client->authorization_name] = client->authorization;
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
    c.PreparedRequest = nb::module_::import_("requests.models").attr("PreparedRequest");
    c.HTTPBasicAuth = nb::module_::import_("requests.auth").attr("HTTPBasicAuth");
    c.get_auth_from_url = nb::module_::import_("requests.utils").attr("get_auth_from_url");
    c.get_encoding_from_headers =
        nb::module_::import_("requests.utils").attr("get_encoding_from_headers");
    c.authorization_name = nb::str("Authorization");
    nb::object urllib3_version = nb::module_::import_("urllib3").attr("__version__");
    c.read_reply_after_reset = !truthy(call_method(urllib3_version, intern("startswith"), nb::str("1.")));
    c.CaseInsensitiveDict = nb::module_::import_("requests.structures").attr("CaseInsensitiveDict");
    nb::object defaults = nb::module_::import_("requests.utils").attr("default_headers")();
    c.default_headers = steal_or_throw(PySequence_List(defaults.attr("items")().ptr()));
    for (nb::handle pair : c.default_headers) // (str, str) tuples, checked once
        if (!PyTuple_Check(pair.ptr()) || tuple_size(pair.ptr()) != 2)
            throw nb::type_error("requests' default headers are not name/value pairs");
    c.POST = nb::str("POST");
    c.form_type = nb::str("application/x-www-form-urlencoded");
    c.rb = nb::str("rb");
#define NAME(x) c.n.x = intern(#x)
    NAME(connect); NAME(sock); NAME(request); NAME(getresponse); NAME(status); NAME(reason);
    NAME(read); NAME(close); NAME(getheaders); NAME(settimeout); NAME(sendall); NAME(readinto);
    NAME(makefile);
    NAME(scheme); NAME(hostname); NAME(port); NAME(timeout);
    NAME(status_code); NAME(url); NAME(headers); NAME(raw); NAME(response); NAME(_sock);
    NAME(_raw); NAME(_deadline); NAME(lower); NAME(encoding); NAME(prepare_url);
    NAME(prepare_headers); NAME(path_url); NAME(any);
    c.n.errno_ = intern("errno");
#undef NAME
    make_deadline_socket_classes(module);
}

void post_feed_form(nb::handle url, nb::handle body, nb::handle timeout) {
    const Py_ssize_t body_size = PyBytes_Size(body.ptr());
    if (body_size < 0)
        throw nb::python_error();
    prepare_url(url);
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
        nb::handle data = body_size == 0 ? nb::none() : body;
        try {
            call_method(conn, client->n.request, client->POST, client->target, data,
                        request_headers(static_cast<size_t>(body_size)));
        } catch (nb::python_error &e) {
            if (!reply_may_follow_failed_send(e))
                throw;
        }
        reply = call_method(conn, client->n.getresponse);
        status = PyLong_AsLong(get_attr(reply, client->n.status).ptr());
        if (status == -1 && PyErr_Occurred())
            throw nb::python_error();
    } catch (nb::python_error &e) {
        raise_transport_error(e, /*connecting=*/false);
    }
    if (status < 200 || status > 299)
        raise_status_error(reply, status);
}

} // namespace zelmo
