#!/usr/bin/env bash
# Installs what DVL needs, builds it and runs every test: the plain build, the whole suite again
# under address and undefined-behaviour sanitizers (leaks included), the thread sanitizer over the
# tests that exercise concurrency (the bounded load run among them, server included), then each
# fuzz target for a short while. The plain run includes installing into a scratch prefix and building
# the examples against it; the Debian packages are then made and checked. Tests labelled "long" (the full load run) are left out; their
# bounded forms run with the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
root=$(pwd)

scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j "$jobs" -LE long)

# The Debian packages, made and checked as a user would get them.
scripts/package.sh
scripts/check-packages.sh

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDVL_SANITIZE=address
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp" \
   UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs" -LE long)

# Only the programs of the tests that run here are built; the plain build, built whole, knows them.
tsan_tests='Concurrent|^reliability_load$'
tsan_targets=$(cd build && ctest --show-only=json-v1 -R "$tsan_tests" | python3 -c '
import json, os, sys
print(" ".join(sorted({os.path.basename(t["command"][0]) for t in json.load(sys.stdin)["tests"]})))')
DVL_TARGETS=$tsan_targets scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDVL_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp" \
   ctest --output-on-failure -j "$jobs" -R "$tsan_tests")

scripts/fuzz.sh "${DVL_FUZZ_SECONDS:-20}"
