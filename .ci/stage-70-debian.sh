#!/usr/bin/env bash
# Debian packages: build them with CPack (cmake/Packaging.cmake), check them with lintian,
# install them with dpkg, use them from /usr as a user would (the examples built against
# the installed libkorvic-dev through CMake and pkg-config and run on the installed
# simulator, korvic time, the console, import korvic), then purge them, also when a step
# fails, and check that nothing is left behind.
#
# Needs root (dpkg). CI runs on a developer's machine: the stage refuses to start when a
# korvic package is installed or left configured, or when a file of the packages already
# exists outside dpkg's knowledge (installing would take it over, purging would delete
# it). No service starts: while the packages are installed and purged, policy-rc.d
# forbids every start (exit 101), and the one there before is put back afterwards.
#
# Build tree: build/ci-debian (KORVIC_DEBIAN_BUILD names another one).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DEBIAN_FRONTEND=noninteractive
SECONDS=0

fail() {
  echo "stage-70-debian: FAIL: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

# Each warning that lintian may still give, as "package: tag", with its reason. Any
# other warning, and every error, fails the stage. Info and pedantic tags are shown and do
# not fail. Empty: lintian 2.116 gives no error and no warning. With korvicd it gives one
# info tag, korvic-tools: package-supports-alternative-init-but-no-init.d-script: korvicd
# comes with a systemd unit only (Debian's init); there is no sysvinit script for it.
allowed_warnings=(
)

# ---- before anything: root, and no korvic package on the machine ---------------------
[ "$(id -u)" = 0 ] || fail "installs packages with dpkg: run it as root"
names='^(libkorvic-dev|korvic-(tools|sim|uio-dkms)|python3-korvic)(-dbgsym)?$'
present=$(dpkg-query -W -f='${db:Status-Abbrev}${Package}\n' 2>/dev/null \
  | awk -v names="$names" '$1 !~ /^[up]n/ && $2 ~ names { print $2 " (" $1 ")" }')
if [ -n "$present" ]; then
  echo "stage-70-debian: korvic packages are installed on this machine: ${present//$'\n'/, }" >&2
  echo "stage-70-debian: this stage installs and purges its own; remove them first" \
    "(dpkg --purge ...) or run it elsewhere" >&2
  exit 1
fi

bash scripts/install-deps.sh package
for tool in cmake ninja cpack dpkg-deb dpkg-shlibdeps lintian readelf file pkg-config make \
  cc c++ python3 man; do
  command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# ---- build and package ----------------------------------------------------------------
build=$root/${KORVIC_DEBIAN_BUILD:-build/ci-debian}
work=$build/stage-70
rm -rf "$work"
mkdir -p "$work"
bash scripts/build-debs.sh "$build"
pkgdir=$build/packages
debs=()
for f in "$pkgdir"/*.deb "$pkgdir"/*.ddeb; do
  [ -f "$f" ] && debs+=("${f##*/}")
done
packages=()
for f in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$pkgdir/$f" Package)")
done
echo "packages: ${packages[*]}"

# Which packages there must be: the library, the tools and the kernel module's DKMS source
# always, the simulator where it is built (x86-64 Linux), the Python module where it is
# built; a -dbgsym package beside each one that holds ELF files.
cache=$build/CMakeCache.txt
expected=(libkorvic-dev korvic-tools korvic-tools-dbgsym korvic-uio-dkms)
sim=no
if grep -q '^KORVIC_BUILD_SIM:BOOL=ON' "$cache" && [ -x "$build/bin/korvic_sim" ]; then
  sim=yes
  expected+=(korvic-sim korvic-sim-dbgsym)
fi
python=no
if grep -q '^KORVIC_BUILD_PYTHON:BOOL=ON' "$cache"; then
  python=yes
  expected+=(python3-korvic python3-korvic-dbgsym)
fi
[ "$(printf '%s\n' "${packages[@]}" | sort)" = "$(printf '%s\n' "${expected[@]}" | sort)" ] \
  || fail "packages built: ${packages[*]}; expected: ${expected[*]}"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
for f in "${debs[@]}"; do
  [ "$(dpkg-deb -f "$pkgdir/$f" Version)" = "$version" ] || fail "$f: not version $version"
done

# ---- lintian ----------------------------------------------------------------------------
step "lintian (all levels shown; errors and unlisted warnings fail)"
lintian --fail-on none --display-info --pedantic "${debs[@]/#/$pkgdir/}" >"$work/lintian.txt" \
  2>"$work/lintian.err" || { cat "$work/lintian.err" >&2; fail "lintian did not run"; }
grep -v '^running with root privileges' "$work/lintian.err" >&2 || true
if [ -s "$work/lintian.txt" ]; then cat "$work/lintian.txt"; else echo "(lintian: no tags)"; fi
bad=no
while read -r level package tag _; do
  package=${package%:}
  case "$level" in
  E:) bad=yes; echo "lintian error: $package: $tag" >&2 ;;
  W:)
    if ! printf '%s\n' "${allowed_warnings[@]}" | grep -qxF "$package: $tag"; then
      bad=yes
      echo "lintian warning not in the allowed list: $package: $tag" >&2
    fi
    ;;
  esac
done <"$work/lintian.txt"
[ "$bad" = no ] || fail "lintian"

step "contents (dpkg -c)"
for f in "${debs[@]}"; do
  echo "== $f ($(stat -c %s "$pkgdir/$f") bytes)"
  dpkg-deb -f "$pkgdir/$f" Depends Suggests | sed 's/^/   /'
  dpkg -c "$pkgdir/$f"
done

# korvic-uio-dkms goes no further here: installing it would have DKMS build a module for
# this machine's kernel. Stage 90 installs it in a booted guest. The rest is installed.
step "korvic-uio-dkms: checked above, installed only in stage 90's guest"
for i in "${!packages[@]}"; do
  [ "${packages[$i]}" = korvic-uio-dkms ] || continue
  src=./usr/src/korvic-uio-$version
  listing=$(dpkg -c "$pkgdir/${debs[$i]}")
  for f in dkms.conf Kbuild korvic_uio.c korvic_intcsr.h; do
    grep -q " $src/$f\$" <<<"$listing" || fail "korvic-uio-dkms: no $src/$f"
  done
  dpkg-deb --fsys-tarfile "$pkgdir/${debs[$i]}" | tar -xO "$src/dkms.conf" \
    | grep -qx "PACKAGE_VERSION=\"$version\"" || fail "korvic-uio-dkms: dkms.conf is not $version"
  echo "korvic-uio-dkms: DKMS source in ${src#.} for version $version"
done
for i in "${!packages[@]}"; do
  [ "${packages[$i]}" != korvic-uio-dkms ] || unset "debs[$i]" "packages[$i]"
done
debs=("${debs[@]}")
packages=("${packages[@]}")
echo "installing: ${packages[*]}"

# Nothing of the packages may exist yet: dpkg would take an unowned file over and the
# purge would delete it.
for f in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$pkgdir/$f" | tar -t | sed 's|^\./|/|'
done | sort -u >"$work/payload.txt"
while read -r path; do
  case "$path" in */) continue ;; esac
  if [ -e "$path" ] || [ -L "$path" ]; then
    fail "$path exists already (not from a korvic package): move it away before this stage"
  fi
done <"$work/payload.txt"

# ---- install, and take everything away again on the way out ----------------------------
policy=/usr/sbin/policy-rc.d
policy_saved=$work/policy-rc.d.saved
policy_log=$work/policy-rc.d.log
installed=no
purge_all() {
  local present=()
  for p in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -qv '^[up]n'; then
      present+=("$p")
    fi
  done
  [ ${#present[@]} -eq 0 ] || dpkg --purge "${present[@]}"
}
restore_policy() {
  if [ -e "$policy_saved" ] || [ -L "$policy_saved" ]; then
    mv -f "$policy_saved" "$policy"
  else
    rm -f "$policy"
  fi
}
on_exit() {
  local status=$?
  trap - EXIT INT TERM
  if [ "$installed" = yes ]; then
    echo "stage-70-debian: purging the packages after a failure" >&2
    purge_all >&2 || echo "stage-70-debian: dpkg --purge failed; see dpkg -l" >&2
  fi
  if [ -f "$work/policy-rc.d.ours" ]; then restore_policy; fi
  exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step "dpkg -i (policy-rc.d: no service may start)"
if [ -e "$policy" ] || [ -L "$policy" ]; then mv -f "$policy" "$policy_saved"; fi
touch "$work/policy-rc.d.ours"
printf '#!/bin/sh\n# korvic stage 70: no service starts while its packages are installed\necho "$*" >>%q\nexit 101\n' \
  "$policy_log" >"$policy"
chmod 755 "$policy"
installed=yes
dpkg -i "${debs[@]/#/$pkgdir/}" >"$work/dpkg-i.log" 2>&1 \
  || { cat "$work/dpkg-i.log" >&2; fail "dpkg -i"; }
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p")" = "install ok installed" ] || fail "$p is not installed"
  dpkg -L "$p" >"$work/files-$p.txt"
done
all_files() { for p in "${packages[@]}"; do cat "$work/files-$p.txt"; done | sort -u; }
dpkg --verify "${packages[@]}" || fail "dpkg --verify: installed files differ from the md5sums"

# Stripped programs, their debug information in -dbgsym under the same build ID.
step "stripped ELF files and their separate debug symbols"
for p in "${packages[@]}"; do
  case "$p" in *-dbgsym) continue ;; esac
  while read -r path; do
    [ -f "$path" ] && [ ! -L "$path" ] && file -b "$path" | grep -q '^ELF .*\(executable\|shared object\)' \
      || continue
    sections=$(readelf -S "$path")
    [[ "$sections" != *.debug_* ]] || fail "$path is not stripped"
    id=$(readelf -n "$path" | sed -n 's/^ *Build ID: *//p')
    [ -n "$id" ] || fail "$path has no build ID"
    debug=/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    grep -qxF "$debug" "$work/files-$p-dbgsym.txt" 2>/dev/null || fail "$path: $debug is not in $p-dbgsym"
    sections=$(readelf -S "$debug" 2>/dev/null) # (a .debug file has no program interpreter)
    [[ "$sections" == *.debug_info* ]] || fail "$debug holds no .debug_info"
    echo "$path: stripped; debug information in $p-dbgsym ($debug)"
  done <"$work/files-$p.txt"
done

# ---- the installed files, as a user uses them ------------------------------------------
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
step "examples built against /usr: CMake package and pkg-config"
src=$work/src
cp -r /usr/share/doc/libkorvic-dev/examples "$src"
for e in read_time preset_from_clock; do
  cmake -S "$src/$e" -B "$work/cmake/$e" -G Ninja -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >"$work/cmake-$e.log" 2>&1 \
    || { cat "$work/cmake-$e.log" >&2; fail "$e: configure against /usr"; }
  found=$(sed -n 's/^korvic_api_DIR:PATH=//p' "$work/cmake/$e/CMakeCache.txt")
  [ "$found" = "/usr/lib/$triplet/cmake/korvic_api" ] || fail "$e found korvic_api in '$found'"
  cmake --build "$work/cmake/$e" >>"$work/cmake-$e.log" 2>&1 \
    || { cat "$work/cmake-$e.log" >&2; fail "$e does not build through CMake"; }
  mkdir -p "$work/make/$e"
  cp "$src/$e"/* "$work/make/$e/"
done
[ "$(env -u PKG_CONFIG_PATH pkg-config --modversion korvic_api)" = "$version" ] \
  || fail "pkg-config finds no korvic_api $version"
env -u PKG_CONFIG_PATH make -C "$work/make/read_time" CFLAGS="-std=c99 -Wall -Wextra -Werror -pedantic" \
  >"$work/make-read_time.log" 2>&1 || { cat "$work/make-read_time.log" >&2; fail "read_time: pkg-config build"; }
env -u PKG_CONFIG_PATH make -C "$work/make/preset_from_clock" \
  CXXFLAGS="-std=c++20 -Wall -Wextra -Werror -pedantic" >"$work/make-preset_from_clock.log" 2>&1 \
  || { cat "$work/make-preset_from_clock.log" >&2; fail "preset_from_clock: pkg-config build"; }
echo "read_time and preset_from_clock built both ways"

step "manual pages"
for page in korvic_test korvic_sim korvic korvicd; do
  [ -x "/usr/bin/$page" ] || [ -x "/usr/sbin/$page" ] || continue
  where=$(man -w "$page") || fail "man $page: no page"
  case "$where" in /usr/share/man/man?/"$page".?.gz) ;; *) fail "man $page: $where" ;; esac
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
  echo "$where"
done

if [ "$sim" = yes ]; then
  step "on the simulated board, from /usr/bin"
  run=$work/run
  mkdir -p "$run"
  sed -e 's|^MEM_PATH=.*|MEM_PATH=/dev/korvic_sim/board|' \
    -e 's|^#INT_PATH=.*|INT_PATH=/dev/korvic_sim/bridge|' -e 's|^#ENABLE_INT$|ENABLE_INT|' \
    /usr/share/doc/libkorvic-dev/examples/korvic_cfg.dat >"$run/korvic_cfg.dat"
  start="2031+45d 10:20:30"
  seconds=$(((2031 - 1970) * 31536000 + 45 * 86400 + 10 * 3600 + 20 * 60 + 30))
  run_sim() { # $1: output file; the rest: korvic_sim's arguments
    local out=$1 status=0
    shift
    (cd "$run" && timeout 60 /usr/bin/korvic_sim "$@") >"$out" 2>"$out.err" || status=$?
    [ "$status" -eq 0 ] || { cat "$out" "$out.err" >&2; fail "korvic_sim $*: exit status $status"; }
  }
  for kind in cmake make; do
    run_sim "$work/rt-$kind.out" --start "$start" --step 1us -- "$work/$kind/read_time/read_time"
    grep -Eq "^timespec: +$seconds s 0000[0-9]{5} ns$" "$work/rt-$kind.out" \
      && grep -Eq "^broken-down: +year 2031 day 045 10:20:30\.000[0-9]{3}$" "$work/rt-$kind.out" \
      || { cat "$work/rt-$kind.out" >&2; fail "read_time ($kind): not the board's time $start"; }
    run_sim "$work/pfc-$kind.out" --step 1us -- "$work/$kind/preset_from_clock/preset_from_clock"
    awk '/^difference:/ { n++; if ($2 < -0.001 || $2 > 0.001) bad = 1 } END { exit (n != 1 || bad) }' \
      "$work/pfc-$kind.out" || { cat "$work/pfc-$kind.out" >&2; fail "preset_from_clock ($kind)"; }
  done
  cat "$work/rt-cmake.out" "$work/pfc-cmake.out"
  if [ -x /usr/bin/korvic ]; then
    run_sim "$work/korvic.out" --start "$start" --step 1us -- /usr/bin/korvic time
    grep -Eqx "2031-02-15T10:20:30\.[0-9]{6}Z" "$work/korvic.out" \
      || { cat "$work/korvic.out" >&2; fail "korvic time: not the board's time $start"; }
    echo "korvic time: $(cat "$work/korvic.out")"
  fi
  # With no program, korvic_sim prepares a directory and starts the installed console.
  printf '8\n\n20\n' | (cd "$work" && timeout 60 /usr/bin/korvic_sim --workdir "$work/sim-home") \
    >"$work/console.out" 2>&1 || { cat "$work/console.out" >&2; fail "korvic_sim --workdir"; }
  grep -q "config register = " "$work/console.out" \
    || { cat "$work/console.out" >&2; fail "korvic_sim did not start the installed console"; }
  echo "korvic_sim started /usr/bin/korvic_test, which read the board"
  if [ "$python" = yes ]; then
    run_sim "$work/python.out" --start "$start" --step 1us -- /usr/bin/python3 -c \
      'import korvic; print("python:", korvic.__file__, korvic.Board().now().isoformat())'
    grep -q "^python: /usr/lib/python3/dist-packages/korvic/__init__.py 2031-02-15T10:20:30\.000" \
      "$work/python.out" || { cat "$work/python.out" >&2; fail "import korvic: not the board's time"; }
    cat "$work/python.out"
  fi
elif [ "$python" = yes ]; then
  (cd / && python3 -c 'import korvic; print("python:", korvic.__file__)') || fail "import korvic"
fi

# korvicd: its configuration kept as conffiles, its unit enabled, nothing started.
if grep -qx /usr/bin/korvicd "$work/files-korvic-tools.txt"; then
  step "korvicd: conffiles, unit enabled, not started"
  conffiles=$(dpkg-query -W -f='${Conffiles}\n' korvic-tools | awk 'NF { print $1 }' | sort)
  in_etc=$(grep '^/etc/.' "$work/files-korvic-tools.txt" | while read -r f; do
    [ -d "$f" ] || echo "$f"; done | sort)
  [ -n "$in_etc" ] && [ "$conffiles" = "$in_etc" ] \
    || fail "conffiles [$conffiles] are not the files under /etc [$in_etc]"
  echo "conffiles: ${conffiles//$'\n'/ }"
  unit=$(grep -E '^(/usr)?/lib/systemd/system/korvicd\.service$' "$work/files-korvic-tools.txt") \
    || fail "no korvicd.service in korvic-tools"
  link=/etc/systemd/system/multi-user.target.wants/korvicd.service
  [ "$(readlink "$link")" = "$unit" ] || fail "$link does not point to $unit: unit not enabled"
  echo "enabled: $link -> $unit"
  # One socket path in the unit, its options file and chrony's example, and one that
  # chronyd's AppArmor profile lets it create (/run/chrony.*.sock); elsewhere in /run an
  # enforcing profile denies it and chrony.service fails. (Proven in a booted guest too.)
  example=/usr/share/doc/korvic-tools/examples/korvicd.conf
  [ -f "$example" ] || fail "no chrony example $example"
  [ ! -e /etc/chrony/conf.d/korvicd.conf ] || fail "installing switched chrony's example on"
  socks=$( { grep -o -- '--sock[= ][^" ]*' "$unit" /etc/default/korvicd | sed 's/.*--sock[= ]//'
    awk '$1 == "refclock" && $2 == "SOCK" { print $3 }' "$example"; } | sort -u)
  [ "$(echo "$socks" | wc -l)" = 1 ] || fail "the unit, /etc/default/korvicd and $example name different sockets: ${socks//$'\n'/ }"
  case "$socks" in
    /run/chrony.*.sock) echo "socket: $socks (inside chronyd's AppArmor profile)" ;;
    *) fail "socket $socks is outside chronyd's AppArmor profile (/run/chrony.*.sock)" ;;
  esac
  # The template: installed beside the unit, not enabled (its instances are the operator's),
  # korvicd@NAME reading NAME's own files and sending to the socket of the example's line for
  # a second board.
  template=${unit%/*}/korvicd@.service
  grep -qxF "$template" "$work/files-korvic-tools.txt" || fail "no korvicd@.service in korvic-tools"
  [ -z "$(find /etc/systemd/system -name 'korvicd@*')" ] || fail "installing enabled korvicd@.service"
  for line in "EnvironmentFile=-/etc/default/korvicd-%i" \
    "ExecStart=/usr/bin/korvicd --config /etc/korvic/%i.dat \$KORVICD_OPTS" \
    "Environment=KORVICD_OPTS=--sock=/run/chrony.korvicd-%i.sock"; do
    grep -qxF "$line" "$template" || fail "korvicd@.service has no line $line"
  done
  grep -qxF "#refclock SOCK /run/chrony.korvicd-NAME.sock refid KRV2 poll 3 filter 8 precision 1e-6" \
    "$example" || fail "$example has no line for korvicd@NAME's socket"
  echo "template: $template, not enabled; korvicd@NAME: /etc/korvic/NAME.dat, /etc/default/korvicd-NAME, /run/chrony.korvicd-NAME.sock"
  for comm in /proc/[0-9]*/comm; do
    [ "$(cat "$comm" 2>/dev/null)" != korvicd ] || fail "korvicd is running: installing must start nothing"
  done
  if [ -d /run/systemd/system ]; then
    grep -q "korvicd.service start" "$policy_log" 2>/dev/null \
      || fail "postinst did not ask policy-rc.d (deb-systemd-invoke) before starting korvicd"
    echo "deb-systemd-invoke asked policy-rc.d, which refused: $(cat "$policy_log")"
  else
    echo "no systemd running here: postinst starts nothing (deb-systemd-invoke not called)"
  fi
fi

# ---- purge, and nothing may be left ----------------------------------------------------
step "dpkg --purge"
purge_all >"$work/dpkg-purge.log" 2>&1 || { cat "$work/dpkg-purge.log" >&2; fail "dpkg --purge"; }
installed=no
cat "$work/dpkg-purge.log"
bash scripts/purge-leftovers.sh "$work" "${packages[@]}" >&2 \
  || fail "the purge left things behind (above)"
echo "purged: $(all_files | wc -l) paths checked, nothing left"

echo "stage-70-debian: passed in ${SECONDS} s"
