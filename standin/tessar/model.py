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


class StockPosition:
    """A stock position: no buy/sell break-down, no margin."""

    type = DEFAULT_ACCOUNT_TYPE.STOCK

    def __init__(self, order_book_id):
        self.order_book_id = order_book_id
        self.quantity = 0
        self.avg_price = 0.0
        self.last_price = 0.0
        self.transaction_cost = 0.0
        self.pnl = 0.0

    @property
    def market_value(self):
        return self.quantity * self.last_price


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

    quantity = property(lambda self: self.buy_quantity - self.sell_quantity)
    avg_price = property(lambda self: self.buy_avg_open_price if self.quantity >= 0 else self.sell_avg_open_price)
    buy_market_value = property(lambda self: self.buy_quantity * self.last_price * self.multiplier)
    sell_market_value = property(lambda self: -self.sell_quantity * self.last_price * self.multiplier)
    market_value = property(lambda self: self.buy_market_value + self.sell_market_value)
    buy_margin = property(lambda self: self.buy_quantity * self.last_price * self.multiplier * self.margin_rate)
    sell_margin = property(lambda self: self.sell_quantity * self.last_price * self.multiplier * self.margin_rate)
    margin = property(lambda self: self.buy_margin + self.sell_margin)
    buy_pnl = property(lambda self: (self.last_price - self.buy_avg_open_price) * self.buy_quantity * self.multiplier)
    sell_pnl = property(lambda self: (self.sell_avg_open_price - self.last_price) * self.sell_quantity * self.multiplier)
    pnl = property(lambda self: self.buy_pnl + self.sell_pnl)
    transaction_cost = property(lambda self: self.buy_transaction_cost + self.sell_transaction_cost)


class StockAccount:
    def __init__(self, starting_cash):
        self.starting_cash = starting_cash
        self.cash = float(starting_cash)
        self.positions = {}
        self.transaction_cost = 0.0

    @property
    def market_value(self):
        return sum(p.market_value for p in self.positions.values())

    @property
    def total_value(self):
        return self.cash + self.market_value


class FutureAccount:
    def __init__(self, starting_cash):
        self.starting_cash = starting_cash
        self.realized = 0.0
        self.positions = {}
        self.transaction_cost = 0.0

    @property
    def margin(self):
        return sum(p.margin for p in self.positions.values())

    @property
    def market_value(self):
        return sum(p.market_value for p in self.positions.values())

    @property
    def total_value(self):
        unrealized = sum(p.pnl for p in self.positions.values())
        return self.starting_cash + self.realized + unrealized - self.transaction_cost

    @property
    def cash(self):
        return self.total_value - self.margin


class Portfolio:
    """The strategy's portfolio over its accounts, valued in units of 1.0."""

    def __init__(self, accounts, start_date):
        self.accounts = accounts
        self.start_date = start_date
        self.starting_cash = sum(a.starting_cash for a in accounts.values())
        self.units = self.starting_cash
        self.static_unit_net_value = 1.0
        self.days = 1

    @property
    def positions(self):
        merged = {}
        for account in self.accounts.values():
            merged.update(account.positions)
        return merged

    cash = property(lambda self: sum(a.cash for a in self.accounts.values()))
    market_value = property(lambda self: sum(a.market_value for a in self.accounts.values()))
    total_value = property(lambda self: sum(a.total_value for a in self.accounts.values()))
    portfolio_value = total_value
    unit_net_value = property(lambda self: self.total_value / self.units)
    daily_returns = property(lambda self: self.unit_net_value / self.static_unit_net_value - 1.0)
    total_returns = property(lambda self: self.unit_net_value - 1.0)

    @property
    def annualized_returns(self):
        return self.unit_net_value ** (365.0 / self.days) - 1.0

    def settle(self, days):
        self.static_unit_net_value = self.unit_net_value
        self.days = days


class BenchmarkPortfolio:
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

    unit_net_value = property(lambda self: self.price / self.first_price)
    total_value = property(lambda self: self.unit_net_value * self.units)
    market_value = total_value
    portfolio_value = total_value
    daily_returns = property(lambda self: self.unit_net_value / self.static_unit_net_value - 1.0)
    total_returns = property(lambda self: self.unit_net_value - 1.0)
    annualized_returns = property(lambda self: self.unit_net_value ** (365.0 / self.days) - 1.0)

    def settle(self, days):
        self.static_unit_net_value = self.unit_net_value
        self.days = days


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
