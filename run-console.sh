#!/usr/bin/env bash
# Builds the project (default preset) and starts the test console, korvic_test, on the
# simulated board. Arguments go to the simulator launcher (see `korvic_sim --help`).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
cmake --preset default >/dev/null
cmake --build --preset default
bin="$top/build/default/bin"

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
