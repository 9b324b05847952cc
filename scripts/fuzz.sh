#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the libFuzzer targets with clang and runs each for SECONDS (default 60)
# from its seed corpus. A finding stops the run with the crashing input written under fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
fuzzers=$(cd fuzz && ls ./*_fuzzer.cpp | sed 's|^./||; s|[.]cpp$||')
CC=clang CXX=clang++ DVL_TARGETS="$fuzzers" scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDVL_FUZZ=ON -DDVL_TESTS=OFF -DDVL_SANITIZE=fuzz
for fuzzer in build-fuzz/bin/*_fuzzer; do
  name=$(basename "$fuzzer" _fuzzer)
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  echo "fuzzing $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -max_len=65536 -artifact_prefix=fuzz/ "$work" 2>&1 | tail -n 3
  rm -rf "$work"
done
