#!/bin/sh
# usage: run_stubtest.sh PYTHON ALLOWLIST
# Checks the package's type stubs against the built extension with mypy's
# stubtest (PYTHONPATH: the build tree's python directory), accepting only
# pybind11's own noise as the allowlist lists it. Exit 77 (a skip) when that
# interpreter has no mypy (Debian: python3-mypy, which
# scripts/install-deps.sh installs). Run from a scratch directory: mypy
# leaves its cache in the working directory.
set -eu
python=$1
allowlist=$2
if ! "$python" -c 'import mypy.stubtest' 2>/dev/null; then
  echo "skipped: $python has no mypy (install python3-mypy)"
  exit 77
fi
exec "$python" -m mypy.stubtest --allowlist "$allowlist" morvane_uvc_stereo
