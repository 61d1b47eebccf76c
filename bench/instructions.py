"""Instruction counts: what the mod adds to a whole backtest per trading day,
counted by callgrind, which repeats exactly however busy the machine is.

    .venv/bin/python bench/instructions.py [--scenario NAME ...] [--two-runs]
    (ten-year by default; needs a build with symbols, as split.py does)

Counts the run with the mod beside the same run with the do-nothing mod.
The host's Risk, which the mod asks for once a day, is counted apart: the
inclusive count of its calls in the mod's run.  --two-runs also counts the
mod's run once more with Risk called twice a day and gives the difference,
the estimate used before 2026-12-11; it moves with where the two runs'
objects happen to lie (see the README), by up to some 16,000 a day.
The runs are counted ones (bench/backtest_child.py --counted): no timing
wrappers, a frozen writer clock.  Prints the counts and writes
bench/results/instructions.json."""
import argparse

from common import BASELINE, MOD, SCENARIOS, risk_call, run_backtest, save_results


def scenario_counts(scenario, two_runs):
    mod = run_backtest(scenario, MOD, callgrind=True)
    base = run_backtest(scenario, BASELINE, callgrind=True)
    risk = risk_call(mod["profile"])
    if risk == 0:
        raise SystemExit("error: the installed mod has no symbols (use scripts/setup.sh's build)")
    days = SCENARIOS[scenario]["days"]
    extra = mod["instructions"] - base["instructions"]
    counts = {
        "days": days,
        "mod_instructions": mod["instructions"],
        "baseline_instructions": base["instructions"],
        "per_day": extra / days,
        "risk_per_day": risk / days,
        "mod_own_per_day": (extra - risk) / days,
        "posts_received": mod["received_posts"],
        "records_received": mod["received_records"],
    }
    if two_runs:
        double_risk = run_backtest(scenario, MOD, callgrind=True, double_risk=True)
        two_run_risk = double_risk["instructions"] - mod["instructions"]
        counts["two_run_risk_per_day"] = two_run_risk / days
        counts["two_run_mod_own_per_day"] = (extra - two_run_risk) / days
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", action="append", choices=list(SCENARIOS))
    parser.add_argument("--two-runs", action="store_true",
                        help="also estimate Risk as the difference of a run calling it twice")
    args = parser.parse_args()
    report = {}
    for scenario in args.scenario or ["ten-year"]:
        r = report[scenario] = scenario_counts(scenario, args.two_runs)
        print("\nInstructions (callgrind), {} ({} trading days, age rule off)".format(
            scenario, r["days"]))
        print("  mod {:,} - do-nothing {:,} = {:,.0f} per trading day; {} records in {} posts".format(
            r["mod_instructions"], r["baseline_instructions"], r["per_day"],
            r["records_received"], r["posts_received"]))
        print("  of which the host's Risk {:,.0f}, the mod's own {:,.0f} per trading day".format(
            r["risk_per_day"], r["mod_own_per_day"]))
        if args.two_runs:
            print("  two runs' estimate: Risk {:,.0f}, the mod's own {:,.0f} per trading day".format(
                r["two_run_risk_per_day"], r["two_run_mod_own_per_day"]))
    save_results("instructions", report)


if __name__ == "__main__":
    main()
