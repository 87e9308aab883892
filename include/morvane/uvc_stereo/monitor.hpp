// Hot-plug monitor: supported cameras arriving and leaving while an
// application runs, built on udev's event monitor.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

enum class DeviceEventKind : std::int32_t {
  arrived = 0,  // a supported camera is usable: its video nodes are there
  removed = 1,  // the camera's USB device left the bus; `device` is its last record
  changed = 2,  // the same camera (same identity) now has another record, e.g. another video node
};

// "arrived", "removed" or "changed"; "unknown" for any other value.
MORVANE_UVC_STEREO_API const char* device_event_kind_name(DeviceEventKind kind) noexcept;

struct DeviceEvent {
  DeviceEventKind kind = DeviceEventKind::arrived;
  DeviceInfo device;  // the record scan_devices() gives for this camera
  // On `changed`: the record reported before (devices() held it until now).
  // Empty for arrivals and removals.
  std::optional<DeviceInfo> previous;
};

// Watches udev for supported cameras. The SDK starts no thread for it: the
// caller polls fd() for POLLIN (poll, select, epoll or an event loop of its
// own) and calls read_events() when it is readable.
//
// Records are the ones scan_devices() reports for the same camera: the same
// fields, the same supported-device table and filter, the same identity
// rules (ID_PATH, then bus and address, then serial, then video node) and the
// same choice of the camera's video node; in addition, a node that udev
// reports without ID_PATH (its path lookup can miss while the driver
// re-binds) joins the camera on the same USB device (same ids, bus number
// and address) instead of passing for another camera.
//
// A camera is held as attached (devices(), "arrived") once one of its video
// nodes that is not a metadata node is there. udev may finish the metadata
// node first, so a camera that shows a metadata node only is not held: not
// at the scan made when the monitor opens, not at a re-read, not at an
// event (scan_devices() would list it, under that node). It arrives when a
// capture (or unprobeable) node joins it. A camera is "removed" when its
// USB device leaves the bus.
//
// Flash operations are filtered out. While the SDK talks to a camera's
// controller (reading or writing the flash document, reading the firmware
// version) the kernel's UVC driver is detached from it and its video nodes
// vanish for a moment, but its USB device stays on the bus: no event is
// reported for that. If the nodes come back under other names, one "changed"
// event carries the new record and the previous one. A firmware burn that
// resets the controller makes it leave the bus and come back: that is
// reported as "removed" then "arrived", because the camera really
// re-enumerates with a new address.
//
// When udev dropped events (the receive queue overflowed), read_events()
// re-reads the attached cameras as scan_devices() does and folds them in by
// the same rules: a camera is the same one while its USB device is (same
// ids, bus number, address, and serial when known); one re-enumerated or
// replaced at the same port is "removed" then "arrived"; one whose nodes are
// missing while its USB device is still on the bus (a flash operation) is
// kept silently. No arrival or removal is lost.
//
// udev must be running. Without it (no /run/udev/control: containers, or
// systems without udevd) udev sends no events, and the scans find no camera
// either (the udev database holds the ids they match), so the monitor
// cannot work: open_device_monitor() fails with io_error rather than
// returning a monitor that never hears anything. There is no polling
// fallback: a rescan every few milliseconds would run udevadm once per
// video node each time and still see nothing without udev.
//
// Move-only. A closed or moved-from monitor has fd() -1 and read_events()
// fails with invalid_argument "device monitor is closed". Not thread-safe:
// use one monitor from one thread at a time; several monitors may coexist.
class MORVANE_UVC_STEREO_API DeviceMonitor {
 public:
  struct Impl;

  DeviceMonitor() noexcept;  // closed
  explicit DeviceMonitor(std::unique_ptr<Impl> impl) noexcept;
  DeviceMonitor(DeviceMonitor&&) noexcept;
  DeviceMonitor& operator=(DeviceMonitor&&) noexcept;
  DeviceMonitor(const DeviceMonitor&) = delete;
  DeviceMonitor& operator=(const DeviceMonitor&) = delete;
  ~DeviceMonitor();

  bool is_open() const noexcept;
  // The descriptor to poll for POLLIN, or -1 when closed. Owned by the monitor.
  int fd() const noexcept;

  // Takes every event udev has delivered so far, without blocking, and
  // returns what they mean for the supported cameras in the order it
  // happened: removals before the arrivals and changes of the same batch.
  // An empty list when nothing relevant happened (or nothing was pending).
  // Fails: invalid_argument "device monitor is closed";
  //        io_error "failed to read udev events: <system error text>".
  // After a failure the monitor stays open and the next call goes on.
  Result<std::vector<DeviceEvent>> read_events();

  // The cameras the monitor holds as attached after the last read_events()
  // (at first those of the scan made when it was opened), sorted as
  // scan_devices() sorts them. Empty when closed.
  std::vector<DeviceInfo> devices() const;

  // Stops listening and releases the descriptor. Safe to call twice.
  void close() noexcept;

 private:
  std::unique_ptr<Impl> impl_;
};

// Starts listening to udev, then scans the attached cameras (the monitor's
// starting state, see devices()); listening first means no camera that
// arrives meanwhile is missed. Only cameras that pass `filter` are watched.
// Fails: io_error "failed to start the udev monitor: udev is not running
//        (/run/udev/control is missing)";
//        io_error "failed to start the udev monitor: <system error text>"
//        (no netlink socket, out of descriptors), or the scan's
//        failure unchanged (io_error "/dev not found", "failed to iterate
//        /dev"); nothing stays open after a failure.
MORVANE_UVC_STEREO_API Result<DeviceMonitor> open_device_monitor(const DeviceScanFilter& filter);
MORVANE_UVC_STEREO_API Result<DeviceMonitor> open_device_monitor();

}  // namespace morvane::uvc_stereo
