"""The run environment: activation, registration rows, identity file, exceptions."""
import datetime
import gc
import json
import os
import sqlite3
import threading
import types
import uuid
import warnings
from contextlib import closing

import logbook
import pytest

from tessar.config import Section
from tessar.utils.logger import user_system_log
from tessar_mod_zelmo import conf, zelmo_env
from tessar_mod_zelmo.feeder.pellard import FeedWriter
from tessar_mod_zelmo.zelmo_env import ZelmoEnv
from zelmo_frontend import create_schema

from conftest import make_env, write_user_conf


@pytest.fixture
def loaded_conf(user_conf):
    conf.get_conf()
    return user_conf


def rows(db, table):
    conn = sqlite3.connect(db)
    conn.row_factory = sqlite3.Row
    try:
        return [dict(r) for r in conn.execute("SELECT * FROM {} ORDER BY id".format(table))]
    finally:
        conn.close()


def identity_file(values):
    return os.path.join(values["pid_path"], "{}.identity".format(os.getpid()))


ACTIVATION = [
    # mod configuration,                                  strategy file?, activated, registered
    (dict(algorithm_id=3, backtest_id=9, comment="mine"), True, True, False),
    (dict(algorithm_id=0, backtest_id=""), False, True, False),
    (dict(algorithm_id=3), True, False, False),
    (dict(backtest_id=9, algorithm_id=None), True, False, False),
    (dict(algorithm_id=None, backtest_id=None), False, False, False),
    (dict(), True, True, True),
]


@pytest.mark.parametrize("settings, has_strategy, activated, registered", ACTIVATION)
def test_activation(loaded_conf, strategy_file, settings, has_strategy, activated, registered):
    env = make_env(strategy_file if has_strategy else "/nonexistent/strategy.py")
    ze = ZelmoEnv(env, Section(**settings))
    assert ze.activate is activated
    assert isinstance(ze.feeds_writer, FeedWriter)
    assert ze.feeds_writer.url == "http://127.0.0.1:10300/api/v1/feedgroup"
    assert os.path.isdir(os.path.dirname(loaded_conf["sqlite_path"]))
    assert isinstance(ze.conn, sqlite3.Connection)
    assert len(rows(loaded_conf["sqlite_path"], "backtests")) == int(registered)
    assert os.path.exists(identity_file(loaded_conf)) is registered
    if not registered:
        assert ze.algorithm_id == settings.get("algorithm_id")
        assert ze.backtest_id == settings.get("backtest_id")
        assert ze.comment == settings.get("comment")


def test_attributes_in_order_of_first_assignment(loaded_conf):
    ze = ZelmoEnv(env=make_env(), mod_config=Section())
    assert list(vars(ze)) == ["env", "mod_config", "algorithm_id", "backtest_id", "sqlite_url",
                              "pid_path", "comment", "conn", "sqlite_result", "activate",
                              "feeds_writer"]
    with pytest.raises(TypeError):
        ZelmoEnv(make_env())


def test_registration_read_back(loaded_conf, tmp_path):
    source = "\ufeff# 策略\r\ndef init(context):\r\n    pass\r\n"
    strategy = tmp_path / "crlf.py"
    strategy.write_bytes(source.encode("utf-8"))
    handler = logbook.TestHandler()
    user_system_log.handlers.append(handler)

    ze = ZelmoEnv(make_env(strategy, accounts={"STOCK": 100000.0, "FUTURE": 0}), Section())
    db = loaded_conf["sqlite_path"]
    (algorithm,), (backtest,) = rows(db, "algorithms"), rows(db, "backtests")
    assert ze.activate is True
    assert (ze.algorithm_id, ze.backtest_id) == (algorithm["id"], backtest["id"])
    assert backtest["algorithm_id"] == algorithm["id"]
    assert algorithm["code"] == backtest["code"] == source
    assert algorithm["config"] == backtest["config"]
    assert (algorithm["name"], algorithm["securities"]) == ("外部回测", "stock")
    assert (backtest["state"], backtest["comment"], backtest["time_spent"]) == (
        "executing", "Unknown tsr instance", 0)
    assert backtest["exception"] is None

    config = json.loads(algorithm["config"])
    assert config == {
        "start_date": "2021-01-04", "end_date": "2021-01-29", "stock_starting_cash": 100000.0,
        "future_starting_cash": 0, "frequency": "1d", "benchmark": "000300.XSHG",
        "commission_multiplier": 1, "margin_multiplier": 1, "matching_type": "current_bar",
        "slippage": 0, "enable_profiler": False, "enable_short_stock": True,
        "securities": "stock"}
    assert algorithm["config"] == json.dumps(config)

    identity = backtest["uuid"]
    assert uuid.UUID(identity).version == 1 and len(identity) == 36
    with open(identity_file(loaded_conf)) as f:
        assert f.read() == "{} {}".format(identity, ze.backtest_id)
    assert [r.message for r in handler.records] == [
        "created pid {}, identity {}, backtest_id {}".format(os.getpid(), identity, ze.backtest_id)]


@pytest.mark.parametrize("accounts, securities", [
    ({"STOCK": 1, "FUTURE": 2}, "stock_future"),
    ({"STOCK": 1}, "stock"),
    ({"FUTURE": 2}, "future"),
    ({"STOCK": 0.0, "FUTURE": 0}, "future"),
    ({}, "future"),
])
def test_security_type(loaded_conf, strategy_file, accounts, securities):
    ZelmoEnv(make_env(strategy_file, accounts=accounts), Section())
    (row,) = rows(loaded_conf["sqlite_path"], "algorithms")
    assert row["securities"] == securities == json.loads(row["config"])["securities"]


def test_host_values_copied_as_given(loaded_conf, strategy_file):
    env = make_env(strategy_file)
    env.config.base.benchmark = None
    env.config.mod.sys_risk.validate_position = False
    ZelmoEnv(env, Section(comment="夜盘"))
    (row,) = rows(loaded_conf["sqlite_path"], "backtests")
    assert '"benchmark": null' in row["config"]
    assert json.loads(row["config"])["enable_short_stock"] is False
    assert row["comment"] == "夜盘"


def test_last_modified_is_shanghai_wall_clock(loaded_conf, strategy_file, monkeypatch):
    class FixedDatetime(datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime.datetime(2020, 12, 31, 20, 0, 0, tzinfo=datetime.timezone.utc
                                     ).astimezone(tz)

    monkeypatch.setattr(zelmo_env, "datetime", types.SimpleNamespace(datetime=FixedDatetime))
    ZelmoEnv(make_env(strategy_file), Section())
    (row,) = rows(loaded_conf["sqlite_path"], "algorithms")
    assert row["last_modified"] == "2021-01-01 04:00:00"


def test_strategy_not_utf8_fails_before_any_row(loaded_conf, tmp_path):
    strategy = tmp_path / "latin1.py"
    strategy.write_bytes(b"# caf\xe9\n")
    with pytest.raises(UnicodeDecodeError):
        ZelmoEnv(make_env(strategy), Section())
    assert rows(loaded_conf["sqlite_path"], "algorithms") == []


def test_database_lives_as_long_as_the_environment(loaded_conf, strategy_file, tmp_path,
                                                  monkeypatch):
    """Closed when the run environment is finalised, and when its constructor
    fails after connecting; open while the environment lives."""
    opened = []

    def connect(*args, **kwargs):
        opened.append(sqlite3.connect(*args, **kwargs))
        return opened[-1]
    monkeypatch.setattr(zelmo_env, "sqlite3", types.SimpleNamespace(connect=connect))
    ze = ZelmoEnv(make_env(strategy_file), Section())
    ze.save_exception(ValueError("still open"))
    del ze
    gc.collect()
    strategy = tmp_path / "latin1.py"
    strategy.write_bytes(b"# caf\xe9\n")
    with pytest.raises(UnicodeDecodeError):
        ZelmoEnv(make_env(str(strategy)), Section())
    for conn in opened:
        with pytest.raises(sqlite3.ProgrammingError, match="closed"):
            conn.execute("SELECT 1")


def test_environments_collected_in_cycles_close_their_databases(loaded_conf, strategy_file):
    """A run makes its environment part of a cycle (the host's event bus
    holds the feeder, which holds the environment).  Collected so, none of
    the connections is finalised open (CPython 3.13 and later would warn
    "unclosed database"): the environment closes each first."""
    environments = [ZelmoEnv(make_env(strategy_file), Section()) for _ in range(20)]
    connections = [ze.conn for ze in environments]
    for ze in environments:
        ze.cycle = ze
    del ze, environments
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        gc.collect()
    for conn in connections:
        with pytest.raises(sqlite3.ProgrammingError, match="closed"):
            conn.execute("SELECT 1")


def test_an_environment_finalised_on_another_thread_closes_its_database_later(
        loaded_conf, strategy_file):
    """The collector may finalise a run environment on any thread, where its
    connection cannot be closed (sqlite3 allows that only on the thread that
    made it): the connection waits, still held, and the next environment
    made on its own thread closes it."""
    ze = ZelmoEnv(make_env(strategy_file), Section())
    conn = ze.conn
    ze.cycle = ze
    del ze
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        collector = threading.Thread(target=gc.collect)
        collector.start()
        collector.join()
        gc.collect()
        assert conn.execute("SELECT 1").fetchone() == (1,)
        ZelmoEnv(make_env(strategy_file), Section())
    with pytest.raises(sqlite3.ProgrammingError, match="closed"):
        conn.execute("SELECT 1")


def test_missing_table_commits_nothing(home, strategy_file):
    values = write_user_conf(home)
    conf.get_conf()
    os.makedirs(os.path.dirname(values["sqlite_path"]))
    with closing(sqlite3.connect(values["sqlite_path"])) as conn:
        conn.execute("CREATE TABLE algorithms (id INTEGER PRIMARY KEY, name, securities, code,"
                     " config, last_modified)")
    with pytest.raises(sqlite3.OperationalError, match="backtests"):
        ZelmoEnv(make_env(strategy_file), Section())
    assert rows(values["sqlite_path"], "algorithms") == []
    assert not os.path.exists(identity_file(values))


def test_missing_user_settings_fail(home):
    write_user_conf(home, pid_path=None)
    conf.get_conf()
    with pytest.raises(KeyError, match="pid_path"):
        ZelmoEnv(make_env(), Section())
    conf.conf = None
    with pytest.raises(TypeError):
        ZelmoEnv(make_env(), Section())


def test_save_exception(loaded_conf, strategy_file):
    ze = ZelmoEnv(make_env(strategy_file), Section())
    ze.save_exception(exception=ZeroDivisionError("division by zero"))
    assert rows(loaded_conf["sqlite_path"], "backtests")[0]["exception"] == "division by zero"
    ze.save_exception(ValueError())
    assert rows(loaded_conf["sqlite_path"], "backtests")[0]["exception"] == ""
    ze.save_exception(None)
    assert rows(loaded_conf["sqlite_path"], "backtests")[0]["exception"] == "None"


class RecordingCursor(sqlite3.Cursor):
    statements = []

    def execute(self, sql, params=()):
        self.statements.append((sql, params))
        return super().execute(sql, params)


class RecordingConnection(sqlite3.Connection):
    def cursor(self, factory=RecordingCursor):
        return super().cursor(factory)


def test_statements_are_parameterised_and_stable(loaded_conf, strategy_file, monkeypatch):
    """The exact (statement, parameters) pairs the cursor gets, on every
    interpreter; values never appear in the statement text."""
    RecordingCursor.statements = statements = []
    connect = zelmo_env.sqlite3.connect
    monkeypatch.setattr(zelmo_env, "sqlite3", types.SimpleNamespace(
        connect=lambda path: connect(path, factory=RecordingConnection)))
    ze = ZelmoEnv(make_env(strategy_file), Section(comment="it's; --"))
    ze.save_exception(RuntimeError("'); DROP TABLE backtests; --"))

    (algorithm,), (backtest,) = rows(loaded_conf["sqlite_path"], "algorithms"), rows(
        loaded_conf["sqlite_path"], "backtests")
    code, config = algorithm["code"], algorithm["config"]
    assert statements == [
        ("INSERT INTO `algorithms` (`name`, `securities`, `code`, `config`, `last_modified`) "
         "VALUES (?, ?, ?, ?, ?)",
         ["外部回测", "stock_future", code, config, algorithm["last_modified"]]),
        ("INSERT INTO `backtests` (`algorithm_id`, `config`, `state`, `comment`, `time_spent`, "
         "`uuid`, `code`) VALUES (?, ?, ?, ?, ?, ?, ?)",
         [algorithm["id"], config, "executing", "it's; --", 0, backtest["uuid"], code]),
        ("UPDATE `backtests` SET `exception` = ? WHERE `backtests`.`id` = ?",
         ["'); DROP TABLE backtests; --", backtest["id"]]),
    ]
    assert backtest["exception"] == "'); DROP TABLE backtests; --"


def test_second_registration_rewrites_the_identity_file(loaded_conf, strategy_file):
    ZelmoEnv(make_env(strategy_file), Section())
    second = ZelmoEnv(make_env(strategy_file), Section())
    identity = rows(loaded_conf["sqlite_path"], "backtests")[1]["uuid"]
    with open(identity_file(loaded_conf)) as f:
        assert f.read() == "{} {}".format(identity, second.backtest_id)


def test_bare_database_file_name_opens_in_current_directory(home, tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    write_user_conf(home, sqlite_path="zelmo.db")
    conf.get_conf()
    ze = ZelmoEnv(make_env(), Section())
    assert ze.sqlite_url == "zelmo.db"
    assert (work / "zelmo.db").exists()


def test_identify_process_gives_a_fresh_version_1_uuid(loaded_conf):
    ze = ZelmoEnv(make_env(), Section())
    first, second = ze.identify_process(), ze.identify_process()
    assert first != second
    assert all(len(i) == 36 and uuid.UUID(i).version == 1 and str(uuid.UUID(i)) == i
               for i in (first, second))


def test_module_values():
    assert str(zelmo_env.utc) == "UTC" and str(zelmo_env.tzchina) == "Asia/Shanghai"
    assert zelmo_env.conf is conf


def test_given_identifiers_activate_without_reading_the_host_configuration(loaded_conf):
    class Unready:
        @property
        def config(self):
            raise RuntimeError("the host configuration is not ready")

    run = ZelmoEnv(Unready(), Section(algorithm_id=3, backtest_id=9))
    assert run.activate and (run.algorithm_id, run.backtest_id) == (3, 9)
    with pytest.raises(RuntimeError):  # without identifiers it is read
        ZelmoEnv(Unready(), Section())
