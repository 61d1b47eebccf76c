"""Runs a strategy file day by day over generated prices, with mods loaded.

A strategy file defines `init(context)` and `handle_bar(context, bar_dict)`;
it may call `order_shares`, `buy_open`, `sell_close`, `plot`, `history` and
log through `logger`.  Prices are seeded random walks, so a run needs no data
download and repeats exactly.
"""
import datetime
import importlib
import math
import sys
import time

import numpy as np

from .config import Section
from .environment import Environment
from .events import EVENT, Event
from .model import (POSITION_EFFECT, SIDE, BenchmarkPortfolio, DataProxy, FutureAccount,
                    FuturePosition, PlotStore, Portfolio, StockAccount, StockPosition,
                    TradingCalendar, Trade)
from .utils.logger import user_log, user_system_log

EXIT_SUCCESS, EXIT_USER_ERROR = 0, 1
DEFAULT_STOCKS = ("000001.XSHE", "600000.XSHG", "000002.XSHE")
DEFAULT_FUTURES = ("IF88",)


class RunResult:
    def __init__(self, env, mods, days, exception):
        self.env = env
        self.mods = mods
        self.days = days
        self.exception = exception


def make_config(strategy_file, start_date, end_date, accounts, benchmark, enable_profiler):
    calendar = TradingCalendar.weekdays(start_date, end_date)
    return Section(
        base=Section(start_date=start_date, end_date=end_date, strategy_file=strategy_file,
                     accounts=dict(accounts), frequency="1d", benchmark=benchmark,
                     margin_multiplier=1, trading_calendar=calendar,
                     data_bundle_path="~/.tessar/bundle"),
        mod=Section(sys_simulation=Section(commission_multiplier=1, matching_type="current_bar",
                                           slippage=0),
                    sys_risk=Section(validate_position=True),
                    dorrow_data=Section()),
        extra=Section(enable_profiler=enable_profiler),
    )


def generate_prices(names, days, seed):
    rng = np.random.RandomState(seed)
    steps = rng.normal(0.0003, 0.018, size=(days, len(names)))
    start = rng.uniform(8, 60, size=len(names))
    return {name: start[i] * np.exp(np.cumsum(steps[:, i])) for i, name in enumerate(names)}


class Backtest:
    def __init__(self, env, stocks, futures, benchmark, seed):
        self.env = env
        base = env.config.base
        self.calendar = base.trading_calendar
        self.prices = generate_prices(list(stocks) + list(futures) + [benchmark],
                                      len(self.calendar), seed)
        self.futures = set(futures)
        self.benchmark = benchmark
        self.index = 0
        self.order_seq = 0
        accounts = {}
        if base.accounts.get("STOCK"):
            accounts["STOCK"] = StockAccount(base.accounts["STOCK"])
        if base.accounts.get("FUTURE"):
            accounts["FUTURE"] = FutureAccount(base.accounts["FUTURE"])
        env.portfolio = Portfolio(accounts, base.start_date)
        env.benchmark_portfolio = (BenchmarkPortfolio(env.portfolio.starting_cash,
                                                      self.prices[benchmark][0])
                                   if benchmark else None)
        env.plot_store = PlotStore()

    def price(self, order_book_id):
        return float(self.prices[order_book_id][self.index])

    def history(self, order_book_id, count):
        return self.prices[order_book_id][max(0, self.index + 1 - count):self.index + 1]

    def _fill(self, order_book_id, side, effect, quantity):
        price = self.price(order_book_id)
        value = price * quantity
        future = order_book_id in self.futures
        commission = value * 300 * 0.000023 if future else max(5.0, value * 0.0003)
        tax = 0.0 if future or side is SIDE.BUY else value * 0.001
        self.order_seq += 1
        trade = Trade(order_book_id, self.order_seq, side, effect, self.order_seq,
                      quantity, price, commission, tax)
        portfolio = self.env.portfolio
        if future:
            account = portfolio.accounts["FUTURE"]
            position = account.positions.get(order_book_id)
            if position is None:
                position = account.positions[order_book_id] = FuturePosition(order_book_id)
            position.last_price = price
            if side is SIDE.BUY:
                total = position.buy_quantity + quantity
                position.buy_avg_open_price = (position.buy_avg_open_price * position.buy_quantity + value) / total
                position.buy_quantity = total
                position.buy_transaction_cost += trade.transaction_cost
            else:
                closed = min(quantity, position.buy_quantity)
                account.realized += (price - position.buy_avg_open_price) * closed * position.multiplier
                position.buy_quantity -= closed
                position.sell_transaction_cost += trade.transaction_cost
        else:
            account = portfolio.accounts["STOCK"]
            position = account.positions.get(order_book_id)
            if position is None:
                position = account.positions[order_book_id] = StockPosition(order_book_id)
            position.last_price = price
            if side is SIDE.BUY:
                total = position.quantity + quantity
                position.avg_price = (position.avg_price * position.quantity + value) / total
                position.quantity = total
                account.cash -= value
            else:
                sold = min(quantity, position.quantity)
                position.quantity -= sold
                account.cash += price * sold
            position.transaction_cost += trade.transaction_cost
            account.cash -= trade.transaction_cost
        account.transaction_cost += trade.transaction_cost
        self.env.event_bus.publish_event(Event(EVENT.TRADE, trade=trade))
        return trade

    def order_shares(self, order_book_id, amount):
        if amount == 0:
            return None
        side = SIDE.BUY if amount > 0 else SIDE.SELL
        effect = POSITION_EFFECT.OPEN if amount > 0 else POSITION_EFFECT.CLOSE
        return self._fill(order_book_id, side, effect, abs(amount))

    def buy_open(self, order_book_id, amount):
        return self._fill(order_book_id, SIDE.BUY, POSITION_EFFECT.OPEN, amount)

    def sell_close(self, order_book_id, amount):
        return self._fill(order_book_id, SIDE.SELL, POSITION_EFFECT.CLOSE, amount)

    def plot(self, name, value):
        self.env.plot_store.add_plot(self.env.trading_dt.date(), name, value)

    def _mark(self):
        for account in self.env.portfolio.accounts.values():
            for order_book_id, position in account.positions.items():
                position.last_price = self.price(order_book_id)
        if self.env.benchmark_portfolio is not None:
            self.env.benchmark_portfolio.price = self.price(self.benchmark)
        self._refresh()

    def _refresh(self):
        self.env.portfolio.refresh()
        if self.env.benchmark_portfolio is not None:
            self.env.benchmark_portfolio.refresh()


def _load_strategy(path, api):
    namespace = dict(api)
    with open(path, encoding="utf-8-sig") as f:
        code = compile(f.read(), path, "exec")
    exec(code, namespace)
    return namespace


def _progress(i, total, day, stream):
    width = 30
    done = int(width * (i + 1) / total)
    stream.write("\r[{}{}] {:3d}% {}".format("#" * done, "." * (width - done),
                                            int(100 * (i + 1) / total), day))
    if i + 1 == total:
        stream.write("\n")
    stream.flush()


def run(strategy_file, start_date, end_date, mods=("tessar_mod_zelmo",), mod_configs=None,
        accounts=(("STOCK", 1000000), ("FUTURE", 1000000)), benchmark="000300.XSHG",
        stocks=DEFAULT_STOCKS, futures=DEFAULT_FUTURES, enable_profiler=False, seed=7,
        progress=None):
    """Runs one backtest; returns a RunResult (its `exception` says how it ended)."""
    config = make_config(strategy_file, start_date, end_date, accounts, benchmark, enable_profiler)
    env = Environment(config)
    env.data_proxy = DataProxy()
    backtest = Backtest(env, stocks, futures, benchmark, seed)

    loaded = []
    for name in mods:
        package = importlib.import_module(name)
        mod = package.load_mod()
        settings = dict(getattr(package, "__config__", {}))
        settings.update((mod_configs or {}).get(name, {}))
        mod.start_up(env, Section(**settings))
        loaded.append(mod)

    if progress is None:
        progress = sys.stderr.isatty()
    exception = None
    calendar = backtest.calendar
    handle_bar_seconds = 0.0
    try:
        env.event_bus.publish_event(Event(EVENT.POST_SYSTEM_INIT))
        context = Section(portfolio=env.portfolio)
        strategy = _load_strategy(strategy_file, {
            "order_shares": backtest.order_shares, "buy_open": backtest.buy_open,
            "sell_close": backtest.sell_close, "plot": backtest.plot,
            "history": backtest.history, "logger": user_log,
        })
        if "init" in strategy:
            strategy["init"](context)
        handle_bar = strategy.get("handle_bar")
        for i, day in enumerate(calendar):
            backtest.index = i
            env.calendar_dt = env.trading_dt = datetime.datetime.combine(day, datetime.time(15, 0))
            backtest._mark()
            if handle_bar is not None:
                started = time.perf_counter()
                handle_bar(context, {sid: backtest.price(sid) for sid in backtest.prices})
                handle_bar_seconds += time.perf_counter() - started
            backtest._refresh()
            env.event_bus.publish_event(Event(EVENT.PRE_SETTLEMENT))
            days = (day - start_date).days + 2
            env.portfolio.settle(days)
            if env.benchmark_portfolio is not None:
                env.benchmark_portfolio.settle(days)
            if progress:
                _progress(i, len(calendar), day, sys.stderr)
        if enable_profiler:
            result = ("Timer unit: 1e-06 s\n\nTotal time: {:.6f} s\nFile: {}\n"
                      "Function: handle_bar").format(handle_bar_seconds, strategy_file)
            env.event_bus.publish_event(Event(EVENT.ON_LINE_PROFILER_RESULT, result=result))
    except Exception as e:
        exception = e
        user_system_log.error("strategy failed: {}", e)

    code = EXIT_SUCCESS if exception is None else EXIT_USER_ERROR
    for mod in reversed(loaded):
        mod.tear_down(code, exception)
    return RunResult(env, loaded, len(calendar), exception)
