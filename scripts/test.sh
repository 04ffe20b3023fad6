#!/usr/bin/env bash
# Sets up, builds and passes the whole test suite: plain, then under
# AddressSanitizer with UndefinedBehaviorSanitizer, then the threaded tests
# under ThreadSanitizer. "scripts/test.sh plain|asan|tsan" runs one job.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=${1:-all}

"$here/scripts/setup.sh"

run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" "$@")
}

if [[ $jobs == all || $jobs == plain ]]; then
  echo "== plain build and tests"
  "$here/scripts/build.sh" "$here/build"
  run_ctest "$here/build"
fi
if [[ $jobs == all || $jobs == asan ]]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  "$here/scripts/build.sh" "$here/build-asan" -DXKT_SANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest "$here/build-asan" -LE install
fi
if [[ $jobs == all || $jobs == tsan ]]; then
  echo "== ThreadSanitizer (threaded tests)"
  "$here/scripts/build.sh" "$here/build-tsan" -DXKT_SANITIZE=thread
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$here/build-tsan" -L threaded
fi
if [[ $jobs == all || $jobs == fuzz ]]; then
  echo "== fuzzing the entry conversion (ASan+UBSan, ${FUZZ_SECONDS:-60} s)"
  "$here/scripts/fuzz.sh"
fi
