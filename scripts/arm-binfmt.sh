#!/usr/bin/env bash
# Registers (on) or removes (off) the binfmt_misc entry "xkt-armhf" that
# hands 32-bit ARM programs to qemu-arm, so the ARM tests can spawn ARM
# programs like host ones. The entry names qemu-arm itself, not a wrapper,
# so an emulated program keeps its own name in /proc (the tests find
# collectors by it); the ARM job gives qemu the sysroot through
# QEMU_LD_PREFIX. The job registers the entry for its run and removes it
# after; nothing of it survives a reboot.
#   scripts/arm-binfmt.sh on|off
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/xkt-armhf
interpreter=$(command -v qemu-arm || true)
# ELF, 32-bit, little-endian, version 1, executable or shared object, ARM.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

[ $# -eq 1 ] || { echo "usage: scripts/arm-binfmt.sh on|off" >&2; exit 2; }
case $1 in
  on)
    [ -x "$interpreter" ] || { echo "arm-binfmt: qemu-arm missing: run scripts/setup-arm.sh" >&2; exit 1; }
    # Containers often come without binfmt_misc mounted.
    [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
    [ ! -e "$entry" ] || echo -1 | $SUDO tee "$entry" >/dev/null
    echo ":xkt-armhf:M::$magic:$mask:$interpreter:" | $SUDO tee "$binfmt/register" >/dev/null
    ;;
  off)
    [ ! -e "$entry" ] || echo -1 | $SUDO tee "$entry" >/dev/null
    ;;
  *) echo "usage: scripts/arm-binfmt.sh on|off" >&2; exit 2 ;;
esac
