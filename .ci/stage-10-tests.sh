#!/usr/bin/env bash
# The README's test command, first of the stages: installs the packages the build and the
# tests need, then configures, builds and runs every test in the default build.
set -euo pipefail
exec "$(dirname "$0")/../run-tests.sh"
