#!/bin/sh
# usage: run_cross.sh ROOT ARGS...
# Runs the target's Python interpreter ROOT/usr/bin/python3.11 (unpacked from
# Debian's arm64 packages by scripts/arm64.sh) under QEMU user-mode emulation
# with ARGS. ROOT is QEMU's library prefix: the interpreter finds its
# standard library there, and the C library and the SDK's dependencies in
# the host's arm64 multiarch directories. numpy comes from ROOT; pytest and
# its pure-Python dependencies from the host's python3 directory, reached
# through the link ROOT/host-dist-packages (plugins are not auto-loaded, so
# no host-architecture extension is imported).
# Exits 77 (skipped) when ROOT holds no interpreter.
root=$1
shift
python=$root/usr/bin/python3.11
if [ ! -x "$python" ]; then
  echo "SKIP: no arm64 Python interpreter in $root (scripts/arm64.sh unpacks one)"
  exit 77
fi
qemu=${MORVANE_QEMU_AARCH64:-qemu-aarch64-static}
arch_lib=/usr/lib/aarch64-linux-gnu
MORVANE_UNDER_QEMU_USER=1
# Tests that start the interpreter again (the examples, the installed
# package) use this command: an arm64 program cannot exec another one here.
MORVANE_TEST_PYTHON="$qemu -L $root $python"
PYTHONPATH="$root/usr/lib/python3/dist-packages${PYTHONPATH:+:$PYTHONPATH}:$root/host-dist-packages"
LD_LIBRARY_PATH="$arch_lib/blas:$arch_lib/lapack${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
PYTEST_DISABLE_PLUGIN_AUTOLOAD=1
export MORVANE_UNDER_QEMU_USER MORVANE_TEST_PYTHON PYTHONPATH LD_LIBRARY_PATH PYTEST_DISABLE_PLUGIN_AUTOLOAD
exec "$qemu" -L "$root" "$python" "$@"
