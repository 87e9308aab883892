#!/usr/bin/env bash
# Installs what is missing, builds the SDK and its tool, and shows a camera:
# its listing, its calibration document and a few IMU samples. Without a
# supported camera attached it uses the simulated one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

"$root/scripts/install-deps.sh"
cmake -S "$root" -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target morvane-uvc-stereo morvane_uvc_stereo_sdk morvane_uvc_stereo_sdk_c

tool=build/release/tools/morvane-uvc-stereo
mode=()
if [ -z "$("$tool" list --json | tr -d '[:space:][]')" ]; then
  echo "No supported camera attached: using the simulated camera (state in build/simulated-camera.flash)."
  mode=(--simulate=build/simulated-camera.flash)
fi

set -x
"$tool" "${mode[@]}" list
"$tool" "${mode[@]}" config get --pretty
"$tool" "${mode[@]}" imu --count 5
