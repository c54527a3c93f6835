# Wheels for x86_64 Linux with glibc 2.17 or later (manylinux2014); see zig.cmake.
set(CAMSNAP_ZIG_ARCH x86_64)
set(CAMSNAP_ZIG_TARGET x86_64-linux-gnu.2.17)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
