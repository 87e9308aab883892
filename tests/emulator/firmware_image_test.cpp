#include "emulator/firmware_image.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvane::emulator {
namespace {

// The raw version a host assembles: field 4, field 2, field 1, field 3, up to
// the first zero byte.
std::string raw_version(const FirmwareImage& image) {
  const auto& a = image.layout.version_field_address;
  const std::pair<std::uint32_t, std::size_t> order[4] = {{a[3], 5}, {a[1], 10}, {a[0], 10}, {a[2], 10}};
  std::string text;
  for (const auto& [address, length] : order) {
    for (std::size_t i = 0; i < length; ++i) {
      const char c = static_cast<char>(image.bytes[address + i]);
      if (c == '\0') return text;
      text += c;
    }
  }
  return text;
}

std::string descriptor_text(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  const std::size_t units = (bytes[at] - 2u) / 2u;
  std::string text;
  for (std::size_t i = 0; i < units; ++i) text += static_cast<char>(bytes[at + 2 + 2 * i]);
  return text;
}

std::uint16_t stored_check_value(const FirmwareImage& image) {
  const std::uint32_t at = image.layout.check_value_address + 20;
  return static_cast<std::uint16_t>((image.bytes[at] << 8) | image.bytes[at + 1]);
}

std::uint16_t computed_check_value(const FirmwareImage& image) {
  return crc16_modbus(image.bytes.data() + image.layout.param_table_start,
                      image.layout.param_table_end - image.layout.param_table_start);
}

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

TEST(FirmwareImageTest, CheckValueAndStringBlocks) {
  const std::string abc = "abc";
  EXPECT_EQ(crc16_modbus(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()), 0x5749);
  const std::string digits = "123456789";
  EXPECT_EQ(crc16_modbus(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()), 0x4B37);
  EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF);

  const auto ab = string_descriptor_block("AB");
  ASSERT_TRUE(ab.has_value());
  const std::vector<std::uint8_t> head(ab->begin(), ab->begin() + 6);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{0x06, 0x03, 'A', 0x00, 'B', 0x00}));
  for (std::size_t i = 6; i < 64; ++i) EXPECT_EQ((*ab)[i], 0xFF) << i;
  EXPECT_TRUE(string_descriptor_block(std::string(31, 'x')).has_value());
  EXPECT_EQ((*string_descriptor_block(std::string(31, 'x')))[0], 64);
  EXPECT_FALSE(string_descriptor_block(std::string(32, 'x')).has_value());
}

TEST(FirmwareImageTest, DefaultImageLayout) {
  std::string error;
  const auto image = build_firmware_image(FirmwareImageOptions{}, &error);
  ASSERT_TRUE(image.has_value()) << error;
  const auto& bytes = image->bytes;
  ASSERT_EQ(bytes.size(), 128u * 1024u);

  // Chip 0x83: fields at 0x2000, 0x2012, 0x201C and 0x200A.
  ASSERT_TRUE(image->layout.has_version_fields);
  EXPECT_EQ(image->layout.version_field_address[3], 0x200Au);
  EXPECT_EQ(raw_version(*image), "2606030001\r\n");

  // ROM 276R0 sub-version 1: table at 0xC000..0xCF00, check value at 0xCF00.
  EXPECT_EQ(image->layout.rule, ParamTableRule::fixed_c000);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 0xC006, bytes.begin() + 0xC00A),
            (std::vector<std::uint8_t>{0x45, 0x0C, 0x43, 0x06}));
  EXPECT_EQ(descriptor_text(bytes, 0xC040), "Stereo Camera");
  EXPECT_EQ(descriptor_text(bytes, 0xC080), "Morvane");
  EXPECT_EQ(descriptor_text(bytes, 0xC0C0), "SN0001");
  EXPECT_EQ(bytes[0xC0C1], 3);
  EXPECT_EQ(bytes[0xC0C0 + 2 + 12], 0xFF);  // fill after the serial number's last unit
  EXPECT_EQ(stored_check_value(*image), computed_check_value(*image));

  // Everything outside the string blocks' fill looks programmed: a sample of
  // 8 bytes every KiB is never all 0xFF.
  for (std::size_t offset = 0; offset + 8 <= bytes.size(); offset += 1024) {
    bool blank = true;
    for (std::size_t i = 0; i < 8; ++i) blank = blank && bytes[offset + i] == 0xFF;
    EXPECT_FALSE(blank) << offset;
  }

  // Same options, same bytes; another seed, other filler.
  EXPECT_EQ(build_firmware_image(FirmwareImageOptions{})->bytes, bytes);
  FirmwareImageOptions other;
  other.seed = 99;
  EXPECT_NE(build_firmware_image(other)->bytes, bytes);
}

TEST(FirmwareImageTest, TableRulesOfRomGenerations) {
  EXPECT_EQ(param_table_rule("232R0", 1, '0'), ParamTableRule::fixed_c000);
  EXPECT_EQ(param_table_rule("275R0", 1, '0'), ParamTableRule::fixed_c000);
  EXPECT_EQ(param_table_rule("275R0", 1, 'F'), ParamTableRule::words_be32);
  EXPECT_EQ(param_table_rule("276R0", 2, '0'), ParamTableRule::fixed_8000);
  EXPECT_EQ(param_table_rule("232R0", 2, '0'), ParamTableRule::page_bytes);
  EXPECT_EQ(param_table_rule("281R0", 1, '0'), ParamTableRule::page_bytes);
  EXPECT_EQ(param_table_rule("292R0", 1, '0'), ParamTableRule::words_be32);
  EXPECT_EQ(param_table_rule("290R0", 1, '0'), ParamTableRule::fixed_8000);
  EXPECT_EQ(param_table_rule("290R0", 1, 'F'), ParamTableRule::words_be32);
  EXPECT_EQ(param_table_rule("231R0", 2, '0'), ParamTableRule::none);
  EXPECT_EQ(param_table_rule("231R0", 1, '0'), ParamTableRule::fixed_8000);
  EXPECT_EQ(param_table_rule("216R0", 4, 'F'), ParamTableRule::fixed_5800);
}

TEST(FirmwareImageTest, TablesTheImageLocatesItself) {
  // 288R0: page numbers at 0x168, 0x169 and 0x16E.
  FirmwareImageOptions options;
  options.chip_id = 0x88;
  options.rom_row = 20;
  options.param_table_start = 0xA000;
  options.param_table_length = 0x0800;
  options.check_value_address = 0xB000;
  auto image = build_firmware_image(options);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->layout.rule, ParamTableRule::page_bytes);
  EXPECT_EQ(image->bytes[0x168], 0xA0);
  EXPECT_EQ(image->bytes[0x169], 0x08);
  EXPECT_EQ(image->bytes[0x16E], 0xB0);
  EXPECT_EQ(image->layout.param_table_end, 0xA800u);
  EXPECT_EQ(stored_check_value(*image), computed_check_value(*image));
  EXPECT_FALSE(image->layout.has_version_fields);  // chip 0x88 keeps no version fields

  // 272R0: big-endian words at 0x16F, 0x173 and 0x187.
  options = FirmwareImageOptions{};
  options.chip_id = 0x90;
  options.rom_row = 28;
  options.param_table_start = 0x12340;
  options.param_table_length = 0x400;
  options.check_value_address = 0x13000;
  options.version_text = "2606080001";
  image = build_firmware_image(options);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->layout.rule, ParamTableRule::words_be32);
  EXPECT_EQ(be32(image->bytes, 0x16F), 0x12340u);
  EXPECT_EQ(be32(image->bytes, 0x173), 0x400u);
  EXPECT_EQ(be32(image->bytes, 0x187), 0x13000u);
  EXPECT_EQ(descriptor_text(image->bytes, 0x12340 + 0x140), "Stereo Camera");
  EXPECT_EQ(stored_check_value(*image), computed_check_value(*image));
  EXPECT_EQ(raw_version(*image), "2606080001");
  EXPECT_EQ(image->layout.version_field_address[2], 0x201Du);

  // Page numbers cannot express an unaligned start.
  options = FirmwareImageOptions{};
  options.rom_row = 20;
  options.param_table_start = 0xA080;
  std::string error;
  EXPECT_FALSE(build_firmware_image(options, &error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST(FirmwareImageTest, FixedTablesAndChipFields) {
  // 256R0 has the table at 0x8000 and its check value at bytes 20 and 21.
  FirmwareImageOptions options;
  options.chip_id = 0x70;
  options.rom_row = 12;
  options.vid = 0x1234;
  options.pid = 0xABCD;
  options.version_text = "V1.2.3-rc4-abcdefghijklmnopqrstuvwx";  // 35 bytes, no zero at all
  auto image = build_firmware_image(options);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->layout.rule, ParamTableRule::fixed_8000);
  EXPECT_EQ(image->layout.check_value_address, 0u);
  EXPECT_EQ(stored_check_value(*image), computed_check_value(*image));
  EXPECT_EQ(image->bytes[0x8006], 0x34);
  EXPECT_EQ(image->bytes[0x8009], 0xAB);
  // Chip 0x70 keeps its fields back to back from 0x3E00, field 4 first.
  EXPECT_EQ(image->layout.version_field_address[3], 0x3E00u);
  EXPECT_EQ(raw_version(*image), options.version_text);

  // 216R0 with chip 0x25: the version fields sit inside the table's span, and
  // the check value covers them as written.
  options = FirmwareImageOptions{};
  options.chip_id = 0x25;
  options.rom_row = 8;
  image = build_firmware_image(options);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->layout.rule, ParamTableRule::fixed_5800);
  EXPECT_EQ(image->layout.version_field_address[0], 0x5E00u);
  EXPECT_EQ(stored_check_value(*image), computed_check_value(*image));
  EXPECT_EQ(raw_version(*image), "2606030001\r\n");

  // Chip 0x32 places its fields by ROM sub-version; 0x75 only on sub-version 1.
  options = FirmwareImageOptions{};
  options.chip_id = 0x32;
  options.rom_row = 3;  // 250R0, sub-version 2
  image = build_firmware_image(options);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->layout.version_field_address[1], 0x0FE2u);
  EXPECT_EQ(raw_version(*image), "2606030001\r\n");
  options.chip_id = 0x75;
  image = build_firmware_image(options);
  ASSERT_TRUE(image.has_value());
  EXPECT_FALSE(image->layout.has_version_fields);

  // 231R0 with sub-version 2 has no table to write.
  options = FirmwareImageOptions{};
  options.rom_row = 13;
  image = build_firmware_image(options);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->layout.rule, ParamTableRule::none);
}

TEST(FirmwareImageTest, RefusesWhatCannotBeBuilt) {
  const auto refused = [](FirmwareImageOptions options) {
    std::string error;
    const bool built = build_firmware_image(options, &error).has_value();
    return !built && !error.empty();
  };
  FirmwareImageOptions options;
  options.version_text = std::string(36, '1');
  EXPECT_TRUE(refused(options));
  options = FirmwareImageOptions{};
  options.product = std::string(32, 'p');
  EXPECT_TRUE(refused(options));
  options = FirmwareImageOptions{};
  options.rom_row = 40;
  EXPECT_TRUE(refused(options));
  options = FirmwareImageOptions{};
  options.size = 0xC000;  // the table at 0xC000 would not fit
  EXPECT_TRUE(refused(options));
  options = FirmwareImageOptions{};
  options.size = 0x100;
  EXPECT_TRUE(refused(options));
  // A table placed over the version fields of chip 0x83.
  options = FirmwareImageOptions{};
  options.rom_row = 28;
  options.param_table_start = 0x1F00;
  EXPECT_TRUE(refused(options));
  // A check value inside the span it covers.
  options = FirmwareImageOptions{};
  options.rom_row = 28;
  options.check_value_address = 0xC100;
  EXPECT_TRUE(refused(options));
}

}  // namespace
}  // namespace morvane::emulator
