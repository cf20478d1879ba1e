# CPack post-build script (CPACK_POST_BUILD_SCRIPTS): completes each <package>-dbgsym .ddeb
# as Debian's own debug packages are made.
#  - CMake 3.25 writes the md5sums of a -dbgsym package with the absolute staging paths
#    of its files, so dpkg --verify and debsums would find none of them: the md5sums are
#    computed again, relative to the package root.
#  - Its /usr/share/doc/<package>-dbgsym becomes a symlink to the doc directory of the
#    package it depends on with the exact version, which holds copyright and changelog.
#  - The .debug files are data, not programs: mode 0644.
# Each .ddeb is unpacked with dpkg-deb, mended and built again in its place.

foreach(_ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _ddeb MATCHES "\\.ddeb$")
    continue()
  endif()
  set(_root "${_ddeb}.d")
  file(REMOVE_RECURSE "${_root}")
  execute_process(COMMAND dpkg-deb --raw-extract "${_ddeb}" "${_root}" COMMAND_ERROR_IS_FATAL ANY)

  file(STRINGS "${_root}/DEBIAN/control" _package REGEX "^Package: ")
  string(REGEX REPLACE "^Package: +" "" _package "${_package}")
  if(NOT _package MATCHES "^(.+)-dbgsym$")
    message(FATAL_ERROR "${_ddeb}: package ${_package} is not a -dbgsym package")
  endif()
  set(_main "${CMAKE_MATCH_1}")
  file(MAKE_DIRECTORY "${_root}/usr/share/doc")
  file(CREATE_LINK "${_main}" "${_root}/usr/share/doc/${_package}" SYMBOLIC)

  file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE "${_root}" "${_root}/usr/*")
  list(SORT _files)
  set(_md5sums "")
  foreach(_file IN LISTS _files)
    if(IS_SYMLINK "${_root}/${_file}")
      continue()
    endif()
    file(CHMOD "${_root}/${_file}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 "${_root}/${_file}" _md5)
    string(APPEND _md5sums "${_md5}  ${_file}\n")
  endforeach()
  file(WRITE "${_root}/DEBIAN/md5sums" "${_md5sums}")
  file(CHMOD "${_root}/DEBIAN/md5sums" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${_root}" "${_ddeb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${_root}")
endforeach()
