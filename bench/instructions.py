"""Instruction counts: what the mod adds to a whole backtest per trading day,
counted by callgrind, which repeats exactly however busy the machine is.

    .venv/bin/python bench/instructions.py [--scenario NAME ...] [--layouts K] [--two-runs]
    (ten-year by default; needs a build with symbols, as split.py does)

Counts the run with the mod beside the same run with the do-nothing mod.
The host's Risk, which the mod asks for once a day, is counted apart: the
inclusive count of its calls in the mod's run.

Where a run's objects happen to lie moves its count: the interpreter's
type-attribute cache and its context variables' lookups are keyed by
addresses, so one layout has collisions that another lacks, some 10,000
instructions a day either way.  So each pair of runs is counted in K
layouts (3 by default), each with a different number of small objects made
before the host loads (backtest_child.py --pad), and the figures are the
medians over the layouts.

--two-runs also counts the mod's run once more with Risk called twice a day
and gives the difference, the estimate used before 2026-12-11, which those
collisions move the most.  The runs are counted ones (backtest_child.py
--counted): no timing wrappers, a frozen writer clock.  Prints the counts
and writes bench/results/instructions.json."""
import argparse
import statistics

from common import BASELINE, MOD, SCENARIOS, risk_call, run_backtest, save_results

# The small objects made first in each layout: 0 is the plain run.
PADS = [0, 577, 1153, 1741, 2333]


def layout_counts(scenario, pad, two_runs):
    mod = run_backtest(scenario, MOD, callgrind=True, pad=pad)
    base = run_backtest(scenario, BASELINE, callgrind=True, pad=pad)
    risk = risk_call(mod["profile"])
    if risk == 0:
        raise SystemExit("error: the installed mod has no symbols (use scripts/setup.sh's build)")
    days = SCENARIOS[scenario]["days"]
    extra = mod["instructions"] - base["instructions"]
    counts = {
        "pad": pad,
        "mod_instructions": mod["instructions"],
        "baseline_instructions": base["instructions"],
        "per_day": extra / days,
        "risk_per_day": risk / days,
        "mod_own_per_day": (extra - risk) / days,
        "posts_received": mod["received_posts"],
        "records_received": mod["received_records"],
    }
    if two_runs:
        double_risk = run_backtest(scenario, MOD, callgrind=True, double_risk=True, pad=pad)
        two_run_risk = double_risk["instructions"] - mod["instructions"]
        counts["two_run_risk_per_day"] = two_run_risk / days
        counts["two_run_mod_own_per_day"] = (extra - two_run_risk) / days
    return counts


def scenario_counts(scenario, layouts, two_runs):
    per_layout = [layout_counts(scenario, pad, two_runs) for pad in PADS[:layouts]]
    medians = {key: statistics.median(c[key] for c in per_layout)
               for key in per_layout[0] if key.endswith("per_day")}
    return dict(days=SCENARIOS[scenario]["days"], layouts=per_layout,
                posts_received=per_layout[0]["posts_received"],
                records_received=per_layout[0]["records_received"], **medians)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", action="append", choices=list(SCENARIOS))
    parser.add_argument("--layouts", type=int, default=3, choices=range(1, len(PADS) + 1),
                        help="how many object layouts to count each run in (default 3)")
    parser.add_argument("--two-runs", action="store_true",
                        help="also estimate Risk as the difference of a run calling it twice")
    args = parser.parse_args()
    report = {}
    for scenario in args.scenario or ["ten-year"]:
        r = report[scenario] = scenario_counts(scenario, args.layouts, args.two_runs)
        print("\nInstructions (callgrind), {} ({} trading days, age rule off; "
              "{} records in {} posts)".format(scenario, r["days"], r["records_received"],
                                               r["posts_received"]))
        for c in r["layouts"]:
            print("  layout {:>4}: mod {:,} - do-nothing {:,} = {:,.0f} a day, Risk {:,.0f}, "
                  "the mod's own {:,.0f}".format(c["pad"], c["mod_instructions"],
                                                 c["baseline_instructions"], c["per_day"],
                                                 c["risk_per_day"], c["mod_own_per_day"]))
        print("  median: {:,.0f} per trading day, of which the host's Risk {:,.0f}, "
              "the mod's own {:,.0f}".format(r["per_day"], r["risk_per_day"],
                                             r["mod_own_per_day"]))
        if args.two_runs:
            print("  two runs' estimate (median): Risk {:,.0f}, the mod's own {:,.0f}".format(
                r["two_run_risk_per_day"], r["two_run_mod_own_per_day"]))
    save_results("instructions", report)


if __name__ == "__main__":
    main()
