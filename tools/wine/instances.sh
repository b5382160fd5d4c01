# Wine group `instances` (sourced by tools/wine-test.sh): several updaters
# started at the same moment, a few rounds; the named mutex lets exactly one
# of them run, so each round sends exactly one ping and one check.
instances_rounds=3
instances_count=3
instances_begin=$SECONDS
for round in $(seq "$instances_rounds"); do
  say "simultaneous starts, round $round of $instances_rounds"
  clear_values
  # The winner's ping is held so that it still runs while the others start.
  start_service --delay-zel 3000
  pids=()
  for _ in $(seq "$instances_count"); do
    timeout "$run_limit" wine "$program/updater.exe" >/dev/null 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || fail "simultaneous starts: an updater failed (124: still running after ${run_limit}s)"
  done
  [[ $(service_count) == 2 ]] ||
    fail "simultaneous starts, round $round: $(service_count) requests, expected 2 (one run)"
  expect_exchanges "simultaneous starts, round $round" 1
  expect_names "simultaneous starts" zel update_notification response_message response_url upgrade_before
  stop_service
done
say "simultaneous starts: $instances_rounds rounds in $((SECONDS - instances_begin))s"
