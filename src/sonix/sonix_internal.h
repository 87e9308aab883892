// Internal helpers shared by the SonixCam access library's source files.
//
// Conventions of the layer below the public SonixCam_ calls:
//  - LibUsb_Read / LibUsb_Write return libusb's own result: the byte count on
//    success, a negative LIBUSB_ERROR_* code on failure. While no device handle
//    is open they send nothing and return LIBUSB_ERROR_NO_DEVICE.
//  - Every other LibUsb_ function returns 1 for success and 0 for failure
//    unless its comment says otherwise.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "sonix_internal.h is internal to the SDK"
#endif

#include <cstdint>
#include <string>

#include "sonix/sonix_cam.h"

// Exports the global `name` (stored under its hidden name, see sonix_cam.h)
// under its documented name: an alias of the same storage. Used once per
// global, in the file that defines it.
#define SONIXCAM_EXPORT_DATA(name)                                  \
  extern "C" decltype(name) sonixcam_exported_##name __asm__(#name) \
      __attribute__((visibility("default"), alias(SONIXCAM_STORAGE_STR_(morvane_sonix_##name))))

namespace morvane::uvc_stereo::platform {
class Platform;
}

namespace morvane::uvc_stereo::sonix {

// UVC class requests on the default control endpoint.
inline constexpr std::uint8_t kSetCurRequestType = 0x21;
inline constexpr std::uint8_t kSetCur = 0x01;
inline constexpr std::uint8_t kGetCurRequestType = 0xA1;
inline constexpr std::uint8_t kGetCur = 0x81;
inline constexpr unsigned int kTransferTimeoutMs = 1000;

// Extension-unit controls (wValue).
inline constexpr std::uint16_t kAsicRegisterControl = 0x0100;
inline constexpr std::uint16_t kFlashWindowControl = 0x0300;
inline constexpr std::uint16_t kRomWindowControl = 0x0400;
inline constexpr std::uint16_t kMemTypeControl = 0x0005;
inline constexpr std::uint16_t kStreamingFlashControl = 0x0600;

inline constexpr int kRomInfoRows = 40;

// One row of the controller ROM table (declared with the exported table in
// sonix_cam.h).
using RomInfoRow = ::SonixCam_RomInfoRow;
static_assert(sizeof(RomInfo) / sizeof(RomInfo[0]) == kRomInfoRows, "ROM table size");

// The row of the last successful ROM identification (uiRomID), clamped to the
// table so a stale or corrupted global can never index outside it.
const RomInfoRow& current_rom_row();

// Takes the fair lock of the file `path` (a camera's USB device node) on
// platform `p`: passes the gate, waits for the lock, gives the gate back
// (see "The per-camera lock" in usb_transport.cpp). Returns the descriptor
// holding the lock (closing it releases the lock), -2 when another user
// kept it for `wait_ms` milliseconds, -3 when what kept it out at the end
// was a read lock (which no user of the lock takes: a process that may only
// read the file), -1 when the file cannot be locked at all (cannot be
// opened for writing, or no locks on this platform).
int take_node_lock(platform::Platform& p, const std::string& path, long wait_ms);

// True when the last SonixCam_Init that tried to open a camera gave up
// because another user (process or library) held the camera's lock for the
// whole wait.
bool last_open_found_camera_busy();
// True when that busy camera was kept by a read lock; read_lock_message
// says so for the camera's node: "camera <bus>/<address> is busy: its lock
// is held by a read lock, which no user of the camera takes: a process that
// can only read /dev/bus/usb/<bus>/<address> is blocking it".
bool last_open_found_read_lock();
std::string read_lock_message(std::uint8_t bus_number, std::uint8_t device_address);

// The camera the library's connection is open to, as SonixCam_Init was
// asked for it (parsed ids, bus number, device address).
struct OpenCamera {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  std::uint8_t bus_number = 0;
  std::uint8_t device_address = 0;
};
// True, with the camera, while a connection is open.
bool open_camera(OpenCamera& camera);

// 1 while a camera is open (the guard of every public SonixCam_ call).
inline bool camera_open() { return camera_init != 0 && devh != nullptr; }

// Outcome of waiting for the serial-flash controller's ready bit.
enum class ReadyWait { ready, timeout, transfer_failed };
ReadyWait wait_sf_ready();

// The page-program loop of the byte-banging write, for a caller that has
// removed write protection, erased and put the controller in manual mode:
// programs `length` bytes from `address` page by page (write enable, 0x02,
// the address, data up to the next 256-byte boundary), waiting for each
// page's program to finish before sending the next. False at the first failed
// transfer.
bool sf_program_pages(std::uint32_t address, const std::uint8_t* data, std::int64_t length);

// A flash address and length that stay inside the 24-bit address space.
inline bool flash_range_ok(std::int64_t address, std::int64_t length) {
  return address >= 0 && length >= 0 && address <= 0xFFFFFF && length <= 0x1000000 - address;
}

}  // namespace morvane::uvc_stereo::sonix
