# Cross-compiling for 64-bit Windows with zig, through the wrapper scripts
# that scripts/wheels.sh writes into $ZELMO_ZIG (zig-cc, zig-c++, zig-ar,
# zig-ranlib, each running the ziglang package's zig for x86_64-windows-gnu).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER "$ENV{ZELMO_ZIG}/zig-cc")
set(CMAKE_CXX_COMPILER "$ENV{ZELMO_ZIG}/zig-c++")
set(CMAKE_AR "$ENV{ZELMO_ZIG}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$ENV{ZELMO_ZIG}/zig-ranlib" CACHE FILEPATH "")
# Headers and libraries of the target come from the paths given, never from
# this (Linux) machine's system folders.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
