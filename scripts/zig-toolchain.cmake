# Cross-compiling with zig for another system or architecture, through the
# wrapper scripts that scripts/wheels.sh writes for one zig target into
# $ZELMO_ZIG (zig-cc, zig-c++, zig-ar, zig-ranlib); the target's CMake
# system name and processor in $ZELMO_SYSTEM_NAME and $ZELMO_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME "$ENV{ZELMO_SYSTEM_NAME}")
set(CMAKE_SYSTEM_PROCESSOR "$ENV{ZELMO_SYSTEM_PROCESSOR}")
set(CMAKE_C_COMPILER "$ENV{ZELMO_ZIG}/zig-cc")
set(CMAKE_CXX_COMPILER "$ENV{ZELMO_ZIG}/zig-c++")
set(CMAKE_AR "$ENV{ZELMO_ZIG}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$ENV{ZELMO_ZIG}/zig-ranlib" CACHE FILEPATH "")
# Programs run during the build are this machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
