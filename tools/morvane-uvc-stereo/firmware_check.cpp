// The checks a firmware image passes before the flash is erased for it: it
// must carry the version fields and the USB parameter table where this
// camera's controller generation keeps them, whole and well formed.
#include "firmware_check.hpp"

#include <array>
#include <cstdio>

#include "sonix/sonix_cam.h"

namespace morvane::tool {

namespace {

constexpr std::size_t kFieldLength[4] = {10, 10, 10, 5};  // fields 1, 2, 3, 4
constexpr std::uint32_t kTableEntries = 0x180;            // ids and five string blocks
constexpr std::uint32_t kStringOffsets[5] = {0x40, 0x80, 0xC0, 0x100, 0x140};
constexpr const char* kStringNames[5] = {"product", "manufacturer", "serial number", "string 3", "interface"};
// The table's location is read from image bytes up to here.
constexpr std::size_t kTableHeaderEnd = 0x18B;

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// Flash addresses of version fields 1 to 4 by controller chip and ROM
// sub-version; false for a chip that keeps none.
bool version_fields(std::uint8_t chip, bool rom_known, std::uint8_t sub, std::array<std::uint32_t, 4>& at) {
  switch (chip) {
    case 0x15:
    case 0x56:
      at = {0x3E00, 0x3E0A, 0x3E14, 0x01F3};
      return true;
    case 0x16:
      at = {0x0FD0, 0x0FDA, 0x0FE4, 0x0153};
      return true;
    case 0x25:
      at = {0x5E00, 0x5E0A, 0x5E14, 0x01F3};
      return true;
    case 0x32:
      if (rom_known && sub == 1) at = {0x0FD0, 0x0FDA, 0x0FE4, 0x0153};
      if (rom_known && sub == 2) at = {0x0FD0, 0x0FE2, 0x0FEC, 0x0FDA};
      return rom_known && (sub == 1 || sub == 2);
    case 0x70:
    case 0x71:
      at = {0x3E05, 0x3E0F, 0x3E19, 0x3E00};
      return true;
    case 0x75:
    case 0x83:
    case 0x85:
    case 0x86:
      at = {0x2000, 0x2012, 0x201C, 0x200A};
      return chip != 0x75 || sub == 1;
    case 0x76:
      at = {0x3FD0, 0x3FDA, 0x3FE4, 0x0153};
      return sub == 1;
    case 0x89:
    case 0x90:
      at = {0x2000, 0x2012, 0x201D, 0x200A};
      return true;
    case 0x92:
      at = {0x2000, 0x2013, 0x201C, 0x200B};
      return true;
    default:
      return false;
  }
}

// A version field: printable characters, then zero fill.
bool field_is_text(const std::uint8_t* field, std::size_t length) {
  std::size_t i = 0;
  for (; i < length && field[i] != 0; ++i) {
    const std::uint8_t c = field[i];
    if (!((c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n')) return false;
  }
  for (; i < length; ++i)
    if (field[i] != 0) return false;
  return true;
}

std::uint16_t crc16_modbus(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ data[i]);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1u) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(crc >> 1);
  }
  return crc;
}

}  // namespace

std::string check_firmware_image(const std::vector<std::uint8_t>& image, std::string& version) {
  const std::size_t size = image.size();
  if (size < 0x200) return "it holds " + std::to_string(size) + " bytes, too few for a firmware image";

  int rom_type = 0;
  std::uint8_t chip = 0;
  if (SonixCam_GetAsicRomType(&rom_type, &chip) == 0 || rom_type == 0)
    return "the camera's controller could not be identified, so the image cannot be checked against it";
  std::uint8_t rom[8] = {0};
  const bool rom_known = LibUsb_GetAsicRomVersion(rom) != 0;

  // Version fields.
  std::array<std::uint32_t, 4> at{};
  if (!version_fields(chip, rom_known, rom_known ? rom[5] : 0, at))
    return "the camera's controller (chip " + hex(chip) + ") keeps no version fields to check the image by";
  for (int i = 0; i < 4; ++i) {
    if (at[i] + kFieldLength[i] > size) {
      return "it holds " + std::to_string(size) + " bytes and ends before its version field at " + hex(at[i]) +
             " (a truncated image?)";
    }
    if (!field_is_text(image.data() + at[i], kFieldLength[i]))
      return "its version field at " + hex(at[i]) + " holds no version text";
  }
  if (image[at[3]] == 0) return "its version fields are empty";
  std::uint8_t text[64] = {0};
  if (SonixCam_GetFwVersionFromFile(image.data(), text, sizeof text, 1) == 0)
    return "its version fields cannot be read for this controller";
  version.assign(reinterpret_cast<const char*>(text));

  // Parameter table: where the image (or the ROM) says, whole, with ids,
  // five string descriptor blocks and a matching check value.
  std::uint64_t start = 0, end = 0, check = 0;
  if (size < kTableHeaderEnd || LibUsb_GetParaTableAndCRCAddrFormFW(image.data(), &start, &end, &check) == 0)
    return "its USB parameter table cannot be located for this camera's controller ROM";
  if (end < start + kTableEntries || end > size || check + 22 > size) {
    return "its USB parameter table (" + hex(start) + " to " + hex(end) + ", check value at " + hex(check + 20) +
           ") does not lie within its " + std::to_string(size) + " bytes";
  }
  const std::uint8_t* table = image.data() + start;
  const unsigned vid = table[6] | (table[7] << 8), pid = table[8] | (table[9] << 8);
  if (vid == 0 || vid == 0xFFFF || pid == 0xFFFF) return "its USB parameter table holds no vendor and product ids";
  for (int i = 0; i < 5; ++i) {
    const std::uint8_t* block = table + kStringOffsets[i];
    const unsigned length = block[0];
    bool good = block[1] == 3 && length >= 2 && length <= 64 && length % 2 == 0;
    for (unsigned c = 2; good && c < length; c += 2) good = block[c + 1] == 0;
    if (!good) return std::string("its USB parameter table holds no ") + kStringNames[i] + " string descriptor";
  }
  const std::uint16_t stored = static_cast<std::uint16_t>(image[check + 20] << 8 | image[check + 21]);
  const std::uint16_t computed = crc16_modbus(table, end - start);
  if (stored != computed) {
    return "its USB parameter table's check value " + hex(stored) + " does not match its contents (" + hex(computed) +
           ")";
  }
  return {};
}

}  // namespace morvane::tool
