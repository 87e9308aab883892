#!/bin/sh
# The scenarios, run inside the virtual machine with three virtual cameras:
# VM0001 and VM0002 (same USB ids, vendor controls on unit 3; VM0002's
# controller has the streaming flash request) and VM0003 (vendor controls on
# unit 4 only). Each scenario prints
#   VMTEST PASS|FAIL <name> <milliseconds> [reason]
# and facts for the host as "VMDATA <key> <value>".
TOOL="timeout 120 morvane-uvc-stereo"
PROBE="timeout 120 vm_probe"
FW_VERSION_RAW=230622606030001STEREOCAM12412150930
W=/tmp/vmtest
grep -q vmverbose /proc/cmdline && VMVERBOSE=1
# vmonly=a,b on the kernel command line runs only those scenarios (and the
# enumeration check every run starts with).
VMONLY=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^vmonly=//p' | tr ',' ' ')
mkdir -p $W

now_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

REASON=""
fail() { REASON="$*"; return 1; }

scenario() {  # name function
  if [ -n "$VMONLY" ] && [ "$1" != enumeration ]; then
    case " $VMONLY " in *" $1 "*) ;; *) return 0 ;; esac
  fi
  REASON=""
  t0=$(now_ms)
  echo "VMEVENT start $1"
  if "$2" >"$W/$1.log" 2>&1; then
    result="PASS $1 $(( $(now_ms) - t0 ))"
  else
    result="FAIL $1 $(( $(now_ms) - t0 )) ${REASON:-see log}"
    grep -v '^VMDATA' "$W/$1.log" | sed 's/^/  | /' | tail -n 40
  fi
  grep '^VMDATA' "$W/$1.log"
  [ -n "$VMVERBOSE" ] && grep -v '^VMDATA' "$W/$1.log" | sed 's/^/  | /' | tail -n 60
  echo "VMTEST $result"
}

# Flattens the tool's pretty-printed JSON (an array of device objects or one
# object) into SERIAL.key=value lines.
flatten() {
  awk '
    /^ *[{]$/ && depth == 0 { depth = 1; n = 0; serial = ""; next }
    /^ *[{]$/ && depth == 0 { next }
    {
      line = $0
      if (line ~ /^ *"[^"]*": [{]$/) { sub(/^ *"/, "", line); sub(/": [{]$/, "", line); prefix = line "."; next }
      if (line ~ /^ *[}],?$/) { if (prefix != "") { prefix = ""; next }
        for (i = 0; i < n; i++) print serial "." lines[i]; depth = 0; next }
      if (line ~ /^ *"[^"]*": /) {
        key = line; sub(/^ *"/, "", key); sub(/": .*$/, "", key)
        val = line; sub(/^ *"[^"]*": /, "", val); sub(/,$/, "", val); gsub(/^"|"$/, "", val)
        if (key == "serial" && prefix == "") serial = val
        lines[n++] = prefix key "=" val
      }
    }' "$1"
}
field() { grep "^$2\.$3=" "$1" | head -n 1 | cut -d= -f2-; }  # flat-file serial key

sysfs_dir_of() {  # serial -> USB device directory in sysfs
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/serial" ] && [ "$(cat "$d/serial")" = "$1" ] && { echo "$d"; return 0; }
  done
  return 1
}

wait_for_cameras() {
  i=0
  while [ $i -lt 300 ]; do
    n=0
    for s in VM0001 VM0002 VM0003; do sysfs_dir_of $s >/dev/null && n=$((n + 1)); done
    nodes=$(ls /dev/video* 2>/dev/null | wc -l)
    [ $n -eq 3 ] && [ "$nodes" -ge 6 ] && return 0
    sleep 0.1; i=$((i + 1))
  done
  return 1
}

# ---- scenarios

t_enumeration() {
  wait_for_cameras || fail "three cameras with two video nodes each did not appear" || return 1
  udevadm settle --timeout=30
  ls -l /dev/video* /dev/bus/usb/*/*
  for s in VM0001 VM0002 VM0003; do
    d=$(sysfs_dir_of $s)
    echo "$s: $d $(cat $d/idVendor):$(cat $d/idProduct) bus $(cat $d/busnum) dev $(cat $d/devnum)"
  done
  dmesg | grep -i -E 'uvc|usb [0-9]' | tail -n 20
}

t_list_json() {
  $TOOL list --json >$W/list.json || fail "list --json failed" || return 1
  cat $W/list.json
  flatten $W/list.json >$W/list.flat
  count=$(grep -c '\.vid_pid=' $W/list.flat)
  [ "$count" -eq 3 ] || fail "expected 3 cameras, listed $count" || return 1
  for s in VM0001 VM0002 VM0003; do
    d=$(sysfs_dir_of $s) || fail "$s not in sysfs" || return 1
    [ "$(field $W/list.flat $s vid_pid)" = "0c45:0643" ] || fail "$s vid_pid" || return 1
    [ "$(field $W/list.flat $s vendor)" = "Morvane" ] || fail "$s vendor" || return 1
    [ "$(field $W/list.flat $s model)" = "Stereo_Camera" ] || fail "$s model $(field $W/list.flat $s model)" || return 1
    [ "$(field $W/list.flat $s bus_number)" = "$(cat $d/busnum)" ] || fail "$s bus number" || return 1
    [ "$(field $W/list.flat $s device_address)" = "$(cat $d/devnum)" ] || fail "$s device address" || return 1
    path=$(field $W/list.flat $s usb_path)
    want=$(udevadm info -q property -n "$(field $W/list.flat $s video_node)" | sed -n 's/^ID_PATH=//p')
    [ -n "$path" ] && [ "$path" = "$want" ] || fail "$s usb_path '$path' vs udev '$want'" || return 1
    node=$(field $W/list.flat $s video_node)
    [ -c "$node" ] || fail "$s video node $node is not a device" || return 1
    # The capture node of this camera: its sysfs parent is the camera.
    case "$(readlink -f /sys/class/video4linux/${node#/dev/}/device)" in
      "$(readlink -f $d)"/*) ;;
      *) fail "$s node $node belongs to another device"; return 1 ;;
    esac
    idx=$(field $W/list.flat $s opencv_indices.CAP_V4L2)
    [ "$idx" = "${node#/dev/video}" ] || fail "$s OpenCV V4L2 index $idx for $node" || return 1
    echo "$s ok: $node $path index $idx"
  done
  # Same ids, distinct cameras.
  [ "$(field $W/list.flat VM0001 video_node)" != "$(field $W/list.flat VM0002 video_node)" ] ||
    fail "two cameras share a node" || return 1
}

t_info_firmware() {
  for s in VM0001 VM0003; do
    $TOOL -d $s info --json >$W/info.json || fail "info -d $s failed" || return 1
    cat $W/info.json
    grep -q "\"firmware_version\": \"$FW_VERSION_RAW\"" $W/info.json || fail "$s firmware_version" || return 1
    grep -q '"flash_reachable": true' $W/info.json || fail "$s flash not reachable" || return 1
    grep -q '"imu_supported": true' $W/info.json || fail "$s IMU not supported" || return 1
  done
  $TOOL -d VM0002 firmware version --json >$W/fw.json || fail "firmware version failed" || return 1
  cat $W/fw.json
  grep -q "\"raw\": \"$FW_VERSION_RAW\"" $W/fw.json || fail "firmware raw version" || return 1
  grep -q '"chip_id": "0x83"' $W/fw.json || fail "chip id" || return 1
}

write_doc() {  # serial -> pretty document file
  cat >$W/doc-$1.json <<DOC
{
  "vm_camera": "$1",
  "baseline_m": 0.05,
  "left": { "fx": 612.4, "fy": 612.9, "cx": 641.2, "cy": 398.7 },
  "note": "written in the virtual machine"
}
DOC
  echo "{\"vm_camera\":\"$1\",\"baseline_m\":0.05,\"left\":{\"fx\":612.4,\"fy\":612.9,\"cx\":641.2,\"cy\":398.7},\"note\":\"written in the virtual machine\"}" >$W/doc-$1.min
}

t_config_roundtrip() {
  for s in VM0001 VM0002 VM0003; do
    write_doc $s
    $TOOL -d $s config set $W/doc-$s.json || fail "config set $s" || return 1
  done
  for s in VM0001 VM0002 VM0003; do
    $TOOL -d $s config get >$W/got-$s.json || fail "config get $s" || return 1
    cat $W/got-$s.json
    cmp $W/got-$s.json $W/doc-$s.min || fail "$s document differs from what was stored" || return 1
  done
}

t_backup_restore() {
  $TOOL -d VM0001 config backup $W/b1.bin || fail "backup" || return 1
  write_doc OTHER
  $TOOL -d VM0001 config set $W/doc-OTHER.json || fail "set other" || return 1
  $TOOL -d VM0001 config get | grep -q '"vm_camera":"OTHER"' || fail "other document not stored" || return 1
  $TOOL -d VM0001 config restore $W/b1.bin || fail "restore" || return 1
  $TOOL -d VM0001 config get >$W/after.json || fail "get after restore" || return 1
  cmp $W/after.json $W/doc-VM0001.min || fail "restored document differs" || return 1
  $TOOL -d VM0001 config backup $W/b2.bin || fail "second backup" || return 1
  cmp $W/b1.bin $W/b2.bin || fail "blob after restore differs from the backup" || return 1
  # A damaged backup is refused and the stored blob is left alone.
  cp $W/b1.bin $W/bad.bin
  size=$(wc -c <$W/bad.bin)
  printf 'X' | dd of=$W/bad.bin bs=1 seek=$((size - 3)) conv=notrunc 2>/dev/null
  if $TOOL -d VM0001 config restore $W/bad.bin; then fail "damaged blob accepted"; return 1; fi
  $TOOL -d VM0001 config backup $W/b3.bin || fail "backup after refusal" || return 1
  cmp $W/b1.bin $W/b3.bin || fail "refused restore changed the flash" || return 1
}

t_imu() {
  $TOOL -d VM0001 imu -n 40 --format csv >$W/imu.csv || fail "imu failed" || return 1
  head -n 5 $W/imu.csv
  awk -F, 'NR == 1 { next }
    { n++; g2 = $5*$5 + $6*$6 + $7*$7
      if (g2 < 0.81 || g2 > 1.21) { print "bad |a|^2 " g2 " at " NR; bad = 1 }
      if ($8 < 20 || $8 > 30) { print "bad gx " $8 " at " NR; bad = 1 }
      if ($4 < 20 || $4 > 30) { print "bad temperature " $4 " at " NR; bad = 1 }
      # The IMU samples every 10000 ticks of the camera clock (100 Hz).
      step = ($3 - prev + 1048576) % 1048576
      if (n > 1 && (step == 0 || step % 10000 != 0)) { print "counter step " step " at " NR; bad = 1 }
      if (n > 1 && $2 <= prev_ns) { print "host time not increasing at " NR; bad = 1 }
      prev = $3; prev_ns = $2 }
    END { if (n != 40) { print "rows " n; bad = 1 } exit bad }' $W/imu.csv || fail "IMU samples out of range" || return 1
  $TOOL -d VM0003 imu -n 5 --raw --format csv >$W/imu-raw.csv || fail "imu --raw on VM0003 failed" || return 1
  awk -F, 'NR > 1 { n++; if ($8 < 380 || $8 > 440) bad = 1 } END { exit (n != 5 || bad) }' $W/imu-raw.csv ||
    fail "raw gyroscope x out of range" || return 1
}

t_imu_guard() {
  $PROBE imu-guard VM0001 || fail "imu-guard" || return 1
}

t_firmware_export_burn() {
  $TOOL -d VM0002 firmware export $W/fw.bin || fail "export" || return 1
  [ "$(wc -c <$W/fw.bin)" -eq 131072 ] || fail "export size $(wc -c <$W/fw.bin)" || return 1
  echo "VMDATA fw_export_sha256 $(sha256sum $W/fw.bin | cut -d' ' -f1)"
  $TOOL -d VM0002 firmware burn -y $W/fw.bin || fail "burn" || return 1
  $TOOL -d VM0002 firmware export $W/fw2.bin || fail "export after burn" || return 1
  cmp $W/fw.bin $W/fw2.bin || fail "firmware differs after burn" || return 1
  $TOOL -d VM0002 config get >$W/got.json || fail "document lost by the burn" || return 1
  cmp $W/got.json $W/doc-VM0002.min || fail "document changed by the burn" || return 1
  $TOOL -d VM0002 firmware version --json | grep -q "\"raw\": \"$FW_VERSION_RAW\"" ||
    fail "version after burn" || return 1
}

# Stores each camera's document unless it already holds one (scenarios run
# alone with vmonly need them too).
ensure_docs() {
  for s in VM0001 VM0002 VM0003; do
    [ -f $W/doc-$s.min ] || write_doc $s
    $TOOL -d $s config get >/dev/null 2>&1 || $TOOL -d $s config set $W/doc-$s.json || return 1
  done
}

t_c_example() {
  ensure_docs || fail "cannot store the documents" || return 1
  timeout 60 list_and_read_calibration >$W/c.out || fail "C example failed" || return 1
  cat $W/c.out
  first=$(sed -n "s/^\[0\] .* serial '\([^']*\)'.*/\1/p" $W/c.out)
  [ -n "$first" ] || fail "no camera [0] listed" || return 1
  [ "$(grep -c "^\[[0-9]\] 0c45:0643" $W/c.out)" -eq 3 ] || fail "C example did not list three cameras" || return 1
  grep -q "^calibration (document version .*\"vm_camera\":\"$first\"" $W/c.out ||
    fail "C example read the wrong or no document" || return 1
  timeout 60 stream_imu 5 >$W/s.out || fail "stream_imu failed" || return 1
  cat $W/s.out
  [ "$(grep -c 'accel \[' $W/s.out)" -eq 5 ] || fail "stream_imu printed no 5 samples" || return 1
}

t_unplug_during_read() {
  $PROBE unplug-read VM0002 40 >$W/unplug.out || { cat $W/unplug.out; fail "unplug-read"; return 1; }
  cat $W/unplug.out
  echo "VMDATA unplug_read_ms $(sed -n 's/^unplug_read_ms=//p' $W/unplug.out)"
  wait_for_cameras || fail "cameras not all back" || return 1
}

t_node_return() {
  $PROBE node-gap VM0001 5 >$W/gap.out 2>&1
  rc=$?
  cat $W/gap.out
  echo "VMDATA node_absent_ms $(sed -n 's/^round=.* absent_ms=\([0-9.]*\).*/\1/p' $W/gap.out | tr '\n' ' ')"
  echo "VMDATA node_ready_after_op_ms $(sed -n 's/^round=.* ready_after_ms=\([0-9.]*\).*/\1/p' $W/gap.out | tr '\n' ' ')"
  echo "VMDATA node_worst_ready_after_op_ms $(sed -n 's/^worst_ready_after_ms=//p' $W/gap.out)"
  echo "VMDATA imu_open_failures $(sed -n 's/^imu_open_failures=//p' $W/gap.out)"
  [ $rc -eq 0 ] || fail "node-gap" || return 1
}

t_transfer_times() {
  $PROBE xfer VM0001 300 >$W/x.out || { cat $W/x.out; fail "xfer"; return 1; }
  cat $W/x.out
  echo "VMDATA xfer $(cat $W/x.out | tr '\n' ' ')"
}

# The stored document read three ways, each timed twice, interleaved (the
# figures are reported, never judged): register by register (--no-fast),
# fast without the blob cache, and fast with it (one run fills the cache
# first); `list` alone gives the start-up and scan time every run shares.
# Every way must print the same document; the camera's own document is put
# back afterwards. A measurement, not a test: it runs only when named with
# vmonly (run.sh --only config_get_timing).
t_config_get_timing() {
  for s in VM0001 VM0002; do config_get_timing $s || return 1; done
}

config_get_timing() {  # serial
  s=$1
  c=$W/timing-cache-$s
  ensure_docs || fail "cannot store the documents" || return 1
  $TOOL -d $s config backup $W/timing-saved.bin || fail "backup" || return 1
  awk 'BEGIN { printf "{\"rows\":["; for (i = 0; i < 112; i++) printf "%s[%d,%d.25,-0.0412]", (i ? "," : ""), i, i % 10; print "]}" }' >$W/timing.json
  $TOOL -d $s config set $W/timing.json || fail "config set" || return 1
  XDG_CACHE_HOME=$c $TOOL -d $s config get >/dev/null || fail "get filling the cache" || return 1
  specified="" fast="" cached="" scan=""
  # A flash operation hands the camera back to the video driver, which
  # probes it again: each timed run starts once that has settled.
  quiet() { udevadm settle 2>/dev/null; wait_for_cameras; wait_node $s >/dev/null; sleep 1; }
  for round in 1 2; do
    quiet
    t=$(now_ms); XDG_CACHE_HOME=$c $TOOL list >/dev/null || fail "list" || return 1
    scan="$scan $(( $(now_ms) - t ))"
    quiet
    t=$(now_ms); XDG_CACHE_HOME=$c $TOOL -d $s --no-fast config get >$W/timing-specified.json || fail "no-fast get" || return 1
    specified="$specified $(( $(now_ms) - t ))"
    quiet
    t=$(now_ms); XDG_CACHE_HOME=$c $TOOL -d $s --no-cache config get >$W/timing-fast.json || fail "no-cache get" || return 1
    fast="$fast $(( $(now_ms) - t ))"
    quiet
    t=$(now_ms); XDG_CACHE_HOME=$c $TOOL -d $s --reuse-cache config get >$W/timing-cached.json || fail "cached get" || return 1
    cached="$cached $(( $(now_ms) - t ))"
    for f in specified fast cached; do
      cmp $W/timing-$f.json $W/timing.json || fail "config get ($f) printed another document" || return 1
    done
  done
  # The cache is reused only where asked for and no streaming request
  # serves the read.
  reused=$(XDG_CACHE_HOME=$c $TOOL -d $s --reuse-cache info --json | sed -n 's/.*"config_read_path": "\(.*\)".*/\1/p')
  path=$($TOOL -d $s --no-cache info --json | sed -n 's/.*"config_read_path": "\(.*\)".*/\1/p')
  echo "VMDATA config_read_path_$s default=$path reuse_cache=$reused"
  if [ $s = VM0002 ]; then
    [ "$path" = streaming ] && [ "$reused" = streaming ] || fail "VM0002 did not read by streaming requests" || return 1
  else
    [ "$reused" = held_copy ] || fail "the cache was not reused" || return 1
  fi
  echo "VMDATA config_get_ms_$s document_bytes=$(( $(wc -c <$W/timing.json) - 1 )) list=$scan | no_fast=$specified | fast_default=$fast | reuse_cache=$cached"
  $TOOL -d $s config restore $W/timing-saved.bin || fail "restore" || return 1
}

t_final_blobs() {
  ensure_docs || fail "cannot store the documents" || return 1
  for s in VM0001 VM0002 VM0003; do
    $TOOL -d $s config backup $W/final-$s.bin || fail "backup $s" || return 1
    echo "VMDATA blob $s $(wc -c <$W/final-$s.bin) $(sha256sum $W/final-$s.bin | cut -d' ' -f1)"
  done
}

# Two users of one camera at once: two application processes (vm_probe) each
# run rounds of write_json (their own two documents in turn) and read_json,
# and the tool runs a few rounds of `config set` and `config get` beside
# them. Every operation must succeed or fail with a clean status and
# message, every document read must be one of the four written, and so must
# the last one. vmrounds=N and vmtoolrounds=N on the kernel command line
# (MORVANE_VM_ROUNDS for run.sh) change the 10 and 3 rounds: each round
# costs about 2 to 6 s under TCG, as the writes wait for each other.
two_users_docs() {
  for d in a1:40 a2:100 b1:70 b2:130; do  # different lengths: a mix cannot pass for one
    pad=$(head -c ${d#*:} /dev/zero | tr '\0' "${d%?:*}")
    echo "{\"user\":\"${d%:*}\",\"pad\":\"$pad\"}" >$W/tu-${d%:*}.json
  done
}
two_users_tool() {  # rounds: config set (a2 and b1 in turn) and config get
  i=0 set_ok=0 set_fail=0 get_ok=0 get_fail=0 corrupt=0 bad_fail=0
  while [ $i -lt $1 ]; do
    for op in set get; do
      if [ $op = set ]; then
        doc=a2; [ $((i % 2)) -eq 1 ] && doc=b1
        $TOOL -d VM0001 config set $W/tu-$doc.json >/dev/null 2>$W/tu-t.err; rc=$?
      else
        $TOOL -d VM0001 config get >$W/tu-t.got 2>$W/tu-t.err; rc=$?
      fi
      if [ $rc -eq 0 ]; then
        eval "${op}_ok=\$((${op}_ok + 1))"
        if [ $op = get ]; then
          hit=0
          for d in a1 a2 b1 b2; do cmp -s $W/tu-t.got $W/tu-$d.json && hit=1; done
          [ $hit -eq 1 ] || { corrupt=$((corrupt + 1)); echo "tool round $i: unknown document: $(head -c 120 $W/tu-t.got)"; }
        fi
      else
        eval "${op}_fail=\$((${op}_fail + 1))"
        # Clean: a documented exit status with an error line; a signal, the
        # timeout or silence is not.
        if [ $rc -gt 7 ] || ! grep -q '^error: ' $W/tu-t.err; then bad_fail=$((bad_fail + 1)); fi
        echo "failure=tool $op rc=$rc $(head -n 1 $W/tu-t.err)"
      fi
    done
    i=$((i + 1))
  done
  echo "tool rounds=$1 set_ok=$set_ok set_fail=$set_fail get_ok=$get_ok get_fail=$get_fail corrupt=$corrupt unclean=$bad_fail"
  [ $corrupt -eq 0 ] && [ $bad_fail -eq 0 ]
}
t_two_users() {
  rounds=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^vmrounds=//p'); rounds=${rounds:-10}
  tool_rounds=$(tr ' ' '\n' </proc/cmdline | sed -n 's/^vmtoolrounds=//p'); tool_rounds=${tool_rounds:-3}
  two_users_docs
  $TOOL -d VM0001 config set $W/tu-a1.json || fail "cannot store the first document" || return 1
  t0=$(now_ms)
  timeout 1500 vm_probe two-users VM0001 $rounds a >$W/tu-a.out 2>&1 &
  pa=$!
  timeout 1500 vm_probe two-users VM0001 $rounds b >$W/tu-b.out 2>&1 &
  pb=$!
  two_users_tool $tool_rounds >$W/tu-t.out 2>&1; rt=$?
  wait $pa; ra=$?
  wait $pb; rb=$?
  cat $W/tu-a.out $W/tu-b.out $W/tu-t.out
  echo "VMDATA two_users_ms $(( $(now_ms) - t0 ))"
  for u in a b t; do echo "VMDATA two_users_$u $(grep -v '^failure=' $W/tu-$u.out | tr '\n' ' ')"; done
  sort $W/tu-a.out $W/tu-b.out $W/tu-t.out | sed -n 's/^failure=//p' | uniq -c | sed 's/^ */VMDATA two_users_failure /'
  $TOOL -d VM0001 config get >$W/tu-final.got || fail "final document unreadable" || return 1
  final=none
  for d in a1 a2 b1 b2; do cmp -s $W/tu-final.got $W/tu-$d.json && final=$d; done
  echo "VMDATA two_users_final $final"
  [ $final != none ] || fail "final document is none of those written" || return 1
  # vm_probe exits 1 for an unclean failure, a foreign document or a camera
  # it could not open at all; the tool loop for the first two.
  [ $ra -eq 0 ] && [ $rb -eq 0 ] && [ $rt -eq 0 ] ||
    fail "users a, b, tool exited $ra, $rb, $rt: $(grep -h 'FAILED\|unknown document' $W/tu-?.out | head -n 3)" || return 1
  # Leave the camera's own document for the scenarios after this one.
  [ -f $W/doc-VM0001.min ] || write_doc VM0001
  $TOOL -d VM0001 config set $W/doc-VM0001.json || fail "cannot restore the document" || return 1
}

# ---- video: real V4L2 clients on the capture node `list` reports

video_node() {  # serial -> /dev/videoN, from the OpenCV V4L2 index the tool lists
  $TOOL list --json >$W/vlist.json || return 1
  flatten $W/vlist.json >$W/vlist.flat
  idx=$(field $W/vlist.flat $1 opencv_indices.CAP_V4L2)
  [ -n "$idx" ] && [ -c /dev/video$idx ] && echo /dev/video$idx
}
v4l2ctl_capture() {  # node width height fps count name -> $W/name.raw and the client's log $W/name.log
  timeout 120 v4l2-ctl -d $1 --set-fmt-video=width=$2,height=$3,pixelformat=YUYV --set-parm=$4 \
    --stream-mmap=8 --stream-count=$5 --stream-to=$W/$6.raw --verbose >$W/$6.log 2>&1
}
ticks_per_frame() { echo $(( (1000000 + $1 / 2) / $1 )); }  # fps -> camera clock ticks (1 MHz)
# Checks a client's saved frames $W/NAME.raw (count, gaps, pattern, PTS
# steps, and what the options add) and reports them:
# client width height fps count name ms [frame_check options...]
check_frames() {
  local client=$1 w=$2 h=$3 fps=$4 n=$5 name=$6 ms=$7 rc
  shift 7
  frame_check --width $w --height $h --count $n --interval-ticks $(ticks_per_frame $fps) "$@" $W/$name.raw >$W/$name.check
  rc=$?
  cat $W/$name.check
  echo "VMDATA video_${client}_${w}x${h}_${fps}fps $n frames in $ms ms: $(grep -v '^error' $W/$name.check | tr '\n' ' ')"
  [ $rc -eq 0 ] || fail "frames from $client at ${w}x$h: $(grep -m 1 '^error' $W/$name.check)"
}

t_video_v4l2ctl() {
  node=$(video_node VM0001) || fail "no capture node listed for VM0001" || return 1
  timeout 30 v4l2-ctl -d $node --list-formats-ext >$W/vfmt.txt 2>&1 || fail "v4l2-ctl --list-formats-ext" || return 1
  cat $W/vfmt.txt
  for want in "'YUYV'" "Size: Discrete 640x240" "Size: Discrete 320x120" "(15.000 fps)" "(10.000 fps)" "(5.000 fps)"; do
    grep -qF "$want" $W/vfmt.txt || fail "formats list lacks $want" || return 1
  done
  # Stream, change the frame size, and stream the first size again.
  for run in "640 240 10 30 v1" "320 120 15 30 v2" "640 240 10 10 v3"; do
    set -- $run
    t=$(now_ms)
    v4l2ctl_capture $node $1 $2 $3 $4 $5 || { tail -n 20 $W/$5.log; fail "v4l2-ctl capture $1x$2 at $3 fps"; return 1; }
    ms=$(( $(now_ms) - t ))
    grep -m 3 'ts: ' $W/$5.log
    check_frames v4l2ctl $1 $2 $3 $4 $5 $ms --timestamps $W/$5.log || return 1
  done
}

gst() {
  GST_PLUGIN_SYSTEM_PATH_1_0=$(ls -d /usr/lib/*/gstreamer-1.0) GST_REGISTRY=$W/gst-registry.bin GST_REGISTRY_FORK=no \
    timeout 120 gst-launch-1.0 "$@"
}
t_video_gstreamer() {
  node=$(video_node VM0001) || fail "no capture node listed for VM0001" || return 1
  for run in "320 120 15 20 g1" "640 240 10 10 g2"; do
    set -- $run
    t=$(now_ms)
    gst -q v4l2src device=$node num-buffers=$4 ! video/x-raw,format=YUY2,width=$1,height=$2,framerate=$3/1 ! \
      filesink location=$W/$5.raw >$W/$5.log 2>&1 || { cat $W/$5.log; fail "gst-launch-1.0 v4l2src $1x$2"; return 1; }
    ms=$(( $(now_ms) - t ))
    check_frames gstreamer $1 $2 $3 $4 $5 $ms || return 1
  done
}

# The project's OpenCV example (OpenCV's V4L2 backend) on the index the
# scan reports: raw YUYV frames checked like the other clients' (count,
# gaps, pattern, disparity, increasing buffer stamps), then BGR frames split
# into both eyes. OpenCV and its libraries come on a read-only 9p share.
t_video_opencv() {
  [ ! -f /etc/vm-opencv-missing ] || fail "OpenCV example not prepared: $(cat /etc/vm-opencv-missing)" || return 1
  if ! grep -q ' /opt/opencv ' /proc/mounts; then
    for m in $(cat /etc/vm-share-modules); do insmod /lib/modules/vm/$m.ko || fail "insmod $m" || return 1; done
    mkdir -p /opt/opencv
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose opencv /opt/opencv ||
      fail "cannot mount the OpenCV share" || return 1
  fi
  # Its libraries' own dependencies are found through the search path.
  export LD_LIBRARY_PATH=/opt/morvane/lib:/opt/opencv/lib
  node=$(video_node VM0001) || fail "no capture node listed for VM0001" || return 1
  for run in "320 120 15 20 o1" "640 240 10 10 o2"; do
    set -- $run
    t=$(now_ms)
    timeout 300 /opt/opencv/bin/opencv_capture --serial VM0001 --frames $4 --size ${1}x$2 --fps $3 --raw $W/$5.raw \
      >$W/$5.log 2>&1 || { cat $W/$5.log; fail "opencv_capture ${1}x$2 at $3 fps"; return 1; }
    ms=$(( $(now_ms) - t ))
    head -n 3 $W/$5.log
    grep -q "^VM0001: $node, V4L2 index ${node#/dev/video}, ${1}x$2 at $3 fps" $W/$5.log ||
      fail "opencv_capture did not open $node at ${1}x$2, $3 fps: $(head -n 1 $W/$5.log)" || return 1
    check_frames opencv $1 $2 $3 $4 $5 $ms --timestamps $W/$5.log || return 1
  done
  timeout 300 /opt/opencv/bin/opencv_capture --serial VM0001 --frames 5 --size 640x240 --fps 5 >$W/o3.log 2>&1 ||
    { cat $W/o3.log; fail "opencv_capture in colour"; return 1; }
  cat $W/o3.log
  [ "$(grep -c '^frame [0-9]* 640x240 left 320x240 right 320x240 mean ' $W/o3.log)" -eq 5 ] ||
    fail "colour frames not split into two 320x240 eyes" || return 1
}

# A flash operation during capture: what a streaming client and an IMU
# reader in other processes see (measured with --force), and the refusal
# without it. Starting an IMU read checks the firmware (a flash operation)
# too, so the IMU reader starts first and the capture once it streams.
wait_node() {  # serial -> its capture node once listed again (10 s at most)
  i=0
  while [ $i -lt 50 ]; do
    n=$(video_node $1) && { echo $n; return 0; }
    sleep 0.2; i=$((i + 1))
  done
  return 1
}
wait_node_held() {  # serial -> its capture node once a process holds it open (20 s at most)
  i=0
  while [ $i -lt 60 ]; do
    n=$(video_node $1) && ls -l /proc/[0-9]*/fd 2>/dev/null | grep -q " -> $n\$" && { echo $n; return 0; }
    sleep 0.2; i=$((i + 1))
  done
  return 1
}
wait_streaming() {  # client log -> returns once the client has dequeued a frame (10 s at most)
  i=0
  while [ $i -lt 50 ]; do
    grep -q 'dqbuf' $1 2>/dev/null && return 0
    sleep 0.2; i=$((i + 1))
  done
  return 1
}

t_video_flash_effect() {
  ensure_docs || fail "cannot store the documents" || return 1
  $TOOL -d VM0002 imu -t 12 --format csv >$W/fe-imu.csv 2>$W/fe-imu.err &
  pi=$!
  node=$(wait_node_held VM0002) || { wait $pi; fail "the IMU reader did not start"; return 1; }
  v4l2ctl_capture $node 320 120 10 80 fe &
  pv=$!
  wait_streaming $W/fe.log || { wait $pv; wait $pi; fail "capture did not start"; return 1; }
  sleep 1
  rows_before=$(( $(wc -l <$W/fe-imu.csv) - 1 ))
  frames_before=$(grep -c dqbuf $W/fe.log)
  t=$(now_ms)
  $TOOL --force -d VM0002 config get >$W/fe-get.json 2>$W/fe-get.err
  rc_get=$?
  get_ms=$(( $(now_ms) - t ))
  wait $pv; rc_v=$?
  wait $pi; rc_i=$?
  end_ms=$(( $(now_ms) - t ))
  cat $W/fe-get.err
  tail -n 5 $W/fe.log
  frames=$(( $(wc -c <$W/fe.raw) / (320 * 120 * 2) ))
  frame_check --width 320 --height 120 $W/fe.raw >$W/fe.check; rc_f=$?
  imu_rows=$(( $(wc -l <$W/fe-imu.csv) - 1 ))
  v_err=$(grep -v -E 'dqbuf|^\s*$' $W/fe.log | tail -n 1)
  i_err=$(tail -n 1 $W/fe-imu.err)
  echo "VMDATA flash_effect config_get --force rc=$rc_get in ${get_ms} ms; v4l2-ctl rc=$rc_v with $frames of 80 frames ($frames_before before the get), frames intact rc=$rc_f, last words: $v_err; IMU reader rc=$rc_i with $imu_rows rows ($rows_before before the get): $i_err"
  [ $rc_get -eq 0 ] || fail "config get --force failed" || return 1
  cmp $W/fe-get.json $W/doc-VM0002.min || fail "config get --force read the wrong document" || return 1
  [ $rc_f -eq 0 ] || fail "frames before the flash operation damaged: $(grep -m 1 '^error' $W/fe.check)" || return 1
  # Recovery: the node comes back and a new capture and IMU read work.
  t=$(now_ms)
  node=$(wait_node VM0002) || fail "capture node did not come back" || return 1
  echo "VMDATA flash_effect_node_back_ms $(( $(now_ms) - t )) after the get ended ($node)"
  v4l2ctl_capture $node 320 120 10 10 fr || fail "capture after the flash operation" || return 1
  frame_check --width 320 --height 120 --count 10 $W/fr.raw || fail "frames after the flash operation" || return 1
  $TOOL -d VM0002 imu -n 5 --format csv >/dev/null || fail "IMU read after the flash operation" || return 1
}

t_video_flash_guard() {
  ensure_docs || fail "cannot store the documents" || return 1
  node=$(video_node VM0002) || fail "no capture node listed for VM0002" || return 1
  v4l2ctl_capture $node 320 120 10 150 fg &
  pv=$!
  wait_streaming $W/fg.log || { wait $pv; cat $W/fg.log; fail "capture did not start"; return 1; }
  vpid=$(pidof v4l2-ctl)
  for op in "config get" "firmware export $W/fg-fw.bin" "info" "imu -n 3"; do
    kill -0 $vpid 2>/dev/null || { wait $pv; fail "the capture ended before $op"; return 1; }
    $TOOL -d VM0002 $op >$W/fg.out 2>$W/fg.err
    rc=$?
    cat $W/fg.err
    [ $rc -eq 8 ] || { wait $pv; tail -n 3 $W/fg.log; fail "$op during capture: exit $rc, not 8"; return 1; }
    grep -q "is open in another process: pid $vpid (v4l2-ctl)" $W/fg.err ||
      { wait $pv; fail "$op during capture does not name pid $vpid (v4l2-ctl)"; return 1; }
  done
  echo "VMDATA flash_guard $(head -n 1 $W/fg.err)"
  wait $pv || fail "capture during the refused operations failed" || return 1
  # The refusals touched nothing: the capture is whole.
  frame_check --width 320 --height 120 --count 150 --interval-ticks 100000 $W/fg.raw >$W/fg.check ||
    { cat $W/fg.check; fail "capture beside the refused operations: $(grep -m 1 '^error' $W/fg.check)"; return 1; }
  $TOOL -d VM0002 config get >$W/fg.json || fail "config get after the capture" || return 1
  cmp $W/fg.json $W/doc-VM0002.min || fail "document after the capture" || return 1
}

# One clock for frames and IMU: frames and IMU samples from one camera at
# once; each frame's PTS placed on the host clock through the IMU stream's
# mapping of the same camera clock (frame_check --imu), against the kernel's
# buffer stamp. The camera takes its picture at the PTS with no exposure
# time, so the offset is:
# - hwtimestamps=0: the driver's stamp of the moment the frame's first
#   payload reached it, that is the transport latency from the camera
#   (which sends the payload at the PTS) through QEMU to the guest kernel,
#   plus the IMU stream's placement error (the bias of its fit of the
#   sample instants between its reads);
# - hwtimestamps=1: the driver's own placement of the PTS through the
#   payloads' SCR (PTS to SOF by the camera's STC/SOF pairs, SOF to kernel
#   time by its own frame counter) plus the IMU stream's placement error.
#   The driver derives a stamp only once it holds 32 clock samples
#   (uvc_video_clock_update() in drivers/media/usb/uvc/uvc_video.c keeps the
#   arrival stamp until clock->count reaches clock->size), so the measured
#   frames are those whose stamp its clock trace (trace=0x1000,
#   UVC_DBG_CLOCK: "... ts <derived> buf ts <arrival> (... y1 <ns> y2 <ns>)")
#   shows it derived; every frame after the first such one must have one,
#   at least 20 of 30. With hwtimestamps=0 the trace must show none. The
#   driver's two-point fit holds only while its window of samples spans
#   less than the SOF counter's rollover of 2048 ms (the comment above
#   uvc_video_clock_update()); it keeps one sample per distinct SOF, and
#   the camera sends a frame's payloads within a few milliseconds of its
#   capture, so a frame gives a few samples: at 320x120 (5 payloads) about
#   one, and 32 samples span some 2.7 s at 10 frames per second, making
#   every derived stamp unsound. The scenario streams 640x240 (19
#   payloads) and fails when a window (y2 - y1) reaches 2048 ms.
# Bounds, from what each figure is made of (the IMU stream places its
# samples within about a millisecond: its reads take less here, and its fit
# lies between them):
# - arrival stamps (hwtimestamps=0) are a latency: they cannot precede the
#   capture, so the mean is at least -2 ms; on an emulated machine that
#   latency jumps by tens of milliseconds now and then (34 ms seen), so
#   the bounds only catch faults of the order of the 100 ms frame interval
#   (a PTS or stamp off by a frame, frames held back): a mean of at most
#   50 ms (half the interval, where a stamp would sit nearer the next
#   frame's capture than its own) and a standard deviation of at most 25 ms.
# - derived stamps (hwtimestamps=1) carry no transport latency but the
#   driver's SOF rule: the virtual camera's SOF counter is its own (usbredir
#   carries no bus frame number), and a difference of fewer than 10 frames
#   between it and the host's counter is taken for none
#   (uvc_video_clock_decode(): "delta_sof >= 10"), so they may lead by up to
#   10 ms, or lag by the first sample's delivery when the difference is
#   taken: a mean from -12 ms to 20 ms. Their spread comes from the two
#   samples that end the driver's window, each read to a frame (1 ms) of
#   the host's counter: at most 5 ms, half an IMU sample period (beyond it a
#   frame cannot be given its IMU sample).
t_video_imu_clock() {
  hw=/sys/module/uvcvideo/parameters/hwtimestamps
  trace=/sys/module/uvcvideo/parameters/trace
  [ -w $hw ] && [ -w $trace ] || fail "uvcvideo's hwtimestamps and trace parameters are not writable" || return 1
  port=$(basename "$(sysfs_dir_of VM0001)") || fail "VM0001 not in sysfs" || return 1
  for mode in 0 1; do
    echo $mode >$hw
    log_from=$(( $(dmesg | wc -l) + 1 ))
    echo 4096 >$trace
    $TOOL -d VM0001 imu -t 12 --format json >$W/ck$mode-imu.json 2>$W/ck$mode-imu.err &
    pi=$!
    node=$(wait_node_held VM0001) || { wait $pi; echo 0 >$trace; cat $W/ck$mode-imu.err; fail "the IMU stream did not start"; return 1; }
    v4l2ctl_capture $node 640 240 10 30 ck$mode
    rc=$?
    echo 0 >$trace
    [ $rc -eq 0 ] || { wait $pi; echo 0 >$hw; fail "capture with hwtimestamps=$mode"; return 1; }
    wait $pi || { echo 0 >$hw; cat $W/ck$mode-imu.err; fail "IMU stream beside the capture"; return 1; }
    grep -m 3 'ts: ' $W/ck$mode.log
    # The stamps the driver derived (in microseconds, as the client prints
    # them) and the time its sample window spanned for each.
    dmesg | tail -n +$log_from |
      sed -n "s/^.*usb $port: .* ts \([0-9]*\) buf ts .* y1 \([0-9]*\) y2 \([0-9]*\))$/\1 \2 \3/p" >$W/ck$mode.trace
    awk '{ printf "%d\n", $1 / 1000 }' $W/ck$mode.trace >$W/ck$mode.derived
    window=$(awk '{ w = ($3 - $2) / 1e6; if (w > max) max = w } END { printf "%d\n", max }' $W/ck$mode.trace)
    echo "VMDATA frame_imu_clock_window hwtimestamps=$mode longest ${window} ms over $(grep -c . $W/ck$mode.trace) derived stamps"
    [ "$window" -lt 2048 ] || { echo 0 >$hw; fail "the driver's clock window spanned $window ms, beyond the SOF rollover"; return 1; }
    if [ $mode = 0 ]; then
      bounds="--offset-mean-us -2000,50000 --offset-sd-us 25000"
      [ ! -s $W/ck0.derived ] || { echo 0 >$hw; fail "the driver derived stamps with hwtimestamps=0"; return 1; }
    else
      bounds="--stamps-reported --derived-stamps $W/ck1.derived --min-derived 20 --offset-mean-us -12000,20000 --offset-sd-us 5000"
    fi
    frame_check --width 640 --height 240 --count 30 --interval-ticks 100000 --timestamps $W/ck$mode.log $bounds \
      --imu $W/ck$mode-imu.json $W/ck$mode.raw >$W/ck$mode.check
    rc=$?
    cat $W/ck$mode.check
    echo "VMDATA frame_imu_offset hwtimestamps=$mode $(grep -E '^(offset_us|imu_samples|stamp_step_us|derived_stamps)' $W/ck$mode.check | tr '\n' ' ')"
    [ $rc -eq 0 ] || { echo 0 >$hw; fail "hwtimestamps=$mode: $(grep -m 1 '^error' $W/ck$mode.check)"; return 1; }
  done
  echo 0 >$hw
  return 0
}

# VM0003 negotiates 40000-byte payloads (run.sh starts it with
# --payload-size 40000), more than the driver's bulk transfers of 16 KiB
# (UVC_MAX_PACKETS, 32 packets of 512 bytes, in uvc_alloc_urb_buffers()):
# each full payload runs across three transfers, the middle one beginning
# and ending inside it. The frames must be whole, and the driver's stream
# statistics (debugfs) must count payloads of that size: 8 per 640x240
# frame and 2 per 320x120 frame (16 KiB payloads would make 19 and 5).
t_video_long_payloads() {
  node=$(video_node VM0003) || fail "no capture node listed for VM0003" || return 1
  d=$(sysfs_dir_of VM0003) || fail "VM0003 not in sysfs" || return 1
  grep -q ' /sys/kernel/debug ' /proc/mounts || mount -t debugfs debugfs /sys/kernel/debug ||
    fail "cannot mount debugfs" || return 1
  stats=/sys/kernel/debug/usb/uvcvideo/$(cat $d/busnum)-$(cat $d/devnum)-1/stats
  for run in "640 240 10 20 lp1 8" "320 120 15 20 lp2 2"; do
    set -- $run
    t=$(now_ms)
    v4l2ctl_capture $node $1 $2 $3 $4 $5 || { tail -n 20 $W/$5.log; fail "v4l2-ctl capture $1x$2 from VM0003"; return 1; }
    ms=$(( $(now_ms) - t ))
    check_frames v4l2ctl_long_payloads $1 $2 $3 $4 $5 $ms --timestamps $W/$5.log || return 1
    cat $stats || fail "no driver statistics at $stats" || return 1
    frames=$(sed -n 's/^frames: *//p' $stats)
    payloads=$(sed -n 's/^packets: *//p' $stats)
    echo "VMDATA video_long_payloads_${1}x$2 driver counted $payloads payloads in $frames frames"
    # A frame is counted when the next one begins: the last may be missing.
    [ "${frames:-0}" -ge $(( $4 - 1 )) ] || fail "the driver counted ${frames:-no} frames at $1x$2" || return 1
    [ "$payloads" -eq $(( frames * $6 )) ] ||
      fail "$payloads payloads in $frames frames at $1x$2, not $6 a frame" || return 1
    grep -q '^errors: *0$' $stats && grep -q '^invalid: *0$' $stats || fail "the driver saw bad payloads" || return 1
  done
}

# Debian's v4l2-compliance (v4l-utils) with its streaming tests on VM0001's
# capture node and metadata node. Each result is pinned: the tests, their
# counts and the failures and warnings. Those left are the driver's (the
# guest's 6.1 kernel, drivers/media/usb/uvc/), none the camera's. On the
# capture node (uvc_v4l2.c):
# - "test MMAP (no poll)", "(select)", "(epoll)", each "fail:
#   v4l2-test-buffers.cpp(1345): node->streamon(q.g_type()) != EINVAL": the
#   test frees the buffers (VIDIOC_REQBUFS with count 0) and expects
#   STREAMON to fail with EINVAL (no buffers). uvc_ioctl_reqbufs() gives up
#   the file handle's streaming privilege when the count is 0
#   (uvc_dismiss_privileges()), and uvc_ioctl_streamon() then answers
#   -EBUSY ("if (!uvc_has_privileges(handle)) return -EBUSY;") before the
#   queue is asked.
# - "warn: v4l2-test-formats.cpp(1036): Could not set fmt2": the test sets a
#   format on a second file handle while the first holds the privilege its
#   own VIDIOC_S_FMT took (uvc_ioctl_s_fmt_vid_cap() -> uvc_acquire_privileges(),
#   -EBUSY while another handle holds it).
# The driver completes a metadata buffer only with a video buffer
# (uvc_video_next_buffers() in uvc_video.c), so the metadata node's
# streaming tests wait for ever unless the capture node streams: a v4l2-ctl
# capture runs beside them. That leaves, on the metadata node:
# - "test VIDIOC_S_FMT", "fail: v4l2-test-formats.cpp(452): expected EINVAL,
#   but got 16 when getting format for buftype 13": uvc_meta_v4l2_set_format()
#   (uvc_metadata.c) answers -EBUSY while the video queue has buffers
#   ("if (uvc_queue_allocated(&stream->queue)) ret = -EBUSY;").
# The kernel's "Failed to resubmit video URB (-1)" lines during the run are
# the driver's too: when a stream stops, uvc_video_stop_transfer() poisons
# the URBs one by one, and a URB that completed just before its turn is
# resubmitted by uvc_video_complete() or uvc_video_copy_data_work() into
# the poisoned URB, which usb_submit_urb() refuses with -EPERM. The run must
# log no other uvcvideo error.
metadata_node() {  # capture node -> the other node of the same camera
  local dev v
  dev=$(readlink -f /sys/class/video4linux/${1#/dev/}/device)
  for v in /sys/class/video4linux/video*; do
    [ "/dev/${v##*/}" != "$1" ] && [ "$(readlink -f $v/device)" = "$dev" ] && { echo "/dev/${v##*/}"; return 0; }
  done
  return 1
}
compliance() {  # node name "tests succeeded failed warnings" -> checks $W/name.txt
  local node=$1 name=$2 total
  set -- $3
  timeout 400 v4l2-compliance -d $node -s 5 >$W/$name.txt 2>&1 || echo "v4l2-compliance exited with $?"
  grep -E 'fail:|warn:|FAIL|^Total' $W/$name.txt
  total=$(grep "^Total for uvcvideo device $node:" $W/$name.txt)
  echo "VMDATA video_compliance_$name $total"
  [ "$total" = "Total for uvcvideo device $node: $1, Succeeded: $2, Failed: $3, Warnings: $4" ] ||
    { tail -n 30 $W/$name.txt; dmesg | tail -n 15; fail "$name: ${total:-no total}, expected $1 tests, $2 succeeded, $3 failed, $4 warnings"; }
}
t_video_compliance() {
  node=$(video_node VM0001) || fail "no capture node listed for VM0001" || return 1
  meta=$(metadata_node $node) || fail "no metadata node beside $node" || return 1
  log_from=$(( $(dmesg | wc -l) + 1 ))
  compliance $node capture "53 50 3 1" || return 1
  expected='test MMAP (no poll): FAIL
test MMAP (select): FAIL
test MMAP (epoll): FAIL'
  [ "$(grep -E ': FAIL$' $W/capture.txt | sed 's/^[[:space:]]*//')" = "$expected" ] ||
    fail "capture: other failed tests than the three MMAP ones" || return 1
  [ "$(grep -c 'fail: v4l2-test-buffers.cpp(1345): node->streamon(q.g_type()) != EINVAL$' $W/capture.txt)" = 3 ] &&
    [ "$(grep -c 'fail:' $W/capture.txt)" = 3 ] || fail "capture: other failures than STREAMON without buffers" || return 1
  [ "$(grep 'warn:' $W/capture.txt | sed 's/^[[:space:]]*//')" = "warn: v4l2-test-formats.cpp(1036): Could not set fmt2" ] ||
    fail "capture: other warnings than the second handle's format" || return 1
  timeout 300 v4l2-ctl -d $node --stream-mmap=4 --stream-count=3000 --verbose >$W/compliance-capture.log 2>&1 &
  pv=$!
  wait_streaming $W/compliance-capture.log || { kill $pv; fail "the capture beside the metadata node did not start"; return 1; }
  compliance $meta metadata "53 52 1 0"
  rc=$?
  kill $pv 2>/dev/null
  wait $pv
  [ $rc -eq 0 ] || return 1
  [ "$(grep -E ': FAIL$' $W/metadata.txt | sed 's/^[[:space:]]*//')" = "test VIDIOC_S_FMT: FAIL" ] &&
    [ "$(grep 'fail:' $W/metadata.txt | sed 's/^[[:space:]]*//')" = "fail: v4l2-test-formats.cpp(452): expected EINVAL, but got 16 when getting format for buftype 13" ] ||
    fail "metadata: other failures than the format refused while the video queue has buffers" || return 1
  dmesg | tail -n +$log_from | grep -i uvcvideo >$W/compliance-kernel.txt
  cat $W/compliance-kernel.txt
  echo "VMDATA video_compliance_kernel $(grep -c 'Failed to resubmit video URB (-1)' $W/compliance-kernel.txt) lines \"Failed to resubmit video URB (-1)\""
  if grep -v 'Failed to resubmit video URB (-1)' $W/compliance-kernel.txt | grep -q -i -E 'fail|error'; then
    fail "the driver logged other errors: $(grep -v 'Failed to resubmit' $W/compliance-kernel.txt | head -n 1)"
    return 1
  fi
}

# `watch --json` while one camera is unplugged and comes back, after a flash
# operation on another: the unplug and the replug are each reported within a
# second (from the harness request, and from the kernel's "new USB device"
# line), the flash operation not at all, and the records are those `list`
# gives. Each event line is stamped with the guest's uptime as it arrives.
watch_event_ms() {  # event serial -> uptime ms of the first such line, empty when none
  grep "\"event\":\"$1\".*\"serial\":\"$2\"" $W/watch.out | head -n 1 | cut -d' ' -f1
}
wait_watch_event() {  # event serial seconds
  i=0
  while [ $i -lt $(($3 * 10)) ]; do
    [ -n "$(watch_event_ms $1 $2)" ] && return 0
    sleep 0.1; i=$((i + 1))
  done
  return 1
}
t_watch_hotplug() {
  rm -f $W/watch.*
  (morvane-uvc-stereo watch --json 2>$W/watch.err & echo $! >$W/watch.pid; wait $!; echo $? >$W/watch.status) |
    while IFS= read -r line; do echo "$(now_ms) $line"; done >$W/watch.out &
  reader=$!
  i=0
  while [ $i -lt 200 ] && ! grep -q watching $W/watch.err 2>/dev/null; do sleep 0.1; i=$((i + 1)); done
  cat $W/watch.err
  grep -q "watching 3 camera" $W/watch.err || fail "watch did not start with three cameras" || return 1

  # A flash operation on VM0001 (a firmware version read): its video node
  # vanishes (vm_probe measures for how long) and comes back.
  $PROBE node-gap VM0001 1 >$W/watch.gap || { cat $W/watch.gap; fail "flash operation on VM0001"; return 1; }
  absent=$(sed -n 's/^round=.* absent_ms=\([0-9.]*\).*/\1/p' $W/watch.gap)
  echo "VMDATA watch_flash_node_absent_ms $absent"
  case $absent in "" | 0 | 0.0) fail "VM0001's node did not vanish: the check would prove nothing"; return 1 ;; esac
  wait_node VM0001 >/dev/null || fail "VM0001's node did not come back" || return 1
  sleep 1
  if [ -s $W/watch.out ]; then cat $W/watch.out; fail "events reported for a flash operation"; return 1; fi

  port=$(basename "$(sysfs_dir_of VM0002)")
  t_unplug=$(now_ms)
  $PROBE unplug-now VM0002 || fail "unplug request" || return 1
  wait_watch_event removed VM0002 10 || fail "no removal of VM0002 reported" || return 1
  wait_watch_event arrived VM0002 20 || fail "no arrival of VM0002 reported" || return 1
  kill -INT "$(cat $W/watch.pid)"
  wait $reader
  cat $W/watch.out
  [ "$(cat $W/watch.status)" = 0 ] || fail "watch exited with $(cat $W/watch.status) on SIGINT" || return 1

  # Latencies from the kernel's own lines for the port: the disconnect, and
  # the UVC driver taking the device again (its nodes follow at once).
  kernel_ms() {  # pattern -> uptime ms of the last kernel line for the port matching it
    dmesg | grep "usb $port: $1" | tail -n 1 | sed 's/^\[ *\([0-9.]*\)\].*/\1/' | awk '{ printf "%d\n", $1 * 1000 }'
  }
  gone=$(kernel_ms "USB disconnect")
  back=$(kernel_ms "Found UVC")
  [ -n "$gone" ] && [ -n "$back" ] || fail "no kernel disconnect or UVC line for $port" || return 1
  removed_ms=$(( $(watch_event_ms removed VM0002) - gone ))
  arrived_ms=$(( $(watch_event_ms arrived VM0002) - back ))
  echo "VMDATA watch_removed_after_kernel_ms $removed_ms"
  echo "VMDATA watch_arrived_after_kernel_ms $arrived_ms"
  echo "VMDATA watch_removed_after_request_ms $(( $(watch_event_ms removed VM0002) - t_unplug ))"
  [ "$removed_ms" -lt 1000 ] || fail "removal reported $removed_ms ms after the kernel's disconnect" || return 1
  [ "$arrived_ms" -lt 1000 ] || fail "arrival reported $arrived_ms ms after the kernel found the camera" || return 1
  [ "$(grep -c . $W/watch.out)" -eq 2 ] || fail "other events than VM0002's removal and arrival" || return 1
  # The arrival carries the record `list` gives now.
  node=$(video_node VM0002) || fail "VM0002 not listed" || return 1
  grep "\"event\":\"arrived\"" $W/watch.out | grep -q "\"video_node\":\"$node\"" ||
    fail "arrival names another node than $node" || return 1
}

scenario enumeration t_enumeration
scenario list_json t_list_json
scenario info_firmware t_info_firmware
scenario config_roundtrip t_config_roundtrip
scenario backup_restore t_backup_restore
scenario imu t_imu
scenario imu_blocks_document t_imu_guard
scenario c_example t_c_example
scenario firmware_export_burn t_firmware_export_burn
scenario unplug_during_read t_unplug_during_read
scenario node_return_after_flash t_node_return
scenario transfer_times t_transfer_times
scenario two_users t_two_users
scenario video_v4l2ctl t_video_v4l2ctl
scenario video_gstreamer t_video_gstreamer
scenario video_opencv t_video_opencv
scenario video_flash_guard t_video_flash_guard
scenario video_flash_effect t_video_flash_effect
scenario video_imu_clock t_video_imu_clock
scenario video_long_payloads t_video_long_payloads
scenario video_compliance t_video_compliance
case " $VMONLY " in *" config_get_timing "*) scenario config_get_timing t_config_get_timing ;; esac
scenario watch_hotplug t_watch_hotplug
scenario final_blobs t_final_blobs
