# Sourced by the wheel and matrix scripts: the supported CPython versions,
# where this machine keeps them (the pyenv root), and which wheel each takes.
SUPPORTED_VERSIONS=(3.9 3.10 3.11 3.12 3.13)
PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}

# Each supported version gets a wheel of its own: the stable ABI costs 3.12
# and 3.13 some 7% more instructions a trading day (its reference counts and
# tuple, list and float accessors are calls, and the interpreter's type tags
# are out of sight).  One stable-ABI wheel, built with the version that
# pyproject.toml's wheel.py-api names (cp312-abi3), serves every newer
# CPython, 3.14 and later.
STABLE_ABI_VERSION=$(sed -n 's/^wheel\.py-api = "cp3\([0-9]*\)".*/3.\1/p' "$(dirname "${BASH_SOURCE[0]}")/../pyproject.toml")
[ -n "$STABLE_ABI_VERSION" ] || { echo "error: no wheel.py-api in pyproject.toml" >&2; exit 1; }

# The wheels built: a version's own ("3.X"), and the stable-ABI one ("abi3").
WHEEL_BUILDS=("${SUPPORTED_VERSIONS[@]}" abi3)

# The CPython version that builds wheel $1 (a WHEEL_BUILDS entry).
build_version() { if [ "$1" = abi3 ]; then echo "$STABLE_ABI_VERSION"; else echo "$1"; fi; }

# The newest installed interpreter of version $1 (3.X); fails naming it.
python_for() {
    local found
    found=$(ls -d "$PYENV_ROOT"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -1)
    if [ -z "$found" ]; then
        echo "error: no CPython $1 interpreter (looked for $PYENV_ROOT/versions/$1.*/bin/python$1)" >&2
        return 1
    fi
    echo "$found"
}

# The Linux architectures that get wheels.
LINUX_ARCHES=(x86_64 aarch64)

# The stable-ABI wheel in dist/ for the platform whose tag matches $1 (by
# default Linux x86_64; `manylinux*_aarch64`, `win_amd64`).
stable_abi_wheel() { # [platform tag pattern]
    ls dist/tessar_mod_zelmo-*-cp${STABLE_ABI_VERSION/./}-abi3-${1:-manylinux*_x86_64}.whl
}

# The wheel in dist/ that CPython $1 installs on the platform whose tag
# matches $2 (as above): its own where there is one, else, from
# STABLE_ABI_VERSION on, the stable-ABI one.
wheel_for() { # version, [platform tag pattern]
    local platform=${2:-manylinux*_x86_64} own
    own=$(ls dist/tessar_mod_zelmo-*-cp${1/./}-cp${1/./}-$platform.whl 2>/dev/null || true)
    if [ -n "$own" ]; then
        echo "$own"
    elif [ "${1#3.}" -ge "${STABLE_ABI_VERSION#3.}" ]; then
        stable_abi_wheel "$platform"
    else
        echo "error: no wheel of CPython $1 for $platform in dist/" >&2
        return 1
    fi
}
