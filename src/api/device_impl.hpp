// The private state of a Device.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "api/device_impl.hpp is internal to the SDK"
#endif

#include <cstdint>
#include <memory>
#include <utility>

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

class Device::Impl {
 public:
  Impl(DeviceInfo device_info, FlashConfig config, std::uint32_t transport_bits)
      : info(std::move(device_info)), flash_config(std::move(config)), transports(transport_bits) {}

  DeviceInfo info;                                // the record open_device was given
  FlashConfig flash_config;                       // derived once at open, used by every flash operation
  std::uint32_t transports;                       // DeviceCapability bits verified at open or opened since
  std::unique_ptr<detail::ImuReader> imu_reader;  // non-null exactly while the IMU is open
};

}  // namespace morvane::uvc_stereo
