"""The whole mod inside a backtest: wiring, tear-down, and runs end to end."""
import datetime
import gc
import os
import re
import sqlite3
import warnings
from contextlib import closing

import pytest

import tessar_mod_zelmo
from tessar.config import Section
from tessar.environment import Environment
from tessar.events import EVENT, Event
from tessar.runner import run
from tessar.utils.logger import user_log, user_system_log
from tessar_mod_zelmo import mod as mod_module
from tessar_mod_zelmo.feeder.feeder import Feeder
from zelmo_frontend import create_schema

from conftest import make_env, write_user_conf

KINDS = ["risk_feeds", "account_feeds", "position_feeds", "plot_feeds", "log_feeds",
         "trade_feeds", "portfolio_feeds"]


class SpyFeeder(Feeder):
    """Records each send_log call with whether the mod was active at that moment."""
    sent = []
    mod = None

    def send_log(self, datetime, text, log_tag):
        SpyFeeder.sent.append((datetime, text, log_tag, SpyFeeder.mod.active))
        super().send_log(datetime, text, log_tag)


@pytest.fixture
def spy(monkeypatch):
    monkeypatch.setattr(mod_module, "Feeder", SpyFeeder)
    SpyFeeder.sent = []
    mod = tessar_mod_zelmo.load_mod()
    SpyFeeder.mod = mod
    return mod


def start(mod, user_conf, **settings):
    env = make_env()
    mod.start_up(env, Section(**settings))
    return env


def backtest_row(user_conf, backtest_id):
    with closing(sqlite3.connect(user_conf["sqlite_path"])) as conn:
        return conn.execute("SELECT exception FROM backtests WHERE id = ?", (backtest_id,)).fetchone()


def test_inactive_run_wires_nothing_and_tear_down_only_flushes(user_conf, spy, feed_service):
    before = (len(user_log.handlers), len(user_system_log.handlers))
    env = start(spy, user_conf, algorithm_id=5)
    assert spy.zelmo_env is not None and spy.feeder is None and spy.active is False
    assert (len(user_log.handlers), len(user_system_log.handlers)) == before
    assert env.event_bus._listeners == {}
    spy.tear_down(1, ValueError("boom"))
    assert len(feed_service.posts) == 1 and feed_service.posts[0].fields == {}
    assert SpyFeeder.sent == []


def test_active_run_wiring_and_missing_bundle(user_conf, spy, feed_service):
    user_handlers, system_handlers = list(user_log.handlers), list(user_system_log.handlers)
    env = start(spy, user_conf, algorithm_id=5, backtest_id=8)
    assert spy.active is True and isinstance(spy.feeder, SpyFeeder)
    for logger, old in ((user_log, user_handlers), (user_system_log, system_handlers)):
        assert logger.handlers[:-1] == old
        assert type(logger.handlers[-1]).__name__ == "LogHandler"
        assert logger.handlers[-1].bubble is True
    assert user_log.handlers[-1] is not user_system_log.handlers[-1]
    assert [k for k in env.event_bus._listeners] == [
        EVENT.TRADE, EVENT.PRE_SETTLEMENT, EVENT.POST_SYSTEM_INIT, EVENT.ON_LINE_PROFILER_RESULT]

    (now, text, tag, active), = SpyFeeder.sent
    assert tag == 0 and active is True
    assert isinstance(now, datetime.datetime)
    assert text == "{} 找不到bundle {}".format(now.strftime("%Y-%m-%d %H:%M:%S") + ".00",
                                            user_conf["bundle_path"])


def test_existing_bundle_sends_nothing(user_conf, spy):
    os.makedirs(user_conf["bundle_path"])
    start(spy, user_conf, algorithm_id=5, backtest_id=8)
    assert SpyFeeder.sent == []


def test_profiler_result_is_one_line(user_conf, spy):
    os.makedirs(user_conf["bundle_path"])
    env = start(spy, user_conf, algorithm_id=5, backtest_id=8)
    env.event_bus.publish_event(Event(EVENT.ON_LINE_PROFILER_RESULT, result="line 1\nline 2"))
    (now, text, tag, _), = SpyFeeder.sent
    assert tag == 1
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.00 PERF line 1\nline 2", text)


def test_tear_down_stores_and_delivers_the_exception(user_conf, strategy_file, feed_service):
    mod = tessar_mod_zelmo.load_mod()
    env = make_env(strategy_file)
    mod.start_up(env, Section(algorithm_id=None, backtest_id=None, comment=None))
    assert mod.active
    feed_service.stop()  # the service is down at the end of the run
    with pytest.raises(Exception):
        mod.tear_down(1, ZeroDivisionError("division by zero"))
    assert backtest_row(user_conf, mod.zelmo_env.backtest_id) == ("division by zero",)
    feed_service.start()
    mod.tear_down(1)
    lines = [r[3] for r in feed_service.records("log_feeds")]
    assert lines[-1] == "division by zero"


@pytest.mark.parametrize("due", [True, False])
def test_tear_down_waits_out_at_most_one_failed_post(user_conf, strategy_file, feed_service, due):
    import requests
    mod = tessar_mod_zelmo.load_mod()
    mod.start_up(make_env(strategy_file), Section(algorithm_id=None, backtest_id=None, comment=None))
    writer = mod.zelmo_env.feeds_writer
    if due:  # the exception line's own write sets off the flush
        writer.cnt = writer.threshold
    feed_service.status = 503
    with pytest.raises(requests.HTTPError):
        mod.tear_down(1, ZeroDivisionError("division by zero"))
    assert feed_service.attempts == 1
    assert writer.feeds_queue["log_feeds"][-1][3] == "division by zero"


# --- end to end through the stand-in host ---------------------------------------

STRATEGY = '''
def init(context):
    context.days = 0

def handle_bar(context, bar):
    context.days += 1
    if context.days == 1:
        order_shares("000001.XSHE", 1000)
        buy_open("IF88", 1)
    if context.days == 3:
        sell_close("IF88", 1)
    plot("price", bar["000001.XSHE"])
    logger.info("day {}", context.days)
    if context.days == FAIL_ON:
        raise RuntimeError("策略出错 on day {}".format(context.days))
'''


def write_strategy(tmp_path, fail_on=None):
    path = tmp_path / "strategy.py"
    path.write_text("FAIL_ON = {!r}\n".format(fail_on) + STRATEGY, encoding="utf-8")
    return str(path)


def run_days(path, days=10, **kwargs):
    start = datetime.date(2021, 1, 4)
    return run(path, start, start + datetime.timedelta(days=days - 1), progress=False,
               enable_profiler=True, **kwargs)


def test_registered_run_delivers_every_kind(user_conf, tmp_path, feed_service):
    result = run_days(write_strategy(tmp_path))
    mod = result.mods[0]
    assert result.exception is None and mod.active
    ids = [mod.zelmo_env.algorithm_id, mod.zelmo_env.backtest_id]
    for kind in KINDS:
        records = feed_service.records(kind)
        assert records, kind
        assert all(r[:2] == ids for r in records), kind
    days = result.days
    assert len(feed_service.records("risk_feeds")) == days
    assert len(feed_service.records("portfolio_feeds")) == 2 * days
    assert len(feed_service.records("trade_feeds")) == 3
    lines = [r[3] for r in feed_service.records("log_feeds")]
    assert "2021-01-04 15:00:00 INFO day 1" in lines
    assert any(" PERF " in line for line in lines)
    with closing(sqlite3.connect(feed_service.db_path)) as conn:
        stored = conn.execute("SELECT count(*) FROM feed_records").fetchone()[0]
    assert stored == sum(len(feed_service.records(k)) for k in KINDS)


def test_dropped_run_leaves_nothing_unclosed(user_conf, tmp_path, feed_service):
    """A finished run, once dropped, leaves no database or socket to the
    collector (which would warn about it)."""
    handlers = list(user_log.handlers), list(user_system_log.handlers)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        result = run_days(write_strategy(tmp_path), days=3)
        assert result.exception is None
        # The mod's log handlers stay on the host's loggers after the run
        # (and hold it); the host's next run starts from its own.
        user_log.handlers[:], user_system_log.handlers[:] = handlers
        del result
        Environment.clear()
        gc.collect()


def test_run_with_given_identifiers_does_not_register(user_conf, tmp_path, feed_service):
    run_days(write_strategy(tmp_path), days=3,
             mod_configs={"tessar_mod_zelmo": {"algorithm_id": 70, "backtest_id": 71}})
    with closing(sqlite3.connect(user_conf["sqlite_path"])) as conn:
        assert conn.execute("SELECT count(*) FROM backtests").fetchone() == (0,)
    assert {tuple(r[:2]) for r in feed_service.records("risk_feeds")} == {(70, 71)}


def test_failing_strategy_leaves_its_message(user_conf, tmp_path, feed_service):
    result = run_days(write_strategy(tmp_path, fail_on=4))
    assert str(result.exception) == "策略出错 on day 4"
    backtest_id = result.mods[0].zelmo_env.backtest_id
    assert backtest_row(user_conf, backtest_id) == ("策略出错 on day 4",)
    last_batch = feed_service.posts[-1].fields["log_feeds"]
    assert last_batch[-1][3:] == ["策略出错 on day 4", 0]


def test_no_user_configuration_delivers_nothing(home, tmp_path, feed_service):
    result = run_days(write_strategy(tmp_path), days=3)
    mod = result.mods[0]
    assert (mod.env, mod.zelmo_env, mod.active) == (None, None, False)
    assert vars(result.env.config.mod.dorrow_data) == {}
    assert feed_service.posts == []


def test_writer_error_line_comes_back_as_a_log_record(user_conf, spy):
    os.makedirs(user_conf["bundle_path"])
    env = start(spy, user_conf, algorithm_id=5, backtest_id=8)
    env.calendar_dt = datetime.datetime(2021, 1, 4, 15)
    writer = spy.zelmo_env.feeds_writer
    writer.write("bogus_feeds", [("x",)])
    (record,) = writer.feeds_queue["log_feeds"]
    assert record == (5, 8, "2021-01-04 15:00:00",
                      "2021-01-04 15:00:00 ERROR bogus_feeds not exist in queue", 0)
    assert writer.cnt == 2  # the outer write, then the nested log write
