#!/usr/bin/env bash
# Builds the Debian package with cpack and tries it out without installing
# it: its control data, then the programs unpacked into a temporary root,
# where the updater runs against the reference service with a registry and a
# runtime directory of its own, and the units as systemd reads them (required
# when CI is set, as .ci/run sets it; skipped with a note elsewhere).
# Usage: package_test.sh BUILD-DIR VERSION SERVICE-HOSTPORT SERVICE-URL [KEY-ID]
set -euo pipefail
build=$1 version=$2 endpoint=$3 url=$4 key_id=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/winm-package-XXXXXX")
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package_test: $*" >&2
  exit 1
}

# cpack works in a directory of the test's own, not in the build tree.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/*.deb)
((${#debs[@]} == 1)) || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}

# Control data: the version is the project's, Depends came from the
# programs' libraries, and no maintainer script runs at install or removal.
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libcurl4 libsqlite3-0; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
dpkg-deb -e "$deb" "$work/control"
scripts=$(ls "$work/control" | grep -v -x -e control -e md5sums || true)
[ -z "$scripts" ] || fail "maintainer scripts in the package: $scripts"

root=$work/root
dpkg-deb -x "$deb" "$root"
[ -s "$root/usr/share/doc/winm-updater/copyright" ] || fail "no copyright file"
for program in "$root"/usr/bin/*; do
  [ -f "$root/usr/share/man/man1/$(basename "$program").1.gz" ] ||
    fail "no man page for $(basename "$program")"
done

updater=$root/usr/bin/winm-updater
"$updater" --help >"$work/help" || fail "--help failed"
grep -q WINM_REGISTRY "$work/help" || fail "--help does not name the registry variable"
grep -qF "$url" "$work/help" || fail "--help does not name the endpoint $url"
"$updater" --version >"$work/version" || fail "--version failed"
[ "$(sed -n 1p "$work/version")" = "winm-updater $version" ] || fail "--version is not $version"
[ "$(sed -n 2p "$work/version")" = "endpoint $url" ] || fail "--version does not name $url"
key_line="no answer key built in"
[ -z "$key_id" ] || key_line="answer key id $key_id"
[ "$(sed -n 3p "$work/version")" = "$key_line" ] || fail "--version does not say \"$key_line\""

# One run against the unpacked reference service, at the default log level:
# warnings would show, and a good run prints none.
env -u http_proxy -u HTTP_PROXY -u no_proxy -u NO_PROXY \
  "$root/usr/bin/winm-update-service" --port 0 --port-file "$work/port" \
  --log "$work/requests.jsonl" 2>"$work/service.err" &
service_pid=$!
for _ in $(seq 300); do
  [ -s "$work/port" ] && break
  kill -0 "$service_pid" 2>/dev/null || fail "the service exited: $(cat "$work/service.err")"
  sleep 0.1
done
[ -s "$work/port" ] || fail "the service did not start"
mkdir -m 700 "$work/run"
export WINM_REGISTRY=$work/registry.sqlite3 XDG_RUNTIME_DIR=$work/run
env -u http_proxy -u HTTP_PROXY -u WINM_LOG_LEVEL \
  WINM_CONNECT_TO="$endpoint:127.0.0.1:$(cat "$work/port")" \
  timeout 120 "$updater" 2>"$work/updater.err" || fail "the updater failed"
[ ! -s "$work/updater.err" ] || fail "the run warned: $(cat "$work/updater.err")"
[ "$(wc -l <"$work/requests.jsonl")" -eq 2 ] || fail "the service did not see both requests"
"$root/usr/bin/winmreg" query 'HKLM\SOFTWARE\Ambrel\SearchPlugin' /v zel | grep -q zel-2026-ref ||
  fail "the run did not store the distribution code"

# The units as systemd reads them. The service names the program where the
# package puts it; systemd-analyze checks that path on this machine, so it
# checks a copy pointing into the unpacked root.
units=$root/usr/lib/systemd/user
exec_start=$(sed -n 's/^ExecStart=//p' "$units/winm-updater.service")
[ -x "$root$exec_start" ] || fail "ExecStart=$exec_start is not in the package"
if command -v systemd-analyze >/dev/null; then
  mkdir "$work/units"
  sed "s|^ExecStart=|ExecStart=$root|" "$units/winm-updater.service" >"$work/units/winm-updater.service"
  cp "$units/winm-updater.timer" "$work/units/"
  # Any complaint about our units fails the test, also those systemd only
  # warns about; the machine's own units may draw warnings that are not ours.
  verify() {
    out=$(MANPATH=$root/usr/share/man systemd-analyze verify --user \
      "$work/units/winm-updater.service" "$work/units/winm-updater.timer" 2>&1) ||
      fail "systemd-analyze verify$1: $out"
    ours=$(printf '%s\n' "$out" | grep -e 'winm-updater' -e 'endpoint.conf' || true)
    [ -z "$ours" ] || fail "systemd-analyze verify$1: $ours"
  }
  verify ""
  # The example drop-in, where README puts it, beside the service.
  example=$root/usr/share/doc/winm-updater/examples/endpoint.conf
  [ -s "$example" ] || fail "no example drop-in"
  mkdir "$work/units/winm-updater.service.d"
  sed 's/^#Environment=/Environment=/' "$example" >"$work/units/winm-updater.service.d/endpoint.conf"
  verify " with the example drop-in"
elif [ -n "${CI:-}" ] && [ "${CI:-}" != false ]; then
  fail "systemd-analyze not found: under CI the units must be verified (tools/setup.sh --test installs it)"
else
  echo "package_test: no systemd-analyze, units not verified"
fi
echo "package_test: $(basename "$deb"), $(stat -c %s "$deb") bytes; Depends: $depends"
