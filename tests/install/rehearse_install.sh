#!/usr/bin/env bash
# Rehearses a fresh machine: in a fresh copy of the clean Debian 12 root the
# install test uses (tests/install/clean_root.sh), runs the project's own
# install steps as the test command runs them on a new machine
# (scripts/install-deps.sh, then scripts/arm64.sh --prepare: the cross
# toolchain, QEMU, the arm64 libraries and the target Python unpacked from
# apt's resolution and checked library by library), then starts each
# installed tool once. A missing install step fails here instead of on the
# next fresh machine. It also leaves libexpat1 out of the target Python once
# and expects the library check to name libexpat.so.1 and libexpat1:arm64.
#
#   tests/install/rehearse_install.sh [SOURCE_DIR]
#
# The guests' kernel, udev, video clients and OpenCV are downloaded by
# tests/vm/run.sh with apt-get download, which installs nothing on the host;
# they are not fetched here.
#
# Downloaded packages are kept between runs: the root's apt archive in
# ${XDG_CACHE_HOME:-~/.cache}/morvane-rehearsal (seeded with hard links from
# the host's apt archive) and the target Python's packages in the host's
# morvane-sysroot cache. A run that passed is recorded by the hash of the
# install steps; MORVANE_REHEARSAL=always runs again anyway, =skip not at all.
#
# Prints "rehearsal: N passed, M failed"; exit 0 when all passed, 77 (with
# the reason) when no root can be made here.
set -uo pipefail
export LC_ALL=C
src=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
. "$src/tests/install/clean_root.sh"
state=${XDG_CACHE_HOME:-$HOME/.cache}/morvane-rehearsal
sysroot_cache=${MORVANE_SYSROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/morvane-sysroot}
started=$(date +%s)

skip() {
  echo "rehearsal: skipped: $*"
  exit 77
}
[ "${MORVANE_REHEARSAL:-}" != skip ] || skip "MORVANE_REHEARSAL=skip"

# What the rehearsal rehearses: the install steps and this script.
steps=(scripts/install-deps.sh scripts/arm64.sh scripts/target-sysroot.sh tests/install/clean_root.sh
       tests/install/rehearse_install.sh python/tests/run_cross.sh)
steps_key=$(cd "$src" && cat "${steps[@]}" | sha256sum | cut -c1-16)
if [ "${MORVANE_REHEARSAL:-}" != always ] && [ -f "$state/passed-$steps_key" ]; then
  echo "rehearsal: these install steps passed in a clean root on $(cat "$state/passed-$steps_key"); not run again"
  echo "rehearsal: 1 passed, 0 failed"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-rehearsal.XXXXXX")
trap cleanup_work EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

finish() {
  echo "rehearsal: $passed passed, $failed failed ($(($(date +%s) - started)) s)"
  if [ "$failed" -eq 0 ]; then
    mkdir -p "$state"
    rm -f "$state"/passed-*
    date -u +%Y-%m-%dT%H:%MZ >"$state/passed-$steps_key"
  fi
  [ "$failed" -eq 0 ]
  exit
}

fresh_root "$work/root" "${clean_root_packages[@]}"

# The project as a fresh clone has it (tracked and new files, no build).
mkdir -p "$root/src"
(cd "$src" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) | tar -C "$root/src" -xf - ||
  { echo "FAIL: cannot copy $src into the root"; exit 1; }
# Downloads kept between runs. The root's own apt archive starts from hard
# links to what the host has fetched already.
mkdir -p "$state/archives/partial" "$sysroot_cache" "$root/root/.cache/morvane-sysroot"
find /var/cache/apt/archives -maxdepth 1 -name '*.deb' -exec cp -ln {} "$state/archives/" \; 2>/dev/null
mount --bind "$state/archives" "$root/var/cache/apt/archives" || skip "cannot bind-mount the package cache"
mount --bind "$sysroot_cache" "$root/root/.cache/morvane-sysroot" || skip "cannot bind-mount the sysroot cache"

in_src() { in_root sh -c 'cd /src && "$@"' sh "$@"; }
check "scripts/install-deps.sh installs the host's packages in a clean root" in_src scripts/install-deps.sh
# The arm64 stage's packages, with a target Python missing one package
# first: the library check must fail and say which library and which package.
# The package left out is one the interpreter needs and no package of the
# arm64 stage brings along (zlib1g:arm64 comes with libpng-dev:arm64).
without_expat() {
  local out
  if out=$(in_src env MORVANE_SYSROOT_LEAVE_OUT=libexpat1 scripts/arm64.sh --prepare 2>&1); then
    echo "arm64.sh --prepare passed without libexpat1:"
    echo "$out"
    in_root dpkg-query -W -f='${db:Status-Abbrev}' libexpat1:arm64 2>/dev/null | grep -q '^ii' &&
      echo "(libexpat1:arm64 is installed in the root, so leaving it out proves nothing)"
    return 1
  fi
  grep -q 'missing libexpat.so.1 (needed by .*python3.11.*): from libexpat1:arm64' <<<"$out" || { echo "$out"; return 1; }
}
check "scripts/arm64.sh --prepare without libexpat1 names libexpat.so.1 and libexpat1:arm64" without_expat
check "scripts/arm64.sh --prepare installs the arm64 stage and a target Python that loads every library" \
  in_src scripts/arm64.sh --prepare

# Each installed tool, started once.
cat >"$root/tmp/hello.cpp" <<'EOF'
#include <cstdio>
int main() { std::puts("hello"); }
EOF
compiles() {  # compiler, runner...
  local cc=$1
  shift
  in_root "$cc" -O1 /tmp/hello.cpp -o /tmp/hello-$$ && [ "$(in_root "$@" /tmp/hello-$$)" = hello ]
}
check "the host's C++ compiler" compiles c++ env
check "clang with AddressSanitizer and UndefinedBehaviorSanitizer" \
  in_root sh -c 'clang++ -fsanitize=address,undefined /tmp/hello.cpp -o /tmp/hello-asan && /tmp/hello-asan'
check "libFuzzer's runtime" in_root sh -c \
  'printf "extern \"C\" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n" >/tmp/f.cpp &&
   clang++ -fsanitize=fuzzer /tmp/f.cpp -o /tmp/f && /tmp/f -runs=10 2>/dev/null'
check "the cross compiler, and its program under QEMU user mode" compiles aarch64-linux-gnu-g++ qemu-aarch64-static -L /
check "the host's python3 with numpy and pytest" in_root python3 -c 'import numpy, pytest; print(numpy.__version__)'
check "the arm64 interpreter with numpy under QEMU user mode" in_src sh python/tests/run_cross.sh \
  /src/build/arm64/python-sysroot -c 'import numpy, zlib; assert numpy.ones(3).sum() == 3'
for tool in "cmake --version" "ninja --version" "lintian --version" "debootstrap --version" \
            "qemu-system-x86_64 --version" "qemu-system-aarch64 --version" "busybox --help" \
            "dpkg-buildflags --export=sh" "pkg-config --exists libusb-1.0 libudev gtest gmock benchmark pybind11"; do
  check "$tool" in_root $tool
done
finish
