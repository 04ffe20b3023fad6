#!/usr/bin/env bash
# Builds the entry-conversion fuzzer with clang in build-fuzz, replays the
# inputs that once crashed, then fuzzes from the seed corpus for
# FUZZ_SECONDS (60 by default). libFuzzer's own output goes to
# build-fuzz/fuzz.log; the last line says how many inputs ran and how many
# crashed. A crash fails the run; its input is left in build-fuzz/artifacts.
#   scripts/fuzz.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 0 ] || { echo "usage: [FUZZ_SECONDS=N] scripts/fuzz.sh (takes no arguments)" >&2; exit 2; }
build=$here/build-fuzz
seconds=${FUZZ_SECONDS:-60}
log=$build/fuzz.log

"$here/scripts/build.sh" "$build" --target fuzz_convert \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DXKT_BUILD_FUZZ=ON -DXKT_BUILD_TESTS=OFF -DXKT_BUILD_BENCH=OFF -DXKT_SANITIZE=

fuzzer=$build/fuzz/fuzz_convert
rm -rf "$build/artifacts"
mkdir -p "$build/corpus" "$build/artifacts"
: >"$log"
shopt -s nullglob
status=0
regressions=("$here"/fuzz/regressions/*)
if ((${#regressions[@]})); then
  echo "replaying ${#regressions[@]} inputs that once crashed"
  "$fuzzer" "${regressions[@]}" >>"$log" 2>&1 || status=$?
fi
if [ "$status" -eq 0 ]; then
  echo "fuzzing for $seconds s (progress in $log)"
  # New inputs go to the first folder, so the seeds stay as they are.
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/" "$build/corpus" "$here/fuzz/corpus" >>"$log" 2>&1 || status=$?
fi

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
crashes=("$build"/artifacts/*)
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log"
  ((${#crashes[@]})) || crashes=("(no artifact; see the log)")
  printf 'crash input: %s\n' "${crashes[@]}"
fi
echo "fuzz: ${execs:-0} execs in $seconds s, ${#crashes[@]} crashes (log: $log)"
[ "$status" -eq 0 ] && [ "${execs:-0}" -gt 0 ]
