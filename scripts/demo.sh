#!/usr/bin/env bash
# The demo, in a fresh sandbox root: xktlogd manages the log; middleware
# modules in several processes write at different levels, another program
# writes plain Android entries, one module is switched off by a live change
# of the shared module filter; then the daemon stops and the local log file
# shows what arrived.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh" "$here/build" -DXKT_BUILD_TESTS=OFF
bin=$here/build/bin

export XKT_ROOT=$(mktemp -d /tmp/xkt-demo-XXXXXX)
export XKT_MAC=${XKT_MAC:-00:1a:2b:3c:4d:5e}
daemon=""
cleanup() {
  [ -z "$daemon" ] || kill "$daemon" 2>/dev/null || true
  rm -rf "$XKT_ROOT"
}
trap cleanup EXIT
say() { printf '\n== %s\n' "$*"; }

say "sandbox root $XKT_ROOT, MAC $XKT_MAC"
mkdir -p "$XKT_ROOT/data/tarvek-log"   # the flash store a box has
"$bin/xktlogd" --level info --modules "player|net|drm" 2>"$XKT_ROOT/xktlogd.err" &
daemon=$!
for _ in $(seq 50); do
  [ "$("$bin/xkt-getprop" xkt.log.mgmttakeover)" = 1 ] && break
  sleep 0.1
done
sed 's/^/   /' "$XKT_ROOT/xktlogd.err"
echo "   module filter: $("$bin/xkt-getprop" xkt.log.modules)"

writer() {  # one middleware process: a module writing at a level
  local module=$1 level=$2 count=$3
  for i in $(seq "$count"); do
    "$bin/xkt-log" -t run -l "$level" -m "$module" -f "/src/$module/${module}_main.c" -n $((100 + i)) \
      "$module $level message $i" 2>/dev/null || true
  done
}

say "writers: player (info), net (warn), drm (error), ui (info, not in the filter), ActivityManager (another program)"
writer player info 3 &
writer net warn 2 &
writer drm error 2 &
writer ui info 2 &
"$bin/xkt-log" -T ActivityManager -p i "Start proc 1234:com.example.epg" &
"$bin/xkt-log" -T ActivityManager -p e "ANR in com.example.epg" &
wait $(jobs -p | grep -v "^$daemon$") 2>/dev/null || true

say "live filter change: xkt-setprop xkt.log.modules 'player|net' (drm is switched off)"
"$bin/xkt-setprop" xkt.log.modules "player|net"
"$bin/xkt-log" -l error -m drm -f /src/drm/drm_main.c -n 200 "drm message after the change" 2>/dev/null || echo "   (xkt-log: the drm message was filtered out in its own process)"
"$bin/xkt-log" -l warn -m player -f /src/player/player_main.c -n 200 "player message after the change"
sleep 0.5

say "stopping xktlogd"
kill -TERM "$daemon"
wait "$daemon" || true
daemon=""

file=$(ls -1 "$XKT_ROOT"/tmp/log/*.log | head -n 1)
say "the local log file $(basename "$file") (mode $(stat -c %a "$file")):"
sed 's/^/   /' "$file" | grep -v ' D/LOG ' || true

say "what was filtered out"
count() { grep -c "$1" "$file" || true; }
echo "   lines per module: player $(count 'player [a-z ]*message'), net $(count 'net warn message'), drm $(count 'drm error message'), ui $(count 'ui info message') (not in the filter)"
echo "   drm after the live change: $(count 'drm message after the change') line(s); player after it: $(count 'player message after the change')"
echo "   plain lines of another program: $(count 'ActivityManager')"
