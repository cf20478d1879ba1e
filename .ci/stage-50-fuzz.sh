#!/usr/bin/env bash
# libFuzzer targets with ASan+UBSan (clang 14): the configuration line parser, a whole
# korvic_cfg.dat read through init_847 in a scratch directory, the BCD time codec with
# the library's time functions, the parsers of typed times and durations (round trips),
# and the simulator's option parsers against the library's. Each seed corpus (tests/fuzz/corpus/) is first run once as
# a ctest test, then each target fuzzes for KORVIC_FUZZ_SECONDS (default 60) from a copy of
# its seeds. Any crash, sanitizer report, leak, timeout or failed check fails the stage;
# the input that caused it is left in build/ci-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(pwd)/build/ci-fuzz
seconds=${KORVIC_FUZZ_SECONDS:-60}

bash scripts/install-deps.sh fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "${build}" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVIC_WERROR=ON \
  -DKORVIC_BUILD_FUZZERS=ON -DKORVIC_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "${build}" --target fuzzers -j2

ctest --test-dir "${build}" -L fuzz --output-on-failure --no-tests=error

rm -rf "${build}/corpus" "${build}/artifacts"
mkdir -p "${build}/artifacts"
for name in config_line config_file timecodec time_text sim_settings; do
  corpus="${build}/corpus/${name}"
  mkdir -p "${corpus}"
  cp tests/fuzz/corpus/"${name}"/* "${corpus}/"
  log="${build}/${name}_fuzz.log"
  # close_fd_mask=2: init_847's perror lines are not wanted thousands of times a second;
  # libFuzzer and the sanitizers still report on a descriptor of their own.
  if ! "${build}/bin/${name}_fuzz" -max_total_time="${seconds}" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="${build}/artifacts/${name}-" "${corpus}" >"${log}" 2>&1; then
    tail -60 "${log}" >&2
    echo "fuzz target ${name}: finding, input saved in ${build}/artifacts/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}")
  echo "fuzz target ${name}: ${runs} executions in ${seconds} s, no finding" \
    "($(find "${corpus}" -type f | wc -l) corpus inputs)"
done
echo "stage-50-fuzz: passed in ${SECONDS} s"
