#!/usr/bin/env bash
# Packaging: install into a staging prefix, then use that install as a user would. The
# examples are built out of tree against it, through the CMake package and through
# pkg-config, the C example also as strict C99, and run on the simulated board under the
# installed korvic_sim; the manual pages must render without a single warning.
#
# Build tree: build/default when an earlier stage configured it, else build/ci-package.
# KORVIC_PACKAGE_BUILD names another one (developers use their own, e.g. build/pkg-ci).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "stage-60-package: FAIL: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

# ---- tools: a fresh Debian 12 has neither pkg-config nor man ----------------------------
bash scripts/install-deps.sh package
for tool in pkg-config man groff make cc c++ cmake ninja; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# ---- build and install ------------------------------------------------------------------
if [ -n "${KORVIC_PACKAGE_BUILD:-}" ]; then
  build=$root/$KORVIC_PACKAGE_BUILD
elif [ -f build/default/CMakeCache.txt ]; then
  build=$root/build/default
else
  build=$root/build/ci-package
fi
work=$build-package-check
if [ ! -f "$build/CMakeCache.txt" ]; then
  step "configure $build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVIC_WERROR=ON \
    -DKORVIC_BUILD_TESTS=OFF -DKORVIC_BUILD_BENCHMARKS=OFF
fi
step "build $build"
cmake --build "$build" -j2

rm -rf "$work"
mkdir -p "$work"
step "install into a staging prefix"
cmake --install "$build" --prefix "$work/stage" >"$work/install.log"
# Everything must be relocatable: move the tree before using it, so that any path that
# still points at the staging prefix or at the build tree breaks what follows.
mv "$work/stage" "$work/prefix"
prefix=$work/prefix
if grep -rIl -e "$root" -e "$work/stage" "$prefix" >"$work/absolute-paths.txt"; then
  cat "$work/absolute-paths.txt" >&2
  fail "installed files name the build tree or the staging prefix"
fi

# The simulator is built on x86-64 Linux only (KORVIC_BUILD_SIM); when the build made its
# launcher, the install must hold it, its preload library and its manual page.
sim_built=no
if grep -q '^KORVIC_BUILD_SIM:BOOL=ON' "$build/CMakeCache.txt" && [ -x "$build/bin/korvic_sim" ]; then
  sim_built=yes
fi

expected=(
  include/korvic_api.h
  include/korvic/korvic_api.h
  include/korvic/board.hpp
  lib/libkorvic_api.a
  lib/cmake/korvic_api/korvic_api-config.cmake
  lib/cmake/korvic_api/korvic_api-config-version.cmake
  lib/cmake/korvic_api/korvic_api-targets.cmake
  lib/pkgconfig/korvic_api.pc
  bin/korvic_test
  share/man/man1/korvic_test.1
  share/doc/korvic/HARDWARE.md
  share/doc/korvic/examples/korvic_cfg.dat
  share/doc/korvic/examples/read_time/read_time.c
  share/doc/korvic/examples/preset_from_clock/preset_from_clock.cpp
)
# The command-line tool is built unless KORVIC_BUILD_CLI is off (the sparc64 cross build).
cli_built=no
if grep -q '^KORVIC_BUILD_CLI:BOOL=ON' "$build/CMakeCache.txt" && [ -x "$build/bin/korvic" ]; then
  cli_built=yes
  expected+=(bin/korvic share/man/man1/korvic.1)
fi
if [ "$sim_built" = yes ]; then
  expected+=(bin/korvic_sim lib/libkorvic_sim.so share/man/man1/korvic_sim.1
    share/doc/korvic/SIMULATOR.md)
fi
daemon_built=no
if grep -q '^KORVIC_BUILD_DAEMON:BOOL=ON' "$build/CMakeCache.txt" && [ -x "$build/bin/korvicd" ]; then
  daemon_built=yes
  expected+=(bin/korvicd share/man/man8/korvicd.8 share/doc/korvic/CLOCK.md
    lib/systemd/system/korvicd.service lib/systemd/system/korvicd@.service etc/default/korvicd
    etc/korvic/korvic_cfg.dat)
fi
# The Python module (KORVIC_BUILD_PYTHON): the package under KORVIC_INSTALL_PYTHONDIR.
python_built=no
if grep -q '^KORVIC_BUILD_PYTHON:BOOL=ON' "$build/CMakeCache.txt"; then
  python_built=yes
  python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
  pydir=$(sed -n 's/^KORVIC_INSTALL_PYTHONDIR:[A-Z]*=//p' "$build/CMakeCache.txt")/korvic
  expected+=("$pydir/__init__.py" "$pydir/__init__.pyi" "$pydir/py.typed"
    share/doc/korvic/PYTHON.md)
  ext=$(cd "$prefix" && ls $pydir/_korvic*.so 2>/dev/null) || fail "not installed: $pydir/_korvic*.so"
  expected+=("$ext")
fi
for f in "${expected[@]}"; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
[ -x "$prefix/bin/korvic_test" ] || fail "bin/korvic_test is not executable"
echo "installed: ${#expected[@]} files checked"

# ---- the examples, out of tree, from the installed copies ------------------------------
src=$work/src
cp -r "$prefix/share/doc/korvic/examples" "$src"
version_part() { sed -n "s/^#define KORVIC_API_VERSION_$1 \([0-9]*\)$/\1/p" include/korvic/korvic_api.h; }
version=$(version_part MAJOR).$(version_part MINOR).$(version_part PATCH)
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "cannot read the version from the C header"

step "CMake package: find_package(korvic_api $version CONFIG REQUIRED)"
cmake_common=(-G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
cmake -S "$src/read_time" -B "$work/cmake/read_time" "${cmake_common[@]}" \
  -DCMAKE_C_FLAGS="-std=c99 -Wall -Wextra -Werror -pedantic" >"$work/cmake-read_time.log"
cmake -S "$src/preset_from_clock" -B "$work/cmake/preset_from_clock" "${cmake_common[@]}" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror -pedantic" >"$work/cmake-preset_from_clock.log"
for e in read_time preset_from_clock; do
  found=$(sed -n 's/^korvic_api_DIR:PATH=//p' "$work/cmake/$e/CMakeCache.txt")
  [ "$found" = "$prefix/lib/cmake/korvic_api" ] || fail "$e found korvic_api in '$found'"
  cmake --build "$work/cmake/$e" -j2 >"$work/cmake-build-$e.log" \
    || { cat "$work/cmake-build-$e.log" >&2; fail "$e does not build through CMake"; }
done

# The version file: a later major version must not be taken for this one.
mkdir -p "$work/version-probe"
cat >"$work/version-probe/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(version_probe LANGUAGES NONE)
find_package(korvic_api ${WANT} CONFIG)
message(STATUS "korvic_api_FOUND=${korvic_api_FOUND} korvic_api_VERSION=${korvic_api_VERSION}")
if(korvic_api_FOUND AND NOT TARGET korvic::korvic_api)
  message(FATAL_ERROR "no target korvic::korvic_api")
endif()
EOF
probe() {
  cmake -S "$work/version-probe" -B "$work/version-probe/b-$1" -DWANT="$1" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF 2>/dev/null \
    | sed -n 's/^-- korvic_api_FOUND=//p'
}
major=${version%%.*}
[ "$(probe "$version")" = "1 korvic_api_VERSION=$version" ] || fail "find_package($version)"
[ "$(probe "$((major + 1)).0")" = "0 korvic_api_VERSION=" ] \
  || fail "find_package($((major + 1)).0) accepted version $version"

# A project that builds korvic from source inside its own build (FetchContent, or
# add_subdirectory) gets the library through the same korvic::korvic_api name, builds with
# its own flags, and builds none of korvic's tests or benchmarks.
step "subproject: FetchContent from the source tree"
mkdir -p "$work/subproject"
cp "$src/read_time/read_time.c" "$work/subproject/"
cat >"$work/subproject/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(korvic_consumer LANGUAGES C CXX)
include(FetchContent)
FetchContent_Declare(korvic SOURCE_DIR "$root")
FetchContent_MakeAvailable(korvic)
add_executable(read_time read_time.c)
target_link_libraries(read_time PRIVATE korvic::korvic_api)
EOF
cmake -S "$work/subproject" -B "$work/subproject/build" -G Ninja -DKORVIC_BUILD_SIM=OFF \
  >"$work/subproject.log" 2>&1 || { cat "$work/subproject.log" >&2; fail "subproject configure"; }
cmake --build "$work/subproject/build" -j2 >>"$work/subproject.log" 2>&1 \
  || { cat "$work/subproject.log" >&2; fail "subproject build"; }
if cmake --build "$work/subproject/build" --target help | grep -Eq '_tests|_bench'; then
  fail "a subproject build defines korvic's tests or benchmarks"
fi
[ -x "$work/subproject/build/read_time" ] || fail "subproject: no read_time program"

step "pkg-config: korvic_api $version"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion korvic_api)" = "$version" ] || fail "pkg-config --modversion"
pc_prefix=$(pkg-config --variable=prefix korvic_api)
[ "$(cd "$pc_prefix" && pwd -P)" = "$(cd "$prefix" && pwd -P)" ] \
  || fail "pkg-config prefix $pc_prefix is not the install prefix"
for e in read_time preset_from_clock; do
  mkdir -p "$work/make/$e"
  cp "$src/$e"/* "$work/make/$e/"
done
make -C "$work/make/read_time" CFLAGS="-std=c99 -Wall -Wextra -Werror -pedantic" \
  >"$work/make-read_time.log" 2>&1 \
  || { cat "$work/make-read_time.log" >&2; fail "read_time does not build through pkg-config"; }
make -C "$work/make/preset_from_clock" \
  CXXFLAGS="-std=c++20 -Wall -Wextra -Werror -pedantic" >"$work/make-preset_from_clock.log" 2>&1 \
  || { cat "$work/make-preset_from_clock.log" >&2; fail "preset_from_clock does not build through pkg-config"; }
grep -q -- "-std=c99 -Wall -Wextra -Werror -pedantic" "$work/make-read_time.log" \
  || fail "read_time was not compiled as strict C99"

# ---- the examples on the simulated board -------------------------------------------------
if [ "$sim_built" = yes ]; then
  step "examples on the simulated board"
  sim=$prefix/bin/korvic_sim
  run=$work/run
  mkdir -p "$run"
  # The installed sample korvic_cfg.dat, pointed at the simulated devices: this also
  # proves that every line of the sample parses as it says.
  sed -e 's|^MEM_PATH=.*|MEM_PATH=/dev/korvic_sim/board|' \
    -e 's|^#INT_PATH=.*|INT_PATH=/dev/korvic_sim/bridge|' -e 's|^#ENABLE_INT$|ENABLE_INT|' \
    "$prefix/share/doc/korvic/examples/korvic_cfg.dat" >"$run/korvic_cfg.dat"
  for line in MEM_PATH=/dev/korvic_sim/board INT_PATH=/dev/korvic_sim/bridge ENABLE_INT \
    SEC_OFF=0 TZ_OFF=0 DAY_OFF=0 BYTE_SWAP=0; do
    grep -qx "$line" "$run/korvic_cfg.dat" || fail "sample korvic_cfg.dat: no line $line"
  done
  set_key() { sed -i "s|^$1=.*|$1=$2|" "$run/korvic_cfg.dat"; }

  # A board started at a fixed time on a virtual clock that moves 1 us per register access:
  # read_time prints that time, to the millisecond, in every mode.
  start="2031+45d 10:20:30"
  seconds=$(((2031 - 1970) * 31536000 + 45 * 86400 + 10 * 3600 + 20 * 60 + 30))
  check_read_time() { # $1: output file, $2: what ran
    grep -Eq "^raw: +[0-9a-f]{8} 00302010 45[0-9a-f]03120$" "$1" \
      && grep -Eq "^timespec: +$seconds s 0000[0-9]{5} ns$" "$1" \
      && grep -Eq "^microseconds: +${seconds}000[0-9]{3}$" "$1" \
      && grep -Eq "^broken-down: +year 2031 day 045 10:20:30\.000[0-9]{3}$" "$1" \
      || { cat "$1" >&2; fail "$2: not the simulated board's time $start"; }
  }
  run_sim() { # $1: output file; the rest: korvic_sim's arguments
    local out=$1 status=0
    shift
    (cd "$run" && timeout 60 "$sim" "$@") >"$out" 2>"$out.err" || status=$?
    if [ "$status" -ne 0 ]; then
      cat "$out" "$out.err" >&2
      fail "korvic_sim $*: exit status $status"
    fi
  }
  for build_kind in cmake make; do
    exe=$work/$build_kind/read_time/read_time
    run_sim "$work/rt-$build_kind.out" --start "$start" --step 1us -- "$exe"
    check_read_time "$work/rt-$build_kind.out" "read_time ($build_kind)"
  done
  cat "$work/rt-cmake.out"

  # A board whose words reach the host byte-reversed reads right with BYTE_SWAP=1 only.
  set_key BYTE_SWAP 1
  exe=$work/cmake/read_time/read_time
  run_sim "$work/rt-swapped.out" --bus-order swapped --start "$start" --step 1us -- "$exe"
  check_read_time "$work/rt-swapped.out" "read_time (swapped bus, BYTE_SWAP=1)"
  set_key BYTE_SWAP 0
  run_sim "$work/rt-unswapped.out" --bus-order swapped --start "$start" --step 1us -- "$exe"
  if grep -q "year 2031 day 045" "$work/rt-unswapped.out"; then
    fail "read_time reads the swapped board right without BYTE_SWAP=1"
  fi

  # Without korvic_cfg.dat, read_time says why and fails.
  mkdir -p "$work/empty"
  if (cd "$work/empty" && "$sim" -- "$exe") >"$work/rt-nocfg.out" 2>&1; then
    fail "read_time succeeded without korvic_cfg.dat"
  fi
  grep -q "fopen config file" "$work/rt-nocfg.out" && grep -q "cannot attach" "$work/rt-nocfg.out" \
    || { cat "$work/rt-nocfg.out" >&2; fail "read_time without korvic_cfg.dat: no reason given"; }

  # preset_from_clock (korvic::Board) with offsets, then with two configuration files
  # (two simulated boards at once, each with its own offsets): for every board, the preset is the
  # system time and the read-back differs from it by the board's run between the calls
  # only, less the preset's lost microseconds: the true calendar leaves no leap days, and
  # the offsets are undone on the way back.
  set_key DAY_OFF 3
  set_key TZ_OFF -2
  set_key SEC_OFF 18
  # The second configuration names the simulator's second board (--boards 2).
  sed -e 's|^DAY_OFF=.*|DAY_OFF=-1|' -e 's|^TZ_OFF=.*|TZ_OFF=5|' -e 's|^SEC_OFF=.*|SEC_OFF=0|' \
    -e 's|^MEM_PATH=.*|MEM_PATH=/dev/korvic_sim/board2|' \
    -e 's|^INT_PATH=.*|INT_PATH=/dev/korvic_sim/bridge2|' "$run/korvic_cfg.dat" >"$run/second.cfg"
  check_preset() { # $1: output file, $2: what ran, $3: boards, $4: largest difference in s
    local now
    now=$(date +%s)
    grep '^preset:' "$1" | while read -r _ time _; do
      local at
      at=$(date -u -d "$time" +%s) || exit 1
      [ "$at" -ge $((now - 60)) ] && [ "$at" -le "$now" ] || { echo "preset $time"; exit 1; }
    done || { cat "$1" >&2; fail "$2: the preset is not the system time"; }
    awk -v boards="$3" -v limit="$4" '
      /^board [0-9]+: / { seen++ }
      /^difference:/ {
        n++
        if ($2 < -0.001 || $2 > limit) { print "difference " $2; bad = 1 }
      }
      END {
        if (seen != boards || n != boards) { print seen " boards, " n " differences"; bad = 1 }
        exit bad
      }' "$1" || { cat "$1" >&2; fail "$2: not $3 boards read back within their run"; }
  }
  for build_kind in cmake make; do
    exe=$work/$build_kind/preset_from_clock/preset_from_clock
    run_sim "$work/pfc-$build_kind.out" --step 1us -- "$exe"
    check_preset "$work/pfc-$build_kind.out" "preset_from_clock ($build_kind, virtual clock)" 1 0.001
  done
  cat "$work/pfc-cmake.out"
  exe=$work/cmake/preset_from_clock/preset_from_clock
  run_sim "$work/pfc-two.out" --boards 2 --step 1us -- "$exe" korvic_cfg.dat "$run/second.cfg"
  check_preset "$work/pfc-two.out" "preset_from_clock (two boards, virtual clock)" 2 0.001
  grep -q "^board 2: .*second.cfg (SEC_OFF=0 TZ_OFF=5 DAY_OFF=-1 BYTE_SWAP=0)$" "$work/pfc-two.out" \
    || { cat "$work/pfc-two.out" >&2; fail "preset_from_clock: the second board's settings"; }
  cat "$work/pfc-two.out"
  run_sim "$work/pfc-real.out" --boards 2 -- "$exe" korvic_cfg.dat "$run/second.cfg"
  check_preset "$work/pfc-real.out" "preset_from_clock (two boards, real clock)" 2 1

  # Without korvic_cfg.dat or KORVIC_CONFIG, preset_from_clock says which step failed and
  # fails; under the launcher, from the same empty directory, KORVIC_CONFIG finds the board.
  if (cd "$work/empty" && env -u KORVIC_CONFIG "$exe") >"$work/pfc-nocfg.out" 2>&1; then
    fail "preset_from_clock succeeded without korvic_cfg.dat"
  fi
  grep -q "korvic: read configuration: No such file or directory \[korvic_cfg.dat\]" \
    "$work/pfc-nocfg.out" || { cat "$work/pfc-nocfg.out" >&2; fail "preset_from_clock: no reason"; }
  (cd "$work/empty" && timeout 60 "$sim" --step 1us -- "$exe") >"$work/pfc-empty.out" 2>&1 \
    || { cat "$work/pfc-empty.out" >&2; fail "preset_from_clock under korvic_sim, empty directory"; }
  check_preset "$work/pfc-empty.out" "preset_from_clock (KORVIC_CONFIG)" 1 0.001

  # The installed console, on the same board and through the launcher's own start.
  set_key DAY_OFF 0
  set_key TZ_OFF 0
  set_key SEC_OFF 0
  printf '8\n\n20\n' | run_sim "$work/console.out" -- "$prefix/bin/korvic_test"
  grep -q "config register = " "$work/console.out" \
    || { cat "$work/console.out" >&2; fail "korvic_test under korvic_sim: no register read"; }
  printf '20\n' | (cd "$work" && timeout 60 "$sim" --workdir "$work/sim-home") \
    >"$work/launcher.out" 2>&1 || { cat "$work/launcher.out" >&2; fail "korvic_sim --workdir"; }
  grep -q "^MEM_PATH=" "$work/sim-home/korvic_cfg.dat" && grep -q "Select from" "$work/launcher.out" \
    || { cat "$work/launcher.out" >&2; fail "korvic_sim did not start the installed console"; }
  if [ "$cli_built" = yes ]; then
    # The installed korvic on the same board: a virtual clock started at a known instant.
    run_sim "$work/korvic.out" --start "$start" --step 1us -- "$prefix/bin/korvic" time
    grep -qx "2031-02-15T10:20:30.000003Z" "$work/korvic.out" \
      || { cat "$work/korvic.out" >&2; fail "korvic time under korvic_sim: not $start"; }
  fi
  echo "examples, console and tools ran on the simulated board"

  # The installed Python package, from the moved tree, on the same board.
  if [ "$python_built" = yes ]; then
    PYTHONPATH=$prefix/${pydir%/korvic} run_sim "$work/python.out" --start "$start" \
      --step 1us -- "$python" -c 'import korvic; print("python:", korvic.Board().now().isoformat())'
    grep -q "^python: 2031-02-15T10:20:30\.000" "$work/python.out" \
      || { cat "$work/python.out" >&2; fail "the installed Python module: not the board's time"; }
    cat "$work/python.out"
  fi
else
  echo "simulator not built here: the examples are built, not run"
fi

# ---- manual pages ---------------------------------------------------------------------------
step "manual pages"
pages=("$prefix"/share/man/man1/*.1)
[ "$daemon_built" = no ] || pages+=("$prefix"/share/man/man8/*.8)
for page in "${pages[@]}"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): man: $warnings"
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$page"): groff: $warnings"
  name=$(basename "$page")
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" \
    || fail "$name: no NAME section rendered"
  echo "${name%.*}(${name##*.}): renders without warnings"
done

# Fails unless the OPTIONS section of the manual page of PROGRAM, up to the heading
# UNTIL, lists exactly the options that `PROGRAM --help` prints.
#   same_options PROGRAM SECTION UNTIL
same_options() {
  local program=$1 section=$2 until=$3 name=${1##*/}
  "$program" --help | grep -oE '^  (-[a-z], ?)?--[a-z-]+' | grep -oE -- '--[a-z-]+' \
    | sort >"$work/$name-help.txt"
  MANWIDTH=200 man -l "$prefix/share/man/man$section/$name.$section" 2>/dev/null \
    | sed -n "/^OPTIONS/,/^$until/p" | grep -oE '^ +(-[a-z], )?--[a-z-]+' \
    | grep -oE -- '--[a-z-]+' | sort >"$work/$name-man.txt"
  [ -s "$work/$name-help.txt" ] || fail "no options found in $name --help"
  diff "$work/$name-help.txt" "$work/$name-man.txt" >&2 \
    || fail "$name($section) and $name --help list different options (< help, > page)"
  echo "$name($section): the $(wc -l <"$work/$name-help.txt") options of --help"
}

if [ "$sim_built" = yes ]; then
  same_options "$prefix/bin/korvic_sim" 1 '[A-Z]'
fi

# korvicd(8) lists exactly the options that korvicd --help prints; the installed units
# name the installed program and configuration, and their settings are valid (the
# template as an instance of it, korvicd@a.service).
if [ "$daemon_built" = yes ]; then
  same_options "$prefix/bin/korvicd" 8 SIGNALS
  configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
  for name in korvicd korvicd@; do
    unit=$prefix/lib/systemd/system/$name.service
    grep -q "^ExecStart=${configured}/bin/korvicd --config " "$unit" \
      || fail "$name.service does not start ${configured}/bin/korvicd"
    command -v systemd-analyze >/dev/null || continue
    # The unit names its program at the configured prefix; verify it against the staged one.
    sed "s|${configured}/bin/korvicd|$prefix/bin/korvicd|" "$unit" >"$work/$name.service"
    [ "$name" = korvicd ] || name=korvicd@a
    out=$(MANPATH=$prefix/share/man systemd-analyze verify "$work/$name.service" 2>&1) \
      || fail "systemd-analyze verify $name.service: $out"
    echo "$name.service: systemd-analyze verify passed"
  done
fi

# korvic(1) names every option and command that korvic --help and each command's --help
# show, and no other.
if [ "$cli_built" = yes ]; then
  korvic=$prefix/bin/korvic
  commands=$("$korvic" --help | sed -n '/^Subcommands:/,$p' | grep -oE '^  [a-z-]+' | tr -d ' ')
  [ -n "$commands" ] || fail "no commands found in korvic --help"
  {
    "$korvic" --help
    for c in $commands; do "$korvic" "$c" --help; done
  } | grep -oE -- '--[a-z-]+' | sort -u >"$work/korvic-help-options.txt"
  page=$(MANWIDTH=200 man -l "$prefix/share/man/man1/korvic.1" 2>/dev/null)
  sed -n '/^OPTIONS/,/^TIME AND DURATION/p' <<<"$page" | grep -oE -- '--[a-z-]+' | sort -u \
    >"$work/korvic-man-options.txt"
  diff "$work/korvic-help-options.txt" "$work/korvic-man-options.txt" >&2 \
    || fail "korvic(1) and korvic --help list different options (< help, > page)"
  sed -n '/^COMMANDS/,/^[A-Z]/p' <<<"$page" | grep -oE '^       [a-z-]+' | tr -d ' ' | sort -u \
    >"$work/korvic-man-commands.txt"
  diff <(sort <<<"$commands") "$work/korvic-man-commands.txt" >&2 \
    || fail "korvic(1) and korvic --help list different commands (< help, > page)"
  echo "korvic(1): the $(wc -l <"$work/korvic-help-options.txt") options and $(wc -w <<<"$commands") commands of --help"
fi

echo "stage-60-package: passed"
