#!/usr/bin/env bash
# build.sh [DIR [CMAKE OPTIONS...]]: configures and builds DVL into DIR (default: build).
# DVL_TARGETS, when set, names the only targets to build. ccache is used when it is installed; the
# build trees then share compiled objects (the package build reuses the plain build's, say).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Objects are keyed by paths relative to the checkout, so that build/ and build-package/ share them.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
# shellcheck disable=SC2086 # DVL_TARGETS is a list of names
cmake --build "$dir" ${DVL_TARGETS:+--target $DVL_TARGETS}
