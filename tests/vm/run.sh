#!/usr/bin/env bash
# Full-stack tests on a real Linux kernel: boots a small x86-64 virtual
# machine (QEMU, TCG) whose USB host controller is connected through
# usb-redir to three virtual cameras (morvane-virtual-camera processes), and
# runs the command-line tool, the examples and vm_probe against the kernel's
# UVC driver, udev, usbfs and libusb inside it.
#
# usage: tests/vm/run.sh [--arch x86_64|arm64] [--build-dir DIR] [--shell] [--verbose] [--keep]
#                        [--timeout SECONDS] [--only LIST]
#   --arch A          guest architecture: x86_64 (q35, default) or arm64 (virt, Cortex-A57)
#   --build-dir DIR   CMake build directory to take the SDK from (default build/vm,
#                     or $MORVANE_VM_BUILD_DIR); the needed targets are built. For arm64
#                     a cross build (default build/arm64) that is used as it is; the
#                     virtual cameras then come from the native build in
#                     $MORVANE_VM_HOST_BUILD_DIR (default build/vm)
#   --shell           keep the guest open with a shell on this terminal after the scenarios
#   --verbose         print every scenario's output
#   --keep            keep the work directory (initramfs, console log, flash files)
#   --timeout S       bound on the whole virtual machine run (default 720, arm64 1800)
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
vm_timeout=""
only=""
arch=x86_64
build_given=0
while (($#)); do
  case $1 in
    --build-dir) build=$(cd "$2" && pwd); build_given=1; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
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
case $arch in
  x86_64)
    deb_arch=amd64 multiarch=x86_64-linux-gnu qemu_bin=qemu-system-x86_64 console=ttyS0 cxx=c++
    machine=(-M q35 -accel tcg)
    host_build=$build
    extra_debs=()
    : "${vm_timeout:=720}"
    ;;
  arm64)
    deb_arch=arm64 multiarch=aarch64-linux-gnu qemu_bin=qemu-system-aarch64 console=ttyAMA0
    cxx=aarch64-linux-gnu-g++
    machine=(-M virt -cpu cortex-a57 -accel tcg)
    ((build_given)) || build=$root/build/arm64
    host_build=${MORVANE_VM_HOST_BUILD_DIR:-$root/build/vm}
    # The guest's busybox and the libraries udevadm needs beyond the ones the
    # arm64 cross build already has installed.
    extra_debs=(busybox-static libkmod2 libacl1 libblkid1 libcap2 libselinux1 libzstd1 liblzma5 libssl3 libpcre2-8-0)
    : "${vm_timeout:=1800}"
    ;;
  *) echo "run.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
kernel_pkg=${MORVANE_VM_KERNEL_PACKAGE:-linux-image-6.1.0-57-$deb_arch}
udev_version=${MORVANE_VM_UDEV_VERSION:-252.39-1~deb12u2}
modules=(usb-common usbcore xhci-hcd xhci-pci mc videodev videobuf2-common videobuf2-v4l2 videobuf2-memops
         videobuf2-vmalloc uvcvideo)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/morvane-vm
debs=$cache/debs
[ "$arch" = x86_64 ] || debs=$cache/debs-$deb_arch

skip() { echo "vm: skipped: $*"; echo "vm: 0 passed, 0 failed (skipped)"; exit 77; }
for tool in "$qemu_bin" busybox apt-get dpkg "$cxx" cmake gzip timeout readelf; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ -f "$build/CMakeCache.txt" ] || skip "no CMake build in $build"
[ -f "$host_build/CMakeCache.txt" ] || skip "no CMake build in $host_build"

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
if [ "$arch" != x86_64 ]; then
  # The cross build belongs to its own stage: it is used as it is.
  for f in tools/morvane-uvc-stereo examples/list_and_read_calibration examples/stream_imu \
           src/libmorvane_uvc_stereo_sdk.so src/libmorvane_uvc_stereo_sdk_c.so; do
    [ -e "$build/$f" ] || skip "$build/$f is missing (run scripts/arm64.sh first)"
  done
  targets=(morvane-virtual-camera)
fi
cmake --build "$host_build" --target "${targets[@]}" -j "$(nproc)" >"$work/build.log" 2>&1 || {
  tail -n 30 "$work/build.log"
  if grep -q "unknown target 'morvane-virtual-camera'" "$work/build.log"; then
    skip "morvane-virtual-camera is not built (libusbredirparser-dev missing?)"
  fi
  echo "vm: build failed"; echo "vm: 0 passed, 1 failed"; exit 1
}
camera_bin=$host_build/emulator/usbredir/morvane-virtual-camera
"$cxx" -std=c++17 -O2 -Wall -Wextra -Werror -I"$root/include" "$root/tests/vm/guest/vm_probe.cpp" -o "$work/vm_probe" -pthread \
  -L"$build/src" -lmorvane_uvc_stereo_sdk -lusb-1.0 -Wl,-rpath,/opt/morvane/lib

# ---- guest packages (cached)
mkdir -p "$debs"
fetch() {  # package[=version] -> path of the guest architecture's .deb in the cache
  local name=${1%%=*} version="" found
  [ "$name" != "$1" ] && version="=${1#*=}"
  found=$(ls "$debs/${name}_"*"_$deb_arch.deb" "$debs/${name}_"*_all.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$found" ]; then
    (cd "$debs" && apt-get download "$name:$deb_arch$version" >/dev/null 2>&1) || return 1
    found=$(ls "$debs/${name}_"*"_$deb_arch.deb" "$debs/${name}_"*_all.deb 2>/dev/null | head -n 1 || true)
  fi
  [ -n "$found" ] && echo "$found"
}
kernel_deb=$(fetch "$kernel_pkg" || true)
if [ -z "$kernel_deb" ]; then
  kernel_pkg=$(apt-cache search --names-only "^linux-image-6\\.1\\.0-[0-9]+-$deb_arch\$" | cut -d' ' -f1 | sort -V | tail -n 1)
  [ -n "$kernel_pkg" ] && kernel_deb=$(fetch "$kernel_pkg" || true)
fi
[ -n "$kernel_deb" ] || skip "cannot download a linux-image-6.1.0-*-$deb_arch package"
udev_deb=$(fetch "udev=$udev_version" || fetch udev || true)
libudev_deb=$(fetch "libudev1=$udev_version" || fetch libudev1 || true)
[ -n "$udev_deb" ] && [ -n "$libudev_deb" ] || skip "cannot download udev and libudev1"
extra_paths=()
for p in "${extra_debs[@]}"; do
  d=$(fetch "$p" || true)
  [ -n "$d" ] || skip "cannot download $p:$deb_arch"
  extra_paths+=("$d")
done
unpacked=$cache/unpacked-$(basename "$kernel_deb" .deb)-$(basename "$udev_deb" .deb)
if [ ! -f "$unpacked/.done" ]; then
  rm -rf "$unpacked"; mkdir -p "$unpacked"
  for d in "$kernel_deb" "$udev_deb" "$libudev_deb" "${extra_paths[@]}"; do dpkg -x "$d" "$unpacked"; done
  touch "$unpacked/.done"
fi
kver=$(ls "$unpacked/lib/modules" | head -n 1)
echo "vm: guest kernel $kver, udev $(basename "$udev_deb" .deb | cut -d_ -f2)"

# ---- initramfs
r=$work/root
mkdir -p "$r"/{bin,sbin,usr/bin,etc,lib/modules/vm,lib/systemd,lib/udev/rules.d,opt/morvane/bin,opt/morvane/lib,vm,proc,sys,dev,run,tmp,root}
if [ "$arch" = x86_64 ]; then cp "$(command -v busybox)" "$r/bin/busybox"; else cp "$unpacked/bin/busybox" "$r/bin/busybox"; fi
copy_module() {  # name -> /lib/modules/vm/name.ko in the guest; fails when the kernel package lacks it
  local f
  f=$(find "$unpacked/lib/modules/$kver" -name "$1.ko*" | head -n 1)
  [ -n "$f" ] || return 1
  case $f in
    *.ko.xz) xz -dc "$f" >"$r/lib/modules/vm/$1.ko" ;;
    *.ko.zst) zstd -dcq "$f" >"$r/lib/modules/vm/$1.ko" ;;
    *) cp "$f" "$r/lib/modules/vm/$1.ko" ;;
  esac
}
for m in "${modules[@]}"; do
  copy_module "$m" || { echo "vm: module $m missing from $kernel_pkg"; echo "vm: 0 passed, 1 failed"; exit 1; }
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
# The video clients (v4l2-ctl, gst-launch-1.0) and the frame checker.
. "$root/tests/vm/guest-clients.sh"
# Shared libraries of every program, found by their DT_NEEDED entries in the
# downloaded packages (libudev and udevadm's own libraries, matching udevd)
# and then in the host's libraries of the guest architecture (the same
# Debian release), copied to the guest's multiarch directory.
mkdir -p "$r/lib/$multiarch"
# resolve_libs DEST DIR...: copies into DEST every library the ELF files in
# $queue need, and theirs, that neither DEST nor the guest's library
# directory holds yet, taking the first match in the DIRs; on a library found
# nowhere sets resolve_missing (with the package that ships it) and fails.
. "$root/scripts/target-sysroot.sh"
resolve_libs() {
  local dest=$1 elf lib dir found
  shift
  while ((${#queue[@]})); do
    elf=${queue[0]}
    queue=("${queue[@]:1}")
    for lib in $(readelf -d "$elf" 2>/dev/null | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
      case $lib in libmorvane*) continue ;; esac
      [ -e "$dest/$lib" ] || [ -e "$r/lib/$multiarch/$lib" ] && continue
      found=""
      for dir in "$@"; do
        if [ -e "$dir/$lib" ]; then found=$dir/$lib; break; fi
      done
      [ -n "$found" ] || { resolve_missing="$lib (needed by ${elf##*/}) not found: from $(provider "$lib" "$deb_arch")"; return 1; }
      cp -L "$found" "$dest/$lib"
      queue+=("$dest/$lib")
    done
  done
}
queue=("$r"/usr/bin/udevadm "$r"/lib/udev/v4l_id "$r"/opt/morvane/bin/* "$r"/opt/morvane/lib/*.so.* "${client_elfs[@]}")
resolve_libs "$r/lib/$multiarch" "$unpacked/lib/$multiarch" "$unpacked/usr/lib/$multiarch" "${client_lib_dirs[@]}" \
  "/lib/$multiarch" "/usr/lib/$multiarch" || { echo "vm: $resolve_missing"; echo "vm: 0 passed, 1 failed"; exit 1; }
# The OpenCV example and its libraries, on a 9p share of their own.
. "$root/tests/vm/guest-opencv.sh"
interp=$(readelf -l "$r/usr/bin/udevadm" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
mkdir -p "$r$(dirname "$interp")"
cp -L "/lib/$multiarch/$(basename "$interp")" "$r$interp"
cp "$root/tests/vm/guest/init" "$r/init"
cp "$root/tests/vm/guest/run-tests.sh" "$root/tests/vm/guest/video-scenarios.sh" "$root/tests/vm/guest/sdk-scenarios.sh" \
   "$r/vm/"
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
# cam1's controller generation has the streaming flash request (cam0's and
# cam2's, the virtual camera's default row 12, has not): the full stack
# then carries both flash read paths.
start_camera cam1 VM0002 --rom-row 15
# cam2's video payloads (40000 bytes) are longer than the guest driver's
# 16 KiB bulk transfers, so they run across transfer boundaries.
start_camera cam2 VM0003 --units 4 --payload-size 40000
for name in cam0 cam1 cam2; do
  for _ in $(seq 100); do [ -S "$work/$name.sock" ] && break; sleep 0.05; done
  [ -S "$work/$name.sock" ] || { cat "$work/$name.log"; echo "vm: camera $name did not start"; echo "vm: 0 passed, 1 failed"; exit 1; }
done

# ---- the machine
append="console=$console rdinit=/init panic=-1 loglevel=4"
((shell)) && append+=" vmshell"
((verbose)) && append+=" vmverbose"
[ -n "$only" ] && append+=" vmonly=$only"
# Rounds of the two_users scenario (default 10 in the guest).
[ -n "${MORVANE_VM_ROUNDS:-}" ] && append+=" vmrounds=$MORVANE_VM_ROUNDS"
qemu=("$qemu_bin" "${machine[@]}" -m 1024 -smp 1 -nographic -no-reboot
      -kernel "$unpacked/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" -append "$append"
      -device qemu-xhci,id=xhci)
if [ -n "$opencv_share" ]; then
  qemu+=(-fsdev "local,id=opencv,path=$opencv_share,security_model=none,readonly=on"
         -device "virtio-9p-pci,fsdev=opencv,mount_tag=opencv")
fi
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
echo "vm: $arch virtual machine ran ${vm_ms} ms (host wall time, QEMU TCG)"
grep -oE 'VMEVENT (kernel_up|udev_settled) [0-9.]+' "$log.txt" | sed 's/^VMEVENT /vm: guest uptime at /; s/ \([0-9.]*\)$/ \1 s/' || true
while read -r _ verdict name ms reason; do
  printf 'vm: %-4s %-26s %7s ms %s\n' "$verdict" "$name" "$ms" "$reason"
  if [ "$verdict" = PASS ]; then pass=$((pass + 1)); else fail=$((fail + 1)); fi
done < <(grep -E '^VMTEST (PASS|FAIL) ' "$log.txt")
grep -E '^VMDATA (node_|imu_open|unplug|xfer|video_|flash_effect|flash_guard|frame_imu|watch_)' "$log.txt" |
  sed 's/^VMDATA /vm: measured /' || true
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
  # What each failed scenario printed (its last lines), for the log of a run
  # that cannot be repeated at will.
  awk '/^VMEVENT start / { name = $3; n = 0; next }
       /^  \| / { if (name != "") block[n++] = $0; next }
       /^VMTEST FAIL / { print "vm: output of " $3 ":"; for (i = 0; i < n; i++) print block[i]; n = 0; name = "" }
       /^VMTEST PASS / { n = 0; name = "" }' "$log.txt" | tail -n 120
  for name in cam0 cam1 cam2; do [ -s "$work/$name.log" ] && sed "s/^/  $name | /" "$work/$name.log" | tail -n 10; done
fi
echo "vm: total $(ms_since "$t_start") ms"
echo "vm: ${pass} passed, ${fail} failed"
((fail == 0))
