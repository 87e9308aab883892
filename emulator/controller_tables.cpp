// Fixed facts of the controller family: mask-ROM generations, chip families,
// the two register maps, and the IMU sample wire format.
#include <array>

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator {
namespace {

constexpr bool kAtLeast = true;
constexpr bool kEqual = false;

// Where each generation keeps its version text, its lowest sub-version, and
// which optional serial-flash hardware it has.
constexpr RomGeneration kGenerations[kRomGenerationCount] = {
    {0x9FF8, "220R0", 1, kAtLeast, 0x03C5, false, false},  // 0
    {0x9FF8, "225R0", 3, kAtLeast, 0x031D, false, false},  // 1
    {0x9FF8, "250R0", 1, kEqual, 0x0530, false, false},    // 2
    {0x9FF8, "250R0", 2, kAtLeast, 0x05F0, false, false},  // 3
    {0xD2B2, "230R0", 1, kEqual, 0x0530, false, false},    // 4
    {0xDFF8, "230R0", 2, kEqual, 0x05E0, false, false},    // 5
    {0xDFF8, "230R0", 3, kAtLeast, 0x05F0, false, false},  // 6
    {0xDFF8, "231R0", 1, kEqual, 0x05F0, false, false},    // 7
    {0xDFF8, "216R0", 1, kAtLeast, 0x05F0, true, false},   // 8
    {0xBFF8, "215R0", 1, kAtLeast, 0x05F0, false, false},  // 9
    {0xBFF8, "236R0", 1, kEqual, 0x0690, false, false},    // 10
    {0xBFF8, "236R0", 2, kAtLeast, 0x05F0, false, false},  // 11
    {0xBFF8, "256R0", 1, kAtLeast, 0x05F0, true, false},   // 12
    {0xBFF8, "231R0", 2, kAtLeast, 0x05F0, true, false},   // 13
    {0xBFF8, "266R0", 1, kAtLeast, 0x05F0, true, false},   // 14
    {0xBFF8, "276R0", 1, kAtLeast, 0x05F0, true, false},   // 15
    {0xBFF8, "275R0", 1, kAtLeast, 0x05F0, true, false},   // 16
    {0xBFF8, "290R0", 1, kEqual, 0x05F0, true, false},     // 17
    {0xBFF8, "290R0", 2, kAtLeast, 0x05F0, true, true},    // 18
    {0xBFF8, "286R0", 1, kAtLeast, 0x05F0, true, true},    // 19
    {0xBFF8, "288R0", 1, kAtLeast, 0x05F0, true, true},    // 20
    {0xBFF8, "288R0", 1, kAtLeast, 0x05F0, true, true},    // 21
    {0xBFF8, "270R0", 1, kAtLeast, 0x05F0, true, true},    // 22
    {0xBFF8, "271R0", 1, kAtLeast, 0x05F0, true, true},    // 23
    {0xBFF8, "280R0", 1, kAtLeast, 0x05F0, true, true},    // 24
    {0xBFF8, "281R0", 1, kAtLeast, 0x05F0, true, true},    // 25
    {0xC7F8, "232R0", 1, kEqual, 0x05F0, true, false},     // 26
    {0xC7F8, "232R0", 2, kAtLeast, 0x05F0, true, true},    // 27
    {0xAFF8, "272R0", 1, kAtLeast, 0x05F0, true, true},    // 28
    {0xAFF8, "273R0", 1, kAtLeast, 0x05F0, true, true},    // 29
    {0xAFF8, "275R0", 1, kAtLeast, 0x05F0, true, true},    // 30
    {0xAFF8, "283R0", 1, kEqual, 0x05F0, true, true},      // 31
    {0x9FF8, "292R0", 1, kEqual, 0x05F0, true, true},      // 32
    {0xAFF8, "287R0", 1, kEqual, 0x05F0, true, true},      // 33
    {0xAFF8, "267R0", 1, kAtLeast, 0x05F0, true, true},    // 34
    {0xAFF8, "276R0", 1, kAtLeast, 0x05F0, true, false},   // 35
    {0xAFF8, "285R0", 1, kAtLeast, 0x05F0, true, true},    // 36
    {0xAFF8, "286R0", 1, kAtLeast, 0x05F0, true, true},    // 37
    {0xAFF8, "289R0", 1, kAtLeast, 0x05F0, true, true},    // 38
    {0xAFF8, "290R0", 1, kAtLeast, 0x05F0, true, true},    // 39
};

constexpr RegisterMap kRegisterMaps[2] = {
    {0x101F, 0x1073, 0x1005, 0x1006, 0x1007, 0x1084, 0x1080, 0x1091, 0x1082, 0x1083,
     0x1081, 0x1088, 0x1089, 0x10D0, 0x10D9, 0x10D7, 0x10D8, 0x10D1, 0x10D2, 0x1002},
    {0x80F0, 0x8C00, 0x8200, 0x8201, 0x8202, 0x8E04, 0x8E00, 0x8E11, 0x8E02, 0x8E03,
     0x8E01, 0x8E08, 0x8E09, 0x8600, 0x8609, 0x8607, 0x8608, 0x8601, 0x8602, 0x8045},
};

}  // namespace

const RomGeneration* rom_generation(int row) {
  if (row < 0 || row >= kRomGenerationCount) return nullptr;
  return &kGenerations[row];
}

int chip_register_map_row(std::uint8_t chip_id) {
  switch (chip_id) {
    case 0x15:
    case 0x16:
    case 0x22:
    case 0x23:
    case 0x25:
    case 0x32:
    case 0x33:
    case 0x56:
    case 0x70:
    case 0x71:
    case 0x75:
    case 0x87:
    case 0x88:
    case 0x67:
    case 0x76:
    case 0x83:
    case 0x92:
      return 0;
    case 0x85:
    case 0x86:
    case 0x89:
    case 0x90:
      return 1;
    default:
      return -1;
  }
}

const RegisterMap& register_map(int row) { return kRegisterMaps[row == 1 ? 1 : 0]; }

std::array<std::uint8_t, kImuSampleLength> encode_imu_sample(const ImuSample& sample) {
  std::array<std::uint8_t, kImuSampleLength> out{};
  auto put16 = [&out](std::size_t at, std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    out[at] = static_cast<std::uint8_t>(u >> 8);
    out[at + 1] = static_cast<std::uint8_t>(u & 0xFF);
  };
  put16(0, sample.temperature);
  for (int i = 0; i < 3; ++i) put16(2 + 2 * i, sample.accel[i]);
  for (int i = 0; i < 3; ++i) put16(8 + 2 * i, sample.gyro[i]);
  const std::uint32_t counter = sample.counter & 0xFFFFF;
  out[14] = static_cast<std::uint8_t>((counter >> 8) & 0xFF);
  out[15] = static_cast<std::uint8_t>(counter & 0xFF);
  out[16] = static_cast<std::uint8_t>((counter >> 16) & 0x0F);
  return out;
}

}  // namespace morvane::emulator
