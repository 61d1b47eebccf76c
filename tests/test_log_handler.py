"""Log capture: formatting, forwarding, and never raising into the logging code."""
import datetime
import threading

import logbook
import pytest
from logbook.handlers import Handler, StringFormatterHandlerMixin

from tessar.environment import Environment
from tessar.utils import logger as host_logger
from tessar_mod_zelmo.feeder import quillet
from tessar_mod_zelmo.feeder.quillet import LogHandler, log_formatter

from conftest import make_env

T = datetime.datetime(2021, 3, 4, 14, 30, 5)


@pytest.fixture
def log():
    return logbook.Logger("test_log")


def attach(logger, handler):
    logger.handlers.append(handler)
    return handler


def test_class_shape():
    assert LogHandler.__bases__ == (Handler, StringFormatterHandlerMixin)
    assert LogHandler.write.__doc__ == "Writes a bytestring to the stream."
    assert LogHandler.__doc__ is None and LogHandler.emit.__doc__ is None
    handler = LogHandler(print, format_string="{record.message}!", bubble=True)
    assert (handler.send_quillet, handler.encoding, handler.bubble, handler.level) == (
        print, None, True, logbook.NOTSET)
    assert handler.formatter is log_formatter
    assert type(handler.lock) is type(threading.RLock())
    assert handler.lock is not LogHandler(print).lock
    with pytest.raises(TypeError):
        LogHandler()


def test_line_is_time_level_message(log):
    env = make_env()
    env.calendar_dt = T
    received = []
    attach(log, LogHandler(lambda *a: received.append(a), format_string="ignored {record.channel}"))
    log.error("abc")
    log.info("{} 股", 300)
    assert received == [(T, "2021-03-04 14:30:05 ERROR abc", 0),
                        (T, "2021-03-04 14:30:05 INFO 300 股", 0)]
    host_logger.DATETIME_FORMAT, saved = "%H:%M", host_logger.DATETIME_FORMAT
    try:
        log.warning("x")
    finally:
        host_logger.DATETIME_FORMAT = saved
    assert received[-1][1] == "14:30 WARNING x"


@pytest.mark.parametrize("pattern", ["%Y-%m-%d %H:%M:%S", "%Y%m%d %H%M%S.%f %% [%d]", "%Y-%m-%d %a",
                                     "%H:%M %p %j", "%Y-%m-%d %H:%M:%S.00%", "%Y 年 %m 月", "%z|%Z", ""])
def test_stamp_is_strftime_of_the_pattern(log, pattern):
    """Whatever the pattern and the date-time: numeric directives, others,
    a lone % at the end, non-ASCII text, zones, years before 1000."""
    env = make_env()
    received = []
    attach(log, LogHandler(lambda *a: received.append(a)))
    zone = datetime.timezone(datetime.timedelta(hours=8), "CST")
    times = [T, datetime.datetime(2021, 3, 4, 14, 30, 5, 7), datetime.datetime(999, 1, 2, 3, 4, 5),
             datetime.datetime(9999, 12, 31, 23, 59, 59, 999999), T.replace(tzinfo=zone),
             datetime.datetime(1000, 1, 1)]
    host_logger.DATETIME_FORMAT, saved = pattern, host_logger.DATETIME_FORMAT
    try:
        for when in times:
            env.calendar_dt = when
            try:
                expected = when.strftime(pattern)
            except ValueError:  # a lone % on some C libraries
                expected = "0000-00-00"
            log.info("x")
            assert received[-1][1] == expected + " INFO x"
    finally:
        host_logger.DATETIME_FORMAT = saved


def test_no_environment_stamps_zeros_prints_and_forwards_nothing(log, capsys):
    Environment.clear()
    received = []
    attach(log, LogHandler(lambda *a: received.append(a)))
    record = logbook.LogRecord("test_log", logbook.INFO, "early")
    assert log_formatter(record, None) == "0000-00-00 INFO early"
    log.info("early")
    assert received == []
    try:
        Environment.get_instance()
    except RuntimeError as e:
        expected = e
    out = capsys.readouterr().out
    assert out == "{}\n".format(("LogHandler", expected))


def test_no_calendar_time_yet(log):
    make_env().calendar_dt = None
    received = []
    attach(log, LogHandler(lambda *a: received.append(a)))
    log.info("x")
    assert received == [(None, "0000-00-00 INFO x", 0)]


def test_false_forwarder_forwards_and_prints_nothing(log, capsys):
    make_env().calendar_dt = T
    attach(log, LogHandler(None))
    log.info("x")
    assert capsys.readouterr().out == ""


def test_raising_forwarder_prints_once_per_record(log, capsys):
    make_env().calendar_dt = T

    def broken(*args):
        raise ValueError("feed service down")

    handler = attach(log, LogHandler(broken))
    log.info("one")
    log.info("two")
    assert capsys.readouterr().out == "('LogHandler', ValueError('feed service down'))\n" * 2
    assert handler.lock.acquire(blocking=False)
    handler.lock.release()


def test_line_logged_while_forwarding_reenters(log):
    make_env().calendar_dt = T
    received = []

    def forward(dt, line, tag):
        received.append(line)
        if "outer" in line:
            log.error("inner")  # as the feed writer's error line would

    attach(log, LogHandler(forward))
    log.info("outer")
    assert received == ["2021-03-04 14:30:05 INFO outer", "2021-03-04 14:30:05 ERROR inner"]


def test_lock_released_when_an_interrupt_passes_through(log):
    make_env().calendar_dt = T

    def interrupted(*args):
        raise KeyboardInterrupt

    handler = attach(log, LogHandler(interrupted))
    with pytest.raises(KeyboardInterrupt):
        log.info("x")
    acquired = []
    t = threading.Thread(target=lambda: acquired.append(handler.lock.acquire(blocking=False)))
    t.start()
    t.join()
    assert acquired == [True]


def test_bubble_passes_records_on(log):
    make_env().calendar_dt = T
    after = logbook.TestHandler()
    log.handlers[:] = [after]
    log.handlers.insert(0, LogHandler(lambda *a: None, bubble=True))
    log.info("x")
    assert [r.message for r in after.records] == ["x"]


def test_a_stamp_that_is_not_text_is_formatted(log, monkeypatch):
    class Stamp:
        def __format__(self, spec):
            return "day 7"

    class HostTime:
        def strftime(self, pattern):
            return Stamp()

    env = make_env()
    env.calendar_dt = HostTime()
    received = []
    attach(log, LogHandler(lambda *a: received.append(a)))
    log.info("x")
    assert received[0][1] == "day 7 INFO x"


class OwnFormat(logbook.LogRecord):
    def _format_message(self, msg, *args, **kwargs):
        return "own:" + msg


class OwnMessage(logbook.LogRecord):
    message = "fixed"


class OwnLevelName(logbook.LogRecord):
    level_name = "LOUD"


class MsgProperty(logbook.LogRecord):
    msg = property(lambda self: "from the property {}", lambda self, value: None)


class ShoutingFields(logbook.LogRecord):
    def __getattribute__(self, name):
        value = super().__getattribute__(name)
        return value.upper() if name == "msg" else value


class Loud:
    def __format__(self, spec):
        raise ValueError("no format")


RECORDS = [  # (record class, msg, args, kwargs, level)
    (logbook.LogRecord, "plain {}", (), {}, logbook.INFO),
    (logbook.LogRecord, "a {} b {x}", (1,), {"x": "二"}, logbook.WARNING),
    (logbook.LogRecord, "only {x:>4}", (), {"x": 7}, logbook.ERROR),
    (logbook.LogRecord, 42, (), {}, logbook.DEBUG),
    (logbook.LogRecord, "missing {} {}", (1,), {}, logbook.INFO),
    (logbook.LogRecord, "missing {name}", (), {"other": 1}, logbook.INFO),
    (logbook.LogRecord, "bad {}", (Loud(),), {}, logbook.INFO),
    (logbook.LogRecord, b"bytes {}", (1,), {}, logbook.INFO),
    (logbook.LogRecord, "list args {}", [3], {}, logbook.INFO),
    (logbook.LogRecord, "unknown level", (), {}, 42),
    (OwnFormat, "f {}", (1,), {}, logbook.INFO),
    (OwnMessage, "m {}", (1,), {}, logbook.INFO),
    (OwnLevelName, "l {}", (1,), {}, logbook.INFO),
    (MsgProperty, "p {}", (1,), {}, logbook.INFO),
    (ShoutingFields, "s {}", (1,), {}, logbook.INFO),
]


def outcome(call):
    try:
        return call()
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize("cls, msg, args, kwargs, level", RECORDS)
def test_line_text_and_failures_are_logbooks_own(cls, msg, args, kwargs, level):
    """The line is the record's message and level name exactly as logbook's
    own properties give them, and fails exactly as they fail."""
    ours, twin = (cls("channel", level, msg, args=args, kwargs=kwargs) for _ in range(2))
    expected = outcome(lambda: "0000-00-00 {} {}".format(twin.level_name, twin.message))
    assert outcome(lambda: log_formatter(ours, None)) == expected
    if not isinstance(expected, tuple):
        assert ours.message == twin.message  # cached like logbook caches it
        ours.__dict__["message"] = "cached"
        assert log_formatter(ours, None).endswith(" cached")


def test_record_class_changed_after_use_is_read_anew():
    """A class already seen is read afresh once it changes (a property
    added for msg, then removed)."""
    class Record(logbook.LogRecord):
        pass

    def line():
        return log_formatter(Record("c", logbook.INFO, "x {}", args=(1,)), None)

    assert line() == "0000-00-00 INFO x 1"
    Record.msg = property(lambda self: "prop {}", lambda self, value: None)
    assert line() == "0000-00-00 INFO prop 1"
    del Record.msg
    Record.level_name = "CHANGED"
    assert line() == "0000-00-00 CHANGED x 1"


class Boom(Exception):
    pass


@pytest.mark.parametrize("raised", [None, Boom("emit failed"), KeyboardInterrupt()])
def test_handle_and_should_handle_are_logbooks_own(raised):
    """The handler's should_handle and handle, run natively, do what
    logbook's Handler methods do: the level test as `>=` gives it, and an
    Exception from emit handed to handle_error while it is being handled."""
    import sys

    seen = []

    def emit(self, record):
        seen.append("emit")
        if raised is not None:
            raise raised

    def handle_error(self, record, exc_info):
        seen.append(("error", exc_info[0], exc_info[1], exc_info[2] is not None,
                     sys.exc_info()[1] is exc_info[1]))

    ours = type("Ours", (LogHandler,), {"emit": emit, "handle_error": handle_error})(
        print, level=logbook.INFO)
    twin = type("Twin", (Handler,), {"emit": emit, "handle_error": handle_error})(
        level=logbook.INFO)
    for handler in (ours, twin):
        record = logbook.LogRecord("channel", logbook.DEBUG, "m")
        seen.append(handler.should_handle(record))
        record.level = logbook.INFO
        seen.append(handler.should_handle(record))
        try:
            seen.append(handler.handle(record))
        except KeyboardInterrupt as e:
            seen.append(e is raised)
    half = len(seen) // 2
    assert seen[:half] == seen[half:]
    assert seen[:3] == [False, True, "emit"]


@pytest.mark.parametrize("own_send_log", [False, True])
def test_lines_reach_a_feeder_as_its_send_log_is_resolved(log, capsys, own_send_log):
    """A feeder's own send_log runs straight from the handler, one a
    subclass put in its place runs instead; a failure in either is printed
    and the line dropped, as for any forwarder."""
    import types
    from tessar_mod_zelmo.feeder.feeder import Feeder

    class Writer:
        def __init__(self):
            self.writes = []

        def write(self, key, arr):
            if arr[0][3].endswith("fail"):
                raise ValueError("feed service down")
            self.writes.append(arr[0][3])

    class OwnFeeder(Feeder):
        def send_log(self, datetime, text, log_tag):
            super().send_log(datetime, "own " + text, log_tag)

    env = make_env()
    env.calendar_dt = T
    writer = Writer()
    feeder = (OwnFeeder if own_send_log else Feeder)(types.SimpleNamespace(
        env=env, algorithm_id=4, backtest_id=17, feeds_writer=writer, sqlite_result=None))
    attach(log, LogHandler(feeder.send_log))
    log.info("one")
    log.info("fail")
    prefix = "own " if own_send_log else ""
    assert writer.writes == [prefix + "2021-03-04 14:30:05 INFO one"]
    assert capsys.readouterr().out == "('LogHandler', ValueError('feed service down'))\n"
