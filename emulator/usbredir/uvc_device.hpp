// The virtual camera as a USB Video Class 1.00 device: its descriptors, the
// standard and video-streaming requests a UVC host driver makes, and every
// extension-unit request handed to the camera model.
//
// Layout: one configuration with an interface association of two interfaces.
// Interface 0 (video control) holds camera terminal 1, extension unit 3
// (when the camera answers vendor controls there), extension unit 4 and
// output terminal 5. Interface 1 (video streaming) has one YUY2 640x480
// format and a bulk IN endpoint 0x81.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator::usbredir {

inline constexpr std::uint8_t kStreamingEndpoint = 0x81;
inline constexpr std::uint16_t kBulkMaxPacket = 512;
inline constexpr std::uint16_t kControlMaxPacket = 64;

// A request of the test harness, sent as a vendor request to the device
// (bmRequestType 0x40, bRequest kHarnessRequest). The camera a guest sees
// is otherwise a plain UVC device; these exist so that a test running in the
// guest can ask for bus events at a precise point.
inline constexpr std::uint8_t kHarnessRequest = 0xF0;
enum class HarnessCommand : std::uint16_t {
  save_flash = 1,    // write the flash file now
  unplug_after = 2,  // leave the bus at the wIndex-th extension-unit request from now
  unplug_now = 3,    // leave the bus once this request is answered
};

struct Setup {
  std::uint8_t request_type = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

// What the device did with a control request.
struct ControlOutcome {
  enum Kind { data, stall, gone } kind = stall;
  std::vector<std::uint8_t> reply;  // IN: bytes returned
  std::size_t written = 0;          // OUT: bytes accepted
};

class UvcDevice {
 public:
  explicit UvcDevice(VirtualCamera& camera);

  std::vector<std::uint8_t> device_descriptor() const;
  std::vector<std::uint8_t> configuration_descriptor() const;
  // String 0 is the language list; 1 vendor, 2 model, 3 serial. Empty for
  // an index the device has no string for.
  std::vector<std::uint8_t> string_descriptor(std::uint8_t index) const;

  // One request on the default control endpoint (SET_ADDRESS,
  // SET_CONFIGURATION and SET_INTERFACE are the host controller's business
  // and do not come here). `out` holds the OUT payload.
  ControlOutcome control(const Setup& setup, const std::vector<std::uint8_t>& out);

  // Harness requests seen by control(): consumed by the caller.
  bool take_save_request();
  bool take_unplug_request();

  // Bulk IN on the streaming endpoint after commit: false (stall) unless
  // streaming was committed. The device sends no video.
  bool streaming_committed() const { return committed_; }

  // Power-on state of the UVC side after a re-enumeration.
  void reset_uvc_state();

  VirtualCamera& camera() { return camera_; }

 private:
  ControlOutcome standard(const Setup& setup);
  ControlOutcome streaming(const Setup& setup, const std::vector<std::uint8_t>& out);
  ControlOutcome extension_unit(const Setup& setup, const std::vector<std::uint8_t>& out);
  ControlOutcome harness(const Setup& setup);
  bool has_unit3() const;
  std::uint16_t unit_controls(std::uint8_t unit) const;

  VirtualCamera& camera_;
  std::vector<std::uint8_t> probe_;
  std::vector<std::uint8_t> commit_;
  bool committed_ = false;
  std::uint8_t request_error_ = 0;  // the video-control request error code
  bool save_requested_ = false;
  bool unplug_requested_ = false;
  long unplug_countdown_ = -1;  // extension-unit requests until the device leaves the bus
};

}  // namespace morvane::emulator::usbredir
