# shellcheck shell=bash
# Booted-guest tests, the guest's side: sourced by the checks.sh that a stage shares with the
# guest (tests/guest/guest.sh puts both into the shared folder; the guest runs checks.sh as
# root at boot, from that folder).
#
# checks.sh defines one function per check, check_NAME, lists them in the array `checks` as
# "NAME: what it proves", in the order they run, and calls run_checks. Each check runs in a
# subshell of its own with `set -e`: `fail TEXT` ends it as failed, anything it prints is its
# report, and an EXIT trap set inside it cleans up after it whatever the outcome. Results go
# to out/results ("PASS NAME: ..." or "FAIL NAME: ...", then the report indented), which the
# host prints as they come; out/done marks the end of the run.

out=$PWD/out

fail() {
  echo "$*"
  exit 1
}

# wait_for SECONDS WHAT COMMAND...: runs COMMAND every half second until it succeeds; the
# check fails with "WHAT: not within SECONDS s" when it never does.
wait_for() {
  local limit=$1 what=$2 deadline
  shift 2
  deadline=$(($(date +%s) + limit))
  until "$@" >/dev/null 2>&1; do
    (($(date +%s) < deadline)) || fail "$what: not within $limit s"
    sleep 0.5
  done
}

# The journal after a cursor (cursor: the current end of the journal, for later).
cursor() { journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p'; }
journal_after() { journalctl --no-pager -q -o cat --after-cursor "$1" "${@:2}"; }

run_checks() {
  local row name what start status verdict
  : >"$out/results"
  # shellcheck disable=SC2154 # checks: the sourcing checks.sh's array
  for row in "${checks[@]}"; do
    name=${row%%:*}
    what=${row#*: }
    start=$(date +%s)
    (
      set -e
      "check_$name"
    ) >"$out/$name.log" 2>&1
    status=$?
    verdict=PASS
    [ "$status" = 0 ] || verdict=FAIL
    echo "$verdict $name" # the serial console and the journal
    {
      echo "$verdict $name: $what ($(($(date +%s) - start)) s)"
      sed 's/^/    /' "$out/$name.log"
    } >"$out/$name.result"
    cat "$out/$name.result" >>"$out/results"
  done
  touch "$out/done"
}
