#!/usr/bin/env bash
# Creates .venv and installs the mod (built from source), the stand-ins for the
# host and the front end, and the test and demo dependencies.  Re-running it
# rebuilds only what changed (the native build directory is kept in build/).
# Every build tool comes from PyPI into .venv (CMake and ninja included, which
# the build backend finds there), so it needs nothing but python3 with its
# headers and a C++20 compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
PIP=(.venv/bin/python -m pip install --quiet --disable-pip-version-check)

[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
"${PIP[@]}" "scikit-build-core>=0.10" "nanobind>=2.4" "cmake>=3.18" ninja
"${PIP[@]}" ./standin
# Symbols kept, so that perf and callgrind can name native functions.
"${PIP[@]}" --no-build-isolation --config-settings=build-dir=build/venv \
    --config-settings=install.strip=false ".[test,demo]"
