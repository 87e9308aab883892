#!/usr/bin/env bash
# A root of another architecture's Debian packages, for running that
# architecture's programs under QEMU user mode (the library prefix of
# `qemu-aarch64-static -L ROOT`), made from apt's own dependency resolution.
#
# Sourced by scripts/arm64.sh and tests/install/rehearse_install.sh; also a
# command:
#
#   scripts/target-sysroot.sh unpack ROOT ARCH PACKAGE...
#       resolves PACKAGE... and everything they depend on as apt would
#       install them into an empty ARCH system, skips what installed packages
#       of the host already provide at the same version (ARCH and "all"
#       packages), downloads the rest into the cache and unpacks it into
#       ROOT; does nothing when ROOT already holds exactly that set
#   scripts/target-sysroot.sh check ROOT ARCH DIRS ELF...
#       resolves every DT_NEEDED library of each ELF file and of the
#       libraries they load, the way the dynamic loader under QEMU finds
#       them (RUNPATH/RPATH, then DIRS, a colon-separated list, each looked
#       up inside ROOT first, then on the host); prints the missing libraries
#       with the package that provides each and fails
#
# Environment:
#   MORVANE_SYSROOT_CACHE     where downloaded packages are kept
#                             (default ${XDG_CACHE_HOME:-~/.cache}/morvane-sysroot)
#   MORVANE_SYSROOT_LEAVE_OUT package names not to unpack (space-separated),
#                             to show what the check says when one is missing

sysroot_cache=${MORVANE_SYSROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/morvane-sysroot}

# resolve_packages ARCH PACKAGE... -> "name arch version" per package apt
# would install into an empty ARCH system (no recommends).
resolve_packages() {
  local arch=$1 empty out
  shift
  empty=$(mktemp)
  local apt=(apt-get install -s -qq --no-install-recommends -o "APT::Architecture=$arch"
             -o "APT::Architectures::=$arch" -o "Dir::State::status=$empty" -o Debug::NoLocking=1)
  out=$("${apt[@]}" "$@" 2>&1) || {
    apt-get update -qq >/dev/null 2>&1
    out=$("${apt[@]}" "$@" 2>&1)
  } || { rm -f "$empty"; echo "apt cannot resolve $* for $arch:" >&2; printf '%s\n' "$out" | tail -n 5 >&2; return 1; }
  rm -f "$empty"
  sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) .*\[\([a-z0-9]*\)\]).*/\1 \3 \2/p' <<<"$out" | LC_ALL=C sort -u
}

# host_has NAME ARCH VERSION: the host has that package installed at that
# version ("all" packages under their bare name).
host_has() {
  local spec=$1:$2
  [ "$2" = all ] && spec=$1
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}${Version}' "$spec" 2>/dev/null)" = "ii $3" ]
}

# deb_file NAME ARCH VERSION -> the file name apt-get download gives it.
deb_file() { printf '%s_%s_%s.deb' "$1" "${3//:/%3a}" "$2"; }

# unpack_sysroot ROOT ARCH PACKAGE...
unpack_sysroot() {
  local root=$1 arch=$2 resolved name parch version want=() fetch=() spec leave
  shift 2
  resolved=$(resolve_packages "$arch" "$@") || return 1
  [ -n "$resolved" ] || { echo "apt resolved nothing for $*" >&2; return 1; }
  leave=" ${MORVANE_SYSROOT_LEAVE_OUT:-} "
  while read -r name parch version; do
    host_has "$name" "$parch" "$version" && continue
    [[ $leave == *" $name "* || $leave == *" $name:$parch "* ]] && continue
    want+=("$name:$parch=$version")
    [ -s "$sysroot_cache/$(deb_file "$name" "$parch" "$version")" ] || fetch+=("$name:$parch=$version")
  done <<<"$resolved"
  if [ "$(cat "$root/.packages" 2>/dev/null)" = "${want[*]}" ]; then return 0; fi
  mkdir -p "$sysroot_cache"
  if ((${#fetch[@]})); then
    # Downloads of two runs at once (the test command's rehearsal shares the
    # cache) never write the same file.
    (flock 8 && cd "$sysroot_cache" && { apt-get download -qq "${fetch[@]}" >/dev/null 2>&1 ||
      { apt-get update -qq && apt-get download -qq "${fetch[@]}"; }; }) 8>"$sysroot_cache/.lock" || return 1
  fi
  rm -rf "$root"
  mkdir -p "$root"
  for spec in "${want[@]}"; do
    name=${spec%%:*} parch=${spec#*:} parch=${parch%%=*} version=${spec#*=}
    dpkg-deb -x "$sysroot_cache/$(deb_file "$name" "$parch" "$version")" "$root" || return 1
  done
  printf '%s' "${want[*]}" >"$root/.packages"
  echo "unpacked ${#want[@]} of $(wc -l <<<"$resolved") packages apt resolves for $* ($arch) into $root"
}

# provider LIB ARCH -> the package that ships LIB, named for ARCH: the host's
# package of that name (another architecture's libraries are the same
# packages), else apt-file's answer when it is installed.
provider() {
  local pkg
  # The cross toolchain's copies (*-cross) are not what a target system has.
  pkg=$(dpkg-query -S "*/$1" 2>/dev/null | grep -v -- '-cross[:,]' | head -n 1 | cut -d: -f1)
  if [ -z "$pkg" ] && command -v apt-file >/dev/null; then
    pkg=$(apt-file search -a "$2" -l "/$1" 2>/dev/null | head -n 1)
  fi
  if [ -n "$pkg" ]; then echo "$pkg:$2"; else echo "no known package (apt-file search $1)"; fi
}

# check_needed ROOT ARCH DIRS ELF...
check_needed() {
  local root=$1 arch=$2 dirs=$3 elf lib dir found origin dyn
  shift 3
  local -A seen=() missing=()
  local queue=("$@") search
  while ((${#queue[@]})); do
    elf=${queue[0]}
    queue=("${queue[@]:1}")
    dyn=$(readelf -d "$elf" 2>/dev/null) || continue
    origin=$(dirname "$(readlink -f "$elf")")
    search=$(sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p' <<<"$dyn" | tr ':' '\n' | sed "s|\$ORIGIN|$origin|g; s|\${ORIGIN}|$origin|g")
    search+=$'\n'$(tr ':' '\n' <<<"$dirs")
    for lib in $(sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' <<<"$dyn"); do
      [ -n "${seen[$lib]:-}" ] && continue
      found=""
      while read -r dir; do
        [ -n "$dir" ] || continue
        if [[ $dir != "$root"/* ]] && [ -e "$root$dir/$lib" ]; then found=$root$dir/$lib; break; fi
        if [ -e "$dir/$lib" ]; then found=$dir/$lib; break; fi
      done <<<"$search"
      if [ -n "$found" ]; then
        seen[$lib]=1
        queue+=("$found")
      else
        missing[$lib]="${missing[$lib]:+${missing[$lib]}, }${elf##*/}"
      fi
    done
  done
  ((${#missing[@]} == 0)) && return 0
  for lib in "${!missing[@]}"; do
    echo "missing $lib (needed by ${missing[$lib]}): from $(provider "$lib" "$arch")"
  done | LC_ALL=C sort
  return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  case ${1:-} in
    unpack) shift; unpack_sysroot "$@" ;;
    check) shift; check_needed "$@" ;;
    *) sed -n '2,26p' "$0" >&2; exit 2 ;;
  esac
fi
