#!/usr/bin/env bash
# The 64-bit Arm target: cross-builds the libraries, the command-line tool,
# the examples and the tests for aarch64 (build/arm64), checks that the built
# libraries are arm64 and export exactly what the native ones export, and runs
# the whole test suite under QEMU user-mode emulation.
#
#   scripts/arm64.sh            # install what is missing, build, check, test
#   scripts/arm64.sh --prepare  # only install what is missing and unpack the
#                               # target Python (what a fresh machine needs)
#
# Environment:
#   MORVANE_NATIVE_BUILD_DIR  native build whose libraries the exports are
#                             compared with (default build/release; its two
#                             library targets are built when missing)
#   MORVANE_ARM64_TIMEOUT     bound on the whole arm64 test run, in seconds
#                             (default 1500); each test also has its own bound
#   MORVANE_ARM64_SKIP_INSTALL=1  do not check or install packages
#
# Exit status: 0 when everything passed, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
build=build/arm64
native=${MORVANE_NATIVE_BUILD_DIR:-build/release}
test_timeout=${MORVANE_ARM64_TIMEOUT:-1500}
toolchain=$root/cmake/toolchains/aarch64-linux-gnu.cmake
status=0
step() { printf -- '-- arm64: %s\n' "$*"; }
now() { date +%s; }
started=$(now)

# ---------------------------------------------------------------- packages
# Installs only what is missing, so a second run does nothing and prints
# nothing. The arm64 libraries come from Debian's multiarch archive.
install_packages() {
  local packages=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static qemu-system-arm
                  libc6:arm64 libstdc++6:arm64 libusb-1.0-0-dev:arm64 libudev-dev:arm64 libyuv-dev:arm64 libturbojpeg0-dev:arm64
                  libpng-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64)
  local sudo_cmd=() missing=() p
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  if ! grep -qx arm64 <<<"$(dpkg --print-foreign-architectures)"; then
    "${sudo_cmd[@]}" dpkg --add-architecture arm64
  fi
  for p in "${packages[@]}"; do
    if ! grep -q "install ok installed" <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)"; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
if [ "${MORVANE_ARM64_SKIP_INSTALL:-0}" != 1 ]; then install_packages; fi

# ------------------------------------------------ Python for the target
# The Python package is built against the target's Python headers and tested
# with the target's interpreter under QEMU. Neither can be installed next to
# the host's interpreter (python3.11-minimal is not co-installable), so apt
# resolves the interpreter, its headers and numpy with every dependency for
# an arm64 system, and what the host's installed arm64 packages do not
# already provide is downloaded and unpacked into $build/python-sysroot,
# QEMU's library prefix for the interpreter (scripts/target-sysroot.sh).
# Unpacked again only when the resolved set changes.
. "$root/scripts/target-sysroot.sh"
python_root=$root/$build/python-sysroot
target_python_packages=(python3.11-minimal libpython3.11-stdlib libpython3.11-dev python3-numpy)
# Where the target's loader looks under QEMU: the multiarch directories (and
# numpy's BLAS and LAPACK, reached through LD_LIBRARY_PATH by
# python/tests/run_cross.sh since no alternatives are configured), then the
# default ones; each inside the sysroot first, then on the host.
arch_lib=/usr/lib/aarch64-linux-gnu
target_lib_dirs="/lib/aarch64-linux-gnu:$arch_lib:$arch_lib/blas:$arch_lib/lapack:/lib:/usr/lib"
unpack_target_python() {
  unpack_sysroot "$python_root" arm64 "${target_python_packages[@]}" || return 1
  # pytest and its pure-Python dependencies are the host's (arch: all).
  ln -sfn /usr/lib/python3/dist-packages "$python_root/host-dist-packages"
}
# Every library the target interpreter and numpy's extension modules load.
check_target_python() {
  local elfs
  mapfile -t elfs < <(find "$python_root/usr/bin/python3.11" "$python_root/usr/lib/python3/dist-packages/numpy" \
                        "$python_root/usr/lib/python3.11/lib-dynload" -type f \( -name python3.11 -o -name '*.so' \))
  check_needed "$python_root" arm64 "$target_lib_dirs" "${elfs[@]}"
}
step "target Python ($python_root)"
unpack_target_python || { echo "FAIL: cannot make the target Python root"; exit 1; }
if ! check_target_python; then
  echo "FAIL: the target Python cannot load its libraries (above)"
  exit 1
fi
if [ "${1:-}" = --prepare ]; then
  echo "arm64: packages and target Python ready"
  exit 0
fi

# ------------------------------------------------------------------- build
# The native build's optimisation (-O2) without debug information: the cross
# build and the emulated run are the slow parts, and the native stages already
# cover debugging builds.
step "cross build ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DMORVANE_BUILD_BENCH=OFF -DMORVANE_BUILD_FUZZ=OFF -DMORVANE_BUILD_TOOLS=ON -DMORVANE_BUILD_TESTS=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3 -DPython3_INCLUDE_DIR="$python_root/usr/include/python3.11" \
  -DMORVANE_ARM64_PYTHON_ROOT="$python_root" >/dev/null
cmake --build "$build" -j "$jobs"
built=$(now)

# ---------------------------------------------------- what the build claims
# The libraries, the tool and the examples are AArch64 ELF objects, they load
# with the multiarch C library, and the libraries export the same dynamic
# symbols as the native build.
check_pass=0
check_fail=0
check() {  # description, then the command; counts and reports the outcome
  local what=$1; shift
  local out
  if out=$("$@" 2>&1); then
    check_pass=$((check_pass + 1))
  else
    check_fail=$((check_fail + 1))
    status=1
    echo "FAIL: $what"
    [ -z "$out" ] || printf '%s\n' "$out" | head -n 40 | sed 's/^/    /'
  fi
}

is_aarch64() {  # file
  local header
  header=$(readelf -h "$1") || return 1
  grep -Eq '^ *Class: +ELF64$' <<<"$header" || { echo "$1: not ELF64"; return 1; }
  grep -Eq '^ *Machine: +AArch64$' <<<"$header" || { echo "$1: $(grep 'Machine:' <<<"$header")"; return 1; }
}

# Every library the program would load comes from the multiarch directory,
# none from the cross toolchain's tree.
loads_multiarch_libc() {  # program
  local list
  list=$("$root/cmake/toolchains/aarch64-qemu-run.sh" -E LD_TRACE_LOADED_OBJECTS=1 "$1") || {
    echo "$list"; return 1; }
  if grep -q '/usr/aarch64-linux-gnu' <<<"$list"; then echo "$list"; return 1; fi
  grep -Eq 'libc\.so\.6 => /(usr/)?lib/aarch64-linux-gnu/libc\.so\.6' <<<"$list" || { echo "$list"; return 1; }
  if grep -q 'not found' <<<"$list"; then echo "$list"; return 1; fi
}

exports() {  # nm, library: "type name" of every defined dynamic symbol
  "$1" -D --defined-only "$2" | awk 'NF == 3 {print $2, $3}' | LC_ALL=C sort -u
}

same_exports() {  # arm64 library, native library
  local arm native_list
  arm=$(exports aarch64-linux-gnu-nm "$1") || return 1
  native_list=$(exports nm "$2") || return 1
  [ -n "$arm" ] || { echo "$1 exports nothing"; return 1; }
  if [ "$arm" != "$native_list" ]; then
    echo "dynamic symbols differ (< arm64, > native):"
    diff <(printf '%s\n' "$arm") <(printf '%s\n' "$native_list") | grep '^[<>]' | head -n 30
    return 1
  fi
  echo "$(printf '%s\n' "$arm" | wc -l) symbols"
}

step "checking the arm64 binaries"
libs=(morvane_uvc_stereo_sdk morvane_uvc_stereo_sdk_c)
native_targets=()
for lib in "${libs[@]}"; do
  [ -e "$native/src/lib$lib.so" ] || native_targets+=("$lib")
done
if ((${#native_targets[@]})); then
  step "building the native libraries in $native to compare exports"
  cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$native" -j "$jobs" --target "${native_targets[@]}"
fi
for lib in "${libs[@]}"; do
  arm=$build/src/lib$lib.so
  check "lib$lib.so is an AArch64 ELF64 object" is_aarch64 "$arm"
  check "lib$lib.so exports the same symbols as $native/src/lib$lib.so" same_exports "$arm" "$native/src/lib$lib.so"
done
programs=("$build/tools/morvane-uvc-stereo")
for p in "$build"/examples/*; do
  [ -f "$p" ] && [ -x "$p" ] && programs+=("$p")
done
for p in "${programs[@]}"; do
  check "$(basename "$p") is an AArch64 ELF64 program" is_aarch64 "$p"
done
check "the tool loads the multiarch C library" loads_multiarch_libc "$build/tools/morvane-uvc-stereo"
for ext in "$build"/python/morvane_uvc_stereo/_core.*.so; do
  [ -f "$ext" ] && check "the Python extension $(basename "$ext") is an AArch64 ELF64 object" is_aarch64 "$ext"
  [ -f "$ext" ] && check "the target Python finds every library $(basename "$ext") needs" \
    check_needed "$python_root" arm64 "$target_lib_dirs" "$ext"
done
# Every library each arm64 program and library of the build needs is there
# (run with QEMU's prefix "/": the installed arm64 packages).
mapfile -t project_elfs < <(find "$build" -path "$build/python-sysroot" -prune -o -type f \( -perm -u+x -o -name '*.so*' \) \
                              ! -name '*.sh' -print | while read -r f; do
                              [ "$(head -c 4 "$f" | tr -d '\0')" = $'\x7fELF' ] && echo "$f"; done)
check "every library the ${#project_elfs[@]} arm64 binaries need is installed" \
  check_needed / arm64 "$target_lib_dirs" "${project_elfs[@]}"
echo "arm64 binary checks: $check_pass passed, $check_fail failed"

# ------------------------------------------------------------------- tests
# Every test program runs under qemu-aarch64-static (the toolchain's
# CMAKE_CROSSCOMPILING_EMULATOR). Each test has its own ctest timeout; the
# whole run is bounded too, so a hang ends as a failure.
step "test suite under QEMU user-mode emulation"
native_tests=""
if [ -f "$native/CTestTestfile.cmake" ]; then
  # python_stubtest runs in the native build only: the stubs are the same for
  # every architecture and the target's root has no mypy.
  native_tests=$(cd "$native" && ctest -N | sed -n 's/^ *Test *#[0-9]*: *//p' | grep -vx 'python_stubtest' | LC_ALL=C sort)
fi
arm_tests=$(cd "$build" && ctest -N | sed -n 's/^ *Test *#[0-9]*: *//p' | LC_ALL=C sort)
if [ -n "$native_tests" ] && [ "$native_tests" != "$arm_tests" ]; then
  echo "FAIL: the arm64 build registers other tests than $native:"
  diff <(printf '%s\n' "$arm_tests") <(printf '%s\n' "$native_tests") | grep '^[<>]' | sed 's/^/    /'
  status=1
fi
set +e
(cd "$build" && timeout --kill-after=30 "$test_timeout" ctest --output-on-failure -j "$jobs" --timeout 900)
ctest_status=$?
set -e
if [ "$ctest_status" -eq 124 ] || [ "$ctest_status" -eq 137 ]; then
  echo "FAIL: the arm64 test run did not finish within ${test_timeout}s"
fi
[ "$ctest_status" -eq 0 ] || status=1

# Test cases inside the GoogleTest programs, and why any were skipped.
log=$build/Testing/Temporary/LastTest.log
if [ -f "$log" ]; then
  awk '
    /^\[  PASSED  \] [0-9]+ test/ {passed += $4}
    /^\[  SKIPPED \] [0-9]+ test/ {skipped += $4}
    /^\[  FAILED  \] [^0-9].*\([0-9]+ ms\)$/ {failed++}
    END {printf "arm64 test cases: %d passed, %d skipped, %d failed\n", passed, skipped, failed}' "$log"
  # A GoogleTest skip prints "file:line: Skipped" and the reason on the next
  # line; a skipped ctest entry prints "SKIP: reason".
  echo "skipped here, and why:"
  awk '/: Skipped$/ {where = $1; getline; print "    " where " " $0; next}
       /^SKIP: / {print "    " $0}' "$log" | LC_ALL=C sort -u | head -n 40
fi

echo "arm64 stage: build $((built - started))s, checks and tests $(($(now) - built))s"
if [ "$status" -eq 0 ]; then echo "arm64: all passed"; else echo "arm64: some step failed"; fi
exit "$status"
