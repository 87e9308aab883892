// Firmware version and device strings: the version fields the firmware keeps
// at chip-dependent flash addresses, the USB parameter table's location, and
// the vid/pid and string descriptors stored in it.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "sonix/sonix_internal.h"

using namespace morvane::uvc_stereo::sonix;

namespace {

constexpr int kVersionSize = 56;
constexpr int kFieldSize = 10;
constexpr int kField4Size = 5;
constexpr int kStringBlock = 64;

struct FieldAddresses {
  uint32_t f1, f2, f3, f4;
};

// Where the chip keeps its four version fields. `variant` is -1 for the plain
// query, else the choice of SonixCam_GetFwVersionEx for chip 0x75.
bool field_addresses(uint8_t chip, bool rom_known, uint8_t sub_version, int variant, FieldAddresses* out) {
  switch (chip) {
    case 0x15:
    case 0x56:
      *out = {0x3E00, 0x3E0A, 0x3E14, 0x01F3};
      return true;
    case 0x16:
      *out = {0x0FD0, 0x0FDA, 0x0FE4, 0x0153};
      return true;
    case 0x25:
      *out = {0x5E00, 0x5E0A, 0x5E14, 0x01F3};
      return true;
    case 0x32:
      if (rom_known && sub_version == 1) {
        *out = {0x0FD0, 0x0FDA, 0x0FE4, 0x0153};
        return true;
      }
      if (rom_known && sub_version == 2) {
        *out = {0x0FD0, 0x0FE2, 0x0FEC, 0x0FDA};
        return true;
      }
      return false;
    case 0x70:
    case 0x71:
      *out = {0x3E05, 0x3E0F, 0x3E19, 0x3E00};
      return true;
    case 0x75:
      if (sub_version != 1) return false;
      if (variant == 2) {
        *out = {0x4E00, 0x4E12, 0x4E1C, 0x4E0A};
        return true;
      }
      if (variant == -1 || variant == 3) {
        *out = {0x2000, 0x2012, 0x201C, 0x200A};
        return true;
      }
      return false;
    case 0x76:
      if (sub_version != 1) return false;
      *out = {0x3FD0, 0x3FDA, 0x3FE4, 0x0153};
      return true;
    case 0x83:
    case 0x85:
    case 0x86:
      *out = {0x2000, 0x2012, 0x201C, 0x200A};
      return true;
    case 0x89:
    case 0x90:
      *out = {0x2000, 0x2012, 0x201D, 0x200A};
      return true;
    case 0x92:
      *out = {0x2000, 0x2013, 0x201C, 0x200B};
      return true;
    default:
      return false;
  }
}

// Appends every byte of the field except '-' characters. A zero byte is
// copied like any other, so it ends the text there, as in the raw form.
int append_without_dashes(uint8_t* out, int at, const uint8_t* field, int size) {
  for (int i = 0; i < size; ++i) {
    if (field[i] != '-') out[at++] = field[i];
  }
  return at;
}

// The common body of the three firmware-version queries. `image` is null to
// read the fields from the flash, else the firmware image to take them from.
int get_fw_version(int variant, const uint8_t* image, uint8_t* buffer, int64_t length, int raw) {
  if (!camera_open() || buffer == nullptr) return 0;
  // The whole version buffer is written out: a caller announcing a smaller
  // buffer would be overrun.
  if (length < kVersionSize) return 0;

  uint8_t rom[8] = {};
  bool rom_known = LibUsb_GetAsicRomVersion(rom) != 0;
  uint8_t chip = 0;
  int arch = 0;
  if (LibUsb_GetChipRomType(&chip, &arch) == 0) return 0;
  uint8_t sub_version = rom_known ? rom[5] : 0;

  FieldAddresses at{};
  if (!field_addresses(chip, rom_known, sub_version, variant, &at)) return 0;

  uint8_t f1[kFieldSize] = {}, f2[kFieldSize] = {}, f3[kFieldSize] = {}, f4[kField4Size] = {};
  if (image != nullptr) {
    std::memcpy(f1, image + at.f1, kFieldSize);
    std::memcpy(f2, image + at.f2, kFieldSize);
    std::memcpy(f3, image + at.f3, kFieldSize);
    std::memcpy(f4, image + at.f4, kField4Size);
  } else {
    // A failed read leaves the rest of that field zero.
    LibUsb_ReadFormSF(at.f1, f1, kFieldSize);
    LibUsb_ReadFormSF(at.f2, f2, kFieldSize);
    LibUsb_ReadFormSF(at.f3, f3, kFieldSize);
    LibUsb_ReadFormSF(at.f4, f4, kField4Size);
  }
  if (chip == 0x75 && variant == 2) {
    char name[kFieldSize + 1] = {};
    std::memcpy(name, f1, kFieldSize);
    std::printf("dsp rom type=%s\n", name);
  }

  uint8_t out[kVersionSize] = {};
  std::memcpy(out, f4, kField4Size);
  if (raw) {
    std::memcpy(out + 5, f2, kFieldSize);
    std::memcpy(out + 15, f1, kFieldSize);
    std::memcpy(out + 25, f3, kFieldSize);
  } else {
    uint8_t fifth = f4[4];
    out[4] = '-';
    int pos = append_without_dashes(out, 5, f2, kFieldSize);
    if (std::memcmp(rom, "220R", 4) != 0) {
      out[pos++] = '-';
      out[pos++] = fifth;
    }
    out[pos++] = '-';
    out[pos++] = 'V';
    std::memcpy(out + pos, f3, 6);
    pos += 6;
    out[pos++] = '_';
    out[pos++] = f3[6];
    out[pos++] = f3[7];
    out[pos++] = '_';
    out[pos++] = f3[8];
    out[pos++] = f3[9];
    out[pos++] = '-';
    append_without_dashes(out, pos, f1, kFieldSize);
  }
  std::memcpy(buffer, out, kVersionSize);
  return 1;
}

bool rom_is(const uint8_t* rom, const char* name) { return std::memcmp(rom, name, 4) == 0; }

bool rom_is_any(const uint8_t* rom, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (rom_is(rom, name)) return true;
  }
  return false;
}

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// The parameter-table rule. `image` null reads the table header from the
// flash, else from the image.
int locate_param_table(const uint8_t* image, uint64_t* start, uint64_t* end, uint64_t* check) {
  if (start == nullptr || end == nullptr || check == nullptr) return 0;
  uint8_t rom[8] = {};
  if (!LibUsb_GetAsicRomVersion(rom)) return 0;
  const uint8_t sub = rom[5];
  const uint8_t variant = rom[6];

  // Bytes 0x160.. of the firmware: the table's location for newer ROMs.
  auto header = [&](uint8_t* out, int size) -> bool {
    if (image != nullptr) {
      std::memcpy(out, image + 0x160, static_cast<size_t>(size));
      return true;
    }
    return LibUsb_ReadFormSF(0x160, out, size) != 0;
  };

  if (rom_is(rom, "231R") && sub >= 2) return 0;
  if ((rom_is(rom, "232R") && sub == 1) || (rom_is(rom, "275R") && sub == 1 && variant == '0') ||
      (rom_is(rom, "276R") && sub == 1)) {
    *start = 0xC000;
    *end = 0xCF00;
    *check = 0xCF00;
    return 1;
  }
  if ((rom_is(rom, "232R") && sub == 2) || (rom_is_any(rom, {"288R", "270R", "271R", "280R", "281R"}) && sub == 1)) {
    uint8_t h[32] = {};
    if (!header(h, sizeof h)) return 0;
    *start = uint64_t{h[0x168 - 0x160]} << 8;
    *end = *start + (uint64_t{h[0x169 - 0x160]} << 8);
    *check = uint64_t{h[0x16E - 0x160]} << 8;
    return 1;
  }
  if ((rom_is_any(rom, {"272R", "273R", "292R"}) && sub == 1) ||
      (rom_is_any(rom, {"275R", "283R", "285R", "286R", "289R", "290R", "287R", "267R"}) && sub == 1 &&
       variant == 'F')) {
    uint8_t h[43] = {};
    if (!header(h, sizeof h)) return 0;
    *start = be32(h + (0x16F - 0x160));
    *end = *start + be32(h + (0x173 - 0x160));
    *check = be32(h + (0x187 - 0x160));
    return 1;
  }
  if (rom_is(rom, "216R")) {
    *start = 0x5800;
    *end = 0x6700;
    *check = 0x6700;
    return 1;
  }
  *start = 0x8000;
  *end = 0x8800;
  *check = 0;
  return 1;
}

}  // namespace

int SonixCam_GetFwVersion(uint8_t* buffer, int64_t length, int raw) {
  return get_fw_version(-1, nullptr, buffer, length, raw);
}

int SonixCam_GetFwVersionEx(int variant, uint8_t* buffer, int64_t length, int raw) {
  // Only chip 0x75 distinguishes variants; a variant other than 2 or 3 fails there.
  return get_fw_version(variant == -1 ? -2 : variant, nullptr, buffer, length, raw);
}

int SonixCam_GetFwVersionFromFile(const uint8_t* image, uint8_t* buffer, int64_t length, int raw) {
  if (image == nullptr) return 0;
  return get_fw_version(-1, image, buffer, length, raw);
}

int LibUsb_GetParaTableAndCRCAddrFormSF(uint64_t* start, uint64_t* end, uint64_t* check_address) {
  return locate_param_table(nullptr, start, end, check_address);
}

int LibUsb_GetParaTableAndCRCAddrFormFW(const uint8_t* image, uint64_t* start, uint64_t* end, uint64_t* check_address) {
  if (image == nullptr) return 0;
  return locate_param_table(image, start, end, check_address);
}

int LibUsb_GetStringSettingFormSF(uint8_t* buffer, int64_t size, uint32_t offset, int descriptor) {
  if (buffer == nullptr || size < 0) return 0;
  uint64_t start = 0, end = 0, check = 0;
  if (!LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &check)) return 0;
  uint64_t base = descriptor == 1 ? start : check;
  uint8_t block[kStringBlock] = {};
  if (!LibUsb_ReadFormSF(static_cast<int64_t>(base + offset), block, kStringBlock)) return 0;

  uint8_t text[kStringBlock] = {};
  int n = 0;
  if (descriptor == 1) {
    // A USB string descriptor: length byte, type byte, UTF-16 code units. The
    // count is bounded by what the 64-byte block holds, whatever the length
    // byte claims (erased flash reads 0xFF).
    n = (block[0] - 2) / 2;
    if (n < 0) n = 0;
    if (n > (kStringBlock - 2) / 2) n = (kStringBlock - 2) / 2;
    for (int i = 0; i < n; ++i) text[i] = block[2 + 2 * i];
  } else {
    while (n < 32 && block[n] != 0xFF) {
      text[n] = block[n];
      ++n;
    }
  }
  if (size < n) return 0;
  std::memcpy(buffer, text, static_cast<size_t>(n));
  return 1;
}

int SonixCam_GetVidPid(uint32_t* vidpid) {
  if (!camera_open() || vidpid == nullptr) return 0;
  uint64_t start = 0, end = 0, check = 0;
  if (!LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &check)) return 0;
  uint8_t bytes[4] = {};
  if (!LibUsb_ReadFormSF(static_cast<int64_t>(start + 6), bytes, sizeof bytes)) return 0;
  std::memcpy(vidpid, bytes, sizeof bytes);  // flash order
  return 1;
}

namespace {
int get_string(uint8_t* buffer, int64_t size, uint32_t offset) {
  if (!camera_open()) return 0;
  return LibUsb_GetStringSettingFormSF(buffer, size, offset, 1);
}
}  // namespace

int SonixCam_GetProduct(uint8_t* buffer, int64_t size) { return get_string(buffer, size, 0x40); }
int SonixCam_GetManufacturer(uint8_t* buffer, int64_t size) { return get_string(buffer, size, 0x80); }
int SonixCam_GetSerialNumber(uint8_t* buffer, int64_t size) { return get_string(buffer, size, 0xC0); }
int SonixCam_GetString3(uint8_t* buffer, int64_t size) { return get_string(buffer, size, 0x100); }
int SonixCam_GetInterface(uint8_t* buffer, int64_t size) { return get_string(buffer, size, 0x140); }
