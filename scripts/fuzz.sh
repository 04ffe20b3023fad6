#!/usr/bin/env bash
# Builds the entry-conversion fuzzer with clang in build-fuzz, replays the
# inputs that once crashed, then fuzzes from the seed corpus for
# FUZZ_SECONDS (60 by default). A crash fails the run; its input is left in
# build-fuzz/artifacts.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-fuzz
seconds=${FUZZ_SECONDS:-60}

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DXKT_BUILD_FUZZ=ON -DXKT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_convert

fuzzer=$build/fuzz/fuzz_convert
mkdir -p "$build/corpus" "$build/artifacts"
shopt -s nullglob
regressions=("$here"/fuzz/regressions/*)
if ((${#regressions[@]})); then
  "$fuzzer" "${regressions[@]}"
fi
# New inputs go to the first folder, so the seeds stay as they are.
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" "$build/corpus" "$here/fuzz/corpus"
