"""Where the mod's instructions go: the counted run with the mod split by
area, from callgrind's inclusive counts of the mod's own native functions.

    .venv/bin/python bench/split.py [--scenario NAME]   (thousand-day by default)

Needs a build with symbols (scripts/setup.sh's, or bench/variant.sh's);
stripped wheels name no function.  Each area is the inclusive count of the
functions that enter it, per trading day; the nesting is the call's own:
writes happen inside the log lines, trades and the day's records, and
flushes inside writes.  The day's records leave out the host's Risk (the
call the mod makes for the risk figures), which instructions.py counts apart.
Prints the split and writes bench/results/split.json."""
import argparse
import re
import subprocess

from common import MOD, SCENARIOS, callgrind_count, risk_call, run_backtest, save_results

# area: (what it is, the native functions entering it, by qualified name); the
# imports are counted apart (import_count).
AREAS = {
    "start-up": ("start_up and tear_down (the run's registration, the configuration)",
                 [r"::start_up", r"::tear_down"]),
    "log lines": ("LogHandler.emit: stamp, line, forwarding, its write",
                  [r"\(anonymous namespace\)::emit"]),
    "trades": ("Feeder._on_trade: the record and its write", [r"::on_trade"]),
    "day's records": ("Feeder._on_pre_settlement: risk, portfolio, plot, position and account "
                      "records and their writes, the host's Risk left out",
                      [r"::on_pre_settlement"]),
    "writes": ("FeedWriter.write, within the three above: flush rules, queueing, flushes",
               # the feeder's one-record writes enter through the C entry point
               [r"::feed_writer_write", r"^.*native_entry.*feed_writer_write_one"]),
    "flushes": ("FeedWriter.flush, within the writes", [r"\(anonymous namespace\)::flush"]),
    "encoder": ("the form body, within the flushes", [r"FormBodyBuilder::add_records_field"]),
    "post": ("the post, within the flushes", [r"zelmo::post_feed_form"]),
}


# "file:function [object]" as callgrind_annotate names an entry.
ENTRY = re.compile(r"^[^:]*:(?!:)(.*?)(?: \[[^\[\]]*\])?$")


def function_of(entry):
    m = ENTRY.match(entry)
    return m.group(1) if m else entry


def inclusive_counts(profile):
    """function -> inclusive count, for functions not entered recursively.
    An optimized build lists one function under several entries, one for
    each source file whose code was inlined into it, under absolute and
    relative names of the same file, with or without its object: the
    function's count is its largest entry, the one that holds the rest."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--auto=no", "--threshold=100",
                          profile],
                         capture_output=True, text=True, check=True).stdout
    counts = {}
    for line in out.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+(.*)$", line)
        if m and "'" not in m.group(2):
            function = function_of(m.group(2))
            counts[function] = max(counts.get(function, 0), int(m.group(1).replace(",", "")))
    return counts


# What a host has loaded before it loads the mod.
HOST_IMPORTS = ("import numpy, logbook, yaml, pytz, sqlite3, datetime, json, tessar.runner, "
                "tessar.environment, tessar.events, tessar.model, tessar.utils.logger, "
                "tessar.utils.risk")


def import_count():
    """Instructions of importing the mod in a process that has loaded what
    the host loads: two processes under callgrind, with and without it."""
    return (callgrind_count("-c", HOST_IMPORTS + "; import tessar_mod_zelmo.mod")
            - callgrind_count("-c", HOST_IMPORTS))


def area_count(counts, patterns):
    """The functions named by a pattern (not their lambdas or nested classes);
    a pattern that starts with ^ is matched as it stands (a template's name,
    mangled by some compilers)."""
    def named(p, name):
        return re.search(p if p.startswith("^") else p + r"\([^()]*\)$", name)
    return sum(count for name, count in counts.items() if any(named(p, name) for p in patterns))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", default="thousand-day", choices=list(SCENARIOS))
    args = parser.parse_args()
    run = run_backtest(args.scenario, MOD, callgrind=True)
    days = SCENARIOS[args.scenario]["days"]
    counts = inclusive_counts(run["profile"])
    if not any("nanobind" in name for name in counts):
        raise SystemExit("error: the installed mod has no symbols (use scripts/setup.sh's build)")
    split = {}
    for area, (what, patterns) in AREAS.items():
        count = area_count(counts, patterns)
        if area == "day's records":
            count -= risk_call(run["profile"])
        split[area] = {"what": what, "per_day": count / days}
    imports = import_count()
    split["imports"] = {"what": "importing tessar_mod_zelmo.mod where the host's modules are "
                                "loaded: {:,} instructions a run".format(imports),
                        "per_day": imports / days}
    print("\nInstructions per trading day by area, {} ({} days, {} records in {} posts)".format(
        args.scenario, days, run["received_records"], run["received_posts"]))
    for area, figures in split.items():
        print("  {:<22} {:>11,.0f}  {}".format(area, figures["per_day"], figures["what"]))
    save_results("split", {"scenario": args.scenario, "areas": split})


if __name__ == "__main__":
    main()
