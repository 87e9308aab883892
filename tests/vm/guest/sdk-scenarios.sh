# Sourced by run-tests.sh after video-scenarios.sh: the SDK's own capture
# through the kernel's UVC driver (capture and metadata nodes), by the tool's
# capture and record commands, checked by sdk_output_check. Uses its TOOL,
# W, fail and the video helpers (wait_node_held, ticks_per_frame).

# Frames stamped from the camera's PTS through the SDK's fit of the camera
# clock (SCR against the driver's stamps of the payloads, from the metadata
# node), placed beside the IMU stream of another process: each frame's PTS
# is placed on the IMU stream's clock through the samples around it, and the
# SDK's instant and the kernel's stamp are compared with that placement.
# The SDK's instant is bounded by the driver's stamps from above only, so it
# lies after the true instant by the bus latency the fit cannot see (the
# payload's SCR is sampled before its transfer; the driver stamps the
# transfer's completion) — under TCG a few hundred microseconds to a few
# milliseconds; the IMU stream's clock is bounded from both sides. The mean
# is bounded to -2..+5 ms and the spread to 3 ms: far below the kernel's
# arrival stamps (a frame's last payload arrives about a frame's transfer
# after the PTS), and wide enough for a loaded TCG host.
t_video_sdk_capture() {
  $TOOL -d VM0001 imu -t 12 --format json >$W/sdk-imu.json 2>$W/sdk-imu.err &
  pi=$!
  wait_node_held VM0001 >/dev/null || { wait $pi; cat $W/sdk-imu.err; fail "the IMU stream did not start"; return 1; }
  $TOOL -d VM0001 capture -n 30 --size 640x240 --fps 10 -o $W/sdk-cap >$W/sdk-cap.lines 2>$W/sdk-cap.err
  rc=$?
  wait $pi || { cat $W/sdk-imu.err; fail "IMU stream beside the SDK's capture"; return 1; }
  head -n 3 $W/sdk-cap.lines
  [ $rc -eq 0 ] || { cat $W/sdk-cap.err; fail "capture exited with $rc"; return 1; }
  sdk_output_check capture --count 30 --interval-ticks $(ticks_per_frame 10) --imu $W/sdk-imu.json \
    --offset-mean-us -2000,5000 --offset-sd-us 3000 $W/sdk-cap.lines >$W/sdk-cap.check
  rc=$?
  cat $W/sdk-cap.check
  echo "VMDATA sdk_frame_offset $(grep -E '^(sdk_offset_us|kernel_offset_us|device_clock)' $W/sdk-cap.check | tr '\n' ' ')"
  [ $rc -eq 0 ] || fail "$(grep -m 1 '^error' $W/sdk-cap.check)"
}

# A dataset recorded through the kernel (framesets: frames and IMU samples on
# the IMU stream's clock, each frame's PTS mapped through it), ended by
# SIGINT once 50 frames are in, as a user ends a recording: the command
# exits 0, the frames after the first three seconds were stamped on the
# IMU's clock, and the dataset reads back whole (the camera streams 640x240
# at 10 frames per second, the IMU at 100 Hz).
t_video_sdk_record() {
  $TOOL -d VM0001 record -t 60 --size 640x240 --fps 10 $W/sdk-ds >$W/sdk-ds.out 2>$W/sdk-ds.err &
  pr=$!
  i=0
  until [ "$(sed -n 's/^recording: \([0-9]*\) frames.*/\1/p' $W/sdk-ds.err | tail -n 1)" -ge 50 ] 2>/dev/null; do
    [ $i -lt 400 ] && kill -0 $pr 2>/dev/null || { wait $pr; cat $W/sdk-ds.err; fail "no 50 frames recorded"; return 1; }
    sleep 0.1; i=$((i + 1))
  done
  kill -INT $pr
  wait $pr
  rc=$?
  tail -n 2 $W/sdk-ds.err
  [ $rc -eq 0 ] || fail "record exited with $rc on SIGINT" || return 1
  grep -q ', 0 missed,' $W/sdk-ds.err || fail "frames missed: $(tail -n 1 $W/sdk-ds.err)" || return 1
  # The frames on the IMU's clock (from their PTS): all but those of the
  # first three seconds, while the IMU stream's fit settles (a slow start
  # under TCG leaves it more than the frameset's 2 ms agreement off; those
  # frames keep the capture's own stamp from the PTS).
  n=$(sed -n 's/^recorded \([0-9]*\) frames.*/\1/p' $W/sdk-ds.err)
  on=$(sed -n "s/^recorded .*, \([0-9]*\) stamped on the IMU's clock).*/\1/p" $W/sdk-ds.err)
  echo "VMDATA sdk_record_on_imu_clock $on of $n frames"
  [ -n "$on" ] && [ "$on" -ge $((n - 30)) ] ||
    fail "frames not stamped on the IMU's clock: $(tail -n 1 $W/sdk-ds.err)" || return 1
  sdk_output_check dataset --fps 10 --imu-rate 100 --min-frames 50 $W/sdk-ds >$W/sdk-ds.check
  rc=$?
  cat $W/sdk-ds.check
  echo "VMDATA sdk_record $(grep -E '^(frames|imu_rows)' $W/sdk-ds.check | tr '\n' ' ')"
  [ $rc -eq 0 ] || fail "$(grep -m 1 '^error' $W/sdk-ds.check)"
}
