# Wheels for 64-bit Arm Linux with glibc 2.17 or later (manylinux2014); see zig.cmake.
set(CAMSNAP_ZIG_ARCH aarch64)
set(CAMSNAP_ZIG_TARGET aarch64-linux-gnu.2.17)
include("${CMAKE_CURRENT_LIST_DIR}/zig.cmake")
