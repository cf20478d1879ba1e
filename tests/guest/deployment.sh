# shellcheck shell=bash disable=SC2317 # check functions are called by name, by run_checks
# korvic's deployment on a fresh Debian 12 server, checked as an operator would, in the
# booted guest of .ci/stage-80-guest.sh (run there as checks.sh, as root, from the shared
# folder that holds debs/ and purge-leftovers.sh). The simulated board stands in for the
# real one; everything else is what a server runs: systemd, AppArmor enforcing, Debian's
# chrony with the conf.d file korvic-tools ships, korvicd.service with its sandbox.
#
# A new check: a function check_NAME, and a row in `checks` where it belongs (the checks
# that look back over the whole run, the purge and the deliberate AppArmor denial close it).
# shellcheck source=tests/guest/checklib.sh
source ./checklib.sh

# The simulated board runs this far ahead of the guest's clock; chronyd must see the
# board's offset with the host's sign (-0.25 s) within the tolerance. Emulation widens the
# simulator's brackets to some 175-320 us, beyond korvicd's default of 200 us.
board_offset=+250ms
expected_offset=-0.250
offset_tolerance=0.002
max_bracket=1ms
ours=(korvic-tools korvic-sim python3-korvic)
config=/etc/korvic/korvic_cfg.dat
example=/usr/share/doc/korvic-tools/examples/korvicd.conf
socket=/run/chrony.korvicd.sock
dropins=/etc/systemd/system/korvicd.service.d
template_dropins=/etc/systemd/system/korvicd@.service.d
textfiles=/var/lib/prometheus/node-exporter
# Two more simulated boards, each a run of the simulator of its own, for korvicd@a and
# korvicd@b: their offsets (KORVIC_SIM_OFFSET in each one's /etc/default/korvicd-NAME) and
# what chronyd must measure, with the host's sign.
boards=(a b)
declare -A boards_offset=([a]=+100ms [b]=-150ms) boards_expected=([a]=-0.100 [b]=0.150)
# korvicd.service's program, run on the simulated board: korvic_sim executes korvicd in its
# own process, so the unit's main pid is korvicd's.
korvicd_exec="/usr/bin/korvic_sim --offset $board_offset -- /usr/bin/korvicd --config $config \$KORVICD_OPTS --max-bracket $max_bracket"

checks=(
  "install: the packages install offline; chrony's conf.d file, MEM_PATH and the simulator's drop-in set up"
  "apparmor: AppArmor enforcing, chronyd's profile loaded and chronyd confined in enforce mode"
  "chrony: chrony.service active with -x, reading the shipped conf.d file"
  "korvicd: korvicd.service active, korvicd as its main process, the shipped sandbox unchanged"
  "selected: chronyd selects KRVC with the simulated board's offset"
  "status: systemctl status shows korvicd's STATUS= (health, offset, bracket, counts)"
  "ready: Type=notify: the unit is active only after READY=1, which needs a reading of the board"
  "reload: systemctl reload keeps korvicd's pid and korvicd reopens the board"
  "sigkill: korvicd killed by SIGKILL is restarted by systemd"
  "watchdog: korvicd stopped by SIGSTOP is killed by systemd's watchdog and restarted"
  "bad_option: an unknown option leaves the unit failed with status 2, not restarted"
  "socket: chronyd created its socket $socket under the enforced profile"
  "boards: korvicd@a and korvicd@b on two simulated boards, each seen by chronyd with its offset"
  "metrics: node_exporter serves korvicd's metrics of the three boards; promtool check metrics passes; counters never go back"
  "one_per_socket: a second unit on korvicd.service's socket fails with status 1 naming its pid; korvicd.service undisturbed"
  "security: no SIGSYS in the journal; systemd-analyze security's exposure at most 2.0"
  "purge: dpkg --purge of the packages leaves nothing behind"
  "no_denials: no apparmor=\"DENIED\" in the whole run"
  "old_socket_denied: a chronyd told to use /run/korvicd.sock is denied by its profile (the check bites)"
)

prop() { systemctl show -p "$2" --value "$1"; }
is_active() { [ "$(systemctl is-active "$1")" = active ]; }
main_pid() { prop "${1:-korvicd}" MainPID; }
# chronyd's measured offset of REFID (its -x makes its own correction make-believe), or
# nothing while it has no sample.
measured() { chronyc -n -c sources | awk -F, -v r="$1" '$3 == r && $7 != 4294967295 { print $9 }'; }
near() { awk -v o="$1" -v e="$2" -v t="$3" 'BEGIN { d = o - e; exit !(d <= t && d >= -t) }'; }
# node_exporter's whole page, from its HTTP endpoint on loopback.
scrape() {
  python3 -c 'import sys, urllib.request
sys.stdout.write(urllib.request.urlopen("http://127.0.0.1:9100/metrics", timeout=10).read().decode())'
}
krvc_selected() { chronyc -n -c sources | grep -q '^#,\*,KRVC,'; }

check_install() {
  local p mark
  mark=$(cursor)
  dpkg -i debs/*.deb >"$out/dpkg-i.txt" 2>&1 || { cat "$out/dpkg-i.txt"; fail "dpkg -i failed"; }
  grep -e '^Setting up' -e '^Created symlink' "$out/dpkg-i.txt"
  for p in "${ours[@]}"; do
    dpkg -L "$p" >"$out/files-$p.txt"
    dpkg-query -W -f='installed ${Package} ${Version}\n' "$p"
  done
  # The operator's set-up, as docs/CLOCK.md gives it.
  cp "$example" /etc/chrony/conf.d/korvicd.conf
  systemctl restart chrony
  sed -i "s|^MEM_PATH=.*|MEM_PATH=/dev/korvic_sim/board|" "$config"
  sed -i "s|^KORVICD_OPTS=.*|KORVICD_OPTS=\"--sock $socket --metrics-file $textfiles/korvicd.prom\"|" \
    /etc/default/korvicd
  mkdir -p "$dropins"
  printf '[Service]\nExecStart=\nExecStart=%s\n' "$korvicd_exec" >"$dropins/10-simulator.conf"
  systemctl daemon-reload
  systemctl enable korvicd
  # Installing started the unit already, on the sample configuration's board.
  echo "korvicd before the set-up:"
  journal_after "$mark" -u korvicd | grep -e '^korvicd:' -e 'status=' | head -n 2
  systemctl restart korvicd
  wait_for 30 "korvicd.service active" is_active korvicd
  echo "korvicd.service: $(systemctl is-enabled korvicd), $(systemctl is-active korvicd)"
}

check_ready() {
  local busy=$dropins/90-busy-board.conf
  trap 'rm -f "$busy"; systemctl daemon-reload; systemctl restart korvicd' EXIT
  [ "$(prop korvicd Type)" = notify ] || fail "Type=$(prop korvicd Type)"
  [ "$(prop korvicd NotifyAccess)" = main ] || fail "NotifyAccess=$(prop korvicd NotifyAccess)"
  echo "Type=notify NotifyAccess=main WatchdogUSec=$(prop korvicd WatchdogUSec)" \
    "TimeoutAbortUSec=$(prop korvicd TimeoutAbortUSec)"
  # A board that gives no reading: its lock held all along, by korvicd's own descriptor 9
  # (flock(1) before the shell becomes korvicd), so every burst is dropped as board busy.
  printf '[Service]\nExecStart=\nExecStart=/usr/bin/korvic_sim -- /bin/sh -c "%s"\nTimeoutStartSec=60s\n' \
    "exec 9<>/dev/korvic_sim/board && flock -n 9 && exec /usr/bin/korvicd --config $config --sock $socket --lock-wait 20ms" \
    >"$busy"
  systemctl daemon-reload
  systemctl restart --no-block korvicd
  busy_status() { [[ "$(prop korvicd StatusText)" == *"(board busy "* ]]; }
  wait_for 30 "STATUS= with board busy drops" busy_status
  sleep 5
  [ "$(systemctl is-active korvicd)" = activating ] \
    || fail "korvicd.service is $(systemctl is-active korvicd) without a reading"
  echo "a board kept busy: $(systemctl is-active korvicd) ($(prop korvicd SubState)), status: $(prop korvicd StatusText)"
  rm "$busy"
  systemctl daemon-reload
  # systemctl restart returns when the unit is active: after READY=1, whose message
  # carried the first STATUS=.
  systemctl restart korvicd
  is_active korvicd || fail "korvicd.service is $(systemctl is-active korvicd) after its start"
  [ -n "$(prop korvicd StatusText)" ] || fail "active without a STATUS="
  echo "the board readable again: $(systemctl is-active korvicd) as systemctl restart returns," \
    "status: $(prop korvicd StatusText)"
  trap - EXIT
}

check_apparmor() {
  local pid
  aa-status --enabled || fail "AppArmor is not enabled"
  aa-status | sed -n '1,2p'
  aa-status | sed -n '/profiles are in enforce mode/,/profiles are in complain mode/p' \
    | grep -qx '   /usr/sbin/chronyd' || fail "chronyd's profile is not in enforce mode"
  pid=$(prop chrony MainPID)
  echo "chronyd (pid $pid): $(cat "/proc/$pid/attr/current")"
  [ "$(cat "/proc/$pid/attr/current")" = "/usr/sbin/chronyd (enforce)" ] \
    || fail "chronyd is not confined in enforce mode"
}

check_chrony() {
  local pid
  is_active chrony || fail "chrony.service is $(systemctl is-active chrony)"
  pid=$(prop chrony MainPID)
  echo "chronyd: $(tr '\0' ' ' <"/proc/$pid/cmdline")"
  tr '\0' '\n' <"/proc/$pid/cmdline" | grep -qx -- -x || fail "chronyd runs without -x"
  cmp "$example" /etc/chrony/conf.d/korvicd.conf || fail "conf.d/korvicd.conf is not the example"
  grep -v '^#' /etc/chrony/conf.d/korvicd.conf | grep .
  chronyc -n sources | grep KRVC || fail "chronyc sources has no KRVC"
}

check_korvicd() {
  local pid
  is_active korvicd || fail "korvicd.service is $(systemctl is-active korvicd)"
  pid=$(main_pid)
  [ "$(readlink "/proc/$pid/exe")" = /usr/bin/korvicd ] \
    || fail "the main process $pid is $(readlink "/proc/$pid/exe"), not /usr/bin/korvicd"
  echo "main pid $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline")"
  # Only the configuration (a conffile) differs from the package; the drop-in changes
  # nothing but the program.
  dpkg --verify korvic-tools | grep -v ' c /etc/' && fail "korvic-tools' files were changed"
  grep -v -e '^ExecStart=' -e '^\[Service\]$' "$dropins/10-simulator.conf" \
    && fail "the drop-in changes more than ExecStart"
  systemctl show korvicd -p ProtectSystem -p PrivateNetwork -p PrivateTmp -p NoNewPrivileges \
    -p CapabilityBoundingSet -p RestrictAddressFamilies -p MemoryDenyWriteExecute \
    | sort | paste -sd ' '
  journalctl -u korvicd -b --no-pager -q -o cat | grep '^korvicd: board ' | tail -n 1
}

check_selected() {
  local row offset
  wait_for 120 "chronyd selects KRVC" krvc_selected
  chronyc -n sources | grep KRVC
  row=$(chronyc -n -c sources | grep '^#,\*,KRVC,')
  offset=$(echo "$row" | cut -d, -f9) # as measured (-x: chronyd's own correction is make-believe)
  awk -v o="$offset" -v e="$expected_offset" -v t="$offset_tolerance" \
    'BEGIN { d = o - e; exit !(d <= t && d >= -t) }' \
    || fail "KRVC's offset $offset s is not $expected_offset s within $offset_tolerance s"
  echo "KRVC offset $offset s: the board's $board_offset with the host's sign"
}

check_status() {
  local text before ms
  fed_count() { prop korvicd StatusText | sed -n 's/.*; fed \([0-9]*\),.*/\1/p'; }
  feeding() { [[ "$(prop korvicd StatusText)" == "ok; offset "* ]]; }
  wait_for 30 "STATUS= ok with an offset" feeding
  systemctl status --no-pager korvicd >"$out/status.txt" || true
  sed -n '1,/CGroup:/p' "$out/status.txt"
  text=$(grep '^ *Status: "' "$out/status.txt") || fail "systemctl status shows no Status:"
  ms=$(sed -n 's/^ *Status: "ok; offset \([-+][0-9.]*\) ms, bracket [0-9.]* us; fed [0-9]*, dropped [0-9]*.*/\1/p' <<<"$text")
  if [ -z "$ms" ] || ! near "$ms" 250 2; then
    fail "not the board's offset of +250 ms and the counts: $text"
  fi
  before=$(fed_count)
  sleep 3
  (($(fed_count) > before)) || fail "the fed count did not grow from $before: $(prop korvicd StatusText)"
  echo "fed $before, 3 s later $(fed_count)"
}

check_reload() {
  local pid mark
  pid=$(main_pid)
  mark=$(cursor)
  systemctl reload korvicd
  reopened() { journal_after "$mark" -u korvicd | grep -q 'SIGHUP: board reopened'; }
  wait_for 20 "korvicd logs the reopen" reopened
  journal_after "$mark" -u korvicd | grep 'SIGHUP'
  [ "$(main_pid)" = "$pid" ] || fail "the main pid changed from $pid to $(main_pid)"
  is_active korvicd || fail "korvicd.service is $(systemctl is-active korvicd) after the reload"
  echo "main pid $pid before and after"
}

check_sigkill() {
  local pid restarts start
  pid=$(main_pid)
  restarts=$(prop korvicd NRestarts)
  start=$(date +%s)
  kill -KILL "$pid"
  restarted() { is_active korvicd && [ "$(main_pid)" != "$pid" ] && [ "$(main_pid)" != 0 ]; }
  wait_for 30 "korvicd restarted" restarted
  [ "$(prop korvicd NRestarts)" = $((restarts + 1)) ] || fail "NRestarts is $(prop korvicd NRestarts)"
  echo "pid $pid killed; restarted as pid $(main_pid) after $(($(date +%s) - start)) s" \
    "(NRestarts $restarts -> $(prop korvicd NRestarts))"
}

check_watchdog() {
  local pid restarts mark start
  pid=$(main_pid)
  restarts=$(prop korvicd NRestarts)
  mark=$(cursor)
  start=$(date +%s)
  kill -STOP "$pid"
  restarted() { is_active korvicd && [ "$(main_pid)" != "$pid" ] && [ "$(main_pid)" != 0 ]; }
  wait_for 90 "korvicd restarted by the watchdog" restarted
  journal_after "$mark" | grep -e '^korvicd.service: Watchdog timeout' -e '^korvicd.service: Main process exited' \
    -e "^korvicd.service: Failed with result" || true
  journal_after "$mark" | grep -q "^korvicd.service: Failed with result 'watchdog'" \
    || fail "not ended by the watchdog"
  [ "$(prop korvicd NRestarts)" = $((restarts + 1)) ] || fail "NRestarts is $(prop korvicd NRestarts)"
  echo "pid $pid stopped; restarted as pid $(main_pid) after $(($(date +%s) - start)) s" \
    "(WatchdogSec=$(prop korvicd WatchdogUSec), NRestarts $restarts -> $(prop korvicd NRestarts))"
}

check_bad_option() {
  local restarts mark
  # Whatever happens, the board's own unit is back afterwards.
  trap 'rm -f "$dropins/90-bad-option.conf"; systemctl daemon-reload
        systemctl reset-failed korvicd; systemctl start korvicd' EXIT
  printf '[Service]\nExecStart=\nExecStart=%s --no-such-option\n' "$korvicd_exec" \
    >"$dropins/90-bad-option.conf"
  systemctl daemon-reload
  mark=$(cursor)
  systemctl restart korvicd || true
  failed() { [ "$(systemctl is-active korvicd)" = failed ]; }
  wait_for 30 "korvicd.service failed" failed
  restarts=$(prop korvicd NRestarts)
  journal_after "$mark" -u korvicd | grep -i 'no-such-option' || true
  echo "status $(prop korvicd ExecMainStatus), result $(prop korvicd Result)"
  [ "$(prop korvicd ExecMainStatus)" = 2 ] || fail "exit status $(prop korvicd ExecMainStatus), not 2"
  # RestartSec is 5 s: still failed, and not restarted, well after it.
  sleep 8
  failed || fail "korvicd.service is $(systemctl is-active korvicd) 8 s later"
  [ "$(prop korvicd NRestarts)" = "$restarts" ] || fail "restarted: NRestarts $(prop korvicd NRestarts)"
  echo "still failed 8 s later, NRestarts $restarts"
  rm "$dropins/90-bad-option.conf"
  systemctl daemon-reload
  systemctl reset-failed korvicd
  systemctl start korvicd
  wait_for 30 "korvicd.service active again without the bad option" is_active korvicd
  trap - EXIT
}

check_socket() {
  local pid inode fd owner=
  [ -S "$socket" ] || fail "$socket is not a socket"
  ls -l "$socket"
  pid=$(prop chrony MainPID)
  inode=$(awk -v p="$socket" '$8 == p { print $7 }' /proc/net/unix)
  [ -n "$inode" ] || fail "no socket bound to $socket"
  for fd in "/proc/$pid/fd"/*; do
    [ "$(readlink "$fd")" != "socket:[$inode]" ] || owner=$pid
  done
  [ "$owner" = "$pid" ] || fail "$socket is not chronyd's (pid $pid)"
  echo "bound by chronyd (pid $pid, $(cat "/proc/$pid/attr/current"))"
}

check_boards() {
  local b name pid offset
  mkdir -p "$template_dropins"
  printf '[Service]\nExecStart=\nExecStart=%s\n' \
    "/usr/bin/korvic_sim -- /usr/bin/korvicd --config /etc/korvic/%i.dat \$KORVICD_OPTS --max-bracket $max_bracket" \
    >"$template_dropins/10-simulator.conf"
  : >/etc/chrony/conf.d/korvicd-boards.conf
  for b in "${boards[@]}"; do
    # The operator's files of board NAME, as korvicd.default tells: its korvic_cfg.dat, its
    # options with its own socket and metrics file; chrony's line from the example.
    cp "$config" "/etc/korvic/$b.dat"
    printf 'KORVICD_OPTS="--sock /run/chrony.korvicd-%s.sock --metrics-file %s/korvicd-%s.prom"\nKORVIC_SIM_OFFSET=%s\n' \
      "$b" "$textfiles" "$b" "${boards_offset[$b]}" >"/etc/default/korvicd-$b"
    sed -n "s|^#\(refclock SOCK /run/chrony.korvicd-\)NAME\(.sock refid \)KRV2|\1$b\2KRV${b^^}|p" \
      "$example" >>/etc/chrony/conf.d/korvicd-boards.conf
  done
  cat /etc/chrony/conf.d/korvicd-boards.conf
  [ "$(wc -l </etc/chrony/conf.d/korvicd-boards.conf)" = "${#boards[@]}" ] \
    || fail "no line for a second board in $example"
  systemctl restart chrony
  systemctl daemon-reload
  systemctl start korvicd@a korvicd@b
  for b in "${boards[@]}"; do
    is_active "korvicd@$b" || fail "korvicd@$b is $(systemctl is-active "korvicd@$b")"
    pid=$(main_pid "korvicd@$b")
    [ "$(readlink "/proc/$pid/exe")" = /usr/bin/korvicd ] || fail "korvicd@$b runs $(readlink "/proc/$pid/exe")"
    tr '\0' '\n' <"/proc/$pid/cmdline" | grep -qx "/etc/korvic/$b.dat" || fail "korvicd@$b: not /etc/korvic/$b.dat"
    echo "korvicd@$b: pid $pid, $(tr '\0' ' ' <"/proc/$pid/cmdline")"
  done
  is_active korvicd || fail "korvicd.service is $(systemctl is-active korvicd) beside them"
  for b in "${boards[@]}"; do
    name=KRV${b^^}
    seen() { offset=$(measured "$name") && [ -n "$offset" ] && near "$offset" "${boards_expected[$b]}" "$offset_tolerance"; }
    wait_for 120 "chronyd measures $name at ${boards_expected[$b]} s" seen
    [ -S "/run/chrony.korvicd-$b.sock" ] || fail "no socket /run/chrony.korvicd-$b.sock"
    echo "$name (korvicd@$b, /run/chrony.korvicd-$b.sock): offset $offset s, the board's ${boards_offset[$b]}"
  done
}

check_metrics() {
  local b board state
  is_active prometheus-node-exporter || fail "prometheus-node-exporter is $(systemctl is-active prometheus-node-exporter)"
  all_served() {
    scrape >"$out/scrape-1.txt" || return 1
    for board in korvic_cfg "${boards[@]}"; do
      grep -q "^korvicd_health_state{board=\"$board\",state=\"ok\"} 1\$" "$out/scrape-1.txt" || return 1
    done
  }
  wait_for 60 "node_exporter serving the three boards in state ok" all_served
  grep -qx 'node_textfile_scrape_error 0' "$out/scrape-1.txt" || fail "the textfile collector failed"
  ls -l "$textfiles"
  # The interval of the metrics files is 10 s: the next scrape sees every file replaced.
  sleep 12
  scrape >"$out/scrape-2.txt"
  for n in 1 2; do
    awk '/^# (HELP|TYPE) korvicd_/ || /^korvicd_/' "$out/scrape-$n.txt" >"$out/korvicd-$n.txt"
  done
  grep -e '{board="a"' -e 'korvicd_[a-z_]* gauge' -e 'korvicd_[a-z_]* counter' "$out/korvicd-2.txt" \
    | grep -v -e 'state="[a-z_]*"} 0' -e 'reason="[a-z_]*"} 0'
  ./promtool check metrics <"$out/korvicd-2.txt" || fail "promtool check metrics found problems"
  echo "promtool check metrics: no problems in $(grep -c '^korvicd_' "$out/korvicd-2.txt") samples"
  # Every counter of the first scrape is there in the second, grown or equal.
  awk 'FNR == NR { if ($1 ~ /_total/) first[$1] = $2; next }
       $1 in first { seen++; if ($2 + 0 < first[$1] + 0) { print "went back: " $1 " " first[$1] " -> " $2; bad = 1 } }
       END { n = 0; for (k in first) n++; if (seen != n || n == 0) { print "counters " n ", found again " seen; bad = 1 }
             print n " counters, none went back"; exit bad }' \
    "$out/korvicd-1.txt" "$out/korvicd-2.txt" || fail "a counter went back or went missing"
  for b in korvic_cfg "${boards[@]}"; do
    state=$(grep "^korvicd_samples_fed_total{board=\"$b\"}" "$out/korvicd-2.txt") || fail "board $b: no fed count"
    echo "$state"
  done
}

check_one_per_socket() {
  local pid mark
  trap 'rm -f /etc/korvic/dup.dat /etc/default/korvicd-dup; systemctl stop korvicd@dup || true
        systemctl reset-failed korvicd@dup 2>/dev/null || true' EXIT
  pid=$(main_pid)
  # An instance of the template (its drop-in from the check "boards") told to feed the
  # socket that korvicd.service feeds.
  cp "$config" /etc/korvic/dup.dat
  printf 'KORVICD_OPTS="--sock %s"\n' "$socket" >/etc/default/korvicd-dup
  mark=$(cursor)
  systemctl start --no-block korvicd@dup
  refused() { journal_after "$mark" -u korvicd@dup | grep -q "is fed by another korvicd"; }
  wait_for 30 "korvicd@dup refuses the socket" refused
  journal_after "$mark" -u korvicd@dup | grep -e '^korvicd: ' -e 'status=' | head -n 3
  journal_after "$mark" -u korvicd@dup | grep -qF -- "--sock $socket is fed by another korvicd (pid $pid): not starting a second one" \
    || fail "korvicd@dup does not name korvicd.service's pid $pid"
  [ "$(prop korvicd@dup ExecMainStatus)" = 1 ] || fail "korvicd@dup: exit status $(prop korvicd@dup ExecMainStatus), not 1"
  [ "$(systemctl is-active korvicd@dup)" != active ] || fail "korvicd@dup is active"
  if ! is_active korvicd || [ "$(main_pid)" != "$pid" ]; then
    fail "korvicd.service: $(systemctl is-active korvicd), pid $(main_pid), was $pid"
  fi
  echo "korvicd@dup: $(systemctl is-active korvicd@dup), status $(prop korvicd@dup ExecMainStatus);" \
    "korvicd.service still active as pid $pid"
  [ -n "$(measured KRVC)" ] || fail "chronyd no longer measures KRVC"
}

check_security() {
  local exposure
  if journalctl -b --no-pager -q -o cat | grep -E 'SIGSYS|status=31/SYS|type=1326'; then
    fail "a process was killed by the system call filter"
  fi
  exposure=$(systemd-analyze security --no-pager korvicd.service | tee "$out/security.txt" \
    | sed -n 's/.*Overall exposure level for korvicd.service: \([0-9.]*\).*/\1/p')
  [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure level"
  grep 'Overall exposure' "$out/security.txt"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "exposure $exposure is above 2.0"
}

check_purge() {
  # The operator's board files first: dpkg removes /etc/korvic only once it is empty. The
  # purge stops korvicd.service and every korvicd@NAME (prerm), which remove their
  # metrics files as they stop.
  for b in "${boards[@]}"; do
    rm -f "/etc/korvic/$b.dat" "/etc/default/korvicd-$b"
  done
  dpkg --purge "${ours[@]}" >"$out/dpkg-purge.txt" 2>&1 \
    || { cat "$out/dpkg-purge.txt"; fail "dpkg --purge failed"; }
  grep -e '^Removing' -e '^Purging' "$out/dpkg-purge.txt"
  ! ls "$textfiles"/korvicd*.prom 2>/dev/null || fail "metrics files left by stopped korvicds"
  # Then the operator's own files: the drop-ins and chrony's copies of the example.
  rm -rf "$dropins" "$template_dropins"
  rm -f /etc/chrony/conf.d/korvicd.conf /etc/chrony/conf.d/korvicd-boards.conf
  systemctl restart chrony
  bash ./purge-leftovers.sh "$out" "${ours[@]}" || fail "the purge left things behind"
  [ -z "$(systemctl list-unit-files --no-legend 'korvicd*')" ] \
    || fail "systemd still has $(systemctl list-unit-files --no-legend 'korvicd*')"
  [ "$(prop korvicd LoadState)" = not-found ] || fail "korvicd.service is $(prop korvicd LoadState)"
  [ "$(prop korvicd@a LoadState)" = not-found ] || fail "korvicd@a.service is $(prop korvicd@a LoadState)"
  ! pgrep -x korvicd || fail "korvicd still runs"
  echo "purged: $(printf "$out/files-%s.txt\n" "${ours[@]}" | xargs cat | sort -u | wc -l) paths checked, nothing left;" \
    "no korvicd unit, no korvicd process"
}

check_no_denials() {
  if journalctl -b --no-pager -q -o cat | grep 'apparmor="DENIED"'; then
    fail "AppArmor denied something"
  fi
  echo "no apparmor=\"DENIED\" in the journal since boot (kernel and audit messages)"
}

check_old_socket_denied() {
  local conf=/etc/chrony/korvic-old-socket.conf mark status=0
  trap 'rm -f "$conf"' EXIT
  # A second chronyd beside chrony.service, with files of its own, under the same profile.
  cat >"$conf" <<'EOF'
refclock SOCK /run/korvicd.sock refid OLD
pidfile /run/chrony/korvic-old-socket.pid
bindcmdaddress /run/chrony/korvic-old-socket.sock
port 0
cmdport 0
EOF
  mark=$(cursor)
  timeout 30 /usr/sbin/chronyd -x -d -f "$conf" >"$out/old-socket.txt" 2>&1 || status=$?
  grep -i 'fatal\|could not' "$out/old-socket.txt" || true
  if [ "$status" = 0 ] || [ "$status" = 124 ]; then
    fail "chronyd with /run/korvicd.sock: status $status, not an error"
  fi
  grep -q 'Could not open socket /run/korvicd.sock' "$out/old-socket.txt" \
    || fail "chronyd did not fail on /run/korvicd.sock"
  sleep 1
  journal_after "$mark" | grep 'apparmor="DENIED"' | grep -F 'name="/run/korvicd.sock"' \
    || fail "no apparmor=\"DENIED\" for /run/korvicd.sock"
  is_active chrony || fail "chrony.service is $(systemctl is-active chrony) afterwards"
  echo "chrony.service still active"
}

run_checks
