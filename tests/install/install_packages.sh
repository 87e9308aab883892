#!/usr/bin/env bash
# The Debian packages as a user gets them: apt-get installs them into a clean
# Debian 12 root (debootstrap, minbase) with their maintainer scripts and
# triggers and their dependencies from the archive, and there the outside
# consumers build against /usr through find_package and pkg-config and run
# (a program with globals named like the access library's among them, and
# one that takes a library from /opt through pkg-config), ldconfig knows the
# libraries, the tool's manual page and bash completion work, the Python
# module imports, removing and purging the packages leaves no file of theirs
# behind, and the tools installed alone from a repository bring the udev rule
# and have udev apply it to the supported cameras.
#
#   tests/install/install_packages.sh DEB_DIR CONSUMER_SOURCE_DIR
#
# The root is made once with the build tools the consumers need and kept as
# a tarball in ${XDG_CACHE_HOME:-$HOME/.cache}/morvane-install-root (made
# again when its package list, suite or mirror change); every run unpacks a
# fresh copy and deletes it on exit. The mirror is the host's own Debian
# archive from its apt sources.
#
# Prints "install packages: N passed, M failed"; exit status 0 when all
# passed, 77 (with the reason) when no root can be made here: not root, no
# debootstrap, the archive out of reach, chroot refused.
set -uo pipefail
export LC_ALL=C
debs=$(cd "$1" && pwd)
consumer=$(cd "$2" && pwd)
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
. "$(dirname "$0")/clean_root.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-install.XXXXXX")
root=$work/root
trap cleanup_work EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

skip() {
  echo "install packages: skipped: $*"
  exit 77
}

finish() {
  echo "install packages: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

mapfile -t packages < <(ls "$debs"/*_"$arch".deb "$debs"/*_all.deb 2>/dev/null)
[ ${#packages[@]} -ge 5 ] || { echo "FAIL: fewer than five packages in $debs"; exit 1; }
names=()
for deb in "${packages[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
# The libraries' SONAME version, from the C++ library's package name.
soversion=$(printf '%s\n' "${names[@]}" | sed -n 's/^libmorvane-uvc-stereo-sdk\([0-9][0-9.]*\)$/\1/p')
[ -n "$soversion" ] || { echo "FAIL: no libmorvane-uvc-stereo-sdk<version> package in $debs"; exit 1; }

# ------------------------------------------------------------ the root
# A fresh copy of the cached clean root (tests/install/clean_root.sh).
fresh_root "$root" "${clean_root_packages[@]}"

in_root apt-get update -qq >"$work/update.log" 2>&1 || { cat "$work/update.log"; skip "apt-get update in the root fails"; }

# ------------------------------------------------------------ install
# The root's paths before the packages come, to find what they leave behind.
snapshot() { (cd "$root" && find . -xdev \( -path ./proc -o -path ./tmp -o -path ./dev \) -prune -o -print | sort); }
snapshot >"$work/before"

mkdir -p "$root/tmp/debs"
cp "${packages[@]}" "$root/tmp/debs/"
install_debs() {
  local name state
  in_root sh -c 'apt-get install -y /tmp/debs/*.deb' || return 1
  for name in "${names[@]}"; do
    state=$(in_root dpkg-query -W -f='${Status}' "$name") || return 1
    [ "$state" = "install ok installed" ] || { echo "$name: $state"; return 1; }
  done
}
check "apt-get installs the packages and their dependencies into a clean $suite root" install_debs
[ "$failed" -eq 0 ] || finish

: >"$work/owned"
for name in "${names[@]}"; do in_root dpkg-query -L "$name" >>"$work/owned"; done

has() { [ -e "$root/$1" ] || { echo "missing: /$1"; return 1; }; }
layout() {
  local f
  for f in usr/lib/$triplet/libmorvane_uvc_stereo_sdk.so.$soversion usr/lib/$triplet/libmorvane_uvc_stereo_sdk_c.so.$soversion \
           usr/lib/$triplet/libmorvane_uvc_stereo_sdk.so usr/lib/$triplet/pkgconfig/morvane_uvc_stereo_sdk.pc \
           usr/lib/$triplet/cmake/morvane_uvc_stereo_sdk/morvane_uvc_stereo_sdkConfig.cmake \
           usr/include/morvane/uvc_stereo.hpp usr/include/morvane/uvc_stereo/monitor.hpp \
           usr/lib/udev/rules.d/70-morvane-uvc-stereo.rules usr/bin/morvane-uvc-stereo \
           usr/share/man/man1/morvane-uvc-stereo.1.gz usr/share/bash-completion/completions/morvane-uvc-stereo; do
    has "$f" || return 1
  done
  # Nothing outside the multiarch directory, nothing unstripped.
  if grep -E '^/usr/lib/libmorvane' "$work/owned"; then echo "library outside lib/$triplet"; return 1; fi
  local f unstripped=
  while read -r f; do
    [ -f "$root$f" ] && [ ! -L "$root$f" ] || continue
    file -b "$root$f" | grep -q '^ELF.*not stripped' && unstripped+=" $f"
  done <"$work/owned"
  [ -z "$unstripped" ] || { echo "not stripped:$unstripped"; return 1; }
}
check "files where Debian puts them, binaries stripped" layout

# The ldconfig trigger ran: the dynamic linker's cache has the libraries.
linker_cache() {
  local cache lib
  cache=$(in_root ldconfig -p) || return 1
  for lib in libmorvane_uvc_stereo_sdk.so.$soversion libmorvane_uvc_stereo_sdk_c.so.$soversion \
             libmorvane_uvc_stereo_sim.so.$soversion; do
    grep -Eq "^[[:space:]]*$lib .*=> (/usr)?/lib/$triplet/$lib\$" <<<"$cache" || { echo "ldconfig -p lacks $lib"; return 1; }
  done
}
check "ldconfig knows the installed libraries" linker_cache

cp -r "$consumer" "$root/tmp/consumer"
cmake_consumer() {
  in_root cmake -S /tmp/consumer -B /tmp/cmake-build -G Ninja >/dev/null &&
    in_root cmake --build /tmp/cmake-build >/dev/null &&
    grep -q "/usr/lib/$triplet/libmorvane_uvc_stereo_sdk.so" "$root/tmp/cmake-build/build.ninja" &&
    in_root /tmp/cmake-build/consumer_cxx &&
    in_root /tmp/cmake-build/consumer_c
}
check "find_package consumers build against /usr in the root and run" cmake_consumer

pkgconfig_consumer() {
  in_root sh -c 'cc -std=c99 -Wall -Wextra -pedantic -Werror /tmp/consumer/consumer.c -o /tmp/pc_c \
                   $(pkg-config --cflags --libs morvane_uvc_stereo_sdk_c) &&
                 c++ -std=c++17 -Wall -Wextra -Werror /tmp/consumer/consumer.cpp -o /tmp/pc_cxx \
                   $(pkg-config --cflags --libs morvane_uvc_stereo_sdk)' &&
    in_root ldd /tmp/pc_cxx |
      grep -Eq "libmorvane_uvc_stereo_sdk\.so\.${soversion//./\\.} => (/usr)?/lib/$triplet/libmorvane_uvc_stereo_sdk\.so\.${soversion//./\\.} " &&
    in_root /tmp/pc_c &&
    in_root /tmp/pc_cxx
}
check "pkg-config consumers build against /usr in the root and run" pkgconfig_consumer

# Built by cmake_consumer: defines devh, camera_init and cal_pow of its own,
# reads the simulated camera's document and reads gEC through the header.
check "a program with globals named like the access library's keeps them, the library its own" \
  in_root /tmp/cmake-build/consumer_namesake

# The distribution has an old libfoo (SONAME libfoo.so.1) in the multiarch
# directory and the program wants the new one in /opt (libfoo.so.2): the
# SDK's pkg-config flags must not put the system directory ahead of /opt.
opt_library() {
  local libs
  mkdir -p "$root/opt/foo/lib/pkgconfig"
  echo 'int foo_version(void) { return 1; }' >"$root/tmp/foo1.c"
  echo 'int foo_version(void) { return 2; }' >"$root/tmp/foo2.c"
  cat >"$root/opt/foo/lib/pkgconfig/foo.pc" <<'EOF_PC'
libdir=/opt/foo/lib
Name: foo
Description: a library outside the system directories
Version: 2
Libs: -L${libdir} -lfoo
EOF_PC
  cat >"$root/tmp/foo_user.c" <<'EOF_C'
#include <morvane/uvc_stereo.h>
int foo_version(void);
int main(void) { morvane_uvc_stereo_free(0); return foo_version() != 2; }
EOF_C
  in_root sh -c "set -e
    cc -shared -fPIC -Wl,-soname,libfoo.so.1 /tmp/foo1.c -o /usr/lib/$triplet/libfoo.so.1
    ln -sf libfoo.so.1 /usr/lib/$triplet/libfoo.so
    cc -shared -fPIC -Wl,-soname,libfoo.so.2 /tmp/foo2.c -o /opt/foo/lib/libfoo.so.2
    ln -sf libfoo.so.2 /opt/foo/lib/libfoo.so" || return 1
  libs=$(in_root pkg-config --libs morvane_uvc_stereo_sdk_c) || return 1
  libs=${libs%" "}  # pkgconf ends the line with a blank
  [ "$libs" = "-lmorvane_uvc_stereo_sdk_c" ] || { echo "pkg-config --libs morvane_uvc_stereo_sdk_c: $libs"; return 1; }
  in_root sh -c 'PKG_CONFIG_PATH=/opt/foo/lib/pkgconfig; export PKG_CONFIG_PATH
    cc /tmp/foo_user.c -o /tmp/foo_user $(pkg-config --cflags --libs morvane_uvc_stereo_sdk_c foo) &&
    LD_LIBRARY_PATH=/opt/foo/lib /tmp/foo_user' || { echo "linked the distribution's libfoo"; return 1; }
}
opt_library_cleanup() { rm -rf "$root/opt/foo" "$root/usr/lib/$triplet/libfoo.so" "$root/usr/lib/$triplet/libfoo.so.1"; }
check "pkg-config with the SDK and a library in /opt links the one in /opt" opt_library
opt_library_cleanup

tool_version() {
  local out
  out=$(in_root morvane-uvc-stereo --version) &&
    grep -Eq '^morvane-uvc-stereo [0-9]+\.[0-9]+\.[0-9]+$' <<<"$out" &&
    grep -Eq '^libmorvane_uvc_stereo_sdk [0-9]+\.[0-9]+\.[0-9]+$' <<<"$out"
}
check "the installed tool prints its versions" tool_version

manual_page() {
  local text
  [ "$(in_root man -w morvane-uvc-stereo)" = /usr/share/man/man1/morvane-uvc-stereo.1.gz ] || return 1
  text=$(in_root sh -c 'MANWIDTH=80 man --no-hyphenation morvane-uvc-stereo 2>&1 | col -b') &&
    grep -Eq "morvane-uvc-stereo[[:space:]]+-[[:space:]]+list,[[:space:]]+watch[[:space:]]+and[[:space:]]+configure" <<<"$text" &&
    grep -Eq "^ +watch +\[--json\]" <<<"$text" &&
    # man-db's trigger put the page in the index.
    in_root whatis morvane-uvc-stereo | grep -Eq '^morvane-uvc-stereo \(1\) +- list, watch and configure'
}
check "man morvane-uvc-stereo shows the installed page" manual_page

completion() {
  # What bash offers after "morvane-uvc-stereo wa" and "morvane-uvc-stereo config ",
  # with the completion loaded on demand the way an interactive shell does.
  in_root bash -c '
    source /usr/share/bash-completion/bash_completion || exit 1
    _completion_loader morvane-uvc-stereo
    spec=$(complete -p morvane-uvc-stereo) || { echo "no completion loaded"; exit 1; }
    fn=$(sed -n "s/.*-F \([^ ]*\) .*/\1/p" <<<"$spec")
    [ -n "$fn" ] || { echo "not a function completion: $spec"; exit 1; }
    COMP_WORDS=(morvane-uvc-stereo wa); COMP_CWORD=1; COMP_LINE="morvane-uvc-stereo wa"; COMP_POINT=${#COMP_LINE}
    "$fn" morvane-uvc-stereo wa morvane-uvc-stereo
    [ "${COMPREPLY[*]}" = watch ] || { echo "after wa: ${COMPREPLY[*]}"; exit 1; }
    COMP_WORDS=(morvane-uvc-stereo config ""); COMP_CWORD=2; COMP_LINE="morvane-uvc-stereo config "; COMP_POINT=${#COMP_LINE}
    "$fn" morvane-uvc-stereo "" config
    [ "${COMPREPLY[*]}" = "get set backup restore check" ] || { echo "after config: ${COMPREPLY[*]}"; exit 1; }
    # The state file after --simulate is no command.
    COMP_WORDS=(morvane-uvc-stereo --simulate state.bin config ""); COMP_CWORD=4
    COMP_LINE="morvane-uvc-stereo --simulate state.bin config "; COMP_POINT=${#COMP_LINE}
    "$fn" morvane-uvc-stereo "" config
    [ "${COMPREPLY[*]}" = "get set backup restore check" ] || { echo "after --simulate FILE config: ${COMPREPLY[*]}"; exit 1; }
  '
}
check "bash completion of the installed tool" completion

# The root has no camera (and no /sys): scanning finds none and says so with
# an empty list, not an exception.
python_module() {
  local out
  out=$(in_root python3 -c 'import morvane_uvc_stereo as m; print(m.scan_devices())') || return 1
  [ "$out" = "[]" ] || { echo "scan_devices() printed: $out"; return 1; }
}
check "python3 imports the installed module and scans" python_module

# ------------------------------------------------------------ remove, purge
gone() {  # what may stay -> lists the packages' files still there
  local f
  while read -r f; do
    [ -e "$root$f" ] || [ -L "$root$f" ] || continue
    [ -d "$root$f" ] && [ ! -L "$root$f" ] && continue
    echo "left: $f"
  done <"$work/owned"
}
remove_packages() {
  local left
  in_root apt-get remove -y "${names[@]}" || return 1
  left=$(gone)
  [ -z "$left" ] || { echo "after remove: $left"; return 1; }
  in_root ldconfig -p | grep libmorvane && { echo "ldconfig still lists the libraries"; return 1; }
  true
}
check "apt-get remove takes the packages' files away" remove_packages

purge_packages() {
  local name state left kept=()
  # Removed packages without configuration files are gone from dpkg's
  # database already; the others are purged.
  for name in "${names[@]}"; do
    state=$(in_root dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null)
    [ -n "$state" ] && [ "${state:0:2}" != un ] && [ "${state:0:2}" != pn ] && kept+=("$name")
  done
  if [ ${#kept[@]} -gt 0 ]; then in_root apt-get purge -y "${kept[@]}" || return 1; fi
  for name in "${names[@]}"; do
    state=$(in_root dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null)
    [ -z "$state" ] || [ "${state:0:2}" = un ] || [ "${state:0:2}" = pn ] || { echo "$name: $state"; return 1; }
  done
  # Nothing new is left where the packages put files: not a file, not a
  # directory they made, not a byte-compiled cache, nothing named after them.
  snapshot >"$work/after"
  comm -13 "$work/before" "$work/after" >"$work/new"
  sed 's|^|.|' "$work/owned" | sort -u >"$work/owned.rel"
  left=$(
    {
      comm -12 "$work/new" "$work/owned.rel"
      while read -r d; do grep -F "$d/" "$work/new"; done < <(comm -13 "$work/before" "$work/owned.rel")
      grep -i morvane "$work/new"
    } | sort -u
  )
  [ -z "$left" ] || { echo "after purge:"; echo "$left"; return 1; }
}
check "apt-get purge leaves nothing of the packages behind" purge_packages

# The tools alone, from a repository as a user gets them: the udev rule comes
# with them (through -common), and with udev running (here: its control
# socket and a udevadm that logs) the rule is applied to every supported
# camera already plugged in.
tools_alone() {
  local log=$root/tmp/udevadm.log pair vid pid
  (cd "$root/tmp/debs" && dpkg-scanpackages . /dev/null >Packages 2>/dev/null) || return 1
  echo "deb [trusted=yes] file:/tmp/debs ./" >"$root/etc/apt/sources.list.d/morvane-local.list"
  in_root apt-get update -qq -o Dir::Etc::SourceList=/etc/apt/sources.list.d/morvane-local.list \
    -o Dir::Etc::SourceParts=- -o APT::Get::List-Cleanup=0 || return 1
  mkdir -p "$root/run/udev"
  in_root python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("/run/udev/control")' || return 1
  printf '#!/bin/sh\necho "$*" >>/tmp/udevadm.log\n' >"$root/usr/bin/udevadm"
  chmod 0755 "$root/usr/bin/udevadm"
  : >"$log"
  in_root apt-get install -y morvane-uvc-stereo-tools || return 1
  has usr/lib/udev/rules.d/70-morvane-uvc-stereo.rules || return 1
  grep -qx 'control --reload-rules' "$log" || { echo "no rule reload:"; cat "$log"; return 1; }
  while read -r pair; do
    vid=${pair%:*} pid=${pair#*:}
    grep -qx -- "trigger --action=change --subsystem-match=usb --attr-match=idVendor=$vid --attr-match=idProduct=$pid" "$log" ||
      { echo "no trigger for $vid:$pid:"; cat "$log"; return 1; }
  done < <(sed -n 's/.*ATTR{idVendor}=="\([0-9a-f]*\)".*ATTR{idProduct}=="\([0-9a-f]*\)".*/\1:\2/p' \
             "$root/usr/lib/udev/rules.d/70-morvane-uvc-stereo.rules")
}
check "the tools installed alone bring the udev rule and udev applies it to plugged cameras" tools_alone

finish
