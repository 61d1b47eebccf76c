"""Portfolio objects, trades, plots, data and calendar of the stand-in host."""
import bisect
import datetime
from enum import Enum


class SIDE(Enum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_EFFECT(Enum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class DEFAULT_ACCOUNT_TYPE(Enum):
    STOCK = "STOCK"
    FUTURE = "FUTURE"


class Trade:
    def __init__(self, order_book_id, order_id, side, position_effect, exec_id,
                 last_quantity, last_price, commission, tax):
        self.order_book_id = order_book_id
        self.order_id = order_id
        self.side = side
        self.position_effect = position_effect
        self.exec_id = exec_id
        self.last_quantity = last_quantity
        self.last_price = last_price
        self.commission = commission
        self.tax = tax
        self.transaction_cost = commission + tax


# Figures of positions, accounts and portfolios are plain attributes that
# refresh() recomputes; the runner refreshes them once a bar, after trading,
# as a host settles its books before the day's events.

class StockPosition:
    """A stock position: no buy/sell break-down, no margin."""

    type = DEFAULT_ACCOUNT_TYPE.STOCK

    def __init__(self, order_book_id):
        self.order_book_id = order_book_id
        self.quantity = 0
        self.avg_price = 0.0
        self.last_price = 0.0
        self.transaction_cost = 0.0
        self.refresh()

    def refresh(self):
        self.market_value = self.quantity * self.last_price
        self.pnl = (self.last_price - self.avg_price) * self.quantity


class FuturePosition:
    """A future position with both directions kept apart."""

    type = DEFAULT_ACCOUNT_TYPE.FUTURE

    def __init__(self, order_book_id, multiplier=300, margin_rate=0.12):
        self.order_book_id = order_book_id
        self.multiplier = multiplier
        self.margin_rate = margin_rate
        self.buy_quantity = 0
        self.sell_quantity = 0
        self.buy_avg_open_price = 0.0
        self.sell_avg_open_price = 0.0
        self.buy_transaction_cost = 0.0
        self.sell_transaction_cost = 0.0
        self.last_price = 0.0
        self.refresh()

    def refresh(self):
        value = self.last_price * self.multiplier
        self.quantity = self.buy_quantity - self.sell_quantity
        self.avg_price = self.buy_avg_open_price if self.quantity >= 0 else self.sell_avg_open_price
        self.buy_market_value = self.buy_quantity * value
        self.sell_market_value = -self.sell_quantity * value
        self.market_value = self.buy_market_value + self.sell_market_value
        self.buy_margin = self.buy_quantity * value * self.margin_rate
        self.sell_margin = self.sell_quantity * value * self.margin_rate
        self.margin = self.buy_margin + self.sell_margin
        self.buy_pnl = (self.last_price - self.buy_avg_open_price) * self.buy_quantity * self.multiplier
        self.sell_pnl = (self.sell_avg_open_price - self.last_price) * self.sell_quantity * self.multiplier
        self.pnl = self.buy_pnl + self.sell_pnl
        self.transaction_cost = self.buy_transaction_cost + self.sell_transaction_cost


class StockAccount:
    def __init__(self, starting_cash):
        self.starting_cash = starting_cash
        self.cash = float(starting_cash)
        self.positions = {}
        self.transaction_cost = 0.0
        self.refresh()

    def refresh(self):
        for p in self.positions.values():
            p.refresh()
        self.market_value = sum(p.market_value for p in self.positions.values())
        self.total_value = self.cash + self.market_value


class FutureAccount:
    def __init__(self, starting_cash):
        self.starting_cash = starting_cash
        self.realized = 0.0
        self.positions = {}
        self.transaction_cost = 0.0
        self.refresh()

    def refresh(self):
        for p in self.positions.values():
            p.refresh()
        positions = self.positions.values()
        self.margin = sum(p.margin for p in positions)
        self.market_value = sum(p.market_value for p in positions)
        self.total_value = (self.starting_cash + self.realized + sum(p.pnl for p in positions)
                            - self.transaction_cost)
        self.cash = self.total_value - self.margin


class _UnitValued:
    """Unit net value bookkeeping of a portfolio (the strategy's or the benchmark's)."""

    def _set_unit_net_value(self, unit_net_value):
        self.unit_net_value = unit_net_value
        self.daily_returns = unit_net_value / self.static_unit_net_value - 1.0
        self.total_returns = unit_net_value - 1.0
        self.annualized_returns = unit_net_value ** (365.0 / self.days) - 1.0

    def settle(self, days):
        self.static_unit_net_value = self.unit_net_value
        self.days = days


class Portfolio(_UnitValued):
    """The strategy's portfolio over its accounts, valued in units of 1.0."""

    def __init__(self, accounts, start_date):
        self.accounts = accounts
        self.start_date = start_date
        self.starting_cash = sum(a.starting_cash for a in accounts.values())
        self.units = self.starting_cash
        self.static_unit_net_value = 1.0
        self.days = 1
        self.refresh()

    def refresh(self):
        accounts = self.accounts.values()
        positions = {}
        for account in accounts:
            account.refresh()
            positions.update(account.positions)
        self.positions = positions
        self.cash = sum(a.cash for a in accounts)
        self.market_value = sum(a.market_value for a in accounts)
        self.total_value = self.portfolio_value = sum(a.total_value for a in accounts)
        self._set_unit_net_value(self.total_value / self.units)


class BenchmarkPortfolio(_UnitValued):
    """Follows the benchmark index with the strategy's starting cash."""

    def __init__(self, starting_cash, first_price):
        self.starting_cash = starting_cash
        self.units = starting_cash
        self.first_price = first_price
        self.price = first_price
        self.static_unit_net_value = 1.0
        self.accounts = {}
        self.positions = {}
        self.cash = 0.0
        self.days = 1
        self.refresh()

    def refresh(self):
        self._set_unit_net_value(self.price / self.first_price)
        self.total_value = self.market_value = self.portfolio_value = self.unit_net_value * self.units


class PlotStore:
    """User plot points: series name -> {date: value}."""

    def __init__(self):
        self._plots = {}

    def add_plot(self, date, name, value):
        self._plots.setdefault(name, {})[date] = value

    def get_plots(self):
        return self._plots


class DataProxy:
    def __init__(self, risk_free_rate=0.0275):
        self.risk_free_rate = risk_free_rate

    def get_risk_free_rate(self, start_date, end_date):
        return self.risk_free_rate


class TradingCalendar:
    """Sorted trading days with the search a sorted index offers."""

    def __init__(self, days):
        self.days = sorted(days)

    @classmethod
    def weekdays(cls, start, end):
        days, day = [], start
        while day <= end:
            if day.weekday() < 5:
                days.append(day)
            day += datetime.timedelta(days=1)
        return cls(days)

    def __len__(self):
        return len(self.days)

    def __iter__(self):
        return iter(self.days)

    def __getitem__(self, i):
        return self.days[i]

    def searchsorted(self, date):
        return bisect.bisect_left(self.days, date)
