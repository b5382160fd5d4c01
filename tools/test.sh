#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests the plain,
# ASan+UBSan and TSan presets, runs the mingw-w64 compile check and runs every
# fuzz target for 10 s.
# Usage: tools/test.sh [preset...]   (default: default asan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
presets=("$@")
if ((${#presets[@]} == 0)); then presets=(default asan tsan); fi

jobs=$(nproc)
for p in "${presets[@]}"; do
  echo "=== preset $p"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j "$jobs"
  ctest --preset "$p" -j "$jobs"
done

echo "=== mingw-w64 compile check"
tools/mingw-check.sh

echo "=== fuzz smoke"
tools/fuzz.sh 10
