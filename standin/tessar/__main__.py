"""python -m tessar run STRATEGY --start YYYY-MM-DD --end YYYY-MM-DD [--mod NAME ...]"""
import argparse
import datetime

from .runner import run


def main(argv=None):
    parser = argparse.ArgumentParser(prog="tessar")
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("run", help="run a strategy file")
    r.add_argument("strategy")
    r.add_argument("--start", required=True, type=datetime.date.fromisoformat)
    r.add_argument("--end", required=True, type=datetime.date.fromisoformat)
    r.add_argument("--mod", action="append", default=None, help="mod package to load")
    r.add_argument("--profile", action="store_true", help="report line-profiler results")
    args = parser.parse_args(argv)
    result = run(args.strategy, args.start, args.end, mods=args.mod or ("tessar_mod_zelmo",),
                 enable_profiler=args.profile)
    print("ran {} trading days{}".format(
        result.days, "" if result.exception is None else ", failed: {}".format(result.exception)))
    return 0 if result.exception is None else 1


if __name__ == "__main__":
    raise SystemExit(main())
