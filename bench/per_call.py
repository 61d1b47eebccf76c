"""Instructions per call of the hot paths, beside their floors, counted by
callgrind.

    .venv/bin/python bench/per_call.py        (about 8 minutes)

Each figure is the difference between callgrind's counts of two processes
(bench/call_loop.py) that run the call a few times and many times after the
same set-up.  The set-up's own count moves by a few million instructions
from one process to the next (object addresses steer hashing), so the second
process runs 20,000 more calls (2,000 more of the bodies, each of which
encodes 100 records or more).  Prints the counts and writes
bench/results/per_call.json."""
from common import HERE, callgrind_count, save_results

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


def counted(op, n):
    return callgrind_count(str(HERE / "call_loop.py"), op, str(n))


def main():
    counts = {}
    for op in CALL_OPS:
        few, many = (100, 2100) if op.startswith("body_") else (1000, 21000)
        counts[op] = (counted(op, many) - counted(op, few)) / (many - few)
    report = {
        "trade_into_queue": counts["trade"],
        "trade_floor": counts["trade_floor"],
        "log_line": counts["log_line"],
        "log_line_floor": counts["log_floor"],
        "encoder_per_position_record": (counts["body_positions"] - counts["body_empty"]) / 100,
        "encoder_per_float_over_null": (counts["body_floats"] - counts["body_nulls"]) / 1000,
    }
    print("Instructions per call (callgrind)")
    for name, count in report.items():
        print("  {:32} {:>10,.0f}".format(name, count))
    save_results("per_call", report)


if __name__ == "__main__":
    main()
