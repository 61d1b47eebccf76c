# Sourced by scripts/matrix.sh: the suite under Wine, on the official Windows
# CPython of each supported version (the embeddable distribution, see
# embedded_python.sh) with its win_amd64 wheel installed binary-only by that
# interpreter's own pip, from wheels fetched here for win_amd64.  Uses the
# matrix's $work, PIP, TEST_DEPS, STANDIN_WHEEL, run_suite and wheel_tags.
source scripts/windows/embedded_python.sh

# numpy 2.2 and newer do not start under Wine 8; pytest needs colorama on
# Windows, and exceptiongroup and tomli before 3.11, which a download for
# another platform does not see through their markers.
WINDOWS_TEST_DEPS=("numpy<2.2" colorama exceptiongroup tomli)

# A fresh Wine prefix for this matrix run; Wine 8 from Debian's packages.
# It lies outside the clone: its drive Z: is a link to /, which a walk of
# the source tree (the sdist's) would follow.
wine_setup() {
    command -v wine >/dev/null || host_install wine wine64
    export WINEPREFIX=$WINDOWS_CACHE/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    rm -rf "$WINEPREFIX"
    wine_run wineboot --init >/dev/null
}

# Runs a Windows program under Wine, its output through a pipe (Wine gives a
# program whose output is a file or terminal a console of its own) and
# nothing on its input.
wine_run() { # program, arguments...
    wine "$@" </dev/null 2>&1 | cat
    return "${PIPESTATUS[0]}"
}

# $3: the embeddable CPython $1 made into an installation pip can install
# into: `import site` on, its site-packages on the path, pip unpacked into it
# (the distribution has neither pip nor ensurepip).
windows_python() { # version, pip wheel, folder
    local version=$1 pip_wheel=$2 python=$3
    rm -rf "$python"
    cp -r "$(embedded_python "$version")" "$python"
    rm "$python/.complete"
    local pth=$python/python${version/./}._pth
    sed -i 's/^#[[:space:]]*import site/import site/' "$pth"
    printf 'Lib\\site-packages\r\n' >>"$pth"
    mkdir -p "$python/Lib/site-packages"
    python3 -m zipfile -e "$pip_wheel" "$python/Lib/site-packages"
    # Wine 8 lacks what _wmi calls (propsys.VariantToString) and aborts the
    # process; without the module, platform (3.12+) reads the registry, as
    # before 3.12.
    [ ! -e "$python/_wmi.pyd" ] || mv "$python/_wmi.pyd" "$python/_wmi.pyd.unused-under-wine"
    echo "$python"
}

# The suite on the official CPython $1 for Windows, under Wine, with its
# own wheel (or the wheel $2).
wine_leg() { # version, [wheel]
    local version=$1 wheel=${2:-}
    [ -n "$wheel" ] || wheel=$(wheel_for "$version" win_amd64)
    local tags
    tags=$(wheel_tags "$wheel")
    local wheels=$work/windows-wheels-$tags
    rm -rf "$wheels"
    mkdir -p "$wheels"
    cp "$wheel" "$STANDIN_WHEEL" "$wheels/"
    python3 -m pip download "${PIP[@]}" --only-binary :all: --platform win_amd64 \
        --python-version "$version" --implementation cp --dest "$wheels" \
        pip "$wheel" "$STANDIN_WHEEL" "${TEST_DEPS[@]}" "${WINDOWS_TEST_DEPS[@]}"
    local python
    python=$(windows_python "$version" "$(ls "$wheels"/pip-*.whl)" "$work/windows-python-$tags")
    wine_run "$python/python.exe" -m pip install "${PIP[@]}" --no-warn-script-location \
        --no-index --find-links "$wheels" --only-binary :all: \
        "$(basename "$wheel" | cut -d- -f1)" "$(basename "$STANDIN_WHEEL" | cut -d- -f1)" \
        "${TEST_DEPS[@]}" "${WINDOWS_TEST_DEPS[@]}" >"$python.install.log" ||
        { cat "$python.install.log"; return 1; }
    imported_from_venv wine_run "$python/python.exe"
    run_suite "Windows x86_64 under $(wine --version), the official CPython $(wine_run "$python/python.exe" -c 'import platform; print(platform.python_version())'), $(basename "$wheel")" \
        "$python.log" . wine_run "$python/python.exe"
}

