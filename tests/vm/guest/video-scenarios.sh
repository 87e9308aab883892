# Sourced by run-tests.sh: the video scenarios, real V4L2 clients on the
# capture node `list` reports (helpers and t_video_* functions; run-tests.sh
# runs them with its scenario()). Uses its TOOL, W, fail, now_ms,
# sysfs_dir_of, flatten, field and ensure_docs.

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

# Motion-JPEG, the camera's second format: listed with the same sizes and
# rates as YUYV; v4l2-ctl's frames (concatenated in --stream-to, each one's
# length the bytesused of its --verbose line) are whole JPEGs (SOI FFD8 at
# the start, EOI FFD9 at the end) of varying length; and the tool captures
# through the SDK, which decodes them into PNG eyes and places each frame on
# the camera's clock by its PTS.
mjpeg_frames() {  # name count -> checks $W/name.raw against the lengths in $W/name.log
  local name=$1 n=$2 at=0 seq len frames=0
  sed -n '/dqbuf/s/.* seq: *\([0-9]*\).* bytesused: \([0-9]*\).*/\1 \2/p' $W/$name.log >$W/$name.lengths
  [ "$(grep -c . $W/$name.lengths)" -eq $n ] || fail "$name: $(grep -c . $W/$name.lengths) frames dequeued, not $n" || return 1
  [ "$(awk '{ s += $2 } END { print s + 0 }' $W/$name.lengths)" -eq "$(wc -c <$W/$name.raw)" ] ||
    fail "$name: the frames' lengths do not add up to the $(wc -c <$W/$name.raw) bytes saved" || return 1
  while read -r seq len; do
    [ "$len" -ge 4 ] || fail "$name: frame $seq holds $len bytes" || return 1
    [ "$(od -An -tx1 -j $at -N 2 $W/$name.raw | tr -d ' ')" = ffd8 ] || fail "$name: frame $seq does not begin with SOI" || return 1
    [ "$(od -An -tx1 -j $((at + len - 2)) -N 2 $W/$name.raw | tr -d ' ')" = ffd9 ] ||
      fail "$name: frame $seq does not end with EOI" || return 1
    at=$((at + len)); frames=$((frames + 1))
  done <$W/$name.lengths
  [ "$(cut -d' ' -f2 $W/$name.lengths | sort -u | grep -c .)" -gt 1 ] || fail "$name: every frame has the same length" || return 1
  echo "VMDATA video_mjpeg_$name $frames frames, $(awk '{ if (min == "" || $2 < min) min = $2; if ($2 > max) max = $2 } END { print min "-" max }' $W/$name.lengths) bytes each"
}
t_video_mjpeg() {
  node=$(video_node VM0001) || fail "no capture node listed for VM0001" || return 1
  timeout 30 v4l2-ctl -d $node --list-formats-ext >$W/mjfmt.txt 2>&1 || fail "v4l2-ctl --list-formats-ext" || return 1
  cat $W/mjfmt.txt
  # The MJPG entry, up to the next format.
  awk '/\[[0-9]+\]: / { on = /'"'"'MJPG'"'"'/ } on' $W/mjfmt.txt >$W/mjfmt-mjpg.txt
  for want in "'MJPG'" "Size: Discrete 640x240" "Size: Discrete 320x120" "(15.000 fps)" "(10.000 fps)" "(5.000 fps)"; do
    grep -qF "$want" $W/mjfmt-mjpg.txt || fail "the MJPG format lacks $want" || return 1
  done
  for run in "640 240 10 20 mj1" "320 120 15 20 mj2"; do
    set -- $run
    t=$(now_ms)
    timeout 120 v4l2-ctl -d $node --set-fmt-video=width=$1,height=$2,pixelformat=MJPG --set-parm=$3 \
      --stream-mmap=8 --stream-count=$4 --stream-to=$W/$5.raw --verbose >$W/$5.log 2>&1 ||
      { tail -n 20 $W/$5.log; fail "v4l2-ctl MJPEG capture $1x$2 at $3 fps"; return 1; }
    echo "VMDATA video_mjpeg_v4l2ctl_${1}x$2 $4 frames in $(( $(now_ms) - t )) ms"
    grep -m 3 'bytesused: ' $W/$5.log
    mjpeg_frames $5 $4 || return 1
  done
  rm -rf $W/mj
  $TOOL -d VM0001 capture -n 10 --size 640x240 --fps 10 --mjpeg -o $W/mj >$W/mj-tool.txt 2>$W/mj-tool.err ||
    { cat $W/mj-tool.err; fail "the tool's MJPEG capture: $(tail -n 1 $W/mj-tool.err)"; return 1; }
  cat $W/mj-tool.txt
  [ "$(grep -c '^sequence=' $W/mj-tool.txt)" -eq 10 ] || fail "the tool printed $(grep -c '^sequence=' $W/mj-tool.txt) frames, not 10" || return 1
  awk '{ split($1, s, "="); if (NR > 1 && s[2] != last + 1) bad = 1; last = s[2] } END { exit bad }' $W/mj-tool.txt ||
    fail "the tool's sequences are not consecutive" || return 1
  sources=$(sed -n 's/.* time_source=\([a-z_]*\) .*/\1/p' $W/mj-tool.txt | sort | uniq -c | tr -s ' ' | tr '\n' ',')
  echo "VMDATA video_mjpeg_tool time sources:$sources"
  [ "$(grep -c ' time_source=device_clock ' $W/mj-tool.txt)" -eq 10 ] || fail "frames not on the camera's clock:$sources" || return 1
  for f in $(sed -n 's/.* left=\([^ ]*\) right=\([^ ]*\)$/\1 \2/p' $W/mj-tool.txt); do
    [ -s "$f" ] && [ "$(od -An -c -j 1 -N 3 "$f" | tr -d ' ')" = PNG ] || fail "no PNG at $f" || return 1
  done
  [ "$(ls $W/mj/*.png | wc -l)" -eq 20 ] || fail "$(ls $W/mj/*.png | wc -l) PNG files, not 20" || return 1
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
  # The driver completes a metadata buffer queued after the last payload
  # header of a frame with that frame, holding no block (bytesused 0), which
  # v4l2-compliance fails (and the tests after it, the queue left busy): a
  # race with the capture beside it, so that one failure gets one more run.
  if [ $rc -ne 0 ] && grep -q 'fail: v4l2-test-buffers.cpp([0-9]*): !g_bytesused(p)' $W/metadata.txt; then
    echo "VMDATA video_compliance_metadata_rerun an empty metadata buffer in the first run"
    compliance $meta metadata "53 52 1 0"
    rc=$?
  fi
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
