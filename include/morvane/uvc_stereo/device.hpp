// The device object: one camera's flash document and IMU.
#pragma once

#include <memory>
#include <string_view>

#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

// Move-only handle to an opened camera. It holds no USB connection between
// calls. A moved-from device fails every operation with invalid_argument
// "device is closed or moved-from" (info() then returns an empty record and
// the has_*_transport() queries return false). Not thread-safe: use one
// Device from one thread at a time.
class MORVANE_UVC_STEREO_API Device {
 public:
  class Impl;

  // A closed device, as a moved-from one.
  Device() noexcept;
  explicit Device(std::unique_ptr<Impl> impl) noexcept;
  Device(Device&&) noexcept;
  Device& operator=(Device&&) noexcept;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device();

  const DeviceInfo& info() const;
  // Whether the camera is still attached, cheaply enough to poll: one stat()
  // of its USB device node /dev/bus/usb/BBB/DDD (from the record's bus
  // number and address). The kernel removes that node as soon as the device
  // leaves the bus, and a camera plugged in again gets a new address, so a
  // camera that left stays "not connected" even once it is back (open it
  // again from a new scan). A flash operation, which takes the video nodes
  // away for a moment, leaves it connected. A record without bus number or
  // address is judged by its video node instead; one with neither, and a
  // closed or moved-from device, is not connected.
  bool is_connected() const;
  bool has_flash_transport() const;
  bool has_imu_transport() const;

  // The stored document in compact form. Fails while the IMU is open with
  // "IMU must be closed before flash JSON access", or with the flash or
  // blob error met.
  Result<ReadJsonResult> read_json();
  // The same document by read_flash_json_fast: streaming requests where the
  // controller has them, or, only when options.reuse_held_copy asks for it,
  // the caller's held copy when the stored header matches it. The result
  // says which path served it. Fails like read_json().
  Result<FastJsonResult> read_json(const FastReadOptions& options);
  // The stored blob byte for byte (header, document, CRC), checked as a
  // document read checks it: the copy to keep before write_json() replaces
  // the document (write it back with write_blob_to_device()). Fails like
  // read_json().
  Result<FlashBlob> read_blob();
  // Validates, minifies and stores `json` (document version 0).
  Result<void> write_json(std::string_view json);
  Result<void> open_imu();
  // Fails "IMU is not open" unless open_imu() succeeded.
  Result<ReadImuResult> read_imu();
  Result<void> close_imu();
  // True from a successful open_imu() to close_imu() (false when closed).
  bool is_imu_open() const noexcept;

 private:
  std::unique_ptr<Impl> impl_;
};

// Opens `info` (normally a scan_devices() record). Checks the options, then
// the ids, then that the attached cameras do not contradict the record (a
// stale copy would reach another camera: the record's bus and address now
// hold a camera of another serial, the record's serial is now at another
// bus and address, or its video node is another camera's), then probes
// what options.required_capabilities asks for. A record whose camera is not
// attached at all opens as before (nothing is touched without flash bits).
// Fails: invalid_argument "open_device required_capabilities contains unknown bits",
//        invalid_argument "selected device has invalid vid/pid",
//        device_unavailable "the camera at bus B address A has serial 'X',
//          not the record's 'Y': the record is stale, scan again" (or "the
//          camera with serial 'Y' is now at bus B address A, not at the
//          record's ...", or "video node N belongs to another camera ..."),
//        or the flash layer's failure unchanged.
MORVANE_UVC_STEREO_API Result<Device> open_device(const DeviceInfo& info, const OpenDeviceOptions& options);

}  // namespace morvane::uvc_stereo
