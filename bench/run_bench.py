"""What the zelmo mod costs a backtest, and how its hot paths compare to their floors.

    .venv/bin/python bench/run_bench.py [--repeat 3] [--quick]

Whole runs go through the stand-in host in fresh processes, each beside the
same run with a do-nothing mod; the feed service runs in a process of its
own.  Component figures are measured in this process, each beside its floor.
Prints a table and writes bench/results/latest.json.
"""
import argparse
import datetime
import gc
import itertools
import json
import os
import platform
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import types
import urllib.parse
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
KINDS = ["risk_feeds", "account_feeds", "position_feeds", "plot_feeds", "log_feeds",
         "trade_feeds", "portfolio_feeds"]

SCENARIOS = {
    # name: trading days, stocks, futures, trades/day, logs/day, plot series
    "ten-year": dict(days=2520, stocks=20, futures=4, trades=5, logs=10, plots=3),
    # the same day, fewer of them: for comparing builds under callgrind
    "thousand-day": dict(days=1000, stocks=20, futures=4, trades=5, logs=10, plots=3),
    "log-heavy": dict(days=250, stocks=20, futures=4, trades=5, logs=200, plots=3),
    "position-heavy": dict(days=250, stocks=296, futures=4, trades=5, logs=10, plots=3),
}


# --- whole runs (child process) ---------------------------------------------------

def trading_days_span(days):
    """A start and end date spanning `days` weekdays."""
    start = datetime.date(2010, 1, 4)
    end, count = start, 0
    while True:
        if end.weekday() < 5:
            count += 1
            if count == days:
                return start, end
        end += datetime.timedelta(days=1)


def child(scenario, mod_name, port, out_path, frozen_clock=False, double_risk=False):
    import logbook
    from tessar import events, runner
    from tessar.utils.logger import user_log

    spec = SCENARIOS[scenario]
    # The host's own log output, discarded: a handler that is not a black
    # hole, so logbook prepares every record in both runs alike.
    class HostOutput(logbook.Handler):
        def emit(self, record):
            pass

    HostOutput().push_application()
    stocks = ["S{:05d}".format(i) for i in range(spec["stocks"])]
    futures = ["F{:03d}".format(i) for i in range(spec["futures"])]
    strategy = Path(tempfile.mkdtemp()) / "strategy.py"
    strategy.write_text("UNIVERSE = {!r}\nTRADES_PER_DAY = {}\nLOGS_PER_DAY = {}\nPLOTS = {}\n".format(
        stocks + futures, spec["trades"], spec["logs"], spec["plots"])
        + (HERE / "scenario_strategy.py").read_text())

    clock = time.perf_counter
    state = {"current": 0.0, "days": [], "events": 0, "logs": 0, "post": 0.0, "posts": 0,
             "risk": 0.0, "day_other": 0.0, "other_days": []}

    publish = events.EventBus.publish_event

    def timed_publish(bus, event):
        started = clock()
        publish(bus, event)
        state["current"] += clock() - started
        state["events"] += 1
        if event.event_type is events.EVENT.PRE_SETTLEMENT:
            state["days"].append(state["current"])
            state["other_days"].append(state["day_other"])
            state["current"] = state["day_other"] = 0.0

    events.EventBus.publish_event = timed_publish
    info = user_log.info

    def timed_info(*args, **kwargs):
        started = clock()
        info(*args, **kwargs)
        state["current"] += clock() - started
        state["logs"] += 1

    user_log.info = timed_info

    if mod_name == "tessar_mod_zelmo":
        from tessar_mod_zelmo import zelmo_env
        from tessar_mod_zelmo.feeder import feeder, pellard

        zelmo_env.FEED_SERVICE_URL = "http://127.0.0.1:{}/api/v1/feedgroup".format(port)
        real_risk = feeder.Risk

        def timed_risk(*args):
            started = clock()
            try:
                return real_risk(*args)
            finally:
                spent = clock() - started
                state["risk"] += spent
                state["day_other"] += spent

        # Flushes (encoding and post) are timed apart: the post's time
        # includes the service's, which is not the mod's.
        real_flush = pellard.FeedWriter.flush

        def timed_flush(self):
            started = clock()
            try:
                return real_flush(self)
            finally:
                spent = clock() - started
                state["post"] += spent
                state["day_other"] += spent
                state["posts"] += 1

        if frozen_clock:
            # Counted, not timed: no timing wrappers, whose instructions a
            # real run does not have.  Risk goes through one small frame in
            # both counted runs, so that their difference is Risk's own.
            if double_risk:
                feeder.Risk = lambda *args: (real_risk(*args), real_risk(*args))[1]
            else:
                feeder.Risk = lambda *args: real_risk(*args)
            # Under callgrind the run is some 50 times slower, so the 3 s age
            # rule would fire far more often than in a real run.  A frozen
            # clock leaves only the count and portfolio rules, which are
            # deterministic, so the instruction count repeats exactly.  The
            # clock is a C-level callable, as time.time is: a Python method
            # here would add a frame to every reading that a real run lacks.
            pellard.time = types.SimpleNamespace(time=itertools.repeat(time.time()).__next__)
        else:
            feeder.Risk = timed_risk
            pellard.FeedWriter.flush = timed_flush

    gc_started = [0.0]

    def gc_timer(phase, info):
        if phase == "start":
            gc_started[0] = clock()
        else:
            state["gc"] = state.get("gc", 0.0) + clock() - gc_started[0]

    gc.callbacks.append(gc_timer)
    start, end = trading_days_span(spec["days"])
    started = clock()
    result = runner.run(str(strategy), start, end, mods=(mod_name,), stocks=stocks,
                        futures=futures, progress=False)
    tear_down_started = clock()
    total = clock() - started
    if result.exception is not None:
        raise result.exception
    json.dump({"total": total, "days": state["days"], "other_days": state["other_days"],
               "events": state["events"], "peak_kb": peak_kb(), "gc": state.get("gc", 0.0),
               "logs": state["logs"], "post": state["post"], "posts": state["posts"],
               "risk": state["risk"], "tear_down": clock() - tear_down_started,
               "max_rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss},
              open(out_path, "w"))


def peak_kb():
    """The process's peak resident memory (kB) since it started (VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_child(scenario, mod_name, callgrind=False, double_risk=False):
    """One run in a fresh process, with a fresh feed service in another.
    Under callgrind, the figures also hold the run's instruction count."""
    work = Path(tempfile.mkdtemp())
    home = work / "home"
    (home / ".zelmo").mkdir(parents=True)
    db = work / "front.db"
    (home / ".zelmo" / "zelmo.yml").write_text(
        "vantix_username: b\nvantix_password: b\nvantix_host: 127.0.0.1\nvantix_port: 1\n"
        "bundle_path: {w}\nsqlite_path: {db}\npid_path: {w}/pids\n".format(w=work, db=db))
    port = free_port()
    service = subprocess.Popen([sys.executable, "-m", "zelmo_frontend", "--db", str(db),
                                "--port", str(port)], stdout=subprocess.PIPE)
    service.stdout.readline()  # ready
    out = work / "out.json"
    command = [sys.executable, __file__, "--child", scenario, mod_name, str(port), str(out)]
    counts = work / "callgrind.out"
    if callgrind:
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file={}".format(counts)] + \
            command + ["--frozen-clock"] + (["--double-risk"] if double_risk else [])
    try:
        subprocess.run(command, check=True, env=dict(os.environ, HOME=str(home), PYTHONHASHSEED="0"),
                       stderr=subprocess.DEVNULL if callgrind else None)
    finally:
        time.sleep(0.1)
        service.terminate()
        service.wait()
    figures = json.load(open(out))
    if callgrind:
        for line in open(counts):
            if line.startswith("summary:") or line.startswith("totals:"):
                figures["instructions"] = int(line.split()[1])
    import sqlite3
    conn = sqlite3.connect(str(db))
    figures["received_records"] = conn.execute("SELECT count(*) FROM feed_records").fetchone()[0]
    figures["received_posts"] = conn.execute("SELECT count(*) FROM feed_posts").fetchone()[0]
    conn.close()
    return figures


def whole_runs(repeat, scenarios):
    report = {}
    for scenario in scenarios:
        runs = {m: [run_child(scenario, m) for _ in range(repeat)]
                for m in ("bench_null_mod", "tessar_mod_zelmo")}
        base, mod = runs["bench_null_mod"], runs["tessar_mod_zelmo"]
        med = lambda rows, f: statistics.median(f(r) for r in rows)
        days = SCENARIOS[scenario]["days"]
        # Time spent in the host's event dispatch and log calls, beyond the
        # same calls with the do-nothing mod, is the mod's.
        base_per_day = [statistics.median(col) for col in zip(*(r["days"] for r in base))]
        mod_days = []
        for r in mod:
            mod_days.append([d - o - b for d, o, b in zip(r["days"], r["other_days"], base_per_day)])
        per_day = [statistics.median(col) for col in zip(*mod_days)]
        inside = med(mod, lambda r: sum(r["days"]) + r["tear_down"]) - med(base, lambda r: sum(r["days"]))
        post = med(mod, lambda r: r["post"])
        risk = med(mod, lambda r: r["risk"])
        own = inside - post - risk
        records = mod[0]["received_records"]
        year = min(252, days)
        first = statistics.mean(per_day[:year])
        last = statistics.mean(per_day[-year:])
        report[scenario] = {
            "days": days,
            "total_s": med(mod, lambda r: r["total"]),
            "baseline_total_s": med(base, lambda r: r["total"]),
            "inside_mod_s": inside,
            "post_s": post,
            "risk_s": risk,
            "mod_own_s": own,
            "mod_own_per_day_us": own / days * 1e6,
            "mod_own_per_record_us": own / records * 1e6 if records else None,
            "gc_s": med(mod, lambda r: r["gc"]),
            "baseline_gc_s": med(base, lambda r: r["gc"]),
            "records_received": records,
            "posts_received": mod[0]["received_posts"],
            "peak_rss_mb": med(mod, lambda r: r["peak_kb"]) / 1024,
            "baseline_peak_rss_mb": med(base, lambda r: r["peak_kb"]) / 1024,
            "first_year_per_day_us": first * 1e6,
            "last_year_per_day_us": last * 1e6,
        }
    return report


def instruction_counts(scenarios):
    """Instructions per trading day that the mod adds over the do-nothing mod,
    counted by callgrind: repeatable whatever else the machine is doing."""
    report = {}
    for scenario in scenarios:
        runs = {m: run_child(scenario, m, callgrind=True)
                for m in ("bench_null_mod", "tessar_mod_zelmo")}
        # The same run calling the host's Risk twice a day: the difference is
        # what Risk itself costs, which the per-day figure includes.
        double_risk = run_child(scenario, "tessar_mod_zelmo", callgrind=True, double_risk=True)
        days = SCENARIOS[scenario]["days"]
        extra = runs["tessar_mod_zelmo"]["instructions"] - runs["bench_null_mod"]["instructions"]
        risk = double_risk["instructions"] - runs["tessar_mod_zelmo"]["instructions"]
        report[scenario] = {
            "days": days,
            "mod_instructions": runs["tessar_mod_zelmo"]["instructions"],
            "baseline_instructions": runs["bench_null_mod"]["instructions"],
            "per_day": extra / days,
            "risk_per_day": risk / days,
            "mod_own_per_day": (extra - risk) / days,
            "posts_received": runs["tessar_mod_zelmo"]["received_posts"],
            "records_received": runs["tessar_mod_zelmo"]["received_records"],
        }
    return report


# --- components (this process) -----------------------------------------------------

def per_call(fn, n, repeat=7, clock=time.perf_counter):
    """Best of `repeat` rounds: seconds per call of fn(), n calls a round."""
    best = float("inf")
    for _ in range(repeat):
        started = clock()
        for _ in range(n):
            fn()
        best = min(best, (clock() - started) / n)
    return best


# --- a minimal loopback HTTP server (its own process) --------------------------------

def minimal_server(port):
    """Answers every request with an empty 200 and closes; keeps the last body."""
    import re
    listener = socket.create_server(("127.0.0.1", port))
    print("ready", flush=True)
    while True:
        conn, _ = listener.accept()
        data = b""
        while b"\r\n\r\n" not in data:
            data += conn.recv(65536)
        head, body = data.split(b"\r\n\r\n", 1)
        length = int(re.search(rb"(?i)content-length: (\d+)", head).group(1))
        while len(body) < length:
            body += conn.recv(65536)
        if body:
            Path(MINIMAL_BODY.format(port)).write_bytes(body)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        conn.close()


MINIMAL_BODY = os.path.join(tempfile.gettempdir(), "zelmo-bench-minimal-{}.body")


def minimal_server_last_body(url):
    return Path(MINIMAL_BODY.format(urllib.parse.urlsplit(url).port)).read_bytes()


def component_setup(service_url):
    """A host environment on day 250 of ten years, with a feeder and a
    writer that never flushes on its own."""
    import logbook
    from tessar.environment import Environment
    from tessar.events import EVENT, Event
    from tessar.model import (POSITION_EFFECT, SIDE, BenchmarkPortfolio, FutureAccount,
                              FuturePosition, PlotStore, Portfolio, StockAccount, StockPosition,
                              Trade)
    from tessar.runner import make_config
    from tessar_mod_zelmo.feeder.feeder import Feeder
    from tessar_mod_zelmo.feeder.pellard import FeedWriter

    logbook.NullHandler().push_application()
    start, end = trading_days_span(2520)
    env = Environment(make_config("none.py", start, end, {"STOCK": 1e6, "FUTURE": 1e6},
                                  "B", False))
    from tessar.model import DataProxy
    env.data_proxy = DataProxy()
    stock, future = StockAccount(1e6), FutureAccount(1e6)
    for i in range(20):
        p = stock.positions.setdefault("S{:05d}".format(i), StockPosition("S{:05d}".format(i)))
        p.quantity, p.avg_price, p.last_price = 1000, 10.0, 10.5
    for i in range(4):
        f = future.positions.setdefault("F{:03d}".format(i), FuturePosition("F{:03d}".format(i)))
        f.buy_quantity, f.buy_avg_open_price, f.last_price = 1, 4000.0, 4010.0
    env.portfolio = Portfolio({"STOCK": stock, "FUTURE": future}, start)
    env.benchmark_portfolio = BenchmarkPortfolio(2e6, 3000.0)
    env.plot_store = PlotStore()
    day = env.config.base.trading_calendar[250]
    env.calendar_dt = env.trading_dt = datetime.datetime.combine(day, datetime.time(15))
    for s in range(3):
        env.plot_store.add_plot(day, "series {}".format(s), 1.5 + s)

    class ZE:
        pass

    ze = ZE()
    ze.env, ze.algorithm_id, ze.backtest_id, ze.sqlite_result = env, 1, 2, None
    writer = FeedWriter(service_url)
    writer.threshold = 10 ** 12          # no flush while components are timed
    writer.last_flush_time = 1e18
    ze.feeds_writer = writer
    feeder = Feeder(ze)
    feeder._on_post_system_init(None)

    def clear():
        for k in KINDS:
            writer.feeds_queue[k] = []

    trade = Trade("S00001", 7, SIDE.BUY, POSITION_EFFECT.OPEN, 9, 100, 10.5, 5.0, 0.0)
    event = Event(EVENT.TRADE, trade=trade)

    def floor_trade(event=event):
        t = event.trade
        c, x = t.commission, t.tax
        return (ze.algorithm_id, ze.backtest_id, str(ze.env.calendar_dt), t.order_book_id,
                t.order_id, str(t.side), str(t.position_effect), t.exec_id, t.transaction_cost,
                t.last_quantity, t.last_price, c if c == c else None, x if x == x else None)
    return types.SimpleNamespace(**locals())


def components(service_url, minimal_url):
    import logbook
    import requests
    from tessar.utils.logger import user_log
    from tessar_mod_zelmo.feeder import feeder as feeder_module
    from tessar_mod_zelmo.feeder.pellard import FeedWriter
    from tessar_mod_zelmo.feeder.quillet import LogHandler

    c = component_setup(service_url)
    env, writer, feeder, event, clear = c.env, c.writer, c.feeder, c.event, c.clear
    floor_trade, results = c.floor_trade, {}
    n = 20000
    results["trade_into_queue_ns"] = per_call(lambda: feeder._on_trade(event), n) * 1e9
    clear()
    results["trade_floor_ns"] = per_call(floor_trade, n) * 1e9

    when = env.calendar_dt
    results["send_log_ns"] = per_call(lambda: feeder.send_log(when, "a line", 0), n) * 1e9
    clear()

    class DoNothing(logbook.Handler):
        def emit(self, record):
            pass

    saved = list(user_log.handlers)
    user_log.handlers[:] = [DoNothing(bubble=False)]
    results["log_floor_ns"] = per_call(lambda: user_log.info("day {} line {}", 3, 4), n) * 1e9
    user_log.handlers[:] = [LogHandler(feeder.send_log, bubble=False)]
    results["log_line_ns"] = per_call(lambda: user_log.info("day {} line {}", 3, 4), n) * 1e9
    user_log.handlers[:] = saved
    clear()

    records_per_day = 2 + 3 + 24 + 2
    results["portfolio_feed_per_record_ns"] = per_call(feeder._send_portfolio_feed, 2000) / records_per_day * 1e9
    clear()

    risk_time = [0.0]
    real_risk = feeder_module.Risk

    def timed_risk(*args):
        started = time.perf_counter()
        try:
            return real_risk(*args)
        finally:
            risk_time[0] += time.perf_counter() - started

    feeder_module.Risk = timed_risk
    rounds = 2000
    started = time.perf_counter()
    for _ in range(rounds):
        feeder._on_pre_settlement(None)
    elapsed = time.perf_counter() - started
    feeder_module.Risk = real_risk
    results["pre_settlement_day_us"] = elapsed / rounds * 1e6
    results["pre_settlement_risk_us"] = risk_time[0] / rounds * 1e6
    results["pre_settlement_own_us"] = (elapsed - risk_time[0]) / rounds * 1e6
    clear()

    # Building a flush's body: a flush to a URL the writer refuses at once
    # (after encoding), less the same flush with nothing queued, against
    # json.dumps + urlencode of the same mapping.  Byte identity is checked
    # on what the minimal server received.
    refused = FeedWriter("unix://no-post")

    def refused_flush():
        try:
            refused.flush()
        except requests.exceptions.InvalidURL:
            pass

    def body_case(batch):
        ordered = [(k, batch[k]) for k in KINDS if k in batch]  # the writer's field order

        def floor():
            return urllib.parse.urlencode({k: json.dumps(v) for k, v in ordered})

        for k in KINDS:
            refused.feeds_queue[k] = list(batch.get(k, ()))
        native_s = per_call(refused_flush, 300)
        for k in KINDS:
            refused.feeds_queue[k] = []
        native_s -= per_call(refused_flush, 300)
        floor_s = per_call(floor, 300)
        for k, records in batch.items():
            writer.feeds_queue[k] = list(records)
        writer.flush()
        identical = minimal_server_last_body(minimal_url) == floor().encode()
        return native_s, floor_s, identical

    trades = [floor_trade() for _ in range(100)]
    mixed = {"trade_feeds": trades[:40] * 5,
             "log_feeds": [(1, 2, "2020-01-02 15:00:00", "买入 S00001 at 10.50 股", 0)] * 300,
             "position_feeds": [r for r in _position_records(feeder, writer, clear)][:400],
             "portfolio_feeds": [_portfolio_record(feeder, writer, clear)] * 100}
    writer.url = minimal_url
    for name, batch in (("body_100_trades", {"trade_feeds": trades}), ("body_1000_mixed", mixed)):
        native_s, floor_s, identical = body_case(batch)
        results[name + "_us"] = native_s * 1e6
        results[name + "_floor_us"] = floor_s * 1e6
        results[name + "_identical"] = identical
    results["body_1000_mixed_records"] = sum(len(v) for v in mixed.values())

    # The client's cost of a flush: CPU time of this process (the server's
    # is its own), for 100 trade records against the minimal server, beside
    # requests.post of the same mapping.
    def flush_100():
        writer.feeds_queue["trade_feeds"] = list(trades)
        writer.flush()

    mapping = {"trade_feeds": json.dumps(trades)}
    results["flush_100_trades_cpu_us"] = per_call(flush_100, 300, clock=time.process_time) * 1e6
    results["flush_100_trades_cpu_floor_us"] = per_call(
        lambda: requests.post(minimal_url, data=mapping), 300, clock=time.process_time) * 1e6
    writer.url = service_url
    results["flush_100_trades_live_ms"] = per_call(flush_100, 50, repeat=3) * 1e3
    results["flush_100_trades_live_floor_ms"] = per_call(
        lambda: requests.post(service_url, data=mapping), 50, repeat=3) * 1e3
    return results


def _position_records(feeder, writer, clear):
    clear()
    records = []
    for _ in range(17):
        feeder._send_portfolio_feed()
        records += writer.feeds_queue["position_feeds"]
        clear()
    return records


def _portfolio_record(feeder, writer, clear):
    clear()
    feeder._send_portfolio_feed()
    record = writer.feeds_queue["portfolio_feeds"][0]
    clear()
    return record


# --- instructions per call (callgrind) ------------------------------------------------

# name: what one call does
CALL_OPS = {
    "trade": "a trade from _on_trade into the queue",
    "trade_floor": "Python building the same record into a list",
    "log_line": "user_log.info through LogHandler into the queue",
    "log_floor": "user_log.info with a do-nothing handler",
    "body_positions": "a flush body of 100 position records",
    "body_empty": "a flush body with nothing queued",
    "body_floats": "a flush body of 1,000 floats (10 records of 100)",
    "body_nulls": "a flush body of 1,000 nulls (10 records of 100)",
}


def count_calls_child(op, n):
    """Runs `op` n times after the component set-up (under callgrind)."""
    import random
    import logbook
    from tessar.utils.logger import user_log
    from tessar_mod_zelmo.feeder.pellard import FeedWriter
    from tessar_mod_zelmo.feeder.quillet import LogHandler

    c = component_setup("http://127.0.0.1:9/api/v1/feedgroup")
    # Each call's record leaves its queue at once, as a flush would take it:
    # a queue left to grow makes later calls dearer than earlier ones.
    if op == "trade":
        queue = c.writer.feeds_queue["trade_feeds"]

        def call():
            c.feeder._on_trade(c.event)
            queue.clear()
    elif op == "trade_floor":
        queue = []

        def call():
            queue.append(c.floor_trade())
            queue.clear()
    elif op in ("log_line", "log_floor"):
        class DoNothing(logbook.Handler):
            def emit(self, record):
                pass

        handler = LogHandler(c.feeder.send_log, bubble=False) if op == "log_line" \
            else DoNothing(bubble=False)
        user_log.handlers[:] = [handler]
        queue = c.writer.feeds_queue["log_feeds"]

        def call():
            user_log.info("day {} line {}", 3, 4)
            queue.clear()
    else:
        # The body is built, then the post refuses the URL at once.
        refused = FeedWriter("unix://no-post")
        rng = random.Random(1)
        if op == "body_positions":
            c.writer.should_flush = lambda portfolio_feed: False  # bars without a service
            refused.feeds_queue["position_feeds"] = _position_records(c.feeder, c.writer, c.clear)[:100]
        elif op == "body_floats":
            refused.feeds_queue["risk_feeds"] = [tuple(rng.uniform(-1e6, 1e6) for _ in range(100))
                                                 for _ in range(10)]
        elif op == "body_nulls":
            refused.feeds_queue["risk_feeds"] = [(None,) * 100 for _ in range(10)]

        def call():
            try:
                refused.flush()
            except Exception:
                pass
    # The collector is off while the calls run, as timeit has it: otherwise
    # the collections that fall among them would scan the set-up's objects
    # and the growing queue, a cost that depends on how many calls ran.
    gc.collect()
    gc.disable()
    for _ in range(n):
        call()


def per_call_instructions():
    """Instructions per call of each operation: the difference between
    callgrind's counts of two processes that run it a few times and many
    times.  The set-up's own count moves by a few million instructions from
    one process to the next (object addresses steer hashing), so the second
    process runs 20,000 more calls (2,000 more of the bodies, each of which
    encodes 100 records or more)."""
    counts = {}
    for op in CALL_OPS:
        few, many = (100, 2100) if op.startswith("body_") else (1000, 21000)
        totals = []
        for n in (few, many):
            run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                  sys.executable, __file__, "--count-calls", op, str(n)],
                                 stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True,
                                 env=dict(os.environ, PYTHONHASHSEED="0"), check=True)
            totals.append(int(run.stderr.rsplit("Collected : ", 1)[1].split()[0]))
        counts[op] = (totals[1] - totals[0]) / (many - few)
    return {
        "trade_into_queue": counts["trade"],
        "trade_floor": counts["trade_floor"],
        "log_line": counts["log_line"],
        "log_line_floor": counts["log_floor"],
        "encoder_per_position_record": (counts["body_positions"] - counts["body_empty"]) / 100,
        "encoder_per_float_over_null": (counts["body_floats"] - counts["body_nulls"]) / 1000,
    }


# --- report --------------------------------------------------------------------------

def print_report(report):
    c = report["components"]
    if c:
        print_components(c)
    if report["per_call_instructions"]:
        print("\nInstructions per call (callgrind)")
        for name, count in report["per_call_instructions"].items():
            print("  {:32} {:>10,.0f}".format(name, count))
    for scenario, r in report["instructions"].items():
        print("\nInstructions (callgrind), {} ({} trading days, age rule off)".format(
            scenario, r["days"]))
        print("  mod {:,} - do-nothing {:,} = {:,.0f} per trading day; {} records in {} posts".format(
            r["mod_instructions"], r["baseline_instructions"], r["per_day"],
            r["records_received"], r["posts_received"]))
        print("  of which the host's Risk {:,.0f}, the mod's own {:,.0f} per trading day".format(
            r["risk_per_day"], r["mod_own_per_day"]))
    print_runs(report)


def print_components(c):
    print("\nComponents (this process)                      mod        floor     ratio")
    rows = [
        ("trade: _on_trade into the queue (ns)", c["trade_into_queue_ns"], c["trade_floor_ns"]),
        ("log line through LogHandler (ns)", c["log_line_ns"], c["log_floor_ns"]),
        ("body, 100 trade records (us)", c["body_100_trades_us"], c["body_100_trades_floor_us"]),
        ("body, {} mixed records (us)".format(c["body_1000_mixed_records"]),
         c["body_1000_mixed_us"], c["body_1000_mixed_floor_us"]),
        ("flush of 100 trades, client CPU (us)", c["flush_100_trades_cpu_us"],
         c["flush_100_trades_cpu_floor_us"]),
        ("flush of 100 trades to the service (ms)", c["flush_100_trades_live_ms"],
         c["flush_100_trades_live_floor_ms"]),
    ]
    for name, mod, floor in rows:
        print("  {:<44} {:>9.2f} {:>10.2f} {:>8.2f}x".format(name, mod, floor, mod / floor))
    print("  log line over the do-nothing handler: {:.2f} us".format(
        (c["log_line_ns"] - c["log_floor_ns"]) / 1000))
    print("  send_log into the queue: {:.0f} ns".format(c["send_log_ns"]))
    print("  _send_portfolio_feed per record: {:.0f} ns".format(c["portfolio_feed_per_record_ns"]))
    print("  _on_pre_settlement per day: {:.1f} us ({:.1f} us in the host's Risk, {:.1f} us the mod's)".format(
        c["pre_settlement_day_us"], c["pre_settlement_risk_us"], c["pre_settlement_own_us"]))
    print("  bodies byte-identical to json.dumps + urlencode: {}".format(
        c["body_100_trades_identical"] and c["body_1000_mixed_identical"]))


def print_runs(report):
    for scenario, r in report["runs"].items():
        print("\nWhole run: {} ({} trading days), medians of {} runs".format(
            scenario, r["days"], report["repeat"]))
        print("  total {:.2f} s (do-nothing mod {:.2f} s); inside the mod {:.3f} s".format(
            r["total_s"], r["baseline_total_s"], r["inside_mod_s"]))
        print("  of which flushes (encoding and post) {:.3f} s, host's Risk {:.3f} s, the mod's own {:.3f} s".format(
            r["post_s"], r["risk_s"], r["mod_own_s"]))
        print("  garbage collection {:.3f} s (do-nothing mod {:.3f} s)".format(r["gc_s"], r["baseline_gc_s"]))
        print("  mod's own: {:.1f} us per trading day, {:.2f} us per record".format(
            r["mod_own_per_day_us"], r["mod_own_per_record_us"] or 0))
        print("  first year {:.1f} us/day, last year {:.1f} us/day".format(
            r["first_year_per_day_us"], r["last_year_per_day_us"]))
        print("  service received {} records in {} posts".format(r["records_received"],
                                                                 r["posts_received"]))
        print("  peak memory {:.1f} MB (do-nothing mod {:.1f} MB): +{:.1f} MB".format(
            r["peak_rss_mb"], r["baseline_peak_rss_mb"], r["peak_rss_mb"] - r["baseline_peak_rss_mb"]))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--minimal-server":
        minimal_server(int(sys.argv[2]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--count-calls":
        sys.path.insert(0, str(HERE))
        count_calls_child(sys.argv[2], int(sys.argv[3]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        sys.path.insert(0, str(HERE))
        child(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5],
              frozen_clock="--frozen-clock" in sys.argv[6:],
              double_risk="--double-risk" in sys.argv[6:])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="components and one short run only")
    parser.add_argument("--components", action="store_true", help="component figures only")
    parser.add_argument("--callgrind", action="append", choices=list(SCENARIOS),
                        help="also count instructions of these runs under callgrind "
                             "(about 50 times slower)")
    parser.add_argument("--callgrind-only", action="store_true",
                        help="only the instruction counts")
    parser.add_argument("--per-call", action="store_true",
                        help="also count instructions per call of the hot paths under callgrind "
                             "(about 4 minutes)")
    parser.add_argument("--scenario", action="append", choices=list(SCENARIOS),
                        help="whole runs of these scenarios only")
    args = parser.parse_args()
    os.environ["PYTHONPATH"] = os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")])
    # numpy's BLAS threads spin between calls; on a small machine they would
    # compete with the run being measured.
    os.environ["OPENBLAS_NUM_THREADS"] = "1"

    work = Path(tempfile.mkdtemp())
    port = free_port()
    service = subprocess.Popen([sys.executable, "-m", "zelmo_frontend", "--db",
                                str(work / "front.db"), "--port", str(port)],
                               stdout=subprocess.PIPE)
    service.stdout.readline()
    minimal_port = free_port()
    minimal = subprocess.Popen([sys.executable, __file__, "--minimal-server", str(minimal_port)],
                               stdout=subprocess.PIPE)
    minimal.stdout.readline()
    try:
        comp = {} if args.callgrind_only else components("http://127.0.0.1:{}/api/v1/feedgroup".format(port),
                          "http://127.0.0.1:{}/api/v1/feedgroup".format(minimal_port))
    finally:
        for process in (service, minimal):
            process.terminate()
            process.wait()
    scenarios = ([] if args.components or args.callgrind_only else args.scenario or
                 (["log-heavy"] if args.quick else ["ten-year", "log-heavy", "position-heavy"]))
    report = {
        "machine": "{} {}, {} cores, Python {}".format(platform.system(), platform.machine(),
                                                      os.cpu_count(), platform.python_version()),
        "date": datetime.date.today().isoformat(),
        "repeat": args.repeat,
        "components": comp,
        "runs": whole_runs(args.repeat, scenarios),
        "instructions": instruction_counts(args.callgrind or []),
        "per_call_instructions": per_call_instructions() if args.per_call else {},
    }
    print_report(report)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "latest.json").write_text(json.dumps(report, indent=2))
    print("\nwritten to {}".format(RESULTS / "latest.json"))


if __name__ == "__main__":
    main()
