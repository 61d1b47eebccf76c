"""The feed writer's post against requests, service behaviour by service
behaviour: the same exception class, the same response, the same request
bytes, nothing lost, and everything delivered once when the service is back.

Each behaviour is a raw loopback service; each case runs it once under
FeedWriter.flush and once under a requests Session set up with the post's
decided departures (no proxy or netrc, no redirects, non-2xx as HTTPError).
"""
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

    def __init__(self, behaviour, backlog=16, accept=True):
        self.behaviour = behaviour
        self.sock = socket.create_server(("127.0.0.1", 0), backlog=backlog)
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


def answer(*lines, body=b"", read=True, then=None):
    """A behaviour that reads the request (or not), sends `lines` and `body`
    and closes; `then(conn)` runs before the close."""
    def behaviour(service, conn):
        if read:
            service.read_request(conn)
        conn.sendall(reply(*lines, body=body))
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


def chunked(status):
    return answer(status, "Transfer-Encoding: chunked",
                  body=b"4\r\nfail\r\n5\r\ned ok\r\n0\r\n\r\n")


def drip(service, conn):
    service.read_request(conn)
    for byte in reply("HTTP/1.1 200 OK", "Content-Length: 2", body=b"ok"):
        conn.sendall(bytes([byte]))
        time.sleep(0.05)


OK = ("HTTP/1.1 200 OK", "Content-Length: 2")
BIG = {"log_feeds": [("x" * 1000,)] * 4000}

# name: (behaviour, queued records, url path, url credentials, post time-out)
CASES = {
    "closed after the request": (close_after_request, QUEUED, None, "", TIMEOUT),
    "closed before reading": (close_unread, QUEUED, None, "", TIMEOUT),
    "reset after the request": (reset_after_request, QUEUED, None, "", TIMEOUT),
    "HTTP/1.0 200, then closed": (answer("HTTP/1.0 200 OK", body=b"ok"), QUEUED, None, "", TIMEOUT),
    "200 with Connection: close": (answer(*OK, "Connection: close", body=b"ok"), QUEUED, None, "",
                                   TIMEOUT),
    "HTTP/1.0 500, then closed": (answer("HTTP/1.0 500 Internal Server Error",
                                         "Content-Type: text/plain; charset=utf-8",
                                         body="内部错误".encode()), QUEUED, None, "", TIMEOUT),
    "500 whose body comes late": (body_late, QUEUED, None, "", TIMEOUT),
    "413 before the upload is read": (early_reply, BIG, None, "", TIMEOUT),
    "a header sent twice": (answer("HTTP/1.1 503 Service Unavailable", "X-Retry: 1",
                                   "Content-Length: 0", "x-retry: 2", "Set-Cookie: a=1",
                                   "Set-Cookie: b=2"), QUEUED, None, "", TIMEOUT),
    "space and non-ASCII in the URL": (answer(*OK, body=b"ok"), QUEUED,
                                       "/api/v1/feed group/策略?run=夜 盘&x=a%20b", "", TIMEOUT),
    "credentials in the URL": (answer(*OK, body=b"ok"), QUEUED, None, "us%40er:p%3Ass@",
                               TIMEOUT),
    "user name only in the URL": (answer(*OK, body=b"ok"), QUEUED, None, "quant@", TIMEOUT),
    "malformed status line": (answer("HTTP/1.1 OK"), QUEUED, None, "", TIMEOUT),
    "not HTTP at all": (answer("SSH-2.0-OpenSSH_9.2"), QUEUED, None, "", TIMEOUT),
    "over-long status line": (answer("HTTP/1.1 500 " + "x" * 70000), QUEUED, None, "", TIMEOUT),
    "over-long header": (answer(*OK, "X-Big: " + "x" * 70000, body=b"ok"), QUEUED, None, "",
                         TIMEOUT),
    "100-continue, then 200": (continue_then_ok, QUEUED, None, "", TIMEOUT),
    "chunked 200": (chunked("HTTP/1.1 200 OK"), QUEUED, None, "", TIMEOUT),
    "chunked 502": (chunked("HTTP/1.1 502 Bad Gateway"), QUEUED, None, "", TIMEOUT),
    "204": (answer("HTTP/1.1 204 No Content"), QUEUED, None, "", TIMEOUT),
    "302 is not followed": (answer("HTTP/1.1 302 Found", "Location: /elsewhere",
                                   "Content-Length: 5", body=b"moved"), QUEUED, None, "", TIMEOUT),
    "nothing listening": (None, QUEUED, None, "", TIMEOUT),
    "full listen backlog": ("backlog", QUEUED, None, "", 0.3),
    "reply dripping past the deadline": (drip, QUEUED, None, "", 0.5),
}
# Where the post departs from requests by design: one deadline bounds the
# whole post, so a reply that keeps dripping is cut off there.
DEPARTURES = {"reply dripping past the deadline": requests.ReadTimeout}


class Outcome:
    def __init__(self, error, received):
        self.error_type = type(error) if error else None
        self.message = str(error) if isinstance(error, requests.HTTPError) else None
        response = getattr(error, "response", None)
        self.response = response if response is None else (
            response.status_code, response.reason, list(response.headers.items()),
            response.content, response.url, response.encoding)
        self.received = received

    def __repr__(self):
        return repr(vars(self))


def form(queued):
    return {k: json.dumps([list(r) for r in queued[k]], ensure_ascii=True)
            for k in pellard.FeedWriter(None).feeds_queue if k in queued}


def run_requests(url, queued, timeout):
    session = requests.Session()
    session.trust_env = False
    try:
        response = session.post(url, data=form(queued), timeout=timeout, allow_redirects=False)
        if not 200 <= response.status_code < 300:
            raise requests.HTTPError("{} {}: {} for url: {}".format(
                response.status_code, "Redirection" if response.status_code < 400 else
                "Client Error" if response.status_code < 500 else "Server Error",
                response.reason, response.url), response=response)
    except requests.RequestException as e:
        return e
    finally:
        session.close()
    return None


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
    (expected_error, theirs_received), ((writer, error), ours_received) = served(
        behaviour, path, auth, lambda url: run_requests(url, queued, timeout),
        lambda url: run_flush(url, queued, monkeypatch, timeout))
    gc.collect()  # a reply or connection left for the collector would complain now
    assert capfd.readouterr() == ("", "")  # the post prints nothing
    ours, theirs = Outcome(error, ours_received), Outcome(expected_error, theirs_received)

    if case in DEPARTURES:
        assert ours.error_type is DEPARTURES[case] and theirs.error_type is None
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
