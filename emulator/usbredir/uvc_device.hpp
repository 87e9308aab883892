// The virtual camera as a USB Video Class 1.00 device: its descriptors, the
// standard and video-streaming requests a UVC host driver makes, and every
// extension-unit request handed to the camera model.
//
// Layout: one configuration with an interface association of two interfaces.
// Interface 0 (video control) holds camera terminal 1, extension unit 3
// (when the camera answers vendor controls there), extension unit 4 and
// output terminal 5. Interface 1 (video streaming) has two formats, YUY2
// (format 1) and Motion-JPEG (format 2), each with the side-by-side stereo
// frame sizes of video_stream.hpp, and a bulk IN endpoint 0x81; a commit starts the stream, a
// CLEAR_FEATURE(ENDPOINT_HALT) on the endpoint (what a host does to stop a bulk stream), a SET_INTERFACE of interface 1
// or a SET_CONFIGURATION ends it.
//
// The standard requests follow USB 2.0 chapter 9 for a high-speed device:
// the device qualifier and the other-speed (full-speed) configuration are
// described; GET_STATUS reports the bus-powered device without remote
// wakeup and the streaming endpoint's halt, which SET_FEATURE and
// CLEAR_FEATURE(ENDPOINT_HALT) set and clear; features the device does not
// have, and requests to interfaces or endpoints it does not have, stall.
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

// What the device did with a bulk IN request on the streaming endpoint.
struct BulkOutcome {
  enum Kind {
    data,   // `bytes` answer it (empty: a zero-length packet)
    nak,    // nothing is due yet: the request waits
    stall,  // the endpoint is halted or not configured
  } kind = nak;
  std::vector<std::uint8_t> bytes;
};

class UvcDevice {
 public:
  // `ticks` reads the camera's clock at a bus time (PTS and SCR count its
  // ticks); by default one tick per bus microsecond. `max_payload` is the
  // dwMaxPayloadTransferSize the streaming interface negotiates, clamped to
  // kMinPayloadTransferSize..kMaxPayloadTransferSizeLimit.
  explicit UvcDevice(VirtualCamera& camera, VideoStream::DeviceTicks ticks = {},
                     std::uint32_t max_payload = kMaxPayloadTransferSize);

  std::vector<std::uint8_t> device_descriptor() const;
  std::vector<std::uint8_t> configuration_descriptor() const;
  // The device at full speed, as a high-speed device describes it.
  std::vector<std::uint8_t> device_qualifier_descriptor() const;
  std::vector<std::uint8_t> other_speed_configuration_descriptor() const;
  // String 0 is the language list; 1 vendor, 2 model, 3 serial. Empty for
  // an index the device has no string for.
  std::vector<std::uint8_t> string_descriptor(std::uint8_t index) const;

  // One request on the default control endpoint. `out` holds the OUT
  // payload. SET_CONFIGURATION and SET_INTERFACE usually reach the device
  // through set_configuration() and set_interface() (a usbredir host
  // controller makes them protocol requests of their own); when they come
  // here they do the same. SET_ADDRESS is the host controller's business.
  ControlOutcome control(const Setup& setup, const std::vector<std::uint8_t>& out);

  // SET_CONFIGURATION: 0 (the address state: only the default control
  // endpoint works) or 1. Either ends the stream and clears the streaming
  // endpoint's halt. False (a stall, nothing changed) for another value.
  bool set_configuration(std::uint8_t value);
  std::uint8_t configuration() const { return configuration_; }
  // SET_INTERFACE: each interface has alternate setting 0 only. Setting
  // interface 1 ends the stream and clears its endpoint's halt. False (a
  // stall, nothing changed) for another interface or setting, or while not
  // configured.
  bool set_interface(std::uint8_t interface, std::uint8_t alt);
  // GET_INTERFACE: the interface's alternate setting, nothing (a stall) for
  // an interface the configuration does not have.
  std::optional<std::uint8_t> alt_setting(std::uint8_t interface) const;
  bool streaming_endpoint_halted() const { return halted_; }

  // Harness requests seen by control(): consumed by the caller.
  bool take_save_request();
  bool take_unplug_request();

  bool streaming_committed() const { return committed_; }

  // One bulk IN transfer of at most `length` bytes on the streaming endpoint
  // at bus time `bus_ns`: a stall while the endpoint is halted or the device
  // not configured; zero bytes at once for a transfer of length 0 (it
  // takes nothing from the stream); the stream's next bytes; or a NAK
  // while no data is due. The first transfer after a commit starts the
  // stream at the committed format.
  BulkOutcome stream_transfer(std::size_t length, std::uint64_t bus_ns);
  // Bus time from which a transfer of any length gets an answer other than
  // a NAK; nothing while none is awaited (before a commit, or when every
  // transfer is answered at once).
  std::optional<std::uint64_t> stream_due_ns() const;
  // Ends the stream (the commit is forgotten).
  void stop_streaming();
  const VideoStream& stream() const { return stream_; }

  // Power-on state of the UVC side after a re-enumeration or a bus reset:
  // no stream, no halt. The configuration is kept, as a usbredir host
  // restores it after a reset.
  void reset_uvc_state();

  VirtualCamera& camera() { return camera_; }

 private:
  ControlOutcome standard(const Setup& setup);
  ControlOutcome get_status(const Setup& setup) const;
  ControlOutcome feature(const Setup& setup);
  std::vector<std::uint8_t> configuration_descriptor(std::uint8_t type, std::uint16_t bulk_max_packet) const;
  ControlOutcome streaming(const Setup& setup, const std::vector<std::uint8_t>& out);
  ControlOutcome extension_unit(const Setup& setup, const std::vector<std::uint8_t>& out);
  ControlOutcome harness(const Setup& setup);
  bool has_unit3() const;
  std::uint16_t unit_controls(std::uint8_t unit) const;

  VirtualCamera& camera_;
  VideoStream stream_;
  std::uint32_t max_payload_;
  std::uint8_t configuration_ = 1;  // a usbredir host hands the device over configured
  bool halted_ = false;             // the streaming endpoint's halt feature
  std::vector<std::uint8_t> probe_;
  std::vector<std::uint8_t> commit_;
  bool committed_ = false;
  std::uint8_t request_error_ = 0;  // the video-control request error code
  bool save_requested_ = false;
  bool unplug_requested_ = false;
  long unplug_countdown_ = -1;  // extension-unit requests until the device leaves the bus
};

}  // namespace morvane::emulator::usbredir
