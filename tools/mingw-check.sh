#!/usr/bin/env bash
# Compiles the system's own sources (not the host layer, not tests) against
# the real Windows headers of mingw-w64, as a syntax-only check, so the code
# keeps to what Win32 offers.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=x86_64-w64-mingw32-g++
command -v "$cxx" >/dev/null || { echo "mingw-check: $cxx not found (run tools/setup.sh)" >&2; exit 1; }

mapfile -t sources < <(find common updater -name '*.cpp' ! -name '*_test.cpp' ! -name '*_fuzz.cpp' | sort)
if ((${#sources[@]} == 0)); then
  echo "mingw-check: no sources yet"
  exit 0
fi
# The version is set once, in the top-level CMakeLists.txt.
version=$(sed -n 's/^project(winm_updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "mingw-check: no project version in CMakeLists.txt" >&2; exit 1; }
failed=0
for src in "${sources[@]}"; do
  if ! "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DUNICODE -D_UNICODE \
       -DWINM_SERVICE_HOSTPORT='"127.0.0.1:8580"' -DWINM_VERSION="\"$version\"" -I. -Iwince/include "$src"; then
    echo "mingw-check: FAILED $src" >&2
    failed=1
  fi
done
if ((failed)); then exit 1; fi
echo "mingw-check: ${#sources[@]} sources compile against the Windows headers"
