// Public records that cross the C++ interface.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "morvane/uvc_stereo/export.hpp"

namespace morvane::uvc_stereo {

// OpenCV capture-API identifiers. The type is open: any 32-bit value may be
// stored in it.
enum class OpenCvBackend : std::int32_t {
  v4l2 = 200,
  dshow = 700,
  msmf = 1400,
  gstreamer = 1800,
};

// "CAP_V4L2", "CAP_DSHOW", "CAP_MSMF", "CAP_GSTREAMER", or "CAP_UNKNOWN" for
// any other value. Static text; never fails, never allocates.
MORVANE_UVC_STEREO_API std::string_view opencv_backend_name(OpenCvBackend backend) noexcept;

// One discovered camera.
struct DeviceInfo {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  std::uint8_t bus_number = 0;
  std::uint8_t device_address = 0;
  std::string serial;
  std::string vendor;
  std::string model;
  std::string video_node;
  std::string usb_path;
  std::map<OpenCvBackend, std::int32_t> opencv_indices;
};

// Narrows scan_devices(). A default filter lets every supported camera through.
struct DeviceScanFilter {
  std::optional<std::uint16_t> vid;
  std::optional<std::uint16_t> pid;
  bool require_serial = false;
};

// Bits of OpenDeviceOptions::required_capabilities and of a device's transports.
struct DeviceCapability {
  static constexpr std::uint32_t flash = 0x1;       // the serial flash answered
  static constexpr std::uint32_t imu = 0x2;         // an IMU reader has been opened
  static constexpr std::uint32_t flash_json = 0x4;  // the stored document was read at open
  static constexpr std::uint32_t all = 0x7;         // larger values are refused
};

struct OpenDeviceOptions {
  std::uint32_t required_capabilities = DeviceCapability::flash;
};

struct ReadJsonResult {
  std::uint16_t version = 0;
  std::string json;
};

// One raw IMU sample as the device delivers it.
struct ReadImuResult {
  std::uint64_t timestamp_ns = 0;     // host monotonic time, midpoint of the query
  std::uint32_t sensor_timestamp = 0; // 20-bit device counter
  std::int16_t temperature_raw = 0;
  std::int16_t accel_raw[3] = {0, 0, 0};
  std::int16_t gyro_raw[3] = {0, 0, 0};
};

struct ImuConversionOptions {
  double temperature_offset_c = 25.0;
  double temperature_lsb_per_c = 128.0;  // must not be zero
  double accel_lsb_per_g = 2048.0;       // zero yields zero acceleration
  double gyro_lsb_per_dps = 16.4;        // zero yields zero rates
};

struct ImuSample {
  std::uint64_t timestamp_ns = 0;
  double temperature_c = 0.0;
  double accel_g[3] = {0.0, 0.0, 0.0};
  double gyro_dps[3] = {0.0, 0.0, 0.0};
};

}  // namespace morvane::uvc_stereo
