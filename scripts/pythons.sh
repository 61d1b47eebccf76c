# Sourced by the wheel and matrix scripts: the supported CPython versions,
# where this machine keeps them (the pyenv root), and which wheel each takes.
SUPPORTED_VERSIONS=(3.9 3.10 3.11 3.12 3.13)
PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}

# The first version that takes the one stable-ABI wheel, as pyproject.toml's
# wheel.py-api names it (the build reads it from there too); each older
# version gets a wheel of its own.
STABLE_ABI_VERSION=$(sed -n 's/^wheel\.py-api = "cp3\([0-9]*\)".*/3.\1/p' "$(dirname "${BASH_SOURCE[0]}")/../pyproject.toml")
[ -n "$STABLE_ABI_VERSION" ] || { echo "error: no wheel.py-api in pyproject.toml" >&2; exit 1; }

# Whether CPython $1 takes the stable-ABI wheel.
takes_stable_abi() { [ "${1#3.}" -ge "${STABLE_ABI_VERSION#3.}" ]; }

# The versions a wheel is built with: each older one, then the first stable-ABI one.
WHEEL_VERSIONS=()
for version in "${SUPPORTED_VERSIONS[@]}"; do
    takes_stable_abi "$version" || WHEEL_VERSIONS+=("$version")
done
WHEEL_VERSIONS+=("$STABLE_ABI_VERSION")

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

# The wheel in dist/ that CPython $1 installs on the platform whose tag
# matches $2 (by default Linux x86_64; `manylinux*_aarch64`, `win_amd64`).
wheel_for() { # version, [platform tag pattern]
    local platform=${2:-manylinux*_x86_64}
    if takes_stable_abi "$1"; then
        ls dist/tessar_mod_zelmo-*-cp${STABLE_ABI_VERSION/./}-abi3-$platform.whl
    else
        ls dist/tessar_mod_zelmo-*-cp${1/./}-cp${1/./}-$platform.whl
    fi
}
