"""Queuing, flush rules and delivery of feed batches, against the stand-in
feed service on loopback."""
import enum
import gc
import json
import http.client
import math
import operator
import random
import re
import socket
import struct
import sys
import threading
import time
import urllib.parse
import warnings

import logbook
import numpy as np
import pytest
import requests
from hypothesis import HealthCheck, given, settings, strategies as st

from tessar.utils.logger import user_system_log
from tessar_mod_zelmo.feeder import pellard
from tessar_mod_zelmo.feeder.pellard import FeedWriter
from zelmo_frontend import FeedService

KINDS = ["risk_feeds", "account_feeds", "position_feeds", "plot_feeds", "log_feeds",
         "trade_feeds", "portfolio_feeds"]


class Clock:
    def __init__(self, now=1000.0):
        self.now = now

    def time(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(pellard, "time", c)
    return c


# --- the reference rule: json.dumps with the fallback, then urlencode ----------

def fallback_text(o):
    for convert in (str, repr):
        try:
            text = convert(o)
            if isinstance(text, str):
                return text
        except Exception:
            pass
    return "<unprintable {} object>".format(type(o).__name__)


def default(o):
    try:
        if isinstance(o, np.bool_):
            return bool(o)
        if isinstance(o, np.integer):
            return operator.index(o)
        if isinstance(o, np.floating):
            return float(o)
    except Exception:
        pass
    return fallback_text(o)


def dumps_field(field):
    try:
        return json.dumps(field, default=default)
    except Exception:
        return json.dumps(fallback_text(field))


def dumps_records(records):
    return "[" + ", ".join(
        "[" + ", ".join(dumps_field(f) for f in r) + "]" if type(r) in (tuple, list)
        else dumps_field(r) for r in records) + "]"


def reference_body(fields):
    return urllib.parse.urlencode(
        {k: dumps_records(fields[k]) for k in KINDS if fields.get(k)}).encode()


def test_class_and_instance_state(clock):
    writer = FeedWriter("http://127.0.0.1:1/x")
    assert writer.keys == KINDS and writer.threshold == 100
    assert (writer.url, writer.cnt, writer.last_flush_time, writer.portfolio_feed_counter,
            writer.flushing, writer.failed_flush_time) == (
        "http://127.0.0.1:1/x", 0, 1000.0, 0, False, None)
    assert list(writer.feeds_queue) == KINDS
    assert all(q == [] for q in writer.feeds_queue.values())
    assert len({id(q) for q in writer.feeds_queue.values()}) == 7
    # Class attributes are read through the instance.
    writer.threshold = 2
    for _ in range(2):
        writer.write("log_feeds", [])
    assert writer.should_flush(False)
    with pytest.raises(TypeError):
        writer.write("log_feeds")
    with pytest.raises(TypeError):
        FeedWriter()


# --- flush rules ------------------------------------------------------------------

def test_count_rule_flushes_the_first_hundred_writes(clock, feed_service):
    writer = FeedWriter(feed_service.url)
    record = ("a", 1)
    for i in range(100):
        writer.write("trade_feeds", [record])
    assert feed_service.posts == [] and writer.cnt == 100
    assert writer.feeds_queue["trade_feeds"][0] is record  # kept by reference
    writer.write("log_feeds", [("own",)])
    (post,) = feed_service.posts
    assert post.body == reference_body({"trade_feeds": [record] * 100})
    assert writer.cnt == 1
    assert writer.feeds_queue["log_feeds"] == [("own",)]
    assert writer.feeds_queue["trade_feeds"] == []


def test_time_rule_is_strictly_more_than_three_seconds(clock, feed_service):
    writer = FeedWriter(feed_service.url)
    clock.now += 3.0
    writer.write("log_feeds", [("a",)])
    assert feed_service.posts == []
    clock.now += 1e-6
    writer.write("log_feeds", [("b",)])
    assert len(feed_service.posts) == 1 and writer.last_flush_time == clock.now
    assert writer.feeds_queue["log_feeds"] == [("b",)]


def test_only_the_second_portfolio_write_flushes(clock, feed_service):
    writer = FeedWriter(feed_service.url)
    writer.write("portfolio_feeds", [("p1",)])
    writer.write(sys.intern("log_feeds"), [])  # another kind, interned
    assert feed_service.posts == []
    # an empty list counts too, and so does a key equal to the kind's name
    writer.write("".join(["portfolio", "_feeds"]), [])
    assert len(feed_service.posts) == 1 and writer.portfolio_feed_counter == 2
    writer.write("portfolio_feeds", [("p3",)])
    assert len(feed_service.posts) == 1 and writer.portfolio_feed_counter == 3
    assert writer.cnt == 2


def test_empty_flush_posts_an_empty_form(clock, feed_service):
    writer = FeedWriter(feed_service.url)
    writer.cnt = 5
    clock.now = 2000.0
    writer.flush()
    (post,) = feed_service.posts
    assert post.body == b"" and "Content-Type" not in post.headers
    assert writer.cnt == 0 and writer.last_flush_time == 2000.0


def test_unknown_kind_logs_an_error_and_still_counts(clock, feed_service):
    handler = logbook.TestHandler()
    user_system_log.handlers.append(handler)
    writer = FeedWriter(feed_service.url)
    writer.write("nonsense_feeds", [("x",)])
    assert writer.cnt == 1
    assert all(q == [] for q in writer.feeds_queue.values())
    assert [(r.level_name, r.message) for r in handler.records] == [
        ("ERROR", "nonsense_feeds not exist in queue")]


# --- on the wire ------------------------------------------------------------------

class RawCapture:
    """A one-shot listener that keeps the raw bytes of each request."""

    def __init__(self, count):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:{}/api/v1/feedgroup".format(self.sock.getsockname()[1])
        self.requests = []
        self.thread = threading.Thread(target=self._serve, args=(count,), daemon=True)
        self.thread.start()

    def _serve(self, count):
        for _ in range(count):
            conn, _ = self.sock.accept()
            data = b""
            while b"\r\n\r\n" not in data:
                data += conn.recv(65536)
            length = int(re.search(rb"Content-Length: (\d+)", data).group(1))
            while len(data.split(b"\r\n\r\n", 1)[1]) < length:
                data += conn.recv(65536)
            self.requests.append(data)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
            conn.close()
        self.sock.close()


def test_request_bytes_are_those_of_requests(monkeypatch):
    for var in ("HTTP_PROXY", "http_proxy", "ALL_PROXY"):
        monkeypatch.delenv(var, raising=False)
    capture = RawCapture(4)
    requests.post(capture.url, data={}, timeout=10)
    requests.post(capture.url, data={"trade_feeds": dumps_records([(1, "买入 a&b=c")])},
                  timeout=10)
    writer = FeedWriter(capture.url)
    writer.flush()
    writer.write("trade_feeds", [(1, "买入 a&b=c")])
    writer.flush()
    capture.thread.join(5)
    ours_empty, ours_form = capture.requests[2:]
    assert capture.requests[:2] == [ours_empty, ours_form]


def test_environment_proxies_are_ignored(feed_service, monkeypatch):
    dead = socket.create_server(("127.0.0.1", 0))
    proxy = "http://127.0.0.1:{}".format(dead.getsockname()[1])
    dead.close()
    for var in ("HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"):
        monkeypatch.setenv(var, proxy)
    monkeypatch.delenv("NO_PROXY", raising=False)
    monkeypatch.delenv("no_proxy", raising=False)
    writer = FeedWriter(feed_service.url)
    writer.write("log_feeds", [("through",)])
    writer.flush()
    assert feed_service.records("log_feeds") == [["through"]]


def test_batch_arrives_byte_exact_with_only_non_empty_kinds(feed_service):
    writer = FeedWriter(feed_service.url)
    logs = [(1, 2, "2020-01-02 15:00:00", "买入 000001.XSHE 😀 \"q\" \\ \n\t", 0)]
    trades = [(1, 2, "2020-01-02 15:00:00", 100.0, 1e-05, float("nan"), float("inf"),
               -float("inf"), None, True, False, 2 ** 70, -0.0, 1e16, 123456789.125)]
    writer.write("log_feeds", logs)
    writer.write("trade_feeds", trades)
    writer.flush()
    (post,) = feed_service.posts
    assert list(post.fields) == ["log_feeds", "trade_feeds"]
    assert post.body == reference_body({"log_feeds": logs, "trade_feeds": trades})
    assert post.headers["Content-Type"] == "application/x-www-form-urlencoded"
    assert "%5Cu4e70%5Cu5165" in post.body.decode()          # 买入 as \u escapes
    assert "%5Cud83d%5Cude00" in post.body.decode()          # a surrogate pair
    text = urllib.parse.parse_qs(post.body.decode())["trade_feeds"][0]
    assert ("100.0, 1e-05, NaN, Infinity, -Infinity, null, true, false, "
            "1180591620717411303424, -0.0, 1e+16, 123456789.125") in text


# --- every value can be sent --------------------------------------------------------

class Color(enum.IntEnum):
    RED = 1


class Backwards(list):
    def __iter__(self):
        return iter(list(list.__iter__(self))[::-1])


class StrRaises:
    def __str__(self):
        raise RuntimeError("no text")


class StrNotText:
    def __str__(self):
        return 42


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

    def __repr__(self):
        raise RuntimeError("no repr")


def nested(depth):
    value = [1]
    for _ in range(depth):
        value = [value]
    return value


def circular():
    value = [1]
    value.append(value)
    return value


HOSTILE = [StrRaises(), StrNotText(), Unprintable(), np.timedelta64(3, "D"),
           np.timedelta64("NaT", "D"), np.int64(-7), np.uint64(2 ** 64 - 1), np.float32(0.25),
           np.bool_(True), np.datetime64("2020-01-02"), Color.RED, Backwards([1, 2, 3]),
           nested(600), circular(), 10 ** 5000, [10 ** 5000], {(1, 2): 3}, {1.5: "x", None: 2},
           {"k": StrRaises()}, (Color.RED, [np.float64(1.5)])]


def test_hostile_values_go_out_as_the_reference_rule_and_block_nothing(feed_service):
    writer = FeedWriter(feed_service.url)
    records = [tuple(HOSTILE), (StrRaises(),), Unprintable()]
    writer.write("plot_feeds", records)
    writer.flush()
    (post,) = feed_service.posts
    assert post.body == reference_body({"plot_feeds": records})
    fields = post.fields["plot_feeds"][0]
    assert fields[0] == repr(HOSTILE[0]) and fields[2] == "<unprintable Unprintable object>"
    assert fields[3] == "3 days" and fields[5:9] == [-7, 2 ** 64 - 1, 0.25, True]
    assert fields[10:12] == [1, [3, 2, 1]]
    assert fields[12] == nested(600) and fields[13] == "[1, [...]]"
    # Interpreters that limit an int's text (3.9.14 and later) cannot print it.
    too_long = "<unprintable int object>" if hasattr(sys, "get_int_max_str_digits") else 10 ** 5000
    assert fields[14] == too_long and fields[16] == "{(1, 2): 3}"
    # Nothing is left behind to block later batches.
    writer.write("log_feeds", [("next",)])
    writer.flush()
    assert feed_service.records("log_feeds") == [["next"]]
    assert all(q == [] for q in writer.feeds_queue.values())


def hostile(i):
    # Drawn by index: hypothesis shows strategies by repr, and some of these
    # values have none.
    return HOSTILE[i]


json_scalars = (st.none() | st.booleans() | st.integers() | st.text()
                | st.floats(allow_nan=True, allow_infinity=True)
                | st.integers(0, len(HOSTILE) - 1).map(hostile))
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
    | st.dictionaries(st.text(max_size=5), inner, max_size=3)
    | st.lists(inner, max_size=3).map(Backwards),
    max_leaves=12)


@pytest.fixture(scope="module")
def module_service(tmp_path_factory):
    service = FeedService(str(tmp_path_factory.mktemp("feeds") / "feeds.db"), port=0).start()
    yield service
    service.stop()


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(fields=st.dictionaries(st.sampled_from(KINDS),
                              st.lists(st.lists(json_values, max_size=6).map(tuple),
                                       min_size=1, max_size=4), max_size=7))
def test_native_body_equals_the_reference_rule(module_service, fields):
    writer = FeedWriter(module_service.url)
    for kind, records in fields.items():
        writer.write(kind, records)
    writer.flush()
    assert module_service.posts[-1].body == reference_body(fields)


def test_texts_and_ints_that_recur_are_each_written_whole(module_service):
    """Texts that come again (the same object or an equal one), more of them
    than are kept, some too long to keep, and ints on both sides of a
    machine word."""
    stamp, other = "2020-01-02 15:00:00", "夜盘 & =\u0001"
    long_text = "x%" * 40
    codes = ["{:06d}.XSHE".format(i) for i in range(300)]
    ints = [0, -1, 2 ** 30 - 1, 2 ** 30, -(2 ** 30), 2 ** 62, 2 ** 63 - 1, -(2 ** 63), 2 ** 63,
            -(2 ** 63) - 1, 2 ** 64, True, False]
    records = [(1, 2, stamp, "a"), (1, 2, stamp, "b"), (1, 2, other, "c"), (1, 2, stamp, "d"),
               (1, 2, 7, "e"), (1, 2, stamp), [stamp, other, long_text], (long_text, stamp),
               tuple(ints), tuple(reversed(ints))]
    for day in range(3):
        records += [(1, 2, stamp, code, "STOCK", day) for code in codes]
        records += [(1, 2, "".join([stamp[:-1], str(day)]), codes[day], long_text)]
    writer = FeedWriter(module_service.url)
    writer.write("log_feeds", records)
    writer.flush()
    assert module_service.posts[-1].body == reference_body({"log_feeds": records})


EDGE_FLOATS = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
               float(2 ** 53), float(2 ** 53 + 2), 1e16, 1e16 + 2, 9999999999999998.0, 1e15,
               123456789012345678.0, 1e22, 1e-4, 1e-5, 0.00012345, 1.5e-7, 0.1, 1 / 3,
               -2.5e+300, float("nan"), float("inf"), float("-inf")]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(floats=st.lists(st.floats(), min_size=1, max_size=40))
def test_floats_are_written_as_json_writes_them(module_service, floats):
    """Every float, as repr() writes it (and json's NaN, Infinity), form-escaped,
    the first time and when it comes again."""
    writer = FeedWriter(module_service.url)
    records = [tuple(EDGE_FLOATS), tuple(floats), tuple(reversed(floats)), tuple(EDGE_FLOATS)]
    writer.write("risk_feeds", records)
    writer.flush()
    assert module_service.posts[-1].body == reference_body({"risk_feeds": records})


def test_shortest_digits_across_the_whole_range(module_service):
    """Powers of two and their neighbours (where the rounding interval is
    lopsided), subnormals, random bit patterns and short decimals, in one
    post: each float's digits are repr's."""
    rng = random.Random(20261209)
    floats = []
    for e in range(-1074, 1024):
        x = math.ldexp(1.0, e)
        floats += [x, math.nextafter(x, 0.0), math.nextafter(x, math.inf)]
    floats += [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(20000)]
    floats += [rng.randrange(10 ** 9) / 10 ** rng.randrange(12) for _ in range(5000)]
    # Digits ending in many zeros, any count of them.
    floats += [m * 10.0 ** e for m in (1, 7, 25, 1234567, 9007199254740991) for e in range(-30, 30)]
    # The subnormals: the smallest and largest, and a sample across them.
    subnormal_bits = list(range(1, 200)) + list(range(2 ** 52 - 200, 2 ** 52))
    subnormal_bits += [rng.randrange(1, 2 ** 52) for _ in range(5000)]
    floats += [struct.unpack("<d", struct.pack("<Q", b))[0] for b in subnormal_bits]
    floats = [f for f in floats if math.isfinite(f)]
    records = [tuple(floats[i:i + 100]) for i in range(0, len(floats), 100)]
    writer = FeedWriter(module_service.url)
    writer.write("risk_feeds", records)
    writer.flush()
    assert module_service.posts[-1].body == reference_body({"risk_feeds": records})


# --- failed deliveries lose nothing ---------------------------------------------------

def assert_failure_keeps_everything(writer, error_type):
    writer.write("log_feeds", [("first",)])
    writer.write("trade_feeds", [("t1",)])
    cnt, last = writer.cnt, writer.last_flush_time
    with pytest.raises(error_type):
        writer.flush()
    assert writer.feeds_queue["log_feeds"] == [("first",)]
    assert (writer.cnt, writer.last_flush_time) == (cnt, last)
    assert writer.failed_flush_time is not None and not writer.flushing


def assert_delivered_once_in_order(feed_service, writer):
    writer.write("log_feeds", [("second",)])
    writer.flush()
    writer.flush()
    assert feed_service.records("log_feeds") == [["first"], ["second"]]
    assert feed_service.records("trade_feeds") == [["t1"]]
    assert writer.cnt == 0 and writer.failed_flush_time is None


def test_nothing_listening(feed_service):
    writer = FeedWriter(feed_service.url)
    feed_service.stop()
    assert_failure_keeps_everything(writer, requests.ConnectionError)
    feed_service.start()
    assert_delivered_once_in_order(feed_service, writer)


@pytest.mark.parametrize("status", [300, 301, 302, 303, 304, 307, 308, 404, 500])
def test_only_a_2xx_reply_delivers_and_redirects_are_not_followed(feed_service, status):
    writer = FeedWriter(feed_service.url)
    feed_service.status = status
    feed_service.location = feed_service.url
    assert_failure_keeps_everything(writer, requests.HTTPError)
    assert feed_service.attempts == 1  # the redirect was not followed
    with pytest.raises(requests.HTTPError) as failure:
        writer.flush()
    response = failure.value.response
    assert (response.status_code, response.headers["Location"]) == (status, feed_service.url)
    assert response.text == ("" if status == 304 else "ok")  # a 304 has no body
    assert str(status) in str(failure.value) and feed_service.url in str(failure.value)
    feed_service.status = 204
    assert_delivered_once_in_order(feed_service, writer)


def test_reply_that_never_comes_times_out(feed_service, monkeypatch):
    monkeypatch.setattr(pellard, "FEED_POST_TIMEOUT", 0.2)
    feed_service.delay = 1.0
    writer = FeedWriter(feed_service.url)
    assert_failure_keeps_everything(writer, requests.ReadTimeout)
    feed_service.delay = 0
    # The slow service still stores what it read once its delay is over: wait
    # for that, then forget it, since the writer never heard it delivered.
    deadline = time.monotonic() + 10
    while not feed_service.posts and time.monotonic() < deadline:
        time.sleep(0.05)
    feed_service.posts.clear()
    # The redelivery is not what is timed here: it gets the usual time-out, so
    # that a slow disk under the service's database cannot fail it.
    monkeypatch.setattr(pellard, "FEED_POST_TIMEOUT", 10)
    assert_delivered_once_in_order(feed_service, writer)


def test_a_dripping_reply_cannot_outlast_the_time_out(feed_service, monkeypatch):
    monkeypatch.setattr(pellard, "FEED_POST_TIMEOUT", 0.5)
    feed_service.drip = 0.1  # each byte well within a per-read time-out
    writer = FeedWriter(feed_service.url)
    started = time.monotonic()
    with pytest.raises(requests.Timeout):
        writer.flush()
    assert time.monotonic() - started < 1.5


def test_an_interrupt_while_the_connection_closes_reaches_the_caller(feed_service,
                                                                     monkeypatch):
    """Ctrl-C arriving as the post closes its connection after a 2xx is not
    swallowed; what was queued is delivered (at least once), never lost."""
    real_close = http.client.HTTPConnection.close

    def interrupted_close(self):
        real_close(self)
        monkeypatch.setattr(http.client.HTTPConnection, "close", real_close)
        raise KeyboardInterrupt

    monkeypatch.setattr(http.client.HTTPConnection, "close", interrupted_close)
    writer = FeedWriter(feed_service.url)
    writer.write("log_feeds", [("first",)])
    with pytest.raises(KeyboardInterrupt):
        writer.flush()
    assert not writer.flushing
    writer.write("log_feeds", [("second",)])
    writer.flush()
    records = feed_service.records("log_feeds")
    assert records in ([["first"], ["second"]], [["first"], ["first"], ["second"]])
    assert writer.cnt == 0 and not any(writer.feeds_queue.values())


def test_an_interrupt_while_connecting_leaves_no_socket(feed_service, monkeypatch):
    """Ctrl-C during the connect: the post closes the socket it opened (none
    is left to the collector, which would warn), and keeps the records."""
    real_connect = socket.socket.connect

    def interrupted_connect(self, address):
        monkeypatch.setattr(socket.socket, "connect", real_connect)
        raise KeyboardInterrupt

    monkeypatch.setattr(socket.socket, "connect", interrupted_connect)
    writer = FeedWriter(feed_service.url)
    writer.write("log_feeds", [("first",)])
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with pytest.raises(KeyboardInterrupt):
            writer.flush()
        gc.collect()
    assert not writer.flushing and writer.feeds_queue["log_feeds"] == [("first",)]
    writer.flush()
    assert feed_service.records("log_feeds") == [["first"]]


def test_a_zoned_ipv6_literal_fails_where_requests_fails(feed_service):
    """An IPv6 literal with a numeric zone ("[::1%251]"): the post refuses it
    before sending anything exactly when requests does (urllib3 decides)."""
    url = "http://[::1%251]:{}/api/v1/feedgroup".format(feed_service.port)
    try:
        requests.post(url, data={"log_feeds": "[]"}, timeout=2)
        theirs = None
    except requests.RequestException as e:
        theirs = type(e)
    writer = FeedWriter(url)
    writer.write("log_feeds", [("first",)])
    try:
        writer.flush()
        ours = None
    except requests.RequestException as e:
        ours = type(e)
    if theirs is requests.exceptions.InvalidURL:
        assert ours is theirs
        assert writer.feeds_queue["log_feeds"] == [("first",)]
    else:
        assert ours is not requests.exceptions.InvalidURL


def test_default_time_out_is_ten_seconds_and_bad_urls_are_named():
    assert pellard.FEED_POST_TIMEOUT == 10
    for url in ("https://127.0.0.1:10300/x", "127.0.0.1:10300", "http://127.0.0.1:99999/x"):
        with pytest.raises(requests.exceptions.InvalidURL, match=re.escape(repr(url))):
            FeedWriter(url).flush()


def test_an_outage_costs_one_attempt_per_batch_age(clock, feed_service):
    writer = FeedWriter(feed_service.url)
    feed_service.status = 503
    writer.cnt = writer.threshold
    with pytest.raises(requests.HTTPError):
        writer.write("log_feeds", [("a",)])   # queued all the same
    assert (feed_service.attempts, writer.failed_flush_time) == (1, clock.now)
    clock.now += 3.0
    for i in range(200):                       # due by count, but within 3 s of the failure
        writer.write("log_feeds", [(i,)])
    assert feed_service.attempts == 1 and writer.cnt == 301
    with pytest.raises(requests.HTTPError):
        writer.flush()                         # an explicit flush always tries
    assert feed_service.attempts == 2
    feed_service.status = 200
    clock.now += 3.5
    writer.write("log_feeds", [("b",)])        # the rules apply again
    assert feed_service.attempts == 3 and writer.cnt == 1
    assert feed_service.records("log_feeds") == [["a"]] + [[i] for i in range(200)]


def test_a_write_from_inside_a_flush_only_queues(feed_service):
    writer = FeedWriter(feed_service.url)

    class Chatty:
        def __str__(self):
            writer.write("log_feeds", [("nested",)])
            writer.flush()  # does nothing while the outer flush runs
            return "chatty"

    writer.write("log_feeds", [("outer", Chatty())])
    writer.cnt = writer.threshold
    writer.flush()
    assert feed_service.records("log_feeds") == [["outer", "chatty"]]
    assert writer.feeds_queue["log_feeds"] == [("nested",)]
    writer.flush()
    assert feed_service.records("log_feeds") == [["outer", "chatty"], ["nested"]]


# --- the steps on unusual but legal values ---------------------------------------------

def test_a_replaced_should_flush_is_asked(clock, feed_service):
    class Eager(FeedWriter):
        def should_flush(self, portfolio_feed):
            return True

    Eager(feed_service.url).write("log_feeds", [("a",)])
    assert len(feed_service.posts) == 1
    writer = FeedWriter(feed_service.url)
    writer.should_flush = lambda portfolio_feed: portfolio_feed
    writer.write("log_feeds", [("b",)])
    writer.write("portfolio_feeds", [("c",)])
    assert len(feed_service.posts) == 2


def test_a_should_flush_replaced_after_use_is_asked(clock, feed_service):
    """A class, or a base of it, that changes after its writers have written
    is asked anew, also when the change is undone."""
    class Middle(FeedWriter):
        pass

    class Leaf(Middle):
        pass

    writer = Leaf(feed_service.url)
    writer.write("log_feeds", [("a",)])
    Middle.should_flush = lambda self, portfolio_feed: True
    writer.write("log_feeds", [("b",)])
    assert len(feed_service.posts) == 1
    del Middle.should_flush
    writer.write("log_feeds", [("c",)])
    Leaf.should_flush = lambda self, portfolio_feed: True
    writer.write("log_feeds", [("d",)])
    assert [p.fields["log_feeds"] for p in feed_service.posts] == [[["a"]], [["b"], ["c"]]]


def test_queues_are_extended_by_their_own_means(clock):
    import collections

    class Tagged(list):
        def extend(self, items):
            list.extend(self, [("tagged",) + tuple(r) for r in items])

    writer = FeedWriter("http://127.0.0.1:1/x")
    writer.feeds_queue["log_feeds"] = collections.deque()
    writer.feeds_queue["trade_feeds"] = Tagged()
    writer.write("log_feeds", [("a",)])
    writer.write("log_feeds", iter([("b",)]))
    writer.write("trade_feeds", [("t",)])
    assert list(writer.feeds_queue["log_feeds"]) == [("a",), ("b",)]
    assert writer.feeds_queue["trade_feeds"] == [("tagged", "t")]
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        writer.write("risk_feeds", None)


def test_counters_follow_the_interpreters_arithmetic(clock, feed_service):
    writer = FeedWriter(feed_service.url)
    writer.cnt = 1.5
    writer.portfolio_feed_counter = np.int64(5)
    writer.write("portfolio_feeds", [])
    assert writer.cnt == 2.5 and type(writer.cnt) is float
    assert type(writer.portfolio_feed_counter) is np.int64
    stamp = np.float64(2000.0)
    clock.now = stamp
    writer.flush()
    assert writer.last_flush_time is stamp
    clock.now = stamp + 3.5
    writer.write("log_feeds", [])  # the age rule works on what time.time() gave
    assert len(feed_service.posts) == 2
