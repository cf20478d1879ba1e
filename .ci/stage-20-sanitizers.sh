#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer + UndefinedBehaviorSanitizer (preset
# "asan": -fno-sanitize-recover=all) and run with the asan test preset's ASAN_OPTIONS and
# UBSAN_OPTIONS, in a build directory of its own. The first report ends the process that
# made it, which fails its test and this stage.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/ci-asan

bash scripts/install-deps.sh tests

cmake --preset asan -B "${build}"
cmake --build "${build}" -j2

eval "$(cmake -DPRESET=asan -P cmake/test-preset-env.cmake)"
echo "ASAN_OPTIONS=${ASAN_OPTIONS:-}"
echo "UBSAN_OPTIONS=${UBSAN_OPTIONS:-}"
case "${ASAN_OPTIONS:-}:${UBSAN_OPTIONS:-}" in
  *halt_on_error=1*halt_on_error=1*) ;;
  *) echo "the asan test preset must halt on the first report" >&2; exit 1 ;;
esac

# Canary: the same flags and options must stop a program at its first report. If this
# ever passes silently, a green run below would prove nothing.
flags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "${build}/CMakeCache.txt")
canary=$(mktemp -d)
trap 'rm -rf "${canary}"' EXIT
cat >"${canary}/canary.cpp" <<'CPP'
#include <climits>
#include <cstdio>
int main(int argc, char **) {
    int big = INT_MAX - 1 + argc;  // INT_MAX for no arguments
    big += argc;                   // signed overflow
    std::printf("not reached %d\n", big);
    return 0;
}
CPP
# shellcheck disable=SC2086
c++ ${flags} -o "${canary}/canary" "${canary}/canary.cpp"
if "${canary}/canary" >"${canary}/out" 2>&1; then
  cat "${canary}/out"
  echo "sanitizer canary ran to its end: reports do not halt" >&2
  exit 1
fi
grep -q "runtime error: signed integer overflow" "${canary}/out"
! grep -q "not reached" "${canary}/out"
echo "sanitizer canary halted at its report, as it must"

ctest --test-dir "${build}" --output-on-failure --no-tests=error --timeout 600 -j2

# A report from a process whose exit status no test looks at still shows in the log.
if grep -nE "runtime error:|ERROR: (Address|Leak)Sanitizer" "${build}/Testing/Temporary/LastTest.log"; then
  echo "sanitizer report in the test log" >&2
  exit 1
fi
echo "stage-20-sanitizers: passed in ${SECONDS} s"
