# Writes OUT (a compile_commands.json) holding only the entries of IN whose source file
# lies in the product directories library/, console/, cli/, daemon/, python/ and sim/ of the source tree: the
# files that clang-tidy and cppcheck must pass without a finding. Tests, fuzzers and
# benchmarks are left out.
#   cmake -DIN=build/x/compile_commands.json -DOUT=build/x/product/compile_commands.json \
#         -P cmake/product-compile-commands.cmake
if(NOT DEFINED IN OR NOT DEFINED OUT)
  message(FATAL_ERROR "usage: cmake -DIN=<compile_commands.json> -DOUT=<file> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
file(READ "${IN}" all)
string(JSON count LENGTH "${all}")
set(kept "[]")
set(n 0)
if(count GREATER 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON entry GET "${all}" ${i})
    string(JSON file GET "${entry}" file)
    get_filename_component(file "${file}" ABSOLUTE)
    string(FIND "${file}" "${root}/" at)
    string(LENGTH "${root}" skip)
    string(SUBSTRING "${file}" ${skip} -1 relative)
    if(at EQUAL 0 AND relative MATCHES "^/(library|console|cli|daemon|python|sim)/")
      string(JSON kept SET "${kept}" ${n} "${entry}")
      math(EXPR n "${n} + 1")
    endif()
  endforeach()
endif()
if(n EQUAL 0)
  message(FATAL_ERROR "no product sources in ${IN}")
endif()
file(WRITE "${OUT}" "${kept}\n")
message(STATUS "${n} product sources of ${count} in ${OUT}")
