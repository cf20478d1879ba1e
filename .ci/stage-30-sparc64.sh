#!/usr/bin/env bash
# Big-endian SPARC: the library, the console and the portable tests cross-built with
# Debian's sparc64 toolchain and run under qemu-user. GoogleTest is built from Debian's
# source package inside the cross build. The simulator and every test that needs it are
# x86-64 only and not part of this build. SPARC traps misaligned accesses, so this stage
# also shows that every register access is naturally aligned.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/ci-sparc64

bash scripts/install-deps.sh sparc64

cmake -S . -B "${build}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVIC_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/sparc64-linux-gnu.cmake
cmake --build "${build}" -j2

# The binaries really are big-endian SPARC: a host-format test binary would prove nothing.
file_header=$(od -An -tx1 -N20 "${build}/bin/library_tests" | tr -d ' \n')
case "${file_header}" in
  7f454c460202*002b) ;;  # ELF, 64-bit, big-endian, machine 43 (SPARC V9)
  *) echo "library_tests is not a big-endian sparc64 ELF: ${file_header}" >&2; exit 1 ;;
esac

# The tests that depend on byte order must be part of this run: byte_swap, the registers
# on a memory window or a window file in /dev/shm with swapping on and off, the codec, the
# attachment.
listed=$(ctest --test-dir "${build}" -N)
for suite in 'ByteSwap\.' 'Window\.' 'ByteOrder/.*swapped' 'Decode\.' 'Encode\.' 'Attach\.'; do
  if ! grep -Eq "Test +#[0-9]+: ${suite}" <<<"${listed}"; then
    echo "no test matching '${suite}' in the sparc64 build: the byte-order tests went missing" >&2
    exit 1
  fi
done

# The attachment tests' windows are files in /dev/shm (the library maps no file on a disk);
# qemu-user runs on the host's file systems, so the host must have it.
if [ ! -d /dev/shm ] || [ ! -w /dev/shm ]; then
  echo "no writable /dev/shm: the attachment tests cannot make their windows" >&2
  exit 1
fi
ctest --test-dir "${build}" --output-on-failure --no-tests=error --timeout 300 -j2
echo "stage-30-sparc64: passed in ${SECONDS} s"
