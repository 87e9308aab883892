// Decides whether a camera's IMU may be used: reads the firmware version over
// a flash connection and looks the camera up in the supported-device table.
#include <string>

#include "discovery/device_whitelist.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo::detail {
namespace {

constexpr const char* kMsgEmptyVideoNode = "selected device has empty video_node";
constexpr const char* kMsgUnsupported = "IMU is not supported by this device";

// The firmware needs this long after the version read before its IMU
// answers; it is waited after every read, successful or not.
constexpr long kFirmwareSettleMs = 200;

}  // namespace

Result<void> ensure_imu_supported_by_firmware(const DeviceInfo& info, const FlashConfig& config) {
  if (info.video_node.empty()) return Result<void>::failure(ErrorCode::invalid_argument, kMsgEmptyVideoNode);
  Result<std::string> firmware = read_firmware_version_from_device(config);
  platform::sleep_ms(kFirmwareSettleMs);
  // The flash layer's own failure is not passed on: the IMU is simply unavailable.
  if (!firmware.ok() || !firmware.value || firmware.value->empty()) {
    return Result<void>::failure(ErrorCode::unsupported, kMsgUnsupported);
  }
  // Entries are tried in table order; the first that accepts the model and
  // the firmware text grants the IMU.
  if (discovery::whitelist_accepts(info, *firmware.value)) return Result<void>::success();
  return Result<void>::failure(ErrorCode::unsupported, kMsgUnsupported);
}

}  // namespace morvane::uvc_stereo::detail
