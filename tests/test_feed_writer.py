"""Queuing, flush rules and delivery of feed batches."""
import json
import math
import urllib.parse

import logbook
import numpy as np
import pytest
import requests
from hypothesis import given, settings, strategies as st

from tessar.utils.logger import user_system_log
from tessar_mod_zelmo.feeder import pellard
from tessar_mod_zelmo.feeder.pellard import FeedWriter

KINDS = ["risk_feeds", "account_feeds", "position_feeds", "plot_feeds", "log_feeds",
         "trade_feeds", "portfolio_feeds"]


class Clock:
    def __init__(self, now=1000.0):
        self.now = now

    def time(self):
        return self.now


class Response:
    status_code = 200

    def raise_for_status(self):
        pass


class RecordingRequests:
    """Stands in for `requests` where only what would be posted matters."""

    def __init__(self):
        self.posts = []

    def post(self, url, **kwargs):
        self.posts.append((url, kwargs))
        return Response()


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(pellard, "time", c)
    return c


@pytest.fixture
def posts(monkeypatch):
    fake = RecordingRequests()
    monkeypatch.setattr(pellard, "requests", fake)
    return fake.posts


def expected_body(fields):
    """What requests itself makes of data={kind: json.dumps(records)}."""
    return requests.models.RequestEncodingMixin._encode_params(
        {k: json.dumps(v) for k, v in fields.items()})


def test_class_and_instance_state(clock):
    writer = FeedWriter("http://127.0.0.1:1/x")
    assert writer.keys == KINDS and writer.threshold == 100
    assert (writer.url, writer.cnt, writer.last_flush_time, writer.portfolio_feed_counter) == (
        "http://127.0.0.1:1/x", 0, 1000.0, 0)
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


def test_count_rule_flushes_the_first_hundred_writes(clock, posts):
    writer = FeedWriter("u")
    record = ("a", 1)
    for i in range(100):
        writer.write("trade_feeds", [record])
    assert posts == [] and writer.cnt == 100
    assert writer.feeds_queue["trade_feeds"][0] is record  # kept by reference
    writer.write("log_feeds", [("own",)])
    assert len(posts) == 1
    assert posts[0][1]["data"] == expected_body({"trade_feeds": [record] * 100}).encode()
    assert writer.cnt == 1
    assert writer.feeds_queue["log_feeds"] == [("own",)]
    assert writer.feeds_queue["trade_feeds"] == []


def test_time_rule_is_strictly_more_than_three_seconds(clock, posts):
    writer = FeedWriter("u")
    clock.now += 3.0
    writer.write("log_feeds", [("a",)])
    assert posts == []
    clock.now += 1e-6
    writer.write("log_feeds", [("b",)])
    assert len(posts) == 1 and writer.last_flush_time == clock.now
    assert writer.feeds_queue["log_feeds"] == [("b",)]


def test_only_the_second_portfolio_write_flushes(clock, posts):
    writer = FeedWriter("u")
    writer.write("portfolio_feeds", [("p1",)])
    assert posts == []
    writer.write("portfolio_feeds", [])  # an empty list counts too
    assert len(posts) == 1 and writer.portfolio_feed_counter == 2
    writer.write("portfolio_feeds", [("p3",)])
    assert len(posts) == 1 and writer.portfolio_feed_counter == 3 and writer.cnt == 2


def test_empty_flush_posts_an_empty_form(clock, posts):
    writer = FeedWriter("u")
    writer.cnt = 5
    clock.now = 2000.0
    writer.flush()
    assert posts == [("u", {"data": {}, "timeout": pellard.FEED_POST_TIMEOUT})]
    assert writer.cnt == 0 and writer.last_flush_time == 2000.0


def test_unknown_kind_logs_an_error_and_still_counts(clock, posts):
    handler = logbook.TestHandler()
    user_system_log.handlers.append(handler)
    writer = FeedWriter("u")
    writer.write("nonsense_feeds", [("x",)])
    assert writer.cnt == 1
    assert all(q == [] for q in writer.feeds_queue.values())
    assert [(r.level_name, r.message) for r in handler.records] == [
        ("ERROR", "nonsense_feeds not exist in queue")]


# --- on the wire, against the stand-in feed service ---------------------------

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
    assert post.body == expected_body({"log_feeds": logs, "trade_feeds": trades}).encode()
    assert post.headers["Content-Type"] == "application/x-www-form-urlencoded"
    assert "%5Cu4e70%5Cu5165" in post.body.decode()          # 买入 as \u escapes
    assert "%5Cud83d%5Cude00" in post.body.decode()          # a surrogate pair
    assert post.fields["log_feeds"] == [list(logs[0])]
    text = urllib.parse.parse_qs(post.body.decode())["trade_feeds"][0]
    assert ("100.0, 1e-05, NaN, Infinity, -Infinity, null, true, false, "
            "1180591620717411303424, -0.0, 1e+16, 123456789.125") in text


json_scalars = (st.none() | st.booleans() | st.integers() | st.text()
                | st.floats(allow_nan=True, allow_infinity=True))
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
    | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=12)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.sampled_from(KINDS),
                       st.lists(st.lists(json_values, max_size=6).map(tuple), min_size=1,
                                max_size=4), max_size=7))
def test_native_body_equals_json_dumps_and_urlencode(fields):
    fake = RecordingRequests()
    saved = pellard.requests
    pellard.requests = fake
    try:
        writer = FeedWriter("u")
        for kind, records in fields.items():
            writer.write(kind, records)
        writer.flush()
    finally:
        pellard.requests = saved
    ordered = {k: fields[k] for k in KINDS if k in fields}
    data = fake.posts[0][1]["data"]
    if not ordered:
        assert data == {}  # what requests gets for an empty form
    else:
        assert data == urllib.parse.urlencode(
            {k: json.dumps(v) for k, v in ordered.items()}).encode()


def test_values_json_refuses_are_sent_as_what_they_stand_for(feed_service):
    class Thing:
        def __str__(self):
            return "thing 1"

    writer = FeedWriter(feed_service.url)
    writer.write("plot_feeds", [(np.int64(7), np.float32(0.5), np.bool_(True), np.bool_(False),
                                 Thing(), np.float64(2.5), {(1, 2): 3})])
    writer.flush()
    assert feed_service.records("plot_feeds") == [[7, 0.5, True, False, "thing 1", 2.5,
                                                   {"(1, 2)": 3}]]


# --- failed deliveries lose nothing ---------------------------------------------

def assert_kept_then_delivered_once(feed_service, writer, error_type):
    writer.write("log_feeds", [("first",)])
    writer.write("trade_feeds", [("t1",)])
    cnt, last = writer.cnt, writer.last_flush_time
    with pytest.raises(error_type):
        writer.flush()
    assert writer.feeds_queue["log_feeds"] == [("first",)]
    assert (writer.cnt, writer.last_flush_time) == (cnt, last)
    # A write whose flush fails still queues its own records, then raises.
    writer.cnt = writer.threshold
    with pytest.raises(error_type):
        writer.write("log_feeds", [("second",)])
    assert writer.feeds_queue["log_feeds"] == [("first",), ("second",)]
    assert writer.cnt == 101
    return writer


def test_nothing_listening(feed_service):
    writer = FeedWriter(feed_service.url)
    feed_service.stop()
    assert_kept_then_delivered_once(feed_service, writer, requests.ConnectionError)
    feed_service.start()
    writer.flush()
    assert feed_service.records("log_feeds") == [["first"], ["second"]]
    assert feed_service.records("trade_feeds") == [["t1"]]
    writer.flush()
    assert feed_service.records("log_feeds") == [["first"], ["second"]]
    assert writer.cnt == 0


def test_error_status_is_a_failed_delivery(feed_service):
    writer = FeedWriter(feed_service.url)
    feed_service.status = 500
    assert_kept_then_delivered_once(feed_service, writer, requests.HTTPError)
    feed_service.status = 200
    writer.write("log_feeds", [("third",)])
    writer.flush()
    assert feed_service.records("log_feeds") == [["first"], ["second"], ["third"]]


def test_reply_that_never_comes_times_out(feed_service, monkeypatch):
    monkeypatch.setattr(pellard, "FEED_POST_TIMEOUT", 0.2)
    feed_service.delay = 1.0
    writer = FeedWriter(feed_service.url)
    assert_kept_then_delivered_once(feed_service, writer, requests.Timeout)
    feed_service.delay = 0
    feed_service.posts.clear()  # the slow service stored what it got late
    writer.flush()
    assert feed_service.records("log_feeds") == [["first"], ["second"]]


def test_default_time_out_is_ten_seconds():
    assert pellard.FEED_POST_TIMEOUT == 10
