# Wine group `tls`: the Windows program built for an HTTPS endpoint, against
# the reference service over TLS with a throwaway CA that only this prefix
# trusts; and, for both builds, no redirect followed. Sourced by
# tools/wine-test.sh with its helpers and variables.

tls_build=build/windows-https
tls_port=8582
tls_program=$work/program-https
tls_ca=$work/ca

say "tls: building the HTTPS program ($tls_build, endpoint localhost:$tls_port)"
cmake --preset windows -B "$tls_build" -DWINM_SERVICE_SCHEME=https \
  -DWINM_SERVICE_HOSTPORT="localhost:$tls_port" >/dev/null
cmake --build "$tls_build" --target updater cellcore mmtimer >/dev/null
cp -r "$tls_build/program" "$tls_program"

say "tls: a test CA in the prefix's LOCAL_MACHINE Root store"
tools/make-test-ca.sh "$tls_ca"
openssl x509 -in "$tls_ca/ca.pem" -outform DER -out "$WINEPREFIX/drive_c/winm-test-ca.der"
x86_64-w64-mingw32-g++ -std=c++20 -municode -O2 -Wall -Wextra -Werror -static \
  -o "$work/addroot.exe" tools/wine/addroot.cpp -lcrypt32
timeout "$wine_limit" wine "$work/addroot.exe" 'C:\winm-test-ca.der' || fail "tls: addroot.exe"

# The service listens where the program's "localhost" goes first.
tls_listen=$(python3 -c 'import socket; print(socket.getaddrinfo("localhost", 0, type=socket.SOCK_STREAM)[0][4][0])')

# tls_service CERT [ARGS...]: the reference service over HTTPS with a test
# certificate, on the HTTPS program's endpoint.
tls_service() {
  local certificate=$1
  shift
  service_port=$tls_port start_service --listen "$tls_listen" --port "$tls_port" \
    --tls-cert "$tls_ca/$certificate.pem" --tls-key "$tls_ca/$certificate.key" "$@"
}

tls_run() { program=$tls_program run_wine WINM_LOG_LEVEL=1 "$@"; }

# tls_expect_failed WHAT CODE-TEXT: nothing stored but the failure mark, and
# level 1 names the code.
tls_expect_failed() {
  expect_names "$1" zel last_update_check
  expect_value "$1" zel REG_SZ kept
  expect_value "$1" last_update_check REG_DWORD 0x0
  grep -qF "update check failed: $2" "$work/wine.err" || {
    cat "$work/wine.err" >&2
    fail "$1: the log does not name $2"
  }
}

tls_keep() {
  clear_values
  wreg add "$plugin" /v zel /d kept /f >/dev/null 2>&1
}

say "tls: a verified service is answered and stored"
clear_values
tls_service good
tls_run
[[ $(service_count) == 2 ]] || fail "tls good: $(service_count) requests, expected 2"
expect_exchanges "tls good" 1
expect_names "tls good" zel update_notification response_message response_url upgrade_before
stop_service

for tls_case in "wrongname 12038" "expired 12037"; do
  read -r tls_cert tls_code <<<"$tls_case"
  say "tls: certificate $tls_cert fails with $tls_code"
  tls_keep
  tls_service "$tls_cert"
  tls_run
  [[ $(service_count) == 0 ]] || fail "tls $tls_cert: the service got a request"
  tls_expect_failed "tls $tls_cert" "wininetHttpError [0 $tls_code]"
  stop_service
done

# A proxy in the Internet Settings that answers CONNECT itself with a status
# and, for a blind attacker, an update check answer for every request id.
# The request code refuses the answer (Wine hands it over as the service's):
# a status that counts as an answer on plain HTTP is named with the code of
# a broken answer, the others by their status.
for tls_case in "302 wininetHttpError [302 12152]" "407 HTTP status 407"; do
  read -r tls_status tls_text <<<"$tls_case"
  say "tls: a proxy answering CONNECT with $tls_status is not taken for the service"
  tls_keep
  tls_service good
  rm -f "$work/hostile.port"
  python3 tools/hostile-proxy.py --status "$tls_status" --forge --port-file "$work/hostile.port" \
    --log "$work/hostile.log" 2>"$work/hostile.err" &
  proxy_pid=$!
  for _ in $(seq 100); do
    [[ -s $work/hostile.port ]] && break
    sleep 0.1
  done
  [[ -s $work/hostile.port ]] || fail "tls: the hostile proxy did not start"
  wreg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
  wreg add "$proxy_key" /v ProxyServer /d "http=127.0.0.1:1;https=127.0.0.1:$(cat "$work/hostile.port")" \
    /f >/dev/null 2>&1
  tls_run
  wreg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
  stop_pid "$proxy_pid"
  proxy_pid=
  grep -q "^CONNECT localhost:$tls_port " "$work/hostile.log" || fail "tls $tls_status: no CONNECT"
  [[ $(service_count) == 0 ]] || fail "tls $tls_status: the service got a request"
  tls_expect_failed "tls proxy $tls_status" "$tls_text"
  stop_service
done

say "tls: through a tunnelling proxy from the Internet Settings"
clear_values
tls_service good
start_tinyproxy
wreg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
wreg add "$proxy_key" /v ProxyServer /d "https=127.0.0.1:$proxy_port" /f >/dev/null 2>&1
tls_run
wreg add "$proxy_key" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null 2>&1
stop_pid "$proxy_pid"
proxy_pid=
[[ $(service_count) == 2 ]] || fail "tls tunnel: $(service_count) requests, expected 2"
expect_exchanges "tls tunnel" 1
expect_names "tls tunnel" zel update_notification response_message response_url upgrade_before
grep -q "CONNECT localhost:$tls_port " "$proxy_log" || {
  cat "$proxy_log" >&2
  fail "tls tunnel: the proxy saw no CONNECT to localhost:$tls_port"
}
stop_service

say "a service that answers 302 is not followed (plain HTTP build)"
tls_keep
rm -f "$work/target.port" "$work/redirect.port"
: >"$work/target.log"
: >"$work/redirect.log"
python3 tools/hostile-proxy.py --status 200 --port-file "$work/target.port" \
  --log "$work/target.log" 2>/dev/null &
tls_target_pid=$!
for _ in $(seq 100); do
  [[ -s $work/target.port ]] && break
  sleep 0.1
done
python3 tools/hostile-proxy.py --status 302 --port "$service_port" --port-file "$work/redirect.port" \
  --log "$work/redirect.log" 2>"$work/redirect.err" \
  --location "http://127.0.0.1:$(cat "$work/target.port")/m/appreq/mobilesearchapp" &
proxy_pid=$!
for _ in $(seq 100); do
  [[ -s $work/redirect.port ]] && break
  sleep 0.1
done
[[ -s $work/redirect.port ]] || { cat "$work/redirect.err" >&2; fail "redirect: the redirecting service did not start on $service_port"; }
run_wine
stop_pid "$proxy_pid"
proxy_pid=
stop_pid "$tls_target_pid"
[[ $(grep -c '^POST ' "$work/redirect.log") == 2 ]] || fail "redirect: expected the two POSTs"
[[ ! -s $work/target.log ]] || fail "redirect: the target got $(head -1 "$work/target.log")"
# The 302 holds no answer block: the ping writes its code back unchanged and
# the check fails.
expect_names "redirect" zel last_update_check
expect_value "redirect" zel REG_SZ kept
expect_value "redirect" last_update_check REG_DWORD 0x0
