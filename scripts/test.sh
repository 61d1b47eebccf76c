#!/usr/bin/env bash
# Sets up .venv (scripts/setup.sh) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m pytest "$@"
