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
. "$(dirname "$0")/video-scenarios.sh"
. "$(dirname "$0")/sdk-scenarios.sh"

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
scenario video_mjpeg t_video_mjpeg
scenario video_gstreamer t_video_gstreamer
scenario video_opencv t_video_opencv
scenario video_flash_guard t_video_flash_guard
scenario video_flash_effect t_video_flash_effect
scenario video_imu_clock t_video_imu_clock
scenario video_long_payloads t_video_long_payloads
scenario video_compliance t_video_compliance
scenario video_sdk_capture t_video_sdk_capture
scenario video_sdk_record t_video_sdk_record
case " $VMONLY " in *" config_get_timing "*) scenario config_get_timing t_config_get_timing ;; esac
scenario watch_hotplug t_watch_hotplug
scenario final_blobs t_final_blobs
