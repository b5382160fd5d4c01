#!/usr/bin/env bash
# The Wine stage: builds the Windows program (preset `windows`) and runs it,
# and the cross-compiled unit tests, under Wine against the Linux reference
# update service on loopback. Headless: a private WINEPREFIX for the run, the
# null graphics driver, WINEDEBUG=-all, wineserver stopped at the end.
#
# updater.exe talks to the endpoint it was built with (127.0.0.1:8580 by
# default), so the service listens there; runs of this script take turns
# through a lock file.
#
# Usage: tools/wine-test.sh            (after tools/setup.sh)
# The last case, a service that takes the update check and never answers it,
# takes about two minutes (the exchange ends at its 120 s bound);
# WINM_WINE_SILENT_CASE=0 leaves it out.
#
# WINM_WINE_GROUPS names the groups to run (default: all): `unit` (the
# cross-compiled unit tests), `base` (the cases below), `silent` (the silent
# service) and one group for each file tools/wine/NAME.sh, which is sourced
# after the base cases with every helper of this script at hand.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

linux_build=build/default
win_build=build/windows
service_hostport=127.0.0.1:8580
service_port=${service_hostport##*:}
run_limit=60 # seconds any single updater run may take
wine_limit=300 # seconds any other Wine command (wineboot, reg) may take

started=$SECONDS
groups=" ${WINM_WINE_GROUPS:-all} "
# want GROUP: the group is to run.
want() { [[ $groups == *" all "* || $groups == *" $1 "* ]]; }
say() { printf '=== wine: %s\n' "$*"; }
fail() {
  printf 'wine-test: FAILED: %s\n' "$*" >&2
  exit 1
}

for tool in wine wineboot wineserver tinyproxy python3; do
  command -v "$tool" >/dev/null || fail "$tool not found (run tools/setup.sh)"
done
locale -a 2>/dev/null | grep -qix 'de_DE.utf8' || fail "locale de_DE.UTF-8 missing (run tools/setup.sh)"

say "building (presets windows and default)"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset default >/dev/null
cmake --build --preset default --target updater update-service winmreg

work=$(mktemp -d /tmp/winm-wine.XXXXXX)
service_pid=
proxy_pid=
cleanup() {
  [[ -n $service_pid ]] && kill "$service_pid" 2>/dev/null
  [[ -n $proxy_pid ]] && kill "$proxy_pid" 2>/dev/null
  if [[ -d ${WINEPREFIX:-} ]]; then timeout 30 wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

exec 9>/tmp/winm-wine-test.lock
flock -w 600 9 || fail "another Wine stage holds /tmp/winm-wine-test.lock"

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko prompts: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY LANG LC_ALL LC_MESSAGES
say "creating the Wine prefix"
timeout "$wine_limit" wineboot -i >/dev/null 2>&1 || fail "wineboot"
wreg() { timeout "$wine_limit" wine reg "$@"; }
wreg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# The driver setting counts only once the wineserver that wineboot started
# has exited.
timeout "$wine_limit" wineserver -w || fail "the wineserver did not exit"

if want unit; then
  say "unit tests of common/ and desktop/ under Wine"
  ctest --preset windows -j 2 >"$work/ctest.log" 2>&1 || {
    cat "$work/ctest.log"
    fail "unit tests"
  }
  grep -E 'tests passed' "$work/ctest.log"
  # The platform layer's tests are among them (a build that dropped one
  # would otherwise pass unnoticed).
  for t in winmappeventhandler_test winmworkerthread_test winmheaderfielditerator_test \
    winmhttpfactory_test winmhttprequest_test winmhttpcancel_test; do
    grep -qE "Test +#[0-9]+: $t \.+ +Passed" "$work/ctest.log" || fail "unit test $t did not run under Wine"
  done
fi

program=$work/program
cp -r "$win_build/program" "$program"
plugin='HKLM\SOFTWARE\Ambrel\SearchPlugin'
proxy_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
export WINM_REGISTRY=$work/linux-registry.sqlite3 XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
winmreg=$linux_build/tools/winmreg/winmreg

# ---- helpers --------------------------------------------------------------

# start_service ARGS...: the reference service on the updater's endpoint.
start_service() {
  : >"$work/service.log"
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    "$linux_build/tools/update-service/update-service" --listen 127.0.0.1 --port "$service_port" \
      --log "$work/service.log" "$@" 2>"$work/service.err" &
    service_pid=$!
    for _ in $(seq 50); do
      grep -q 'listening on' "$work/service.err" && return 0
      kill -0 "$service_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_pid "$service_pid"
    service_pid=
    sleep 1 # the port may still be in use by another program
  done
  cat "$work/service.err" >&2
  fail "the reference service cannot listen on $service_hostport"
}

# stop_pid PID: ends a process we started, forcibly after 10 s.
stop_pid() {
  kill "$1" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

stop_service() {
  if [[ -n $service_pid ]]; then
    stop_pid "$service_pid"
    service_pid=
  fi
}

# wait_for_requests N SECONDS: the service has logged N requests (it logs on
# arrival), within SECONDS.
wait_for_requests() {
  local deadline=$((SECONDS + $2))
  while (($(service_count) < $1)); do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# run_wine [ENV=VALUE...]: one run of updater.exe from $program; checks exit 0
# within the limit and leaves the run's seconds in $run_seconds.
run_wine() {
  local begin=$SECONDS rc=0
  env "$@" timeout "$run_limit" wine "$program/updater.exe" >"$work/wine.out" 2>"$work/wine.err" || rc=$?
  run_seconds=$((SECONDS - begin))
  ((rc == 0)) || {
    cat "$work/wine.err" >&2
    fail "updater.exe exited with $rc (124: still running after ${run_limit}s)"
  }
}

run_linux() {
  local rc=0
  env "$@" timeout "$run_limit" "$linux_build/updater/updater" >/dev/null 2>"$work/linux.err" || rc=$?
  ((rc == 0)) || fail "the Linux updater exited with $rc"
}

# The plug-in values as "name type data" lines, sorted; empty when the key is
# missing. Both `reg` and `winmreg` print "    NAME    TYPE    DATA".
values_wine() {
  { wreg query "$plugin" 2>/dev/null || true; } | tr -d '\r' |
    awk -F'    ' 'NF >= 3 && $1 == "" {print $2 "\t" $3 "\t" $4}' | sort
}
values_linux() {
  { "$winmreg" query "$plugin" 2>/dev/null || true; } |
    awk -F'    ' 'NF >= 3 && $1 == "" {print $2 "\t" $3 "\t" $4}' | sort
}

clear_values() {
  wreg delete "$plugin" /f >/dev/null 2>&1 || true
  "$winmreg" delete "$plugin" /f >/dev/null 2>&1 || true
}

# expect_same_values WHAT: Wine's stored values equal the Linux build's,
# value by value and type by type.
expect_same_values() {
  values_wine >"$work/values.wine"
  values_linux >"$work/values.linux"
  if ! diff -u "$work/values.linux" "$work/values.wine" >"$work/values.diff"; then
    cat "$work/values.diff" >&2
    fail "$1: Wine and Linux stored different values (- Linux, + Wine)"
  fi
}

# expect_names WHAT NAME...: exactly these values are stored under Wine.
expect_names() {
  local what=$1
  shift
  local want got
  want=$(printf '%s\n' "$@" | sort)
  got=$(values_wine | cut -f1)
  [[ $got == "$want" ]] || fail "$what: stored values are [$(echo $got)], expected [$(echo $want)]"
}

expect_value() { # WHAT NAME TYPE DATA
  local line
  line=$(values_wine | awk -F'\t' -v n="$2" '$1 == n')
  [[ $line == "$2"$'\t'"$3"$'\t'"$4" ]] || fail "$1: $2 is '$line', expected $3 $4"
}

# service_field N EXPR: a field of the service's Nth log line (1-based).
service_field() {
  python3 - "$work/service.log" "$1" "$2" <<'EOF'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
n = int(sys.argv[2])
if n > len(lines):
    print("<none>")
else:
    value = eval(sys.argv[3], {}, {"r": lines[n - 1]})
    print(value if value is not None else "<none>")
EOF
}

service_count() { grep -c . "$work/service.log" || true; }

# expect_exchanges WHAT FIRST: lines FIRST and FIRST+1 are a valid ping and a
# valid check, both answered.
expect_exchanges() {
  local n=$2
  [[ $(service_field "$n" 'r["type"]') == "k:zel" ]] || fail "$1: request $n is not the ping"
  [[ $(service_field $((n + 1)) 'r["type"]') == "k:upg/gn" ]] || fail "$1: request $((n + 1)) is not the check"
}

# start_tinyproxy: a tunnelling proxy on a free loopback port; leaves
# $proxy_port, $proxy_pid and its log in $proxy_log.
start_tinyproxy() {
  proxy_pid=
  for _ in 1 2 3 4 5; do
    proxy_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    proxy_log=$work/tinyproxy-$proxy_port.log
    cat >"$work/tinyproxy.conf" <<EOF
Port $proxy_port
Listen 127.0.0.1
Timeout 60
LogFile "$proxy_log"
LogLevel Info
MaxClients 20
Allow 127.0.0.1
EOF
    tinyproxy -d -c "$work/tinyproxy.conf" >/dev/null 2>&1 &
    proxy_pid=$!
    for _ in $(seq 100); do
      grep -q 'Accepting connections' "$proxy_log" 2>/dev/null && return 0
      kill -0 "$proxy_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_pid "$proxy_pid"
    proxy_pid=
  done
  fail "tinyproxy did not start"
}

# ---- cases ----------------------------------------------------------------

normal_seconds=-
down_seconds=-
if want base; then
base_begin=$SECONDS
say "normal run"
clear_values
start_service
run_wine
normal_seconds=$run_seconds
[[ $(service_count) == 2 ]] || fail "normal run: $(service_count) requests, expected 2"
expect_exchanges "normal run" 1
[[ $(service_field 1 'r["reply"]') == answer && $(service_field 2 'r["reply"]') == answer ]] ||
  fail "normal run: the service did not answer both requests"
[[ $(service_field 1 'r["message"]["zel"]') == "" ]] || fail "normal run: a zel was sent"
expect_names "normal run" zel update_notification response_message response_url upgrade_before
run_linux
expect_same_values "normal run"

say "second run sends the stored zel back"
run_wine
run_linux
[[ $(service_field 5 'r["message"]["zel"]') == zel-2026-ref ]] || fail "second run: zel not sent back"
[[ $(service_field 7 'r["message"]["zel"]') == zel-2026-ref ]] || fail "second run (Linux): zel not sent back"
expect_same_values "second run"
stop_service

say "failed ping keeps zel, the check still runs"
start_service --fail-zel status --zel other-code
run_wine
run_linux
[[ $(service_count) == 4 ]] || fail "failed ping: $(service_count) requests, expected 4"
expect_exchanges "failed ping" 1
expect_value "failed ping" zel REG_SZ zel-2026-ref
expect_same_values "failed ping"
stop_service

say "failed check writes only last_update_check = 0"
clear_values
start_service --fail-check status
run_wine
run_linux
expect_names "failed check" zel last_update_check
expect_value "failed check" last_update_check REG_DWORD 0x0
expect_same_values "failed check"
stop_service

say "connection closed after the headers of the check"
clear_values
start_service --fail-check close
run_wine
run_linux
expect_names "closed check" zel last_update_check
expect_same_values "closed check"
stop_service

say "service down"
clear_values
wreg add "$plugin" /v zel /d kept /f >/dev/null 2>&1
"$winmreg" add "$plugin" /v zel /d kept /f >/dev/null
run_wine WINM_LOG_LEVEL=1
down_seconds=$run_seconds
run_linux
expect_names "service down" zel last_update_check
expect_value "service down" zel REG_SZ kept
expect_same_values "service down"
# The warning gives the WinInet code and what it means (stderr ends its
# lines with CR LF).
tr -d '\r' <"$work/wine.err" |
  grep -qxF "**W: update check failed: wininetHttpError [0 12029] (cannot connect to $service_hostport)" || {
  cat "$work/wine.err" >&2
  fail "service down: the log does not say the service cannot be reached"
}

say "single instance"
clear_values
# The ping's answer is held long enough for a second Wine start under load.
start_service --delay-zel 15000
timeout "$run_limit" wine "$program/updater.exe" >/dev/null 2>&1 &
first=$!
# The first holds its window before it sends its ping.
wait_for_requests 1 "$run_limit" || {
  stop_pid "$first"
  fail "single instance: the first updater sent no ping within ${run_limit}s"
}
run_wine
kill -0 "$first" 2>/dev/null || fail "single instance: the first updater ended before the second"
wait "$first" || fail "single instance: the first updater failed (124: still running after ${run_limit}s)"
[[ $(service_count) == 2 ]] || fail "single instance: $(service_count) requests, expected 2 (the first's)"
expect_names "single instance" zel update_notification response_message response_url upgrade_before
stop_service

say "proxy from the Internet Settings"
start_tinyproxy
clear_values
start_service
wreg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
wreg add "$proxy_key" /v ProxyServer /d "http=127.0.0.1:$proxy_port;https=127.0.0.1:1" /f >/dev/null 2>&1
run_wine
run_linux http_proxy="http://127.0.0.1:$proxy_port"
[[ $(service_count) == 4 ]] || fail "proxy: $(service_count) requests, expected 4"
expect_exchanges "proxy" 1
for n in 1 2; do
  [[ $(service_field $n 'r.get("via") or ""') == *tinyproxy* ]] || fail "proxy: request $n did not pass the proxy"
done
(($(grep -c 'mobilesearchapp' "$proxy_log") >= 4)) || fail "proxy: the proxy log lacks the exchanges"
expect_same_values "proxy"
say "malformed proxy setting means a direct connection"
wreg add "$proxy_key" /v ProxyServer /d "http=127.0.0.1:notaport" /f >/dev/null 2>&1
run_wine
[[ $(service_count) == 6 ]] || fail "malformed proxy: $(service_count) requests, expected 6"
[[ $(service_field 5 'r.get("via") or ""') != *tinyproxy* ]] || fail "malformed proxy: went through the proxy"
wreg add "$proxy_key" /v ProxyServer /t REG_DWORD /d 7 /f >/dev/null 2>&1
run_wine
[[ $(service_count) == 8 ]] || fail "unreadable proxy: $(service_count) requests, expected 8"
wreg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
kill "$proxy_pid" 2>/dev/null
proxy_pid=
stop_service

say "language"
start_service
timeout 30 wineserver -k 2>/dev/null || true
run_wine LANG=de_DE.UTF-8
run_linux LANG=de_DE.UTF-8
wine_language=$(service_field 1 'r["client"]["language"]')
linux_language=$(service_field 3 'r["client"]["language"]')
[[ $wine_language == de ]] || fail "language: Wine sent '$wine_language', expected de"
[[ $linux_language == de ]] || fail "language: Linux sent '$linux_language', expected de"
timeout 30 wineserver -k 2>/dev/null || true
stop_service

say "without mmtimer.dll"
clear_values
start_service
mv "$program/mmtimer.dll" "$work/"
run_wine
mv "$work/mmtimer.dll" "$program/"
[[ $(service_count) == 2 ]] || fail "without mmtimer: $(service_count) requests, expected 2"
expect_exchanges "without mmtimer" 1
expect_names "without mmtimer" zel update_notification response_message response_url upgrade_before

say "without cellcore.dll"
clear_values
mv "$program/cellcore.dll" "$work/"
run_wine
mv "$work/cellcore.dll" "$program/"
[[ $(service_count) == 2 ]] || fail "without cellcore: a request was sent"
expect_names "without cellcore" last_update_check
expect_value "without cellcore" last_update_check REG_DWORD 0x0
stop_service
say "base cases passed in $((SECONDS - base_begin))s"
fi # base

if want silent && [[ ${WINM_WINE_SILENT_CASE:-1} == 1 ]]; then
  # Under Wine, closing the handles does not end a blocked WinInet call and
  # its own time-outs are not applied; the window timer's bound still ends the
  # exchange, as a failure. Only the check is held, so the case costs one
  # bound, not two.
  say "a service that takes the update check and never answers it"
  clear_values
  start_service --delay-check 600000
  # The exchange's bound is 120 s; 10 s more for Wine's start and the ping.
  # The outer limit stays wider so that an overrun is reported as one.
  silent_bound=130
  run_limit=200 run_wine
  echo "silent service: run ended after ${run_seconds}s"
  ((run_seconds <= silent_bound)) ||
    fail "silent service: the run took ${run_seconds}s, more than ${silent_bound}s"
  stop_service
  expect_names "silent service" zel last_update_check
  expect_value "silent service" last_update_check REG_DWORD 0x0
fi

for group_file in tools/wine/*.sh; do
  [[ -e $group_file ]] || continue
  group=$(basename "$group_file" .sh)
  want "$group" || continue
  say "group $group"
  group_begin=$SECONDS
  # shellcheck source=/dev/null
  source "$group_file"
  stop_service
  say "group $group passed in $((SECONDS - group_begin))s"
done

timeout 30 wineserver -k 2>/dev/null || true
say "all cases passed in $((SECONDS - started))s (normal run ${normal_seconds}s, service down ${down_seconds}s)"
