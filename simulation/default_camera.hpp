// The camera the simulated mode plugs in: configuration and factory flash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/virtual_camera.hpp"

namespace morvane::simulation {

inline constexpr std::size_t kFlashSize = 1u << 20;

// The simulated stereo camera of the tool's --simulate mode: serial
// SIM0001, a realistic IMU turning slowly.
emulator::CameraConfig default_camera_config();

// The factory flash of that camera (kFlashSize bytes): its firmware image and
// the calibration document in a blob at the default flash address. Returns
// false with `error` set when the image cannot be built.
bool factory_flash(const emulator::CameraConfig& config, std::vector<std::uint8_t>& flash, std::string& error);

}  // namespace morvane::simulation
