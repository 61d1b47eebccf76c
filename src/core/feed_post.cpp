// The post, read in its order: the URL prepared as requests prepares it, the
// request's headers, then the outcome (requests' exceptions for a failure);
// post_feed_form at the bottom connects, sends and reads the reply.  What a
// caller relies on is in feed_post.hpp; the deadline's socket wrapper is in
// deadline_socket.hpp.
#include "core/feed_post.hpp"
#include "core/deadline_socket.hpp"
#include "core/py.hpp"
#include "core/python_class.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zelmo {
namespace {

#define NAMES(X)                                                                          \
    X(connect) X(sock) X(request) X(status) X(reason) X(read) X(close) X(getheaders)     \
    X(scheme) X(hostname) X(port) X(timeout) X(status_code) X(url) X(headers)              \
    X(raw) X(response) X(lower) X(encoding) X(prepare_url) X(prepare_headers) X(path_url)  \
    X(any) X(startswith) X(items) X(_create_connection) X(settimeout) X(bind) X(fp)      \
    X(begin) X(makefile) X(method) X(get_connection_with_tls_context) X(get_connection)      \
    X(ConnectionCls) X(host) X(getaddrinfo) X(socket) X(recv) X(putrequest) X(putheader)  \
    X(_buffer) X(send) X(will_close)
ZELMO_NAMES(NAMES) n;

#define TEXTS(X)                                                                          \
    X(errno_, "errno") X(Authorization, "Authorization") X(POST, "POST")                  \
    X(form_type, "application/x-www-form-urlencoded")
ZELMO_TEXTS(TEXTS) t;

#define IMPORTS(IMPORT, IMPORT_AS, FROM, FROM_AS)                                         \
    FROM("http.client", HTTPConnection) FROM("http.client", HTTPException)                 \
    FROM("urllib.parse", urlsplit) FROM_AS("socket", "timeout", socket_timeout)            \
    FROM("io", BytesIO) FROM("requests.exceptions", ConnectionError)                       \
    FROM("requests.exceptions", ConnectTimeout) FROM("requests.exceptions", ReadTimeout)    \
    FROM("requests.exceptions", HTTPError) FROM("requests.exceptions", InvalidURL)          \
    FROM("requests.models", Response) FROM("requests.models", PreparedRequest)             \
    FROM("requests.auth", HTTPBasicAuth) FROM("requests.utils", get_auth_from_url)         \
    FROM("requests.utils", get_encoding_from_headers) FROM("requests.utils", default_headers) \
    FROM("requests.structures", CaseInsensitiveDict)                                      \
    FROM_AS("urllib3", "__version__", urllib3_version)                                   \
    FROM_AS("errno", "EPROTOTYPE", errno_prototype) FROM_AS("errno", "ESHUTDOWN", errno_shutdown) \
    FROM_AS("errno", "ECONNRESET", errno_connection_reset)                                 \
    IMPORT(socket) FROM("socket", SOCK_STREAM) FROM("urllib3.util.connection", allowed_gai_family) \
    FROM_AS("socket", "_GLOBAL_DEFAULT_TIMEOUT", default_timeout)                         \
    FROM("http.client", HTTPResponse) FROM("types", SimpleNamespace)                       \
    FROM("requests.adapters", HTTPAdapter) FROM("urllib3.exceptions", LocationValueError)
ZELMO_IMPORTS(IMPORTS) i;

bool initialized = false;
// The error numbers of the running platform as OSError.errno reports them
// (on Windows the socket layer's own numbers, not the C library's).
long protocol_error = 0, shutdown_error = 0, reset_error = 0;
// urllib3 2 reads the reply also after a reset while sending; 1.26 does not.
bool read_reply_after_reset = true;
nb::handle request_default_headers; // requests' own, as (name, value) pairs in its order

// The last URL posted to, prepared once: the host as the Host header names it
// (http.client writes the header from it), the port, how to connect, the
// request target, Basic authorization (or null) and the URL as requests
// prepares it.  Kept for good, like everything made at load.
// The request's head as conn.request() sends it, cut around the
// Content-Length value (head_around_length).
struct HeadAroundLength {
    std::string before, after;
    bool usable = false;
};

struct PreparedUrl {
    nb::object url, host, port, connect, target, authorization, prepared_url;
    // The request's heads, made at the first post with a body and without.
    std::optional<HeadAroundLength> head_with_body, head_without_body;
};
PreparedUrl *last_url = nullptr;

// --- the connection ------------------------------------------------------------

// The connect of urllib3's connection, under requests: the name resolved
// through socket.getaddrinfo as it stands at the time (a resolver a caller
// put there is used), for the address families urllib3 allows; each address
// tried in turn and the last address's error raised.  The socket it opens
// is closed on every way out: the standard library's closes it only on
// OSError, so an interrupt during the connect left it to the collector.
nb::object connect_closing_on_any_error(nb::handle address, nb::handle timeout,
                                        nb::handle source_address) {
    nb::object infos = call(get_attr(i.socket, n.getaddrinfo), address[0], address[1],
                            call(i.allowed_gai_family), i.SOCK_STREAM);
    nb::object socket_type = get_attr(i.socket, n.socket);
    std::optional<nb::python_error> last_error;
    for (nb::handle info : infos) {
        nb::object sock;
        try {
            sock = call(socket_type, info[0], info[1], info[2]);
            if (!timeout.is(i.default_timeout))
                call_method(sock, n.settimeout, timeout);
            if (truthy(source_address))
                call_method(sock, n.bind, source_address);
            call_method(sock, n.connect, info[4]);
            return sock;
        } catch (nb::python_error &e) {
            if (sock.is_valid()) // the connect's own error is the one to report
                preserving_error([&] { call_method(sock, n.close); });
            if (!e.matches(PyExc_OSError))
                throw;
            last_error.emplace(std::move(e));
        }
    }
    if (last_error)
        throw std::move(*last_error);
    PyErr_SetString(PyExc_OSError, "getaddrinfo returns an empty list");
    throw nb::python_error();
}

// --- the reply -------------------------------------------------------------------

long status_of(nb::handle reply) {
    const long status = PyLong_AsLong(get_attr(reply, n.status).ptr());
    if (status == -1 && PyErr_Occurred())
        throw nb::python_error();
    return status;
}

// The reply after the interim one `reply` on the same connection: read from
// the same buffered stream, which may already hold its first bytes.
nb::object next_reply(nb::handle reply) {
    nb::object stream = get_attr(reply, n.fp);
    nb::object same_stream = nb::cpp_function([stream](nb::handle) { return stream; });
    nb::dict source_fields;
    source_fields[n.makefile] = same_stream;
    nb::object source = steal_or_throw(
        PyObject_Call(i.SimpleNamespace.ptr(), nb::tuple().ptr(), source_fields.ptr()));
    nb::dict options;
    options[n.method] = t.POST;
    nb::object next = steal_or_throw(
        PyObject_Call(i.HTTPResponse.ptr(), nb::make_tuple(source).ptr(), options.ptr()));
    call_method(next, n.begin);
    return next;
}

// The first reply on `conn`, read as conn.getresponse() reads it (which
// would refuse a request sent through conn.send alone): a connection the
// reply ends is closed, and a reply that cannot be read is closed.
nb::object first_reply(nb::handle conn) {
    nb::dict options;
    options[n.method] = t.POST;
    nb::object reply = steal_or_throw(PyObject_Call(
        i.HTTPResponse.ptr(), nb::make_tuple(get_attr(conn, n.sock)).ptr(), options.ptr()));
    try {
        call_method(reply, n.begin);
    } catch (nb::python_error &) {
        preserving_error([&] { call_method(reply, n.close); });
        throw;
    }
    if (truthy(get_attr(reply, n.will_close)))
        call_method(conn, n.close);
    return reply;
}

// The final reply: interim ones (1xx; http.client itself skips only 100
// Continue) are read past, as HTTP asks of a client, so that the final
// status decides delivery.  101, which switches protocols, is final.
nb::object final_reply(nb::handle conn, long &status) {
    nb::object reply = first_reply(conn);
    status = status_of(reply);
    while (status >= 100 && status < 200 && status != 101) {
        nb::object next = next_reply(reply);
        // The stream passes to the next reply: closing an interim one (the
        // connection closes its own) must not close it under the final one.
        set_attr(reply, n.fp, nb::none());
        reply = std::move(next);
        status = status_of(reply);
    }
    return reply;
}

// Whether `head`, the first bytes of the reply, holds all of a reply head
// that http.client reads as a final 2xx reply without complaint: a status
// line "HTTP/1.0 2xx" or "HTTP/1.1 2xx" (then a blank, or the line's end),
// then header lines up to the blank line that ends them.  Every other head
// (an error status, an interim reply, a head not all there yet, an odd
// one) is left to http.client.  The bounds are far inside http.client's
// own (65,536 bytes a line, 100 lines), so that a head it would refuse as
// too long never passes here.
bool plain_success_head(std::string_view head) {
    constexpr size_t kMaxLine = 8192, kMaxHeaderLines = 64;
    if (head.size() < 13 || head.substr(0, 7) != "HTTP/1." || (head[7] != '0' && head[7] != '1') ||
        head[8] != ' ' || head[9] != '2' || head[10] < '0' || head[10] > '9' ||
        head[11] < '0' || head[11] > '9' || (head[12] != ' ' && head[12] != '\r' && head[12] != '\n'))
        return false;
    size_t start = 0;
    for (size_t lines = 0; lines <= kMaxHeaderLines + 1; ++lines) { // the status line first
        const size_t end = head.find('\n', start);
        if (end == std::string_view::npos || end + 1 - start > kMaxLine)
            return false;
        const size_t length = end + 1 - start;
        if (lines > 0 && (length == 1 || (length == 2 && head[start] == '\r')))
            return true;
        start = end + 1;
    }
    return false;
}

// How much of the reply is looked at before it is read.
constexpr Py_ssize_t kReplyPeekSize = 16384;

// --- the URL -----------------------------------------------------------------

[[noreturn]] void invalid_url(nb::handle url, const char *why) {
    PyErr_Format(i.InvalidURL.ptr(), "Invalid feed service URL %R: %s", url.ptr(), why);
    throw nb::python_error();
}

// The same, for a URL that requests or urllib3 refused with `error`.
[[noreturn]] void invalid_url(nb::handle url, nb::python_error &error) {
    nb::object why = str_of(error.value());
    PyErr_Format(i.InvalidURL.ptr(), "Invalid feed service URL %R: %S", url.ptr(), why.ptr());
    throw nb::python_error();
}

// Prepares `url` as requests does (percent-encoding what must be, taking
// credentials out into Basic authorization), once per distinct URL.
void prepare_url(nb::handle url) {
    if (last_url->url.is_valid() && (last_url->url.is(url) || last_url->url.equal(url)))
        return;
    if (!PyUnicode_Check(url.ptr()))
        invalid_url(url, "not a text");
    nb::object prepared = call(i.PreparedRequest);
    try {
        call_method(prepared, n.prepare_url, url, nb::none());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        invalid_url(url, e);
    }
    nb::object prepared_url = get_attr(prepared, n.url);
    nb::object parts = call(i.urlsplit, prepared_url);
    if (!nb::str("http").equal(get_attr(parts, n.scheme)) || get_attr(parts, n.hostname).is_none())
        invalid_url(url, "only plain http URLs with a host are posted to");
    nb::object port;
    try {
        port = get_attr(parts, n.port);
    } catch (nb::python_error &e) {
        invalid_url(url, "bad port");
    }
    if (port.is_none())
        port = nb::int_(80);
    // The host as requests hands it to urllib3, which normalises it (or
    // refuses it: an IPv6 literal with a numeric zone, "::1%1") as it makes
    // the connection pool: ask requests for that pool, so that the same URLs
    // fail before anything is sent and the same name is resolved.
    nb::object pool;
    nb::object adapter = call(i.HTTPAdapter);
    try {
        nb::object pool_for_request = get_attr_optional(adapter, n.get_connection_with_tls_context);
        pool = pool_for_request.is_valid()
                   ? call(pool_for_request, prepared, nb::handle(Py_True))
                   : call_method(adapter, n.get_connection, prepared_url); // before 2.32
    } catch (nb::python_error &e) {
        if (!e.matches(i.LocationValueError))
            throw;
        invalid_url(url, e);
    }
    call_method(adapter, n.close);
    nb::object resolved_host = get_attr(pool, n.host);
    // urllib3's connection resolves that name but writes the Host header
    // from it without a trailing dot; http.client then brackets an IPv6
    // literal and, on newer interpreters, drops its zone.  The header comes
    // from the same code here: the connection is made for the header's
    // name, and its connect resolves urllib3's.
    nb::dict connection_fields;
    connection_fields[n.host] = resolved_host;
    connection_fields[n.port] = port;
    nb::object header_host = get_attr(
        steal_or_throw(PyObject_Call(get_attr(pool, n.ConnectionCls).ptr(), nb::tuple().ptr(),
                                     connection_fields.ptr())),
        n.host);
    nb::object connect = nb::cpp_function(
        [resolved_host](nb::handle address, nb::handle timeout, nb::handle source_address) {
            return connect_closing_on_any_error(nb::make_tuple(resolved_host, address[1]),
                                                timeout, source_address);
        },
        nb::arg("address"), nb::arg("timeout").none(), nb::arg("source_address").none());
    // Credentials in the URL become Basic authorization, as requests sends them.
    nb::object authorization;
    nb::object credentials = call(i.get_auth_from_url, prepared_url);
    if (truthy(call(builtin(n.any), credentials))) {
        call_method(prepared, n.prepare_headers, nb::none());
        call(call(i.HTTPBasicAuth, credentials[0], credentials[1]), prepared);
        authorization = get_attr(prepared, n.headers)[t.Authorization];
    }
    last_url->host = header_host;
    last_url->port = port;
    last_url->connect = connect;
    last_url->target = get_attr(prepared, n.path_url);
    last_url->authorization = authorization;
    last_url->prepared_url = prepared_url;
    last_url->head_with_body.reset();
    last_url->head_without_body.reset();
    last_url->url = nb::borrow(url);
}

// --- the request -------------------------------------------------------------

// The request's headers in the order requests sends them.
nb::object request_headers(size_t body_size) {
    nb::dict headers; // http.client writes the Host header first
    for (nb::handle pair : request_default_headers)
        PyDict_SetItem(headers.ptr(), tuple_item(pair.ptr(), 0), tuple_item(pair.ptr(), 1));
    // requests sets the length first, then the form's type (none without a body).
    headers["Content-Length"] = nb::str(std::to_string(body_size).c_str());
    if (body_size > 0)
        headers["Content-Type"] = t.form_type;
    if (last_url->authorization.is_valid())
        headers[t.Authorization] = last_url->authorization;
    return headers;
}

// The request's head as conn.request() sends it for a body of some bytes or
// of none, cut around the Content-Length value: written by http.client's own
// putrequest and putheader (the Host header and every check of theirs
// included) into the buffer it sends from, and taken from there unsent.
// Not usable when this http.client keeps no such buffer or refuses the
// request: conn.request() then sends, or fails, as it does.
HeadAroundLength head_around_length(bool with_body) {
    HeadAroundLength head;
    const size_t sample_size = with_body ? 1 : 0;
    try {
        nb::object conn = call(i.HTTPConnection, last_url->host, last_url->port);
        nb::object headers = request_headers(sample_size);
        // As conn.request() asks: no header of its own where the caller
        // gives one.
        bool has_host = false, has_accept_encoding = false;
        for (nb::handle name : headers) {
            nb::object lower = call_method(name, n.lower);
            has_host |= nb::str("host").equal(lower);
            has_accept_encoding |= nb::str("accept-encoding").equal(lower);
        }
        nb::dict skips;
        if (has_host)
            skips["skip_host"] = nb::int_(1);
        if (has_accept_encoding)
            skips["skip_accept_encoding"] = nb::int_(1);
        steal_or_throw(PyObject_Call(get_attr(conn, n.putrequest).ptr(),
                                     nb::make_tuple(t.POST, last_url->target).ptr(), skips.ptr()));
        for (auto [name, value] : nb::borrow<nb::dict>(headers))
            call_method(conn, n.putheader, name, value);
        nb::object lines = get_attr_optional(conn, n._buffer);
        if (!lines.is_valid() || !PyList_Check(lines.ptr()))
            return head;
        // The head as _send_output joins it: its lines, then a blank one.
        std::string text;
        for (nb::handle line : lines) {
            char *bytes = nullptr;
            Py_ssize_t size = 0;
            if (!PyBytes_Check(line.ptr()) || PyBytes_AsStringAndSize(line.ptr(), &bytes, &size) < 0)
                return head;
            text.append(bytes, static_cast<size_t>(size)).append("\r\n");
        }
        text += "\r\n";
        // Header values hold no line breaks (putheader refuses them), so
        // the length's line is found whole.
        const std::string name = "\r\nContent-Length: ";
        const size_t at = text.find(name + std::to_string(sample_size) + "\r\n");
        if (at == std::string::npos)
            return head;
        head.before = text.substr(0, at + name.size());
        head.after = text.substr(at + name.size() + 1); // past the sample's one digit
        head.usable = true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    return head;
}

// --- the outcome: failures, as requests reports them ------------------------

[[noreturn]] void raise_from(nb::handle type, nb::object exc, nb::python_error &cause) {
    PyException_SetCause(exc.ptr(), cause.value().inc_ref().ptr());
    PyErr_SetObject(type.ptr(), exc.ptr());
    throw nb::python_error();
}

// A connection-level failure becomes requests' exception for it; anything
// else (a bad header value, an interrupt) goes on unchanged.
[[noreturn]] void raise_transport_error(nb::python_error &e, bool connecting) {
    nb::handle type;
    if (e.matches(i.socket_timeout))
        type = connecting ? i.ConnectTimeout : i.ReadTimeout;
    else if (e.matches(PyExc_OSError) || e.matches(i.HTTPException))
        type = i.ConnectionError;
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
    nb::object code = get_attr(e.value(), t.errno_);
    if (code.is_none())
        return false;
    long errno_value = PyLong_AsLong(code.ptr());
    if (errno_value == -1 && PyErr_Occurred())
        throw nb::python_error();
    return errno_value == protocol_error || errno_value == shutdown_error ||
           (read_reply_after_reset && errno_value == reset_error);
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
    for (nb::handle pair : call_method(reply, n.getheaders)) {
        nb::object name = nb::borrow(tuple_item(pair.ptr(), 0));
        nb::object value = nb::borrow(tuple_item(pair.ptr(), 1));
        nb::object key = call_method(name, n.lower);
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
    return call(i.CaseInsensitiveDict, pairs);
}

// A non-2xx reply: requests' HTTPError, with the reply as a requests.Response
// (status, reason, headers, body, URL and text encoding as requests sets them).
[[noreturn]] void raise_status_error(nb::handle reply, long status) {
    nb::object content = nb::bytes("");
    try {
        content = call_method(reply, n.read);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    nb::object url = last_url->prepared_url;
    nb::object reason = get_attr(reply, n.reason);
    nb::object headers = reply_headers(reply);
    nb::object response = call(i.Response);
    set_attr(response, n.status_code, get_attr(reply, n.status));
    set_attr(response, n.reason, reason);
    set_attr(response, n.url, url);
    set_attr(response, n.headers, headers);
    set_attr(response, n.encoding, call(i.get_encoding_from_headers, headers));
    set_attr(response, n.raw, call(i.BytesIO, content));
    nb::object message = steal_or_throw(PyUnicode_FromFormat(
        "%ld %s: %S for url: %S", status, status_class(status), reason.ptr(), url.ptr()));
    nb::object kwnames = nb::make_tuple(n.response);
    PyObject *argv[] = {nullptr, message.ptr(), response.ptr()};
    nb::object exc = steal_or_throw(PyObject_Vectorcall(
        i.HTTPError.ptr(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
    PyErr_SetObject(i.HTTPError.ptr(), exc.ptr());
    throw nb::python_error();
}

} // namespace

void init_feed_post(nb::handle module) {
    if (initialized)
        return;
    n.intern_all();
    t.intern_all();
    i.import_all();
    last_url = new PreparedUrl();
    for (auto [number, value] : {std::pair{&protocol_error, i.errno_prototype},
                                 std::pair{&shutdown_error, i.errno_shutdown},
                                 std::pair{&reset_error, i.errno_connection_reset}}) {
        *number = PyLong_AsLong(value.ptr());
        if (*number == -1 && PyErr_Occurred())
            throw nb::python_error();
    }
    read_reply_after_reset = !truthy(call_method(i.urllib3_version, n.startswith, nb::str("1.")));
    nb::object defaults = call(i.default_headers);
    request_default_headers = steal_or_throw(PySequence_List(call_method(defaults, n.items).ptr())).release();
    for (nb::handle pair : request_default_headers) // (str, str) tuples, checked once
        if (!PyTuple_Check(pair.ptr()) || tuple_size(pair.ptr()) != 2)
            throw nb::type_error("requests' default headers are not name/value pairs");
    init_deadline_socket(module);
    initialized = true;
}

// What conn.request("POST", ...) sends, sent the same way (conn.send: the
// head, then the body), from the head made once per URL.
void send_request(nb::handle conn, nb::handle body, size_t body_size) {
    auto &made = body_size > 0 ? last_url->head_with_body : last_url->head_without_body;
    if (!made)
        made.emplace(head_around_length(body_size > 0));
    if (!made->usable) {
        call_method(conn, n.request, t.POST, last_url->target,
                    body_size == 0 ? nb::none() : nb::borrow(body), request_headers(body_size));
        return;
    }
    const std::string head = made->before + std::to_string(body_size) + made->after;
    call_method(conn, n.send, nb::bytes(head.data(), head.size()));
    if (body_size > 0)
        call_method(conn, n.send, body);
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
    nb::handle n_timeout = n.timeout;
    PyObject *argv[] = {nullptr, last_url->host.ptr(), last_url->port.ptr(), timeout.ptr()};
    nb::object kwnames = nb::steal(PyTuple_Pack(1, n_timeout.ptr()));
    nb::object conn = steal_or_throw(PyObject_Vectorcall(
        i.HTTPConnection.ptr(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));

    // The connection is closed on every way out.  On a way out by an
    // exception, that exception is the one to report, whatever the close
    // raises; after a delivered post, what the close raises (an interrupt,
    // say) reaches the caller.
    struct CloseOnError {
        nb::handle conn;
        bool closed = false;
        ~CloseOnError() {
            if (!closed)
                preserving_error([&] { call_method(conn, n.close); });
        }
    } guard{conn};

    set_attr(conn, n._create_connection, last_url->connect);
    try {
        call_method(conn, n.connect);
    } catch (nb::python_error &e) {
        raise_transport_error(e, /*connecting=*/true);
    }
    nb::object real_sock = get_attr(conn, n.sock);
    if (std::isfinite(deadline))
        set_attr(conn, n.sock, deadline_socket(real_sock, deadline));

    nb::object reply;
    long status = 0;
    try {
        try {
            send_request(conn, body, static_cast<size_t>(body_size));
        } catch (nb::python_error &e) {
            if (!reply_may_follow_failed_send(e))
                throw;
        }
        // A plain 2xx reply, all there, is read here; any other is read by
        // http.client from the very start, as nothing of it has been taken.
        nb::object first = peek(real_sock, deadline, kReplyPeekSize);
        char *head = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(first.ptr(), &head, &size) < 0)
            throw nb::python_error();
        if (plain_success_head(std::string_view(head, static_cast<size_t>(size)))) {
            // Taken, as http.client's buffered reader takes what has come, so
            // that the close ends the connection as it would have.
            call_method(real_sock, n.recv, nb::int_(size));
            status = (head[9] - '0') * 100 + (head[10] - '0') * 10 + (head[11] - '0');
        } else {
            reply = final_reply(conn, status);
        }
    } catch (nb::python_error &e) {
        raise_transport_error(e, /*connecting=*/false);
    }
    if (status < 200 || status > 299)
        raise_status_error(reply, status);
    guard.closed = true;
    call_method(conn, n.close);
}

} // namespace zelmo
