# Warning flags of the project's own targets.
#
# Every library and program that this project defines is compiled with -Wall -Wextra, and
# with -Werror when KORVIC_WERROR is on. The flags are set on the targets themselves (never
# in CMAKE_<LANG>_FLAGS or as directory-wide options), so a parent project that adds this
# one as a subproject keeps its own flags, and its targets are not touched.
#
# korvic_apply_warnings(<dir>) walks <dir> and its subdirectories and sets the flags on
# every target that is compiled from this project's sources; it is called once, after all
# targets are defined, so a target added anywhere gets the flags without asking for them.
# Targets built from sources outside the project (GoogleTest built from its source package
# in a cross build) are left as their authors set them.

function(korvic_target_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra>
    $<$<AND:$<BOOL:${KORVIC_WERROR}>,$<COMPILE_LANGUAGE:C,CXX>>:-Werror>)
endfunction()

function(korvic_apply_warnings dir)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(source_dir ${target} SOURCE_DIR)
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${source_dir}" NORMALIZE ours)
    if(ours AND type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
      korvic_target_warnings(${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    korvic_apply_warnings("${subdir}")
  endforeach()
endfunction()
