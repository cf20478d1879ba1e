# shellcheck shell=bash
# Booted-guest tests, the host's side: sourced by the CI stages that boot a real Debian 12
# under QEMU (Debian's own kernel, systemd as PID 1, AppArmor enforcing) and run checks in it.
#
#   guest_image VAR PACKAGE...   the image (tests/guest/image.sh: made once, cached)
#   guest_share DIR CHECKS [FILE...]  a fresh folder for the guest: the check library
#                                (checklib.sh), the stage's checks as checks.sh (run at
#                                boot) and the files they need
#   guest_promtool DIR           Prometheus's promtool into DIR, for checks that run it in
#                                the guest
#   guest_boot IMAGE DIR LIMIT [QEMU-ARG...]  boots the image with DIR shared (and the
#                                devices the arguments add), prints each check's result as
#                                it comes and waits for the power-off; QEMU is killed after
#                                LIMIT seconds (status 124); KVM or TCG as guest_accel says
#   guest_report DIR             the verdict: 0 when every check passed; else the guest's
#                                journal (and its console when the checks did not finish)
#   guest_stop                   kills the QEMU that guest_boot started: for the caller's
#                                EXIT, INT and TERM traps
#
# The guest never writes to the image (QEMU's snapshot mode) and has no network; it reaches
# the host only through the shared folder (9p), where its results come back in out/.

# shellcheck source=tests/guest/image.sh
source "$(dirname "${BASH_SOURCE[0]}")/image.sh"
guest_qemu_pid=

guest_share() {
  local dir=$1 checks=$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir/out"
  cp "$guest_root/tests/guest/checklib.sh" "$dir/"
  cp "$checks" "$dir/checks.sh"
  [ $# -eq 0 ] || cp -r "$@" "$dir/"
}

# promtool from Debian's prometheus package, taken apart with dpkg-deb (installing the
# package would start a Prometheus server), cached beside the images by the package's
# version. Needs Debian's archive the first time (apt-get download), root only for an
# apt-get update when apt knows no prometheus yet.
guest_promtool() {
  local dir=$1 version entry
  candidate() { apt-cache policy prometheus 2>/dev/null | sed -n 's/^ *Candidate: //p'; }
  version=$(candidate)
  if [ -z "$version" ] || [ "$version" = "(none)" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    version=$(candidate)
  fi
  if [ -z "$version" ] || [ "$version" = "(none)" ]; then
    guest_say "no prometheus package in the archive: no promtool"
    return 1
  fi
  entry=$guest_cache/promtool-${version//[^A-Za-z0-9.+~-]/_}
  if [ ! -x "$entry/promtool" ]; then
    rm -rf "$entry.partial"
    mkdir -p "$entry.partial/tree"
    if ! (cd "$entry.partial" && apt-get download -q "prometheus=$version") \
      >"$entry.partial/download.log" 2>&1; then
      cat "$entry.partial/download.log" >&2
      guest_say "apt-get download prometheus=$version failed"
      return 1
    fi
    dpkg-deb -x "$entry.partial"/prometheus_*.deb "$entry.partial/tree" || return 1
    mv "$entry.partial/tree/usr/bin/promtool" "$entry.partial/" || return 1
    rm -rf "$entry.partial/tree" "$entry.partial"/*.deb "$entry"
    mv "$entry.partial" "$entry"
    guest_say "promtool of prometheus $version in $entry"
  fi
  cp "$entry/promtool" "$dir/"
}

# Safe under `set -e` and from traps: nothing in it fails.
guest_stop() {
  local pid=$guest_qemu_pid
  [ -n "$pid" ] || return 0
  guest_qemu_pid=
  if kill -0 "$pid" 2>/dev/null; then
    guest_say "stopping QEMU (pid $pid)"
    kill "$pid" 2>/dev/null || true
    for _ in 1 2 3 4 5; do
      kill -0 "$pid" 2>/dev/null || break
      sleep 1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

# The results' lines that the guest has finished since the last call (guest_boot's locals).
guest_show_results() {
  local lines
  [ -f "$dir/out/results" ] || return 0
  lines=$(wc -l <"$dir/out/results")
  ((lines > shown)) || return 0
  sed -n "$((shown + 1)),${lines}p" "$dir/out/results"
  shown=$lines
}

# QEMU's accelerator: KORVIC_GUEST_ACCEL (kvm or tcg) when set; else KVM where /dev/kvm is
# writable and is the processor's own virtualisation, TCG otherwise. A KVM of the PVM kind
# (the module kvm_pvm, on hosts that are themselves guests without nested VMX or SVM) runs
# only kernels built for it: Debian's hangs before its first line.
guest_accel() {
  if [ -n "${KORVIC_GUEST_ACCEL:-}" ]; then
    echo "$KORVIC_GUEST_ACCEL"
  elif [ -w /dev/kvm ] && [ ! -d /sys/module/kvm_pvm ]; then
    echo kvm
  else
    echo tcg
  fi
}

guest_boot() {
  local image=$1 dir=$2 limit=$3 accel shown=0 status
  shift 3
  accel=$(guest_accel)
  guest_say "booting $image ($accel), at most ${limit} s"
  qemu-system-x86_64 -machine "accel=$accel" -cpu max -smp 2 -m 1536 -no-reboot \
    -display none -monitor none -serial "file:$dir/console.log" -nic none \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 apparmor=1 security=apparmor panic=1 loglevel=4" \
    -drive "file=$image/rootfs.img,format=raw,if=virtio,snapshot=on" \
    -virtfs "local,path=$dir,mount_tag=korvic,security_model=none,id=korvic" \
    -device virtio-rng-pci "$@" &
  guest_qemu_pid=$!
  local deadline=$((SECONDS + limit))
  while kill -0 "$guest_qemu_pid" 2>/dev/null; do
    guest_show_results
    if ((SECONDS >= deadline)); then
      guest_say "the guest did not power off within ${limit} s"
      guest_stop
      return 124
    fi
    sleep 1
  done
  wait "$guest_qemu_pid"
  status=$?
  guest_qemu_pid=
  guest_show_results
  guest_say "QEMU exited with status $status"
  return "$status"
}

guest_report() {
  local dir=$1 passed failed
  passed=$(grep -c '^PASS ' "$dir/out/results" 2>/dev/null)
  failed=$(grep -c '^FAIL ' "$dir/out/results" 2>/dev/null)
  if [ -f "$dir/out/done" ] && [ "${failed:-0}" = 0 ] && [ "${passed:-0}" -gt 0 ]; then
    echo "guest: ${passed} passed, 0 failed"
    return 0
  fi
  [ -f "$dir/out/done" ] || echo "guest: the checks did not finish; the guest's console:"
  [ -f "$dir/out/done" ] || tail -n 60 "$dir/console.log" 2>/dev/null
  if [ -f "$dir/out/journal.txt" ]; then
    echo "guest: the guest's journal:"
    cat "$dir/out/journal.txt"
  fi
  echo "guest: ${passed:-0} passed, ${failed:-0} failed"
  return 1
}
