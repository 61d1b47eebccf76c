"""What the benchmark scripts share: the scenarios, the feed service and the
minimal server they post to, the component set-up, and the results file.

The scripts put bench/ on the path of every process they start, so that the
do-nothing mod (bench_null_mod) and this module import there too."""
import datetime
import json
import os
import platform
import re
import socket
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

import logbook

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"

SCENARIOS = {
    # name: trading days, stocks, futures, trades/day, logs/day, plot series
    "ten-year": dict(days=2520, stocks=20, futures=4, trades=5, logs=10, plots=3),
    # the same day, fewer of them: for comparing builds under callgrind
    "thousand-day": dict(days=1000, stocks=20, futures=4, trades=5, logs=10, plots=3),
    "log-heavy": dict(days=250, stocks=20, futures=4, trades=5, logs=200, plots=3),
    "position-heavy": dict(days=250, stocks=296, futures=4, trades=5, logs=10, plots=3),
}
# The two mods every whole run is measured with.
BASELINE, MOD = "bench_null_mod", "tessar_mod_zelmo"


def child_env(**extra):
    """The environment of a measured process: bench/ importable, numpy's BLAS
    on one thread (its threads spin between calls and would compete with the
    run on a small machine), hashing fixed."""
    path = os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")])
    return dict(os.environ, PYTHONPATH=path, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0",
                **extra)


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


class DoNothingHandler(logbook.Handler):
    """A handler that is not a black hole, so that logbook prepares every
    record, and that does nothing with it."""

    def emit(self, record):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def feed_url(port):
    return "http://127.0.0.1:{}/api/v1/feedgroup".format(port)


def start_server(command):
    """Starts a server process that prints a line once it listens."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, env=child_env())
    process.stdout.readline()
    return process


def start_feed_service(db):
    """The stand-in feed service in a process of its own; (process, URL)."""
    port = free_port()
    process = start_server([sys.executable, "-m", "zelmo_frontend", "--db", str(db),
                            "--port", str(port)])
    return process, feed_url(port)


def start_minimal_server():
    """bench/minimal_server.py in a process of its own; (process, URL)."""
    port = free_port()
    process = start_server([sys.executable, str(HERE / "minimal_server.py"), str(port)])
    return process, feed_url(port)


def stop(*processes):
    for process in processes:
        process.terminate()
        process.wait()


def callgrind_count(*arguments):
    """Instructions callgrind counts for a child interpreter run with
    `arguments`, its output discarded."""
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          sys.executable, *arguments], stderr=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, text=True, env=child_env(), check=True)
    return int(run.stderr.rsplit("Collected : ", 1)[1].split()[0])


def risk_call(profile):
    """The inclusive count of the Risk calls made from the day's records in
    a counted run's profile: the heaviest callee of on_pre_settlement that
    is not the mod's own (needs a build with symbols)."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--tree=calling", "--auto=no",
                          "--threshold=100", profile],
                         capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    foreign = []
    # Every entry of the function (see split.py's inclusive_counts) lists its own callees.
    for i, line in enumerate(lines):
        if re.search(r"\*\s+.*::on_pre_settlement\(", line):
            for callee in lines[i + 1:]:
                m = re.match(r"\s*([\d,]+) \([^)]*\)\s+>\s+(.*)$", callee)
                if not m:
                    break
                if "tessar_mod_zelmo" not in m.group(2):
                    foreign.append(int(m.group(1).replace(",", "")))
    return max(foreign, default=0)


def run_backtest(scenario, mod, callgrind=False, double_risk=False, pad=0):
    """One run of bench/backtest_child.py in a fresh process, with a fresh
    feed service in another; its figures and what the service received.
    Under callgrind (a counted run) the figures hold its instruction count,
    and "profile" names callgrind's file of it (kept).  `pad`: that many
    small objects made before the host loads (backtest_child.py --pad)."""
    import sqlite3
    import yaml
    work = temporary_dir()
    home = work / "home"
    (home / ".zelmo").mkdir(parents=True)
    db = work / "front.db"
    settings = {"vantix_username": "b", "vantix_password": "b", "vantix_host": "127.0.0.1",
                "vantix_port": 1, "bundle_path": str(work), "sqlite_path": str(db),
                "pid_path": str(work / "pids")}
    (home / ".zelmo" / "zelmo.yml").write_text(yaml.safe_dump(settings))
    service, url = start_feed_service(db)
    out, counts = work / "out.json", work / "callgrind.out"
    command = [sys.executable, str(HERE / "backtest_child.py"), scenario, mod, url, str(out)]
    if callgrind:
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file={}".format(counts)] + \
            command + ["--counted"] + (["--double-risk"] if double_risk else [])
    if pad:
        command += ["--pad", str(pad)]
    try:
        subprocess.run(command, check=True, env=child_env(HOME=str(home)),
                       stderr=subprocess.DEVNULL if callgrind else None)
    finally:
        time.sleep(0.1)
        stop(service)
    figures = json.loads(out.read_text())
    if callgrind:
        figures["profile"] = str(counts)
        for line in open(counts):
            if line.startswith("summary:") or line.startswith("totals:"):
                figures["instructions"] = int(line.split()[1])
    conn = sqlite3.connect(str(db))
    figures["received_records"] = conn.execute("SELECT count(*) FROM feed_records").fetchone()[0]
    figures["received_posts"] = conn.execute("SELECT count(*) FROM feed_posts").fetchone()[0]
    conn.close()
    return figures


def refused_writer():
    """A feed writer whose post refuses its URL at once, after the body is
    built, and its flush with the refusal caught: (writer, flush).  flush()
    then costs the encoding alone.  (requests is imported here, not with this
    module: the do-nothing runs import this module too.)"""
    from requests.exceptions import InvalidURL
    from tessar_mod_zelmo.feeder.pellard import FeedWriter
    writer = FeedWriter("unix://no-post")

    def flush():
        try:
            writer.flush()
        except InvalidURL:
            pass
    return writer, flush


def per_call(fn, n, repeat=7, clock=time.perf_counter):
    """Best of `repeat` rounds: seconds per call of fn(), n calls a round."""
    best = float("inf")
    for _ in range(repeat):
        started = clock()
        for _ in range(n):
            fn()
        best = min(best, (clock() - started) / n)
    return best


def component_setup(service_url):
    """A host environment on day 250 of ten years, with a feeder and a
    writer that never flushes on its own."""
    from tessar.environment import Environment
    from tessar.events import EVENT, Event
    from tessar.model import (POSITION_EFFECT, SIDE, BenchmarkPortfolio, DataProxy,
                              FutureAccount, FuturePosition, PlotStore, Portfolio, StockAccount,
                              StockPosition, Trade)
    from tessar.runner import make_config
    from tessar_mod_zelmo.feeder.feeder import Feeder
    from tessar_mod_zelmo.feeder.pellard import FeedWriter

    logbook.NullHandler().push_application()
    start, end = trading_days_span(2520)
    env = Environment(make_config("none.py", start, end, {"STOCK": 1e6, "FUTURE": 1e6},
                                  "B", False))
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

    class RunEnvironment:  # what the feeder reads of the mod's run environment
        pass

    ze = RunEnvironment()
    ze.env, ze.algorithm_id, ze.backtest_id, ze.sqlite_result = env, 1, 2, None
    writer = FeedWriter(service_url)
    writer.threshold = 10 ** 12          # no flush while components are measured
    writer.last_flush_time = 1e18
    ze.feeds_writer = writer
    feeder = Feeder(ze)
    feeder._on_post_system_init(None)

    def clear():
        for kind in FeedWriter.keys:
            writer.feeds_queue[kind] = []

    trade = Trade("S00001", 7, SIDE.BUY, POSITION_EFFECT.OPEN, 9, 100, 10.5, 5.0, 0.0)
    event = Event(EVENT.TRADE, trade=trade)

    def floor_trade(event=event):
        """Python building the record _on_trade builds."""
        t = event.trade
        c, x = t.commission, t.tax
        return (ze.algorithm_id, ze.backtest_id, str(ze.env.calendar_dt), t.order_book_id,
                t.order_id, str(t.side), str(t.position_effect), t.exec_id, t.transaction_cost,
                t.last_quantity, t.last_price, c if c == c else None, x if x == x else None)

    def position_records(count):
        """`count` position records as the feeder makes them, from as many bars as it takes."""
        records = []
        while len(records) < count:
            clear()
            feeder._send_portfolio_feed()
            records += writer.feeds_queue["position_feeds"]
        clear()
        return records[:count]

    def portfolio_record():
        clear()
        feeder._send_portfolio_feed()
        record = writer.feeds_queue["portfolio_feeds"][0]
        clear()
        return record

    return types.SimpleNamespace(env=env, writer=writer, feeder=feeder, event=event,
                                 clear=clear, floor_trade=floor_trade,
                                 position_records=position_records,
                                 portfolio_record=portfolio_record)


def save_results(name, figures):
    """Writes bench/results/NAME.json with the machine and the date."""
    report = {"machine": "{} {}, {} cores, Python {}".format(
        platform.system(), platform.machine(), os.cpu_count(), platform.python_version()),
        "date": datetime.date.today().isoformat(), name: figures}
    RESULTS.mkdir(exist_ok=True)
    path = RESULTS / "{}.json".format(name)
    path.write_text(json.dumps(report, indent=2))
    print("\nwritten to {}".format(path))


def temporary_dir():
    return Path(tempfile.mkdtemp(prefix="zelmo-bench-"))
