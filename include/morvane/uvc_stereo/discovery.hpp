// The supported-device table and the camera scan.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

enum class FirmwareMatch : std::int32_t {
  exact = 0,     // same length and bytes
  prefix = 1,    // firmware text begins with the pattern
  contains = 2,  // pattern occurs anywhere
};

struct DeviceWhitelistEntry {
  std::uint16_t vid;
  std::uint16_t pid;
  std::string_view model_filter;      // substring of the model, ASCII case-insensitive; empty: any
  std::string_view firmware_pattern;  // empty: this entry never grants the IMU
  FirmwareMatch firmware_match;
};

inline constexpr std::size_t kDeviceWhitelistSize = 6;
MORVANE_UVC_STEREO_API extern const DeviceWhitelistEntry kDeviceWhitelist[kDeviceWhitelistSize];

// Lists the supported cameras, one record per camera, sorted by video node index.
// Fails only with io_error "/dev not found" or "failed to iterate /dev".
MORVANE_UVC_STEREO_API Result<std::vector<DeviceInfo>> scan_devices(const DeviceScanFilter& filter);
MORVANE_UVC_STEREO_API Result<std::vector<DeviceInfo>> scan_devices();

}  // namespace morvane::uvc_stereo
