#!/usr/bin/env bash
# The demo, in a fresh sandbox root: xktlogd manages the log; middleware
# modules in several processes write at different levels, another program
# writes plain Android entries, one module is switched off by a live change
# of the shared module filter; then the daemon stops and the local log file
# shows what arrived. The box's parameter file switches the diagnostic
# stores on: the error lines, collected apart, and one ANR snapshot are
# exported to the flash stores as archives. Every line also goes to a local syslog collector
# (syslog-ng) by UDP; with DEMO_SYSLOG_KEY=<32 hex digits> the datagrams are
# AES-encrypted and the library's xkt-syslog-decrypt sits in front of the
# collector. With DEMO_KEEP=1 the sandbox root stays for a look afterwards.
# The demo fails when a shell error line (a command's complaint meant for
# nobody) shows up in its output.
#   [DEMO_KEEP=1] [DEMO_SYSLOG_KEY=HEX] scripts/demo.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 0 ] || { echo "usage: [DEMO_KEEP=1] [DEMO_SYSLOG_KEY=<32 hex digits>] scripts/demo.sh" >&2; exit 2; }
"$here/scripts/setup.sh"
build=$here/build-demo
"$here/scripts/build.sh" "$build" -DXKT_BUILD_TESTS=OFF -DXKT_BUILD_BENCH=OFF -DXKT_BUILD_FUZZ=OFF -DXKT_SANITIZE=
bin=$build/bin
syslog_ng=$here/build-deps/syslog-ng/syslog-ng

export XKT_ROOT=$(mktemp -d /tmp/xkt-demo-XXXXXX)
export XKT_MAC=${XKT_MAC:-00:1a:2b:3c:4d:5e}

demo() {
daemon=""
collector=""
decryptor=""
cleanup() {
  for pid in $daemon $decryptor $collector; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "${DEMO_KEEP:-0}" = 1 ]; then
    say "the sandbox root stays (DEMO_KEEP=1): $XKT_ROOT"
  else
    rm -rf "$XKT_ROOT"
  fi
}
trap cleanup EXIT
say() { printf '\n== %s\n' "$*"; }

say "sandbox root $XKT_ROOT, MAC $XKT_MAC"
# What a box has: the flash store, its model (which names the archives),
# the parameter file that switches the diagnostic stores on, Android's ANR
# trace file and a native crash report.
mkdir -p "$XKT_ROOT/data/tarvek-log" "$XKT_ROOT/system/iptv/setting" "$XKT_ROOT/data/anr" \
  "$XKT_ROOT/data/tombstones"
"$bin/xkt-setprop" ro.product.model DEMO-STB
echo "SoftParam.UniLogOptimization.Enable 1" >"$XKT_ROOT/system/iptv/setting/softparam.ini"
printf -- '----- pid 1234 at 2026-12-05 09:15:02 -----\nCmd line: com.example.epg\n' \
  >"$XKT_ROOT/data/anr/traces.txt"
printf 'pid: 4321, tid: 4321, name: mediaserver\nsignal 11 (SIGSEGV)\n' \
  >"$XKT_ROOT/data/tombstones/tombstone_00"

# A local collector: syslog-ng on a free loopback UDP port, private state.
col=$XKT_ROOT/collector
mkdir -p "$col"
for attempt in $(seq 20); do
  port=$((20000 + RANDOM % 20000))
  cat >"$col/syslog-ng.conf" <<CONF
@version: 3.38
options { use-dns(no); keep-hostname(yes); chain-hostnames(no); stats-freq(0); mark-freq(0); };
source s_udp { network(ip("127.0.0.1") port($port) transport("udp") time-zone("UTC")); };
destination d_file { file("$col/received.log" template("\${PRI} host=\${HOST} prog=\${PROGRAM} msg=\${MSG}\n")); };
log { source(s_udp); destination(d_file); };
CONF
  "$syslog_ng" -F -e --no-caps -f "$col/syslog-ng.conf" -R "$col/persist" -p "$col/pid" -c "$col/ctl" \
    </dev/null 2>"$col/stderr" &
  collector=$!
  for _ in $(seq 50); do
    grep -q "syslog-ng starting up" "$col/stderr" 2>/dev/null && break
    kill -0 "$collector" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$collector" 2>/dev/null && break
  collector=""
done
[ -n "$collector" ] || { echo "could not start syslog-ng"; cat "$col/stderr"; exit 1; }
target=127.0.0.1:$port
syslog_args=(--syslog "$target" --syslog-tag "stb:")
if [ -n "${DEMO_SYSLOG_KEY:-}" ]; then
  "$bin/xkt-syslog-decrypt" -k "$DEMO_SYSLOG_KEY" -p $((port + 1)) -f "$target" 2>"$col/decrypt.err" &
  decryptor=$!
  syslog_args=(--syslog "127.0.0.1:$((port + 1))" --syslog-key "$DEMO_SYSLOG_KEY" --syslog-tag "stb:")
  echo "   collector: syslog-ng on udp $target, behind xkt-syslog-decrypt on udp port $((port + 1))"
else
  echo "   collector: syslog-ng on udp $target"
fi

"$bin/xktlogd" --level info --modules "player|net|drm" --error-log-to-flash 1 \
  "${syslog_args[@]}" 2>"$build/xktlogd.err" &
daemon=$!
for _ in $(seq 50); do
  [ "$("$bin/xkt-getprop" xkt.log.mgmttakeover)" = 1 ] && break
  sleep 0.1
done
sed 's/^/   /' "$build/xktlogd.err"
kill -0 "$daemon" 2>/dev/null || { echo "demo: xktlogd did not start"; exit 1; }
echo "   module filter: $("$bin/xkt-getprop" xkt.log.modules)"

writer() {  # one middleware process: a module writing at a level
  local module=$1 level=$2 count=$3
  for i in $(seq "$count"); do
    "$bin/xkt-log" -t run -l "$level" -m "$module" -f "/src/$module/${module}_main.c" -n $((100 + i)) \
      "$module $level message $i" 2>/dev/null || true
  done
}

say "writers: player (info), net (warn), drm (error), ui (info, not in the filter), ActivityManager (another program)"
writers=()
writer player info 3 & writers+=($!)
writer net warn 2 & writers+=($!)
writer drm error 2 & writers+=($!)
writer ui info 2 & writers+=($!)
"$bin/xkt-log" -T ActivityManager -p i "Start proc 1234:com.example.epg" & writers+=($!)
"$bin/xkt-log" -T ActivityManager -p e "ANR in com.example.epg" & writers+=($!)
wait "${writers[@]}"

say "live filter change: xkt-setprop xkt.log.modules 'player|net' (drm is switched off)"
"$bin/xkt-setprop" xkt.log.modules "player|net"
"$bin/xkt-log" -l error -m drm -f /src/drm/drm_main.c -n 200 "drm message after the change" 2>/dev/null || echo "   (xkt-log: the drm message was filtered out in its own process)"
"$bin/xkt-log" -l warn -m player -f /src/player/player_main.c -n 200 "player message after the change"
sleep 0.5

errors=$XKT_ROOT/tmp/errorlog
say "the error log: ERROR records and E/ lines, collected in tmp/errorlog ($(ls "$errors"))"
sed 's/^/   /' "$errors"/error*.log

members() { tar -tzf "$1" | sed 's|.*/||' | grep -v '^$' | tr '\n' ' '; }
say "an ANR snapshot (SIGUSR2 to the daemon; the middleware calls XKT_expLogToTmp(0))"
kill -USR2 "$daemon"
for _ in $(seq 100); do
  ls "$XKT_ROOT"/tmp/DQN/APK_ANR_*.tar.gz >/dev/null 2>&1 && ! ls "$XKT_ROOT"/tmp/DQN/*.txt >/dev/null 2>&1 && break
  sleep 0.1
done
for archive in "$XKT_ROOT"/tmp/DQN/*.tar.gz; do
  echo "   tmp/DQN/$(basename "$archive"): $(members "$archive")"
done

say "export to flash now (SIGUSR1; the daemon's timers would do it every 2 hours)"
kill -USR1 "$daemon"
for _ in $(seq 100); do
  [ -f "$XKT_ROOT/data/errorindex.txt" ] && [ -f "$XKT_ROOT/data/expindex.txt" ] && break
  sleep 0.1
done
for store in Error exp; do
  for archive in "$XKT_ROOT"/data/tarvek-log/$store/*.log.tar.gz; do
    echo "   data/tarvek-log/$store/$(basename "$archive"): $(members "$archive")"
  done
done
echo "   next indexes: error $(cat "$XKT_ROOT/data/errorindex.txt"), exception $(cat "$XKT_ROOT/data/expindex.txt");" \
  "left in tmp/errorlog: $(ls "$errors" | wc -l), tmp/DQN: $(ls "$XKT_ROOT/tmp/DQN" | wc -l), data/tombstones: $(ls "$XKT_ROOT/data/tombstones" | wc -l)"

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

say "what the syslog collector received ($(wc -l <"$col/received.log") lines; PRI, host, program, message):"
grep -v 'msg=D/LOG' "$col/received.log" | head -n 6 | sed 's/^/   /'
}

# Everything the demo and the programs it starts print, kept for the check,
# with the daemon's own standard error (its first line is shown above).
output=$build/demo.out
set +e
demo 2>&1 | tee "$output"
status=${PIPESTATUS[0]}
set -e
[ "$status" -eq 0 ] || exit "$status"
# A program's complaint starts a line; the demo's own lines are indented.
noise='^(sh|bash|busybox|chown|chmod|chgrp|ls|tar|gzip|rm|mkdir|cp|mv|cat|ln|find|touch|kill|logcat|top): |^[^ ].*: (No such file or directory|Permission denied|not found)$|^[^ ].*[Rr]emoving leading'
if grep -Eq "$noise" "$output" "$build/xktlogd.err"; then
  echo
  echo "demo: shell error lines in what the demo and xktlogd printed:"
  grep -hE "$noise" "$output" "$build/xktlogd.err" | sort | uniq -c | sed 's/^/   /'
  exit 1
fi
