#!/usr/bin/env bash
# The board's UIO kernel module, loaded in a booted Debian 12: korvic-uio-dkms from the
# packages' build (scripts/build-debs.sh, shared with stages 70 and 80) is installed in the
# guest, where DKMS builds and signs korvic_uio against Debian's linux-headers-amd64 (the
# headers of the guest's own kernel: both come from one debootstrap), and QEMU's edu device
# (the one device of Debian's QEMU that raises a legacy INTx) is bound through the module's
# test backend. tests/guest/kmod.sh holds the checks, tests/guest/uio_check.c makes the
# node's system calls, tests/guest/guest.sh boots the image and reports. Every check is
# printed with PASS or FAIL; any failure fails the stage.
#
# Needs root to make the image (once per package list, cached in KORVIC_GUEST_CACHE beside
# stage 80's, default build/guest-cache) and Debian's archive for it. Installs nothing of
# korvic on this machine and loads no module here. Time limits: KORVIC_KMOD_STAGE_LIMIT for
# the whole stage (default 1800 s, image and package build included), KORVIC_KMOD_GUEST_LIMIT
# from boot to power-off (default 600 s).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KORVIC_KMOD_STAGE_TIMED:-}" ]; then
  KORVIC_KMOD_STAGE_TIMED=1 exec timeout -k 30 "${KORVIC_KMOD_STAGE_LIMIT:-1800}" bash "$0"
fi
root=$PWD
export DEBIAN_FRONTEND=noninteractive
SECONDS=0
source tests/guest/guest.sh

fail() {
  echo "stage-90-kmod: FAIL after ${SECONDS} s: $*" >&2
  exit 1
}
trap guest_stop EXIT
trap 'guest_stop; fail "stopped by SIGTERM (the stage limit is ${KORVIC_KMOD_STAGE_LIMIT:-1800} s)"' TERM
trap 'guest_stop; exit 130' INT

bash scripts/install-deps.sh package guest
for tool in debootstrap mkfs.ext4 qemu-system-x86_64 timeout flock cc; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

build=$root/${KORVIC_DEBIAN_BUILD:-build/ci-debian}
bash scripts/build-debs.sh "$build"
share=$build/stage-90/share
guest_share "$share" tests/guest/kmod.sh scripts/purge-leftovers.sh
mkdir "$share/debs"
cp "$build"/packages/korvic-uio-dkms_*.deb "$share/debs/" \
  || fail "no korvic-uio-dkms package in $build/packages"
# Static: the guest's C library is not the build's concern.
cc -static -O2 -Wall -Wextra -Werror -o "$share/uio_check" tests/guest/uio_check.c \
  || fail "tests/guest/uio_check.c does not build"
grep '^SUBSYSTEM=="uio"' docs/HARDWARE.md >"$share/udev.rules" \
  || fail "docs/HARDWARE.md gives no udev rule for the node"

# Offline in the guest: the image holds the module's build tools and the package's
# dependencies beforehand; setpci (pciutils) reads the device's INTx bits.
depends=$(dpkg-deb -f "$share"/debs/*.deb Depends | tr ',' '\n' | sed 's/|.*//; s/(.*//; s/ //g')
# shellcheck disable=SC2206 # one package name per word
packages=(systemd-sysv udev kmod procps linux-image-amd64 linux-headers-amd64 openssl pciutils
  $depends)
image_start=$SECONDS
guest_image image "${packages[@]}" || fail "no guest image"
echo "--- image ready in $((SECONDS - image_start)) s"

echo "--- the checks, in the guest (QEMU's edu device for the board)"
boot_start=$SECONDS
status=0
guest_boot "$image" "$share" "${KORVIC_KMOD_GUEST_LIMIT:-600}" -device edu || status=$?
echo "--- guest: boot, checks and power-off in $((SECONDS - boot_start)) s"
guest_report "$share" || fail "the checks in the guest (above)"
[ "$status" = 0 ] || fail "QEMU exited with status $status"
echo "stage-90-kmod: passed in ${SECONDS} s"
