// Reads IMU samples through the kernel's UVC driver: one extension-unit
// GET_CUR (UVCIOC_CTRL_QUERY) on the camera's video node per sample.
#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "morvane/uvc_stereo/imu.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo::detail {
namespace {

constexpr const char* kMsgEmptyVideoNode = "selected device has empty video_node";
constexpr const char* kMsgReaderClosed = "IMU reader is closed or moved-from";
constexpr const char* kMsgBufferInvalid = "UVC XU query buffer is invalid";
constexpr const char* kMsgInitFailure = "IMU device reported initialization failure";
constexpr const char* kMsgReadFailure = "IMU device reported read failure";

constexpr std::uint8_t kImuUnitId = 4;
constexpr std::uint8_t kImuSampleSelector = 0x0A;
constexpr std::uint16_t kImuSampleLength = 17;
constexpr std::size_t kQueryBufferSize = 32;
constexpr std::uint8_t kStatusInitFailure = 0xF1;
constexpr std::uint8_t kStatusReadFailure = 0xF2;

// "<operation> <path> failed: <system text>", the path and its blank left out
// when there is no path.
std::string system_error_message(const char* operation, const std::string& path, int error) {
  std::string message(operation);
  if (!path.empty()) {
    message += ' ';
    message += path;
  }
  message += " failed: ";
  message += std::strerror(error);
  return message;
}

std::int16_t load_be16(const std::uint8_t* p) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((p[0] << 8) | p[1]));
}

class LinuxImuReader final : public ImuReader::Impl {
 public:
  LinuxImuReader(int fd, std::string video_node, std::uint16_t xu_length)
      : fd_(fd), video_node_(std::move(video_node)), xu_length_(xu_length) {}
  ~LinuxImuReader() override {
    if (fd_ >= 0) platform::current().video_close(fd_);
  }
  LinuxImuReader(const LinuxImuReader&) = delete;
  LinuxImuReader& operator=(const LinuxImuReader&) = delete;

  Result<ReadImuResult> read() override {
    const std::uint64_t t0 = platform::monotonic_ns();
    std::uint8_t data[kQueryBufferSize];
    std::memset(data, 0, sizeof data);

    Result<ReadImuResult> failure;
    // A length the buffer cannot hold would let the driver write past it.
    if (xu_length_ == 0 || xu_length_ > sizeof data) {
      failure = Result<ReadImuResult>::failure(ErrorCode::invalid_argument, kMsgBufferInvalid);
    } else {
      uvc_xu_control_query query{};
      query.unit = kImuUnitId;
      query.selector = kImuSampleSelector;
      query.query = UVC_GET_CUR;
      query.size = xu_length_;
      query.data = data;
      if (platform::current().video_ioctl(fd_, UVCIOC_CTRL_QUERY, &query) != 0) {
        const int error = errno;  // before the clock call can change it
        failure = Result<ReadImuResult>::failure(ErrorCode::io_error,
                                                 system_error_message("UVCIOC_CTRL_QUERY", video_node_, error));
      }
    }
    const std::uint64_t t1 = platform::monotonic_ns();
    if (!failure.ok()) return failure;

    if (data[0] == kStatusInitFailure)
      return Result<ReadImuResult>::failure(ErrorCode::device_unavailable, kMsgInitFailure);
    if (data[0] == kStatusReadFailure) return Result<ReadImuResult>::failure(ErrorCode::read_failed, kMsgReadFailure);

    ReadImuResult sample;
    sample.temperature_raw = load_be16(data + 0);
    for (int axis = 0; axis < 3; ++axis) {
      sample.accel_raw[axis] = load_be16(data + 2 + 2 * axis);
      sample.gyro_raw[axis] = load_be16(data + 8 + 2 * axis);
    }
    sample.sensor_timestamp = (static_cast<std::uint32_t>(data[16] & 0x0F) << 16) |
                              (static_cast<std::uint32_t>(data[14]) << 8) | static_cast<std::uint32_t>(data[15]);
    sample.timestamp_ns = t1 >= t0 ? t0 + (t1 - t0) / 2 : t0;
    return Result<ReadImuResult>::success(sample);
  }

 private:
  int fd_;
  std::string video_node_;
  std::uint16_t xu_length_;
};

}  // namespace

ImuReader::Impl::~Impl() = default;

ImuReader::ImuReader() noexcept = default;
ImuReader::ImuReader(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
ImuReader::ImuReader(ImuReader&&) noexcept = default;
ImuReader& ImuReader::operator=(ImuReader&&) noexcept = default;
ImuReader::~ImuReader() = default;

Result<ReadImuResult> ImuReader::read() {
  if (!impl_) return Result<ReadImuResult>::failure(ErrorCode::invalid_argument, kMsgReaderClosed);
  return impl_->read();
}

Result<ImuReader> open_imu_platform(const DeviceInfo& info) {
  if (info.video_node.empty()) return Result<ImuReader>::failure(ErrorCode::invalid_argument, kMsgEmptyVideoNode);
  const int fd = platform::current().video_open(info.video_node, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return Result<ImuReader>::failure(ErrorCode::io_error, system_error_message("open", info.video_node, error));
  }
  std::unique_ptr<LinuxImuReader> reader;
  try {
    reader = std::make_unique<LinuxImuReader>(fd, info.video_node, kImuSampleLength);
  } catch (...) {
    platform::current().video_close(fd);  // never leave the node open
    throw;
  }
  return Result<ImuReader>::success(ImuReader(std::move(reader)));
}

}  // namespace morvane::uvc_stereo::detail
