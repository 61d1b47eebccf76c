"""Wall time: what the mod costs a whole backtest.

    .venv/bin/python bench/whole_runs.py [--repeat 3] [--scenario NAME ...] [--quick]

Each run goes through the stand-in host in a fresh process beside the same
run with the do-nothing mod, the feed service in a process of its own.  The
mod's time is the time spent in the host's event dispatch and log calls
beyond the do-nothing run, with flushes (encoding and post, whose wall time
includes the service's own) and the host's Risk timed apart.  Prints the
medians and writes bench/results/whole_runs.json."""
import argparse
import statistics

from common import BASELINE, MOD, SCENARIOS, run_backtest, save_results


def median(rows, figure):
    return statistics.median(figure(r) for r in rows)


def per_day_over_baseline(mod, base):
    """The mod's own time per trading day: each day's time in the host's
    calls less what the do-nothing run spent that day and less the flushes
    and Risk of that day; the median over the runs."""
    base_per_day = [statistics.median(col) for col in zip(*(r["days"] for r in base))]
    mod_days = [[d - o - b for d, o, b in zip(r["days"], r["other_days"], base_per_day)]
                for r in mod]
    return [statistics.median(col) for col in zip(*mod_days)]


def scenario_figures(scenario, repeat):
    base = [run_backtest(scenario, BASELINE) for _ in range(repeat)]
    mod = [run_backtest(scenario, MOD) for _ in range(repeat)]
    days = SCENARIOS[scenario]["days"]
    per_day = per_day_over_baseline(mod, base)
    inside = median(mod, lambda r: sum(r["days"]) + r["tear_down"]) - median(base, lambda r: sum(r["days"]))
    post, risk = median(mod, lambda r: r["post"]), median(mod, lambda r: r["risk"])
    own = inside - post - risk
    records = mod[0]["received_records"]
    year = min(252, days)
    return {
        "days": days,
        "total_s": median(mod, lambda r: r["total"]),
        "baseline_total_s": median(base, lambda r: r["total"]),
        "inside_mod_s": inside,
        "post_s": post,
        "risk_s": risk,
        "mod_own_s": own,
        "mod_own_per_day_us": own / days * 1e6,
        "mod_own_per_record_us": own / records * 1e6 if records else None,
        "gc_s": median(mod, lambda r: r["gc"]),
        "baseline_gc_s": median(base, lambda r: r["gc"]),
        "records_received": records,
        "posts_received": mod[0]["received_posts"],
        "peak_rss_mb": median(mod, lambda r: r["peak_kb"]) / 1024,
        "baseline_peak_rss_mb": median(base, lambda r: r["peak_kb"]) / 1024,
        "first_year_per_day_us": statistics.mean(per_day[:year]) * 1e6,
        "last_year_per_day_us": statistics.mean(per_day[-year:]) * 1e6,
    }


def print_scenario(scenario, r, repeat):
    print("\nWhole run: {} ({} trading days), medians of {} runs".format(scenario, r["days"], repeat))
    print("  total {:.2f} s (do-nothing mod {:.2f} s); inside the mod {:.3f} s".format(
        r["total_s"], r["baseline_total_s"], r["inside_mod_s"]))
    print("  of which flushes (encoding and post) {:.3f} s, host's Risk {:.3f} s, "
          "the mod's own {:.3f} s".format(r["post_s"], r["risk_s"], r["mod_own_s"]))
    print("  garbage collection {:.3f} s (do-nothing mod {:.3f} s)".format(r["gc_s"], r["baseline_gc_s"]))
    print("  mod's own: {:.1f} us per trading day, {:.2f} us per record".format(
        r["mod_own_per_day_us"], r["mod_own_per_record_us"] or 0))
    print("  first year {:.1f} us/day, last year {:.1f} us/day".format(
        r["first_year_per_day_us"], r["last_year_per_day_us"]))
    print("  service received {} records in {} posts".format(r["records_received"], r["posts_received"]))
    print("  peak memory {:.1f} MB (do-nothing mod {:.1f} MB): +{:.1f} MB".format(
        r["peak_rss_mb"], r["baseline_peak_rss_mb"], r["peak_rss_mb"] - r["baseline_peak_rss_mb"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scenario", action="append", choices=list(SCENARIOS))
    parser.add_argument("--quick", action="store_true", help="the log-heavy run only")
    args = parser.parse_args()
    scenarios = args.scenario or (["log-heavy"] if args.quick else
                                  ["ten-year", "log-heavy", "position-heavy"])
    report = {}
    for scenario in scenarios:
        report[scenario] = scenario_figures(scenario, args.repeat)
        print_scenario(scenario, report[scenario], args.repeat)
    save_results("whole_runs", dict(report, repeat=args.repeat))


if __name__ == "__main__":
    main()
