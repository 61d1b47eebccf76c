"""The feed writer's post against requests, service behaviour by service
behaviour: the same exception class, the same response, the same request
bytes, nothing lost, and everything delivered once when the service is back.

Each behaviour is a raw loopback service; each case runs it once under
FeedWriter.flush and once under a requests Session set up with the post's
decided departures (no proxy or netrc, no redirects, non-2xx as HTTPError).
"""
import collections
import gc
import json
import socket
import struct
import threading
import time

import pytest
import requests

from tessar_mod_zelmo.feeder import pellard
from tessar_mod_zelmo.feeder.pellard import FeedWriter
from zelmo_frontend import FeedService

TIMEOUT = 2.0
QUEUED = {"log_feeds": [("first", 1.5)], "trade_feeds": [("t1", "买入 a&b=c")]}


class RawService:
    """A loopback listener that answers each connection with `behaviour` and
    keeps the raw bytes it read of every request."""

    def __init__(self, behaviour, backlog=16, accept=True, address=("127.0.0.1", 0)):
        self.behaviour = behaviour
        family = socket.AF_INET6 if len(address) == 4 else socket.AF_INET
        self.sock = socket.create_server(address, family=family, backlog=backlog)
        self.port = self.sock.getsockname()[1]
        self.received = []
        self.thread = None
        if accept:
            self.thread = threading.Thread(target=self._serve, daemon=True)
            self.thread.start()

    def url(self, path="/api/v1/feedgroup", auth=""):
        return "http://{}127.0.0.1:{}{}".format(auth, self.port, path)

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                try:
                    self.behaviour(self, conn)
                except OSError:
                    pass

    def read_head(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        head, end, _ = data.partition(b"\r\n\r\n")
        self.received.append(head + end)  # what follows depends on timing
        return data

    def read_request(self, conn):
        data = self.read_head(conn)
        head, _, body = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        while len(body) < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            body += chunk
        self.received[-1] = head + b"\r\n\r\n" + body
        return self.received[-1]

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        except OSError:
            pass
        self.sock.close()
        if self.thread:
            self.thread.join(5)


def reply(*lines, body=b""):
    return "".join(line + "\r\n" for line in lines).encode("latin-1") + b"\r\n" + body


def answer(*lines, body=b"", read=True, then=None, lines_raw=None):
    """A behaviour that reads the request (or not), sends `lines` and `body`
    (or the bytes `lines_raw`) and closes; `then(conn)` runs before the close."""
    def behaviour(service, conn):
        if read:
            service.read_request(conn)
        conn.sendall(lines_raw if lines_raw is not None else reply(*lines, body=body))
        if then:
            then(conn)
    return behaviour


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def close_after_request(service, conn):
    service.read_request(conn)


def close_unread(service, conn):
    pass


def reset_after_request(service, conn):
    service.read_request(conn)
    reset(conn)


def body_late(service, conn):
    service.read_request(conn)
    conn.sendall(reply("HTTP/1.1 500 Internal Server Error", "Connection: close",
                       "Content-Length: 12"))
    time.sleep(0.1)
    conn.sendall(b"service down")


def early_reply(service, conn):
    """Refuses a large upload after its head, without reading the body."""
    service.read_head(conn)
    conn.sendall(reply("HTTP/1.1 413 Payload Too Large", "Connection: close",
                       "Content-Length: 8", body=b"too big!"))
    conn.shutdown(socket.SHUT_WR)
    time.sleep(0.2)


def continue_then_ok(service, conn):
    service.read_request(conn)
    conn.sendall(reply("HTTP/1.1 100 Continue") +
                 reply("HTTP/1.1 200 OK", "Content-Length: 2", body=b"ok"))


def interim_replies(*interim, final):
    """Interim 1xx replies, then the final one, in one write."""
    def behaviour(service, conn):
        service.read_request(conn)
        conn.sendall(b"".join(reply(*lines) for lines in interim) + final)
    return behaviour


def chunked(status):
    return answer(status, "Transfer-Encoding: chunked",
                  body=b"4\r\nfail\r\n5\r\ned ok\r\n0\r\n\r\n")


def drip(service, conn):
    service.read_request(conn)
    for byte in reply("HTTP/1.1 200 OK", "Content-Length: 2", body=b"ok"):
        conn.sendall(bytes([byte]))
        time.sleep(0.05)


def head_in_two_writes(service, conn):
    """A 200 whose head arrives in two pieces, the blank line last."""
    service.read_request(conn)
    head = reply("HTTP/1.1 200 OK", "Content-Length: 2")
    conn.sendall(head[:-2])
    time.sleep(0.1)
    conn.sendall(head[-2:] + b"ok")


OK = ("HTTP/1.1 200 OK", "Content-Length: 2")
BIG = {"log_feeds": [("x" * 1000,)] * 4000}

# A service behaviour, the records queued, the URL's path and credentials, and
# the post's time-out; each row names only what is special about it.
Case = collections.namedtuple("Case", "behaviour queued path auth timeout",
                              defaults=(QUEUED, None, "", TIMEOUT))
CASES = {
    "closed after the request": Case(close_after_request),
    "closed before reading": Case(close_unread),
    "reset after the request": Case(reset_after_request),
    "HTTP/1.0 200, then closed": Case(answer("HTTP/1.0 200 OK", body=b"ok")),
    "200 with Connection: close": Case(answer(*OK, "Connection: close", body=b"ok")),
    "HTTP/1.0 500, then closed": Case(answer("HTTP/1.0 500 Internal Server Error",
                                             "Content-Type: text/plain; charset=utf-8",
                                             body="内部错误".encode())),
    "500 whose body comes late": Case(body_late),
    "413 before the upload is read": Case(early_reply, queued=BIG),
    "a header sent twice": Case(answer("HTTP/1.1 503 Service Unavailable", "X-Retry: 1",
                                       "Content-Length: 0", "x-retry: 2", "Set-Cookie: a=1",
                                       "Set-Cookie: b=2")),
    "space and non-ASCII in the URL": Case(answer(*OK, body=b"ok"),
                                           path="/api/v1/feed group/策略?run=夜 盘&x=a%20b"),
    "credentials in the URL": Case(answer(*OK, body=b"ok"), auth="us%40er:p%3Ass@"),
    "user name only in the URL": Case(answer(*OK, body=b"ok"), auth="quant@"),
    "malformed status line": Case(answer("HTTP/1.1 OK")),
    "not HTTP at all": Case(answer("SSH-2.0-OpenSSH_9.2")),
    "over-long status line": Case(answer("HTTP/1.1 500 " + "x" * 70000)),
    "over-long header": Case(answer(*OK, "X-Big: " + "x" * 70000, body=b"ok")),
    "100-continue, then 200": Case(continue_then_ok),
    "102, then 200": Case(interim_replies(["HTTP/1.1 102 Processing"],
                                         final=reply(*OK, body=b"ok"))),
    "103 with a Link header, then 200": Case(interim_replies(
        ["HTTP/1.1 103 Early Hints", "Link: </feed.css>; rel=preload"],
        final=reply(*OK, body=b"ok"))),
    "199 and 102, then 200": Case(interim_replies(["HTTP/1.1 199 Misc"],
                                                  ["HTTP/1.1 102 Processing"],
                                                  final=reply(*OK, body=b"ok"))),
    "102, then 500": Case(interim_replies(["HTTP/1.1 102 Processing"], final=reply(
        "HTTP/1.1 500 Internal Server Error", "Content-Length: 12", body=b"service down"))),
    "chunked 200": Case(chunked("HTTP/1.1 200 OK")),
    "chunked 502": Case(chunked("HTTP/1.1 502 Bad Gateway")),
    "204": Case(answer("HTTP/1.1 204 No Content")),
    "200 whose head comes in two writes": Case(head_in_two_writes),
    "200 with a status line of its own kind": Case(answer("HTTP/1.1 200\tFine", body=b"ok")),
    "HTTP/1.2 200": Case(answer("HTTP/1.2 200 OK", *OK[1:], body=b"ok")),
    "HTTP/2 200": Case(answer("HTTP/2 200 OK", *OK[1:], body=b"ok")),
    "200 with a hundred headers": Case(answer(*OK, *["X-H{}: v".format(i) for i in range(100)],
                                             body=b"ok")),
    "200 with ninety-nine headers": Case(answer(*OK, *["X-H{}: v".format(i) for i in range(97)],
                                               body=b"ok")),
    "200 with a header line of 60,000 bytes": Case(answer(*OK, "X-Big: " + "x" * 60000,
                                                          body=b"ok")),
    "200 with a bare line feed after the headers": Case(answer(body=b"ok", read=True, then=None,
                                                               lines_raw=b"HTTP/1.1 200 OK\r\n"
                                                               b"Content-Length: 2\r\n\nok")),
    "an empty form": Case(answer(*OK, body=b"ok"), queued={}),
    "302 is not followed": Case(answer("HTTP/1.1 302 Found", "Location: /elsewhere",
                                       "Content-Length: 5", body=b"moved")),
    "nothing listening": Case(None),
    "full listen backlog": Case("backlog", timeout=0.3),
    "reply dripping past the deadline": Case(drip, timeout=0.5),
}


class Outcome:
    """What a caller and the service see of one post: the exception, its
    message when an HTTPError, the reply as a requests.Response shows it,
    and the request bytes the service read."""

    def __init__(self, error, received, response=None):
        self.error_type = type(error) if error else None
        self.message = str(error) if isinstance(error, requests.HTTPError) else None
        response = getattr(error, "response", response)
        self.response = response if response is None else (
            response.status_code, response.reason, list(response.headers.items()),
            response.content, response.url, response.encoding)
        self.received = received

    def __repr__(self):
        return repr(vars(self))


def redirect_is_an_error(ours, theirs):
    """requests returns a 3xx that it does not follow; the post, which
    delivers on 2xx only, raises it as the HTTPError requests would word."""
    assert theirs.error_type is None
    status, reason, url = theirs.response[0], theirs.response[1], theirs.response[4]
    assert ours.error_type is requests.HTTPError
    assert ours.message == "{} Redirection: {} for url: {}".format(status, reason, url)
    assert (ours.response, ours.received) == (theirs.response, theirs.received)


def one_deadline(ours, theirs):
    """One deadline bounds the whole post, so a reply that keeps dripping
    is cut off there; requests bounds each read alone."""
    assert ours.error_type is requests.ReadTimeout and theirs.error_type is None


def interim_replies_read_past(ours, theirs):
    """requests returns an interim 1xx reply as the answer; the post reads
    past it, and the final reply decides: a 200 delivers, a 500 is the
    HTTPError requests would raise for it, with the service's body."""
    assert theirs.error_type is None and 100 < theirs.response[0] < 200
    assert ours.received == theirs.received
    if ours.error_type is None:
        assert ours.response is None
        return
    assert ours.error_type is requests.HTTPError
    assert ours.message.startswith("500 Server Error: Internal Server Error for url: ")
    assert (ours.response[0], ours.response[3]) == (500, b"service down")


# Where the post departs from requests by design.
DEPARTURES = {"302 is not followed": redirect_is_an_error,
              "reply dripping past the deadline": one_deadline}
DEPARTURES.update(dict.fromkeys(
    ["102, then 200", "103 with a Link header, then 200", "199 and 102, then 200",
     "102, then 500"], interim_replies_read_past))


def form(queued):
    return {k: json.dumps([list(r) for r in queued[k]], ensure_ascii=True)
            for k in pellard.FeedWriter(None).feeds_queue if k in queued}


def run_requests(url, queued, timeout):
    """requests.post with the post's settings that are no departure: no
    proxy or netrc, no redirect followed, non-2xx raised by requests itself.
    Returns (the exception or None, the response)."""
    session = requests.Session()
    session.trust_env = False
    try:
        response = session.post(url, data=form(queued), timeout=timeout, allow_redirects=False)
        response.raise_for_status()
    except requests.RequestException as e:
        return e, None
    finally:
        session.close()
    return None, response


def run_flush(url, queued, monkeypatch, timeout):
    monkeypatch.setattr(pellard, "FEED_POST_TIMEOUT", timeout)
    writer = FeedWriter(url)
    for kind, records in queued.items():
        writer.feeds_queue[kind].extend(records)
    try:
        writer.flush()
    except requests.RequestException as e:
        return writer, e
    return writer, None


def served(behaviour, path, auth, *runs):
    """Runs each of `runs` (given the URL) in turn against one service with
    `behaviour`; returns, for each, its result and the request bytes the
    service read."""
    results = []
    if behaviour is None:
        dead = socket.create_server(("127.0.0.1", 0))
        url = "http://127.0.0.1:{}/api/v1/feedgroup".format(dead.getsockname()[1])
        dead.close()
        return [(run(url), []) for run in runs]
    if behaviour == "backlog":
        service = RawService(None, backlog=0, accept=False)
        fillers = []
        for _ in range(8):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", service.port))
            fillers.append(s)
        try:
            return [(run(service.url()), []) for run in runs]
        finally:
            for s in fillers:
                s.close()
            service.close()
    service = RawService(behaviour)
    try:
        for run in runs:
            result = run(service.url(path or "/api/v1/feedgroup", auth))
            time.sleep(0.05)
            results.append((result, list(service.received)))
            service.received.clear()
        return results
    finally:
        service.close()


@pytest.mark.parametrize("case", list(CASES))
def test_the_post_is_requests_post(case, monkeypatch, tmp_path, capfd):
    behaviour, queued, path, auth, timeout = CASES[case]
    ((expected_error, response), theirs_received), ((writer, error), ours_received) = served(
        behaviour, path, auth, lambda url: run_requests(url, queued, timeout),
        lambda url: run_flush(url, queued, monkeypatch, timeout))
    gc.collect()  # a reply or connection left for the collector would complain now
    assert capfd.readouterr() == ("", "")  # the post prints nothing
    ours = Outcome(error, ours_received)
    undelivered = response if response is not None and not 200 <= response.status_code < 300 \
        else None  # a reply requests returns that the post counts as a failure
    theirs = Outcome(expected_error, theirs_received, undelivered)

    if case in DEPARTURES:
        DEPARTURES[case](ours, theirs)
    else:
        assert vars(ours) == vars(theirs)

    delivered = error is None
    assert all(writer.feeds_queue[k] == ([] if delivered else queued.get(k, []))
               for k in writer.feeds_queue)
    assert not writer.flushing
    if delivered:
        return
    # Back to a good service: everything goes out, once.
    with FeedService(str(tmp_path / "front.db"), port=0) as good:
        writer.url = good.url
        writer.flush()
        writer.flush()  # nothing left: an empty form
        assert [bool(post.body) for post in good.posts] == [True, False]
        for kind, records in queued.items():
            assert good.records(kind) == [list(r) for r in records]


def requests_then_flush(url, monkeypatch, service, resolved=None):
    """Posts QUEUED to `url` under requests, then under FeedWriter.flush:
    for each, the exception's class (or None), the names in `resolved`
    since it began, and the request bytes `service` read."""
    outcomes = []
    for run in (lambda: run_requests(url, QUEUED, TIMEOUT)[0],
                lambda: run_flush(url, QUEUED, monkeypatch, TIMEOUT)[1]):
        service.received.clear()
        if resolved is not None:
            del resolved[:]
        error = run()
        time.sleep(0.05)
        outcomes.append((type(error) if error else None, list(resolved or ()),
                         list(service.received)))
    return outcomes


@pytest.mark.parametrize("host", ["[fe80::1%25lo]", "[FE80::1%25Eth0]", "[fe80::1%eth0]", "[::1]",
                                  "localhost.", "LocalHost"])
def test_hosts_are_resolved_and_named_as_under_requests(host, monkeypatch):
    """Hosts that urllib3 normalises (IPv6 literals with or without a named
    zone, a trailing dot, capitals): the same name asked of the resolver and
    the same Host header as under requests, on this interpreter.  The
    resolver is patched, as a caller may patch it, to send every name to a
    loopback service."""
    real_getaddrinfo = socket.getaddrinfo
    resolved = []

    def to_loopback(name, port, *args, **kwargs):
        resolved.append(name)
        return real_getaddrinfo("127.0.0.1", port, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", to_loopback)
    service = RawService(answer(*OK, body=b"ok"))
    try:
        url = "http://{}:{}/api/v1/feedgroup".format(host, service.port)
        theirs, ours = requests_then_flush(url, monkeypatch, service, resolved)
    finally:
        service.close()
    assert ours == theirs and ours[0] is None and ours[1]


def link_local_address():
    """A link-local IPv6 address of this machine, its interface's index and
    name, read from Linux's /proc; None elsewhere or when there is none."""
    try:
        with open("/proc/net/if_inet6") as table:
            rows = [line.split() for line in table]
    except OSError:
        return None
    for address, index, _, _, _, name in rows:
        if address.startswith("fe80"):
            return socket.inet_ntop(socket.AF_INET6, bytes.fromhex(address)), int(index, 16), name
    return None


def test_a_zone_named_after_an_interface_of_this_machine(monkeypatch):
    """A service on a link-local address, the URL naming its interface as
    the zone ("[fe80::...%25eth0]"): the same outcome and request bytes as
    under requests, whichever way its version resolves the zone."""
    found = link_local_address()
    if found is None:
        pytest.skip("no link-local IPv6 address (looked for in Linux's /proc/net/if_inet6)")
    address, index, name = found
    service = RawService(answer(*OK, body=b"ok"), address=(address, 0, 0, index))
    try:
        url = "http://[{}%25{}]:{}/api/v1/feedgroup".format(address, name, service.port)
        theirs, ours = requests_then_flush(url, monkeypatch, service)
    finally:
        service.close()
    assert ours == theirs
