# Package helpers for the set-up scripts (sourced, not run).
#
# Two ways to bring in a Debian package:
#   install_missing PKG...   apt-get install, for build tools and libraries that
#                            sit beside the system's own without replacing
#                            anything; no service is started or enabled.
#   unpack_local DEST PKG... apt-get download + dpkg-deb -x into DEST, for
#                            programs that would conflict with or replace a part
#                            of the system (a second syslog daemon) and for
#                            another architecture's libraries; nothing outside
#                            DEST changes.

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# Another apt run (a second CI job, unattended upgrades) may hold the locks:
# wait for it instead of failing, and never ask a question.
apt_get() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -qq -o DPkg::Lock::Timeout=900 "$@"
}

# Fetches the package lists once per run of a set-up script. A mirror caught
# mid-sync fails one index while the others are fresh: try again once, then
# go on with what was fetched; an install fails plainly if a package cannot
# be had.
apt_updated=""
apt_update() {
  [ -z "$apt_updated" ] || return 0
  apt_updated=yes
  apt_get update >/dev/null && return 0
  sleep 15
  apt_get update >/dev/null && return 0
  echo "setup: apt-get update reported failed indexes; going on with the ones fetched"
}

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# A policy-rc.d of ours keeps any package's service from starting during the
# install; the trap takes it away again even when the install is interrupted.
policy_file=/usr/sbin/policy-rc.d
remove_our_policy() {
  if [ -n "${made_policy:-}" ]; then
    $SUDO rm -f "$policy_file"
    made_policy=""
  fi
}
install_missing() {
  local missing=() pkg
  for pkg in "$@"; do is_installed "$pkg" || missing+=("$pkg"); done
  ((${#missing[@]})) || return 0
  echo "setup: installing ${missing[*]}"
  apt_update
  made_policy=""
  trap 'remove_our_policy' EXIT
  trap 'remove_our_policy; exit 130' INT TERM
  if [ ! -e "$policy_file" ]; then
    made_policy=yes
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy_file" >/dev/null
    $SUDO chmod +x "$policy_file"
  fi
  # debconf's note that apt-utils is missing is noise, not news.
  apt_get install -y --no-install-recommends "${missing[@]}" >/dev/null \
    2> >(grep -v 'since apt-utils is not installed' >&2)
  remove_our_policy
  trap - EXIT INT TERM
}

# The packages apt would have to add to install PKG... on this machine: the
# ones not installed in any version (an upgrade of an installed library is
# never taken, so the system's copy stays the one in use).
new_dependencies() {
  apt-get -s -qq install --no-install-recommends "$@" 2>/dev/null |
    awk '$1 == "Inst" && $3 !~ /^\[/ { print $2 }'
}

# Unpacks PKG... (each "name" or "name:arch") into DEST, replacing an older
# unpack. DEST/.packages lists what is there; the same list again does nothing.
unpack_local() {
  local dest=$1
  shift
  local wanted
  wanted=$(printf '%s\n' "$@" | sort -u)
  if [ -f "$dest/.packages" ] && [ "$(cat "$dest/.packages")" = "$wanted" ]; then
    return 0
  fi
  echo "setup: unpacking into $dest: $(echo $wanted)"
  apt_update
  local work
  work=$(mktemp -d)
  # apt-get download runs as the sandbox user "_apt" when root, which may not
  # write into a private temporary folder.
  (cd "$work" && apt-get download -qq -o APT::Sandbox::User=root $wanted) >/dev/null
  rm -rf "$dest.partial"
  mkdir -p "$dest.partial"
  local deb
  for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$dest.partial"; done
  rm -rf "$work"
  printf '%s\n' "$wanted" >"$dest.partial/.packages"
  rm -rf "$dest"
  mv "$dest.partial" "$dest"
}
