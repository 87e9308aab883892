// Framesets over a long virtual run of the simulated camera: every IMU
// sample in exactly one frameset, between its frame and the previous one,
// frames stamped through the IMU stream's fit within its band, and the
// interpolated sample at the frame's instant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "emulator/simulated_camera.hpp"
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

TEST(Frameset, EveryImuSampleLandsOnceBetweenItsFramesOnOneClock) {
  VirtualCameraRig rig({camera_config()});
  {
    OpenDeviceOptions device_options;
    device_options.required_capabilities = 0;
    Result<Device> device = open_device(morvane::testing::camera_record(camera_config()), device_options);
    ASSERT_TRUE(device.ok()) << device.message;
    FramesetOptions options;
    options.capture.width = 320;
    options.capture.height = 120;
    options.capture.frame_rate = 15;
    Result<FramesetStream> stream =
        open_frameset_stream(*device.value, morvane::testing::camera_record(camera_config()), options);
    ASSERT_TRUE(stream.ok()) << stream.message;

    std::uint64_t next_sequence = 0, previous_time = 0, samples = 0, missed = 0;
    std::uint64_t first_counter = 0, last_counter = 0;
    double worst = 0;
    const int kSets = 1800;  // two minutes
    for (int i = 0; i < kSets; ++i) {
      Result<Frameset> set = stream->next(1000);
      ASSERT_TRUE(set.ok()) << set.message;
      const Frameset& s = *set.value;
      EXPECT_GT(s.frame.time_ns, previous_time);
      for (const ImuStreamSample& sample : s.imu) {
        ASSERT_EQ(sample.sequence, next_sequence) << "frameset " << i;  // none lost, none twice
        ++next_sequence;
        if (samples == 0) first_counter = sample.device_counter;
        last_counter = sample.device_counter;
        ++samples;
        missed += sample.missed_before;
        EXPECT_GT(sample.time_ns, i == 0 ? 0 : previous_time);
        EXPECT_LE(sample.time_ns, s.frame.time_ns);
      }
      ASSERT_TRUE(s.imu_after.has_value());
      EXPECT_EQ(s.imu_after->sequence, next_sequence);
      EXPECT_GT(s.imu_after->time_ns, s.frame.time_ns);
      previous_time = s.frame.time_ns;
      if (i < 45) continue;  // three seconds for the IMU fit to lock
      EXPECT_EQ(s.frame.time_source, FrameTimeSource::imu_clock) << i;
      const auto truth = rig.platform().video(0).frame_truth(s.frame.sequence);
      ASSERT_TRUE(truth.has_value());
      const double error = static_cast<double>(s.frame.time_ns) - static_cast<double>(truth->exposure_ns);
      EXPECT_LE(std::fabs(error), s.frame.time_uncertainty_ns + 1000.0) << "frame " << i;
      worst = std::max(worst, std::fabs(error));
      const std::optional<ImuSample> at = s.interpolated_imu();
      ASSERT_TRUE(at.has_value());
      EXPECT_EQ(at->timestamp_ns, s.frame.time_ns);
      const double lo = std::min(s.imu_before->value.accel_g[2], s.imu_after->value.accel_g[2]);
      const double hi = std::max(s.imu_before->value.accel_g[2], s.imu_after->value.accel_g[2]);
      EXPECT_GE(at->accel_g[2], lo);
      EXPECT_LE(at->accel_g[2], hi);
    }
    // The device's own count: every sample it took between the first and
    // the last handed out was either handed out or counted as missed.
    const double period_ticks = 1e6 / emu::simulated_camera_config().imu.rate_hz;
    const auto taken = static_cast<std::uint64_t>(std::llround((last_counter - first_counter) / period_ticks)) + 1;
    EXPECT_EQ(samples + missed, taken);
    EXPECT_GT(samples, 200u * 110u);
    EXPECT_LE(missed, samples / 1000);  // read all along, the latest-sample IMU loses next to nothing
    EXPECT_EQ(stream->stats().imu_samples, samples);
    EXPECT_EQ(stream->stats().framesets, static_cast<std::uint64_t>(kSets));
    EXPECT_EQ(stream->stats().disagreements, 0u);
    RecordProperty("worst_frame_error_ns", std::to_string(worst));
  }
  EXPECT_TRUE(rig.clean());
}

// Cameras whose video is not stamped on the IMU's clock: each frame says
// how it was stamped, and no frame is placed by a clock that does not hold
// its PTS. A video clock apart from the IMU's still stamps the capture's
// frames from the PTS (SCR and PTS agree) but framesets cannot map them
// through the IMU (they disagree, and keep the capture's instant); a PTS on
// no clock the SCR shows leaves the kernel's stamp.
TEST(Frameset, FramesOnAnotherClockSaySoAndKeepAStampThatHolds) {
  struct Row {
    const char* name;
    std::uint64_t video_clock_offset, pts_offset;
    FrameTimeSource capture_source, frameset_source;
  };
  const Row rows[] = {
      {"one clock", 0, 0, FrameTimeSource::device_clock, FrameTimeSource::imu_clock},
      {"video clock apart", 123'456'789, 0, FrameTimeSource::device_clock, FrameTimeSource::device_clock},
      {"PTS on no clock", 0, 0x40000000 + 300'000, FrameTimeSource::kernel_stamp, FrameTimeSource::kernel_stamp},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    emu::CameraConfig config = camera_config();
    config.video_clock_offset_ticks = row.video_clock_offset;
    config.pts_offset_ticks = row.pts_offset;
    VirtualCameraRig rig({config});
    const DeviceInfo camera = morvane::testing::camera_record(config);
    StereoCaptureOptions capture_options;
    capture_options.width = 320;
    capture_options.height = 120;
    capture_options.frame_rate = 15;
    const auto check = [&](const StereoFrame& f, FrameTimeSource want, int i) {
      const auto truth = rig.platform().video(0).frame_truth(f.sequence);
      ASSERT_TRUE(truth.has_value());
      EXPECT_EQ(f.pts, truth->pts);
      if (i < 45) return;  // three seconds for the fits to lock
      EXPECT_EQ(f.time_source, want) << "frame " << i;
      const double error = static_cast<double>(f.time_ns) - static_cast<double>(truth->exposure_ns);
      if (want == FrameTimeSource::kernel_stamp) {
        EXPECT_EQ(f.time_ns, f.host_ns);
      } else {
        EXPECT_LE(std::fabs(error), f.time_uncertainty_ns + 600'000.0) << "frame " << i;  // bus latency at most
      }
    };
    {
      Result<StereoCapture> capture = open_stereo_capture(camera, capture_options);
      ASSERT_TRUE(capture.ok()) << capture.message;
      for (int i = 0; i < 60; ++i) {
        Result<StereoFrame> f = capture->next(1000);
        ASSERT_TRUE(f.ok()) << f.message;
        check(*f.value, row.capture_source, i);
      }
      EXPECT_EQ(capture->stats().fallback > 0, row.capture_source == FrameTimeSource::kernel_stamp);
    }
    OpenDeviceOptions device_options;
    device_options.required_capabilities = 0;
    Result<Device> device = open_device(camera, device_options);
    ASSERT_TRUE(device.ok()) << device.message;
    FramesetOptions options;
    options.capture = capture_options;
    Result<FramesetStream> stream = open_frameset_stream(*device.value, camera, options);
    ASSERT_TRUE(stream.ok()) << stream.message;
    for (int i = 0; i < 60; ++i) {
      Result<Frameset> set = stream->next(1000);
      ASSERT_TRUE(set.ok()) << set.message;
      check(set->frame, row.frameset_source, i);
    }
    const FramesetStats stats = stream->stats();
    EXPECT_EQ(stats.imu_clock > 0, row.frameset_source == FrameTimeSource::imu_clock);
    // Only frames the capture placed from their PTS are tried on the IMU's clock.
    EXPECT_EQ(stats.disagreements > 15, row.frameset_source == FrameTimeSource::device_clock);
  }
}

}  // namespace

// A failed open leaves the device's IMU as it found it: a bad capture option
// is refused before anything opens, and a capture that fails to open
// closes the IMU this call opened (the flash stays usable) but not one the
// caller had opened.
TEST(Frameset, AFailedOpenLeavesTheImuAsItWas) {
  VirtualCameraRig rig({camera_config()});
  OpenDeviceOptions device_options;
  device_options.required_capabilities = 0;
  const DeviceInfo camera = morvane::testing::camera_record(camera_config());
  Result<Device> device = open_device(camera, device_options);
  ASSERT_TRUE(device.ok()) << device.message;
  DeviceInfo no_such_node = camera;
  no_such_node.video_node = "/dev/video99";
  struct Case {
    bool imu_open_before;
    int buffer_count;
    const DeviceInfo* record;
    ErrorCode code;
  };
  for (const Case& c :
       {Case{false, 1, &camera, ErrorCode::invalid_argument}, Case{true, 1, &camera, ErrorCode::invalid_argument},
        Case{false, 4, &no_such_node, ErrorCode::device_unavailable},
        Case{true, 4, &no_such_node, ErrorCode::device_unavailable}}) {
    SCOPED_TRACE(testing::Message() << "IMU open before " << c.imu_open_before << ", node " << c.record->video_node
                                    << ", buffers " << c.buffer_count);
    if (c.imu_open_before) {
      ASSERT_TRUE(device->open_imu().ok());
    }
    FramesetOptions options;
    options.capture.buffer_count = static_cast<std::uint32_t>(c.buffer_count);
    Result<FramesetStream> stream = open_frameset_stream(*device.value, *c.record, options);
    ASSERT_FALSE(stream.ok());
    EXPECT_EQ(stream.code, c.code) << stream.message;
    EXPECT_EQ(device->is_imu_open(), c.imu_open_before);
    if (!c.imu_open_before) {
      // The flash is reached (this rig's flash holds no document), not refused for an open IMU.
      const auto read = device->read_json();
      EXPECT_EQ(read.message, "flash magic mismatch");
    }
    ASSERT_TRUE(device->close_imu().ok());
  }
}
