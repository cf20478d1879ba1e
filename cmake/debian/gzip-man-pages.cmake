# Install script, run last for each component of a Debian package build: the manual pages
# that the component installed under <prefix>/<_korvic_mandir>/man<N>/ are gzipped in
# place (gzip -9n: no name, no time stamp, so the package is reproducible), as Debian
# wants them.
file(GLOB _korvic_pages LIST_DIRECTORIES false
  "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${_korvic_mandir}/man[1-9]/*.[1-9]")
foreach(_korvic_page IN LISTS _korvic_pages)
  execute_process(COMMAND gzip -9nf "${_korvic_page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
