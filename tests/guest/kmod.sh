# shellcheck shell=bash disable=SC2317 # check functions are called by name, by run_checks
# korvic_uio in the booted guest of .ci/stage-90-kmod.sh (run there as checks.sh, as root,
# from the shared folder that holds debs/, uio_check, udev.rules and purge-leftovers.sh).
# korvic-uio-dkms is installed as a user installs it (DKMS builds and signs the module for
# the running kernel, from Debian's linux-headers-amd64), and QEMU's edu device, which
# raises a legacy INTx, stands in for the board: it is bound through the module's test
# backend (PCI 2.3 INTx masking), and probe, the node's maps, the handler, read(), poll(),
# write() and remove all run for real. The bridge backend has no device here: its decision
# is the unit test's (tests/kmod), its run on a board the check in docs/HARDWARE.md.
# shellcheck source=tests/guest/checklib.sh
source ./checklib.sh

module=korvic_uio
drivers=/sys/bus/pci/drivers/$module
params=/sys/module/$module/parameters
# edu: vendor 1234, device 11e8; new_id's fields: vendor device subvendor subdevice class
# class_mask driver_data (0: the board's bridge, 1: the test backend).
edu_id="1234 11e8 ffffffff ffffffff 0 0"
trips=200

checks=(
  "install: dpkg -i korvic-uio-dkms, offline: DKMS builds korvic_uio for the running kernel"
  "module: signed by DKMS's key, Dual BSD/GPL, no alias (empty ID table), the parameter test_intx"
  "refused: edu is bound by neither backend: not a bridge (driver_data 0), nor without test_intx"
  "probe: with test_intx, edu is bound: the node, its map, INTx masked, the udev rule's group and mode"
  "maps: map 0 of the node is edu's registers"
  "idle: armed with nothing raised, poll times out"
  "wake: a raised interrupt wakes poll, read gives the count one more, the handler masked INTx"
  "masked: no wake while masked; re-armed with the interrupt pending, a wake at once"
  "errors: wrong sizes and values EINVAL, non-blocking EAGAIN, a signal EINTR"
  "trips: $trips round trips, each counted once, as many interrupts on the line"
  "remove: remove masks an armed device, and leaves a pending interrupt masked; rmmod"
  "kernel_log: no 'nobody cared', no warning, no oops since boot"
  "purge: dpkg --purge removes every build of the module and leaves nothing behind"
)

edu_address() {
  local d
  for d in /sys/bus/pci/devices/*; do
    if [ "$(cat "$d/vendor")" = 0x1234 ] && [ "$(cat "$d/device")" = 0x11e8 ]; then
      basename "$d"
      return 0
    fi
  done
  return 1
}
edu=$(edu_address) || edu=none
dev=/sys/bus/pci/devices/$edu

bound() { [ "$(basename "$(readlink "$dev/driver" 2>/dev/null)")" = $module ]; }
node() { echo "/dev/$(basename "$dev"/uio/uio*)"; }
command_bits() { setpci -s "$edu" COMMAND; }
status_bits() { setpci -s "$edu" STATUS; }
intx_masked() { (("0x$(command_bits)" & 0x400)); }
intx_pending() { (("0x$(status_bits)" & 0x8)); }
# The interrupts counted on edu's line, all CPUs.
line_count() {
  awk -v irq="$(cat "$dev/irq"):" '$1 == irq {
    for (i = 2; i <= NF && $i ~ /^[0-9]+$/; i++) n += $i; print n + 0 }' /proc/interrupts
}
kernel_says() { dmesg | grep -F "$1"; }
group_is() { [ "$(stat -c %G "$1")" = "$2" ]; }

check_install() {
  local start=$SECONDS status log
  [ "$edu" != none ] || fail "no edu device (QEMU's -device edu)"
  dpkg -i debs/korvic-uio-dkms_*.deb >"$out/dpkg-i.txt" 2>&1 || {
    cat "$out/dpkg-i.txt" /var/lib/dkms/korvic-uio/*/build/make.log 2>/dev/null
    fail "dpkg -i failed"
  }
  grep -e '^Setting up' -e 'Building' -e 'Signing' -e 'Installing' "$out/dpkg-i.txt" || true
  # make.log: the build's start on its second line; its last write is the build's end.
  log=$(echo /var/lib/dkms/korvic-uio/*/"$(uname -r)"/*/log/make.log)
  echo "dpkg -i: $((SECONDS - start)) s, of which the module's make:" \
    "$(($(stat -c %Y "$log") - $(date -d "$(sed -n 2p "$log")" +%s))) s"
  status=$(dkms status korvic-uio)
  echo "$status"
  grep -q "$(uname -r).*installed" <<<"$status" || fail "not installed for $(uname -r)"
  modinfo -n $module
}

check_module() {
  local signer
  modinfo $module | grep -e '^version' -e '^license' -e '^signer' -e '^sig_key' -e '^parm'
  signer=$(modinfo -F signer $module)
  [ "$signer" = "DKMS module signing key" ] || fail "signer '$signer': not DKMS's key"
  [ "$(modinfo -F license $module)" = "Dual BSD/GPL" ] || fail "licence"
  [ -z "$(modinfo -F alias $module)" ] || fail "aliases: $(modinfo -F alias $module)"
  modinfo -F parm $module | grep -q '^test_intx:' || fail "no parameter test_intx"
  echo "no alias: nothing binds or loads it by ID"
}

check_refused() {
  modprobe $module
  [ -d "$drivers" ] || fail "no $drivers after modprobe"
  ! bound || fail "edu bound by modprobe alone"
  echo "modprobe: $edu has no driver"
  echo "$edu_id 0" >"$drivers/new_id"
  ! bound || fail "the bridge backend took edu"
  kernel_says "not a korvic board's bridge" || fail "no reason in the kernel log"
  echo "$edu_id" >"$drivers/remove_id"
  [ "$(cat "$params/test_intx")" = N ] || fail "test_intx is set by default"
  echo "$edu_id 1" >"$drivers/new_id"
  ! bound || fail "the test backend took edu without test_intx"
  kernel_says "set the parameter test_intx first" || fail "no reason in the kernel log"
}

check_probe() {
  local n
  # The node's group and mode: docs/HARDWARE.md's udev rule (udev.rules, taken from it).
  groupadd --system korvic
  cp udev.rules /etc/udev/rules.d/71-korvic-uio.rules
  udevadm control --reload
  echo 1 >"$params/test_intx"
  echo "$edu" >"$drivers/bind"
  bound || fail "edu not bound with test_intx set"
  n=$(node)
  kernel_says "test (INTx masking) backend" | tail -n 1
  echo "node $n: name $(cat "$dev"/uio/uio*/name), version $(cat "$dev"/uio/uio*/version)," \
    "map 0 $(cat "$dev"/uio/uio*/maps/map0/name) of $(cat "$dev"/uio/uio*/maps/map0/size) bytes"
  [ $(($(cat "$dev"/uio/uio*/maps/map0/size))) = 1048576 ] || fail "map 0 is not edu's 1 MiB"
  intx_masked || fail "INTx not masked after probe (COMMAND $(command_bits))"
  echo "after probe: COMMAND $(command_bits) (INTx disabled)"
  grep -F $module /proc/interrupts | sed 's/  */ /g'
  udevadm settle
  wait_for 10 "the udev rule's group on $n" group_is "$n" korvic
  stat -c '%n: %G %a' "$n"
  [ "$(stat -c %a "$n")" = 660 ] || fail "mode $(stat -c %a "$n"), not 660"
}

check_maps() { ./uio_check "$(node)" maps; }
check_idle() { ./uio_check "$(node)" idle; }
check_wake() { ./uio_check "$(node)" wake; }
check_masked() { ./uio_check "$(node)" masked; }
check_errors() { ./uio_check "$(node)" errors; }

check_trips() {
  local before after
  before=$(line_count)
  ./uio_check "$(node)" trips $trips
  after=$(line_count)
  echo "interrupts on line $(cat "$dev/irq"): $before -> $after"
  [ $((after - before)) = $trips ] || fail "$((after - before)) interrupts for $trips round trips"
}

check_remove() {
  local before
  ./uio_check "$(node)" arm
  intx_masked && fail "write(1) left INTx masked"
  echo "$edu" >"$drivers/unbind"
  ! bound || fail "unbind"
  intx_masked || fail "remove left an armed device unmasked (COMMAND $(command_bits))"
  echo "removed while armed: COMMAND $(command_bits) (INTx disabled)"
  echo "$edu" >"$drivers/bind"
  bound || fail "bind again"
  ./uio_check "$(node)" pending
  echo "$edu" >"$drivers/unbind"
  if ! intx_masked || ! intx_pending; then
    fail "after remove: COMMAND $(command_bits) STATUS $(status_bits)"
  fi
  echo "removed with the interrupt pending: COMMAND $(command_bits) STATUS $(status_bits)" \
    "(INTx disabled, interrupt pending)"
  before=$(line_count)
  sleep 1
  [ "$(line_count)" = "$before" ] || fail "interrupts on the line after remove"
  rmmod $module
  ! grep -q "^$module " /proc/modules || fail "still loaded after rmmod"
  echo "rmmod: unloaded; no interrupt on the line since"
}

check_kernel_log() {
  dmesg >"$out/dmesg.txt"
  if grep -n -e 'nobody cared' -e 'Disabling IRQ' -e 'WARNING:' -e 'BUG:' -e 'Oops:' \
    -e 'Call Trace:' "$out/dmesg.txt"; then
    fail "the kernel log (out/dmesg.txt)"
  fi
  grep -F -e $module -e "$edu" "$out/dmesg.txt" | sed 's/^\[[ 0-9.]*\] //'
}

check_purge() {
  local k
  k=$(uname -r)
  dpkg -L korvic-uio-dkms >"$out/files-korvic-uio-dkms.txt"
  dpkg --purge korvic-uio-dkms >"$out/dpkg-purge.txt" 2>&1 || {
    cat "$out/dpkg-purge.txt"
    fail "dpkg --purge"
  }
  grep -i -e 'remov' -e 'deleting' "$out/dpkg-purge.txt" | head -n 5 || true
  ! modinfo $module >/dev/null 2>&1 || fail "modinfo still finds $module for $k"
  [ ! -e /var/lib/dkms/korvic-uio ] || fail "/var/lib/dkms/korvic-uio left behind"
  [ -z "$(find /lib/modules -name "$module.ko*")" ] || fail "$(find /lib/modules -name "$module.ko*")"
  bash ./purge-leftovers.sh "$out" korvic-uio-dkms || fail "the purge left things behind"
  echo "purged: no module for $k, nothing in /var/lib/dkms or /usr/src"
}

run_checks
