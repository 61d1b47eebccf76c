import datetime
import os

import pytest

from tessar.config import Section
from tessar.environment import Environment
from tessar.utils import logger as host_logger
from tessar.model import DataProxy, TradingCalendar
from zelmo_frontend import FeedService, create_schema

from tessar_mod_zelmo import conf as conf_module
from tessar_mod_zelmo import zelmo_env as zelmo_env_module


def set_home(monkeypatch, home):
    """Points the user's home at `home`: HOME on POSIX, USERPROFILE on
    Windows, where os.path.expanduser reads it instead."""
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("USERPROFILE", str(home))


@pytest.fixture(autouse=True)
def isolated_host(tmp_path, monkeypatch):
    """Every test gets its own HOME, an empty configuration cache, and host
    loggers and environment restored afterwards."""
    home = tmp_path / "home"
    home.mkdir()
    set_home(monkeypatch, home)
    conf_module.conf = None
    saved = (list(host_logger.user_log.handlers), list(host_logger.user_system_log.handlers))
    yield home
    conf_module.conf = None
    host_logger.user_log.handlers[:] = saved[0]
    host_logger.user_system_log.handlers[:] = saved[1]
    Environment.clear()


@pytest.fixture
def home(isolated_host):
    return isolated_host


def write_user_conf(home, **overrides):
    """Writes ~/.zelmo/zelmo.yml with every key the mod reads; returns the values."""
    values = {
        "vantix_username": "quant",
        "vantix_password": "s3cret",
        "vantix_host": "10.1.2.3",
        "vantix_port": 16010,
        "bundle_path": str(home / "bundle"),
        "sqlite_path": str(home / "front" / "zelmo.db"),
        "pid_path": str(home / "pids"),
    }
    values.update(overrides)
    values = {k: v for k, v in values.items() if v is not None}
    path = home / ".zelmo" / "zelmo.yml"
    path.parent.mkdir(parents=True, exist_ok=True)
    import yaml
    path.write_text(yaml.safe_dump(values, allow_unicode=True), encoding="utf-8")
    return values


@pytest.fixture
def user_conf(home):
    values = write_user_conf(home)
    create_schema(values["sqlite_path"])
    return values


@pytest.fixture
def strategy_file(tmp_path):
    path = tmp_path / "strategy.py"
    path.write_text("def init(context):\n    pass\n\ndef handle_bar(context, bar):\n    pass\n",
                    encoding="utf-8")
    return path


def make_env(strategy_file="/nonexistent/strategy.py", accounts=None, start=None, end=None,
             calendar=None):
    """A host environment as the stand-in host makes it, without a run."""
    start = start or datetime.date(2021, 1, 4)
    end = end or datetime.date(2021, 1, 29)
    config = Section(
        base=Section(start_date=start, end_date=end, strategy_file=str(strategy_file),
                     accounts=accounts if accounts is not None else {"STOCK": 100000, "FUTURE": 50000},
                     frequency="1d", benchmark="000300.XSHG", margin_multiplier=1,
                     trading_calendar=calendar or TradingCalendar.weekdays(start, end),
                     data_bundle_path="~/.tessar/bundle"),
        mod=Section(sys_simulation=Section(commission_multiplier=1, matching_type="current_bar",
                                           slippage=0),
                    sys_risk=Section(validate_position=True), dorrow_data=Section()),
        extra=Section(enable_profiler=False),
    )
    env = Environment(config)
    env.data_proxy = DataProxy(0.03)
    return env


@pytest.fixture
def feed_service(tmp_path, monkeypatch):
    """The stand-in feed service on a free loopback port; new run
    environments post to it."""
    service = FeedService(str(tmp_path / "feeds.db"), port=0).start()
    monkeypatch.setattr(zelmo_env_module, "FEED_SERVICE_URL", service.url)
    yield service
    service.stop()
