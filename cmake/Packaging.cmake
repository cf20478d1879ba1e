# Debian packages of korvic, built with CPack from the same build as everything else:
#
#   cmake -S . -B build/deb -G Ninja -C cmake/debian.cmake     (KORVIC_DEBIAN_PACKAGES=ON)
#   cmake --build build/deb && (cd build/deb && cpack -G DEB)
#
# One package per group of install components (cmake/Install.cmake names the package of
# each component):
#   libkorvic-dev    development: static library, headers, CMake package, .pc, examples
#   korvic-tools     runtime, daemon: the console and the other programs, korvicd with its
#                    systemd unit, the manual pages, the configuration under /etc
#   korvic-sim       simulator: the launcher and its private preload library
#   python3-korvic   python: the Python package
#   korvic-uio-dkms  kmod: the board's UIO kernel module as source, built by DKMS on the
#                    target (architecture all)
# each with ELF files with a -dbgsym package holding the debug symbols that are stripped
# from them. Every package gets /usr/share/doc/<package>/copyright and changelog.gz; manual
# pages are installed gzipped. Included from the top-level CMakeLists.txt after every
# install rule (the component list is complete only then).

if(NOT KORVIC_DEBIAN_PACKAGES)
  return()
endif()

# ---- the layout the packages need ------------------------------------------------------------

set(_korvic_debian_dir ${CMAKE_CURRENT_LIST_DIR}/debian)
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "KORVIC_DEBIAN_PACKAGES: the install prefix is ${CMAKE_INSTALL_PREFIX}, "
    "Debian packages need /usr: configure a new build directory with -C cmake/debian.cmake")
endif()
if(TARGET korvic_sim_preload AND NOT KORVIC_SIM_PRELOAD_RELPATH MATCHES "/korvic/libkorvic_sim\\.so$")
  message(FATAL_ERROR "KORVIC_DEBIAN_PACKAGES: KORVIC_SIM_PRELOAD_RELPATH "
    "(${KORVIC_SIM_PRELOAD_RELPATH}) puts the simulator's preload library among the public "
    "libraries; cmake/debian.cmake sets ../lib/<triplet>/korvic/libkorvic_sim.so")
endif()

# The changelog's latest entry must be this release (the C header's version).
file(STRINGS ${_korvic_debian_dir}/changelog _korvic_top LIMIT_COUNT 1)
if(NOT _korvic_top MATCHES "^korvic \\(([^)]+)\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: no 'korvic (VERSION) ...' first line")
elseif(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "cmake/debian/changelog: the latest entry is ${CMAKE_MATCH_1}, the "
    "release is ${PROJECT_VERSION} (include/korvic/korvic_api.h): add an entry for it")
endif()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${_korvic_debian_dir}/changelog ${PROJECT_SOURCE_DIR}/LICENSE)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9n -c ${_korvic_debian_dir}/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

set(KORVIC_DEB_MAINTAINER "korvic maintainers <korvic-maintainers@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")
# The machine-readable copyright file (DEP-5): the holder and the licence text come from
# LICENSE, the one place they are written, the contact is the maintainer.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _korvic_license)
if(NOT _korvic_license MATCHES "^BSD 2-Clause License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: not the BSD 2-Clause text with its copyright line")
endif()
set(KORVIC_COPYRIGHT "${CMAKE_MATCH_1}")
# Paragraphs of a DEP-5 licence: every line indented by one blank, empty lines as " .".
string(REPLACE "\n\n" "\n.\n" KORVIC_LICENSE_TEXT "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " KORVIC_LICENSE_TEXT " ${KORVIC_LICENSE_TEXT}")
configure_file(${_korvic_debian_dir}/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)

# ---- per package: copyright, changelog; per component: gzipped manual pages ------------------

# Every install component must belong to a package (a rule without COMPONENT would make
# a package "korvic-unspecified").
get_cmake_property(_korvic_components COMPONENTS)
set(_korvic_packages "")
foreach(_korvic_component IN LISTS _korvic_components)
  set(_korvic_package "${KORVIC_DEB_PACKAGE_${_korvic_component}}")
  if(NOT _korvic_package)
    message(FATAL_ERROR "install component '${_korvic_component}' belongs to no Debian "
      "package: name one in cmake/Install.cmake (KORVIC_DEB_PACKAGE_${_korvic_component})")
  endif()
  if(NOT _korvic_package IN_LIST _korvic_packages)
    list(APPEND _korvic_packages ${_korvic_package})
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_korvic_package}
      COMPONENT ${_korvic_component})
  endif()
  # Last of the component's rules: gzip the manual pages that it has just installed.
  install(CODE "set(_korvic_mandir \"${CMAKE_INSTALL_MANDIR}\")
    include(\"${_korvic_debian_dir}/gzip-man-pages.cmake\")" COMPONENT ${_korvic_component})
endforeach()

# ---- CPack ----------------------------------------------------------------------------------

set(_korvic_version "${PROJECT_VERSION}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvic)
set(CPACK_PACKAGE_VENDOR "korvic developers")
set(CPACK_PACKAGE_VERSION "${_korvic_version}")
set(CPACK_PACKAGE_CONTACT "${KORVIC_DEB_MAINTAINER}")
# SPDX-License-Identifier: BSD-2-Clause (LICENSE; in each package's copyright file)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# /etc and /lib/systemd/system are absolute destinations: installed under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL ${_korvic_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE korvic)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps adds what the programs and shared objects link (libc6, libstdc++6, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# ELF files stripped, their debug information in <package>-dbgsym.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_STRIP_FILES OFF)
# Maintainer scripts 0755, conffiles 0644, whatever the source tree's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped as Debian strips (.comment and .note; the static library's debug information),
# and the -dbgsym packages completed as Debian's are (md5sums, doc directory, file modes).
set(CPACK_PRE_BUILD_SCRIPTS ${_korvic_debian_dir}/strip-extra.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${_korvic_debian_dir}/fix-dbgsym.cmake)

# The packages that depend on another of korvic's name its exact version.
set(_korvic_same "(= ${_korvic_version})")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkorvic-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# A C++ static library: linking it needs the C++ runtime of the compiler that built it.
string(REGEX MATCH "^[0-9]+" _korvic_gcc_major "${CMAKE_CXX_COMPILER_VERSION}")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libc6-dev | libc-dev")
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ", libstdc++-${_korvic_gcc_major}-dev")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake (>= 3.25), pkgconf, korvic-sim")
set(CPACK_DEBIAN_DEV_DESCRIPTION "device access library for the korvic timing board (development)
The korvic board is a PCI time-code and timing board. korvic_api attaches to
it through korvic_cfg.dat, moves its registers and bit fields and converts its
BCD times to and from seconds, microsecond counts and broken-down times.
.
This package holds the static library with its C99 header and the C++20
object korvic::Board, the CMake package (find_package(korvic_api)), the
pkg-config file korvic_api.pc, a commented korvic_cfg.dat and two example
programs.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME korvic-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "programs for the korvic PCI time-code and timing board
korvic_test, the interactive test console of the board: register dumps, bit
setting, timer start and stop, time reset and preset, live time displays and
a time-compare event test.")
if(TARGET korvic)
  string(APPEND CPACK_DEBIAN_TOOLS_DESCRIPTION "
.
korvic, one subcommand per job for scripts: the board's time and its offset
from the system clock, status, registers, preset, compare, events and timer,
as ISO 8601 UTC or JSON lines.")
endif()
if(TARGET korvicd)
  string(APPEND CPACK_DEBIAN_TOOLS_DESCRIPTION "
.
korvicd, which feeds the board's time to chrony (SOCK refclock) or ntpd (NTP
shared memory), with its systemd unit; it never sets the clock itself.")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "chrony | ntp")
  # The maintainer scripts enable the unit with deb-systemd-helper.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
  # The configuration under /etc is the administrator's: dpkg keeps changes to it.
  file(WRITE ${PROJECT_BINARY_DIR}/debian/korvic-tools/conffiles
    "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/korvicd\n"
    "${CMAKE_INSTALL_FULL_SYSCONFDIR}/korvic/korvic_cfg.dat\n")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/korvic-tools/conffiles
    ${_korvic_debian_dir}/korvic-tools/postinst
    ${_korvic_debian_dir}/korvic-tools/prerm
    ${_korvic_debian_dir}/korvic-tools/postrm)
endif()

set(CPACK_DEBIAN_SIM_PACKAGE_NAME korvic-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# With no program to run, korvic_sim starts the console of korvic-tools.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "korvic-tools ${_korvic_same}")
set(CPACK_DEBIAN_SIM_DESCRIPTION "board simulator for the korvic timing board
korvic_sim runs any program that uses the korvic library, unchanged and not
relinked, against a simulated board: a preload library serves the board's
device paths, and every register access is trapped, answered by a model of
the board and optionally traced. The board's clock is the host's or a virtual
one; external events, byte-swapped buses and the compare logic are simulated
too. With no program it starts korvic_test on a prepared korvic_cfg.dat.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-korvic)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The extension module is built for one Python version (python/: Python3_EXECUTABLE):
# that version only.
if(TARGET korvic_python)
  execute_process(COMMAND ${Python3_EXECUTABLE} -c
      "import sys; print('%d.%d %d.%d' % (sys.version_info[0], sys.version_info[1], sys.version_info[0], sys.version_info[1] + 1))"
    OUTPUT_VARIABLE _korvic_py OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(_korvic_py UNIX_COMMAND "${_korvic_py}")
  list(GET _korvic_py 0 _korvic_py_this)
  list(GET _korvic_py 1 _korvic_py_next)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${_korvic_py_this}~), python3 (<< ${_korvic_py_next})")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "korvic-sim")
# Byte-compiled on installation, and every byte-compiled file removed before removal.
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${_korvic_debian_dir}/python3-korvic/postinst ${_korvic_debian_dir}/python3-korvic/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python 3 module for the korvic timing board
import korvic gives test rigs and lab scripts the board itself: presets,
samples of the board's time against the system clock, compare events,
external events, status bits and the timer. Every time is a timezone-aware
datetime in UTC with microseconds.")

set(CPACK_DEBIAN_KMOD_PACKAGE_NAME korvic-uio-dkms)
set(CPACK_DEBIAN_KMOD_PACKAGE_SECTION kernel)
set(CPACK_DEBIAN_KMOD_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_KMOD_DEBUGINFO_PACKAGE OFF)
# DKMS 3 builds and signs the module; openssl makes DKMS's signing key on first use.
set(CPACK_DEBIAN_KMOD_PACKAGE_DEPENDS "dkms (>= 3.0)")
set(CPACK_DEBIAN_KMOD_PACKAGE_RECOMMENDS "openssl")
foreach(_korvic_script postinst prerm)
  configure_file(${_korvic_debian_dir}/korvic-uio-dkms/${_korvic_script}
    ${PROJECT_BINARY_DIR}/debian/korvic-uio-dkms/${_korvic_script} @ONLY)
  list(APPEND CPACK_DEBIAN_KMOD_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/korvic-uio-dkms/${_korvic_script})
endforeach()
set(CPACK_DEBIAN_KMOD_DESCRIPTION "UIO kernel module for the korvic timing board (DKMS)
korvic_uio takes the korvic board's interrupt at its PCI bridge and offers it
as a UIO node (/dev/uioN): a process waits there with poll() or read()
instead of polling the board's registers, and writes 1 to re-arm. The
module's ID table is empty: the board is bound through new_id.
.
This package holds the module's source; DKMS builds and signs it for each
installed kernel that has its headers.")

include(CPack)

cpack_add_component_group(dev)
cpack_add_component_group(tools)
cpack_add_component_group(sim)
cpack_add_component_group(python)
cpack_add_component_group(kmod)
# The package of each component (cmake/Install.cmake) is the package of its group.
set(_korvic_group_libkorvic-dev dev)
set(_korvic_group_korvic-tools tools)
set(_korvic_group_korvic-sim sim)
set(_korvic_group_python3-korvic python)
set(_korvic_group_korvic-uio-dkms kmod)
foreach(_korvic_component IN LISTS _korvic_components)
  cpack_add_component(${_korvic_component}
    GROUP ${_korvic_group_${KORVIC_DEB_PACKAGE_${_korvic_component}}})
endforeach()
