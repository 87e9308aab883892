// IMU: conversion of raw samples, and the reader behind Device::open_imu.
#pragma once

#include <memory>

#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

// Converts a raw sample to physical units.
// Fails: invalid_argument "temperature_lsb_per_c must not be zero".
MORVANE_UVC_STEREO_API Result<ImuSample> convert_imu(const ReadImuResult& raw,
                                                     const ImuConversionOptions& options) noexcept;

namespace detail {

// Owns an open video node and reads one IMU sample per call. Move-only; a
// moved-from reader fails every read with "IMU reader is closed or moved-from".
class MORVANE_UVC_STEREO_API ImuReader {
 public:
  class Impl {
   public:
    virtual ~Impl();
    virtual Result<ReadImuResult> read() = 0;
  };

  ImuReader() noexcept;
  explicit ImuReader(std::unique_ptr<Impl> impl) noexcept;
  ImuReader(ImuReader&&) noexcept;
  ImuReader& operator=(ImuReader&&) noexcept;
  ImuReader(const ImuReader&) = delete;
  ImuReader& operator=(const ImuReader&) = delete;
  ~ImuReader();

  Result<ReadImuResult> read();

 private:
  std::unique_ptr<Impl> impl_;
};

// Opens info.video_node for IMU queries.
// Fails: invalid_argument "selected device has empty video_node";
//        io_error "open <node> failed: <system text>".
MORVANE_UVC_STEREO_API Result<ImuReader> open_imu_platform(const DeviceInfo& info);

// Reads the firmware version and decides from kDeviceWhitelist whether the
// camera's IMU may be used. Always waits 200 ms after the firmware read.
// Fails: invalid_argument "selected device has empty video_node";
//        unsupported "IMU is not supported by this device".
MORVANE_UVC_STEREO_API Result<void> ensure_imu_supported_by_firmware(const DeviceInfo& info,
                                                                     const FlashConfig& config);

}  // namespace detail
}  // namespace morvane::uvc_stereo
