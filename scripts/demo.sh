#!/usr/bin/env bash
# The demo: in a fresh sandbox root, two middleware processes write through
# the library, one module is filtered out by the shared module filter, and
# the Android log is read back with xkt-logcat.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh" "$here/build" -DXKT_BUILD_TESTS=OFF
bin=$here/build/bin

export XKT_ROOT=$(mktemp -d /tmp/xkt-demo-XXXXXX)
trap 'rm -rf "$XKT_ROOT"' EXIT
echo "sandbox root: $XKT_ROOT"

echo "-- before takeover every write is dropped:"
"$bin/xkt-log" -m player "lost: nobody manages the log yet" || true

"$bin/xkt-setprop" xkt.log.mgmttakeover 1
"$bin/xkt-setprop" xkt.log.modules "player|net"
echo "-- takeover set; module filter: $("$bin/xkt-getprop" xkt.log.modules)"

writer() {  # one middleware process: a module writing a few messages
  local module=$1 level=$2
  for i in 1 2 3; do
    "$bin/xkt-log" -t run -l "$level" -m "$module" -f "/src/$module/main.c" -n $((10 * i)) \
      "$module message $i" || echo "   ($module message $i filtered out)"
  done
}
writer player info &
writer net error &
writer drm warn &       # not in the module filter
wait

echo "-- the Android log, as logcat shows it (-v brief):"
"$bin/xkt-logcat" -d -v brief -b main | grep '/XKT' | sed 's/^/   /'
echo "-- one record line alone (-v raw):"
"$bin/xkt-logcat" -d -v raw -b main | grep '|' | head -n 1 | sed 's/^/   /'
echo "-- lines per module: player $("$bin/xkt-logcat" -d -v raw | grep -c '|    player|'), net $("$bin/xkt-logcat" -d -v raw | grep -c '|       net|'), drm $("$bin/xkt-logcat" -d -v raw | grep -c '|       drm|' || true)"
