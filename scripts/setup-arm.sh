#!/usr/bin/env bash
# What the 32-bit ARM job needs on top of scripts/setup.sh, only when it is
# missing:
#   - the armhf cross compilers and qemu-user, installed with apt (host
#     programs beside the system's own; no foreign architecture is added to
#     dpkg, so no host library has to move to the armhf one's version);
#   - the armhf libraries the build links and the programs load (C and C++
#     run-time, OpenSSL, GoogleTest), unpacked into the project-local sysroot
#     build-deps/armhf-sysroot from an armhf package index of the project's
#     own (build-deps/apt-armhf), never into /usr;
#   scripts/setup-arm.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 0 ] || { echo "usage: scripts/setup-arm.sh (takes no arguments)" >&2; exit 2; }
source "$here/scripts/packages.sh"

install_missing g++-arm-linux-gnueabihf qemu-user

sysroot=$here/build-deps/armhf-sysroot
libraries=(libc6 libgcc-s1 libstdc++6 libssl3 libssl-dev libgtest-dev libgmock-dev)
wanted=$(printf '%s\n' "${libraries[@]}" | sort -u)
if [ ! -f "$sysroot/.packages" ] || [ "$(cat "$sysroot/.packages")" != "$wanted" ]; then
  index=$here/build-deps/apt-armhf
  mkdir -p "$index/lists/partial" "$index/cache/archives/partial"
  armhf_apt=(-o APT::Architecture=armhf -o APT::Architectures::=armhf
    -o Dir::State::Lists="$index/lists" -o Dir::Cache="$index/cache"
    -o Dir::State::status=/dev/null -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  # A mirror caught mid-sync fails one index (seen with the security
  # suite's armhf list) while the others are fresh: go on with those; the
  # download below fails plainly if a package cannot be had.
  apt-get -qq "${armhf_apt[@]}" update >/dev/null 2>&1 ||
    echo "setup-arm: the armhf package index was fetched in part; going on with it"
  echo "setup-arm: unpacking armhf $(echo $wanted) into $sysroot"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get -qq "${armhf_apt[@]}" download $wanted) >/dev/null
  rm -rf "$sysroot.partial"
  mkdir -p "$sysroot.partial"
  for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$sysroot.partial"; done
  printf '%s\n' "$wanted" >"$sysroot.partial/.packages"
  rm -rf "$sysroot"
  mv "$sysroot.partial" "$sysroot"
fi

rm -f "$sysroot/qemu-arm"  # a wrapper of older set-ups: the entry names qemu-arm itself
