#!/usr/bin/env bash
# Creates .venv and installs the mod (built from source), the stand-ins for the
# host and the front end, and the test and demo dependencies.  Re-running it
# rebuilds only what changed (the native build directory is kept in build/).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
PIP=(.venv/bin/python -m pip install --quiet --disable-pip-version-check)

[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
"${PIP[@]}" "scikit-build-core>=0.10" "nanobind>=2.4"
"${PIP[@]}" ./standin
# Symbols kept, so that perf and callgrind can name native functions.
"${PIP[@]}" --no-build-isolation --config-settings=build-dir=build/venv \
    --config-settings=install.strip=false ".[test,demo]"
