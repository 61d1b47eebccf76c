"""Component timings: each hot path timed in this process beside its floor.

    .venv/bin/python bench/components.py      (about a minute)

The floors are what plain Python does for the same result: building the
trade's record, logbook with a do-nothing handler, json.dumps + urlencode of
the same batch, requests.post of the same form.  The client's cost of a
flush is the CPU time of this process against bench/minimal_server.py in a
process of its own, so that the server's time is not counted.  Prints the
table and writes bench/results/components.json."""
import json
import time
import urllib.parse

from common import (DoNothingHandler, component_setup, per_call, refused_writer,
                    save_results, start_feed_service, start_minimal_server, stop, temporary_dir)
from minimal_server import last_body

N = 20000


def record_figures(c, results):
    from tessar.utils.logger import user_log
    from tessar_mod_zelmo.feeder.quillet import LogHandler

    results["trade_into_queue_ns"] = per_call(lambda: c.feeder._on_trade(c.event), N) * 1e9
    c.clear()
    results["trade_floor_ns"] = per_call(c.floor_trade, N) * 1e9
    when = c.env.calendar_dt
    results["send_log_ns"] = per_call(lambda: c.feeder.send_log(when, "a line", 0), N) * 1e9
    c.clear()

    saved = list(user_log.handlers)
    user_log.handlers[:] = [DoNothingHandler(bubble=False)]
    results["log_floor_ns"] = per_call(lambda: user_log.info("day {} line {}", 3, 4), N) * 1e9
    user_log.handlers[:] = [LogHandler(c.feeder.send_log, bubble=False)]
    results["log_line_ns"] = per_call(lambda: user_log.info("day {} line {}", 3, 4), N) * 1e9
    user_log.handlers[:] = saved
    c.clear()

    records_per_day = 2 + 3 + 24 + 2
    results["portfolio_feed_per_record_ns"] = \
        per_call(c.feeder._send_portfolio_feed, 2000) / records_per_day * 1e9
    c.clear()


def pre_settlement_figures(c, results):
    from tessar_mod_zelmo.feeder import feeder as feeder_module

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
        c.feeder._on_pre_settlement(None)
    elapsed = time.perf_counter() - started
    feeder_module.Risk = real_risk
    results["pre_settlement_day_us"] = elapsed / rounds * 1e6
    results["pre_settlement_risk_us"] = risk_time[0] / rounds * 1e6
    results["pre_settlement_own_us"] = (elapsed - risk_time[0]) / rounds * 1e6
    c.clear()


def body_figures(c, results, minimal_url):
    """Building a flush's body: a flush to a URL the writer refuses at once
    (after encoding), less the same flush with nothing queued, against
    json.dumps + urlencode of the same mapping.  Byte identity is checked on
    what the minimal server received."""
    from tessar_mod_zelmo.feeder.pellard import FeedWriter
    refused, refused_flush = refused_writer()

    def body_case(batch):
        ordered = [(k, batch[k]) for k in FeedWriter.keys if k in batch]

        def floor():
            return urllib.parse.urlencode({k: json.dumps(v) for k, v in ordered})

        for k in FeedWriter.keys:
            refused.feeds_queue[k] = list(batch.get(k, ()))
        native_s = per_call(refused_flush, 300)
        for k in FeedWriter.keys:
            refused.feeds_queue[k] = []
        native_s -= per_call(refused_flush, 300)
        floor_s = per_call(floor, 300)
        for k, records in batch.items():
            c.writer.feeds_queue[k] = list(records)
        c.writer.flush()
        return native_s, floor_s, last_body(minimal_url) == floor().encode()

    trades = [c.floor_trade() for _ in range(100)]
    mixed = {"trade_feeds": trades[:40] * 5,
             "log_feeds": [(1, 2, "2020-01-02 15:00:00", "买入 S00001 at 10.50 股", 0)] * 300,
             "position_feeds": c.position_records(400),
             "portfolio_feeds": [c.portfolio_record()] * 100}
    c.writer.url = minimal_url
    for name, batch in (("body_100_trades", {"trade_feeds": trades}), ("body_1000_mixed", mixed)):
        native_s, floor_s, identical = body_case(batch)
        results[name + "_us"] = native_s * 1e6
        results[name + "_floor_us"] = floor_s * 1e6
        results[name + "_identical"] = identical
    results["body_1000_mixed_records"] = sum(len(v) for v in mixed.values())
    return trades


def flush_figures(c, results, trades, service_url, minimal_url):
    """The client's cost of a flush of 100 trade records: CPU time of this
    process against the minimal server, beside requests.post of the same
    form; then wall time against the feed service."""
    import requests

    def flush_100():
        c.writer.feeds_queue["trade_feeds"] = list(trades)
        c.writer.flush()

    mapping = {"trade_feeds": json.dumps(trades)}
    c.writer.url = minimal_url
    results["flush_100_trades_cpu_us"] = per_call(flush_100, 300, clock=time.process_time) * 1e6
    results["flush_100_trades_cpu_floor_us"] = per_call(
        lambda: requests.post(minimal_url, data=mapping), 300, clock=time.process_time) * 1e6
    c.writer.url = service_url
    results["flush_100_trades_live_ms"] = per_call(flush_100, 50, repeat=3) * 1e3
    results["flush_100_trades_live_floor_ms"] = per_call(
        lambda: requests.post(service_url, data=mapping), 50, repeat=3) * 1e3


def print_figures(c):
    print("Components (this process)                      mod        floor     ratio")
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
    print("  _on_pre_settlement per day: {:.1f} us ({:.1f} us in the host's Risk, "
          "{:.1f} us the mod's)".format(c["pre_settlement_day_us"], c["pre_settlement_risk_us"],
                                        c["pre_settlement_own_us"]))
    print("  bodies byte-identical to json.dumps + urlencode: {}".format(
        c["body_100_trades_identical"] and c["body_1000_mixed_identical"]))


def main():
    service, service_url = start_feed_service(temporary_dir() / "front.db")
    minimal, minimal_url = start_minimal_server()
    try:
        c = component_setup(service_url)
        results = {}
        record_figures(c, results)
        pre_settlement_figures(c, results)
        trades = body_figures(c, results, minimal_url)
        flush_figures(c, results, trades, service_url, minimal_url)
    finally:
        stop(service, minimal)
    print_figures(results)
    save_results("components", results)


if __name__ == "__main__":
    main()
