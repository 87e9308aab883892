#!/bin/sh
# usage: aarch64-qemu-run.sh PROGRAM [ARGS...]
# Runs a dynamically linked arm64 program under QEMU user-mode emulation with
# Debian's multiarch loader and C library (/usr/lib/aarch64-linux-gnu): the
# program's interpreter /lib/ld-linux-aarch64.so.1 is looked up under "/",
# and that loader finds its libraries through the multiarch entries of the
# host's ld.so cache. The cross toolchain's own C library under
# /usr/aarch64-linux-gnu is never used (threaded programs hang with it).
#
# MORVANE_UNDER_QEMU_USER=1 tells tests they run under user-mode emulation,
# where some things (executing another arm64 program, for one) do not work.
#
# binfmt_misc is not assumed: QEMU is called explicitly. An arm64 program can
# therefore not exec another arm64 program by itself.
qemu=${MORVANE_QEMU_AARCH64:-qemu-aarch64-static}
if ! command -v "$qemu" >/dev/null 2>&1; then
  echo "aarch64-qemu-run.sh: $qemu not found (apt-get install qemu-user-static)" >&2
  exit 127
fi
MORVANE_UNDER_QEMU_USER=1
export MORVANE_UNDER_QEMU_USER
exec "$qemu" -L / "$@"
