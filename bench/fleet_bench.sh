#!/usr/bin/env bash
# The fleet path's ceiling on this machine: the highest rate of lines that
# xkt-fleet's simulated boxes get into the collector tier's per-MAC files
# without losing one (and into the store when ClickHouse is unpacked), what
# the collector spends on them, and beside each, syslog-ng's own loggen
# against the same kind of tier in the same run. Not part of the test suite.
#   bench/fleet_bench.sh BUILD_DIR [SECONDS]   (FLEET_RATES="r1 r2 ..." sets the ladder)
# Each sender climbs a ladder of offered rates, SECONDS a step, on a fresh
# tier, until a step loses lines or delivers under 60 % of its offer (the
# tier, or TCP's push-back, sets the pace). "lines/s" is what a step
# delivered over its wall time until the last line arrived, start-up and
# drain included (a lower bound); the lossless rate is the best of it over
# the steps that lost nothing. "lines/core-s" is the same lines over the
# CPU time syslog-ng used, from which boxes per collector core follow at
# 0.5 lines/s a box.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: bench/fleet_bench.sh BUILD_DIR [SECONDS]" >&2; exit 2; }
fleet=$1/bin/xkt-fleet
seconds=${2:-5}
read -r -a rates <<<"${FLEET_RATES:-2500 5000 10000 20000 30000 40000 60000 80000 120000 160000}"
syslog_ng_root=$here/build-deps/syslog-ng/root
loggen=$syslog_ng_root/usr/bin/loggen
[ -x "$fleet" ] || { echo "fleet_bench: no $fleet" >&2; exit 1; }
[ -x "$loggen" ] || { echo "fleet_bench: no loggen in $syslog_ng_root (scripts/setup.sh unpacks syslog-ng)" >&2; exit 1; }
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

work=$(mktemp -d "${TMPDIR:-/tmp}/xkt-fleet-bench-XXXXXX")
# xkt-fleet links the library: its root is the benchmark's own.
export XKT_ROOT=$work/root
have_store=0
[ -x "${XKT_FLEET_DEPS:-$here/build-deps/clickhouse}/usr/sbin/clickhouse-server" ] && have_store=1
store=()
tier=''
stop_tier() { [ -z "$tier" ] || "$here/collector/fleet.sh" stop "$tier" >/dev/null 2>&1 || true; }
trap 'stop_tier; rm -rf "$work"' EXIT

start_tier() {
  stop_tier
  tier=$work/tier-$1
  "$here/collector/fleet.sh" start "$tier" "${store[@]}" >/dev/null
  # shellcheck disable=SC1091
  . "$tier/env"
  collector=$(cat "$tier/syslog-ng.pid")
}

now() { date +%s.%N; }
collector_ticks() { awk '{ print $14 + $15 }' "/proc/$collector/stat"; }
filed_bytes() { find "$tier/boxes" -type f -name '*.log' -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'; }
filed_lines() { find "$tier/boxes" -type f -name '*.log' -print0 | xargs -0 -r cat | wc -l; }
stored_rows() {
  [ ${#store[@]} -gt 0 ] || { echo 0; return; }
  curl -s --max-time 10 --data-binary "SELECT count() FROM fleet.$STORE_TABLE" \
    "http://127.0.0.1:$STORE_HTTP_PORT/" || echo 0
}

# When the files stopped growing: the time of the last growth, once they
# have not grown for 3 s (cheap to poll, unlike counting lines).
files_settled() {
  local size last=-1 changed
  changed=$(now)
  while :; do
    size=$(filed_bytes)
    if [ "$size" != "$last" ]; then last=$size; changed=$(now)
    elif awk -v a="$changed" -v b="$(now)" 'BEGIN { exit !(b - a > 3) }'; then echo "$changed"; return; fi
    sleep 0.2
  done
}

# Rows gained since $2 and the time, once $1 are there or the count has
# not moved for 3 s.
rows_settled() {
  local want=$1 before=$2 last=-1 same=0 n
  while :; do
    n=$(( $(stored_rows) - before ))
    if [ "$n" -ge "$want" ] || [ "$same" -ge 10 ]; then echo "$n $(now)"; return; fi
    if [ "$n" = "$last" ]; then same=$((same + 1)); else same=0; last=$n; fi
    sleep 0.3
  done
}

# One step of sender "$@": prints "sent filed stored seconds cpu-seconds".
step() {
  local lines0 rows0 cpu0 t0 out sent t1 lines rows=0 t2
  lines0=$(filed_lines); rows0=$(stored_rows); cpu0=$(collector_ticks); t0=$(now)
  out=$("$@" 2>&1 || true)
  # xkt-fleet's last line says "sent N"; loggen's summary "count=N".
  sent=$(grep -oE '(^sent |count=)[0-9]+' <<<"$out" | tail -n 1 | grep -oE '[0-9]+' || echo 0)
  t1=$(files_settled)
  lines=$(( $(filed_lines) - lines0 ))
  if [ ${#store[@]} -gt 0 ]; then
    read -r rows t2 < <(rows_settled "$sent" "$rows0")
    t1=$(awk -v a="$t1" -v b="$t2" 'BEGIN { print (a > b ? a : b) }')
  fi
  echo "$sent $lines $rows $(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') \
$(awk -v a="$cpu0" -v b="$(collector_ticks)" -v t="$(getconf CLK_TCK)" 'BEGIN { print (b - a) / t }')"
}

ladder() {
  local label=$1 sender=$2 rate best=0 best_line="$1: no lossless step"
  local sent lines rows wall cpu delivered lost per_s per_core
  start_tier "$sender${store:+-store}"
  for rate in "${rates[@]}"; do
    read -r sent lines rows wall cpu < <(step "$sender" "$rate")
    delivered=$lines
    [ ${#store[@]} -eq 0 ] || [ "$rows" -ge "$delivered" ] || delivered=$rows
    lost=$((sent - delivered))
    per_s=$(awk -v n="$delivered" -v w="$wall" 'BEGIN { printf "%d", (w > 0 ? n / w : 0) }')
    per_core=$(awk -v n="$lines" -v c="$cpu" 'BEGIN { printf "%d", (c > 0 ? n / c : 0) }')
    printf '  %-14s offered %6d/s: sent %7d filed %7d stored %7d lost %6d: %6d lines/s, collector %6d lines/core-s\n' \
      "$label" "$rate" "$sent" "$lines" "$rows" "$lost" "$per_s" "$per_core"
    if [ "$lost" -ne 0 ] || [ "$sent" -eq 0 ]; then break; fi
    if [ "$per_s" -gt "$best" ]; then
      best=$per_s
      best_line=$(printf '%s: lossless %d lines/s (offered %d/s); collector %d lines/core-s, %d boxes/core at 0.5 lines/s' \
        "$label" "$per_s" "$rate" "$per_core" "$((per_core * 2))")
    fi
    awk -v p="$per_s" -v r="$rate" 'BEGIN { exit !(p < 0.6 * r) }' && break
  done
  summary+=("${store:+store, }$best_line")
}

fleet_udp() { "$fleet" run --dir "$tier" --boxes 1000 --rate "$1" --seconds "$seconds" --transport udp "${store[@]}"; }
fleet_tls() { "$fleet" run --dir "$tier" --boxes 100 --rate "$1" --seconds "$seconds" --transport tls "${store[@]}"; }
loggen_run() {
  LD_LIBRARY_PATH=$syslog_ng_root/usr/lib/syslog-ng:$syslog_ng_root/usr/lib/$arch:$syslog_ng_root/lib/$arch \
    timeout $((seconds * 3 + 30)) "$loggen" --size 200 --interval "$seconds" "$@"
}
loggen_udp() { loggen_run --inet --dgram --rate "$1" 127.0.0.1 "$UDP_PORT"; }
# Ten connections at a tenth of the rate each, octet-counted as a box's are.
loggen_tls() { loggen_run --use-ssl --syslog-proto --active-connections 10 --rate $(($1 / 10)) 127.0.0.1 "$TLS_PORT"; }

summary=()
for target in files store; do
  if [ "$target" = store ]; then
    [ "$have_store" = 1 ] || { summary+=("store: ClickHouse is not unpacked (collector/fleet.sh install)"); break; }
    store=(--store)
  fi
  echo "into the $target, $seconds s a step; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  ladder "xkt-fleet udp" fleet_udp
  ladder "loggen udp" loggen_udp
  ladder "xkt-fleet tls" fleet_tls
  ladder "loggen tls" loggen_tls
done
echo
printf '%s\n' "${summary[@]}"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
