# Cross build for big-endian 64-bit SPARC Linux with Debian's cross toolchain
# (g++-sparc64-linux-gnu, libc6-dev-sparc64-cross). Test programs run under qemu-user
# (qemu-sparc64), so ctest and gtest_discover_tests work as in a native build:
#   cmake -S . -B build/sparc -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/sparc64-linux-gnu.cmake
#   cmake --build build/sparc -j2 && ctest --test-dir build/sparc
# SPARC traps misaligned loads and stores (SIGBUS), and qemu-sparc64 does the same, so a
# passing run also shows that every register access is naturally aligned.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR sparc64)

set(KORVIC_SPARC_TRIPLE sparc64-linux-gnu)
set(CMAKE_C_COMPILER ${KORVIC_SPARC_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KORVIC_SPARC_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVIC_SPARC_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KORVIC_QEMU_SPARC64 qemu-sparc64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVIC_QEMU_SPARC64} -L /usr/${KORVIC_SPARC_TRIPLE})

# There is no sparc64 Google Benchmark package; the simulator is switched off by the
# top-level CMakeLists on any host but x86-64 Linux.
set(KORVIC_BUILD_BENCHMARKS OFF CACHE BOOL "Build the benchmarks")
# The command-line tool needs CLI11, a header-only package that Debian installs for the host
# only (/usr/include): a cross build neither finds its CMake package in the target's root
# nor may it put the host's include directory before the target's.
set(KORVIC_BUILD_CLI OFF CACHE BOOL "Build the korvic command-line tool (needs CLI11)")
