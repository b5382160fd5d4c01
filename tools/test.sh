#!/usr/bin/env bash
# Runs every test: installs what is missing (tools/setup.sh --test), then
# builds and tests the plain, ASan+UBSan and TSan presets, runs the Wine stage
# (the Windows build and its unit tests under Wine) and runs every fuzz target
# for 10 s.
# Usage: tools/test.sh [preset...]   (default: default asan tsan)
# `windows` among the presets runs the Wine stage alone.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh --test
presets=("$@")
wine_stage=0
if ((${#presets[@]} == 0)); then
  presets=(default asan tsan)
  wine_stage=1
fi

jobs=$(nproc)
for p in "${presets[@]}"; do
  if [[ $p == windows ]]; then
    wine_stage=1
    continue
  fi
  echo "=== preset $p"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j "$jobs"
  ctest --preset "$p" -j "$jobs"
done

# The main job as README shows it: every example must end with exit code 0.
echo "=== README examples of tools/run-demo.sh"
mapfile -t examples < <(grep -E '^    tools/run-demo\.sh( |$)' README.md)
for example in "${examples[@]}"; do
  read -r -a words <<<"$example"
  echo "--- ${words[*]}"
  WINM_DEMO_BUILD_DIR=build/default "${words[@]}" >/dev/null
done

if ((wine_stage)); then
  echo "=== Wine stage"
  tools/wine-test.sh
fi

echo "=== fuzz smoke"
tools/fuzz.sh 10
