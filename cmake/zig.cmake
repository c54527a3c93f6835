# Cross toolchain for the wheels: zig's clang (the ziglang package) as C and C++ compiler,
# linking against an old glibc so one build runs on every Linux since glibc 2.17
# (manylinux2014). Included by zig-<arch>.cmake, which sets CAMSNAP_ZIG_TARGET.
# zig itself: $CAMSNAP_ZIG (scripts/wheels sets it to the ziglang package's binary).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CAMSNAP_ZIG_ARCH})

set(_zig "$ENV{CAMSNAP_ZIG}")
if(NOT _zig OR NOT EXISTS "${_zig}")
  message(FATAL_ERROR "set CAMSNAP_ZIG to the zig binary (the ziglang package's ziglang/zig)")
endif()

# CMake wants one executable per tool; zig wants a subcommand (and the compilers the target)
# first. The wrappers go into the build tree (try_compile projects write their own copies).
foreach(_tool cc c++ ar ranlib)
  set(_args "")
  if(_tool STREQUAL "cc" OR _tool STREQUAL "c++")
    set(_args " -target ${CAMSNAP_ZIG_TARGET}")
  endif()
  set(_wrapper "${CMAKE_BINARY_DIR}/zig-${_tool}")
  file(WRITE "${_wrapper}.tmp" "#!/bin/sh\nexec \"${_zig}\" ${_tool}${_args} \"$@\"\n")
  file(COPY_FILE "${_wrapper}.tmp" "${_wrapper}" ONLY_IF_DIFFERENT)
  file(REMOVE "${_wrapper}.tmp")
  file(CHMOD "${_wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${CMAKE_BINARY_DIR}/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_BINARY_DIR}/zig-c++")
set(CMAKE_AR "${CMAKE_BINARY_DIR}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${CMAKE_BINARY_DIR}/zig-ranlib" CACHE FILEPATH "" FORCE)

# Headers and libraries of the build machine are not the target's; Python's and numpy's
# headers are found through the interpreter, which FindPython asks directly.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CAMSNAP_ZIG ON)
# zig adds debug information to what it links (its C++ runtime among it); wheels ship none.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
