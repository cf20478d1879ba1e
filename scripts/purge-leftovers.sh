#!/usr/bin/env bash
# What a purge of korvic's packages left behind, on the machine it runs on:
#
#   scripts/purge-leftovers.sh LISTS PACKAGE...
#
# LISTS is a directory holding files-PACKAGE.txt, each the `dpkg -L PACKAGE` taken while the
# package was installed. Run after `dpkg --purge`, it prints one line per thing left: a
# package that is not gone with its configuration, a listed path that still exists and that
# no other package owns (shared directories such as /usr/bin are owned), and the files that
# the maintainer scripts and deb-systemd-helper make outside those lists (unit enablement,
# its remembered state, the configuration directory). Exit status 1 when anything is left,
# 0 when nothing is. Used on the CI machine (stage 70) and in the booted guest (stage 80).
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: ${0##*/} LISTS PACKAGE..." >&2; exit 2; }
lists=$1
shift

left=0
leftover() {
  echo "left behind: $*"
  left=1
}
for p in "$@"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null) || status=un
  [[ "$status" == [up]n* ]] || leftover "package $p ($status)"
done
while read -r path; do
  if { [ -e "$path" ] || [ -L "$path" ]; } && ! dpkg-query -S "$path" >/dev/null 2>&1; then
    leftover "$path"
  fi
done < <(for p in "$@"; do cat "$lists/files-$p.txt"; done | sort -u | grep -vx '/\.')
for path in /etc/korvic /etc/default/korvicd /etc/systemd/system/korvicd.service \
  /etc/systemd/system/multi-user.target.wants/korvicd.service \
  /var/lib/systemd/deb-systemd-helper-enabled/korvicd.service.dsh-also \
  /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/korvicd.service \
  /var/lib/systemd/deb-systemd-helper-masked/korvicd.service \
  /usr/lib/python3/dist-packages/korvic /usr/lib/*-linux-gnu/korvic; do
  if [ -e "$path" ] || [ -L "$path" ]; then leftover "$path"; fi
done
exit "$left"
