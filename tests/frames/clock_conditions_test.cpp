// Frame instants under clock conditions the other tests do not use: a video
// clock wrapping its 32 bits, device clock steps, video clocks apart from
// the IMU's by (near) whole multiples of the IMU counter's range, and
// damaged frames in framesets. Each frame stamped from a PTS must lie as
// close to the camera's truth as its stated band allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/simulated_camera.hpp"
#include "emulator/virtual_video_capture.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/frames.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace {

using namespace morvane::uvc_stereo;
namespace emu = morvane::emulator;
using morvane::testing::VirtualCameraRig;

emu::CameraConfig camera_config() {
  emu::CameraConfig config = morvane::testing::default_camera_config();
  config.imu = emu::simulated_camera_config().imu;
  return config;
}

// The camera opened for its IMU whatever its capabilities.
Result<Device> open_any(const DeviceInfo& camera) {
  OpenDeviceOptions options;
  options.required_capabilities = 0;
  return open_device(camera, options);
}

StereoCaptureOptions small() {
  StereoCaptureOptions o;
  o.width = 320;
  o.height = 120;
  o.frame_rate = 15;
  return o;
}

struct Tally {
  int stamped = 0, fallback = 0, bad = 0, outside_band = 0, non_increasing = 0, after_host = 0;
  double worst_early = 0, worst_late = 0;  // ns beyond what the band allows
  std::string first_bad;
};

// A device_clock frame lies at or after the truth by at most its band plus
// the bus's least latency; an imu_clock one within its band either way.
void check(const VirtualCameraRig& rig_c, const StereoFrame& f, std::uint64_t previous, int i, Tally& t) {
  auto& rig = const_cast<VirtualCameraRig&>(rig_c);
  if (f.time_ns <= previous) ++t.non_increasing;
  if (f.time_ns > f.host_ns) ++t.after_host;
  if (f.time_source == FrameTimeSource::kernel_stamp) {
    ++t.fallback;
    return;
  }
  ++t.stamped;
  const auto truth = rig.platform().video(0).frame_truth(f.sequence);
  const double error = static_cast<double>(f.time_ns) - static_cast<double>(truth->exposure_ns);
  double low = 0, high = 0;
  if (f.time_source == FrameTimeSource::device_clock) {
    low = -1000.0;
    high = f.time_uncertainty_ns + static_cast<double>(emu::kBusLatencyMinNs) + 1000.0;
  } else {
    low = -(f.time_uncertainty_ns + 1000.0);
    high = f.time_uncertainty_ns + 1000.0;
  }
  // Beyond the band either way, however the side is stated.
  if (std::fabs(error) > f.time_uncertainty_ns + static_cast<double>(emu::kBusLatencyMinNs) + 1000.0) ++t.outside_band;
  if (error < low || error > high) {
    if (t.bad == 0)
      t.first_bad = "frame " + std::to_string(i) + " seq " + std::to_string(f.sequence) + " source " +
                    std::to_string(static_cast<int>(f.time_source)) + " error " + std::to_string(error) + " ns band " +
                    std::to_string(f.time_uncertainty_ns);
    ++t.bad;
    t.worst_early = std::max(t.worst_early, low - error);
    t.worst_late = std::max(t.worst_late, error - high);
  }
}

std::string describe(const Tally& t) {
  return "stamped " + std::to_string(t.stamped) + " fallback " + std::to_string(t.fallback) + " bad " +
         std::to_string(t.bad) + " outside the band either way " + std::to_string(t.outside_band) +
         " (first: " + t.first_bad + ") worst early " + std::to_string(t.worst_early) + " late " +
         std::to_string(t.worst_late) + " non-increasing " + std::to_string(t.non_increasing) + " after host " +
         std::to_string(t.after_host);
}

// The capture's own stamps, with the device clock wrapping its 32 bits or
// stepping ahead mid-stream.
TEST(FrameClockConditions, CaptureStampsHoldAcrossWrapsAndSteps) {
  struct Row {
    const char* name;
    std::uint64_t video_clock_offset;
    std::vector<emu::ImuScript::Step> steps;
  };
  const std::vector<Row> rows = {
      {"32-bit wrap 4 s in", (1ULL << 32) - 4'000'000, {}},
      {"step 50 ms at 6 s", 0, {{6.0, 50'000}}},
      {"step 200 ms at 6 s", 0, {{6.0, 200'000}}},
      {"step 900 ms at 6 s", 0, {{6.0, 900'000}}},
      {"step 3 s at 6 s", 0, {{6.0, 3'000'000}}},
      {"step of 71 min less 2 s at 6 s (32-bit clock seen 2 s back)", 0, {{6.0, (1ULL << 32) - 2'000'000}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    emu::CameraConfig config = camera_config();
    config.video_clock_offset_ticks = row.video_clock_offset;
    config.imu.script.steps = row.steps;
    VirtualCameraRig rig({config});
    Result<StereoCapture> capture = open_stereo_capture(morvane::testing::camera_record(config), small());
    ASSERT_TRUE(capture.ok()) << capture.message;
    Tally t;
    std::uint64_t previous = 0;
    for (int i = 0; i < 300; ++i) {  // 20 s
      Result<StereoFrame> f = capture->next(1000);
      ASSERT_TRUE(f.ok()) << f.message;
      if (i >= 15) check(rig, *f.value, previous, i, t);
      previous = f->time_ns;
    }
    EXPECT_EQ(t.bad, 0) << describe(t);
    EXPECT_EQ(t.non_increasing, 0) << describe(t);
    EXPECT_EQ(t.after_host, 0) << describe(t);
    EXPECT_EQ(capture->stats().fallback, static_cast<std::uint64_t>(t.fallback)) << describe(t);
  }
}

// Framesets with a video clock apart from the IMU's by whole or near-whole
// multiples of the IMU counter's 20-bit range: a frame may be stamped
// imu_clock only where that instant holds within its band.
TEST(FrameClockConditions, FramesetNeverStampsAWrongImuClockInstant) {
  const std::uint64_t kRange = 1ULL << 20;
  struct Row {
    const char* name;
    std::uint64_t video_clock_offset;
    std::vector<emu::ImuScript::Step> steps;
  };
  const std::vector<Row> rows = {
      {"one clock, step 200 ms at 6 s", 0, {{6.0, 200'000}}},
      {"1 x 2^20", kRange, {}},
      {"4095 x 2^20 (wraps 32 bits)", 4095 * kRange, {}},
      {"1 x 2^20 + 1500", kRange + 1500, {}},
      {"1500 ticks", 1500, {}},
      {"1 x 2^20 - 1500", kRange - 1500, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    emu::CameraConfig config = camera_config();
    config.video_clock_offset_ticks = row.video_clock_offset;
    config.imu.script.steps = row.steps;
    VirtualCameraRig rig({config});
    const DeviceInfo camera = morvane::testing::camera_record(config);
    Result<Device> device = open_any(camera);
    ASSERT_TRUE(device.ok()) << device.message;
    FramesetOptions options;
    options.capture = small();
    Result<FramesetStream> stream = open_frameset_stream(*device.value, camera, options);
    ASSERT_TRUE(stream.ok()) << stream.message;
    Tally t;
    std::uint64_t previous = 0;
    for (int i = 0; i < 240; ++i) {  // 16 s
      Result<Frameset> set = stream->next(1000);
      ASSERT_TRUE(set.ok()) << set.message;
      if (i >= 45) check(rig, set->frame, previous, i, t);
      previous = set->frame.time_ns;
    }
    RecordProperty(std::string("imu_clock_") + row.name, std::to_string(stream->stats().imu_clock));
    EXPECT_EQ(t.bad, 0) << describe(t) << " imu_clock " << stream->stats().imu_clock << " disagreements "
                        << stream->stats().disagreements;
  }
}

// Damage in framesets: on the very first frame, spanning more frames than
// the capture has buffers, while the caller holds views: every IMU sample
// still lands in exactly one frameset and the losses are counted.
TEST(FrameClockConditions, DamageInFramesetsLosesNoImuSample) {
  emu::CameraConfig config = camera_config();
  VirtualCameraRig rig({config});
  const DeviceInfo camera = morvane::testing::camera_record(config);
  Result<Device> device = open_any(camera);
  ASSERT_TRUE(device.ok()) << device.message;
  FramesetOptions options;
  options.capture = small();
  options.capture.buffer_count = 3;
  rig.platform().video(0).damage_next_frames(1);  // the very first frame
  Result<FramesetStream> stream = open_frameset_stream(*device.value, camera, options);
  ASSERT_TRUE(stream.ok()) << stream.message;
  std::uint64_t next_sample = 0, handed = 0, missed = 0, last_sequence = 0;
  std::vector<Frameset> held;
  for (int i = 0; i < 120; ++i) {
    if (i == 30) rig.platform().video(0).damage_next_frames(7);  // more than the buffers
    if (i == 60) {
      rig.platform().video(0).damage_next_frames(2);
    }
    Result<Frameset> set = stream->next(1000);
    ASSERT_TRUE(set.ok()) << i << " " << set.message;
    for (const ImuStreamSample& s : set->imu) {
      ASSERT_EQ(s.sequence, next_sample) << "frameset " << i;
      ++next_sample;
    }
    ++handed;
    missed += set->frame.missed_before;
    last_sequence = set->frame.sequence;
    if (i >= 55 && i < 57) held.push_back(std::move(*set.value));  // two views held across the damage
    if (i == 65) held.clear();
  }
  EXPECT_EQ(handed + missed, last_sequence + 1);
  EXPECT_EQ(stream->capture().stats().undecodable, 10u);
  EXPECT_EQ(stream->capture().stats().missed, missed);
}

}  // namespace

namespace {

// Motion-JPEG: the very first frame damaged, then more damaged frames than
// the capture has buffers; each gray frame still counts every loss.
TEST(FrameClockConditions, DamagedMjpegFramesCountEveryLoss) {
  VirtualCameraRig rig;
  {
    StereoCaptureOptions o = small();
    o.camera_format = PixelFormat::mjpeg;
    o.output = FrameOutput::gray;
    o.buffer_count = 2;
    rig.platform().video(0).damage_next_frames(1);
    Result<StereoCapture> capture =
        open_stereo_capture(morvane::testing::camera_record(morvane::testing::default_camera_config()), o);
    ASSERT_TRUE(capture.ok()) << capture.message;
    std::uint64_t handed = 0, missed = 0, last = 0;
    for (int i = 0; i < 40; ++i) {
      if (i == 10) rig.platform().video(0).damage_next_frames(5);
      Result<StereoFrame> f = capture->next(1000);
      ASSERT_TRUE(f.ok()) << f.message;
      if (i == 0) {
        EXPECT_EQ(f->missed_before, 1u);
      }
      ++handed;
      missed += f->missed_before;
      last = f->sequence;
    }
    EXPECT_EQ(handed + missed, last + 1);
    EXPECT_EQ(capture->stats().undecodable, 6u);
    EXPECT_EQ(capture->stats().missed, missed);
  }
  EXPECT_TRUE(rig.clean());
}

}  // namespace
