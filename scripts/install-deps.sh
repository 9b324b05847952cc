#!/usr/bin/env bash
# Installs the Debian packages DVL builds, tests and benchmarks with. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  libxml2-dev libxml2-utils libcurl4-openssl-dev libssl-dev openssl zlib1g-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql haproxy libcpp-httplib-dev libcli11-dev nlohmann-json3-dev libmicrohttpd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  dpkg-dev file lintian
  gsoap libgsoap-dev doxygen man-db ccache
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
