#!/usr/bin/env bash
# scripts/install-deps.sh run on a PATH that holds only stand-ins for dpkg-query, id, sudo,
# apt-get, cmake, ninja and g++ (the real apt-get cannot run in a test), and bash, mv, rm
# and chmod, which do the real thing. The stand-ins record
# their calls; each case checks the exit status, what the script printed and exactly which
# sudo/apt-get commands it ran.
#   install_deps_test.sh PATH/TO/install-deps.sh
# The stand-ins' bodies are single-quoted on purpose: they expand their variables when run.
# shellcheck disable=SC2016
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$1" "$work/install-deps.sh"
cat >"$work/packages.txt" <<'EOF'
# a comment line, then a blank one

cmake         console tests
ninja-build   console tests
g++           console tests
libgtest-dev  tests        # a comment after the jobs
qemu-user     sparc64
chrony        clock
EOF

stub() { printf '#!/bin/bash\n%s\n' "$2" >"$work/stubs/$1" && chmod +x "$work/stubs/$1"; }
mkdir "$work/stubs"
stub dpkg-query 'echo "dpkg-query $*" >>"$LOG"; p=${@: -1}
  [[ ",$INSTALLED," == *",$p,"* ]] && { echo -n "install ok installed"; exit; }
  [ "$p" = "$CONFIG_ONLY" ] && { echo -n "deinstall ok config-files"; exit; }
  [ "$p" = "$HALF" ] && { echo -n "install reinstreq half-installed"; exit; }
  echo "dpkg-query: no packages found matching $p" >&2; exit 1'
stub id 'echo "$UID_"'
stub sudo 'echo "sudo $*" >>"$LOG"; [ "$1" != -n ] || exit "$SUDO_N"'
stub apt-get 'echo "apt-get $* ($DEBIAN_FRONTEND)" >>"$LOG"
  if [ -n "${KORVIC_POLICY_RC_D:-}" ] && [ -x "$KORVIC_POLICY_RC_D" ]; then
    p=$(<"$KORVIC_POLICY_RC_D"); echo "policy-rc.d while apt-get $1: ${p//$'"'"'\n'"'"'/ }" >>"$LOG"
  fi
  [ "$1" != install ] || exit "$APT"'
for tool in bash mv rm chmod; do stub "$tool" "exec $(command -v "$tool") \"\$@\""; done
stub cmake 'echo "cmake version $CMAKE"'
stub ninja 'echo 1.11.1'
stub g++ 'echo "$GXX"'

failures=0
# check NAME STATUS "VAR=value..." "stand-ins removed" TEXT JOB...: runs the script for the
# jobs; it must exit with STATUS, print TEXT and make exactly the sudo/apt-get calls given
# on standard input, one a line.
check() {
  local name=$1 status=$2 vars=$3 removed=$4 want=$5 bin=$work/bin-$1
  shift 5
  rm -rf "$bin" "$work/log" && cp -r "$work/stubs" "$bin" && touch "$work/log"
  for r in $removed; do rm "$bin/$r"; done
  # shellcheck disable=SC2086
  out=$(env -u DEBIAN_FRONTEND -u CXX LOG="$work/log" INSTALLED=cmake,ninja-build,g++ \
    CONFIG_ONLY=libgtest-dev HALF= UID_=1000 SUDO_N=0 APT=0 CMAKE=3.25.1 GXX=12.2.0 $vars \
    PATH="$bin" "$BASH" "$work/install-deps.sh" "$@" </dev/null 2>&1)
  local rc=$? calls expected
  calls=$(grep -E '^(sudo|apt-get) ' "$work/log")
  expected=$(cat)
  if [ "$rc" != "$status" ] || [ "$calls" != "$expected" ] || [[ "$out" != *"$want"* ]]; then
    printf 'FAIL %s: status %s (want %s)\n--- output:\n%s\n--- calls:\n%s\n--- want calls:\n%s\n--- want text: %s\n' \
      "$name" "$rc" "$status" "$out" "$calls" "$expected" "$want"
    failures=$((failures + 1))
  fi
}

all=INSTALLED=cmake,ninja-build,g++,libgtest-dev
check present 0 "$all" "" "all 4 installed" tests </dev/null
check all_jobs 0 "$all,qemu-user,chrony" "" "all 6 installed" all </dev/null
check console_job 0 "" "" "all 3 installed" console </dev/null
if [ "$(grep '^dpkg-query' "$work/log")" != "$(printf 'dpkg-query -W -f=${Status} %s\n' cmake ninja-build g++)" ]; then
  echo "FAIL console_job: queried"$'\n'"$(cat "$work/log")"
  failures=$((failures + 1))
fi

check root 0 "INSTALLED=cmake,g++ HALF=ninja-build UID_=0" "" "installed ninja-build libgtest-dev" tests <<'EOF'
apt-get update -qq (noninteractive)
apt-get install -y -qq --no-install-recommends ninja-build libgtest-dev (noninteractive)
EOF
check sudo 0 "" "" "installed libgtest-dev" tests <<'EOF'
sudo -n true
sudo DEBIAN_FRONTEND=noninteractive apt-get update -qq
sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libgtest-dev
EOF
check sudo_refuses 1 "SUDO_N=1" "" "
  sudo apt-get update && sudo apt-get install -y --no-install-recommends libgtest-dev" tests <<<"sudo -n true"
check no_sudo 1 "" "sudo" "
  su -c 'apt-get update && apt-get install -y --no-install-recommends libgtest-dev'" tests </dev/null
check apt_fails 1 "UID_=0 APT=100" "" "apt-get install libgtest-dev failed" tests <<'EOF'
apt-get update -qq (noninteractive)
apt-get install -y -qq --no-install-recommends libgtest-dev (noninteractive)
EOF

check old_cmake 1 "$all CMAKE=3.22.1" "" "CMake 3.22.1 found" tests </dev/null
check no_cmake 1 "$all" "cmake" "cmake not found" tests </dev/null
check old_gxx 1 "$all GXX=11.4.0" "" "g++ 11.4.0 found" tests </dev/null
check cxx_named 0 "$all GXX=11.4.0 CXX=clang++" "" "all 4 installed" tests </dev/null
check not_debian 0 "" "dpkg-query" "hold: cmake ninja-build g++ libgtest-dev
korvic: the build tools are there; going on" tests </dev/null
check not_debian_no_ninja 1 "" "dpkg-query ninja" "ninja not found" tests </dev/null
check unknown_job 2 "" "" "no job 'test'" test </dev/null

# chrony: installed under a policy-rc.d that forbids every service start; an existing one
# is put back afterwards, and none is left where there was none.
policy=$work/policy-rc.d
printf '#!/bin/sh\nexit 0\n' >"$policy"
chmod 644 "$policy"
check policy_kept 0 "UID_=0 KORVIC_POLICY_RC_D=$policy" "" "installed chrony" clock <<'EOF'
apt-get update -qq (noninteractive)
apt-get install -y -qq --no-install-recommends chrony (noninteractive)
EOF
if ! grep -q "^policy-rc.d while apt-get install: #!/bin/sh .* exit 101" "$work/log" ||
  [ "$(cat "$policy")" != $'#!/bin/sh\nexit 0' ] || [ -x "$policy" ] ||
  [ -e "$policy.korvic-saved" ]; then
  echo "FAIL policy_kept: $(cat "$work/log") / $(cat "$policy")"
  failures=$((failures + 1))
fi
rm -f "$policy"
check policy_none 0 "UID_=0 KORVIC_POLICY_RC_D=$policy" "" "installed libgtest-dev chrony" \
  tests clock <<'EOF'
apt-get update -qq (noninteractive)
apt-get install -y -qq --no-install-recommends libgtest-dev chrony (noninteractive)
EOF
if ! grep -q "exit 101" "$work/log" || [ -e "$policy" ]; then
  echo "FAIL policy_none: $(cat "$work/log")"
  failures=$((failures + 1))
fi
# Without root, through sudo: the stand-in only records the calls (their first lines).
check policy_sudo 0 "KORVIC_POLICY_RC_D=$policy" "" "installed chrony" clock <<EOF
sudo -n true
sudo bash -c if [ -e "\$1" ]; then mv -f "\$1" "\$1.korvic-saved" || exit 1; fi
sudo DEBIAN_FRONTEND=noninteractive apt-get update -qq
sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chrony
sudo bash -c rm -f "\$1"; if [ -e "\$1.korvic-saved" ]; then mv -f "\$1.korvic-saved" "\$1"; fi restore $policy
EOF

[ "$failures" = 0 ] && echo "install-deps.sh: all cases passed"
exit "$((failures > 0))"
