#!/usr/bin/env bash
# Full-stack tests on a real Linux kernel: boots a small x86-64 virtual
# machine (QEMU, TCG) whose USB host controller is connected through
# usb-redir to three virtual cameras (morvane-virtual-camera processes), and
# runs the command-line tool, the examples and vm_probe against the kernel's
# UVC driver, udev, usbfs and libusb inside it.
#
# usage: tests/vm/run.sh [--build-dir DIR] [--shell] [--verbose] [--keep] [--timeout SECONDS]
#   --build-dir DIR   CMake build directory to take the SDK from (default build/vm,
#                     or $MORVANE_VM_BUILD_DIR); the needed targets are built
#   --shell           keep the guest open with a shell on this terminal after the scenarios
#   --verbose         print every scenario's output
#   --keep            keep the work directory (initramfs, console log, flash files)
#   --timeout S       bound on the whole virtual machine run (default 480)
#   --only LIST       run only these scenarios (comma-separated names)
#
# The guest kernel and udev come from Debian packages fetched with
# apt-get download and cached in ${XDG_CACHE_HOME:-~/.cache}/morvane-vm.
# Prints "vm: N passed, M failed" last; exits 0 only when nothing failed.
# Exit status 77: the run could not start here (reason printed).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${MORVANE_VM_BUILD_DIR:-$root/build/vm}
shell=0
verbose=0
keep=0
vm_timeout=480
only=""
while (($#)); do
  case $1 in
    --build-dir) build=$(cd "$2" && pwd); shift 2 ;;
    --shell) shell=1; shift ;;
    --verbose) verbose=1; shift ;;
    --keep) keep=1; shift ;;
    --timeout) vm_timeout=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

# Pinned guest packages; the newest available 6.1 kernel is taken when the
# mirror no longer has the pinned one.
kernel_pkg=${MORVANE_VM_KERNEL_PACKAGE:-linux-image-6.1.0-57-amd64}
udev_version=${MORVANE_VM_UDEV_VERSION:-252.39-1~deb12u2}
modules=(usb-common usbcore xhci-hcd xhci-pci mc videodev videobuf2-common videobuf2-v4l2 videobuf2-memops
         videobuf2-vmalloc uvcvideo)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/morvane-vm

skip() { echo "vm: skipped: $*"; echo "vm: 0 passed, 0 failed (skipped)"; exit 77; }
for tool in qemu-system-x86_64 busybox apt-get dpkg c++ cmake gzip timeout; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ -f "$build/CMakeCache.txt" ] || skip "no CMake build in $build"

work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-vm.XXXXXX")
pids=()
cleanup() {
  local rc=$?
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  if ((keep)); then echo "vm: work directory kept: $work"; else rm -rf "$work"; fi
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

t_start=$(date +%s%N)
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

# ---- the SDK, the tool, the examples and the virtual camera
targets=(morvane-virtual-camera morvane-uvc-stereo morvane_uvc_stereo_sdk morvane_uvc_stereo_sdk_c
         list_and_read_calibration stream_imu)
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)" >"$work/build.log" 2>&1 || {
  tail -n 30 "$work/build.log"
  if grep -q "unknown target 'morvane-virtual-camera'" "$work/build.log"; then
    skip "morvane-virtual-camera is not built (libusbredirparser-dev missing?)"
  fi
  echo "vm: build failed"; echo "vm: 0 passed, 1 failed"; exit 1
}
camera_bin=$build/emulator/usbredir/morvane-virtual-camera
c++ -std=c++17 -O2 -Wall -Wextra -Werror -I"$root/include" "$root/tests/vm/guest/vm_probe.cpp" -o "$work/vm_probe" -pthread \
  -L"$build/src" -lmorvane_uvc_stereo_sdk -lusb-1.0 -Wl,-rpath,/opt/morvane/lib

# ---- guest packages (cached)
mkdir -p "$cache/debs"
fetch() {  # package[=version] -> path of the .deb in the cache
  local name=${1%%=*} found
  found=$(ls "$cache/debs/${name}_"*.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$found" ]; then
    (cd "$cache/debs" && apt-get download "$1" >/dev/null 2>&1) || return 1
    found=$(ls "$cache/debs/${name}_"*.deb 2>/dev/null | head -n 1 || true)
  fi
  [ -n "$found" ] && echo "$found"
}
kernel_deb=$(fetch "$kernel_pkg" || true)
if [ -z "$kernel_deb" ]; then
  kernel_pkg=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | cut -d' ' -f1 | sort -V | tail -n 1)
  [ -n "$kernel_pkg" ] && kernel_deb=$(fetch "$kernel_pkg" || true)
fi
[ -n "$kernel_deb" ] || skip "cannot download a linux-image-6.1.0-*-amd64 package"
udev_deb=$(fetch "udev=$udev_version" || fetch udev || true)
libudev_deb=$(fetch "libudev1=$udev_version" || fetch libudev1 || true)
[ -n "$udev_deb" ] && [ -n "$libudev_deb" ] || skip "cannot download udev and libudev1"
unpacked=$cache/unpacked-$(basename "$kernel_deb" .deb)-$(basename "$udev_deb" .deb)
if [ ! -f "$unpacked/.done" ]; then
  rm -rf "$unpacked"; mkdir -p "$unpacked"
  for d in "$kernel_deb" "$udev_deb" "$libudev_deb"; do dpkg -x "$d" "$unpacked"; done
  touch "$unpacked/.done"
fi
kver=$(ls "$unpacked/lib/modules" | head -n 1)
echo "vm: guest kernel $kver, udev $(basename "$udev_deb" .deb | cut -d_ -f2)"

# ---- initramfs
r=$work/root
mkdir -p "$r"/{bin,sbin,usr/bin,etc,lib/modules/vm,lib/systemd,lib/udev/rules.d,opt/morvane/bin,opt/morvane/lib,vm,proc,sys,dev,run,tmp,root}
cp "$(command -v busybox)" "$r/bin/busybox"
for m in "${modules[@]}"; do
  f=$(find "$unpacked/lib/modules/$kver" -name "$m.ko*" | head -n 1)
  [ -n "$f" ] || { echo "vm: module $m missing from $kernel_pkg"; echo "vm: 0 passed, 1 failed"; exit 1; }
  case $f in
    *.ko.xz) xz -dc "$f" >"$r/lib/modules/vm/$m.ko" ;;
    *.ko.zst) zstd -dcq "$f" >"$r/lib/modules/vm/$m.ko" ;;
    *) cp "$f" "$r/lib/modules/vm/$m.ko" ;;
  esac
done
printf '%s\n' "${modules[@]}" >"$r/etc/vm-modules"
cp "$unpacked/bin/udevadm" "$r/usr/bin/udevadm"
ln -sf /usr/bin/udevadm "$r/lib/systemd/systemd-udevd"
cp "$unpacked/lib/udev/v4l_id" "$r/lib/udev/"
for rules in 50-udev-default 60-persistent-v4l 80-drivers; do
  cp "$unpacked/lib/udev/rules.d/$rules.rules" "$r/lib/udev/rules.d/"
done
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$r/etc/passwd"
printf 'root:x:0:\nvideo:x:44:\nplugdev:x:46:\naudio:x:29:\ndisk:x:6:\ntty:x:5:\ninput:x:104:\nkvm:x:105:\nrender:x:106:\n' >"$r/etc/group"
cp "$build/tools/morvane-uvc-stereo" "$work/vm_probe" "$build/examples/list_and_read_calibration" \
   "$build/examples/stream_imu" "$r/opt/morvane/bin/"
cp -a "$build"/src/libmorvane_uvc_stereo_sdk*.so* "$r/opt/morvane/lib/"
# Shared libraries of every program, from the host (the same Debian release);
# libudev from the downloaded package, to match udevd.
for elf in "$r"/usr/bin/udevadm "$r"/lib/udev/v4l_id "$r"/opt/morvane/bin/* "$r"/opt/morvane/lib/*.so.*; do
  ldd "$elf" 2>/dev/null | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }' 
done | sort -u | grep -v libmorvane | while read -r lib; do
  mkdir -p "$r$(dirname "$lib")"
  cp -L "$lib" "$r$lib"
done
cp -L "$unpacked"/lib/x86_64-linux-gnu/libudev.so.1 "$r/lib/x86_64-linux-gnu/libudev.so.1" 2>/dev/null || true
[ -e "$r/lib64/ld-linux-x86-64.so.2" ] || { mkdir -p "$r/lib64"; cp -L /lib64/ld-linux-x86-64.so.2 "$r/lib64/"; }
cp "$root/tests/vm/guest/init" "$r/init"
cp "$root/tests/vm/guest/run-tests.sh" "$r/vm/run-tests.sh"
chmod +x "$r/init"
(cd "$r" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")
echo "vm: initramfs $(( $(stat -c %s "$work/initrd.gz") / 1024 )) KiB, prepared in $(ms_since "$t_start") ms"

# ---- the cameras
start_camera() {  # name serial extra-options...
  local name=$1 serial=$2; shift 2
  "$camera_bin" --socket "$work/$name.sock" --serial "$serial" --flash-file "$work/$name.flash" "$@" \
    2>"$work/$name.log" &
  pids+=($!)
  eval "pid_$name=$!"
}
start_camera cam0 VM0001
start_camera cam1 VM0002
start_camera cam2 VM0003 --units 4
for name in cam0 cam1 cam2; do
  for _ in $(seq 100); do [ -S "$work/$name.sock" ] && break; sleep 0.05; done
  [ -S "$work/$name.sock" ] || { cat "$work/$name.log"; echo "vm: camera $name did not start"; echo "vm: 0 passed, 1 failed"; exit 1; }
done

# ---- the machine
append="console=ttyS0 rdinit=/init panic=-1 loglevel=4"
((shell)) && append+=" vmshell"
((verbose)) && append+=" vmverbose"
[ -n "$only" ] && append+=" vmonly=$only"
qemu=(qemu-system-x86_64 -M q35 -accel tcg -m 1024 -smp 1 -nographic -no-reboot
      -kernel "$unpacked/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" -append "$append"
      -device qemu-xhci,id=xhci)
for name in cam0 cam1 cam2; do
  qemu+=(-chardev "socket,id=$name,path=$work/$name.sock" -device "usb-redir,chardev=$name,bus=xhci.0")
done
t_boot=$(date +%s%N)
if ((shell)); then
  "${qemu[@]}" | tee "$work/console.log" || true
else
  timeout -k 5 "$vm_timeout" "${qemu[@]}" </dev/null >"$work/console.log" 2>&1 &
  qpid=$!
  pids+=($qpid)
  if ((verbose)); then tail --pid=$qpid -n +1 -f "$work/console.log" & fi
  wait $qpid || true
fi
vm_ms=$(ms_since "$t_boot")

# Stop the cameras: each saves its flash file on the way out.
for name in cam0 cam1 cam2; do
  pid_var=pid_$name
  kill -TERM "${!pid_var}" 2>/dev/null || true
  wait "${!pid_var}" 2>/dev/null || true
done
pids=()

# ---- results
log=$work/console.log
tr -d '\r' <"$log" >"$log.txt"
pass=0
fail=0
echo
echo "vm: virtual machine ran ${vm_ms} ms (host wall time, QEMU TCG)"
grep -oE 'VMEVENT (kernel_up|udev_settled) [0-9.]+' "$log.txt" | sed 's/^VMEVENT /vm: guest uptime at /; s/ \([0-9.]*\)$/ \1 s/' || true
while read -r _ verdict name ms reason; do
  printf 'vm: %-4s %-26s %7s ms %s\n' "$verdict" "$name" "$ms" "$reason"
  if [ "$verdict" = PASS ]; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
done < <(grep -E '^VMTEST (PASS|FAIL) ' "$log.txt")
grep -E '^VMDATA (node_|imu_open|unplug|xfer)' "$log.txt" | sed 's/^VMDATA /vm: measured /' || true
if ! grep -q '^VMDONE' "$log.txt"; then
  echo "vm: FAIL guest did not finish (timeout ${vm_timeout} s or crash); last console lines:"
  tail -n 40 "$log.txt" | sed 's/^/  | /'
  fail=$((fail + 1))
fi
if grep -q '^VMERROR' "$log.txt"; then grep '^VMERROR' "$log.txt"; fail=$((fail + 1)); fi
# The host's view: each camera's flash file holds, at 0x51000, the blob the
# guest last read back.
blobs=0
while read -r _ _ serial size sha; do
  case $serial in VM0001) f=$work/cam0.flash ;; VM0002) f=$work/cam1.flash ;; VM0003) f=$work/cam2.flash ;; *) continue ;; esac
  blobs=$((blobs + 1))
  host_sha=$(dd if="$f" iflag=skip_bytes,count_bytes skip=$((0x51000)) count="$size" bs=4096 status=none 2>/dev/null |
             sha256sum | cut -d' ' -f1) || host_sha=unreadable
  if [ "$host_sha" = "$sha" ]; then
    printf 'vm: %-4s %-26s\n' PASS "host_flash_file_$serial"; pass=$((pass + 1))
  else
    printf 'vm: %-4s %-26s the flash file does not hold the blob at 0x51000\n' FAIL "host_flash_file_$serial"
    fail=$((fail + 1))
  fi
done < <(grep -E '^VMDATA blob ' "$log.txt")
if [ "$blobs" -ne 3 ] && [ -z "$only" ] && grep -q '^VMDONE' "$log.txt"; then
  echo "vm: FAIL host_flash_files (the guest reported $blobs of 3 blobs)"; fail=$((fail + 1))
fi
if ((fail)); then
  for name in cam0 cam1 cam2; do [ -s "$work/$name.log" ] && sed "s/^/  $name | /" "$work/$name.log" | tail -n 10; done
fi
echo "vm: total $(ms_since "$t_start") ms"
echo "vm: ${pass} passed, ${fail} failed"
((fail == 0))
