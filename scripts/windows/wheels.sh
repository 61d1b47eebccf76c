# Sourced by scripts/wheels.sh: the win_amd64 wheels, cross-built here.
#
# zig compiles for x86_64-windows-gnu, linking its libc++ and libunwind
# statically, so that each .pyd needs only the interpreter's DLL, KERNEL32
# and the UCRT, which every Windows 10 and every CPython 3.9+ has.  What a
# Windows build needs of the interpreter comes from three places:
#   - the headers: the version's own Include/ (this machine's interpreter of
#     that version) with our scripts/windows/pyconfig.h in place of the Linux
#     one;
#   - the import libraries: made from the official embeddable CPython's DLLs
#     (scripts/windows/embedded_python.sh) by gendef and zig's dlltool;
#   - the names: the extension suffix nanobind gives the modules and the
#     wheel's platform tag, which CMake and scikit-build-core would otherwise
#     take from the (Linux) interpreter that runs the build.
source scripts/windows/embedded_python.sh

WINDOWS_TARGET=x86_64-windows-gnu

# Checks that every module in the wheel $1 is named <module>$3, so that the
# interpreter finds it, and imports only the interpreter's DLL $2, KERNEL32
# and the UCRT's api-ms-win-crt-* DLLs.
check_windows_modules() { # wheel, interpreter DLL, extension suffix
    local wheel=$1 dll=$2 suffix=$3 dir
    dir=$(mktemp -d)
    python3 -m zipfile -e "$wheel" "$dir"
    local pyd found=0
    while IFS= read -r pyd; do
        found=$((found + 1))
        local module
        module=$(basename "$pyd")
        module=${module%"$suffix"}
        if [ "$module" = "$(basename "$pyd")" ] || [[ $module == *.* ]]; then
            echo "error: $(basename "$wheel"): $(basename "$pyd") is not named <module>$suffix" >&2
            rm -rf "$dir"
            return 1
        fi
        local unexpected
        unexpected=$(objdump -p "$pyd" | sed -n 's/^[[:space:]]*DLL Name: //p' |
            grep -v -i -x -e "$dll" -e KERNEL32.dll -e 'api-ms-win-crt-[a-z0-9-]*\.dll' || true)
        if [ -n "$unexpected" ]; then
            echo "error: $(basename "$wheel"): $(basename "$pyd") imports $unexpected" >&2
            rm -rf "$dir"
            return 1
        fi
    done < <(find "$dir" -name '*.pyd')
    rm -rf "$dir"
    [ "$found" -gt 0 ] || { echo "error: $(basename "$wheel") holds no .pyd" >&2; return 1; }
}

# An import library for the DLL $1, at $2 (named as CMake's FindPython
# expects: by the version it builds for, whatever DLL it imports from).
windows_import_library() { # dll, library
    local dll=$1 library=$2 def=${2%.dll.a}.def
    # gendef writes python3.dll's entries as forwarders to python3X.dll
    # ("name = python3X.name"); an import library names the entry alone.
    (cd "$(dirname "$def")" && gendef - "$dll" 2>/dev/null) |
        sed 's/[[:space:]]*=[[:space:]]*python3[0-9]*\.[A-Za-z0-9_]*//' >"$def"
    "$TOOLS/bin/python" -m ziglang dlltool -m i386:x86-64 -D "$(basename "$dll")" \
        -d "$def" -l "$library"
    # FindPython takes a library without its DLL beside it for a static one.
    cp "$dll" "$(dirname "$library")/"
}

# Builds the win_amd64 wheel $2 (a WHEEL_BUILDS entry) from the sdist $1
# into dist/.
build_windows_wheel() { # sdist, build
    local sdist=$1 build=$2 version nodot
    version=$(build_version "$build")
    nodot=${version/./}
    local embedded staging=$PWD/build/windows/python$version
    embedded=$(embedded_python "$version")
    rm -rf "$staging"
    mkdir -p "$staging/libs"
    cp -r "$(dirname "$(python_for "$version")")/../include/python$version" "$staging/include"
    cp scripts/windows/pyconfig.h "$staging/include/pyconfig.h"

    local dll=python$nodot.dll suffix=".cp$nodot-win_amd64.pyd" library=Python_LIBRARY
    local -a options=(--config-settings=wheel.py-api=) # its own, whatever pyproject.toml asks
    if [ "$build" = abi3 ]; then
        options=()
        # The stable ABI is imported from python3.dll, which forwards to the
        # running interpreter's own DLL.
        dll=python3.dll suffix=.pyd library=Python_SABI_LIBRARY
    fi
    local import_library=$staging/libs/lib${dll%.dll}.dll.a
    windows_import_library "$embedded/$dll" "$import_library"

    echo "building the win_amd64 wheel $build with CPython $version's headers (zig, $WINDOWS_TARGET)"
    # scikit-build-core takes the modules' ABI tag from SETUPTOOLS_EXT_SUFFIX;
    # nanobind then finds it no Linux-style tag and takes NB_SUFFIX.
    env _PYTHON_HOST_PLATFORM=win-amd64 SETUPTOOLS_EXT_SUFFIX="$suffix" \
        ZELMO_ZIG="$ZIG_ROOT/$WINDOWS_TARGET" ZELMO_SYSTEM_NAME=Windows ZELMO_SYSTEM_PROCESSOR=AMD64 \
        CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$PWD/scripts/zig-toolchain.cmake \
            -DPython_INCLUDE_DIR=$staging/include -D$library=$import_library \
            -DNB_SUFFIX=$suffix -DNB_SUFFIX_S=.pyd" \
        "$(python_for "$version")" -m pip wheel "${PIP[@]}" "${options[@]}" --no-deps \
        --wheel-dir dist "$sdist"
    local wheel
    if [ "$build" = abi3 ]; then wheel=$(stable_abi_wheel win_amd64); else wheel=$(wheel_for "$version" win_amd64); fi
    check_windows_modules "$wheel" "$dll" "$suffix"
}

build_windows_wheels() { # sdist
    command -v gendef >/dev/null || host_install mingw-w64-tools
    zig_wrappers "$WINDOWS_TARGET"
    local build
    for build in "${WHEEL_BUILDS[@]}"; do
        build_windows_wheel "$1" "$build"
    done
}
