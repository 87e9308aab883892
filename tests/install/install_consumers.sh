#!/usr/bin/env bash
# usage: install_consumers.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -euo pipefail
build=$1
consumer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/morvane/uvc_stereo.hpp include/morvane/uvc_stereo.h include/morvane/sonix/sonix_cam.h \
         lib/udev/rules.d/70-morvane-uvc-stereo.rules bin/morvane-uvc-stereo; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
libdir=
# The multiarch directory is globbed inside the prefix, not the working directory.
for candidate in lib $(cd "$prefix" && ls -d lib/*-linux-gnu 2>/dev/null) lib64; do
  if [ -e "$prefix/$candidate/pkgconfig/morvane_uvc_stereo_sdk.pc" ]; then libdir=$candidate; break; fi
done
[ -n "$libdir" ] || { echo "no pkg-config files installed"; exit 1; }
ls "$prefix/$libdir"/libmorvane_uvc_stereo_sdk.so.0* >/dev/null
ls "$prefix/$libdir"/libmorvane_uvc_stereo_sdk_c.so.0* >/dev/null

echo "-- find_package consumer"
cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$prefix/$libdir" "$work/cmake-build/consumer_cxx"
LD_LIBRARY_PATH="$prefix/$libdir" "$work/cmake-build/consumer_c"
echo "-- a program with globals named like the access library's"
LD_LIBRARY_PATH="$prefix/$libdir" "$work/cmake-build/consumer_namesake"

echo "-- pkg-config consumer"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror "$consumer/consumer.c" -o "$work/pc_c" \
   $(pkg-config --cflags --libs morvane_uvc_stereo_sdk_c)
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror "$consumer/consumer.cpp" -o "$work/pc_cxx" \
   $(pkg-config --cflags --libs morvane_uvc_stereo_sdk)
LD_LIBRARY_PATH="$prefix/$libdir" "$work/pc_c"
LD_LIBRARY_PATH="$prefix/$libdir" "$work/pc_cxx"
echo "-- the same program as a position-dependent executable (reads gEC without a copy relocation)"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror -fno-pie -no-pie "$consumer/namesake.cpp" "$consumer/access_globals.cpp" \
   -o "$work/pc_namesake" $(pkg-config --cflags --libs morvane_uvc_stereo_sim)
LD_LIBRARY_PATH="$prefix/$libdir" "$work/pc_namesake"
echo "install consumers: 6 passed, 0 failed"
