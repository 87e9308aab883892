// The Linux IMU reader over a scripted video node: the request it makes, the
// 17-byte big-endian decoding, status bytes, the midpoint timestamp, system
// error texts, and that the node is always closed again.
#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "morvane/uvc_stereo/imu.hpp"
#include "platform/platform.hpp"
#include "support/forwarding_platform.hpp"

namespace morvane::uvc_stereo {
namespace {

// A platform that only knows video nodes and the clock: every other operation
// fails the way the system would when the facility is absent.
class ScriptedVideoPlatform : public testing::ForwardingPlatform {
 public:
  ScriptedVideoPlatform() : ForwardingPlatform(testing::no_usb_platform()) {}

  struct Reply {
    int error = 0;  // errno to fail the ioctl with; 0 succeeds
    std::vector<std::uint8_t> bytes;
  };

  // Node paths that open; everything else fails with ENOENT.
  std::vector<std::string> nodes{"/dev/video0"};
  std::deque<Reply> replies;
  std::deque<timespec> clock_readings;  // consumed one per monotonic_time call
  bool clock_fails = false;

  int open_count = 0;
  int close_count = 0;
  int ioctl_count = 0;
  int last_open_flags = 0;
  uvc_xu_control_query last_query{};

  int video_open(const std::string& path, int flags) override {
    last_open_flags = flags;
    for (const std::string& node : nodes) {
      if (node == path) {
        ++open_count;
        return 40 + open_count;
      }
    }
    errno = ENOENT;
    return -1;
  }
  int video_ioctl(int, unsigned long request, void* arg) override {
    ++ioctl_count;
    if (request != UVCIOC_CTRL_QUERY) {
      errno = ENOTTY;
      return -1;
    }
    auto* query = static_cast<uvc_xu_control_query*>(arg);
    last_query = *query;
    // Every byte of the caller's buffer must arrive zeroed.
    for (std::size_t i = 0; i < query->size; ++i) {
      if (query->data[i] != 0) {
        errno = EFAULT;
        return -1;
      }
    }
    if (replies.empty()) {
      errno = EIO;
      return -1;
    }
    Reply reply = replies.front();
    replies.pop_front();
    if (reply.error != 0) {
      errno = reply.error;
      return -1;
    }
    std::memcpy(query->data, reply.bytes.data(), std::min<std::size_t>(reply.bytes.size(), query->size));
    return 0;
  }
  int video_close(int) override {
    ++close_count;
    return 0;
  }
  int monotonic_time(timespec* now) override {
    if (clock_fails) {
      errno = EINVAL;
      return -1;
    }
    if (clock_readings.empty()) {
      *now = timespec{5, 0};
      return 0;
    }
    *now = clock_readings.front();
    clock_readings.pop_front();
    return 0;
  }
  int sleep(const timespec*, timespec*) override { return 0; }
};

DeviceInfo camera(const std::string& node = "/dev/video0") {
  DeviceInfo info;
  info.vid = 0x0c45;
  info.pid = 0x0643;
  info.video_node = node;
  return info;
}

const std::vector<std::uint8_t> kSample = {0x00, 0x19, 0xFF, 0xFF, 0x00, 0x01, 0x7F, 0xFF, 0x80,
                                           0x00, 0x00, 0x00, 0x00, 0x64, 0x12, 0x34, 0xA5};

class ImuReaderTest : public ::testing::Test {
 protected:
  ScriptedVideoPlatform video;
  platform::ScopedPlatform scoped{video};
};

TEST_F(ImuReaderTest, DecodesBigEndianSampleWithOneRequestOnUnitFourSelectorTen) {
  video.replies.push_back({0, kSample});
  video.clock_readings = {timespec{2, 100}, timespec{2, 301}};
  {
    Result<detail::ImuReader> reader = detail::open_imu_platform(camera());
    ASSERT_TRUE(reader.ok()) << reader.message;
    EXPECT_EQ(video.last_open_flags, O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(video.ioctl_count, 0) << "opening must not query the device";

    Result<ReadImuResult> sample = reader.value->read();
    ASSERT_TRUE(sample.ok()) << sample.message;
    EXPECT_TRUE(sample.message.empty());
    EXPECT_EQ(video.ioctl_count, 1);
    EXPECT_EQ(video.last_query.unit, 4);
    EXPECT_EQ(video.last_query.selector, 10);
    EXPECT_EQ(video.last_query.query, UVC_GET_CUR);
    EXPECT_EQ(video.last_query.size, 17);

    EXPECT_EQ(sample.value->temperature_raw, 25);
    EXPECT_EQ(sample.value->accel_raw[0], -1);
    EXPECT_EQ(sample.value->accel_raw[1], 1);
    EXPECT_EQ(sample.value->accel_raw[2], 32767);
    EXPECT_EQ(sample.value->gyro_raw[0], -32768);
    EXPECT_EQ(sample.value->gyro_raw[1], 0);
    EXPECT_EQ(sample.value->gyro_raw[2], 100);
    // High nibble of byte 16 (0xA) is dropped.
    EXPECT_EQ(sample.value->sensor_timestamp, 0x51234u);
    // Midpoint of 2 s + 100 ns and 2 s + 301 ns, rounded down.
    EXPECT_EQ(sample.value->timestamp_ns, 2'000'000'200u);
    EXPECT_EQ(video.close_count, 0);
  }
  EXPECT_EQ(video.close_count, 1) << "destroying the reader closes the node";
}

TEST_F(ImuReaderTest, TimestampFallsBackToStartWhenClockGoesBackwardsOrFails) {
  video.replies.push_back({0, kSample});
  video.replies.push_back({0, kSample});
  video.clock_readings = {timespec{7, 500}, timespec{7, 100}};
  Result<detail::ImuReader> reader = detail::open_imu_platform(camera());
  ASSERT_TRUE(reader.ok());
  Result<ReadImuResult> backwards = reader.value->read();
  ASSERT_TRUE(backwards.ok());
  EXPECT_EQ(backwards.value->timestamp_ns, 7'000'000'500u);

  video.clock_fails = true;
  Result<ReadImuResult> no_clock = reader.value->read();
  ASSERT_TRUE(no_clock.ok());
  EXPECT_EQ(no_clock.value->timestamp_ns, 0u);
}

TEST_F(ImuReaderTest, StatusBytesReportFailuresAndTheReaderStaysUsable) {
  // Any temperature whose high byte is F1 or F2 is a status, never a sample.
  std::vector<std::uint8_t> init_failure = kSample;
  init_failure[0] = 0xF1;
  init_failure[1] = 0x7F;
  std::vector<std::uint8_t> read_failure = kSample;
  read_failure[0] = 0xF2;
  std::vector<std::uint8_t> near_status = kSample;
  near_status[0] = 0xF3;  // 0xF300 = -3328 counts: an ordinary sample
  near_status[1] = 0x00;
  video.replies = {{0, init_failure}, {0, read_failure}, {0, near_status}, {0, kSample}};

  Result<detail::ImuReader> reader = detail::open_imu_platform(camera());
  ASSERT_TRUE(reader.ok());
  Result<ReadImuResult> first = reader.value->read();
  EXPECT_EQ(first.code, ErrorCode::device_unavailable);
  EXPECT_EQ(first.message, "IMU device reported initialization failure");
  EXPECT_FALSE(first.value.has_value());
  Result<ReadImuResult> second = reader.value->read();
  EXPECT_EQ(second.code, ErrorCode::read_failed);
  EXPECT_EQ(second.message, "IMU device reported read failure");
  Result<ReadImuResult> third = reader.value->read();
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(third.value->temperature_raw, static_cast<std::int16_t>(0xF300));
  Result<ReadImuResult> fourth = reader.value->read();
  ASSERT_TRUE(fourth.ok());
  EXPECT_EQ(fourth.value->temperature_raw, 25);
  EXPECT_EQ(video.ioctl_count, 4) << "one request per read, no retry";
}

TEST_F(ImuReaderTest, SystemErrorsCarryOperationPathAndSystemText) {
  Result<detail::ImuReader> missing = detail::open_imu_platform(camera("/dev/video9"));
  EXPECT_EQ(missing.code, ErrorCode::io_error);
  EXPECT_EQ(missing.message, std::string("open /dev/video9 failed: ") + std::strerror(ENOENT));
  EXPECT_FALSE(missing.value.has_value());
  EXPECT_EQ(video.close_count, 0);

  video.replies.push_back({EPIPE, {}});
  video.replies.push_back({0, kSample});
  Result<detail::ImuReader> reader = detail::open_imu_platform(camera());
  ASSERT_TRUE(reader.ok());
  Result<ReadImuResult> failed = reader.value->read();
  EXPECT_EQ(failed.code, ErrorCode::io_error);
  EXPECT_EQ(failed.message, std::string("UVCIOC_CTRL_QUERY /dev/video0 failed: ") + std::strerror(EPIPE));
  Result<ReadImuResult> next = reader.value->read();
  EXPECT_TRUE(next.ok()) << next.message;
}

TEST_F(ImuReaderTest, EmptyNodeAndMovedFromReaderAreRefused) {
  Result<detail::ImuReader> empty = detail::open_imu_platform(camera(""));
  EXPECT_EQ(empty.code, ErrorCode::invalid_argument);
  EXPECT_EQ(empty.message, "selected device has empty video_node");
  EXPECT_EQ(video.open_count, 0);

  detail::ImuReader never_opened;
  Result<ReadImuResult> none = never_opened.read();
  EXPECT_EQ(none.code, ErrorCode::invalid_argument);
  EXPECT_EQ(none.message, "IMU reader is closed or moved-from");

  video.replies.push_back({0, kSample});
  Result<detail::ImuReader> opened = detail::open_imu_platform(camera());
  ASSERT_TRUE(opened.ok());
  detail::ImuReader moved = std::move(*opened.value);
  Result<ReadImuResult> from_source = opened.value->read();
  EXPECT_EQ(from_source.message, "IMU reader is closed or moved-from");
  EXPECT_TRUE(moved.read().ok());

  // Move assignment closes the node the target held before.
  video.nodes.push_back("/dev/video2");
  Result<detail::ImuReader> other = detail::open_imu_platform(camera("/dev/video2"));
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(video.close_count, 0);
  moved = std::move(*other.value);
  EXPECT_EQ(video.close_count, 1);
  EXPECT_EQ(video.ioctl_count, 1) << "a refused read makes no request";
}

}  // namespace
}  // namespace morvane::uvc_stereo
