#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a C program (the
# README's example) against it twice: with pkg-config and with
# find_package(xktlog). Both must write a record line that the installed
# xkt-logcat reads back. A cross build passes its C compiler in CC, its
# linker flags in LDFLAGS and its toolchain in CMAKE_TOOLCHAIN_FILE (read by
# cmake itself); its programs then run through binfmt_misc.
set -euo pipefail
build=$1
source_c=$2
work=$(mktemp -d /tmp/xkt-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/xkt_log.h lib/libxktlog.so lib/libxktplatform.so lib/pkgconfig/xktlog.pc \
         lib/cmake/xktlog/xktlogConfig.cmake bin/xkt-logcat bin/xkt-getprop bin/xkt-setprop \
         bin/xkt-log libexec/xktlog/logcat; do
  [ -e "$prefix/$f" ] || { echo "missing from the install: $f"; exit 1; }
done

export XKT_ROOT=$work/root
mkdir -p "$XKT_ROOT"
# What a managing process (xktlogd) sets up: the takeover and the module filter.
"$prefix/bin/xkt-setprop" xkt.log.mgmttakeover 1
"$prefix/bin/xkt-setprop" xkt.log.modules 'player|net'

# pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -ra ldflags <<<"${LDFLAGS:-}"
"${CC:-cc}" -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" "$source_c" $(pkg-config --cflags --libs xktlog) \
  "${ldflags[@]}"
"$work/consumer-pc"

# find_package, without OpenSSL's development files (users of the shared
# library need none); a cross toolchain searches only its sysroots.
cross=()
[ -z "${CMAKE_TOOLCHAIN_FILE:-}" ] || cross=(-Dxktlog_DIR="$prefix/lib/cmake/xktlog")
cmake -S "$(dirname "$source_c")/consumer_cmake" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" "${cross[@]}" \
  -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON --no-warn-unused-cli >/dev/null
cmake --build "$work/cm" >/dev/null
"$work/cm/consumer"

lines=$("$prefix/bin/xkt-logcat" -d -v raw | grep -c '|Run| INFO|    player|.*:consumer.c:[0-9]*:main|code:[0-9]*|started 42 streams$')
[ "$lines" -eq 2 ] || { echo "expected 2 record lines, found $lines"; "$prefix/bin/xkt-logcat" -d -v raw; exit 1; }

# The README's example is this program, word for word.
diff <(awk '/^## Using it/ { on = 1 } on && /^```c$/ { take = 1; next } take && /^```$/ { exit } take' \
  "$(dirname "$source_c")/../README.md") "$source_c" || { echo "README.md's example differs from $source_c"; exit 1; }

# Only the C interface leaves the library.
if nm -D --defined-only "$prefix/lib/libxktlog.so" | awk '{print $3}' | grep -v -E '^(XKT_|XTK_|android_log_write$|intrace$|g_|logDev|logDeviceFd$|convertLogEntry$|parseMiddlewareEntry$|formatRawEntry$|writeLogLines$|sendSyslogMessage$|sendEncryptedSyslog$|closeSyslogConnection$|tls_session_verify)' ; then
  echo "unexpected exported symbols above"; exit 1
fi
echo "install consumer: ok"
