// Flash transport internals shared with the device object.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "flash/transport.hpp is internal to the SDK"
#endif

#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

// Reads the stored blob, minifies and validates its payload as JSON, then
// pauses 100 ms. Returns the header's document version and the compact text.
// Fails with the flash, blob or JSON error met, unchanged.
Result<ReadJsonResult> read_flash_json(const FlashConfig& config) noexcept;

}  // namespace morvane::uvc_stereo
