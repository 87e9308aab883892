#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only when
# some are missing (so a second run does nothing and prints nothing).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libusb-1.0-0-dev libudev-dev libyuv-dev libturbojpeg0-dev libpng-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev zlib1g-dev
  clang libclang-rt-14-dev
  util-linux debootstrap zstd
  dpkg-dev lintian file man-db bsdextrautils bash-completion
  qemu-system-x86 busybox-static libusbredirparser-dev
  pybind11-dev python3-dev python3-numpy python3-pytest python3-mypy
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
