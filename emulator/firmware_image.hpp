// Builds controller firmware images for the virtual camera: plausible code
// bytes with the firmware version fields and the USB parameter table placed
// where the controller generation keeps them.
//
// Where things go depends on the controller chip and its ROM generation:
//  - the four version fields (10, 10, 10 and 5 bytes) sit at chip-specific
//    addresses; the configured version text is laid out so that the raw
//    version (field 4, field 2, field 1, field 3 back to back) reads as that
//    text, zero-padded;
//  - the parameter table sits at a fixed place, or at a place the image names
//    itself: 8-bit page numbers at 0x168/0x169/0x16E, or 32-bit big-endian
//    words at 0x16F/0x173/0x187 (start, length, check-value address);
//  - the table holds the vendor and product ids at +6 (little-endian each, as
//    in a USB device descriptor), and 64-byte USB string descriptor blocks for
//    product (+0x40), manufacturer (+0x80), serial number (+0xC0), string 3
//    (+0x100) and interface (+0x140);
//  - a CRC-16/MODBUS over the table, start to end, is stored high byte first
//    at check-value address + 20 and + 21.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvane::emulator {

// CRC-16/MODBUS: reflected polynomial 0xA001, initial 0xFFFF, no final xor.
std::uint16_t crc16_modbus(const std::uint8_t* data, std::size_t length);

// A 64-byte USB string descriptor block: length*2+2, 3, UTF-16LE of the
// (8-bit) text, 0xFF fill. nullopt when the text does not fit (over 31 chars).
std::optional<std::array<std::uint8_t, 64>> string_descriptor_block(const std::string& text);

enum class ParamTableRule {
  none,        // this ROM generation has no locatable table
  fixed_c000,  // 0xC000..0xCF00, check value at 0xCF00
  page_bytes,  // start/length/check as page numbers at 0x168/0x169/0x16E
  words_be32,  // start/length/check as big-endian words at 0x16F/0x173/0x187
  fixed_5800,  // 0x5800..0x6700, check value at 0x6700
  fixed_8000,  // 0x8000..0x8800, check value at 0 (bytes 20 and 21)
};

struct FirmwareImageOptions {
  std::uint8_t chip_id = 0x83;
  int rom_row = 15;                             // ROM generation row 0..39
  std::string rom_name;                         // empty: the row's name (e.g. "276R0")
  std::optional<std::uint8_t> rom_sub_version;  // unset: the row's sub-version
  char rom_variant = '0';
  std::size_t size = 128 * 1024;
  // Raw version text, at most 35 bytes.
  std::string version_text = "2606030001\r\n";
  std::uint16_t vid = 0x0c45;
  std::uint16_t pid = 0x0643;
  std::string product = "Stereo Camera";
  std::string manufacturer = "Morvane";
  std::string serial_number = "SN0001";
  std::string string3 = "Stereo Camera";
  std::string interface_name = "Stereo Camera";
  // Where the image says its table is, for generations that read it from the
  // image (page_bytes: multiples of 0x100 below 0x10000).
  std::uint32_t param_table_start = 0xC000;
  std::uint32_t param_table_length = 0x0F00;
  std::uint32_t check_value_address = 0xCF00;
  std::uint32_t seed = 0x2606;  // filler bytes
};

struct FirmwareImageLayout {
  bool has_version_fields = false;
  std::array<std::uint32_t, 4> version_field_address{};  // fields 1, 2, 3, 4
  ParamTableRule rule = ParamTableRule::none;
  std::uint32_t param_table_start = 0;
  std::uint32_t param_table_end = 0;
  std::uint32_t check_value_address = 0;
};

struct FirmwareImage {
  std::vector<std::uint8_t> bytes;
  FirmwareImageLayout layout;
};

// Version-field addresses of a chip; nullopt for chips without fields or
// whose ROM sub-version does not qualify.
std::optional<std::array<std::uint32_t, 4>> version_field_addresses(std::uint8_t chip_id, std::uint8_t rom_sub_version);
// Table rule of a ROM version (name, sub-version byte, variant byte).
ParamTableRule param_table_rule(const std::string& rom_name, std::uint8_t sub_version, char variant);

// Builds the image. nullopt (and a reason in *error when given) for an
// unknown ROM row, a size below 0x200, a version text over 35 bytes, a
// string over 31 characters, or a layout whose parts overlap or do not fit.
std::optional<FirmwareImage> build_firmware_image(const FirmwareImageOptions& options, std::string* error = nullptr);

}  // namespace morvane::emulator
