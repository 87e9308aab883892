#!/usr/bin/env bash
# Builds and runs every test: the normal build (warnings are errors), the
# Debian packages, the AddressSanitizer+UndefinedBehaviorSanitizer build, the
# ThreadSanitizer run of the concurrency tests, the arm64 stage, bounded runs
# of the fuzzers, a rehearsal of the install steps in a clean root, and the
# full-stack guests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
fuzz_seconds=${MORVANE_FUZZ_SECONDS:-60}

"$root/scripts/install-deps.sh"

# The install steps rehearsed in a clean Debian root while the builds run
# (tests/install/rehearse_install.sh: mostly downloads and unpacking, and
# nothing at all when these install steps passed there before); its result
# is collected before the virtual machines start.
mkdir -p build
rehearsal_log=build/rehearsal.log
"$root/tests/install/rehearse_install.sh" "$root" >"$rehearsal_log" 2>&1 &
rehearsal_pid=$!
trap 'kill -TERM "$rehearsal_pid" 2>/dev/null && wait "$rehearsal_pid"' EXIT

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

status=0
section() { printf '\n===== %s =====\n' "$*"; }

section "normal build"
configure build/release
cmake --build build/release -j "$jobs"
section "normal tests"
(cd build/release && ctest --output-on-failure -j "$jobs") || status=1

section "python package (pytest against the simulated camera)"
# The suite ctest ran above as python_pytest, once more with its skip
# reasons shown. Debian's interpreter (numpy, pytest); exit 5 means pytest
# collected no test, which is a failure here.
py_status=0
PYTHONPATH="$root/build/release/python" MORVANE_BUILD_DIR="$root/build/release" PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -rs -p no:cacheprovider "$root/python/tests" || py_status=$?
if [ "$py_status" -eq 5 ]; then echo "pytest collected no tests"; fi
[ "$py_status" -eq 0 ] || status=1

# ---- Debian packages (begin) ----------------------------------------------
# Builds the .deb files (packaging/build-debs.sh re-configures the build to
# install into /usr with the multiarch directory; nothing is rebuilt), checks
# each with lintian, which may report no error and no warning, and for the
# host's architecture installs them into a clean root where the outside
# consumers are built (tests/install/install_packages.sh).
debian_packages() {  # build dir, Debian architecture
  local out=build/debs/$2 lint_status=0
  rm -rf "$out"
  "$root/packaging/build-debs.sh" "$1" "$out" "$2" || return 1
  local tags
  tags=$(lintian --tag-display-limit 0 --fail-on error,warning "$out"/*.deb 2>&1) || lint_status=1
  grep -v 'root privileges' <<<"$tags" || true
  echo "lintian on $(ls "$out"/*.deb | wc -l) $2 packages: $([ "$lint_status" -eq 0 ] && echo clean || echo FAILED)"
  [ "$lint_status" -eq 0 ] || return 1
  if [ "$2" = "$(dpkg --print-architecture)" ]; then
    # Exit 77: no Debian root can be made on this machine; a skip with its
    # reason, never a pass.
    local install_log install_rc=0
    install_log=$(mktemp)
    "$root/tests/install/install_packages.sh" "$out" "$root/tests/install/consumer" 2>&1 | tee "$install_log" ||
      install_rc=${PIPESTATUS[0]}
    if [ "$install_rc" -eq 77 ]; then
      echo "install packages SKIPPED (not a pass): $(grep 'install packages: skipped' "$install_log" | tail -n 1)"
    fi
    rm -f "$install_log"
    [ "$install_rc" -eq 0 ] || [ "$install_rc" -eq 77 ] || return 1
  fi
}
section "Debian packages ($(dpkg --print-architecture)): build, lintian, install into a clean root"
debs_start=$(date +%s)
debian_packages build/release "$(dpkg --print-architecture)" || status=1
echo "package stage took $(($(date +%s) - debs_start))s"
# ---- Debian packages (end) ------------------------------------------------

section "address+undefined sanitizer build"
configure build/asan -DMORVANE_SANITIZE=address,undefined -DMORVANE_BUILD_BENCH=OFF -DMORVANE_BUILD_TOOLS=OFF
cmake --build build/asan -j "$jobs"
section "address+undefined sanitizer tests"
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs" -LE no_asan) || status=1

section "thread sanitizer (concurrency tests)"
configure build/tsan -DMORVANE_SANITIZE=thread -DMORVANE_BUILD_BENCH=OFF -DMORVANE_BUILD_TOOLS=OFF
tsan_targets=$(cd build/tsan && ctest -N -L tsan | sed -n 's/^ *Test *#[0-9]*: *//p')
if [ -n "$tsan_targets" ]; then
  cmake --build build/tsan -j "$jobs" --target $tsan_targets
  (cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L tsan) || status=1
else
  echo "no concurrency tests labelled tsan"
fi

# ---- arm64 stage (begin) -------------------------------------------------
# Cross-builds for 64-bit Arm (build/arm64) and runs the whole suite under
# QEMU user-mode emulation; see scripts/arm64.sh. MORVANE_SKIP_ARM64=1 leaves
# it out.
if [ "${MORVANE_SKIP_ARM64:-0}" != 1 ]; then
  section "arm64: cross build, binary checks, tests under QEMU user mode"
  arm64_start=$(date +%s)
  MORVANE_NATIVE_BUILD_DIR=build/release "$root/scripts/arm64.sh" || status=1
  echo "arm64 stage took $(($(date +%s) - arm64_start))s"
  section "Debian packages (arm64): build from the cross build, lintian"
  debs_start=$(date +%s)
  debian_packages build/arm64 arm64 || status=1
  echo "arm64 package stage took $(($(date +%s) - debs_start))s"
fi
# ---- arm64 stage (end) ---------------------------------------------------

section "fuzzers (${fuzz_seconds}s each)"
CC=clang CXX=clang++ configure build/fuzz -DMORVANE_BUILD_FUZZ=ON -DMORVANE_BUILD_TESTS=OFF \
  -DMORVANE_BUILD_BENCH=OFF -DMORVANE_BUILD_TOOLS=OFF -DMORVANE_SANITIZE=address,undefined \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link
cmake --build build/fuzz -j "$jobs"
fuzzers=$(find build/fuzz/fuzz -maxdepth 2 -type f -name 'fuzz_*' -perm -u+x | sort)
fuzz_pass=0
fuzz_fail=0
# The fuzzers run $jobs at a time (each on one core); their logs are shown in
# order once all have ended.
run_fuzzer() {  # fuzzer -> build/fuzz/NAME.log, and NAME.status holding its exit status
  local name corpus work seeds=()
  name=$(basename "$1")
  corpus="$root/fuzz/corpus/${name#fuzz_}"
  work="build/fuzz/corpus-work/$name"
  mkdir -p "$work"
  if [ -d "$corpus" ]; then seeds=("$corpus"); fi
  local rc=0
  "$1" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$work" "${seeds[@]}" >"build/fuzz/$name.log" 2>&1 || rc=$?
  echo "$rc" >"build/fuzz/$name.status"
}
fuzz_pids=()
for f in $fuzzers; do
  rm -f "build/fuzz/$(basename "$f").status"
  if [ ${#fuzz_pids[@]} -ge "$jobs" ]; then  # the oldest one ends first: they all run as long
    wait "${fuzz_pids[0]}" || true
    fuzz_pids=("${fuzz_pids[@]:1}")
  fi
  run_fuzzer "$f" &
  fuzz_pids+=($!)
done
for pid in "${fuzz_pids[@]}"; do wait "$pid" || true; done
for f in $fuzzers; do
  name=$(basename "$f")
  echo "-- $name"
  if [ "$(cat "build/fuzz/$name.status" 2>/dev/null)" = 0 ]; then
    fuzz_pass=$((fuzz_pass + 1)); tail -n 2 "build/fuzz/$name.log"
  else
    fuzz_fail=$((fuzz_fail + 1)); status=1; tail -n 40 "build/fuzz/$name.log"
  fi
done
echo "fuzz: ${fuzz_pass} passed, ${fuzz_fail} failed"

section "install rehearsal in a clean Debian root"
rehearsal_status=0
wait "$rehearsal_pid" || rehearsal_status=$?
cat "$rehearsal_log"
if [ "$rehearsal_status" -eq 77 ]; then
  echo "install rehearsal SKIPPED (not a pass)"
elif [ "$rehearsal_status" -ne 0 ]; then
  status=1
fi

# ----- vm: full-stack tests in a virtual machine (owner: tests/vm) -----
# Boots a Linux guest under QEMU with virtual cameras on its USB controller and
# runs the tool, the examples and tests/vm/guest/vm_probe through the real
# kernel driver, udev and libusb. MORVANE_TEST_VM=0 leaves the stage out.
if [ "${MORVANE_TEST_VM:-1}" != 0 ]; then
  section "virtual machine (kernel UVC driver, udev, libusb)"
  vm_status=0
  "$root/tests/vm/run.sh" --build-dir build/release || vm_status=$?
  if [ "$vm_status" -eq 77 ]; then
    echo "virtual machine stage skipped"
  elif [ "$vm_status" -ne 0 ]; then
    status=1
  fi
  # The same scenarios on the SDK's real target: an arm64 guest running the
  # arm64 build of the libraries, the tool and the examples.
  if [ "${MORVANE_SKIP_ARM64:-0}" != 1 ] && [ -d build/arm64 ]; then
    section "virtual machine, arm64 guest"
    vm_status=0
    MORVANE_VM_HOST_BUILD_DIR=build/release "$root/tests/vm/run.sh" --arch arm64 --build-dir build/arm64 || vm_status=$?
    if [ "$vm_status" -eq 77 ]; then
      echo "arm64 virtual machine stage skipped"
    elif [ "$vm_status" -ne 0 ]; then
      status=1
    fi
  fi
fi
# ----- end vm -----

section "summary"
if [ "$status" -eq 0 ]; then echo "all test stages passed"; else echo "some test stage failed"; fi
exit "$status"
