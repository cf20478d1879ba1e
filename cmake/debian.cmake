# Initial cache for a build whose install tree is laid out for Debian packages:
#
#   cmake -S . -B build/deb -G Ninja -C cmake/debian.cmake
#   cmake --build build/deb && (cd build/deb && cpack -G DEB)
#
# Programs under /usr/bin, the public static library, its CMake package and its pkg-config
# file under the multiarch /usr/lib/<triplet>/ (GNUInstallDirs gives it for the prefix
# /usr), the simulator's preload library in korvic's private /usr/lib/<triplet>/korvic/, the Python
# package in /usr/lib/python3/dist-packages/, configuration under /etc and the systemd
# unit in /lib/systemd/system. cmake/Packaging.cmake makes one Debian package of each
# component (KORVIC_DEBIAN_PACKAGES) and refuses a build that is not laid out this way.
# Any of these can still be overridden on the command line (-D after -C).

set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING
  "Optimised, with the debug information that goes into the -dbgsym packages")
set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix")
# /usr/etc is no place for configuration: korvic_cfg.dat and korvicd's environment file go
# to /etc, where dpkg keeps them as conffiles.
set(CMAKE_INSTALL_SYSCONFDIR /etc CACHE PATH "Configuration directory")
# Debian 12 still ships units in /lib/systemd/system (lintian 2.116 says so for
# /usr/lib/systemd/system).
set(KORVIC_INSTALL_SYSTEMDUNITDIR /lib/systemd/system CACHE STRING
  "Where korvicd.service is installed")
# The preload library is korvic_sim's own, not a library to link against: in korvic's
# private directory of the multiarch library directory, /usr/lib/<triplet>/korvic/, where
# the launcher finds it from /usr/bin (and ldconfig never looks).
execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH
  OUTPUT_VARIABLE _korvic_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(KORVIC_SIM_PRELOAD_RELPATH ../lib/${_korvic_multiarch}/korvic/libkorvic_sim.so CACHE STRING
  "Path of libkorvic_sim.so relative to the directory of the korvic_sim program")
# Debian's hardening flags, from dpkg-buildflags with every hardening feature on (stack
# protector, _FORTIFY_SOURCE, format checks, full RELRO), the optimisation and debug
# level left to CMAKE_BUILD_TYPE. Its -ffile-prefix-map (the current directory) is left
# out, so that the debug information names the sources where they are.
foreach(_korvic_flags CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
  execute_process(COMMAND env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get ${_korvic_flags}
    OUTPUT_VARIABLE _korvic_${_korvic_flags} OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "(^| )(-g|-O[0-9s]?|-ffile-prefix-map=[^ ]*)( |$)" " " _korvic_${_korvic_flags}
    " ${_korvic_${_korvic_flags}} ")
  string(REGEX REPLACE "(^| )(-g|-O[0-9s]?|-ffile-prefix-map=[^ ]*)( |$)" " " _korvic_${_korvic_flags}
    "${_korvic_${_korvic_flags}}")
  string(STRIP "${_korvic_${_korvic_flags}}" _korvic_${_korvic_flags})
endforeach()
set(CMAKE_C_FLAGS "${_korvic_CFLAGS} ${_korvic_CPPFLAGS}" CACHE STRING "C compiler flags")
set(CMAKE_CXX_FLAGS "${_korvic_CXXFLAGS} ${_korvic_CPPFLAGS}" CACHE STRING "C++ compiler flags")
set(CMAKE_EXE_LINKER_FLAGS "${_korvic_LDFLAGS}" CACHE STRING "Linker flags for programs")
set(CMAKE_SHARED_LINKER_FLAGS "${_korvic_LDFLAGS}" CACHE STRING "Linker flags for shared libraries")
set(CMAKE_MODULE_LINKER_FLAGS "${_korvic_LDFLAGS}" CACHE STRING "Linker flags for modules")
set(KORVIC_BUILD_PYTHON ON CACHE BOOL "Build the Python module (python3-korvic)")
set(KORVIC_BUILD_TESTS OFF CACHE BOOL "Build the test suites")
set(KORVIC_BUILD_BENCHMARKS OFF CACHE BOOL "Build the benchmarks")
set(KORVIC_DEBIAN_PACKAGES ON CACHE BOOL "Lay the install out for Debian packages; cpack -G DEB")
