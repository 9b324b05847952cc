#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them, then prints each figure beside its gSOAP peer
# (generated from our WSDL at build time) and its floor, as ratios, with the targets.
#
#   bench/run.sh                 all four programs
#   bench/run.sh micro small_call   only those (micro, small_call, large_reply, attachment, scale,
#                                   slow_clients)
#
# DVL_BENCH_BUILD   build directory (default build-bench at the repository root)
# DVL_BENCH_ROUNDS  rounds of each case and its floor, interleaved; the median counts (default 5)
# DVL_BENCH_ATTACHMENT_ROUNDS  the same for the 1 GiB cases (default 3)
# DVL_BENCH_DIR     where the 1 GiB files go (default /dev/shm when it has room, else $TMPDIR)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${DVL_BENCH_BUILD:-$root/build-bench}
rounds=${DVL_BENCH_ROUNDS:-5}
attachmentRounds=${DVL_BENCH_ATTACHMENT_ROUNDS:-3}
results=$build/bench-results

programs=("$@")
[ ${#programs[@]} -eq 0 ] && programs=(micro small_call large_reply attachment)

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDVL_BENCH=ON >/dev/null
# Only what the benchmarks need: the rest of the tree is not theirs to wait for.
ninja -C "$build" dvl-contentd "${programs[@]/%/_bench}" >/dev/null

# The 1 GiB document and the server's copies of it live in one scratch directory, removed on exit
# whatever happens: in memory when /dev/shm has room, so that disk write-back does not blur figures.
if [ -z "${DVL_BENCH_DIR:-}" ]; then
  parent=/dev/shm
  available=$(df -Pk "$parent" 2>/dev/null | awk 'NR == 2 {print $4}')
  [ "${available:-0}" -ge $((6 * 1024 * 1024)) ] || parent=${TMPDIR:-/tmp}
  scratch=$(mktemp -d "$parent/dvl-bench-XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
  export DVL_BENCH_DIR=$scratch
fi

mkdir -p "$results"
for program in "${programs[@]}"; do rm -f "$results/${program}_bench.json" "$results/${program}_bench.txt"; done
{
  echo "date=$(date -u +%Y-%m-%dT%H:%MZ)"
  echo "nproc=$(nproc)"
  echo "cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "memory=$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "kernel=$(uname -r)"
  echo "rounds=$rounds attachment_rounds=$attachmentRounds"
} > "$results/machine.txt"

for program in "${programs[@]}"; do
  case $program in
    micro) minTime=0.3; n=$rounds ;;
    small_call) minTime=1; n=$rounds ;;
    large_reply) minTime=1; n=$rounds ;;
    attachment) minTime=1; n=$attachmentRounds ;;
    scale) "$build/bin/scale_bench" "${DVL_BENCH_SCALE_SECONDS:-10}" | tee "$results/scale_bench.txt"; continue ;;
    slow_clients) "$build/bin/slow_clients_bench" | tee "$results/slow_clients_bench.txt"; continue ;;
    *) echo "run.sh: no program '$program'" >&2; exit 2 ;;
  esac
  echo "load before $program: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results/machine.txt" >&2
  DVL_BENCH_ROUNDS=$n "$build/bin/${program}_bench" --benchmark_min_time=$minTime \
    --benchmark_out="$results/${program}_bench.json" --benchmark_out_format=json \
    > "$results/${program}_bench.txt" 2>&1 || { cat "$results/${program}_bench.txt" >&2; exit 1; }
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" >> "$results/machine.txt"

python3 "$root/bench/summarise.py" "$results" | tee "$results/summary.md"
