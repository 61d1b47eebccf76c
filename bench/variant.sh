#!/usr/bin/env bash
# A venv under build/bench/NAME with the stand-ins and the mod built a given
# way, for counting instructions of one build against another:
#     bench/variant.sh NAME PYTHON [gcc|zig] [abi3|version]
#     build/bench/NAME/bin/python bench/instructions.py --scenario thousand-day
# gcc is the system compiler (development builds); zig is the wheels'
# compiler, set up by scripts/wheels.sh.  abi3 builds the stable-ABI module
# (CPython 3.12 and later), version one for that interpreter alone.
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1 python=$2 compiler=${3:-gcc} abi=${4:-abi3}
venv=build/bench/$name
PIP=(--quiet --disable-pip-version-check)
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install "${PIP[@]}" ./standin
# Symbols kept, so that callgrind names the modules' functions.
settings=(--config-settings=build-dir="build/bench-build/$name" --config-settings=install.strip=false)
[ "$abi" = abi3 ] || settings+=(--config-settings=wheel.py-api=)
if [ "$compiler" = zig ]; then
    zig=$PWD/build/zig/x86_64-linux-gnu.2.17
    [ -x "$zig/zig-c++" ] || { echo "error: run scripts/wheels.sh first" >&2; exit 1; }
    export CC=$zig/zig-cc CXX=$zig/zig-c++
    export CMAKE_ARGS="-DCMAKE_AR=$zig/zig-ar -DCMAKE_RANLIB=$zig/zig-ranlib"
fi
rm -rf "build/bench-build/$name"
"$venv/bin/python" -m pip install "${PIP[@]}" "${settings[@]}" .
"$venv/bin/python" -c "import tessar_mod_zelmo.mod as m; print('$name:', m.__file__)"
