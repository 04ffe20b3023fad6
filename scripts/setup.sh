#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, only when something
# is missing: build tools and libraries from Debian's packages, and a private
# syslog-ng (the tests' and the demo's collector) unpacked under build-deps/.
# syslog-ng is not installed: its package conflicts with the machine's own
# system logger and would be started at boot. Nothing is enabled or started.
# ClickHouse, the fleet test's store, is unpacked the same way.
#   scripts/setup.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 0 ] || { echo "usage: scripts/setup.sh (takes no arguments)" >&2; exit 2; }
source "$here/scripts/packages.sh"

install_missing \
  build-essential cmake pkg-config ccache \
  googletest libgtest-dev libgmock-dev \
  libbenchmark-dev libspdlog-dev \
  busybox strace \
  clang libclang-rt-14-dev \
  libssl-dev openssl

# The private syslog-ng: the package itself and whatever libraries it needs
# that this machine lacks; build-deps/syslog-ng/syslog-ng runs it from there.
dest=$here/build-deps/syslog-ng
if [ ! -x "$dest/syslog-ng" ] || [ ! -f "$dest/root/.packages" ]; then
  apt_update
  mapfile -t needed < <(new_dependencies syslog-ng-core | grep -vx syslog-ng-core)
  unpack_local "$dest/root" syslog-ng-core "${needed[@]}"
  arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  modules=$(dirname "$(ls -d "$dest"/root/usr/lib/syslog-ng/*/libaffile.so | head -n 1)")
  modules=${modules#"$dest/root/"}
  cat >"$dest/syslog-ng" <<WRAPPER
#!/bin/sh
# Runs the syslog-ng unpacked beside this file with its own libraries and
# modules (written by scripts/setup.sh).
root=\$(cd "\$(dirname "\$0")" && pwd)/root
LD_LIBRARY_PATH=\$root/usr/lib/syslog-ng:\$root/usr/lib/$arch:\$root/lib/$arch\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}
export LD_LIBRARY_PATH
exec "\$root/usr/sbin/syslog-ng" --module-path="\$root/$modules" "\$@"
WRAPPER
  chmod +x "$dest/syslog-ng"
fi

# The fleet test's store: ClickHouse and syslog-ng's http() module, unpacked
# under build-deps/clickhouse (nothing when they are there already).
"$here/collector/fleet.sh" install
