# Wine group "signed": the Windows program built with an answer key (its own
# binary dir, build/windows-signed; only the program targets) stores a
# signed answer and refuses a tampered one. The key pair is made on first
# use, in that binary dir, never in the sources.
signed_build=build/windows-signed
signed_keys=$signed_build/answer-key
if [[ ! -s $signed_keys/public.pem ]]; then
  mkdir -p "$signed_keys"
  openssl ecparam -name prime256v1 -genkey -noout -out "$signed_keys/private.pem" ||
    fail "signed: cannot make a key pair"
  openssl ec -in "$signed_keys/private.pem" -pubout -out "$signed_keys/public.pem" 2>/dev/null ||
    fail "signed: cannot write the public key"
fi
say "building the Windows program with answer key id 7 ($signed_build)"
cmake --preset windows -B "$signed_build" -DWINM_ANSWER_KEY="$root/$signed_keys/public.pem" \
  -DWINM_ANSWER_KEY_ID=7 >/dev/null || fail "signed: configuring $signed_build"
cmake --build "$signed_build" --target updater mmtimer cellcore >/dev/null ||
  fail "signed: building $signed_build"
signed_program=$work/program-signed
rm -rf "$signed_program"
cp -r "$signed_build/program" "$signed_program"
sign=(--sign-key "$signed_keys/private.pem" --sign-key-id 7)

say "signed: a signed answer is stored"
clear_values
start_service "${sign[@]}"
program=$signed_program run_wine
[[ $(service_count) == 2 ]] || fail "signed: $(service_count) requests, expected 2"
expect_exchanges "signed" 1
key1=$(service_field 1 'r.get("winm_key")')
key2=$(service_field 2 'r.get("winm_key")')
[[ $key1 =~ ^7:[0-9a-f]{32}$ && $key2 =~ ^7:[0-9a-f]{32}$ && $key1 != "$key2" ]] ||
  fail "signed: the requests carried Winm-Key '$key1' and '$key2'"
expect_names "signed" zel update_notification response_message response_url upgrade_before
stop_service

# signed_refused WHAT TEXT SERVICE-ARGS...: the answer is refused, nothing is
# stored but the failure mark, and level 1 names the reason.
signed_refused() {
  local what=$1 text=$2
  shift 2
  say "signed: $what is refused"
  clear_values
  wreg add "$plugin" /v zel /d kept /f >/dev/null 2>&1
  start_service "$@"
  program=$signed_program run_wine WINM_LOG_LEVEL=1
  [[ $(service_count) == 2 ]] || fail "$what: $(service_count) requests, expected 2"
  expect_names "$what" zel last_update_check
  expect_value "$what" zel REG_SZ kept
  expect_value "$what" last_update_check REG_DWORD 0x0
  # stderr ends its lines with CR LF.
  tr -d '\r' <"$work/wine.err" | grep -qxF "**W: update check failed: $text" ||
    fail "$what: level 1 does not say why: $(tr -d '\r' <"$work/wine.err" | head -c 400)"
  stop_service
}
signed_refused "an answer changed after signing" "the answer's signature does not verify" \
  "${sign[@]}" --sign-fault body --zel changed
signed_refused "an unsigned answer" "the answer's signature is missing"
signed_refused "an answer signed under another key id" \
  "the answer's signature does not verify: made with key id 8, this build has key id 7" \
  --sign-key "$signed_keys/private.pem" --sign-key-id 8
# A signature over another request's nonce: an answer replayed or meant for
# another request.
signed_refused "an answer signed for another request" "the answer's signature does not verify" \
  "${sign[@]}" --sign-fault nonce
