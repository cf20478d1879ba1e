#!/usr/bin/env bash
# Installs the Debian packages that one or more jobs need, then checks the build tools.
#
#   scripts/install-deps.sh JOB...     JOB: console, tests, ... (see packages.txt), or all
#
# Missing packages (dpkg-query) are installed with apt-get: directly as root, through sudo
# otherwise (without a password when sudo allows it, else with sudo's password prompt when
# standard input is a terminal). When neither is possible it prints the command to run and
# exits 1. apt-get update runs only when something is missing. With no dpkg-query (not
# Debian or Ubuntu) it names the Debian packages and carries on when the tools are there.
# Then CMake must be 3.25 or later, Ninja present and g++ 12 or later (unless CXX names
# another compiler), as far as the jobs need them.
#
# Packages that would start a system service when installed (chrony: the tests run their
# own chronyd -x; the system's must never start) are installed under a policy-rc.d that
# forbids every service start (exit 101); an existing policy-rc.d is put back afterwards.
# KORVIC_POLICY_RC_D names another file in its place (for the script's tests).
#
# Only shell builtins, the commands named above and bash, mv, rm and chmod are used, so
# that the script's tests can run it on a PATH of stand-ins.
set -euo pipefail

list=${BASH_SOURCE[0]%/*}/packages.txt
[ "${BASH_SOURCE[0]}" = "${BASH_SOURCE[0]%/*}" ] && list=packages.txt

fail() {
  echo "korvic: $*" >&2
  exit 1
}

[ $# -gt 0 ] || { echo "usage: ${0##*/} JOB... (jobs: see $list, or all)" >&2; exit 2; }

# ---- the packages of the jobs asked for --------------------------------------------------
packages=()
jobs_known=" "
while IFS= read -r line || [ -n "$line" ]; do
  read -ra words <<<"${line%%#*}"
  [ ${#words[@]} -ge 2 ] || continue
  jobs_known+="${words[*]:1} "
  for job in "$@"; do
    if [ "$job" = all ] || [[ " ${words[*]:1} " == *" $job "* ]]; then
      packages+=("${words[0]}")
      break
    fi
  done
done <"$list"
for job in "$@"; do
  [ "$job" = all ] || [[ "$jobs_known" == *" $job "* ]] || {
    echo "korvic: no job '$job' in $list" >&2
    exit 2
  }
done
needs() { [[ " ${packages[*]} " == *" $1 "* ]]; }

# ---- the build tools ---------------------------------------------------------------------
check_tools() {
  local version major minor rest
  if needs cmake; then
    command -v cmake >/dev/null || fail "cmake not found; korvic needs CMake 3.25 or later"
    read -r _ _ version < <(cmake --version) || true
    IFS=. read -r major minor rest <<<"${version:-}"
    if ! [[ "${major:-}" =~ ^[0-9]+$ && "${minor:-}" =~ ^[0-9]+$ ]] ||
      ((major < 3 || (major == 3 && minor < 25))); then
      fail "CMake ${version:-of unknown version} found ($(command -v cmake)); korvic needs" \
        "CMake 3.25 or later (Debian 12, Ubuntu 24.04 or later)"
    fi
  fi
  if needs ninja-build; then
    command -v ninja >/dev/null || fail "ninja not found; korvic builds with Ninja"
  fi
  if needs g++ && [ -z "${CXX:-}" ]; then
    command -v g++ >/dev/null || fail "g++ not found; korvic needs g++ 12 or later (or CXX)"
    version=$(g++ -dumpfullversion -dumpversion) || version=
    major=${version%%.*}
    if ! [[ "$major" =~ ^[0-9]+$ ]] || ((major < 12)); then
      fail "g++ ${version:-of unknown version} found; korvic needs g++ 12 or later for C++20"
    fi
  fi
}

if ! command -v dpkg-query >/dev/null; then
  echo "korvic: no dpkg-query, so not Debian or Ubuntu; $* need what these Debian packages" \
    "hold: ${packages[*]}"
  check_tools
  echo "korvic: the build tools are there; going on"
  exit 0
fi

# ---- Debian: install what is missing -----------------------------------------------------
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || status=
  [[ "$status" == *" installed"* ]] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "korvic: Debian packages for $*: all ${#packages[@]} installed"
else
  apt=(apt-get)
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      :
    elif command -v sudo >/dev/null && [ -t 0 ] &&
      echo "korvic: installing ${missing[*]} needs root: sudo asks for your password" &&
      sudo -v; then
      :
    else
      {
        echo "korvic: missing Debian packages for $*: ${missing[*]}"
        echo "korvic: install them as root, then run this again:"
        if command -v sudo >/dev/null; then
          echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}"
        else
          echo "  su -c 'apt-get update && apt-get install -y --no-install-recommends ${missing[*]}'"
        fi
      } >&2
      exit 1
    fi
    apt=(sudo DEBIAN_FRONTEND=noninteractive apt-get)
  fi
  export DEBIAN_FRONTEND=noninteractive
  # No service of these may start while it is installed.
  no_start=" chrony "
  guard=no
  for p in "${missing[@]}"; do
    [[ "$no_start" == *" $p "* ]] && guard=yes
  done
  if [ "$guard" = yes ]; then
    policy=${KORVIC_POLICY_RC_D:-/usr/sbin/policy-rc.d}
    # shellcheck disable=SC2016
    forbid='if [ -e "$1" ]; then mv -f "$1" "$1.korvic-saved" || exit 1; fi
printf "#!/bin/sh\n# korvic install-deps.sh: no service starts while it installs\nexit 101\n" >"$1" &&
  chmod 755 "$1"'
    # shellcheck disable=SC2016
    restore='rm -f "$1"; if [ -e "$1.korvic-saved" ]; then mv -f "$1.korvic-saved" "$1"; fi'
    as_root=()
    [ "$(id -u)" = 0 ] || as_root=(sudo)
    "${as_root[@]}" bash -c "$forbid" forbid "$policy" || fail "cannot write $policy"
    trap '"${as_root[@]}" bash -c "$restore" restore "$policy"' EXIT
  fi
  echo "korvic: installing Debian packages for $*: ${missing[*]}"
  # apt-get's progress is not shown, its errors are. Standard input stays with the caller
  # (run-console.sh hands it to the console).
  "${apt[@]}" update -qq </dev/null >/dev/null || fail "apt-get update failed"
  "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null ||
    fail "apt-get install ${missing[*]} failed"
  echo "korvic: installed ${missing[*]}"
fi
check_tools
