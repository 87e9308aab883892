// The stereo capture against the virtual camera's capture and metadata
// nodes: the picture and its sequence, lost frames after a stall, frame
// instants against the camera's truth, the fallback to kernel stamps, a
// camera that vanishes mid-stream, refused formats, MJPEG frames decoded
// or, when damaged, dropped and counted as lost, and every driver buffer
// held by the caller's frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "emulator/simulated_camera.hpp"
#include "emulator/stereo_pattern.hpp"
#include "emulator/virtual_video_capture.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/frames.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace {

using namespace morvane::uvc_stereo;
namespace emu = morvane::emulator;
using morvane::testing::VirtualCameraRig;

DeviceInfo record() { return morvane::testing::camera_record(morvane::testing::default_camera_config()); }

std::uint8_t luma(const ImageView& v, std::uint32_t x, std::uint32_t y) {
  const std::size_t bytes = v.format == PixelFormat::yuyv ? 2 : v.format == PixelFormat::bgr24 ? 3 : 1;
  return v.data[static_cast<std::size_t>(y) * v.stride + x * bytes];
}

// One of the three bands the pattern writes into the top rows.
std::uint32_t band(const ImageView& v, int which) {
  const std::uint32_t cell = v.width / emu::kBitCellsPerRow;
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < 32; ++i)
    value = value << 1 | (luma(v, i * cell + cell / 2, which * emu::kBitCellRows + 1) > 128 ? 1u : 0u);
  return value;
}

StereoCaptureOptions small(FrameOutput output = FrameOutput::views) {
  StereoCaptureOptions o;
  o.width = 320;
  o.height = 120;
  o.frame_rate = 15;
  o.output = output;
  return o;
}

TEST(StereoCapture, FramesCarryThePictureTheirSequenceAndPtsInEveryOutput) {
  for (FrameOutput output : {FrameOutput::views, FrameOutput::gray, FrameOutput::bgr}) {
    SCOPED_TRACE(static_cast<int>(output));
    VirtualCameraRig rig;
    {
      Result<StereoCapture> capture = open_stereo_capture(record(), small(output));
      ASSERT_TRUE(capture.ok()) << capture.message;
      EXPECT_EQ(capture->format().width, 320u);
      EXPECT_EQ(capture->format().height, 120u);
      EXPECT_NEAR(capture->format().frame_rate, 15.0, 1e-3);
      EXPECT_TRUE(capture->format().metadata);
      std::uint64_t expected = 0;
      for (int i = 0; i < 12; ++i) {
        Result<StereoFrame> frame = capture->next(1000);
        ASSERT_TRUE(frame.ok()) << frame.message;
        const StereoFrame& f = *frame.value;
        EXPECT_EQ(f.sequence, expected++);
        EXPECT_EQ(f.missed_before, 0u);
        EXPECT_EQ(f.holds_buffer(), output == FrameOutput::views);
        ASSERT_EQ(f.left.width, 160u);
        ASSERT_EQ(f.right.height, 120u);
        EXPECT_EQ(band(f.left, 0), f.sequence);
        EXPECT_EQ(band(f.left, 2), ~static_cast<std::uint32_t>(f.sequence));
        const auto truth = rig.platform().video(0).frame_truth(f.sequence);
        ASSERT_TRUE(truth.has_value());
        ASSERT_TRUE(f.has_pts);
        EXPECT_EQ(f.pts, truth->pts);
        EXPECT_EQ(band(f.left, 1), f.pts);
        EXPECT_EQ(f.host_ns, truth->completed_ns / 1000 * 1000);  // microsecond stamps
        // The right eye sees the left eye's texture kDisparity pixels further left.
        int mismatches = 0;
        for (std::uint32_t y = 3 * emu::kBitCellRows; y < f.left.height; y += 7)
          for (std::uint32_t x = 0; x + emu::kDisparity < f.left.width; x += 3)
            mismatches += luma(f.right, x, y) != luma(f.left, x + emu::kDisparity, y);
        EXPECT_EQ(mismatches, 0);
        if (output == FrameOutput::bgr) {
          // A grey picture: blue, green and red alike, the luma stretched to full range.
          const std::uint8_t* px = f.left.data + 20 * f.left.stride + 30 * 3;
          EXPECT_EQ(px[0], px[1]);
          EXPECT_EQ(px[1], px[2]);
        }
      }
      EXPECT_EQ(capture->stats().frames, 12u);
    }
    EXPECT_TRUE(rig.clean());
  }
}

TEST(StereoCapture, GrayAndBgrMatchTheCameraPixels) {
  VirtualCameraRig rig;
  std::vector<std::uint8_t> y_plane;
  Result<StereoCapture> views = open_stereo_capture(record(), small(FrameOutput::views));
  ASSERT_TRUE(views.ok()) << views.message;
  Result<StereoFrame> v = views->next(1000);
  ASSERT_TRUE(v.ok()) << v.message;
  const std::uint64_t sequence = v->sequence;
  for (std::uint32_t y = 0; y < v->right.height; ++y)
    for (std::uint32_t x = 0; x < v->right.width; ++x) y_plane.push_back(luma(v->right, x, y));
  v.value.reset();
  views->close();
  for (FrameOutput output : {FrameOutput::gray, FrameOutput::bgr}) {
    Result<StereoCapture> c = open_stereo_capture(record(), small(output));
    ASSERT_TRUE(c.ok()) << c.message;
    Result<StereoFrame> f = c->next(1000);
    ASSERT_TRUE(f.ok()) << f.message;
    // Each stream starts from frame 0 again: the same picture, but for the
    // PTS band (another stream, another instant).
    ASSERT_EQ(f->sequence, sequence);
    int off = 0;
    for (std::uint32_t y = 0; y < f->right.height; ++y)
      if (y / emu::kBitCellRows != 1)
        for (std::uint32_t x = 0; x < f->right.width; ++x) {
          const int want = static_cast<int>(y_plane[y * f->right.width + x]);
          const int got = luma(f->right, x, y);
          // Gray is the luma itself; BGR stretches limited-range luma to full.
          const int expect = output == FrameOutput::gray ? want : std::clamp((want - 16) * 255 / 219, 0, 255);
          off += std::abs(got - expect) > (output == FrameOutput::gray ? 0 : 3);
        }
    EXPECT_EQ(off, 0) << static_cast<int>(output);
  }
}

TEST(StereoCapture, MissedBeforeCountsTheFramesLostWhileTheReaderStalled) {
  VirtualCameraRig rig;
  StereoCaptureOptions o = small();
  o.buffer_count = 4;
  Result<StereoCapture> capture = open_stereo_capture(record(), o);
  ASSERT_TRUE(capture.ok()) << capture.message;
  std::uint64_t received = 0, missed = 0, last = 0;
  bool gap_seen = false;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 6; ++i) {
      Result<StereoFrame> frame = capture->next(1000);
      ASSERT_TRUE(frame.ok()) << frame.message;
      ++received;
      missed += frame->missed_before;
      gap_seen = gap_seen || frame->missed_before > 0;
      EXPECT_EQ(band(frame->left, 0), frame->sequence);  // the count matches the pictures
      last = frame->sequence;
    }
    // The reader stalls for two seconds: 30 frames come, four buffers hold some.
    rig.clock().advance_ns(2'000'000'000ULL);
  }
  EXPECT_TRUE(gap_seen);
  EXPECT_EQ(received + missed, last + 1);
  EXPECT_EQ(capture->stats().missed, missed);
  EXPECT_GE(missed, 2u * 25u);
}

TEST(StereoCapture, FrameInstantsLieWithinTheFitsBandOfTheTruth) {
  VirtualCameraRig rig;
  Result<StereoCapture> capture = open_stereo_capture(record(), small());
  ASSERT_TRUE(capture.ok()) << capture.message;
  double worst = 0, worst_kernel_best = 1e18;
  std::uint64_t previous = 0;
  for (int i = 0; i < 450; ++i) {  // 30 s
    Result<StereoFrame> frame = capture->next(1000);
    ASSERT_TRUE(frame.ok()) << frame.message;
    const StereoFrame& f = *frame.value;
    ASSERT_EQ(f.time_source, FrameTimeSource::device_clock) << i;
    const auto truth = rig.platform().video(0).frame_truth(f.sequence);
    ASSERT_TRUE(truth.has_value());
    const double error = static_cast<double>(f.time_ns) - static_cast<double>(truth->exposure_ns);
    EXPECT_GT(f.time_ns, previous);
    EXPECT_LE(f.time_ns, f.host_ns);
    previous = f.time_ns;
    if (i < 15) continue;  // the first second: the fit has one edge only
    // Never before the truth (the driver's stamps are upper bounds), and
    // after it by at most the band and the bus's least latency, which the
    // host cannot see (the PTS counts whole microseconds).
    EXPECT_GE(error, -1000.0) << "frame " << i;
    EXPECT_LE(error, f.time_uncertainty_ns + emu::kBusLatencyMinNs + 1000.0)
        << "frame " << i << " band " << f.time_uncertainty_ns;
    worst = std::max(worst, std::fabs(error));
    worst_kernel_best = std::min(worst_kernel_best, static_cast<double>(f.host_ns - truth->exposure_ns));
  }
  // Far closer than the kernel's stamp ever is.
  EXPECT_LT(worst * 10, worst_kernel_best);
}

TEST(StereoCapture, WithoutMetadataFramesKeepTheKernelStamp) {
  struct Case {
    const char* name;
    bool node_present;
    bool use_metadata;
  };
  for (const Case& c : {Case{"no metadata node", false, true}, Case{"metadata turned off", true, false}}) {
    SCOPED_TRACE(c.name);
    auto config = morvane::testing::default_camera_config();
    if (!c.node_present) config.metadata_node = -1;
    VirtualCameraRig rig({config});
    {
      StereoCaptureOptions o = small();
      o.use_metadata = c.use_metadata;
      Result<StereoCapture> capture = open_stereo_capture(record(), o);
      ASSERT_TRUE(capture.ok()) << capture.message;
      EXPECT_FALSE(capture->format().metadata);
      for (int i = 0; i < 5; ++i) {
        Result<StereoFrame> frame = capture->next(1000);
        ASSERT_TRUE(frame.ok()) << frame.message;
        EXPECT_EQ(frame->time_source, FrameTimeSource::kernel_stamp);
        EXPECT_EQ(frame->time_ns, frame->host_ns);
        EXPECT_FALSE(frame->has_pts);
      }
    }
    EXPECT_TRUE(rig.clean());
  }
}

TEST(StereoCapture, AVanishedCameraEndsTheStreamAndLeavesNothingOpen) {
  for (bool holding : {false, true}) {
    SCOPED_TRACE(holding ? "a frame held" : "no frame held");
    VirtualCameraRig rig;
    {
      Result<StereoCapture> capture = open_stereo_capture(record(), small());
      ASSERT_TRUE(capture.ok()) << capture.message;
      Result<StereoFrame> held = capture->next(1000);
      ASSERT_TRUE(held.ok()) << held.message;
      if (!holding) held.value.reset();
      rig.camera().unplug();
      Result<StereoFrame> gone = capture->next(1000);
      EXPECT_EQ(gone.code, ErrorCode::device_unavailable);
      EXPECT_EQ(gone.message, "/dev/video0 is gone (VIDIOC_DQBUF: No such device)");
      Result<StereoFrame> again = capture->next(1000);
      EXPECT_EQ(again.message, gone.message);
      if (holding) {
        // The held frame's pixels stay readable until it is released.
        EXPECT_EQ(band(held->left, 0), held->sequence);
        EXPECT_EQ(rig.platform().mapped_video_buffer_count(), 4u);
        held.value.reset();
      }
      EXPECT_EQ(rig.platform().open_video_fd_count(), 0u);
    }
    EXPECT_TRUE(rig.clean());
  }
}

TEST(StereoCapture, RefusesWhatTheCameraDoesNotOfferAndLeavesNothingOpen) {
  struct Case {
    std::uint32_t width, height;
    double rate;
    std::uint32_t buffers;
    ErrorCode code;
    const char* message;
  };
  const Case cases[] = {
      {1000, 1000, 0, 4, ErrorCode::unsupported,
       "/dev/video0 offers no 1000x1000 picture (it offers 640x240, 320x120, 1280x480, 2560x720)"},
      {640, 240, 30, 4, ErrorCode::unsupported, "/dev/video0 offers no 30 fps at 640x240 (it offers 10, 5)"},
      {640, 0, 0, 4, ErrorCode::invalid_argument,
       "stereo capture option width is out of range (valid: 0 and 0, or a size up to 16384x16384)"},
      {0, 0, 0, 1, ErrorCode::invalid_argument, "stereo capture option buffer_count is out of range (valid: 2 to 32)"},
  };
  // MJPEG is decoded, so it has no views; a format that is none of the camera's.
  for (const auto& [format, output, message] :
       {std::tuple{PixelFormat::mjpeg, FrameOutput::views,
                   "stereo capture option output is out of range (valid: gray or bgr for an MJPEG camera format)"},
        std::tuple{PixelFormat::gray8, FrameOutput::gray,
                   "stereo capture option camera_format is out of range (valid: yuyv or mjpeg)"}}) {
    StereoCaptureOptions o;
    o.camera_format = format;
    o.output = output;
    Result<StereoCapture> capture = open_stereo_capture(record(), o);
    EXPECT_EQ(capture.code, ErrorCode::invalid_argument);
    EXPECT_EQ(capture.message, message);
  }
  VirtualCameraRig rig;
  for (const Case& c : cases) {
    StereoCaptureOptions o;
    o.width = c.width;
    o.height = c.height;
    o.frame_rate = c.rate;
    o.buffer_count = c.buffers;
    Result<StereoCapture> capture = open_stereo_capture(record(), o);
    EXPECT_EQ(capture.code, c.code);
    EXPECT_EQ(capture.message, c.message);
    EXPECT_TRUE(rig.clean());
  }
  DeviceInfo nowhere = record();
  nowhere.video_node = "/dev/video9";
  Result<StereoCapture> missing = open_stereo_capture(nowhere);
  EXPECT_EQ(missing.code, ErrorCode::device_unavailable);
  EXPECT_EQ(missing.message, "open /dev/video9 failed: No such file or directory");

  // The widest picture, and a wait too short for the first frame.
  StereoCaptureOptions wide;
  wide.width = 2560;
  wide.height = 720;
  wide.frame_rate = 30;
  Result<StereoCapture> capture = open_stereo_capture(record(), wide);
  ASSERT_TRUE(capture.ok()) << capture.message;
  EXPECT_EQ(capture->format().stride, 5120u);
  Result<StereoFrame> early = capture->next(0);
  EXPECT_EQ(early.code, ErrorCode::read_failed);
  EXPECT_EQ(early.message, "no frame from /dev/video0 within 0 ms");
  Result<StereoFrame> frame = capture->next(1000);
  ASSERT_TRUE(frame.ok()) << frame.message;
  EXPECT_EQ(frame->left.width, 1280u);
  EXPECT_EQ(band(frame->left, 0), frame->sequence);
  frame.value.reset();
  capture.value.reset();
  EXPECT_TRUE(rig.clean());
}

// Decoded MJPEG frames against the picture the camera encoded: the bands
// read back exactly, the texture within JPEG's loss of its own frame and far
// from the next frame's; damaged frames are dropped and counted as lost.
TEST(StereoCapture, MjpegFramesDecodeToTheCameraPictureAndDamagedOnesCountAsLost) {
  for (FrameOutput output : {FrameOutput::gray, FrameOutput::bgr}) {
    SCOPED_TRACE(static_cast<int>(output));
    VirtualCameraRig rig;
    {
      StereoCaptureOptions o = small(output);
      o.camera_format = PixelFormat::mjpeg;
      Result<StereoCapture> capture = open_stereo_capture(record(), o);
      ASSERT_TRUE(capture.ok()) << capture.message;
      EXPECT_EQ(capture->format().camera_format, PixelFormat::mjpeg);
      EXPECT_EQ(capture->format().stride, 0u);
      for (int i = 0; i < 4; ++i) {
        Result<StereoFrame> frame = capture->next(1000);
        ASSERT_TRUE(frame.ok()) << frame.message;
        const StereoFrame& f = *frame.value;
        EXPECT_EQ(f.sequence, static_cast<std::uint64_t>(i));
        EXPECT_FALSE(f.holds_buffer());
        EXPECT_EQ(f.left.format, output == FrameOutput::gray ? PixelFormat::gray8 : PixelFormat::bgr24);
        ASSERT_EQ(f.left.width, 160u);
        ASSERT_EQ(f.right.height, 120u);
        EXPECT_EQ(band(f.left, 0), f.sequence);
        EXPECT_EQ(band(f.left, 1), f.pts);
        EXPECT_EQ(band(f.left, 2), ~static_cast<std::uint32_t>(f.sequence));
        EXPECT_EQ(f.time_source, FrameTimeSource::device_clock);
        // Mean error of the right eye's texture rows against this frame's
        // picture and against the next frame's (full-range luma in both).
        double own = 0, other = 0;
        std::size_t n = 0;
        for (std::uint32_t y = 3 * emu::kBitCellRows; y < f.right.height; ++y)
          for (std::uint32_t x = 0; x < f.right.width; ++x, ++n) {
            const auto full = [&](std::uint32_t frame_number) {
              const int luma =
                  emu::pattern_luma(static_cast<int>(x) + emu::kDisparity, static_cast<int>(y),
                                    static_cast<int>(f.right.width), static_cast<std::uint32_t>(frame_number), f.pts);
              return std::clamp((luma - 16) * 255 / 219, 0, 255);
            };
            const int got = luma(f.right, x, y);
            own += std::abs(got - full(static_cast<std::uint32_t>(f.sequence)));
            other += std::abs(got - full(static_cast<std::uint32_t>(f.sequence) + 1));
          }
        EXPECT_LT(own / n, 6.0);
        EXPECT_GT(other / n, 4 * own / n);
      }
      rig.platform().video(0).damage_next_frames(2);
      Result<StereoFrame> after = capture->next(1000);
      ASSERT_TRUE(after.ok()) << after.message;
      EXPECT_EQ(after->sequence, 6u);
      EXPECT_EQ(after->missed_before, 2u);
      EXPECT_EQ(band(after->left, 0), 6u);
      EXPECT_EQ(capture->stats().undecodable, 2u);
      EXPECT_EQ(capture->stats().missed, 2u);
      EXPECT_EQ(capture->stats().frames, 5u);
    }
    EXPECT_TRUE(rig.clean());
  }
}

// YUYV frames cut short on the bus and handed out flagged by the driver are
// dropped, never converted or shown: the next whole frame counts them lost.
TEST(StereoCapture, DamagedYuyvFramesAreDroppedAndCountedAsLost) {
  for (FrameOutput output : {FrameOutput::views, FrameOutput::gray, FrameOutput::bgr}) {
    SCOPED_TRACE(static_cast<int>(output));
    VirtualCameraRig rig;
    {
      Result<StereoCapture> capture = open_stereo_capture(record(), small(output));
      ASSERT_TRUE(capture.ok()) << capture.message;
      for (std::uint64_t i = 0; i < 2; ++i) ASSERT_EQ(capture->next(1000)->sequence, i);
      rig.platform().video(0).damage_next_frames(3);
      Result<StereoFrame> after = capture->next(1000);
      ASSERT_TRUE(after.ok()) << after.message;
      EXPECT_EQ(after->sequence, 5u);
      EXPECT_EQ(after->missed_before, 3u);
      EXPECT_EQ(band(after->left, 0), 5u);
      EXPECT_EQ(capture->stats().undecodable, 3u);
      EXPECT_EQ(capture->stats().missed, 3u);
      EXPECT_EQ(capture->stats().frames, 3u);
    }
    EXPECT_TRUE(rig.clean());
  }
}

// Every driver buffer held by the caller's frames: the driver drops the
// camera's frames, next() fails as a plain timeout (after waiting it out)
// and the capture stays usable; once one frame is released the next one
// arrives, its missed_before exactly the frames the camera sent while no
// buffer was queued. Through the capture and through a frameset stream.
TEST(StereoCapture, WithEveryBufferHeldNextTimesOutAndAReleaseBringsFramesBackCountingTheLost) {
  struct Case {
    bool frameset;
    std::uint32_t buffers;
    int wait_ms;  // each next() while every buffer is held; negative: without limit
  };
  const Case cases[] = {{false, 2, 0}, {false, 4, 300}, {false, 3, 1000}, {false, 2, -1},
                        {true, 2, 0},  {true, 4, 300},  {true, 3, -1}};
  auto config = morvane::testing::default_camera_config();
  config.imu = emu::simulated_camera_config().imu;
  const DeviceInfo camera = morvane::testing::camera_record(config);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.frameset ? "frameset" : "capture") + ", " + std::to_string(c.buffers) +
                 " buffers, waits of " + std::to_string(c.wait_ms) + " ms");
    VirtualCameraRig rig({config});
    {
      StereoCaptureOptions o = small();
      o.buffer_count = c.buffers;
      std::optional<Device> device;
      std::optional<FramesetStream> stream;
      std::optional<StereoCapture> own;
      if (c.frameset) {
        OpenDeviceOptions device_options;
        device_options.required_capabilities = 0;
        Result<Device> d = open_device(camera, device_options);
        ASSERT_TRUE(d.ok()) << d.message;
        device.emplace(std::move(*d.value));
        FramesetOptions options;
        options.capture = o;
        Result<FramesetStream> s = open_frameset_stream(*device, camera, options);
        ASSERT_TRUE(s.ok()) << s.message;
        stream.emplace(std::move(*s.value));
      } else {
        Result<StereoCapture> opened = open_stereo_capture(camera, o);
        ASSERT_TRUE(opened.ok()) << opened.message;
        own.emplace(std::move(*opened.value));
      }
      StereoCapture& capture = c.frameset ? stream->capture() : *own;
      const auto next = [&](int timeout_ms) {
        if (!c.frameset) return capture.next(timeout_ms);
        Result<Frameset> set = stream->next(timeout_ms);
        if (!set.ok()) return Result<StereoFrame>::forward(set);
        return Result<StereoFrame>::success(std::move(set->frame));
      };
      const std::string timeout = c.wait_ms < 0
                                      ? "no frame from /dev/video0: every buffer is held by the caller"
                                      : "no frame from /dev/video0 within " + std::to_string(c.wait_ms) + " ms";

      std::deque<StereoFrame> held;
      std::uint64_t missed = 0;
      for (std::uint32_t i = 0; i < c.buffers; ++i) {
        Result<StereoFrame> f = next(1000);
        ASSERT_TRUE(f.ok()) << f.message;
        ASSERT_TRUE(f->holds_buffer());
        missed += f->missed_before;
        held.push_back(std::move(*f.value));
      }
      for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (int attempt = 0; attempt < 2; ++attempt) {
          const std::uint64_t before = rig.clock().now_ns();
          Result<StereoFrame> none = next(c.wait_ms);
          EXPECT_EQ(none.code, ErrorCode::read_failed);
          EXPECT_EQ(none.message, timeout);
          // It waited the time it says it did (on the virtual clock).
          if (c.wait_ms >= 0) {
            EXPECT_GE(rig.clock().now_ns() - before, c.wait_ms * 1000000ULL);
          }
          ASSERT_TRUE(capture.is_open());
          EXPECT_GE(capture.fd(), 0);
        }
        // The caller works on its frames a while longer, then lets the oldest go.
        rig.clock().advance_ns(200'000'000ULL);
        const std::uint64_t last = held.back().sequence;
        held.pop_front();
        const std::uint64_t released_at = rig.clock().now_ns();
        // The camera's truth: the frames whose first payload reached the host
        // before a buffer was queued again found none.
        std::uint64_t lost = 0;
        while (rig.platform().video(0).frame_truth(last + 1 + lost)->first_arrival_ns <= released_at) ++lost;
        EXPECT_GE(lost, 2u);  // at 15 fps, 200 ms at least
        Result<StereoFrame> f = next(1000);
        ASSERT_TRUE(f.ok()) << f.message;
        EXPECT_EQ(f->sequence, last + 1 + lost);
        EXPECT_EQ(f->missed_before, lost);
        EXPECT_EQ(band(f->left, 0), f->sequence);  // the picture is that frame's
        ASSERT_TRUE(f->holds_buffer());
        missed += f->missed_before;
        held.push_back(std::move(*f.value));
      }
      EXPECT_EQ(capture.stats().missed, missed);
      EXPECT_EQ(capture.stats().frames, c.buffers + 3u);
      held.clear();
      // Every buffer back with the driver: frames follow each other again.
      Result<StereoFrame> a = next(1000);
      ASSERT_TRUE(a.ok()) << a.message;
      Result<StereoFrame> b = next(1000);
      ASSERT_TRUE(b.ok()) << b.message;
      EXPECT_EQ(b->sequence, a->sequence + 1);
    }
    EXPECT_TRUE(rig.clean());
  }
}

}  // namespace
