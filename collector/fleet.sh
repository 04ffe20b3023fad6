#!/usr/bin/env bash
# The collector tier (syslog-ng), the decrypt relay for AES boxes in front
# of it and, with --store, the store (ClickHouse) as private instances under
# a folder of the user's choosing.
#   fleet.sh install                    unpack ClickHouse into the project-local folder
#   fleet.sh start DIR [--store]        start; ports and paths go to DIR/env
#   fleet.sh stop DIR [--store]         stop both, or the store alone
#   fleet.sh status DIR
#   fleet.sh client-cert DIR MAC DEST  a box's client certificate (CN = MAC),
#                                      signed by DIR's CA, as DEST/client.pem and .key
# Nothing is installed system-wide and nothing is enabled at boot: ClickHouse
# is unpacked (apt-get download + dpkg -x) into $XKT_FLEET_DEPS.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
deps=${XKT_FLEET_DEPS:-$repo/build-deps/clickhouse}

die() { echo "fleet.sh: $*" >&2; exit 1; }

usage() {
    echo "usage: fleet.sh install | start DIR [--store] | stop DIR [--store] | status DIR" >&2
    echo "       fleet.sh client-cert DIR MAC DEST" >&2
    exit 2
}

# The first of the candidates that is an executable file.
first_executable() {
    local candidate
    for candidate in "$@"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] && [ -f "$candidate" ]; then
            printf '%s\n' "$candidate"
            return 0
        fi
    done
    return 1
}

# syslog-ng: $XKT_SYSLOG_NG, then the project-local one, then PATH (and /usr/sbin).
find_syslog_ng() {
    first_executable "${XKT_SYSLOG_NG:-}" "$repo/build-deps/syslog-ng/syslog-ng" \
        "$(command -v syslog-ng 2>/dev/null || true)" /usr/sbin/syslog-ng
}

# The decrypt relay: $XKT_SYSLOG_DECRYPT, then a build of this tree (the
# test job's first), then PATH.
find_relay() {
    first_executable "${XKT_SYSLOG_DECRYPT:-}" "$repo/build-plain/bin/xkt-syslog-decrypt" \
        "$repo/build-demo/bin/xkt-syslog-decrypt" "$repo/build/bin/xkt-syslog-decrypt" \
        "$(command -v xkt-syslog-decrypt 2>/dev/null || true)"
}

# Library folders of an unpacked tree, for LD_LIBRARY_PATH.
library_path_of() {
    local root=$1
    find "$root/usr/lib" "$root/lib" -name '*.so*' -printf '%h\n' 2>/dev/null | sort -u | paste -sd: -
}

clickhouse_bin() { printf '%s\n' "$deps/usr/sbin/clickhouse-server"; }

# syslog-ng's http() destination (syslog-ng-mod-http), unpacked beside ClickHouse.
http_module_dir() {
    local module
    module=$(find "$deps/usr/lib" -name libhttp.so -path '*syslog-ng*' 2>/dev/null | head -n 1)
    [ -n "$module" ] && dirname "$module"
}

# The module folder of the syslog-ng binary in use: the project-local
# wrapper's unpacked tree, or the system's.
syslog_ng_module_dir() {
    local syslog_ng=$1 dir
    dir=$(dirname "$syslog_ng")/root/usr/lib/syslog-ng
    [ -d "$dir" ] || dir=/usr/lib/syslog-ng
    find "$dir" -name libaffile.so -printf '%h\n' 2>/dev/null | head -n 1
}

# Downloads the packages ClickHouse (and the http() module) need that the system lacks and unpacks
# them; idempotent, and nothing reaches dpkg's database.
install_clickhouse() {
    [ -x "$(clickhouse_bin)" ] && [ -n "$(http_module_dir)" ] && return 0
    command -v apt-get >/dev/null || die "apt-get is needed to fetch ClickHouse"
    echo "fleet.sh: unpacking ClickHouse into $deps"
    # A machine that never fetched its package lists knows no ClickHouse yet.
    apt-cache show clickhouse-server >/dev/null 2>&1 ||
        timeout 600 apt-get -qq -o DPkg::Lock::Timeout=300 update >/dev/null || die "apt-get update failed"
    local work=$deps.download
    mkdir -p "$work" "$deps"
    local wanted=() name
    while read -r name; do
        case $name in ''|'<'*) continue ;; esac
        if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed'; then
            wanted+=("$name")
        fi
    done < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
                 --no-breaks --no-replaces --no-enhances clickhouse-server clickhouse-client \
                 syslog-ng-mod-http | grep -v '^ ' | grep -v '^syslog-ng-core$' | sort -u)
    (cd "$work" && timeout 600 apt-get download -qq -o APT::Sandbox::User=root "${wanted[@]}") || die "apt-get download failed"
    local deb
    for deb in "$work"/*.deb; do
        dpkg -x "$deb" "$deps"
    done
    rm -rf "$work"
    [ -x "$(clickhouse_bin)" ] || die "no clickhouse binary in $deps"
}


# Runs an unpacked ClickHouse program with its libraries.
clickhouse_run() {
    local program=$1
    shift
    LD_LIBRARY_PATH=$(library_path_of "$deps")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} \
        "$deps/usr/$program" "$@"
}

# SQL through the instance's native port; bounded in time.
store_sql() {
    local dir=$1
    shift
    # shellcheck disable=SC1091
    . "$dir/env"
    timeout 30 env LD_LIBRARY_PATH="$(library_path_of "$deps")" \
        "$deps/usr/bin/clickhouse-client" --host 127.0.0.1 --port "$STORE_TCP_PORT" "$@"
}

random_port() { echo $(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 )); }

# A TCP port nobody listens on (the UDP one is checked by the bind itself).
free_tcp_port() {
    local port
    while :; do
        port=$(random_port)
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
}

alive() { [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

# Waits up to $2 tenths of a second for the command behind to succeed.
wait_for() {
    local tenths=$1
    shift
    local i
    for ((i = 0; i < tenths; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

make_tls_files() {
    local tls=$1/tls
    [ -s "$tls/server.pem" ] && return 0
    mkdir -p "$tls"
    printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n' >"$tls/ca.ext"
    printf 'basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >"$tls/server.ext"
    (
        cd "$tls"
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -subj /CN=fleet-ca -keyout ca.key -out ca.csr
        openssl x509 -req -days 30 -in ca.csr -signkey ca.key -extfile ca.ext -out ca.pem
        openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -subj /CN=127.0.0.1 -keyout server.key -out server.csr
        openssl x509 -req -days 30 -in server.csr -CA ca.pem -CAkey ca.key \
            -CAcreateserial -CAserial serial -extfile server.ext -out server.pem
    ) >"$tls/openssl.log" 2>&1 || die "openssl failed (see $tls/openssl.log)"
}

# A box's identity on TLS: a key and a certificate whose CN is the box's
# MAC, signed by the tier's CA. The box keeps them as
# /data/xktlog/tls/client.pem and client.key under its root.
client_cert() {
    local dir=$1 mac=$2 dest=$3
    [[ $mac =~ ^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$ ]] || die "not a MAC: $mac"
    [ -s "$dir/tls/ca.key" ] || die "no tier CA in $dir/tls (start the tier first)"
    mkdir -p "$dest"
    printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n' >"$dest/client.ext"
    ( umask 077 && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -subj "/CN=$mac" -keyout "$dest/client.key" -out "$dest/client.csr" ) >/dev/null 2>&1 \
        && openssl x509 -req -days 30 -in "$dest/client.csr" -CA "$dir/tls/ca.pem" \
            -CAkey "$dir/tls/ca.key" -CAserial "$dir/tls/serial" -CAcreateserial \
            -extfile "$dest/client.ext" -out "$dest/client.pem" >/dev/null 2>&1 \
        || die "openssl failed for $mac"
    rm -f "$dest/client.csr" "$dest/client.ext"
}

# The package's config.xml and users.xml with this instance's ports and
# paths, listening on 127.0.0.1 only.
write_store_config() {
    local dir=$1 store=$1/store
    mkdir -p "$store/data" "$store/tmp" "$store/user_files" "$store/log" "$store/format_schemas"
    sed -e "s#<log>.*</log>#<log>$store/log/server.log</log>#" \
        -e "s#<errorlog>.*</errorlog>#<errorlog>$store/log/server.err.log</errorlog>#" \
        -e "s#<http_port>.*</http_port>#<http_port>$STORE_HTTP_PORT</http_port>#" \
        -e "s#<tcp_port>.*</tcp_port>#<tcp_port>$STORE_TCP_PORT</tcp_port>#" \
        -e "s#<interserver_http_port>.*</interserver_http_port>#<interserver_http_port>$STORE_INTERSERVER_PORT</interserver_http_port>#" \
        -e "\#<listen_host>::1</listen_host>#d" \
        -e "s#<path>/var/lib/clickhouse/</path>#<path>$store/data/</path>#" \
        -e "s#<tmp_path>.*</tmp_path>#<tmp_path>$store/tmp/</tmp_path>#" \
        -e "s#<user_files_path>.*</user_files_path>#<user_files_path>$store/user_files/</user_files_path>#" \
        -e "s#<format_schema_path>.*</format_schema_path>#<format_schema_path>$store/format_schemas/</format_schema_path>#" \
        -e "s#<remote_servers incl=\"clickhouse_remote_servers\" *>#<remote_servers incl=\"clickhouse_remote_servers\" optional=\"true\">#" \
        -e "s#</yandex>#    <include_from>$store/clusters.xml</include_from>\n</yandex>#" \
        "$deps/etc/clickhouse-server/config.xml" >"$store/config.xml"
    cp "$deps/etc/clickhouse-server/users.xml" "$store/users.xml"
    # The cluster "fleet" of Distributed tables: this node alone unless
    # XKT_FLEET_SHARDS lists the native ports of store nodes on 127.0.0.1
    # ("self" stands for this node's).
    {
        echo '<yandex><clickhouse_remote_servers><fleet>'
        local port
        for port in ${XKT_FLEET_SHARDS:-self}; do
            [ "$port" = self ] && port=$STORE_TCP_PORT
            case $port in *[!0-9]*|'') die "XKT_FLEET_SHARDS: not a port: $port" ;; esac
            echo "<shard><replica><host>127.0.0.1</host><port>$port</port></replica></shard>"
        done
        echo '</fleet></clickhouse_remote_servers></yandex>'
    } >"$store/clusters.xml"
}

start_store() {
    local dir=$1 store=$1/store
    install_clickhouse
    if alive "$store/pid"; then return 0; fi
    write_store_config "$dir"
    ( cd "$store" && exec setsid env LD_LIBRARY_PATH="$(library_path_of "$deps")" \
        "$(clickhouse_bin)" --config-file="$store/config.xml" </dev/null >"$store/log/stdout.log" 2>&1 ) &
    echo $! >"$store/pid"
    wait_for 300 store_sql "$dir" --query 'SELECT 1' >/dev/null 2>&1 \
        || die "the store did not start within 30 s (see $store/log)"
    store_sql "$dir" --multiquery <"$here/boxlog.sql" || die "the store's tables failed"
    if [ "$(store_table)" = boxlog_all ]; then
        store_sql "$dir" --multiquery <"$here/boxlog-distributed.sql" || die "the Distributed table failed"
    fi
}

# The table syslog-ng inserts into: the Distributed one when the node's
# cluster has more than one shard.
store_table() {
    local shards
    read -r -a shards <<<"${XKT_FLEET_SHARDS:-self}"
    if [ "${#shards[@]}" -gt 1 ]; then echo boxlog_all; else echo boxlog; fi
}

# The tier's configuration: the template's version line, the store's
# destination when asked for, then the rest of the template.
collector_conf() {
    local dir=$1 store_log=''
    sed -n '1p' "$here/syslog-ng.conf.in"
    if [ "${STORE:-0}" = 1 ]; then
        store_log='destination(d_store);'
        sed -e "s#@DIR@#$dir#g" -e "s#@HTTP_PORT@#$STORE_HTTP_PORT#g" -e "s#@TABLE@#$(store_table)#g" \
            "$here/store-destination.conf.in"
    fi
    sed -e '1d' -e "s#@DIR@#$dir#g" -e "s#@UDP_PORT@#$UDP_PORT#g" -e "s#@TLS_PORT@#$TLS_PORT#g" \
        -e "s#@STORE_LOG@#$store_log#" "$here/syslog-ng.conf.in"
}

# Starts "$@" in a session of its own (standard input /dev/null, output
# to OUT, errors to LOG) and waits up to TICKS tenths of a second for READY
# in LOG; then its pid goes to PIDFILE. Otherwise it is stopped and the
# status is 1.
launch_until_ready() {
    local log=$1 out=$2 ticks=$3 ready=$4 pidfile=$5 pid
    shift 5
    : >"$log"
    ( exec setsid "$@" </dev/null >"$out" 2>"$log" ) &
    pid=$!
    if wait_for "$ticks" grep -q "$ready" "$log"; then
        echo "$pid" >"$pidfile"
        return 0
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return 1
}

# syslog-ng in the foreground with private state; a taken port makes it
# exit with status 2 at once, so pick others and try again.
start_collector() {
    local dir=$1 syslog_ng attempt
    syslog_ng=$(find_syslog_ng) || die "no syslog-ng: run scripts/setup.sh (it unpacks one into build-deps/syslog-ng), set XKT_SYSLOG_NG or put it on PATH"
    if alive "$dir/syslog-ng.pid"; then return 0; fi
    make_tls_files "$dir"
    mkdir -p "$dir/boxes" "$dir/diskbuf"
    for attempt in 1 2 3 4 5; do
        if [ "$attempt" -gt 1 ] || [ -z "${UDP_PORT:-}" ] || [ -z "${TLS_PORT:-}" ]; then
            UDP_PORT=$(random_port)
            TLS_PORT=$(free_tcp_port)
        fi
        collector_conf "$dir" >"$dir/syslog-ng.conf"
        local modules
        modules=$(syslog_ng_module_dir "$syslog_ng")
        [ "${STORE:-0}" = 1 ] && modules=$modules:$(http_module_dir)
        launch_until_ready "$dir/syslog-ng.log" "$dir/syslog-ng.out" 100 'syslog-ng starting up' "$dir/syslog-ng.pid" \
            env LD_LIBRARY_PATH="$(library_path_of "$deps")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
            "$syslog_ng" --module-path="$modules" -F -e --no-caps -f "$dir/syslog-ng.conf" -R "$dir/persist" \
            -p "$dir/syslog-ng.pid" -c "$dir/syslog-ng.ctl" && return 0
        grep -q 'Error binding socket' "$dir/syslog-ng.log" || break
    done
    die "syslog-ng did not start (see $dir/syslog-ng.log)"
}

# The AES key the folder's boxes and its relay share: DIR/relay.key, made
# once (readable by the owner only) and kept, so boxes keep working across
# restarts. The box reads a first byte 00 as "no key", so none has it.
make_relay_key() {
    local key=$1/relay.key hex=00
    [ -s "$key" ] && return 0
    while [ "${hex:0:2}" = 00 ]; do hex=$(openssl rand -hex 16); done
    (umask 077 && printf '%s\n' "$hex" >"$key")
}

# xkt-syslog-decrypt on RELAY_PORT, forwarding plain lines to the UDP
# source. Its 32 MiB receive buffer rides out a burst of the whole fleet or
# a moment without CPU; the port is shared (SO_REUSEPORT), so more relays
# with the same key can join it on other cores; its counters go to
# DIR/relay.log on SIGUSR1 and when it stops. Without a built relay the tier
# runs without one (AES boxes then have nowhere to send).
start_relay() {
    local dir=$1 relay attempt
    if ! relay=$(find_relay); then
        echo "fleet.sh: no xkt-syslog-decrypt (build the project or set XKT_SYSLOG_DECRYPT): no relay for AES boxes" >&2
        RELAY_PORT=
        return 0
    fi
    alive "$dir/relay.pid" && return 0
    make_relay_key "$dir"
    for attempt in 1 2 3 4 5; do
        if [ "$attempt" -gt 1 ] || [ -z "${RELAY_PORT:-}" ]; then RELAY_PORT=$(random_port); fi
        launch_until_ready "$dir/relay.log" /dev/null 50 'listening on' "$dir/relay.pid" \
            "$relay" -K "$dir/relay.key" -l 127.0.0.1 -p "$RELAY_PORT" -f "127.0.0.1:$UDP_PORT" \
            --rcvbuf 33554432 --reuseport && return 0
        grep -q 'cannot listen' "$dir/relay.log" || break
    done
    die "the decrypt relay did not start (see $dir/relay.log)"
}

write_env() {
    local dir=$1
    cat >"$dir/env" <<ENV
UDP_PORT=${UDP_PORT:-}
TLS_PORT=${TLS_PORT:-}
CA_FILE=$dir/tls/ca.pem
RELAY_PORT=${RELAY_PORT:-}
AES_KEY_FILE=$dir/relay.key
STORE_WAS=${STORE:-0}
STORE_HTTP_PORT=${STORE_HTTP_PORT:-}
STORE_TCP_PORT=${STORE_TCP_PORT:-}
STORE_INTERSERVER_PORT=${STORE_INTERSERVER_PORT:-}
STORE_TABLE=$(store_table)
SYSLOG_NG_CTL=$(dirname "$(find_syslog_ng)")/syslog-ng-ctl
ENV
}

start() {
    local dir=$1
    STORE=0
    [ "${2:-}" = --store ] && STORE=1
    # The folder goes into syslog-ng's and ClickHouse's configurations.
    case $dir in
        *[\#\"\'\\\&\<\>\$\`]* | *$'\n'*) die "the folder's name must not hold # \" ' \\ & < > \$ \` or a newline" ;;
    esac
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    # A folder that ran before keeps its ports: the collector's disk buffer
    # then reaches a store started again after an outage.
    if [ -s "$dir/env" ]; then
        # shellcheck disable=SC1091
        . "$dir/env"
        [ "$STORE" = 1 ] || STORE=${STORE_WAS:-0}
    fi
    if [ "$STORE" = 1 ]; then
        STORE_HTTP_PORT=${STORE_HTTP_PORT:-$(free_tcp_port)}
        STORE_TCP_PORT=${STORE_TCP_PORT:-$(free_tcp_port)}
        STORE_INTERSERVER_PORT=${STORE_INTERSERVER_PORT:-$(free_tcp_port)}
        write_env "$dir"
        start_store "$dir"
    fi
    # A collector started anew may get other ports: its relay follows it.
    alive "$dir/syslog-ng.pid" || stop_pid_file "$dir/relay.pid"
    start_collector "$dir"
    start_relay "$dir"
    write_env "$dir"
    echo "collector: udp 127.0.0.1:$UDP_PORT tls 127.0.0.1:$TLS_PORT (CA $dir/tls/ca.pem)"
    [ -n "${RELAY_PORT:-}" ] && echo "relay: aes udp 127.0.0.1:$RELAY_PORT (key in $dir/relay.key)"
    [ "$STORE" = 1 ] && echo "store: http 127.0.0.1:$STORE_HTTP_PORT native 127.0.0.1:$STORE_TCP_PORT"
    return 0
}

# SIGTERM, then up to 10 s for the process to go, then SIGKILL.
stop_pid_file() {
    local file=$1 pid
    alive "$file" || { rm -f "$file"; return 0; }
    pid=$(cat "$file")
    kill -TERM "$pid" 2>/dev/null || true
    wait_for 100 eval "! kill -0 $pid 2>/dev/null" || kill -KILL "$pid" 2>/dev/null || true
    rm -f "$file"
}

# stop DIR [--store]: both, or only the store (an outage the collector's
# disk buffer rides out).
stop() {
    local dir=$1
    [ -d "$dir" ] || die "no such folder: $dir"
    if [ "${2:-}" != --store ]; then
        stop_pid_file "$dir/relay.pid"
        stop_pid_file "$dir/syslog-ng.pid"
    fi
    stop_pid_file "$dir/store/pid"
}

status() {
    local dir=$1 rc=0
    if alive "$dir/syslog-ng.pid"; then echo "collector: running (pid $(cat "$dir/syslog-ng.pid"))"
    else echo "collector: stopped"; rc=3; fi
    if [ -e "$dir/relay.key" ]; then
        if alive "$dir/relay.pid"; then echo "relay: running (pid $(cat "$dir/relay.pid"))"
        else echo "relay: stopped"; rc=3; fi
    fi
    if [ -e "$dir/store/config.xml" ]; then
        if alive "$dir/store/pid"; then echo "store: running (pid $(cat "$dir/store/pid"))"
        else echo "store: stopped"; rc=3; fi
    fi
    return $rc
}

case ${1:-} in
    install) [ $# -eq 1 ] || usage; install_clickhouse ;;
    start) [ $# -eq 2 ] || { [ $# -eq 3 ] && [ "$3" = --store ]; } || usage; start "$2" "${3:-}" ;;
    stop) [ $# -eq 2 ] || { [ $# -eq 3 ] && [ "$3" = --store ]; } || usage; stop "$2" "${3:-}" ;;
    status) [ $# -eq 2 ] || usage; status "$2" ;;
    client-cert) [ $# -eq 4 ] || usage; client_cert "$2" "$3" "$4" ;;
    *) usage ;;
esac
