#!/usr/bin/env bash
# The main job, start to end: builds what it needs, starts the reference
# update service on a free loopback port, runs the updater against it with
# a registry file of its own, shows both exchanges as the service decoded
# them and the registry values the run left, then runs the updater again to
# show the stored distribution code ("zel") going back to the service.
#
# Usage: tools/run-demo.sh [--https] [update-service options...]
#   e.g. tools/run-demo.sh --zel my-code --fail-check status
# --https runs the updater built for an HTTPS endpoint (the test build
# tests/updater_https) against the service over TLS, with a throwaway CA
# made for the run and named by SSL_CERT_FILE.
# (README lists the examples; tools/test.sh runs each of them.)
# WINM_DEMO_BUILD_DIR chooses the build directory (default build/default);
# WINM_LOG_LEVEL (default 1) how much the updater tells on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh

https=0
if [[ ${1:-} == --https ]]; then
  https=1
  shift
fi

build=${WINM_DEMO_BUILD_DIR:-build/default}
updater_target=updater
((https)) && updater_target=updater_https
echo "== building $updater_target, update-service and winmreg in $build"
cmake --preset default -B "$build" >/dev/null
cmake --build "$build" --target "$updater_target" update-service winmreg -j "$(nproc)" >/dev/null

updater=$build/updater/updater
service=$build/tools/update-service/update-service
winmreg=$build/tools/winmreg/winmreg
endpoint=$(sed -n 's/^WINM_SERVICE_ENDPOINT:INTERNAL=//p' "$build/CMakeCache.txt")
if ((https)); then
  updater=$build/tests/updater_https
  endpoint=$(sed -n 's/^WINM_TEST_HTTPS_HOSTPORT:INTERNAL=//p' "$build/CMakeCache.txt")
fi
key='HKLM\SOFTWARE\Ambrel\SearchPlugin'

work=$(mktemp -d "${TMPDIR:-/tmp}/winm-demo-XXXXXX")
mkdir -m 700 "$work/run"
service_pid=
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill -TERM "$service_pid"
    wait "$service_pid" || true
  fi
}
trap cleanup EXIT

tls=()
if ((https)); then
  echo "== a throwaway CA in $work/ca; the service's certificate names localhost"
  tools/make-test-ca.sh "$work/ca"
  tls=(--tls-cert "$work/ca/good.pem" --tls-key "$work/ca/good.key")
  # The updater trusts that CA alone.
  export SSL_CERT_FILE=$work/ca/ca.pem
  unset CURL_CA_BUNDLE SSL_CERT_DIR
fi

"$service" --port 0 --port-file "$work/port" --log "$work/requests.jsonl" "${tls[@]}" "$@" \
  2>"$work/service.err" &
service_pid=$!
for _ in $(seq 300); do
  [ -s "$work/port" ] && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$work/service.err" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/port" ] || { echo "run-demo: the service did not start" >&2; exit 1; }
port=$(cat "$work/port")
echo "== update-service listening on 127.0.0.1:$port (the updater's endpoint $endpoint is redirected there)"

export WINM_REGISTRY=$work/registry.sqlite3
export WINM_CONNECT_TO=$endpoint:127.0.0.1:$port
export XDG_RUNTIME_DIR=$work/run
export WINM_LOG_LEVEL=${WINM_LOG_LEVEL:-1}

show_requests() {
  python3 -c '
import json, sys
for line in open(sys.argv[1]):
    print(json.dumps(json.loads(line), indent=2))' "$work/requests.jsonl"
}

run_updater() {
  local started=$SECONDS status=0
  "$updater" || status=$?
  echo "== updater exited with code $status after $((SECONDS - started)) s"
}

echo "== first run: WINM_REGISTRY=$WINM_REGISTRY"
run_updater
echo "== the two exchanges as the service decoded them"
show_requests
echo "== the registry values the run left (winmreg query)"
"$winmreg" query "$key"
# A failed check leaves the answer values alone and writes the failure mark.
query_value() {
  "$winmreg" query "$key" /v "$1" 2>/dev/null | sed -n 's/.*REG_[A-Z_]* *//p' || true
}
deadline=$(query_value upgrade_before)
if [ -n "$deadline" ]; then
  echo "   (upgrade_before is $(date -u -d "@$((deadline))" '+%Y-%m-%d %H:%M:%S UTC'))"
fi
if [ -n "$(query_value last_update_check)" ]; then
  echo "   (last_update_check is set: the update check failed, the stored answer was kept)"
fi

echo "== second run: the stored \"zel\" goes back to the service"
run_updater
echo "== the second run's distribution ping as the service decoded it"
sed -n 3p "$work/requests.jsonl" | python3 -m json.tool
# After failed pings no code was ever stored.
"$winmreg" query "$key" /v zel 2>/dev/null || echo "   (no \"zel\" stored: the distribution ping failed)"

echo "== stopping the service; files of this run are in $work"
