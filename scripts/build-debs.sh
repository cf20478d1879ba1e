#!/usr/bin/env bash
# Builds korvic's Debian packages with CPack (cmake/Packaging.cmake) in one build tree:
#
#   scripts/build-debs.sh [BUILD]      BUILD: default build/ci-debian (relative to the tree)
#
# Configures BUILD from cmake/debian.cmake with warnings as errors, builds it and runs
# `cpack -G DEB`; the packages (.deb and .ddeb) are left in BUILD/packages, the logs of
# configure and cpack in BUILD/build-debs/. A second run rebuilds only what changed. Used by
# the stages that need the packages (70: lintian, install on this machine; 80: install in a
# booted guest), so that both test the same build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci-debian}
[[ "$build" == /* ]] || build=$PWD/$build
logs=$build/build-debs
mkdir -p "$logs"

fail() {
  echo "build-debs: FAIL: $*" >&2
  exit 1
}

echo "--- configure and build $build (cmake/debian.cmake)"
cmake -S . -B "$build" -G Ninja -C cmake/debian.cmake -DKORVIC_WERROR=ON >"$logs/configure.log" \
  || { cat "$logs/configure.log" >&2; fail "configure"; }
cmake --build "$build" -j2
echo "--- cpack -G DEB"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB) >"$logs/cpack.log" 2>&1 || { cat "$logs/cpack.log" >&2; fail "cpack"; }
ls "$build/packages"/*.deb >/dev/null 2>&1 || fail "cpack made no .deb in $build/packages"
