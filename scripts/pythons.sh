# Sourced by the wheel and matrix scripts: the supported CPython versions and
# where this machine keeps them (the pyenv root).
SUPPORTED_VERSIONS=(3.9 3.10 3.11 3.12 3.13)
PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}

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

# The wheel in dist/ that CPython $1 installs.
wheel_for() {
    case "$1" in
        3.9 | 3.10 | 3.11) ls dist/tessar_mod_zelmo-*-cp${1/./}-cp${1/./}-manylinux*.whl ;;
        *) ls dist/tessar_mod_zelmo-*-cp312-abi3-manylinux*.whl ;;
    esac
}
