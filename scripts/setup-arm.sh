#!/usr/bin/env bash
# Installs what the 32-bit ARM job needs on top of scripts/setup.sh: the
# armhf cross compilers, the armhf libraries the build links (OpenSSL,
# GoogleTest) and the ARM run-time libraries, and qemu-arm registered with
# binfmt_misc, so that the ARM programs the tests spawn run like host ones.
# Only what is missing is installed.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# Another apt run (a second CI job, unattended upgrades) may hold the locks:
# wait for it instead of failing, and never ask a question.
apt_get() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 "$@"
}
# A mirror caught mid-sync fails one index (seen with the security
# suite's armhf list) while the others are fresh: try again once, then go
# on with what was fetched; the install below fails plainly if a package
# cannot be had.
apt_update() {
  apt_get update -qq && return 0
  sleep 15
  apt_get update -qq && return 0
  echo "setup-arm: apt-get update reported failed indexes; going on with the ones fetched"
}

packages=(
  crossbuild-essential-armhf qemu-user qemu-user-binfmt binfmt-support
  libc6:armhf libstdc++6:armhf libgcc-s1:armhf
  libgtest-dev:armhf libgmock-dev:armhf
)

updated=""
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "setup-arm: adding the armhf architecture"
  $SUDO dpkg --add-architecture armhf
  apt_update
  updated=yes
fi

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done

# binfmt_misc must be there before qemu-user-binfmt's postinst registers
# its formats; containers often come without it.
mount_binfmt() {
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
}
mount_binfmt

installed_version() {
  dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p'
}
candidate_version() {
  apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: //p'
}

# OpenSSL's packages must have one version on every architecture. When the
# armhf index lags behind the host's (a security update whose armhf list
# the mirror failed to serve), libssl-dev:armhf cannot be installed beside
# the host's libssl-dev. The armhf libraries and configuration headers of
# the newest version the index has are then unpacked where the package would
# put them (the ARM loader reads no ld.so.cache here, so only its built-in
# directories are searched); the generic headers are the host's (same 3.0
# series). Installing the package later simply overwrites them.
ssl_mark=/usr/lib/arm-linux-gnueabihf/.xktlog-unpacked-openssl
install_unpacked_openssl() {
  local work
  work=$(mktemp -d)
  (cd "$work" && apt-get download -qq -o APT::Sandbox::User=root libssl3:armhf libssl-dev:armhf)
  for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
  $SUDO mkdir -p /usr/lib/arm-linux-gnueabihf/pkgconfig /usr/include/arm-linux-gnueabihf/openssl
  $SUDO cp -a "$work"/root/usr/lib/arm-linux-gnueabihf/lib{ssl,crypto}.so* /usr/lib/arm-linux-gnueabihf/
  $SUDO cp -a "$work"/root/usr/lib/arm-linux-gnueabihf/pkgconfig/. /usr/lib/arm-linux-gnueabihf/pkgconfig/
  $SUDO cp -a "$work"/root/usr/include/arm-linux-gnueabihf/openssl/. /usr/include/arm-linux-gnueabihf/openssl/
  $SUDO touch "$ssl_mark"
  rm -rf "$work"
}

ssl_packaged=""
if [ -n "$(installed_version libssl-dev:armhf)" ]; then
  ssl_packaged=yes
elif [ ! -e "$ssl_mark" ]; then
  ((${#missing[@]})) || [ -n "$updated" ] || apt_update
  updated=yes
  host_ssl=$(installed_version "libssl3:$(dpkg --print-architecture)")
  if [ -z "$host_ssl" ] || [ "$host_ssl" = "$(candidate_version libssl3:armhf)" ]; then
    missing+=(libssl3:armhf libssl-dev:armhf)
    ssl_packaged=yes
  fi
fi

if ((${#missing[@]})); then
  echo "setup-arm: installing ${missing[*]}"
  [ -n "$updated" ] || apt_update
  apt_get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ -n "$ssl_packaged" ]; then
  $SUDO rm -f "$ssl_mark"
elif [ ! -e "$ssl_mark" ]; then
  echo "setup-arm: libssl3:armhf $(candidate_version libssl3:armhf) cannot sit beside the host's $host_ssl: unpacking it"
  install_unpacked_openssl
fi

# The package registers its formats at install time; a machine that booted
# since (or a container that got binfmt_misc later) has lost them.
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
  $SUDO update-binfmts --enable qemu-arm
fi
if ! grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-arm; then
  echo 1 | $SUDO tee /proc/sys/fs/binfmt_misc/qemu-arm >/dev/null
fi
