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
#   - Linux aarch64: each aarch64 wheel in an arm64 Debian root, under
#     qemu-user, with the root's own python3 (Debian 11, 12, 13: CPython 3.9,
#     3.11, 3.13; the stable-ABI wheel on Debian 13's 3.13 too).
#
#     scripts/matrix.sh [--no-build] [LEG...]
# --no-build uses dist/ as it is; LEGs (pyenv, oldest, bullseye, sid, sdist,
# portable, clang, windows, quickstart, arm64) pick legs to run, all by
# default.
# The Debian roots are made with debootstrap (needs root) and kept outside the
# clone, in $ZELMO_ROOTS (by default ~/.cache/tessar_mod_zelmo/debian-roots),
# so that a machine that is kept makes them once.  They are made in the
# background while the wheels build.  The legs then run as jobs,
# $ZELMO_MATRIX_JOBS at a time (by default one per core: a suite runs on one
# core, and much of a leg is waiting on the network); each prints its lines
# when it ends, a failed one its whole log, and the matrix fails at the end
# if any failed.
set -euo pipefail
shopt -s inherit_errexit # a failure inside $(...) fails it too
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
work=build/matrix
rm -rf $work
mkdir -p $work
source scripts/debian_roots.sh
TEST_DEPS=(pytest hypothesis)
PIP=(--quiet --disable-pip-version-check)

# Runs a command with its output in `log`; prints the output's last line and
# the time it took, or the whole log and fails.
run_logged() { # label, log, command...
    local label=$1 log=$2 start=$(date +%s)
    shift 2
    if "$@" >"$log" 2>&1; then
        echo "== $label: $(tail -1 "$log") [$(($(date +%s) - start)) s]"
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

# A wheel's interpreter and ABI tags, `cp313-cp313` or `cp312-abi3`: what
# tells apart two legs of one interpreter.
wheel_tags() { basename "$1" | cut -d- -f3,4; }

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

# This machine's CPython $1, 3.13 under -X dev.
pyenv_version_leg() { # version
    local options=""
    [ "$1" != 3.13 ] || options="-Xdev"
    pyenv_leg "$1" "CPython $1${options:+ $options}, $(basename "$(wheel_for "$1")")" "$options"
}

oldest_leg() {
    local -a oldest
    mapfile -t oldest < <(sed -n 's/^ *"\([A-Za-z0-9_-]*\)>=\([0-9.]*\)".*/\1==\2/p' pyproject.toml)
    pyenv_leg 3.9 "CPython 3.9, oldest dependencies (${oldest[*]})" "" "${oldest[@]}"
}

# --- Debian systems under chroot ----------------------------------------------

# The suite in a venv of the root's `python` with `wheel` installed, the
# interpreter run with `options`.
debian_leg() { # root, python (in the root), wheel, label, [python options...]
    local root=$1 python=$2 wheel=$3 label=$4
    shift 4
    local options="$*" name
    name=$(basename "$python")-$(wheel_tags "$wheel")
    local dir=/srv/zelmo-matrix/$name # inside the root
    rm -rf "$root$dir"
    mkdir -p "$root$dir"
    cp -r tests pyproject.toml "$wheel" "$STANDIN_WHEEL" "$root$dir/"
    none_reachable "$BUILD_TOOLS" in_root "$root"
    in_root "$root" "$python" -m venv "$dir/venv"
    in_root "$root" "$dir/venv/bin/python" -m pip install "${PIP[@]}" --only-binary :all: \
        "$dir/$(basename "$wheel")" "$dir/$(basename "$STANDIN_WHEEL")" "${TEST_DEPS[@]}"
    imported_from_venv in_root "$root" "$dir/venv/bin/python"
    run_suite "$label" "$work/$(basename "$root")-$name.log" . \
        in_root "$root" /bin/sh -c "cd $dir && exec $dir/venv/bin/python $options \"\$@\"" python
}

bullseye_leg() {
    debian_root bullseye bullseye "$WHEEL_ROOT_PACKAGES"
    debian_leg "$ROOTS/bullseye" /usr/bin/python3 "$(wheel_for 3.9)" \
        "Debian 11 (glibc $(in_root "$ROOTS/bullseye" ldd --version | sed -n '1s/.* //p')), its $(in_root "$ROOTS/bullseye" python3 --version)"
}

# Debian sid with the newest two CPython versions it carries (3.14 and 3.15
# when written), each with the stable-ABI wheel, and their debug builds
# (Py_DEBUG: the C API checks its callers, freed memory is poisoned) under
# -X dev with ResourceWarning as an error.  The root is made once; those
# versions and their debug builds are installed (or brought up to date) once
# a matrix run, and $ROOTS/sid.pythons names them.
sid_root() {
    debian_root sid sid "$WHEEL_ROOT_PACKAGES"
    with_lock sid-pythons install_sid_pythons
}
install_sid_pythons() {
    [ ! -e $work/.sid-pythons-installed ] || return 0
    # The archive reached may be a dated copy, whose sid index has expired.
    in_root "$ROOTS/sid" apt-get -o Acquire::Check-Valid-Until=false update -q >/dev/null
    local -a pythons packages=()
    mapfile -t pythons < <(in_root "$ROOTS/sid" apt-cache search --names-only '^python3\.[0-9]+$' |
        cut -d' ' -f1 | sort -V | tail -2)
    for python in "${pythons[@]}"; do packages+=("$python" "$python-venv" "$python-dbg"); done
    in_root "$ROOTS/sid" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}" \
        >/dev/null
    printf '%s\n' "${pythons[@]}" >"$ROOTS/sid.pythons"
    touch $work/.sid-pythons-installed
}

# The release builds (`debug` empty) or the debug builds (`d`).
sid_legs() { # [debug]
    local debug=${1:-} python
    sid_root
    local -a pythons
    mapfile -t pythons <"$ROOTS/sid.pythons"
    [ -n "$debug" ] || echo "Debian sid carries ${pythons[*]} (newest two); testing those"
    for python in "${pythons[@]}"; do
        if [ -z "$debug" ]; then
            debian_leg "$ROOTS/sid" "/usr/bin/$python" "$(stable_abi_wheel)" \
                "Debian sid, its $(in_root "$ROOTS/sid" "$python" --version), $(basename "$(stable_abi_wheel)")"
        else
            debian_leg "$ROOTS/sid" "/usr/bin/${python}d" "$(stable_abi_wheel)" \
                "Debian sid, its debug build $(in_root "$ROOTS/sid" "${python}d" --version) under -X dev, $(basename "$(stable_abi_wheel)")" \
                -X dev -W error::ResourceWarning
        fi
    done
}

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

plain_sdist_leg() { sdist_leg sdist "sdist on $(python3 --version)"; }

# The multiply of the double-to-text conversion as a compiler without a
# 128-bit integer type (MSVC on ARM64, say) gets it.
portable_multiply_leg() {
    sdist_leg portable-multiply "sdist on $(python3 --version), g++, the portable 128-bit multiply" \
        PIP_CONFIG_SETTINGS=cmake.define.ZELMO_PORTABLE_MULTIPLY=ON
}

# clang with LLVM's libc++, the family of the macOS toolchain (Debian's
# clang and libc++-dev); every module must link libc++, not libstdc++.
CLANG_LIBCXX_PACKAGES=(clang libc++-dev libc++abi-dev)
have_clang_libcxx() { command -v clang++ >/dev/null && [ -e /usr/include/c++/v1/vector ]; }
clang_libcxx_leg() {
    have_clang_libcxx || host_install "${CLANG_LIBCXX_PACKAGES[@]}"
    sdist_leg clang-libcxx "sdist on $(python3 --version), $(clang++ --version | sed -n 1p), libc++" \
        CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++
    local module libraries
    for module in $(find "$work/clang-libcxx" -name '*.so' -path '*tessar_mod_zelmo*'); do
        # Read whole: `ldd | grep -q` fails under pipefail when grep stops
        # reading first.
        libraries=$(ldd "$module")
        { grep -q 'libc++\.so' <<<"$libraries" && ! grep -q libstdc++ <<<"$libraries"; } || {
            echo "error: $module does not link libc++ alone" >&2
            return 1
        }
    done
}

# --- Windows, under Wine --------------------------------------------------------

source scripts/windows/wine_legs.sh

# --- the README's Quick start on a fresh machine ------------------------------

# The commands of the README's Quick start block, one per line, comments cut.
quickstart_commands() {
    awk '/^## Quick start/ { section = 1 }
         section && /^```/ { if (block) exit; block = 1; next }
         block' README.md | sed 's/[[:space:]]*#.*$//; /^[[:space:]]*$/d'
}

# A root of Debian $1 holding only what the README asks for.
quickstart_root() { # release
    debian_root "quickstart-$1" "$1" python3,python3-dev,python3-venv,g++,git
}

# In that root: a fresh clone of this checkout's HEAD, an empty HOME, and the
# Quick start's commands run as written; the demo must leave its chart and
# every command must succeed.
quickstart_leg() { # release
    local root=$ROOTS/quickstart-$1 dir=/srv/zelmo-quickstart # inside the root
    quickstart_root "$1"
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
    system+=", $(in_root "$root" g++ --version | sed -n 1p)"
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

# --- Linux aarch64, under qemu-user ------------------------------------------------

# Each aarch64 wheel in the arm64 root of the Debian release whose python3
# takes it; the stable-ABI one, which no such python3 takes (it serves 3.12
# and 3.14 on), in the newest root, whose python3 can install it.
arm64_wheels() { # release
    wheel_for "${DEBIAN_PYTHON[$1]}" "manylinux*_aarch64"
    [ "$1" != "${ARM64_RELEASES[-1]}" ] || stable_abi_wheel "manylinux*_aarch64"
}
arm64_leg() { # release, wheel
    local root
    root=$(arm64_root "$1")
    debian_leg "$root" /usr/bin/python3 "$2" \
        "Debian $(cat "$root/etc/debian_version") arm64 under qemu-user, its $(in_root "$root" python3 --version), $(basename "$2")"
}

# --- the run --------------------------------------------------------------------

# Whether arm64 programs run: for the arm64 legs, and for the aarch64 wheels'
# headers, fetched in the arm64 roots.
needs_arm64() { [ $build = 1 ] || wanted arm64; }

# This machine's packages that the wanted legs and the wheels need, in one
# apt-get rather than one per leg.
prepare_host() {
    local -a packages=()
    command -v debootstrap >/dev/null || packages+=(debootstrap)
    ! needs_arm64 || command -v qemu-aarch64-static >/dev/null || packages+=(qemu-user-static)
    [ $build = 0 ] || command -v gendef >/dev/null || packages+=(mingw-w64-tools)
    ! wanted clang || have_clang_libcxx || packages+=("${CLANG_LIBCXX_PACKAGES[@]}")
    ! wanted windows || command -v wine >/dev/null || packages+=(wine wine64)
    [ ${#packages[@]} = 0 ] || host_install "${packages[@]}"
}

# Every root the wanted legs use, and the wheels' arm64 ones, in two lines:
# the arm64 roots (whose packages qemu configures) and this machine's.
prepare_roots() {
    local release
    if needs_arm64; then
        for release in "${ARM64_RELEASES[@]}"; do arm64_root "$release" >/dev/null; done
    fi &
    ! wanted bullseye || debian_root bullseye bullseye "$WHEEL_ROOT_PACKAGES"
    ! wanted sid || sid_root
    if wanted quickstart; then
        for release in bookworm trixie; do quickstart_root $release; done
    fi
    wait
}

# The legs as jobs: `queue` adds one (a name for its files, then a command);
# `run_queue` runs them $JOBS at a time, printing each one's output as it
# ends, and names the failed ones in FAILED.  (It must not run where a
# failure is caught, `run_queue || ...`: bash would then ignore a failure
# inside the jobs, and they would run on past it.)
JOBS=${ZELMO_MATRIX_JOBS:-$(nproc)}
QUEUE=()
FAILED=()
queue() { QUEUE+=("$*"); } # name, command... (words without spaces)

run_queue() {
    local -A running=() # pid: job name
    local entry
    for entry in "${QUEUE[@]}"; do
        while [ ${#running[@]} -ge "$JOBS" ]; do reap_job; done
        # shellcheck disable=SC2086 # a queued entry is its words
        set -- $entry
        local name=$1
        shift
        ("$@") >"$work/$name.out" 2>&1 &
        running[$!]=$name
    done
    while [ ${#running[@]} -gt 0 ]; do reap_job; done
}
reap_job() { # of run_queue: takes its running
    local pid status=0
    wait -n -p pid "${!running[@]}" || status=$?
    cat "$work/${running[$pid]}.out"
    [ $status = 0 ] || FAILED+=("${running[$pid]}")
    unset "running[$pid]"
}

start=$(date +%s)
prepare_host
prepare_roots >$work/roots.log 2>&1 &
roots=$!
# A failed or interrupted matrix stops making roots (a debootstrap already
# running ends by itself; a root it leaves unmarked is made anew next time).
trap 'kill $roots 2>/dev/null || true' EXIT
[ $build = 0 ] || ! needs_dist || scripts/wheels.sh
STANDIN_WHEEL=$(! needs_dist || ls dist/standin/*.whl)
! wanted windows || wine_setup

# The longest first, those whose roots may still be in the making last.
if wanted arm64; then
    for release in "${ARM64_RELEASES[@]}"; do
        for wheel in $(arm64_wheels "$release"); do queue "arm64-$release-$(wheel_tags "$wheel")" arm64_leg "$release" "$wheel"; done
    done
fi
if wanted windows; then
    for version in "${SUPPORTED_VERSIONS[@]}"; do queue "windows-$version" wine_leg "$version"; done
    # The stable-ABI wheel, which serves 3.14 and later, on the newest here.
    queue windows-abi3 wine_leg "${SUPPORTED_VERSIONS[-1]}" "$(stable_abi_wheel win_amd64)"
fi
! wanted sdist || queue sdist plain_sdist_leg
! wanted portable || queue portable portable_multiply_leg
! wanted clang || queue clang clang_libcxx_leg
if wanted pyenv; then
    for version in "${SUPPORTED_VERSIONS[@]}"; do queue "py$version" pyenv_version_leg "$version"; done
fi
! wanted oldest || queue oldest oldest_leg
! wanted sid || queue sid sid_legs
! wanted sid || queue sid-debug sid_legs d
! wanted bullseye || queue bullseye bullseye_leg
if wanted quickstart; then
    [ -z "$(git status --porcelain)" ] || echo "note: the Quick start legs clone HEAD, not the uncommitted changes"
    queue quickstart-bookworm quickstart_leg bookworm
    queue quickstart-trixie quickstart_leg trixie
fi
run_queue
# What the legs needed of it they made themselves if it failed.
if wait $roots; then
    grep '^making' $work/roots.log || true
else
    cat $work/roots.log
    echo "note: making the roots in the background failed; the legs made what they needed"
fi
echo "matrix: $(($(date +%s) - start)) s, $JOBS jobs at a time"
[ ${#FAILED[@]} = 0 ] || {
    echo "error: failed: ${FAILED[*]} (their logs are above, and in $work)" >&2
    exit 1
}
