# shellcheck shell=bash
# The booted guests' image, made on the host: sourced by tests/guest/guest.sh (and by any
# stage that only needs an image).
#
#   guest_image VAR PACKAGE...   a bootable Debian 12 image holding these packages: VAR is set
#                                to its directory (rootfs.img, vmlinuz, initrd.img)
#
# debootstrap (minbase) of bookworm with the packages asked for, made into an ext4 image by
# mkfs.ext4 -d (no loop device, no mount of the image), the kernel and initrd beside it. It is
# cached in KORVIC_GUEST_CACHE (default build/guest-cache) under a key made of the package
# list and this file, so a stage that adds a package (linux-headers-amd64, say) gets an image
# of its own beside the others; an image unused for a week is removed when another is made.
# Making one needs root (debootstrap) and Debian's archive (KORVIC_GUEST_MIRROR, default
# http://deb.debian.org/debian); using one needs neither.
#
# In the guest, korvic-guest.service (a oneshot unit, after multi-user.target) mounts the
# host's folder of tag "korvic" (9p) on /mnt/korvic, runs its checks.sh there, saves the
# journal in out/journal.txt and powers the guest off.

guest_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
guest_cache=${KORVIC_GUEST_CACHE:-$guest_root/build/guest-cache}
guest_mirror=${KORVIC_GUEST_MIRROR:-http://deb.debian.org/debian}

guest_say() { echo "guest: $*" >&2; }

guest_image() {
  local -n image_dir=$1
  shift
  local packages entry
  packages=$(printf '%s\n' "$@" | sort -u)
  entry=$guest_cache/bookworm-$( { echo "$packages"; cat "${BASH_SOURCE[0]}"; } | sha256sum | cut -c1-16)
  # shellcheck disable=SC2034 # the caller's variable
  image_dir=$entry
  mkdir -p "$guest_cache"
  # One image is made at a time, also by two worktrees sharing the cache.
  (
    flock 9
    if [ -f "$entry/complete" ]; then
      touch "$entry/complete"
      guest_say "image $entry (cached)"
    else
      guest_make_image "$entry" "$packages"
    fi
  ) 9>"$guest_cache/.lock"
}

guest_make_image() {
  local entry=$1 packages=$2 partial=$1.partial tree=$1.partial/tree size start=$SECONDS
  [ "$(id -u)" = 0 ] || { guest_say "making an image needs root (debootstrap)"; return 1; }
  guest_discard_tree "$partial"
  mkdir -p "$partial"
  guest_say "debootstrap bookworm from $guest_mirror: ${packages//$'\n'/ }"
  if ! debootstrap --variant=minbase --include="${packages//$'\n'/,}" bookworm "$tree" \
    "$guest_mirror" >"$partial/debootstrap.log" 2>&1; then
    tail -n 30 "$partial/debootstrap.log" >&2
    guest_discard_tree "$tree"
    guest_say "debootstrap failed (log: $partial/debootstrap.log)"
    return 1
  fi
  guest_configure_tree "$tree" || return 1
  cp "$tree"/boot/vmlinuz-* "$partial/vmlinuz" || return 1
  cp "$tree"/boot/initrd.img-* "$partial/initrd.img" || return 1
  echo "$packages" >"$partial/packages.txt"
  # The tree and 1 GiB to spare (the packages under test, logs, the journal).
  size=$(($(du -sm "$tree" | cut -f1) + 1024))
  truncate -s "${size}M" "$partial/rootfs.img"
  mkfs.ext4 -q -F -L korvic-root -d "$tree" "$partial/rootfs.img" \
    || { guest_say "mkfs.ext4 -d failed"; return 1; }
  guest_discard_tree "$tree"
  guest_discard_tree "$entry"
  mv "$partial" "$entry"
  touch "$entry/complete"
  find "$guest_cache" -mindepth 2 -maxdepth 2 -name complete -mtime +7 -printf '%h\n' \
    | while read -r old; do guest_discard_tree "$old"; done
  guest_say "image $entry made in $((SECONDS - start)) s ($(du -sm "$entry" | cut -f1) MiB)"
}

# Removes a tree that debootstrap may have left with /proc or /sys mounted inside.
guest_discard_tree() {
  local tree=$1 mnt
  [ -d "$tree" ] || return 0
  awk -v t="$tree/" 'index($2 "/", t) == 1 { print $2 }' /proc/mounts | sort -r \
    | while read -r mnt; do umount -l "$mnt"; done
  rm -rf --one-file-system "$tree"
}

# The guest's own settings, written into the tree before it becomes an image.
guest_configure_tree() {
  local tree=$1
  echo korvic-guest >"$tree/etc/hostname"
  printf '127.0.0.1\tlocalhost\n127.0.1.1\tkorvic-guest\n' >"$tree/etc/hosts"
  echo '/dev/vda / ext4 rw,errors=remount-ro 0 0' >"$tree/etc/fstab"
  rm -rf "$tree"/var/lib/apt/lists/* "$tree"/var/cache/apt/archives/*.deb
  # Nothing but the checks runs in the background: no apt timers.
  for unit in apt-daily.timer apt-daily-upgrade.timer; do
    ln -sf /dev/null "$tree/etc/systemd/system/$unit"
  done
  # chronyd never steps or slews the guest's clock (-x): the simulated board's time is the
  # guest's clock plus an offset, and chronyd following the board would chase itself.
  mkdir -p "$tree/etc/systemd/system/chrony.service.d"
  cat >"$tree/etc/systemd/system/chrony.service.d/korvic-guest.conf" <<'EOF'
# The guest's clock is never set by chronyd (-x); everything else is Debian's chrony.service.
[Service]
ExecStart=
ExecStart=!/usr/sbin/chronyd $DAEMON_OPTS -x
EOF
  cat >"$tree/usr/local/sbin/korvic-guest" <<'EOF'
#!/bin/sh
# Mounts the host's folder (9p) and runs the checks it holds; their results go back there.
modprobe 9pnet_virtio
mkdir -p /mnt/korvic
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 korvic /mnt/korvic || exit 1
mkdir -p /mnt/korvic/out
cd /mnt/korvic && bash ./checks.sh
status=$?
journalctl -b --no-pager -o short-monotonic >/mnt/korvic/out/journal.txt 2>&1
sync
exit "$status"
EOF
  chmod 755 "$tree/usr/local/sbin/korvic-guest"
  cat >"$tree/etc/systemd/system/korvic-guest.service" <<'EOF'
[Unit]
Description=korvic checks from the host's shared folder, then power off
After=multi-user.target
SuccessAction=poweroff
FailureAction=poweroff

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/korvic-guest
TimeoutStartSec=30min
StandardOutput=journal+console

[Install]
WantedBy=multi-user.target
EOF
  ln -sf /etc/systemd/system/korvic-guest.service \
    "$tree/etc/systemd/system/multi-user.target.wants/korvic-guest.service"
}
