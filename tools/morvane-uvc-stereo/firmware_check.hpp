// The firmware image check made before a burn erases anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace morvane::tool {

// Checks `image` against the controller of the camera whose SonixCam
// session is open: the four version fields lie within the image where this
// controller keeps them and hold text (zero-filled), and the USB parameter
// table lies within it where its ROM generation keeps it, with vendor and
// product ids, five USB string descriptor blocks and a CRC-16/MODBUS check
// value that matches. Returns the reason it fails (empty: a good image); on
// success `version` is the image's raw version text.
std::string check_firmware_image(const std::vector<std::uint8_t>& image, std::string& version);

}  // namespace morvane::tool
