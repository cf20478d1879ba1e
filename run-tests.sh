#!/usr/bin/env bash
# Builds and runs every test. Installs the Debian packages the build and the tests need when
# they are missing (scripts/packages.txt, job "tests"), then configures, builds and tests
# with a CMake workflow preset: default (build/default), or the one named:
#   ./run-tests.sh          ./run-tests.sh asan
# A second run rebuilds nothing that is up to date and runs the tests again.
set -euo pipefail
cd "$(dirname "$0")"
if [ $# -gt 1 ]; then
  echo "usage: $0 [WORKFLOW-PRESET]   (default, asan)" >&2
  exit 2
fi
bash scripts/install-deps.sh tests
cmake --workflow --preset "${1:-default}"
