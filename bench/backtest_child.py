"""One whole backtest through the stand-in host, in the process that runs
this script: the measured process of whole_runs.py and instructions.py.

    python bench/backtest_child.py SCENARIO MOD URL OUT [--counted [--double-risk]] [--pad N]

MOD is the mod loaded (the zelmo mod or the do-nothing one), URL the feed
service's, OUT the JSON file the figures go to.  A timed run (the default)
times the host's event dispatch and log calls per trading day, and the
host's Risk and the writer's flushes apart.  A counted run (--counted, under
callgrind) carries no timing wrappers and freezes the writer's clock;
--double-risk calls Risk twice a day, so that the difference is Risk's own.
--pad N makes N small objects first, so that the run's objects lie elsewhere
(instructions.py counts runs in several such layouts)."""
import argparse
import gc
import itertools
import json
import resource
import time
import types

from common import SCENARIOS, HERE, DoNothingHandler, temporary_dir, trading_days_span


def peak_kb():
    """The process's peak resident memory (kB) since it started (VmHWM)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def strategy_file(spec):
    stocks = ["S{:05d}".format(i) for i in range(spec["stocks"])]
    futures = ["F{:03d}".format(i) for i in range(spec["futures"])]
    path = temporary_dir() / "strategy.py"
    path.write_text("UNIVERSE = {!r}\nTRADES_PER_DAY = {}\nLOGS_PER_DAY = {}\nPLOTS = {}\n".format(
        stocks + futures, spec["trades"], spec["logs"], spec["plots"])
        + (HERE / "scenario_strategy.py").read_text())
    return path, stocks, futures


def time_the_host(state, clock):
    """Times the host's event dispatch and log calls, closing a day at each
    PRE_SETTLEMENT."""
    from tessar import events
    from tessar.utils.logger import user_log

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


def timed(function, state, key, clock, count_key=None):
    """`function` with its time added to state[key] and to the day's time
    spent outside the mod's own work."""
    def wrapper(*args):
        started = clock()
        try:
            return function(*args)
        finally:
            spent = clock() - started
            state[key] += spent
            state["day_other"] += spent
            if count_key:
                state[count_key] += 1
    return wrapper


def prepare_mod(url, counted, double_risk, state, clock):
    from tessar_mod_zelmo import zelmo_env
    from tessar_mod_zelmo.feeder import feeder, pellard

    zelmo_env.FEED_SERVICE_URL = url
    real_risk = feeder.Risk
    if not counted:
        feeder.Risk = timed(real_risk, state, "risk", clock)
        # Flushes (encoding and post) are timed apart: the post's time
        # includes the service's, which is not the mod's.
        pellard.FeedWriter.flush = timed(pellard.FeedWriter.flush, state, "post", clock, "posts")
        return
    # Risk goes through one small frame in both counted runs, so that their
    # difference is Risk's own.
    if double_risk:
        feeder.Risk = lambda *args: (real_risk(*args), real_risk(*args))[1]
    else:
        feeder.Risk = lambda *args: real_risk(*args)
    # Under callgrind the run is some 50 times slower, so the 3 s age rule
    # would fire far more often than in a real run.  A frozen clock leaves
    # only the count and portfolio rules, which are deterministic, so the
    # instruction count repeats exactly.  The clock is a C-level callable, as
    # time.time is: a Python method here would add a frame to every reading
    # that a real run lacks.
    pellard.time = types.SimpleNamespace(time=itertools.repeat(time.time()).__next__)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scenario", choices=list(SCENARIOS))
    parser.add_argument("mod")
    parser.add_argument("url")
    parser.add_argument("out")
    parser.add_argument("--counted", action="store_true")
    parser.add_argument("--double-risk", action="store_true")
    parser.add_argument("--pad", type=int, default=0,
                        help="small objects made and kept before the host loads, which moves "
                             "where everything made after them lies")
    args = parser.parse_args()
    # Kept for the whole run: objects of every small size, so that each
    # size's later objects lie elsewhere.
    global _padding
    _padding = [bytes(8 * (i % 64) + 1) for i in range(args.pad)]
    from tessar import runner

    spec = SCENARIOS[args.scenario]
    DoNothingHandler().push_application()  # the host's own log output
    strategy, stocks, futures = strategy_file(spec)
    clock = time.perf_counter
    state = {"current": 0.0, "days": [], "events": 0, "logs": 0, "post": 0.0, "posts": 0,
             "risk": 0.0, "day_other": 0.0, "other_days": [], "gc": 0.0}
    time_the_host(state, clock)
    if args.mod == "tessar_mod_zelmo":
        prepare_mod(args.url, args.counted, args.double_risk, state, clock)

    gc_started = [0.0]

    def gc_timer(phase, info):
        if phase == "start":
            gc_started[0] = clock()
        else:
            state["gc"] += clock() - gc_started[0]

    gc.callbacks.append(gc_timer)
    start, end = trading_days_span(spec["days"])
    started = clock()
    result = runner.run(str(strategy), start, end, mods=(args.mod,), stocks=stocks,
                        futures=futures, progress=False)
    tear_down_started = clock()
    total = clock() - started
    if result.exception is not None:
        raise result.exception
    figures = {k: state[k] for k in ("days", "other_days", "events", "gc", "logs", "post",
                                     "posts", "risk")}
    figures.update(total=total, peak_kb=peak_kb(), tear_down=clock() - tear_down_started)
    with open(args.out, "w") as f:
        json.dump(figures, f)


if __name__ == "__main__":
    main()
