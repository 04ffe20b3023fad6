#!/usr/bin/env bash
# Runs the benchmarks (release build) and counts the system calls of a loop
# of accepted writes. Not part of the test suite: numbers on a shared
# machine are for reading, not for asserting.
#   scripts/bench.sh [--benchmark_...]   (flags for the write-path benchmark)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
for arg in "$@"; do
  [[ $arg == --benchmark_* ]] || {
    echo "scripts/bench.sh: unknown argument: $arg" >&2
    echo "usage: scripts/bench.sh [--benchmark_...]   (flags for the write-path benchmark)" >&2
    exit 2
  }
done
"$here/scripts/setup.sh"
dir=$here/build-bench
"$here/scripts/build.sh" "$dir" -DCMAKE_BUILD_TYPE=Release -DXKT_BUILD_BENCH=ON -DXKT_BUILD_TESTS=OFF

# The write path's times differ from one process to the next (where its
# buffers land in memory), so the binary runs in several processes, its
# repetitions interleaved with the anchor's, and each ratio is the median of
# the processes' ratios.
median() { awk -v n="$1" '$1 == n"_median" || $1 == n {print $2; exit}' "$2"; }
ratio() { awk -v a="$(median "$1" "$3")" -v b="$(median "$2" "$3")" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
middle() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
runs=${PROCESSES:-3}
for run in $(seq 1 "$runs"); do
  "$dir/bench/xkt_bench" --benchmark_repetitions=${REPETITIONS:-3} \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true "$@" > "$dir/bench-$run.txt"
done
cp "$dir/bench-1.txt" "$dir/bench.txt" && cat "$dir/bench.txt"
report() {  # label, ours, anchor, target
  local each=()
  for run in $(seq 1 "$runs"); do each+=("$(ratio "$2" "$3" "$dir/bench-$run.txt")"); done
  printf '%-50s %s (processes: %s) (target %s)\n' "$1" \
    "$(printf '%s\n' "${each[@]}" | middle)" "${each[*]}" "$4"
}
echo
report "rejected write / disabled spdlog call:" BM_XktRejectedByLevel BM_SpdlogDisabledCall "<= 2"
report "accepted write / spdlog async call, 1 thread:" \
  BM_XktAcceptedWrite/real_time/threads:1 BM_SpdlogAsyncCall/real_time/threads:1 "<= 0.5"
report "accepted write / spdlog async call, 2 threads:" \
  BM_XktAcceptedWrite/real_time/threads:2 BM_SpdlogAsyncCall/real_time/threads:2 "<= 0.5"

echo
echo "system calls of accepted writes (strace -f -c), 1000 vs 100000 writes:"
for n in 1000 100000; do
  strace -f -c -o "$dir/strace-$n.txt" "$dir/bench/xkt_write_loop" "$n" 2>/dev/null
  echo "  $n writes: $(awk '/^100.00/ {print $4; exit} / total$/ {print $4; exit}' "$dir/strace-$n.txt") system calls in the whole process"
done

echo
echo "end to end: writer processes -> log thread -> local file (records per writer: ${RECORDS:-200000}, rounds: ${ROUNDS:-3})"
"$dir/bench/xkt_e2e_bench" "${RECORDS:-200000}" "${ROUNDS:-3}" 2>/dev/null | tee "$dir/e2e.txt"

echo
echo "syslog transports through XKT_SysLogOutput to loopback receivers:"
"$dir/bench/xkt_syslog_bench" --benchmark_repetitions=${REPETITIONS:-3} \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E 'median|^-|Benchmark' | tee "$dir/syslog.txt"

echo
echo "error log: channel 4 per item, and the export of ten full 2 MiB temporary files:"
"$dir/bench/xkt_error_log_bench" --benchmark_repetitions=${REPETITIONS:-3} \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E 'median|^-|Benchmark' | tee "$dir/error_log.txt"

echo
echo "overload: N flat-out writer threads against the log thread (${OVERLOAD_SECONDS:-3} s a row):"
"$dir/bench/xkt_overload_bench" "${OVERLOAD_SECONDS:-3}" 1 4 8 32 2>/dev/null | tee "$dir/overload.txt"

echo
echo "fleet: simulated boxes and syslog-ng's loggen into a private collector tier (and store, when unpacked):"
"$here/bench/fleet_bench.sh" "$dir" "${FLEET_SECONDS:-5}" 2>&1 | tee "$dir/fleet.txt"
