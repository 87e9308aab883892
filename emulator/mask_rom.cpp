#include "emulator/mask_rom.hpp"

#include <cstring>

namespace morvane::emulator {
namespace {

// Eight bytes that no generation claims: the name "000R0" starts no
// generation's name.
constexpr std::uint8_t kForeignText[8] = {'0', '0', '0', 'R', '0', 0x00, '0', 0x00};

void put(std::vector<std::uint8_t>& rom, std::uint16_t address, const std::uint8_t* bytes) {
  for (std::size_t i = 0; i < 8; ++i) rom[static_cast<std::uint16_t>(address + i)] = bytes[i];
}

}  // namespace

std::vector<std::uint8_t> build_mask_rom(const CameraConfig& config) {
  std::vector<std::uint8_t> rom(kMaskRomSize);
  // Deterministic filler standing in for boot code; every text address is
  // then given a text of its own.
  for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>((i * 37 + 11) ^ (i >> 8));
  for (std::uint16_t address : kRomTextAddresses) put(rom, address, kForeignText);

  if (const RomGeneration* gen = rom_generation(config.rom_row)) {
    std::uint8_t text[8] = {};
    std::memcpy(text, gen->name, 5);
    text[5] = config.rom_sub_version.value_or(gen->sub_version);
    text[6] = static_cast<std::uint8_t>(config.rom_variant);
    text[7] = 0x00;
    put(rom, gen->text_address, text);
  }
  for (const auto& [address, bytes] : config.rom_overrides) put(rom, address, bytes.data());
  return rom;
}

}  // namespace morvane::emulator
