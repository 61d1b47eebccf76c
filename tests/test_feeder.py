"""Feed records built from the host's events."""
import collections
import datetime
import math
import types

import numpy as np
import pytest
import requests
from sqlbuilder.smartsql import Q

from tessar.events import EVENT, Event
from tessar.model import (POSITION_EFFECT, SIDE, BenchmarkPortfolio, FutureAccount,
                          FuturePosition, PlotStore, Portfolio, StockAccount, StockPosition,
                          Trade, TradingCalendar)
from tessar.utils.risk import Risk
from tessar_mod_zelmo.feeder import feeder as feeder_module
from tessar_mod_zelmo.feeder.feeder import Feeder
from tessar_mod_zelmo.feeder.pellard import FeedWriter

from conftest import make_env

START = datetime.date(2021, 1, 4)
CALENDAR = [START + datetime.timedelta(days=d) for d in (0, 1, 2, 3, 4, 7, 8)]
WHEN = "2021-01-05 15:00:00"


class RecordingWriter:
    def __init__(self):
        self.writes = []

    def write(self, key, arr):
        self.writes.append((key, arr))

    def kinds(self):
        return [k for k, _ in self.writes]

    def records(self, kind):
        return [r for k, arr in self.writes if k == kind for r in arr]


@pytest.fixture
def env():
    env = make_env(calendar=TradingCalendar(CALENDAR))
    stock = StockAccount(100000)
    env.portfolio = Portfolio({"STOCK": stock}, START)
    env.benchmark_portfolio = None
    env.plot_store = None
    set_day(env, CALENDAR[1])
    return env


def set_day(env, day):
    env.calendar_dt = env.trading_dt = datetime.datetime.combine(day, datetime.time(15))


@pytest.fixture
def writer():
    return RecordingWriter()


@pytest.fixture
def feeder(env, writer):
    zelmo_env = types.SimpleNamespace(env=env, algorithm_id=4, backtest_id=17,
                                      feeds_writer=writer, sqlite_result=None)
    return Feeder(zelmo_env)


@pytest.fixture
def initialised(feeder):
    feeder._on_post_system_init(None)
    return feeder


@pytest.fixture
def risk_calls(monkeypatch):
    calls = []

    def spy(*args):
        calls.append(args)
        return Risk(*args)

    monkeypatch.setattr(feeder_module, "Risk", spy)
    return calls


def trade(commission=5.0, tax=0.0, side=SIDE.BUY):
    return Trade("000001.XSHE", 11, side, POSITION_EFFECT.OPEN, 21, 300, 12.5, commission, tax)


def test_construction_and_event_wiring(env, feeder):
    assert list(vars(feeder)) == ["zelmo_env", "_env", "_daily_returns",
                                  "_benchmark_daily_returns", "_risk_free_rate",
                                  "_trading_calendar"]
    assert feeder._env is env and feeder._daily_returns is None
    feeder.register_event()
    bus = env.event_bus
    assert [l.__name__ for l in bus.listeners(EVENT.TRADE)] == ["_on_trade"]
    assert [l.__name__ for l in bus.listeners(EVENT.PRE_SETTLEMENT)] == ["_on_pre_settlement"]
    assert [l.__name__ for l in bus.listeners(EVENT.POST_SYSTEM_INIT)] == ["_on_post_system_init"]
    assert list(bus._listeners) == [EVENT.TRADE, EVENT.PRE_SETTLEMENT, EVENT.POST_SYSTEM_INIT]
    try:
        Q(result=feeder.zelmo_env.sqlite_result)
    except AttributeError:
        # The library's query object cannot clone itself on this interpreter
        # (copy.copy of a super object); _get_query hands on its failure.
        with pytest.raises(AttributeError):
            feeder._get_query()
    else:
        assert type(feeder._get_query()).__name__ == "Query"
    with pytest.raises(TypeError):
        feeder.send_log(None, "x")


def test_post_system_init(env, feeder):
    feeder._on_post_system_init(None)
    assert feeder._risk_free_rate == 0.03
    assert feeder._trading_calendar is env.config.base.trading_calendar
    for array in (feeder._daily_returns, feeder._benchmark_daily_returns):
        assert array.dtype == np.float64 and array.tolist() == [0.0] * len(CALENDAR)
    assert feeder._daily_returns is not feeder._benchmark_daily_returns
    env.config.base.trading_calendar = TradingCalendar([])
    feeder._on_post_system_init(None)
    assert len(feeder._daily_returns) == 0


def test_trade_records(feeder, writer):
    feeder._on_trade(Event(EVENT.TRADE, trade=trade(commission=float("nan"), tax=0.0)))
    fee_unknown = trade(side=SIDE.SELL)
    fee_unknown.commission = None
    feeder._on_trade(Event(EVENT.TRADE, trade=fee_unknown))
    assert writer.kinds() == ["trade_feeds", "trade_feeds"]
    assert [len(arr) for _, arr in writer.writes] == [1, 1]
    first, second = writer.records("trade_feeds")
    assert first[:11] == (4, 17, WHEN, "000001.XSHE", 11, "SIDE.BUY", "POSITION_EFFECT.OPEN", 21,
                          first[8], 300, 12.5)
    assert first[11] is None and first[12] == 0.0
    assert second[5] == "SIDE.SELL" and second[11] is None
    # The identifiers are read afresh for every record.
    feeder.zelmo_env.backtest_id = 18
    feeder._on_trade(Event(EVENT.TRADE, trade=trade()))
    assert writer.records("trade_feeds")[2][1] == 18


def test_trade_with_text_fee_is_not_queued(feeder, writer):
    text_fee = trade()
    text_fee.commission = "5"
    with pytest.raises(TypeError):
        feeder._on_trade(Event(EVENT.TRADE, trade=text_fee))
    assert writer.writes == []


def test_log_records(feeder, writer):
    when = datetime.datetime(2021, 1, 5, 9, 31, 0, 250)
    feeder.send_log(when, None, 0)
    assert writer.writes == []
    feeder.send_log(when, "", 0)  # before POST_SYSTEM_INIT
    feeder.send_log(datetime=when, text="买入", log_tag=1)
    assert writer.writes == [("log_feeds", [(4, 17, "2021-01-05 09:31:00.000250", "", 0)]),
                             ("log_feeds", [(4, 17, "2021-01-05 09:31:00.000250", "买入", 1)])]


class Zone(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=8, seconds=1)


@pytest.mark.parametrize("when", [
    datetime.datetime(2021, 1, 5), datetime.datetime(5, 1, 5, 9, 3, 7),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999999),
    datetime.datetime(2021, 1, 5, 1, 30, fold=1),
    datetime.datetime(2021, 1, 5, 15, tzinfo=datetime.timezone.utc),
    datetime.datetime(2021, 1, 5, 15, 0, 0, 7, tzinfo=Zone()),
    type("Later", (datetime.datetime,), {"__str__": lambda self: "later"})(2021, 1, 5)])
def test_a_records_time_is_str_of_the_date_time(feeder, writer, when):
    for _ in range(2):  # made, then remembered
        feeder.send_log(when, "x", 0)
    assert [r[2] for r in writer.records("log_feeds")] == [str(when)] * 2


@pytest.mark.parametrize("value", [float("inf"), -float("inf"), 0.0, 3, np.float32(1.5),
                                   np.int64(2), True])
def test_none_if_nan_returns_its_very_argument(feeder, value):
    assert feeder.none_if_nan(value) is value


@pytest.mark.parametrize("value", [float("nan"), np.float16("nan"), np.float32("nan"),
                                   np.float64("nan"), np.longdouble("nan"), None])
def test_none_if_nan_gives_none(feeder, value):
    assert feeder.none_if_nan(value) is None


def test_none_if_nan_refuses_text(feeder):
    with pytest.raises(TypeError):
        feeder.none_if_nan("1.0")


# --- the daily feeds ------------------------------------------------------------

def test_day_without_benchmark(env, initialised, writer, risk_calls):
    env.portfolio.static_unit_net_value = 0.98
    env.portfolio.refresh()
    initialised._on_pre_settlement(None)
    assert writer.kinds() == ["risk_feeds", "portfolio_feeds", "account_feeds"]
    (risk,) = writer.records("risk_feeds")
    assert risk[:3] == (4, 17, WHEN) and len(risk) == 12
    (portfolio,) = writer.records("portfolio_feeds")
    p = env.portfolio
    assert portfolio == (4, 17, WHEN, False, p.cash, p.total_value, p.market_value,
                         p.unit_net_value, p.units, p.static_unit_net_value, p.total_returns,
                         p.annualized_returns, p.portfolio_value, p.daily_returns, p.starting_cash)
    assert initialised._daily_returns[1] == pytest.approx(1 / 0.98 - 1)
    assert initialised._benchmark_daily_returns[1] == 0.0
    (args,) = risk_calls
    assert len(args[0]) == 2 and args[2] == 0.03 and args[3] == 2


def test_day_with_benchmark(env, initialised, writer):
    env.benchmark_portfolio = BenchmarkPortfolio(100000, 10.0)
    env.benchmark_portfolio.price = 10.5
    env.benchmark_portfolio.refresh()
    initialised._on_pre_settlement(None)
    (_, records), = [w for w in writer.writes if w[0] == "portfolio_feeds"]
    assert [r[3] for r in records] == [False, True]
    assert records[1][13] == pytest.approx(0.05)
    assert initialised._benchmark_daily_returns[1] == pytest.approx(0.05)


def test_first_day_and_views(env, initialised, risk_calls):
    set_day(env, START)
    initialised._on_pre_settlement(None)
    daily, bench, _, days = risk_calls[0]
    assert len(daily) == len(bench) == 1 and days == 1
    assert np.shares_memory(daily, initialised._daily_returns)
    assert np.shares_memory(bench, initialised._benchmark_daily_returns)
    array = initialised._daily_returns
    set_day(env, CALENDAR[1])
    initialised._on_pre_settlement(None)
    assert initialised._daily_returns is array
    assert np.shares_memory(risk_calls[1][0], array)


def test_date_between_calendar_days_takes_the_later_slot(env, initialised):
    env.portfolio.static_unit_net_value = 0.5
    env.portfolio.refresh()
    set_day(env, START + datetime.timedelta(days=5))  # a Saturday
    initialised._on_pre_settlement(None)
    assert initialised._daily_returns.tolist().index(1.0) == 5


def test_date_after_the_calendar_is_recorded(env, initialised, writer, risk_calls):
    env.portfolio.static_unit_net_value = 0.5
    env.portfolio.refresh()
    set_day(env, CALENDAR[-1] + datetime.timedelta(days=30))
    initialised._on_pre_settlement(None)
    assert len(initialised._daily_returns) == len(CALENDAR) + 1
    assert initialised._daily_returns[-1] == 1.0
    assert initialised._daily_returns[:-1].tolist() == [0.0] * len(CALENDAR)
    assert len(risk_calls[0][0]) == len(CALENDAR) + 1
    assert writer.kinds()[:2] == ["risk_feeds", "portfolio_feeds"]


def test_plot_points(env, initialised, writer):
    env.plot_store = PlotStore()
    today = env.trading_dt.date()
    for name, value in [("zero", 0), ("nan", float("nan")), ("none", None), ("false", False)]:
        env.plot_store.add_plot(today, name, value)
    env.plot_store.add_plot(START, "yesterday only", 5.0)
    initialised._on_pre_settlement(None)
    assert "plot_feeds" not in writer.kinds()
    env.plot_store.add_plot(today, "ma", np.int64(3))
    env.plot_store.add_plot(today, "ratio", -0.5)
    # A series that is a mapping of its own is asked as a mapping is.
    env.plot_store.get_plots()["mapped"] = collections.UserDict({today: 2.0})
    env.plot_store.get_plots()["mapped before"] = collections.UserDict({START: 2.0})
    initialised._on_pre_settlement(None)
    assert writer.records("plot_feeds") == [(4, 17, WHEN, "ma", 3), (4, 17, WHEN, "ratio", -0.5),
                                            (4, 17, WHEN, "mapped", 2.0)]


def test_plot_point_of_text_fails(env, initialised):
    env.plot_store = PlotStore()
    env.plot_store.add_plot(env.trading_dt.date(), "label", "text")
    with pytest.raises(TypeError):
        initialised._on_pre_settlement(None)


def test_position_and_account_records(env, initialised, writer):
    stock_account = env.portfolio.accounts["STOCK"]
    stock = stock_account.positions.setdefault("000001.XSHE", StockPosition("000001.XSHE"))
    stock.quantity, stock.avg_price, stock.last_price = 300, 12.0, 12.5
    future_account = FutureAccount(50000)
    future = future_account.positions.setdefault("IF88", FuturePosition("IF88"))
    future.buy_quantity, future.buy_avg_open_price, future.last_price = 2, 4000.0, 4010.0
    env.portfolio.accounts["FUTURE"] = future_account
    env.portfolio.refresh()
    initialised._on_pre_settlement(None)

    assert writer.kinds() == ["risk_feeds", "portfolio_feeds", "position_feeds", "account_feeds"]
    stock_record, future_record = writer.records("position_feeds")
    assert len(stock_record) == len(future_record) == 24
    assert stock_record[3:10] == ("000001.XSHE", "DEFAULT_ACCOUNT_TYPE.STOCK", 300, 12.5, 12.0,
                                  3750.0, None)
    assert stock_record[10:20] == (None,) * 10 and stock_record[20] == 150.0
    assert future_record[4] == "DEFAULT_ACCOUNT_TYPE.FUTURE"
    assert future_record[12] == 2 and future_record[11] == future.buy_margin
    assert None not in future_record

    stock_row, future_row = writer.records("account_feeds")
    assert stock_row == (4, 17, WHEN, "STOCK", stock_account.cash, 0.0,
                         stock_account.market_value, stock_account.total_value, None)
    assert future_row[8] == future_account.margin


def test_position_attribute_error_other_than_missing_propagates(env, initialised, writer):
    class Broken(StockPosition):
        @property
        def buy_pnl(self):
            raise ZeroDivisionError("no price")

    env.portfolio.accounts["STOCK"].positions["X"] = Broken("X")
    env.portfolio.refresh()
    with pytest.raises(ZeroDivisionError):
        initialised._on_pre_settlement(None)
    assert writer.kinds() == ["risk_feeds", "portfolio_feeds"]


def test_positions_are_walked_as_their_items_walk(env, initialised, writer):
    """A mapping's own items() is honoured; a plain dict that grows while its
    records are made fails as iterating its items() would."""
    class Listed(dict):
        def items(self):
            return [("only", StockPosition("only"))]

    class Growing(StockPosition):
        @property
        def margin(self):
            env.portfolio.positions["late"] = StockPosition("late")

    env.portfolio.refresh()
    env.portfolio.positions = Listed(hidden=StockPosition("hidden"))
    initialised._on_pre_settlement(None)
    assert [r[3] for r in writer.records("position_feeds")] == ["only"]
    env.portfolio.positions = {"growing": Growing("growing")}
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        initialised._on_pre_settlement(None)


def test_position_fields_read_as_getattr_reads_them(env, initialised, writer):
    """Fields come as `position.name` gives them whatever the class does: a
    property over an instance entry of the same name, __getattr__ for the
    missing ones, a property added to the class after a day was recorded,
    and a getter that replaces the instance's __dict__ halfway through."""
    class Shadowed(StockPosition):
        last_price = property(lambda self: 99.0, lambda self, v: None)

    class Defaulting(StockPosition):
        def __getattr__(self, name):
            return "default " + name

    class Changing(StockPosition):
        pass

    class Swapping(StockPosition):
        @property
        def avg_price(self):
            self.__dict__ = dict(self.__dict__, market_value=5.0)
            return 1.0

        @avg_price.setter
        def avg_price(self, value):
            pass

    positions = env.portfolio.accounts["STOCK"].positions
    for cls in (Shadowed, Defaulting, Changing, Swapping):
        positions[cls.__name__] = p = cls(cls.__name__)
        p.quantity, p.last_price = 10, 2.0
    positions["Shadowed"].__dict__["last_price"] = 3.0
    env.portfolio.refresh()

    def day():
        writer.writes.clear()
        initialised._on_pre_settlement(None)
        return {r[3]: r for r in writer.records("position_feeds")}

    first = day()
    assert first["Shadowed"][6] == 99.0
    assert first["Defaulting"][10] == "default buy_pnl"
    assert first["Changing"][20] == 20.0
    assert first["Swapping"][7:9] == (1.0, 5.0)
    Changing.pnl = property(lambda self: 7.0)
    assert day()["Changing"][20] == 7.0


PORTFOLIO_FIELDS = ["cash", "total_value", "market_value", "unit_net_value", "units",
                    "static_unit_net_value", "total_returns", "annualized_returns",
                    "portfolio_value", "daily_returns", "starting_cash"]


def test_account_without_cash_fails_after_earlier_kinds(env, initialised, writer):
    no_cash = types.SimpleNamespace(transaction_cost=0, market_value=0, total_value=0)
    env.portfolio = types.SimpleNamespace(positions={}, accounts={"X": no_cash},
                                          **{f: 0.0 for f in PORTFOLIO_FIELDS})
    with pytest.raises(AttributeError):
        initialised._on_pre_settlement(None)
    assert writer.kinds() == ["risk_feeds", "portfolio_feeds"]


def test_empty_portfolio_skips_its_writes(env, initialised, writer):
    env.portfolio.accounts.clear()
    initialised._on_pre_settlement(None)
    assert writer.kinds() == ["risk_feeds", "portfolio_feeds"]


def test_a_replaced_none_if_nan_is_honoured(env, initialised, writer):
    class Zeroing(Feeder):
        def none_if_nan(self, v):
            return 0.0 if v != v else v

    zeroing = Zeroing(initialised.zelmo_env)
    zeroing._on_post_system_init(None)
    zeroing._on_trade(Event(EVENT.TRADE, trade=trade(commission=float("nan"))))
    assert writer.records("trade_feeds")[-1][11] == 0.0
    zeroing._on_pre_settlement(None)
    assert None not in writer.records("risk_feeds")[-1][3:]  # NaN figures on the first day
    initialised.none_if_nan = lambda v: "filtered"          # an instance attribute too
    initialised._on_trade(Event(EVENT.TRADE, trade=trade()))
    assert writer.records("trade_feeds")[-1][11:] == ("filtered", "filtered")


class CountingWriter(FeedWriter):
    def write(self, key, arr):
        self.seen = getattr(self, "seen", []) + [key]
        super().write(key, arr)


@pytest.mark.parametrize("replace", [None, "subclass", "instance"])
def test_records_reach_the_writer_as_its_write_is_resolved(env, replace):
    """The feed writer's own write runs straight from the feeder; a write a
    subclass or the instance put in its place runs instead; a failed flush
    reaches the feeder's caller with the record kept."""
    writer = (CountingWriter if replace == "subclass" else FeedWriter)("http://127.0.0.1:1/feed")
    if replace == "instance":
        seen = []
        writer.write = lambda key, arr: seen.append(key)
    zelmo_env = types.SimpleNamespace(env=env, algorithm_id=4, backtest_id=17,
                                      feeds_writer=writer, sqlite_result=None)
    feeder = Feeder(zelmo_env)
    feeder.send_log(datetime.datetime(2021, 1, 5, 9, 31), "a", 0)
    if replace == "instance":
        assert seen == ["log_feeds"] and "log_feeds" not in writer.__dict__
        return
    writer.cnt = writer.threshold  # the next write flushes, to a service that is not there
    with pytest.raises(requests.ConnectionError):
        feeder.send_log(datetime.datetime(2021, 1, 5, 9, 32), "b", 0)
    assert [r[3] for r in writer.feeds_queue["log_feeds"]] == ["a", "b"]
    if replace == "subclass":
        assert writer.seen == ["log_feeds", "log_feeds"]


def test_one_record_writes_reach_any_queue_with_extend(env):
    import collections
    writer = FeedWriter("http://127.0.0.1:1/feed")
    writer.feeds_queue["log_feeds"] = collections.deque()
    zelmo_env = types.SimpleNamespace(env=env, algorithm_id=4, backtest_id=17,
                                      feeds_writer=writer, sqlite_result=None)
    Feeder(zelmo_env).send_log(datetime.datetime(2021, 1, 5, 9, 31), "a", 0)
    assert list(writer.feeds_queue["log_feeds"]) == [(4, 17, "2021-01-05 09:31:00", "a", 0)]
    assert writer.cnt == 1
