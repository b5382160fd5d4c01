#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target (each *_fuzz.cpp in
# the tree) for SECONDS each, starting from a copy of its committed seed
# corpus (DIR/corpus/<target> beside the source), so runs never write into
# the repository. Exits non-zero when any target finds something; the
# inputs that did are kept and their paths printed.
# Usage: tools/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target winm_fuzzers -j "$(nproc)"

work=$(mktemp -d /tmp/winm-fuzz.XXXXXX)
failed=()
while IFS= read -r src; do
  name=$(basename "$src" .cpp)
  binary=$(find build/fuzz -name "$name" -type f -perm -u+x | head -n 1)
  seeds=$(dirname "$src")/corpus/$name
  if [[ -z "$binary" || ! -d "$seeds" ]]; then
    echo "fuzz: $name has no built target or no corpus at $seeds" >&2
    failed+=("$name")
    continue
  fi
  mkdir -p "$work/$name/corpus" "$work/$name/findings"
  cp -r "$seeds/." "$work/$name/corpus/"
  if "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$work/$name/findings/" "$work/$name/corpus" >"$work/$name/log" 2>&1; then
    stats=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$name/log" | tail -n 1 || true)
    echo "fuzz: $name ok: ${stats:-no stats}"
  else
    echo "fuzz: $name FOUND A FAULT; log $work/$name/log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$work/$name/log" >&2 || true
    failed+=("$name")
  fi
done < <(find . -path ./build -prune -o -name '*_fuzz.cpp' -print | sort)

if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]} (inputs and logs kept in $work)" >&2
  exit 1
fi
rm -rf "$work"
