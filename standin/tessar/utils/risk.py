"""Risk figures over a run's daily returns, by the textbook formulas.

252 trading days a year; a figure is NaN where it is undefined (too few
days, a zero denominator).
"""
import numpy as np

TRADING_DAYS = 252


def _nan_if_bad(value):
    value = float(value)
    return value if np.isfinite(value) else float("nan")


class Risk:
    def __init__(self, daily_returns, benchmark_daily_returns, risk_free_rate, days):
        r = np.asarray(daily_returns, dtype=float)
        b = np.asarray(benchmark_daily_returns, dtype=float)
        n = len(r)
        rf = float(risk_free_rate)
        with np.errstate(all="ignore"):
            annual = (np.prod(1.0 + r) ** (TRADING_DAYS / n) - 1.0) if n else np.nan
            bench_annual = (np.prod(1.0 + b) ** (TRADING_DAYS / n) - 1.0) if n else np.nan
            enough = n >= 2
            volatility = np.std(r, ddof=1) * np.sqrt(TRADING_DAYS) if enough else np.nan
            beta = np.cov(r, b, ddof=1)[0, 1] / np.var(b, ddof=1) if enough else np.nan
            downside = np.sqrt(np.mean(np.minimum(r, 0.0) ** 2) * TRADING_DAYS) if n else np.nan
            tracking = np.std(r - b, ddof=1) * np.sqrt(TRADING_DAYS) if enough else np.nan
            nav = np.cumprod(1.0 + r)
            peak = np.maximum.accumulate(np.concatenate(([1.0], nav)))[1:] if n else nav
            max_drawdown = np.max(1.0 - nav / peak) if n else np.nan

            self.annual_volatility = _nan_if_bad(volatility)
            self.beta = _nan_if_bad(beta)
            self.alpha = _nan_if_bad(annual - (rf + self.beta * (bench_annual - rf)))
            self.sharpe = _nan_if_bad((annual - rf) / volatility)
            self.annual_downside_risk = _nan_if_bad(downside)
            self.sortino = _nan_if_bad((annual - rf) / downside)
            self.annual_tracking_error = _nan_if_bad(tracking)
            self.information_ratio = _nan_if_bad((annual - bench_annual) / tracking)
            self.max_drawdown = _nan_if_bad(max_drawdown)
        self.days = days
