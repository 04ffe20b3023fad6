#!/usr/bin/env bash
# Sets up, builds and passes the whole test suite: plain, then under
# AddressSanitizer with UndefinedBehaviorSanitizer, then the threaded tests
# under ThreadSanitizer, then the fuzz target's run, then the 32-bit ARM
# job. "scripts/test.sh plain|asan|tsan|fuzz|arm" runs one job.
#
# arm: the box's CPU is 32-bit ARM. scripts/setup-arm.sh installs the armhf
# cross compilers, the armhf OpenSSL and GoogleTest, and qemu-arm registered
# with binfmt_misc; the tree is cross-built (Debug, tests on, no benchmarks
# or fuzz target) into build-arm with cmake/armhf-toolchain.cmake, and the
# whole suite runs there under emulation, the install test included: every
# ARM program a test spawns (xktlogd, xkt-log, the logcat and top stand-ins)
# runs through qemu-arm like a host one, while busybox, tar and syslog-ng
# stay host programs. A test may take 600 s there (120 s natively).
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
if [[ $jobs == all || $jobs == arm ]]; then
  echo "== 32-bit ARM (armhf), cross-built, tests under qemu-arm"
  "$here/scripts/setup-arm.sh"
  "$here/scripts/build.sh" "$here/build-arm" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/armhf-toolchain.cmake" -DCMAKE_BUILD_TYPE=Debug \
    -DXKT_BUILD_TESTS=ON -DXKT_BUILD_BENCH=OFF -DXKT_BUILD_FUZZ=OFF
  # Emulation makes every program several times slower: two tests at a
  # time, and a cross build gives each test five times the native time-out
  # (tests/CMakeLists.txt), so a busy machine slows the suite, not fails it.
  (cd "$here/build-arm" && ctest --output-on-failure -j2 --timeout 600)
fi
