"""The demo: one backtest through the stand-in host with the zelmo mod loaded.

Everything lives in a demo home directory (demo-home/ beside this folder):
the user configuration ~/.zelmo/zelmo.yml, the front end's database and the
identity files.  The stand-in feed service runs in its own process on the
front end's port, 10300.  At the end the demo prints what the front end
received and draws the strategy's and the benchmark's unit net value.
"""
import datetime
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import yaml

HERE = Path(__file__).resolve().parent
DEMO_HOME = HERE.parent / "demo-home"
FEED_PORT = 10300
KINDS = ["risk_feeds", "account_feeds", "position_feeds", "plot_feeds", "log_feeds",
         "trade_feeds", "portfolio_feeds"]


def prepare_home():
    shutil.rmtree(DEMO_HOME, ignore_errors=True)
    (DEMO_HOME / ".zelmo").mkdir(parents=True)
    (DEMO_HOME / "bundle").mkdir()
    db = DEMO_HOME / "front" / "zelmo.db"
    settings = {"vantix_username": "demo", "vantix_password": "demo",
                "vantix_host": "127.0.0.1", "vantix_port": 16010,
                "bundle_path": str(DEMO_HOME / "bundle"), "sqlite_path": str(db),
                "pid_path": str(DEMO_HOME / "pids")}
    (DEMO_HOME / ".zelmo" / "zelmo.yml").write_text(yaml.safe_dump(settings), encoding="utf-8")
    # The mod only reads the user's home through HOME (USERPROFILE on
    # Windows): this process's runs see the demo home, the user's real one is
    # never touched.
    os.environ["HOME"] = os.environ["USERPROFILE"] = str(DEMO_HOME)
    return db


def start_feed_service(db):
    with socket.socket() as probe:
        if probe.connect_ex(("127.0.0.1", FEED_PORT)) == 0:
            sys.exit("port {} is taken: stop whatever listens there (another demo?)".format(FEED_PORT))
    service = subprocess.Popen([sys.executable, "-m", "zelmo_frontend",
                                "--db", str(db), "--port", str(FEED_PORT)],
                               stdout=subprocess.DEVNULL)
    deadline = time.time() + 10
    while time.time() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", FEED_PORT)) == 0:
                return service
        time.sleep(0.05)
    service.kill()
    sys.exit("the feed service did not start")


def summarise(db, mod, seconds, days):
    import json

    ze = mod.zelmo_env
    ids = (ze.algorithm_id, ze.backtest_id)
    conn = sqlite3.connect(str(db))
    counts = dict(conn.execute("SELECT kind, count(*) FROM feed_records GROUP BY kind"))
    posts = conn.execute("SELECT count(*) FROM feed_posts").fetchone()[0]
    portfolio = [json.loads(r[0]) for r in conn.execute(
        "SELECT record FROM feed_records WHERE kind = 'portfolio_feeds' ORDER BY id")]
    identity_file = Path(ze.pid_path) / "{}.identity".format(os.getpid())
    row = conn.execute("SELECT comment, uuid, exception FROM backtests WHERE id = ?",
                       (ze.backtest_id,)).fetchone()
    conn.close()

    print()
    print("Backtest: {} trading days in {:.1f} s".format(days, seconds))
    print("Run registered: algorithm_id {}, backtest_id {}, comment {!r}".format(*ids, row[0]))
    print("Identity file {}: {}".format(identity_file, identity_file.read_text()))
    print("Front end received {} posts:".format(posts))
    for kind in KINDS:
        print("  {:<16} {:>7} records".format(kind, counts.get(kind, 0)))
    strategy = [r for r in portfolio if r[3] is False]
    benchmark = [r for r in portfolio if r[3] is True]
    last = strategy[-1]
    print("Final portfolio on {}: total value {:,.2f}, unit net value {:.4f}, "
          "total returns {:.2%}, annualized {:.2%}".format(last[2], last[5], last[7], last[10],
                                                           last[11]))
    if benchmark:
        print("Benchmark unit net value {:.4f}".format(benchmark[-1][7]))
    print("Front end database: {}".format(db))
    return strategy, benchmark


def draw(strategy, benchmark, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    def series(records):
        return ([datetime.datetime.strptime(r[2], "%Y-%m-%d %H:%M:%S") for r in records],
                [r[7] for r in records])

    fig, ax = plt.subplots(figsize=(10, 5))
    ax.plot(*series(strategy), label="strategy")
    if benchmark:
        ax.plot(*series(benchmark), label="benchmark")
    ax.set_title("Unit net value, as received by the front end")
    ax.set_ylabel("unit net value")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.autofmt_xdate()
    fig.savefig(str(path), dpi=100)
    print("Chart: {}".format(path))


def main():
    db = prepare_home()
    from zelmo_frontend import create_schema
    from tessar.runner import run

    create_schema(str(db))
    service = start_feed_service(db)
    try:
        started = time.time()
        result = run(str(HERE / "example_strategy.py"), datetime.date(2019, 1, 2),
                     datetime.date(2020, 12, 31), enable_profiler=True)
        seconds = time.time() - started
    finally:
        time.sleep(0.2)
        service.terminate()
        service.wait()
    if result.exception is not None:
        sys.exit("the backtest failed: {}".format(result.exception))
    strategy, benchmark = summarise(db, result.mods[0], seconds, result.days)
    draw(strategy, benchmark, DEMO_HOME / "net_value.png")


if __name__ == "__main__":
    main()
