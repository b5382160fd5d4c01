#!/usr/bin/env bash
# Installs what building, testing and running the project needs on a fresh
# Debian machine (run as root). Does nothing when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libsqlite3-dev libicu-dev libcpp-httplib-dev
  pkgconf g++-mingw-w64-x86-64 tinyproxy sqlite3 python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages and not root; install them with apt-get" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
