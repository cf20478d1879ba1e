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

# No simulator on this host: a working directory whose register device is a 512-byte file
# in memory (/dev/shm; the library maps no file on a disk), so the registers hold what is
# written. Both go when the console ends.
if [ ! -d /dev/shm ]; then
  echo "korvic: no simulator here, and no /dev/shm for a window in memory" >&2
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/korvic-console-XXXXXX")
regs=$(mktemp /dev/shm/korvic-console-XXXXXX)
trap 'rm -rf "$work" "$regs"' EXIT
head -c 512 /dev/zero >"$regs"
printf 'MEM_PATH=%s\n' "$regs" >"$work/korvic_cfg.dat"
echo "korvic: no simulator here; registers are the file in memory $regs"
cd "$work"
"$bin/korvic_test"
