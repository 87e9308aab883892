#!/usr/bin/env bash
# The Debian packages as a user gets them: their dependencies resolve against
# Debian 12 (apt-get's dry run), they unpack into a clean root with the files
# where Debian puts them, and the outside consumers build against that root
# through find_package and pkg-config and run. The tool's manual page and
# bash completion work from the unpacked package.
#
#   tests/install/install_packages.sh DEB_DIR CONSUMER_SOURCE_DIR
#
# Prints "install packages: N passed, M failed"; exit status 0 when all passed.
set -uo pipefail
debs=$(cd "$1" && pwd)
consumer=$(cd "$2" && pwd)
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
passed=0
failed=0
check() {  # description, command...
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
    printf '%s\n' "$out" | tail -n 30 | sed 's/^/    /'
  fi
}

mapfile -t packages < <(ls "$debs"/*_"$arch".deb "$debs"/*_all.deb 2>/dev/null)
[ ${#packages[@]} -ge 5 ] || { echo "FAIL: fewer than five packages in $debs"; exit 1; }

# Every dependency is satisfiable from the configured Debian archive.
check "apt-get resolves the packages' dependencies" apt-get -s -qq install "${packages[@]}"

mkdir -p "$root"
for deb in "${packages[@]}"; do dpkg-deb -x "$deb" "$root"; done

has() { [ -e "$root/$1" ] || { echo "missing: /$1"; return 1; }; }
layout() {
  local f
  for f in usr/lib/$triplet/libmorvane_uvc_stereo_sdk.so.0 usr/lib/$triplet/libmorvane_uvc_stereo_sdk_c.so.0 \
           usr/lib/$triplet/libmorvane_uvc_stereo_sdk.so usr/lib/$triplet/pkgconfig/morvane_uvc_stereo_sdk.pc \
           usr/lib/$triplet/cmake/morvane_uvc_stereo_sdk/morvane_uvc_stereo_sdkConfig.cmake \
           usr/include/morvane/uvc_stereo.hpp usr/include/morvane/uvc_stereo/monitor.hpp \
           usr/lib/udev/rules.d/70-morvane-uvc-stereo.rules usr/bin/morvane-uvc-stereo \
           usr/share/man/man1/morvane-uvc-stereo.1.gz usr/share/bash-completion/completions/morvane-uvc-stereo; do
    has "$f" || return 1
  done
  # Nothing outside the multiarch directory, nothing unstripped.
  if find "$root/usr/lib" -maxdepth 1 -name 'libmorvane*' | grep -q .; then echo "library outside lib/$triplet"; return 1; fi
  local unstripped
  unstripped=$(find "$root/usr" -type f -exec sh -c 'file -b "$1" | grep -q "^ELF.*not stripped" && echo "$1"' sh {} \;)
  [ -z "$unstripped" ] || { echo "not stripped: $unstripped"; return 1; }
}
check "files where Debian puts them, binaries stripped" layout

cmake_consumer() {
  cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=ON \
    >/dev/null &&
    cmake --build "$work/cmake-build" >/dev/null &&
    grep -q "$root/usr/lib/$triplet/libmorvane_uvc_stereo_sdk.so" "$work/cmake-build/build.ninja" &&
    LD_LIBRARY_PATH="$root/usr/lib/$triplet" "$work/cmake-build/consumer_cxx" &&
    LD_LIBRARY_PATH="$root/usr/lib/$triplet" "$work/cmake-build/consumer_c"
}
check "find_package consumers build against the unpacked packages and run" cmake_consumer

pkgconfig_consumer() {
  local flags_c flags_cxx
  flags_c=$(PKG_CONFIG_PATH="$root/usr/lib/$triplet/pkgconfig" pkg-config --cflags --libs morvane_uvc_stereo_sdk_c) &&
    flags_cxx=$(PKG_CONFIG_PATH="$root/usr/lib/$triplet/pkgconfig" pkg-config --cflags --libs morvane_uvc_stereo_sdk) &&
    # shellcheck disable=SC2086
    cc -std=c99 -Wall -Wextra -pedantic -Werror "$consumer/consumer.c" -o "$work/pc_c" $flags_c &&
    # shellcheck disable=SC2086
    c++ -std=c++17 -Wall -Wextra -Werror "$consumer/consumer.cpp" -o "$work/pc_cxx" $flags_cxx &&
    LD_LIBRARY_PATH="$root/usr/lib/$triplet" ldd "$work/pc_cxx" | grep -q "$root/usr/lib/$triplet/libmorvane_uvc_stereo_sdk.so.0" &&
    LD_LIBRARY_PATH="$root/usr/lib/$triplet" "$work/pc_c" &&
    LD_LIBRARY_PATH="$root/usr/lib/$triplet" "$work/pc_cxx"
}
check "pkg-config consumers build against the unpacked packages and run" pkgconfig_consumer

tool_version() {
  local out
  out=$("$root/usr/bin/morvane-uvc-stereo" --version) &&
    grep -Eq '^morvane-uvc-stereo [0-9]+\.[0-9]+\.[0-9]+$' <<<"$out" &&
    grep -Eq '^libmorvane_uvc_stereo_sdk [0-9]+\.[0-9]+\.[0-9]+$' <<<"$out"
}
check "the packaged tool prints its versions" tool_version

manual_page() {
  local text
  text=$(MANPATH="$root/usr/share/man" MANWIDTH=80 man --no-hyphenation morvane-uvc-stereo 2>&1 | col -b) &&
    grep -Eq "morvane-uvc-stereo[[:space:]]+-[[:space:]]+list,[[:space:]]+watch[[:space:]]+and[[:space:]]+configure" <<<"$text" &&
    grep -Eq "^ +watch +\[--json\]" <<<"$text"
}
check "man morvane-uvc-stereo shows the packaged page" manual_page

completion() {
  # What bash offers after "morvane-uvc-stereo wa" and "morvane-uvc-stereo config ".
  bash -c '
    source /usr/share/bash-completion/bash_completion 2>/dev/null || exit 1
    source "$1" || exit 1
    complete -p morvane-uvc-stereo >/dev/null || exit 1
    COMP_WORDS=(morvane-uvc-stereo wa); COMP_CWORD=1; COMP_LINE="morvane-uvc-stereo wa"; COMP_POINT=${#COMP_LINE}
    _morvane_uvc_stereo morvane-uvc-stereo wa morvane-uvc-stereo
    [ "${COMPREPLY[*]}" = watch ] || { echo "after wa: ${COMPREPLY[*]}"; exit 1; }
    COMP_WORDS=(morvane-uvc-stereo config ""); COMP_CWORD=2; COMP_LINE="morvane-uvc-stereo config "; COMP_POINT=${#COMP_LINE}
    _morvane_uvc_stereo morvane-uvc-stereo "" config
    [ "${COMPREPLY[*]}" = "get set backup restore check" ] || { echo "after config: ${COMPREPLY[*]}"; exit 1; }
  ' bash "$root/usr/share/bash-completion/completions/morvane-uvc-stereo"
}
check "bash completion of the packaged tool" completion

echo "install packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
