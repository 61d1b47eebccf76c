"""Instruction counts: what the mod adds to a whole backtest per trading day,
counted by callgrind, which repeats exactly however busy the machine is.

    .venv/bin/python bench/instructions.py [--scenario NAME ...]   (ten-year by default)

Counts the run with the mod beside the same run with the do-nothing mod, and
the mod's run once more with the host's Risk called twice a day: the
difference is what Risk itself costs, which the mod asks for once a day.
The runs are counted ones (bench/backtest_child.py --counted): no timing
wrappers, a frozen writer clock.  Prints the counts and writes
bench/results/instructions.json."""
import argparse

from common import BASELINE, MOD, SCENARIOS, run_backtest, save_results


def scenario_counts(scenario):
    mod = run_backtest(scenario, MOD, callgrind=True)
    base = run_backtest(scenario, BASELINE, callgrind=True)
    double_risk = run_backtest(scenario, MOD, callgrind=True, double_risk=True)
    days = SCENARIOS[scenario]["days"]
    extra = mod["instructions"] - base["instructions"]
    risk = double_risk["instructions"] - mod["instructions"]
    return {
        "days": days,
        "mod_instructions": mod["instructions"],
        "baseline_instructions": base["instructions"],
        "per_day": extra / days,
        "risk_per_day": risk / days,
        "mod_own_per_day": (extra - risk) / days,
        "posts_received": mod["received_posts"],
        "records_received": mod["received_records"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", action="append", choices=list(SCENARIOS))
    args = parser.parse_args()
    report = {}
    for scenario in args.scenario or ["ten-year"]:
        r = report[scenario] = scenario_counts(scenario)
        print("\nInstructions (callgrind), {} ({} trading days, age rule off)".format(
            scenario, r["days"]))
        print("  mod {:,} - do-nothing {:,} = {:,.0f} per trading day; {} records in {} posts".format(
            r["mod_instructions"], r["baseline_instructions"], r["per_day"],
            r["records_received"], r["posts_received"]))
        print("  of which the host's Risk {:,.0f}, the mod's own {:,.0f} per trading day".format(
            r["risk_per_day"], r["mod_own_per_day"]))
    save_results("instructions", report)


if __name__ == "__main__":
    main()
