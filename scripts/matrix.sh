#!/usr/bin/env bash
# The version matrix: builds dist/ (scripts/wheels.sh), then installs the
# wheels binary-only, with no compiler, CMake or other build tool reachable,
# and runs the whole test suite against the installed mod:
#   - this machine's CPython 3.9 to 3.13 (pyenv), 3.13 under -X dev;
#   - CPython 3.9 with the oldest dependency versions the mod declares;
#   - Debian 11 (bullseye, glibc 2.31) with its own python3 (3.9), in a
#     Debian root under chroot;
#   - Debian unstable (sid) with its newest two CPython packages (3.14 and
#     3.15 today), the stable-ABI wheel, in a Debian root under chroot, and
#     their debug builds under -X dev;
#   - the sdist built by plain pip on this machine's python3: with g++ as
#     it is, with g++ and the portable 128-bit multiply, and with clang and
#     libc++;
#   - Windows x86_64: the official Windows CPython 3.9 to 3.13 under Wine 8,
#     each with its win_amd64 wheel, and 3.13 with the stable-ABI one
#     (scripts/windows/wine_legs.sh);
#   - the README's Quick start as a newcomer meets it: in Debian 12 and
#     Debian 13 roots holding only python3, python3-dev, python3-venv, g++ and
#     git (no CMake, no ninja), a fresh clone, an empty HOME and the README's
#     two commands, read from the README and run as written there;
#   - then Linux aarch64: each aarch64 wheel in an arm64 Debian root, under
#     qemu-user, with the root's own python3 (Debian 11, 12, 13: CPython 3.9,
#     3.11, 3.13; the stable-ABI wheel on Debian 13's 3.13 too).
#
#     scripts/matrix.sh [--no-build] [LEG...]
# --no-build uses dist/ as it is; LEGs (pyenv, oldest, bullseye, sid, sdist,
# portable, clang, windows, quickstart, arm64) pick legs to run, all by
# default.
# The Debian roots are made with debootstrap (needs root) and kept outside the
# clone, in $ZELMO_ROOTS (by default ~/.cache/tessar_mod_zelmo/debian-roots),
# so that a machine that is kept makes them once.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

for version in "${SUPPORTED_VERSIONS[@]}"; do
    python_for "$version" >/dev/null # fail at once, naming a missing interpreter
done
build=1
if [ "${1:-}" = "--no-build" ]; then
    build=0
    shift
fi
LEGS=("$@")
[ ${#LEGS[@]} -gt 0 ] || LEGS=(pyenv oldest bullseye sid sdist portable clang windows quickstart arm64)
wanted() { [[ " ${LEGS[*]} " == *" $1 "* ]]; }
needs_dist() {
    local leg
    for leg in pyenv oldest bullseye sid sdist portable clang windows arm64; do
        ! wanted $leg || return 0
    done
    return 1
}
[ $build = 0 ] || ! needs_dist || scripts/wheels.sh

work=build/matrix
rm -rf $work
mkdir -p $work
TEST_DEPS=(pytest hypothesis)
PIP=(--quiet --disable-pip-version-check)
STANDIN_WHEEL=$(! needs_dist || ls dist/standin/*.whl)

# Runs a command with its output in `log`; prints the output's last line, or
# the whole log and fails.
run_logged() { # label, log, command...
    local label=$1 log=$2
    shift 2
    if "$@" >"$log" 2>&1; then
        echo "== $label: $(tail -1 "$log")"
    else
        cat "$log"
        echo "error: failed: $label" >&2
        return 1
    fi
}

# Runs the suite with `python` (a command, possibly chroot'ed) from `dir`.
run_suite() { # label, log, dir, python command...
    local label=$1 log=$2 dir=$3
    shift 3
    run_logged "$label" "$log" in_dir "$dir" "$@" -m pytest -q -p no:cacheprovider tests
}

in_dir() { # dir, command...
    local dir=$1
    shift
    (cd "$dir" && "$@")
}

# Fails, naming it, if `sh` run through the command prefix finds any of the
# tools on its PATH.
none_reachable() { # tools, command prefix...
    local tools=$1
    shift
    "$@" /bin/sh -c 'for tool in '"$tools"'; do
        if command -v $tool >/dev/null 2>&1; then echo "error: $tool is reachable" >&2; exit 1; fi
    done'
}
BUILD_TOOLS="cc gcc g++ c++ clang cmake ninja make"

# Fails unless the python command imports the mod from its own venv (not
# from the source tree or another installation).
imported_from_venv() { # python command...
    "$@" -c "import tessar_mod_zelmo, sys; \
        assert tessar_mod_zelmo.__file__.startswith(sys.prefix), tessar_mod_zelmo.__file__"
}

# --- this machine's interpreters ----------------------------------------------

# A venv of CPython $1 with the mod's wheel and `extra` packages, binary-only.
pyenv_leg() { # version, label, [python options], [extra requirements...]
    local version=$1 label=$2 options=$3
    shift 3
    local venv=$work/py$version${options:+-dev}
    [ $# -eq 0 ] || venv=$work/py$version-oldest
    "$(python_for "$version")" -m venv $venv
    none_reachable "$BUILD_TOOLS" env PATH="$PWD/$venv/bin"
    env PATH="$PWD/$venv/bin" CC=/bin/false CXX=/bin/false \
        "$venv/bin/python" -m pip install "${PIP[@]}" --only-binary :all: \
        "$(wheel_for "$version")" "$STANDIN_WHEEL" "${TEST_DEPS[@]}" "$@"
    local -a python=(env PATH="$PWD/$venv/bin" CC=/bin/false CXX=/bin/false "$PWD/$venv/bin/python")
    [ -z "$options" ] || python+=("$options")
    imported_from_venv "${python[@]}"
    run_suite "$label" "$venv.log" . "${python[@]}"
}

if wanted pyenv; then
    for version in "${SUPPORTED_VERSIONS[@]}"; do
        options=""
        [ "$version" != 3.13 ] || options="-Xdev"
        pyenv_leg "$version" "CPython $version${options:+ $options}, $(basename "$(wheel_for "$version")")" \
            "$options"
    done
fi
if wanted oldest; then
    mapfile -t OLDEST < <(sed -n 's/^ *"\([A-Za-z0-9_-]*\)>=\([0-9.]*\)".*/\1==\2/p' pyproject.toml)
    pyenv_leg 3.9 "CPython 3.9, oldest dependencies (${OLDEST[*]})" "" "${OLDEST[@]}"
fi

# --- Debian systems under chroot ----------------------------------------------

source scripts/debian_roots.sh

# The suite in a venv of the root's `python` with `wheel` installed, the
# interpreter run with `options`.
debian_leg() { # root, python (in the root), wheel, label, [python options...]
    local root=$1 python=$2 wheel=$3 label=$4
    shift 4
    local options="$*"
    local dir=/srv/zelmo-matrix/$(basename "$python") # inside the root
    rm -rf "$root$dir"
    mkdir -p "$root$dir"
    cp -r tests pyproject.toml "$wheel" "$STANDIN_WHEEL" "$root$dir/"
    none_reachable "$BUILD_TOOLS" in_root "$root"
    in_root "$root" "$python" -m venv "$dir/venv"
    in_root "$root" "$dir/venv/bin/python" -m pip install "${PIP[@]}" --only-binary :all: \
        "$dir/$(basename "$wheel")" "$dir/$(basename "$STANDIN_WHEEL")" "${TEST_DEPS[@]}"
    imported_from_venv in_root "$root" "$dir/venv/bin/python"
    run_suite "$label" "$work/$(basename "$root")-$(basename "$python").log" . \
        in_root "$root" /bin/sh -c "cd $dir && exec $dir/venv/bin/python $options \"\$@\"" python
}

if wanted bullseye; then
    debian_root bullseye bullseye "$WHEEL_ROOT_PACKAGES"
    debian_leg "$ROOTS/bullseye" /usr/bin/python3 "$(wheel_for 3.9)" \
        "Debian 11 (glibc $(in_root "$ROOTS/bullseye" ldd --version | sed -n '1s/.* //p')), its $(in_root "$ROOTS/bullseye" python3 --version)"
fi

# Debian sid with the newest two CPython versions it carries (3.14 and 3.15
# when written), each with the stable-ABI wheel, and then their debug builds
# (Py_DEBUG: the C API checks its callers, freed memory is poisoned) under
# -X dev with ResourceWarning as an error.
sid_legs() {
    debian_root sid sid "$WHEEL_ROOT_PACKAGES"
    # The archive reached may be a dated copy, whose sid index has expired.
    in_root "$ROOTS/sid" apt-get -o Acquire::Check-Valid-Until=false update -q >/dev/null
    local -a pythons packages=()
    mapfile -t pythons < <(in_root "$ROOTS/sid" apt-cache search --names-only '^python3\.[0-9]+$' |
        cut -d' ' -f1 | sort -V | tail -2)
    echo "Debian sid carries ${pythons[*]} (newest two); testing those"
    for python in "${pythons[@]}"; do packages+=("$python" "$python-venv" "$python-dbg"); done
    in_root "$ROOTS/sid" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}" \
        >/dev/null
    for python in "${pythons[@]}"; do
        debian_leg "$ROOTS/sid" "/usr/bin/$python" "$(stable_abi_wheel)" \
            "Debian sid, its $(in_root "$ROOTS/sid" "$python" --version), $(basename "$(stable_abi_wheel)")"
    done
    for python in "${pythons[@]}"; do
        debian_leg "$ROOTS/sid" "/usr/bin/${python}d" "$(stable_abi_wheel)" \
            "Debian sid, its debug build $(in_root "$ROOTS/sid" "${python}d" --version) under -X dev, $(basename "$(stable_abi_wheel)")" \
            -X dev -W error::ResourceWarning
    done
}
if wanted sid; then sid_legs; fi

# --- the sdist, built by pip on this machine's default interpreter ------------

# The sdist built by plain pip with the environment `settings` (a compiler,
# its flags, pip's PIP_CONFIG_SETTINGS), then the suite.
sdist_leg() { # name, label, [VAR=value...]
    local venv=$work/$1 label=$2
    shift 2
    python3 -m venv "$venv"
    env "$@" "$venv/bin/python" -m pip install "${PIP[@]}" dist/tessar_mod_zelmo-*.tar.gz \
        "$STANDIN_WHEEL" "${TEST_DEPS[@]}"
    imported_from_venv "$venv/bin/python"
    run_suite "$label" "$venv.log" . "$venv/bin/python"
}

# The multiply of the double-to-text conversion as a compiler without a
# 128-bit integer type (MSVC on ARM64, say) gets it.
portable_multiply_leg() {
    sdist_leg portable-multiply "sdist on $(python3 --version), g++, the portable 128-bit multiply" \
        PIP_CONFIG_SETTINGS=cmake.define.ZELMO_PORTABLE_MULTIPLY=ON
}

# clang with LLVM's libc++, the family of the macOS toolchain (Debian's
# clang and libc++-dev); every module must link libc++, not libstdc++.
clang_libcxx_leg() {
    command -v clang++ >/dev/null && [ -e /usr/include/c++/v1/vector ] ||
        apt-get install -y -q clang libc++-dev libc++abi-dev >/dev/null
    sdist_leg clang-libcxx "sdist on $(python3 --version), $(clang++ --version | head -1), libc++" \
        CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++
    local module
    for module in $(find "$work/clang-libcxx" -name '*.so' -path '*tessar_mod_zelmo*'); do
        ldd "$module" | grep -q 'libc++\.so' && ! ldd "$module" | grep -q libstdc++ || {
            echo "error: $module does not link libc++ alone" >&2
            return 1
        }
    done
}

if wanted sdist; then sdist_leg sdist "sdist on $(python3 --version)"; fi
if wanted portable; then portable_multiply_leg; fi
if wanted clang; then clang_libcxx_leg; fi

# --- Windows, under Wine --------------------------------------------------------

source scripts/windows/wine_legs.sh
if wanted windows; then wine_legs; fi

# --- the README's Quick start on a fresh machine ------------------------------

# The commands of the README's Quick start block, one per line, comments cut.
quickstart_commands() {
    awk '/^## Quick start/ { section = 1 }
         section && /^```/ { if (block) exit; block = 1; next }
         block' README.md | sed 's/[[:space:]]*#.*$//; /^[[:space:]]*$/d'
}

# In a root of Debian $2 holding only what the README asks for: a fresh clone
# of this checkout's HEAD, an empty HOME, and the Quick start's commands run as
# written; the demo must leave its chart and every command must succeed.
quickstart_leg() { # name, suite
    local root=$ROOTS/$1 dir=/srv/zelmo-quickstart # inside the root
    debian_root "$1" "$2" python3,python3-dev,python3-venv,g++,git
    rm -rf "$root$dir"
    mkdir -p "$root$dir/home"
    git clone --quiet "file://$PWD" "$root$dir/tessar_mod_zelmo"
    none_reachable "cmake ninja" in_root "$root"
    local -a commands
    mapfile -t commands < <(quickstart_commands)
    [ ${#commands[@]} = 2 ] || {
        echo "error: the README's Quick start has ${#commands[@]} commands, not 2: ${commands[*]}" >&2
        return 1
    }
    local system="Debian $(cat "$root/etc/debian_version"), its $(in_root "$root" python3 --version)"
    system+=", $(in_root "$root" g++ --version | head -1)"
    local command
    for command in "${commands[@]}"; do
        run_logged "Quick start on $system: \`$command\`" \
            "$work/quickstart-$1-${command//[^a-z]/_}.log" \
            in_root "$root" /usr/bin/env HOME=$dir/home /bin/sh -c "cd $dir/tessar_mod_zelmo && $command"
    done
    [ -s "$root$dir/tessar_mod_zelmo/demo-home/net_value.png" ] || {
        echo "error: the demo left no chart on $system" >&2
        return 1
    }
}
if wanted quickstart; then
    [ -z "$(git status --porcelain)" ] || echo "note: the Quick start legs clone HEAD, not the uncommitted changes"
    quickstart_leg bookworm bookworm
    quickstart_leg trixie trixie
fi

# --- Linux aarch64, under qemu-user ------------------------------------------------

# Each aarch64 wheel in the arm64 root of the Debian release whose python3
# takes it; the stable-ABI one, which no such python3 takes (it serves 3.12
# and 3.14 on), in the newest root, whose python3 can install it.
arm64_legs() {
    local release version root wheel
    for release in "${ARM64_RELEASES[@]}"; do
        version=${DEBIAN_PYTHON[$release]}
        root=$(arm64_root "$release")
        for wheel in $(wheel_for "$version" "manylinux*_aarch64") \
            $([ "$release" != "${ARM64_RELEASES[-1]}" ] || stable_abi_wheel "manylinux*_aarch64"); do
            debian_leg "$root" /usr/bin/python3 "$wheel" \
                "Debian $(cat "$root/etc/debian_version") arm64 under qemu-user, its $(in_root "$root" python3 --version), $(basename "$wheel")"
        done
    done
}
if wanted arm64; then arm64_legs; fi
