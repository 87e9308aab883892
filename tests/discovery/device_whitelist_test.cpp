// The supported-device table, the supported-pair set and entry acceptance.
#include "discovery/device_whitelist.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <set>

namespace morvane::uvc_stereo::discovery {
namespace {

DeviceInfo device(std::uint16_t vid, std::uint16_t pid, std::string model = "") {
  DeviceInfo info;
  info.vid = vid;
  info.pid = pid;
  info.model = std::move(model);
  return info;
}

TEST(DeviceWhitelist, TableHoldsTheSixEntriesInOrder) {
  static_assert(std::size(kDeviceWhitelist) == 6);
  struct Row {
    std::uint16_t vid, pid;
    const char* pattern;
    FirmwareMatch match;
  };
  const Row rows[] = {{0x0c45, 0x0643, "2606030001", FirmwareMatch::contains},
                      {0x0c45, 0x0645, "2606030001", FirmwareMatch::contains},
                      {0x0c45, 0x2502, "2606010202", FirmwareMatch::contains},
                      {0x0c45, 0x0234, "2606080001", FirmwareMatch::contains},
                      {0x0c45, 0x0643, "", FirmwareMatch::exact},
                      {0x0c45, 0x0645, "", FirmwareMatch::exact}};
  for (std::size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(kDeviceWhitelist[i].vid, rows[i].vid);
    EXPECT_EQ(kDeviceWhitelist[i].pid, rows[i].pid);
    EXPECT_TRUE(kDeviceWhitelist[i].model_filter.empty());
    EXPECT_EQ(kDeviceWhitelist[i].firmware_pattern, rows[i].pattern);
    EXPECT_EQ(kDeviceWhitelist[i].firmware_match, rows[i].match);
  }
}

TEST(DeviceWhitelist, SupportedPairSetHasFourLowerCaseTexts) {
  EXPECT_EQ(vid_pid_text(0x0c45, 0x0643), "0c450643");
  EXPECT_EQ(vid_pid_text(0xABCD, 0x00EF), "abcd00ef");
  EXPECT_EQ(vid_pid_text(0, 0), "00000000");
  auto pairs = supported_pair_set();
  EXPECT_EQ(pairs, (std::unordered_set<std::string>{"0c450643", "0c450645", "0c452502", "0c450234"}));
  EXPECT_TRUE(is_supported_pair(0x0c45, 0x2502));
  EXPECT_FALSE(is_supported_pair(0x0c46, 0x0643));
  EXPECT_FALSE(is_supported_pair(0x0643, 0x0c45));
}

TEST(DeviceWhitelist, FirmwareGateAcceptsOnlyMatchingPatterns) {
  EXPECT_TRUE(whitelist_accepts(device(0x0c45, 0x0643), "2606030001"));
  EXPECT_TRUE(whitelist_accepts(device(0x0c45, 0x0643), "V2606030001-rc"));
  EXPECT_TRUE(whitelist_accepts(device(0x0c45, 0x0645), "2606030001"));
  EXPECT_TRUE(whitelist_accepts(device(0x0c45, 0x2502), "x2606010202"));
  EXPECT_TRUE(whitelist_accepts(device(0x0c45, 0x0234), "2606080001"));
  // Pattern of another pair, empty firmware, near miss, unsupported pair.
  EXPECT_FALSE(whitelist_accepts(device(0x0c45, 0x2502), "2606030001"));
  EXPECT_FALSE(whitelist_accepts(device(0x0c45, 0x0643), ""));
  EXPECT_FALSE(whitelist_accepts(device(0x0c45, 0x0643), "260603000"));
  EXPECT_FALSE(whitelist_accepts(device(0x0c46, 0x0643), "2606030001"));
  // Entries 5 and 6 never accept: their pattern is empty.
  EXPECT_FALSE(entry_accepts(kDeviceWhitelist[4], device(0x0c45, 0x0643), ""));
  EXPECT_FALSE(entry_accepts(kDeviceWhitelist[4], device(0x0c45, 0x0643), "2606030001"));
  EXPECT_TRUE(entry_accepts(kDeviceWhitelist[0], device(0x0c45, 0x0643, "Any Model"), "2606030001"));
}

TEST(DeviceWhitelist, MatchModesAndModelFilter) {
  EXPECT_TRUE(firmware_matches("abc", "abc", FirmwareMatch::exact));
  EXPECT_FALSE(firmware_matches("abcd", "abc", FirmwareMatch::exact));
  EXPECT_FALSE(firmware_matches("ABC", "abc", FirmwareMatch::exact));
  EXPECT_TRUE(firmware_matches("abcd", "abc", FirmwareMatch::prefix));
  EXPECT_FALSE(firmware_matches("xabc", "abc", FirmwareMatch::prefix));
  EXPECT_FALSE(firmware_matches("ab", "abc", FirmwareMatch::prefix));
  EXPECT_TRUE(firmware_matches("xabcx", "abc", FirmwareMatch::contains));
  EXPECT_FALSE(firmware_matches("xaBcx", "abc", FirmwareMatch::contains));
  EXPECT_FALSE(firmware_matches("abc", "abc", static_cast<FirmwareMatch>(3)));
  EXPECT_FALSE(firmware_matches("abc", "abc", static_cast<FirmwareMatch>(-1)));

  const DeviceWhitelistEntry filtered{0x0c45, 0x0643, "StEreo", "fw", FirmwareMatch::exact};
  EXPECT_TRUE(entry_accepts(filtered, device(0x0c45, 0x0643, "Morvane STEREO cam"), "fw"));
  EXPECT_TRUE(entry_accepts(filtered, device(0x0c45, 0x0643, "stereo"), "fw"));
  EXPECT_FALSE(entry_accepts(filtered, device(0x0c45, 0x0643, "Mono cam"), "fw"));
  EXPECT_FALSE(entry_accepts(filtered, device(0x0c45, 0x0643, ""), "fw"));
  EXPECT_FALSE(entry_accepts(filtered, device(0x0c45, 0x0645, "stereo"), "fw"));
  // Only A..Z fold: bytes 0x5B..0x60 and 0x7B..0x7F are not letters.
  const DeviceWhitelistEntry symbols{1, 2, "[", "fw", FirmwareMatch::exact};
  EXPECT_FALSE(entry_accepts(symbols, device(1, 2, "{"), "fw"));
  EXPECT_TRUE(entry_accepts(symbols, device(1, 2, "a[b"), "fw"));
  EXPECT_EQ(ascii_lower("AZaz[@{\xC3\x89"), "azaz[@{\xC3\x89");
}

}  // namespace
}  // namespace morvane::uvc_stereo::discovery
