# Installation and the exported package of korvic.
#
# Included once from the top-level CMakeLists.txt after every target is defined. Installs
#   - the static library libkorvic_api.a and its public headers (korvic/korvic_api.h,
#     the C++ headers beside it, and korvic_api.h for programs that include it by that name);
#   - the CMake package korvic_api (find_package(korvic_api CONFIG) gives the imported target
#     korvic::korvic_api), with a version file (same major version is compatible);
#   - the pkg-config file korvic_api.pc;
#   - the console korvic_test, the command-line tool korvic, the simulator korvic_sim and its
#     preload library, when built;
#   - korvicd with its systemd units (korvicd.service, the template korvicd@.service),
#     environment file and korvic_cfg.dat, when built;
#   - the Python package korvic (extension, stubs, py.typed) under KORVIC_INSTALL_PYTHONDIR,
#     when built (component python, the Debian package python3-korvic);
#   - the manual pages, the hardware guide and the examples;
#   - on Linux, the board's UIO kernel module as DKMS source under src/korvic-uio-<version>/
#     (component kmod, the Debian package korvic-uio-dkms).
# Every installed file is relocatable: the CMake package and the .pc file find the prefix
# from their own location, so an install tree can be moved or staged with --prefix or
# DESTDIR.

include(CMakePackageConfigHelpers)

set(KORVIC_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/korvic_api"
    CACHE STRING "Where the CMake package files of korvic_api are installed, relative to the prefix")
set(KORVIC_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    CACHE STRING "Where korvic_api.pc is installed, relative to the prefix")

# The install components and the Debian package that holds each (cmake/Packaging.cmake).
option(KORVIC_DEBIAN_PACKAGES "Lay the install out for Debian packages (cmake/debian.cmake)" OFF)
set(KORVIC_DEB_PACKAGE_development libkorvic-dev)
set(KORVIC_DEB_PACKAGE_runtime korvic-tools)
set(KORVIC_DEB_PACKAGE_daemon korvic-tools)
set(KORVIC_DEB_PACKAGE_simulator korvic-sim)
set(KORVIC_DEB_PACKAGE_python python3-korvic)
set(KORVIC_DEB_PACKAGE_kmod korvic-uio-dkms)
# Each component's documents: all in share/doc/korvic for an install tree; in a Debian
# package, in that package's own share/doc/<package>.
foreach(_korvic_component development runtime daemon simulator python)
  if(KORVIC_DEBIAN_PACKAGES)
    set(KORVIC_DOCDIR_${_korvic_component}
        "${CMAKE_INSTALL_DATAROOTDIR}/doc/${KORVIC_DEB_PACKAGE_${_korvic_component}}")
  else()
    set(KORVIC_DOCDIR_${_korvic_component} "${CMAKE_INSTALL_DOCDIR}")
  endif()
endforeach()
unset(_korvic_component)

# ---- the library, its header and the CMake package -----------------------------------------

install(TARGETS korvic_api
  EXPORT korvic_api-targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
)
install(EXPORT korvic_api-targets
  NAMESPACE korvic::
  FILE korvic_api-targets.cmake
  DESTINATION ${KORVIC_INSTALL_CMAKEDIR}
  COMPONENT development
)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/korvic_api-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/korvic_api-config.cmake
  INSTALL_DESTINATION ${KORVIC_INSTALL_CMAKEDIR}
)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/korvic_api-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion
)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/korvic_api-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/korvic_api-config-version.cmake
  DESTINATION ${KORVIC_INSTALL_CMAKEDIR}
  COMPONENT development
)

# ---- pkg-config -----------------------------------------------------------------------------

# The prefix is found from the .pc file's own directory (${pcfiledir}), so the file is right
# wherever the tree is installed or moved. An absolute pkgconfig directory cannot be
# related to the prefix: then the configured prefix is written as it is.
if(IS_ABSOLUTE "${KORVIC_INSTALL_PKGCONFIGDIR}")
  set(KORVIC_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  set(_korvic_up "${KORVIC_INSTALL_PKGCONFIGDIR}")
  set(KORVIC_PC_PREFIX "\${pcfiledir}")
  while(NOT _korvic_up STREQUAL "" AND NOT _korvic_up STREQUAL ".")
    cmake_path(GET _korvic_up PARENT_PATH _korvic_up)
    string(APPEND KORVIC_PC_PREFIX "/..")
  endwhile()
  unset(_korvic_up)
endif()
foreach(_korvic_dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_korvic_dir}}")
    set(KORVIC_PC_${_korvic_dir} "${CMAKE_INSTALL_${_korvic_dir}}")
  else()
    set(KORVIC_PC_${_korvic_dir} "\${prefix}/${CMAKE_INSTALL_${_korvic_dir}}")
  endif()
endforeach()
unset(_korvic_dir)

# The library is written in C++: a program linked by a C compiler needs the C++ runtime
# that the C++ compiler would have added. Those are the libraries that the C++ compiler
# links implicitly and the C compiler does not (with GCC: -lstdc++ -lm).
set(KORVIC_PC_RUNTIME_LIBS "")
foreach(_korvic_lib IN LISTS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
  if(NOT _korvic_lib IN_LIST CMAKE_C_IMPLICIT_LINK_LIBRARIES)
    if(IS_ABSOLUTE "${_korvic_lib}" OR _korvic_lib MATCHES "^-")
      string(APPEND KORVIC_PC_RUNTIME_LIBS " ${_korvic_lib}")
    else()
      string(APPEND KORVIC_PC_RUNTIME_LIBS " -l${_korvic_lib}")
    endif()
  endif()
endforeach()
unset(_korvic_lib)

configure_file(${CMAKE_CURRENT_LIST_DIR}/korvic_api.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/korvic_api.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvic_api.pc
  DESTINATION ${KORVIC_INSTALL_PKGCONFIGDIR}
  COMPONENT development
)

# ---- programs ------------------------------------------------------------------------------

if(TARGET korvic_test)
  install(TARGETS korvic_test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/man/korvic_test.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
if(TARGET korvic)
  install(TARGETS korvic RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/man/korvic.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()

if(TARGET korvic_sim)
  install(TARGETS korvic_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator)
  install(FILES ${PROJECT_SOURCE_DIR}/man/korvic_sim.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT simulator)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/SIMULATOR.md
    DESTINATION ${KORVIC_DOCDIR_simulator} COMPONENT simulator)
endif()
if(TARGET korvic_sim_preload)
  # The launcher looks for libkorvic_sim.so at KORVIC_SIM_PRELOAD_RELPATH (sim/) from its
  # own directory, the build tree's ../lib/ by default: the preload library goes where
  # that path leads from the installed launcher. With the usual layout that is
  # ${CMAKE_INSTALL_LIBDIR} ("lib"); with a multiarch LIBDIR (prefix /usr on Debian) it
  # is still <prefix>/lib, where a preload module may live as well as anywhere.
  set(_korvic_preload_dir "${CMAKE_INSTALL_LIBDIR}")
  if(DEFINED KORVIC_SIM_PRELOAD_RELPATH AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}"
     AND NOT IS_ABSOLUTE "${KORVIC_SIM_PRELOAD_RELPATH}")
    cmake_path(GET KORVIC_SIM_PRELOAD_RELPATH PARENT_PATH _korvic_rel)
    cmake_path(APPEND CMAKE_INSTALL_BINDIR "${_korvic_rel}" OUTPUT_VARIABLE _korvic_dir)
    cmake_path(NORMAL_PATH _korvic_dir)
    cmake_path(GET KORVIC_SIM_PRELOAD_RELPATH FILENAME _korvic_name)
    if(_korvic_dir MATCHES "^\\.\\.(/|$)" OR _korvic_dir STREQUAL "")
      message(WARNING "KORVIC_SIM_PRELOAD_RELPATH (${KORVIC_SIM_PRELOAD_RELPATH}) leads out "
        "of the install prefix; the installed korvic_sim will need KORVIC_SIM_PRELOAD")
    elseif(NOT _korvic_name STREQUAL "libkorvic_sim.so")
      message(WARNING "KORVIC_SIM_PRELOAD_RELPATH names ${_korvic_name}, not libkorvic_sim.so")
    else()
      string(REGEX REPLACE "/$" "" _korvic_preload_dir "${_korvic_dir}")
    endif()
    unset(_korvic_rel)
    unset(_korvic_dir)
    unset(_korvic_name)
  endif()
  install(TARGETS korvic_sim_preload
    LIBRARY DESTINATION ${_korvic_preload_dir} COMPONENT simulator)
  unset(_korvic_preload_dir)
endif()

if(TARGET korvicd)
  # korvicd, its manual page and guide, its systemd units (one board; the template for one
  # unit per board) with the environment file the plain unit reads (KORVICD_OPTS), and the
  # board's korvic_cfg.dat under <sysconfdir>/korvic/ (the commented sample: MEM_PATH= must
  # be set to the board's resource file).
  set(KORVIC_INSTALL_SYSTEMDUNITDIR "lib/systemd/system"
      CACHE STRING "Where the korvicd units are installed, relative to the prefix or absolute")
  install(TARGETS korvicd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT daemon)
  install(FILES ${PROJECT_SOURCE_DIR}/man/korvicd.8
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/CLOCK.md
    DESTINATION ${KORVIC_DOCDIR_daemon} COMPONENT daemon)
  # chrony's lines for korvicd, as a conf.d file to copy: an example, not switched on.
  install(FILES ${PROJECT_SOURCE_DIR}/daemon/korvicd-chrony.conf
    DESTINATION ${KORVIC_DOCDIR_daemon}/examples RENAME korvicd.conf COMPONENT daemon)
  install(FILES ${PROJECT_BINARY_DIR}/daemon/korvicd.service
    ${PROJECT_BINARY_DIR}/daemon/korvicd@.service
    DESTINATION ${KORVIC_INSTALL_SYSTEMDUNITDIR} COMPONENT daemon)
  install(FILES ${PROJECT_SOURCE_DIR}/daemon/korvicd.default
    DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/default RENAME korvicd COMPONENT daemon)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/korvic_cfg.dat
    DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/korvic COMPONENT daemon)
endif()

# ---- the Python package ----------------------------------------------------------------------

# KORVIC_INSTALL_PYTHONDIR (python/CMakeLists.txt) is relative to the prefix, so the
# installed tree stays relocatable: PYTHONPATH=<prefix>/lib/python3/dist-packages, or the
# prefix /usr, where Debian's interpreter looks there itself.
if(TARGET korvic_python)
  if(IS_ABSOLUTE "${KORVIC_INSTALL_PYTHONDIR}")
    message(WARNING "KORVIC_INSTALL_PYTHONDIR (${KORVIC_INSTALL_PYTHONDIR}) is absolute: the "
      "Python package will not move with the rest of the installed tree")
  endif()
  install(TARGETS korvic_python
    LIBRARY DESTINATION ${KORVIC_INSTALL_PYTHONDIR}/korvic COMPONENT python)
  install(FILES
    ${PROJECT_SOURCE_DIR}/python/korvic/__init__.py
    ${PROJECT_SOURCE_DIR}/python/korvic/__init__.pyi
    ${PROJECT_SOURCE_DIR}/python/korvic/py.typed
    DESTINATION ${KORVIC_INSTALL_PYTHONDIR}/korvic COMPONENT python)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/PYTHON.md
    DESTINATION ${KORVIC_DOCDIR_python} COMPONENT python)
endif()

# ---- documentation and examples ------------------------------------------------------------

install(FILES ${PROJECT_SOURCE_DIR}/docs/HARDWARE.md
  DESTINATION ${KORVIC_DOCDIR_development} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${KORVIC_DOCDIR_development}/examples COMPONENT development)

# ---- the kernel module's source, for DKMS ----------------------------------------------------

# DKMS builds it on the target, for each kernel (kmod/dkms.conf.in): the sources as they
# are, and dkms.conf with this release's version. /usr/src/korvic-uio-<version> with the
# prefix /usr.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  configure_file(${PROJECT_SOURCE_DIR}/kmod/dkms.conf.in ${PROJECT_BINARY_DIR}/kmod/dkms.conf @ONLY)
  install(FILES
    ${PROJECT_BINARY_DIR}/kmod/dkms.conf
    ${PROJECT_SOURCE_DIR}/kmod/Kbuild
    ${PROJECT_SOURCE_DIR}/kmod/korvic_uio.c
    ${PROJECT_SOURCE_DIR}/kmod/korvic_intcsr.h
    DESTINATION src/korvic-uio-${PROJECT_VERSION} COMPONENT kmod)
endif()
