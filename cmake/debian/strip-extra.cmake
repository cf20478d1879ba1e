# CPack pre-build script (CPACK_PRE_BUILD_SCRIPTS): what Debian's strip does beyond the DEB
# generator's own, on the staged files before they are packaged.
#  - Programs and shared objects lose the .comment and .note sections (compiler version
#    strings, nothing a program uses); the generator then moves their debug information
#    into the -dbgsym packages and strips them.
#  - The static library loses its debug information (strip --strip-debug): the -dbgsym
#    packages hold the debug information of programs, which a static library is not.

file(GLOB_RECURSE _korvic_files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_file IN LISTS _korvic_files)
  if(IS_SYMLINK "${_file}")
    continue()
  endif()
  file(READ "${_file}" _magic LIMIT 8 HEX)
  if(_magic MATCHES "^7f454c46")
    execute_process(COMMAND objcopy --remove-section=.comment --remove-section=.note "${_file}"
      COMMAND_ERROR_IS_FATAL ANY)
  elseif(_magic STREQUAL "213c617263683e0a")
    execute_process(COMMAND strip --strip-debug --remove-section=.comment --remove-section=.note
      --enable-deterministic-archives "${_file}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
