// The virtual camera as a USB Video Class 1.00 device: its descriptors, the
// standard and video-streaming requests a UVC host driver makes, and every
// extension-unit request handed to the camera model.
//
// Layout: one configuration with an interface association of two interfaces.
// Interface 0 (video control) holds camera terminal 1, extension unit 3
// (when the camera answers vendor controls there), extension unit 4 and
// output terminal 5. Interface 1 (video streaming) has one YUY2 format with
// the side-by-side stereo frame sizes of video_stream.hpp and a bulk IN
// endpoint 0x81; a commit starts the stream, a CLEAR_FEATURE(ENDPOINT_HALT)
// on the endpoint (what a host does to stop a bulk stream) or a new
// SET_INTERFACE ends it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/usbredir/video_stream.hpp"
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
  // `ticks` reads the camera's clock at a bus time (PTS and SCR count its
  // ticks); by default one tick per bus microsecond.
  explicit UvcDevice(VirtualCamera& camera, VideoStream::DeviceTicks ticks = {});

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

  bool streaming_committed() const { return committed_; }

  // One bulk IN transfer of at most `length` bytes on the streaming endpoint
  // at bus time `bus_ns`: the stream's next bytes, or nothing while no data
  // is due (the device NAKs). The first transfer after a commit starts the
  // stream at the committed format.
  std::optional<std::vector<std::uint8_t>> stream_transfer(std::size_t length, std::uint64_t bus_ns);
  // Bus time from which stream_transfer() has data; nothing before a commit.
  std::optional<std::uint64_t> stream_due_ns() const;
  // Ends the stream (SET_INTERFACE on the streaming interface).
  void stop_streaming();
  const VideoStream& stream() const { return stream_; }

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
  VideoStream stream_;
  std::vector<std::uint8_t> probe_;
  std::vector<std::uint8_t> commit_;
  bool committed_ = false;
  std::uint8_t request_error_ = 0;  // the video-control request error code
  bool save_requested_ = false;
  bool unplug_requested_ = false;
  long unplug_countdown_ = -1;  // extension-unit requests until the device leaves the bus
};

}  // namespace morvane::emulator::usbredir
