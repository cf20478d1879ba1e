#!/usr/bin/env bash
# Builds the library, the console and the simulator (in build/console, without the tests)
# and starts the test console, korvic_test, on the simulated board. Installs the Debian
# packages this needs when they are missing (scripts/packages.txt, job "console").
# Arguments go to the simulator launcher (see `korvic_sim --help`).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
bash scripts/install-deps.sh console

build=$top/build/console
# Configured once; after that Ninja re-runs CMake itself when a CMakeLists.txt changes.
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset default -B "$build" -DKORVIC_BUILD_TESTS=OFF -DKORVIC_BUILD_BENCHMARKS=OFF \
    >/dev/null
fi
cmake --build "$build"
bin=$build/bin

if [ -x "$bin/korvic_sim" ]; then
  exec "$bin/korvic_sim" "$@"
fi

# No simulator on this host: a working directory whose register device is a plain
# 512-byte file, so the registers hold what is written.
work=$(mktemp -d "${TMPDIR:-/tmp}/korvic-console-XXXXXX")
head -c 512 /dev/zero >"$work/regs"
printf 'MEM_PATH=%s\n' "$work/regs" >"$work/korvic_cfg.dat"
echo "korvic: no simulator here; registers are the plain file $work/regs"
cd "$work"
exec "$bin/korvic_test"
