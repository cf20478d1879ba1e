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
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  apt-get install -y -qq --no-install-recommends \
    pkgconf man-db groff-base make gcc g++ cmake ninja-build >/dev/null
fi
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
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
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
if [ "$sim_built" = yes ]; then
  expected+=(bin/korvic_sim lib/libkorvic_sim.so share/man/man1/korvic_sim.1)
fi
for f in "${expected[@]}"; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
[ -x "$prefix/bin/korvic_test" ] || fail "bin/korvic_test is not executable"
echo "installed: ${#expected[@]} files checked"

# ---- the examples, out of tree, from the installed copies ------------------------------
src=$work/src
cp -r "$prefix/share/doc/korvic/examples" "$src"
version=$(sed -n 's/^project(korvic VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "cannot read the project version"

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
  CXXFLAGS="-std=c++17 -Wall -Wextra -Werror -pedantic" >"$work/make-preset_from_clock.log" 2>&1 \
  || { cat "$work/make-preset_from_clock.log" >&2; fail "preset_from_clock does not build through pkg-config"; }
grep -q -- "-std=c99 -Wall -Wextra -Werror -pedantic" "$work/make-read_time.log" \
  || fail "read_time was not compiled as strict C99"

# ---- the examples on the simulated board -------------------------------------------------
if [ "$sim_built" = yes ]; then
  step "examples on the simulated board"
  fail "the examples are not yet run under korvic_sim"
else
  echo "simulator not built here: the examples are built, not run"
fi

# ---- manual pages ---------------------------------------------------------------------------
step "manual pages"
pages=("$prefix"/share/man/man1/*.1)
for page in "${pages[@]}"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): man: $warnings"
  warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1)
  [ -z "$warnings" ] || fail "$(basename "$page"): groff: $warnings"
  name=$(basename "$page" .1)
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" \
    || fail "$name: no NAME section rendered"
  echo "$name(1): renders without warnings"
done

echo "stage-60-package: passed"
