#!/usr/bin/env bash
# Deployment in a booted Debian 12: the packages of stage 70's build installed in a real
# system (QEMU with Debian's kernel, systemd as PID 1, AppArmor enforcing, Debian's chrony),
# and korvicd.service checked as an operator would (tests/guest/deployment.sh holds the
# checks; tests/guest/guest.sh the image, the boot and the report). Every check is printed
# with PASS or FAIL; any failure fails the stage and prints the guest's journal.
#
# Needs root to make the image (debootstrap, once per package list: cached in
# KORVIC_GUEST_CACHE, default build/guest-cache) and Debian's archive for it and for
# promtool (taken out of the prometheus package, cached there too); never installs anything
# of korvic, nor prometheus, on this machine. Time limits: KORVIC_GUEST_STAGE_LIMIT for the whole
# stage (default 2400 s, image and package build included), KORVIC_GUEST_LIMIT for the
# guest from boot to power-off (default 900 s). Build tree: build/ci-debian
# (KORVIC_DEBIAN_BUILD names another one), shared with stage 70.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KORVIC_GUEST_STAGE_TIMED:-}" ]; then
  KORVIC_GUEST_STAGE_TIMED=1 exec timeout -k 30 "${KORVIC_GUEST_STAGE_LIMIT:-2400}" bash "$0"
fi
root=$PWD
export DEBIAN_FRONTEND=noninteractive
SECONDS=0
source tests/guest/guest.sh

fail() {
  echo "stage-80-guest: FAIL after ${SECONDS} s: $*" >&2
  exit 1
}
trap guest_stop EXIT
trap 'guest_stop; fail "stopped by SIGTERM (the stage limit is ${KORVIC_GUEST_STAGE_LIMIT:-2400} s)"' TERM
trap 'guest_stop; exit 130' INT

bash scripts/install-deps.sh package guest
for tool in debootstrap mkfs.ext4 qemu-system-x86_64 timeout flock; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

build=$root/${KORVIC_DEBIAN_BUILD:-build/ci-debian}
bash scripts/build-debs.sh "$build"
work=$build/stage-80
share=$work/share
# The runtime packages; the development package needs a compiler, not a server.
ours=(korvic-tools korvic-sim python3-korvic)
guest_share "$share" tests/guest/deployment.sh scripts/purge-leftovers.sh
# korvicd's metrics are checked in the guest with promtool, from Debian's prometheus package.
guest_promtool "$share" || fail "no promtool"
mkdir "$share/debs"
for p in "${ours[@]}"; do
  cp "$build/packages/${p}_"*.deb "$share/debs/" || fail "no $p package in $build/packages"
done

# The guest has no network: its image holds every dependency of our packages beforehand.
depends=$(for deb in "$share"/debs/*.deb; do dpkg-deb -f "$deb" Depends; done \
  | tr ',' '\n' | sed 's/|.*//; s/(.*//; s/ //g' | grep . | sort -u)
packages=(systemd-sysv udev kmod procps dbus linux-image-amd64 apparmor chrony
  prometheus-node-exporter python3)
for p in $depends; do
  [[ " ${ours[*]} " == *" $p "* ]] || packages+=("$p")
done
image_start=$SECONDS
guest_image image "${packages[@]}" || fail "no guest image"
echo "--- image ready in $((SECONDS - image_start)) s"

echo "--- the checks, in the guest"
boot_start=$SECONDS
status=0
guest_boot "$image" "$share" "${KORVIC_GUEST_LIMIT:-900}" || status=$?
echo "--- guest: boot, checks and power-off in $((SECONDS - boot_start)) s"
guest_report "$share" || fail "the checks in the guest (above)"
[ "$status" = 0 ] || fail "QEMU exited with status $status"
echo "stage-80-guest: passed in ${SECONDS} s"
