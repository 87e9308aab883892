// Supported-pair set and entry acceptance over kDeviceWhitelist.
//
// The scan keeps only nodes whose vid/pid pair is in the table; the IMU
// firmware gate grants the IMU only when some entry accepts the camera's model
// and firmware version text.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "device_whitelist.hpp is internal to the SDK"
#endif

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo::discovery {

// The vid/pid text: "%04x%04x" of vid and pid (eight lower-case hex digits).
std::string vid_pid_text(std::uint16_t vid, std::uint16_t pid);

// The vid/pid texts of every table entry; entries that repeat a pair add nothing.
std::unordered_set<std::string> supported_pair_set();

// True when some table entry names this vid/pid pair.
bool is_supported_pair(std::uint16_t vid, std::uint16_t pid) noexcept;

// Copy of `text` with 'A'..'Z' turned into 'a'..'z' and every other byte kept.
std::string ascii_lower(std::string_view text);

// True when `firmware` matches `pattern` as `match` says. An empty pattern is
// matched like any other here; a value outside the enumeration matches nothing.
bool firmware_matches(std::string_view firmware, std::string_view pattern, FirmwareMatch match) noexcept;

// True when `entry` accepts the device: same vid and pid, the model contains
// the model filter (ASCII case-insensitive; an empty filter takes any model),
// and the entry has a non-empty firmware pattern that `firmware` matches.
bool entry_accepts(const DeviceWhitelistEntry& entry, const DeviceInfo& device, std::string_view firmware);

// True when some entry of kDeviceWhitelist accepts the device (tried in table order).
bool whitelist_accepts(const DeviceInfo& device, std::string_view firmware);

}  // namespace morvane::uvc_stereo::discovery
