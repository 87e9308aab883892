#include "discovery/device_whitelist.hpp"

#include <cstdio>

namespace morvane::uvc_stereo {

// Constant-initialised: no code runs to build the table when a library loads.
constexpr DeviceWhitelistEntry kDeviceWhitelist[kDeviceWhitelistSize] = {
    {0x0c45, 0x0643, {}, "2606030001", FirmwareMatch::contains},
    {0x0c45, 0x0645, {}, "2606030001", FirmwareMatch::contains},
    {0x0c45, 0x2502, {}, "2606010202", FirmwareMatch::contains},
    {0x0c45, 0x0234, {}, "2606080001", FirmwareMatch::contains},
    {0x0c45, 0x0643, {}, {}, FirmwareMatch::exact},
    {0x0c45, 0x0645, {}, {}, FirmwareMatch::exact},
};

static_assert(sizeof(kDeviceWhitelist) / sizeof(kDeviceWhitelist[0]) == kDeviceWhitelistSize);
static_assert(kDeviceWhitelist[0].firmware_pattern.size() == 10 && kDeviceWhitelist[4].firmware_pattern.empty());

namespace discovery {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

constexpr bool ascii_iequal(char a, char b) noexcept {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; };
  return lower(a) == lower(b);
}

bool ascii_icontains(std::string_view haystack, std::string_view needle) noexcept {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  for (std::size_t start = 0; start + needle.size() <= haystack.size(); ++start) {
    std::size_t i = 0;
    while (i < needle.size() && ascii_iequal(haystack[start + i], needle[i])) ++i;
    if (i == needle.size()) return true;
  }
  return false;
}

}  // namespace

std::string vid_pid_text(std::uint16_t vid, std::uint16_t pid) {
  std::string text(8, '0');
  for (int i = 0; i < 4; ++i) {
    text[3 - i] = kHexDigits[(vid >> (4 * i)) & 0xF];
    text[7 - i] = kHexDigits[(pid >> (4 * i)) & 0xF];
  }
  return text;
}

std::unordered_set<std::string> supported_pair_set() {
  std::unordered_set<std::string> pairs;
  for (const DeviceWhitelistEntry& entry : kDeviceWhitelist) pairs.insert(vid_pid_text(entry.vid, entry.pid));
  return pairs;
}

bool is_supported_pair(std::uint16_t vid, std::uint16_t pid) noexcept {
  for (const DeviceWhitelistEntry& entry : kDeviceWhitelist) {
    if (entry.vid == vid && entry.pid == pid) return true;
  }
  return false;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  }
  return out;
}

bool firmware_matches(std::string_view firmware, std::string_view pattern, FirmwareMatch match) noexcept {
  switch (match) {
    case FirmwareMatch::exact:
      return firmware == pattern;
    case FirmwareMatch::prefix:
      return firmware.substr(0, pattern.size()) == pattern;
    case FirmwareMatch::contains:
      return firmware.find(pattern) != std::string_view::npos;
  }
  return false;  // a value outside the enumeration
}

bool entry_accepts(const DeviceWhitelistEntry& entry, const DeviceInfo& device, std::string_view firmware) {
  if (entry.vid != device.vid || entry.pid != device.pid) return false;
  if (!entry.model_filter.empty() && !ascii_icontains(device.model, entry.model_filter)) return false;
  if (entry.firmware_pattern.empty()) return false;
  return firmware_matches(firmware, entry.firmware_pattern, entry.firmware_match);
}

bool whitelist_accepts(const DeviceInfo& device, std::string_view firmware) {
  for (const DeviceWhitelistEntry& entry : kDeviceWhitelist) {
    if (entry_accepts(entry, device, firmware)) return true;
  }
  return false;
}

}  // namespace discovery
}  // namespace morvane::uvc_stereo
