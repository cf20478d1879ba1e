#!/usr/bin/env bash
# Static analysis of the product code (library/, console/, cli/, daemon/, python/, sim/) over compile_commands.json
# of the default build: clang-tidy 14 with the checks in .clang-tidy, and cppcheck 2.10.
# Both must report nothing; a finding is fixed or suppressed inline with its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/ci-lint
root=$(pwd)

bash scripts/install-deps.sh tests lint

# Configuring is enough: the product has no generated sources.
cmake --preset default -B "${build}" >/dev/null
cmake -DIN="${build}/compile_commands.json" -DOUT="${build}/product/compile_commands.json" \
  -P cmake/product-compile-commands.cmake

echo "--- clang-tidy $(clang-tidy-14 --version | sed -n 's/.*LLVM version //p')"
clang-tidy-14 --list-checks | sed 1d | wc -l | xargs echo "checks enabled:"
run-clang-tidy-14 -p "${build}/product" -j 2 -quiet \
  -header-filter="^${root}/(include|library|console|cli|daemon|python|sim)/" >"${build}/clang-tidy.log" 2>&1 || {
  sed 's/\x1b\[[0-9;]*m//g' "${build}/clang-tidy.log" |
    grep -v "^clang-tidy-14 \|warnings generated\|^Suppressed \|^Use -header-filter\|^$" >&2
  echo "clang-tidy: findings above" >&2
  exit 1
}
echo "clang-tidy: no findings"

echo "--- $(cppcheck --version)"
# __x86_64__/__linux__: the configuration the default build compiles (the trap engine
# refuses any other). resourceLeak and the like are suppressed inline where deliberate.
cppcheck --project="${build}/product/compile_commands.json" \
  --enable=warning,style,performance,portability --std=c++20 --library=posix \
  --platform=unix64 -D__x86_64__ -D__linux__ -D__GNUC__ \
  --inline-suppr --error-exitcode=1 -j 2 --quiet \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]'
echo "cppcheck: no findings"
echo "stage-40-static-analysis: passed in ${SECONDS} s"
