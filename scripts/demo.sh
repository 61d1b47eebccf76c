#!/usr/bin/env bash
# Sets up .venv (scripts/setup.sh) and runs the demo backtest (demo/run_demo.py).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python demo/run_demo.py "$@"
