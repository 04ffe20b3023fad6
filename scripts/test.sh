#!/usr/bin/env bash
# Sets up, builds and passes the whole test suite in six jobs, each in a
# build folder of its own with its own options:
#   plain  the suite (build-plain)
#   asan   the suite under AddressSanitizer with UndefinedBehaviorSanitizer
#          and LeakSanitizer (build-asan; the install test left out)
#   tsan   the threaded tests under ThreadSanitizer (build-tsan)
#   fuzz   the entry conversion's libFuzzer target for FUZZ_SECONDS (60 by
#          default; build-fuzz, its progress in build-fuzz/fuzz.log)
#   arm    the box's CPU: the suite cross-built for 32-bit ARM (armhf) and
#          run under qemu-arm (build-arm; scripts/setup-arm.sh)
#   android the library built against Android's own log library and header
#          (Debian's android-liblog-dev) with -Werror, and its smoke program
#          run (build-android)
# and on request
#   readme the README's two commands, demo then tests, in a fresh clone of
#          the committed tree (build-readme/clone), its compilations served
#          from this tree's compiler cache
#
#   scripts/test.sh [all|plain|asan|tsan|fuzz|arm|android|readme]...   (default: all)
#
# A failing job does not stop the others; the run ends with one table of the
# jobs and fails when any job failed or ran no test.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
known=(plain asan tsan fuzz arm android readme)
usage() { echo "usage: scripts/test.sh [all|$(IFS='|'; echo "${known[*]}")]..." >&2; exit 2; }

jobs=()
for arg in "${@:-all}"; do
  case $arg in
    all) jobs+=(plain asan tsan fuzz arm android) ;;
    plain | asan | tsan | fuzz | arm | android | readme) jobs+=("$arg") ;;
    -h | --help) usage ;;
    *) echo "scripts/test.sh: unknown job: $arg" >&2; usage ;;
  esac
done

"$here/scripts/setup.sh"

# ctest fails when a selection holds no test: a job that runs nothing is a
# broken job, not a passed one.
run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure --no-tests=error "$@")
}
# Every option a job depends on is given, so a folder configured otherwise
# before (by hand, by an older script) is set right again.
configure_suite() {
  "$here/scripts/build.sh" "$1" -DXKT_BUILD_TESTS=ON -DXKT_BUILD_BENCH=OFF -DXKT_BUILD_FUZZ=OFF "${@:2}"
}

job_plain() {
  configure_suite "$here/build-plain" -DXKT_SANITIZE=
  run_ctest "$here/build-plain" -j"$(nproc)"
}
job_asan() {
  configure_suite "$here/build-asan" -DXKT_SANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest "$here/build-asan" -j"$(nproc)" -LE install
}
job_tsan() {
  configure_suite "$here/build-tsan" -DXKT_SANITIZE=thread
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$here/build-tsan" -j"$(nproc)" -L threaded
}
job_fuzz() {
  "$here/scripts/fuzz.sh"
}
# The ARM programs the tests spawn (xktlogd, xkt-log, the stand-ins) run
# through a binfmt_misc entry of this job's, registered for the run and
# removed after it; busybox, tar and syslog-ng stay host programs.
job_arm() {
  "$here/scripts/setup-arm.sh"
  configure_suite "$here/build-arm" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/armhf-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Debug -DXKT_SANITIZE=
  "$here/scripts/arm-binfmt.sh" on
  trap '"$here/scripts/arm-binfmt.sh" off' EXIT
  # Emulation makes every program several times slower: two tests at a
  # time, each with five times the native time-out (tests/CMakeLists.txt).
  # qemu-arm finds the ARM loader and libraries under the sysroot.
  QEMU_LD_PREFIX=$here/build-deps/armhf-sysroot run_ctest "$here/build-arm" -j2
}
# The platform seam against the real thing: the library and the smoke
# program compiled against Android's own headers, warnings failing the
# build, and linked against Android's own log library. Debian's liblog
# writes to standard error where no logd runs; the smoke program counts what
# reaches it, so the check needs no Android device.
job_android() {
  (source "$here/scripts/packages.sh" && install_missing android-liblog-dev)
  "$here/scripts/build.sh" "$here/build-android" -DXKT_PLATFORM=android -DXKT_BUILD_TESTS=ON \
    -DXKT_BUILD_BENCH=OFF -DXKT_SANITIZE= -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror
  run_ctest "$here/build-android"
}
job_readme() {
  local clone=$here/build-readme/clone
  rm -rf "$clone"
  mkdir -p "$(dirname "$clone")"
  git clone -q "$here" "$clone"
  echo "fresh clone of $(git -C "$clone" log -1 --format='%h %s') in $clone"
  export CCACHE_DIR=${CCACHE_DIR:-$here/build-deps/ccache}
  # The README's two commands, as written there, each timed.
  (cd "$clone" && timed ./scripts/demo.sh && timed ./scripts/test.sh)
}
timed() {
  local start=$SECONDS status=0
  "$@" || status=$?
  echo "readme: $* took $(duration $((SECONDS - start))) (exit $status)"
  return "$status"
}

# What a finished job ran, from its log: ctest's closing lines, libFuzzer's
# final statistics (through fuzz.sh's summary line), or the nested run's
# closing line.
ctest_counts() {  # log -> "passed failed"
  sed -n 's/.* tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$1" |
    awk '{ failed += $1; total += $2 } END { print total - failed, failed + 0 }'
}
tests_run() {  # job log
  case $1 in
    fuzz) sed -n 's/^fuzz: \([0-9]*\) execs.*, \([0-9]*\) crash.*/\1 execs, \2 crashes/p' "$2" | tail -n 1 ;;
    readme) sed -n 's/^tests: \([0-9]*\) passed, \([0-9]*\) failed$/\1 passed, \2 failed (nested)/p' "$2" | tail -n 1 ;;
    android) read -r passed failed < <(ctest_counts "$2"); echo "$((passed + failed)) (smoke on Android's liblog)" ;;
    *) read -r passed failed < <(ctest_counts "$2"); echo "$((passed + failed))" ;;
  esac
}
duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

logs=$here/build-logs
mkdir -p "$logs"
rows=()
failed_jobs=0
passed_tests=0
failed_tests=0
for job in "${jobs[@]}"; do
  echo
  echo "== $job"
  log=$logs/$job.log
  start=$SECONDS
  set +e
  (set -euo pipefail; "job_$job") 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  elapsed=$((SECONDS - start))
  result=passed
  [ "$status" -eq 0 ] || { result=failed; failed_jobs=$((failed_jobs + 1)); }
  # The readme job's tests ran in its nested run, whose closing line counts them.
  passed=0 failed=0
  if [ "$job" = readme ]; then
    read -r passed failed < <(sed -n 's/^tests: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log" | tail -n 1) || true
  else
    read -r passed failed < <(ctest_counts "$log")
  fi
  passed_tests=$((passed_tests + ${passed:-0}))
  failed_tests=$((failed_tests + ${failed:-0}))
  rows+=("$(printf '%-7s %-7s %-32s %s' "$job" "$result" "$(tests_run "$job" "$log")" "$(duration "$elapsed")")")
done

echo
echo "== summary (logs in $logs)"
printf '%-7s %-7s %-32s %s\n' job result "tests run" time
printf '%s\n' "${rows[@]}"
echo "tests: $passed_tests passed, $failed_tests failed"
[ "$failed_jobs" -eq 0 ]
