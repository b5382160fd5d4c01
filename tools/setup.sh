#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine (run as root).
# Does nothing when everything is present.
#
# Usage: tools/setup.sh          what building, packaging and running need
#        tools/setup.sh --test   that plus what the test suites need
set -euo pipefail

# Building, packaging (cpack -G DEB) and running. The unit-test libraries are
# here because configuring the project looks for them.
build_packages=(
  cmake
  dpkg-dev
  file
  g++
  libbenchmark-dev
  libcpp-httplib-dev
  libcurl4-openssl-dev
  libgmock-dev
  libgtest-dev
  libicu-dev
  libsqlite3-dev
  libssl-dev
  ninja-build
  openssl
  pkgconf
  python3
  scdoc
)

# Only the tests: the Windows build (cross compilers, the installer tools wixl
# and msiinfo), the proxy, the fuzzing compiler, tools the tests call
# (msiextract, xmllint, systemd-analyze, and man for the units' Documentation=).
# Add a test-only package here, one a line, in order.
test_packages=(
  clang
  curl
  g++-mingw-w64-x86-64
  g++-mingw-w64-x86-64-posix
  googletest
  libclang-rt-14-dev
  libxml2-utils
  locales
  man-db
  msitools
  sqlite3
  systemd
  tinyproxy
  wine
  wine64
  wixl
)

case "${1:-}" in
  "") packages=("${build_packages[@]}") ;;
  --test) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: tools/setup.sh [--test]" >&2
    exit 2
    ;;
esac

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

# The Wine stage's language case needs the German locale.
if [[ ${1:-} == --test ]] && ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "setup: generating the de_DE.UTF-8 locale"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: locale de_DE.UTF-8 missing and not root; add it to /etc/locale.gen and run locale-gen" >&2
    exit 1
  fi
  if grep -q '^# *de_DE.UTF-8 UTF-8' /etc/locale.gen; then
    sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  else
    echo 'de_DE.UTF-8 UTF-8' >>/etc/locale.gen
  fi
  locale-gen
fi
