// The controller's 64 KiB mask ROM: boot code (here a fixed filler pattern)
// with the generation's version text at the generation's text address, and
// texts that belong to no generation at the other text addresses, as the ROM
// of another generation would show there.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator {

inline constexpr std::size_t kMaskRomSize = 0x10000;

// Builds the ROM image the camera's configuration describes.
std::vector<std::uint8_t> build_mask_rom(const CameraConfig& config);

}  // namespace morvane::emulator
