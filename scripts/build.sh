#!/usr/bin/env bash
# build.sh [DIR [CMAKE OPTIONS...]]: configures and builds DVL into DIR (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir"
