# Cross-compiles for macOS with zig's clang, which carries the macOS SDK's C
# headers, libSystem's symbol list and libc++; bundles are linked by lld (see
# zig-c++). Pick the architecture with -DVANTLE_MACOS_ARCH=x86_64 or arm64.
# tools/check-builds shows how to configure a build with it.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VANTLE_MACOS_ARCH)
if(VANTLE_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(zig_arch x86_64)
  # The oldest macOS that python.org's CPython 3.14 installer supports.
  set(CMAKE_OSX_DEPLOYMENT_TARGET 10.15)
elseif(VANTLE_MACOS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(zig_arch aarch64)
  # The first macOS for Apple silicon.
  set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
else()
  message(FATAL_ERROR "VANTLE_MACOS_ARCH must be x86_64 or arm64, not '${VANTLE_MACOS_ARCH}'")
endif()

set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_CXX_COMPILER_TARGET ${zig_arch}-macos.${CMAKE_OSX_DEPLOYMENT_TARGET})
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib CACHE FILEPATH "")
# zig finds the SDK by itself; there is no Xcode here to ask.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
# CMake's compiler checks compile without linking: a test program would make
# zig build a C++ runtime that the module's own link does not use.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Only the target's files: nothing of the build machine's own libraries.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
