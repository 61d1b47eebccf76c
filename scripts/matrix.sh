#!/usr/bin/env bash
# The version matrix: builds dist/ (scripts/wheels.sh), then for each
# supported CPython installs the wheel for that version into a fresh venv in
# which no compiler, CMake or other build tool is reachable, and runs the
# whole test suite against the installed wheel, deprecations as errors.
# Last, the sdist is installed with plain pip into a fresh venv and tested.
#     scripts/matrix.sh [--no-build]    (--no-build: use dist/ as it is)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

for version in "${SUPPORTED_VERSIONS[@]}"; do
    python_for "$version" >/dev/null # fail at once, naming a missing interpreter
done
[ "${1:-}" = "--no-build" ] || scripts/wheels.sh

work=build/matrix
rm -rf $work
mkdir -p $work
TEST_DEPS=(pytest hypothesis)
PIP=(--quiet --disable-pip-version-check)

# Runs the suite in `venv` against the mod installed there; with a third
# argument, with nothing but the venv on PATH and no compiler.
run_suite() { # venv, label [isolated]
    local venv=$1 label=$2
    local -a run=("$venv/bin/python")
    [ -z "${3:-}" ] || run=(env PATH="$PWD/$venv/bin" CC=/bin/false CXX=/bin/false "$venv/bin/python")
    "${run[@]}" -c "import tessar_mod_zelmo, sys; \
        assert tessar_mod_zelmo.__file__.startswith(sys.prefix), tessar_mod_zelmo.__file__"
    if "${run[@]}" -m pytest -q -p no:cacheprovider tests >"$venv.log" 2>&1; then
        echo "== $label: $(tail -1 "$venv.log")"
    else
        cat "$venv.log"
        echo "error: the suite failed on $label" >&2
        return 1
    fi
}

for version in "${SUPPORTED_VERSIONS[@]}"; do
    venv=$work/py$version
    "$(python_for "$version")" -m venv $venv
    wheel=$(wheel_for "$version")
    # Binary wheels only, and nothing to build them with.
    env PATH="$PWD/$venv/bin" CC=/bin/false CXX=/bin/false /bin/bash -c '
        for tool in cc gcc g++ c++ clang cmake ninja make; do
            if command -v $tool >/dev/null 2>&1; then echo "error: $tool is reachable" >&2; exit 1; fi
        done'
    env PATH="$PWD/$venv/bin" CC=/bin/false CXX=/bin/false \
        "$venv/bin/python" -m pip install "${PIP[@]}" --only-binary :all: \
        "$wheel" dist/standin/*.whl "${TEST_DEPS[@]}"
    run_suite $venv "CPython $version, $(basename "$wheel")" isolated
done

# The sdist, built by plain pip on this machine's default interpreter.
venv=$work/sdist
python3 -m venv $venv
$venv/bin/python -m pip install "${PIP[@]}" dist/tessar_mod_zelmo-*.tar.gz dist/standin/*.whl "${TEST_DEPS[@]}"
run_suite $venv "sdist on $(python3 --version)"
