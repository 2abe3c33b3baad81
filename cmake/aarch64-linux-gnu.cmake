# Cross-building for arm64 with Debian's cross compiler (g++-aarch64-linux-gnu)
# against the arm64 libraries of a multiarch system (dpkg --add-architecture
# arm64; libncurses-dev:arm64, and libgtest-dev:arm64 for the tests):
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and packages from /usr/lib/aarch64-linux-gnu, programs from the build machine.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The tests are listed by running them (gtest_discover_tests) and run by ctest:
# through qemu user emulation where it is installed.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(V3DWATCH_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
  if(V3DWATCH_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${V3DWATCH_QEMU_AARCH64})
  endif()
endif()
