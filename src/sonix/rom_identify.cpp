// Controller ROM identification: reads the mask ROM's version text at the
// known text addresses, finds its row in the ROM table (uiRomID) and applies
// the board-specific adjustments that tell apart controllers sharing a ROM.
#include <cstring>

#include "sonix/sonix_internal.h"

using namespace morvane::uvc_stereo::sonix;

const uint16_t RomStringAddr[6] = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8, 0xAFF8};

// Columns: text address, name, sub-version, at-least rule, fallback flash-type
// register, command registers, memory type.
const SonixCam_RomInfoRow RomInfo[40] = {
    {0x9FF8, "220R0", 1, true, 0x03C5, false, false},   // 0
    {0x9FF8, "225R0", 3, true, 0x031D, false, false},   // 1
    {0x9FF8, "250R0", 1, false, 0x0530, false, false},  // 2
    {0x9FF8, "250R0", 2, true, 0x05F0, false, false},   // 3
    {0xD2B2, "230R0", 1, false, 0x0530, false, false},  // 4
    {0xDFF8, "230R0", 2, false, 0x05E0, false, false},  // 5
    {0xDFF8, "230R0", 3, true, 0x05F0, false, false},   // 6
    {0xDFF8, "231R0", 1, false, 0x05F0, false, false},  // 7
    {0xDFF8, "216R0", 1, true, 0x05F0, true, false},    // 8
    {0xBFF8, "215R0", 1, true, 0x05F0, false, false},   // 9
    {0xBFF8, "236R0", 1, false, 0x0690, false, false},  // 10
    {0xBFF8, "236R0", 2, true, 0x05F0, false, false},   // 11
    {0xBFF8, "256R0", 1, true, 0x05F0, true, false},    // 12
    {0xBFF8, "231R0", 2, true, 0x05F0, true, false},    // 13
    {0xBFF8, "266R0", 1, true, 0x05F0, true, false},    // 14
    {0xBFF8, "276R0", 1, true, 0x05F0, true, false},    // 15
    {0xBFF8, "275R0", 1, true, 0x05F0, true, false},    // 16
    {0xBFF8, "290R0", 1, false, 0x05F0, true, false},   // 17
    {0xBFF8, "290R0", 2, true, 0x05F0, true, true},     // 18
    {0xBFF8, "286R0", 1, true, 0x05F0, true, true},     // 19
    {0xBFF8, "288R0", 1, true, 0x05F0, true, true},     // 20
    {0xBFF8, "288R0", 1, true, 0x05F0, true, true},     // 21 (reached only by adjustment)
    {0xBFF8, "270R0", 1, true, 0x05F0, true, true},     // 22
    {0xBFF8, "271R0", 1, true, 0x05F0, true, true},     // 23
    {0xBFF8, "280R0", 1, true, 0x05F0, true, true},     // 24
    {0xBFF8, "281R0", 1, true, 0x05F0, true, true},     // 25
    {0xC7F8, "232R0", 1, false, 0x05F0, true, false},   // 26
    {0xC7F8, "232R0", 2, true, 0x05F0, true, true},     // 27
    {0xAFF8, "272R0", 1, true, 0x05F0, true, true},     // 28
    {0xAFF8, "273R0", 1, true, 0x05F0, true, true},     // 29
    {0xAFF8, "275R0", 1, true, 0x05F0, true, true},     // 30
    {0xAFF8, "283R0", 1, false, 0x05F0, true, true},    // 31
    {0x9FF8, "292R0", 1, false, 0x05F0, true, true},    // 32
    {0xAFF8, "287R0", 1, false, 0x05F0, true, true},    // 33
    {0xAFF8, "267R0", 1, true, 0x05F0, true, true},     // 34
    {0xAFF8, "276R0", 1, true, 0x05F0, true, false},    // 35
    {0xAFF8, "285R0", 1, true, 0x05F0, true, true},     // 36
    {0xAFF8, "286R0", 1, true, 0x05F0, true, true},     // 37
    {0xAFF8, "289R0", 1, true, 0x05F0, true, true},     // 38
    {0xAFF8, "290R0", 1, true, 0x05F0, true, true},     // 39
};

// The documented names of the tables above, exported for programs.
SONIXCAM_EXPORT_DATA(RomStringAddr);
SONIXCAM_EXPORT_DATA(RomInfo);

namespace morvane::uvc_stereo::sonix {

const RomInfoRow& current_rom_row() { return RomInfo[uiRomID < kRomInfoRows ? uiRomID : 0]; }

}  // namespace morvane::uvc_stereo::sonix

namespace {

// Register addresses of the adjustments: fixed, of register map row 0.
constexpr uint16_t kGpioInput = 0x1005;
constexpr uint16_t kGpioOutput = 0x1006;
constexpr uint16_t kGpioOE = 0x1007;
constexpr uint16_t kChipId = 0x101F;
constexpr uint16_t kChipIdGate = 0x100A;
constexpr uint16_t kRomVariant = 0x1185;

// Drives GPIO bit `bit` as an output set high and reads the input back: some
// boards strap it low to tell controller variants apart. Returns whether the
// input bit reads set; `output` receives the value written to the output
// register so the caller can restore the pin.
bool probe_gpio(uint8_t bit, uint8_t* output) {
  const uint8_t mask = static_cast<uint8_t>(1u << bit);
  uint8_t oe = 0;
  uint8_t out = 0;
  LibUsb_ReadFromASIC(kGpioOE, &oe);
  oe = static_cast<uint8_t>(oe & ~mask);
  LibUsb_ReadFromASIC(kGpioOutput, &out);
  out = static_cast<uint8_t>(out | mask);
  LibUsb_WriteToASIC(kGpioOE, oe);
  LibUsb_WriteToASIC(kGpioOutput, out);
  *output = out;
  uint8_t in = 0;
  if (!LibUsb_ReadFromASIC(kGpioInput, &in)) return false;
  return (in & mask) != 0;
}

void release_gpio(uint8_t output, uint8_t bit) {
  LibUsb_WriteToASIC(kGpioOutput, static_cast<uint8_t>(output & ~(1u << bit)));
}

// Reads the chip id with bit 4 of register 0x100A cleared, restoring the
// register afterwards. Returns 0 when the chip id cannot be read.
uint8_t read_gated_chip_id() {
  uint8_t gate = 0;
  bool have_gate = LibUsb_ReadFromASIC(kChipIdGate, &gate) != 0;
  if (have_gate) LibUsb_WriteToASIC(kChipIdGate, static_cast<uint8_t>(gate & ~0x10));
  uint8_t chip = 0;
  if (!LibUsb_ReadFromASIC(kChipId, &chip)) chip = 0;
  if (have_gate) LibUsb_WriteToASIC(kChipIdGate, gate);
  return chip;
}

}  // namespace

int LibUsb_DefGetAsicRomVersion(uint8_t* version8) {
  if (version8 == nullptr) return 0;
  uint8_t buffer[8] = {};
  for (uint16_t address : RomStringAddr) {
    uint8_t read[8];
    if (LibUsb_ReadFromROM(address, read)) std::memcpy(buffer, read, sizeof buffer);
    for (int row = 0; row < kRomInfoRows; ++row) {
      const RomInfoRow& info = RomInfo[row];
      if (info.rom_address != address) continue;
      if (std::memcmp(buffer, info.name, 4) != 0) continue;
      bool sub_ok = info.at_least ? buffer[5] >= info.sub_version : buffer[5] == info.sub_version;
      if (!sub_ok) continue;
      std::memcpy(version8, buffer, sizeof buffer);
      uiRomID = static_cast<uint32_t>(row);
      return 1;
    }
  }
  return 0;
}

int LibUsb_GetAsicRomVersion(uint8_t* version8) {
  if (!LibUsb_DefGetAsicRomVersion(version8)) return 0;
  uint8_t output = 0;
  switch (uiRomID) {
    case 15: {
      uint8_t value = 0;
      if (!LibUsb_ReadFromASIC(kRomVariant, &value)) break;
      value = static_cast<uint8_t>(value | 0x70);
      LibUsb_WriteToASIC(kRomVariant, value);
      uint8_t back = 0;
      if (LibUsb_ReadFromASIC(kRomVariant, &back) && (back & 0x70) == 0x70) version8[4] = '1';
      break;
    }
    case 20: {
      uint8_t chip = 0;
      if (LibUsb_ReadFromASIC(kChipId, &chip) && chip == 0x89) {
        version8[2] = '9';
        uiRomID = 21;
      } else if (probe_gpio(5, &output)) {
        version8[4] = '1';
      } else {
        release_gpio(output, 5);
      }
      break;
    }
    case 23: {
      if (read_gated_chip_id() == 0x70) {
        version8[2] = '0';
        uiRomID = 22;
      }
      if (probe_gpio(3, &output)) {
        version8[4] = '1';
        release_gpio(output, 3);
      } else if (probe_gpio(4, &output)) {
        version8[4] = '0';
      } else if (uiRomID == 22) {
        version8[4] = '2';
        release_gpio(output, 4);
      }
      break;
    }
    case 25: {
      if (read_gated_chip_id() == 0x80) {
        version8[2] = '0';
        uiRomID = 24;
      }
      if (probe_gpio(3, &output)) {
        version8[4] = '1';
        release_gpio(output, 3);
      } else {
        version8[4] = '0';
      }
      break;
    }
    default:
      break;
  }
  return 1;
}
