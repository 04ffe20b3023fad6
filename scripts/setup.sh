#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian packages),
# only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev
  libbenchmark-dev libspdlog-dev
  busybox strace
  clang libclang-rt-14-dev
  libssl-dev openssl syslog-ng-core
)

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  # Packages that ship a service (syslog-ng) must not start it: the tests
  # run their own collector on private ports.
  policy=/usr/sbin/policy-rc.d
  made_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod +x "$policy"
    made_policy=yes
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  [ -z "$made_policy" ] || $SUDO rm -f "$policy"
  # In case a service manager started it anyway.
  if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet syslog-ng 2>/dev/null; then
    $SUDO systemctl disable --now syslog-ng >/dev/null 2>&1 || true
  fi
fi
