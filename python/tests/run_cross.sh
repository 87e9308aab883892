#!/bin/sh
# usage: run_cross.sh ROOT ARGS...
# Runs the target's Python interpreter ROOT/usr/bin/python3.11 (unpacked from
# Debian's arm64 packages) under QEMU user-mode emulation with ARGS. ROOT is
# also QEMU's library prefix, so the interpreter finds its standard library,
# numpy and pytest there and everything else (the C library, the SDK's
# libraries' dependencies) in the host's arm64 multiarch directories.
# Exits 77 (skipped) when ROOT holds no interpreter.
root=$1
shift
python=$root/usr/bin/python3.11
if [ ! -x "$python" ]; then
  echo "SKIP: no arm64 Python interpreter in $root (scripts/arm64.sh unpacks one)"
  exit 77
fi
qemu=${MORVANE_QEMU_AARCH64:-qemu-aarch64-static}
MORVANE_UNDER_QEMU_USER=1
export MORVANE_UNDER_QEMU_USER
exec "$qemu" -L "$root" "$python" "$@"
