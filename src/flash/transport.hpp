// Flash transport internals shared with the device object.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "flash/transport.hpp is internal to the SDK"
#endif

#include <cstdint>
#include <functional>
#include <vector>

#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

// Reads the stored blob, minifies and validates its payload as JSON, then
// pauses 100 ms. Returns the header's document version and the compact text.
// Fails with the flash, blob or JSON error met, unchanged.
Result<ReadJsonResult> read_flash_json(const FlashConfig& config) noexcept;

// Fills `buffer` with the flash bytes from `address` inside an open flash
// connection; false when the read failed.
using FlashReader = std::function<bool(std::uint32_t address, std::vector<std::uint8_t>& buffer)>;

// The byte-banging read of read_blob_from_device (SonixCam_SerialFlashCustomRead).
bool read_flash_byte_banging(std::uint32_t address, std::vector<std::uint8_t>& buffer);

// The blob steps of read_blob_from_device inside an open connection: the
// header preview, its checks, the whole declared blob and its checks, with
// every flash byte taken from `read`. Fails with the same codes and messages.
Result<FlashBlob> read_blob_with(const FlashConfig& config, const FlashReader& read);

// Opens one flash connection for `config` (the process-wide flash lock, then
// the camera), runs `work` with the connection's copy of the configuration,
// and closes the camera and releases the lock on every path. A failed open
// is returned without running `work`. May throw what `work` throws (after
// closing); callers keep their own exception barrier.
Result<void> with_flash_connection(const FlashConfig& config,
                                   const std::function<Result<void>(const FlashConfig&)>& work);

}  // namespace morvane::uvc_stereo
