#include "emulator/usbredir/uvc_device.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace morvane::emulator::usbredir {
namespace {

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorDeviceQualifier = 6;
constexpr std::uint8_t kDescriptorOtherSpeedConfiguration = 7;
constexpr std::uint16_t kFullSpeedBulkMaxPacket = 64;
constexpr std::uint8_t kRecipientDevice = 0;
constexpr std::uint8_t kRecipientInterface = 1;
constexpr std::uint8_t kRecipientEndpoint = 2;

// UVC class-specific values.
constexpr std::uint8_t kCsInterface = 0x24;
constexpr std::uint8_t kVsFormatUncompressed = 0x04;
constexpr std::uint8_t kVsFrameUncompressed = 0x05;
constexpr std::uint8_t kVsFormatMjpeg = 0x06;
constexpr std::uint8_t kVsFrameMjpeg = 0x07;
constexpr std::uint8_t kGetMin = 0x82;
constexpr std::uint8_t kGetMax = 0x83;
constexpr std::uint8_t kGetRes = 0x84;
constexpr std::uint8_t kGetDef = 0x87;
constexpr std::uint16_t kProbeControl = 0x0100;
constexpr std::uint16_t kCommitControl = 0x0200;
constexpr std::uint16_t kRequestErrorCodeControl = 0x0200;  // on the video-control interface itself
constexpr std::size_t kProbeLengthMax = 34;                 // UVC 1.10 adds 8 bytes; accepted, answered as zeros
constexpr std::uint8_t kErrorInvalidControl = 0x06;
constexpr std::uint8_t kErrorInvalidRequest = 0x07;

constexpr std::uint8_t kCameraTerminal = 1;
constexpr std::uint8_t kVendorUnit = 3;
constexpr std::uint8_t kOutputTerminal = 5;

constexpr std::uint16_t kFeatureEndpointHalt = 0;

// GUIDs naming the two extension units (any fixed values; the host driver
// only reports them).
constexpr std::array<std::uint8_t, 16> kUnit3Guid = {0x28, 0xf0, 0x33, 0x70, 0x63, 0x11, 0x4a, 0x2e,
                                                     0xba, 0x2c, 0x68, 0x90, 0xeb, 0x33, 0x40, 0x16};
constexpr std::array<std::uint8_t, 16> kUnit4Guid = {0x94, 0x73, 0xdf, 0xdd, 0x3e, 0x97, 0x27, 0x47,
                                                     0xbe, 0xd9, 0x04, 0xed, 0x64, 0x26, 0xdc, 0x67};
constexpr std::array<std::uint8_t, 16> kYuy2Guid = {0x59, 0x55, 0x59, 0x32, 0x00, 0x00, 0x10, 0x00,
                                                    0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};

void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x & 0xFF));
  v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void set16(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t x) {
  v[at] = static_cast<std::uint8_t>(x & 0xFF);
  v[at + 1] = static_cast<std::uint8_t>(x >> 8);
}

std::uint16_t selector_bit(std::uint8_t selector) { return static_cast<std::uint16_t>(1u << (selector - 1)); }

ControlOutcome in_reply(std::vector<std::uint8_t> bytes, std::uint16_t length) {
  ControlOutcome o;
  o.kind = ControlOutcome::data;
  if (bytes.size() > length) bytes.resize(length);
  o.reply = std::move(bytes);
  return o;
}
ControlOutcome out_done(std::size_t written) {
  ControlOutcome o;
  o.kind = ControlOutcome::data;
  o.written = written;
  return o;
}
ControlOutcome stalled() { return ControlOutcome{}; }

VideoStream::DeviceTicks microsecond_ticks() {
  return [](std::uint64_t bus_ns) { return bus_ns / 1000; };
}

}  // namespace

UvcDevice::UvcDevice(VirtualCamera& camera, VideoStream::DeviceTicks ticks, std::uint32_t max_payload)
    : camera_(camera),
      stream_(ticks ? std::move(ticks) : microsecond_ticks()),
      max_payload_(std::clamp(max_payload, kMinPayloadTransferSize, kMaxPayloadTransferSizeLimit)) {
  reset_uvc_state();
}

void UvcDevice::reset_uvc_state() {
  probe_ = default_probe(max_payload_);
  commit_ = default_probe(max_payload_);
  committed_ = false;
  halted_ = false;
  stream_.stop();
  request_error_ = 0;
  unplug_countdown_ = -1;
}

void UvcDevice::stop_streaming() {
  committed_ = false;
  stream_.stop();
}

bool UvcDevice::set_configuration(std::uint8_t value) {
  if (value > 1) return false;
  configuration_ = value;
  halted_ = false;
  stop_streaming();
  return true;
}

bool UvcDevice::set_interface(std::uint8_t interface, std::uint8_t alt) {
  if (!alt_setting(interface) || alt != 0) return false;
  if (interface == 1) {
    halted_ = false;
    stop_streaming();
  }
  return true;
}

std::optional<std::uint8_t> UvcDevice::alt_setting(std::uint8_t interface) const {
  if (configuration_ == 0 || interface > 1) return std::nullopt;
  return std::uint8_t{0};
}

BulkOutcome UvcDevice::stream_transfer(std::size_t length, std::uint64_t bus_ns) {
  BulkOutcome o;
  if (configuration_ == 0 || halted_) {
    o.kind = BulkOutcome::stall;
    return o;
  }
  if (length == 0) {
    o.kind = BulkOutcome::data;
    return o;
  }
  if (!committed_) return o;
  if (!stream_.running()) stream_.start(format_of_probe(commit_), bus_ns);
  auto bytes = stream_.transfer(length, bus_ns);
  if (!bytes) return o;
  o.kind = BulkOutcome::data;
  o.bytes = std::move(*bytes);
  return o;
}

std::optional<std::uint64_t> UvcDevice::stream_due_ns() const {
  if (configuration_ == 0 || halted_) return std::uint64_t{0};  // every transfer stalls at once
  if (!committed_) return std::nullopt;
  if (!stream_.running()) return std::uint64_t{0};  // starts with the first transfer
  return stream_.next_due_ns();
}

bool UvcDevice::has_unit3() const {
  const auto& units = camera_.config().vendor_units;
  return std::find(units.begin(), units.end(), kVendorUnit) != units.end();
}

std::uint16_t UvcDevice::unit_controls(std::uint8_t unit) const {
  const auto& units = camera_.config().vendor_units;
  std::uint16_t bits = 0;
  if (std::find(units.begin(), units.end(), unit) != units.end()) {
    bits |= selector_bit(kSelectorAsicRegister) | selector_bit(kSelectorFlashWindow) |
            selector_bit(kSelectorRomWindow) | selector_bit(kSelectorStreamingFlash);
  }
  if (unit == kImuUnit && camera_.config().imu.present) bits |= selector_bit(kSelectorImuSample);
  return bits;
}

std::vector<std::uint8_t> UvcDevice::device_descriptor() const {
  const CameraConfig& c = camera_.config();
  std::vector<std::uint8_t> d = {18, kDescriptorDevice};
  put16(d, 0x0200);                       // USB 2.0
  d.insert(d.end(), {0xEF, 0x02, 0x01});  // miscellaneous class, interface association
  d.push_back(static_cast<std::uint8_t>(kControlMaxPacket));
  put16(d, c.vid);
  put16(d, c.pid);
  put16(d, 0x0100);                 // device release
  d.insert(d.end(), {1, 2, 3, 1});  // manufacturer, product, serial strings; one configuration
  return d;
}

std::vector<std::uint8_t> UvcDevice::device_qualifier_descriptor() const {
  std::vector<std::uint8_t> d = {10, kDescriptorDeviceQualifier};
  put16(d, 0x0200);
  d.insert(d.end(), {0xEF, 0x02, 0x01});
  d.push_back(static_cast<std::uint8_t>(kControlMaxPacket));
  d.insert(d.end(), {1, 0});  // one configuration, reserved
  return d;
}

std::vector<std::uint8_t> UvcDevice::configuration_descriptor() const {
  return configuration_descriptor(kDescriptorConfiguration, kBulkMaxPacket);
}

std::vector<std::uint8_t> UvcDevice::other_speed_configuration_descriptor() const {
  return configuration_descriptor(kDescriptorOtherSpeedConfiguration, kFullSpeedBulkMaxPacket);
}

std::vector<std::uint8_t> UvcDevice::configuration_descriptor(std::uint8_t type, std::uint16_t bulk_max_packet) const {
  std::vector<std::uint8_t> d = {9, type, 0, 0, 2, 1, 0, 0x80, 250};
  // Interface association: video interface collection of interfaces 0 and 1.
  d.insert(d.end(), {8, 0x0B, 0, 2, 0x0E, 0x03, 0x00, 2});
  // Interface 0: video control, no endpoints.
  d.insert(d.end(), {9, 0x04, 0, 0, 0, 0x0E, 0x01, 0x00, 2});

  // Class-specific video-control descriptors.
  std::vector<std::uint8_t> vc = {13, kCsInterface, 0x01};
  put16(vc, 0x0100);  // UVC 1.00
  put16(vc, 0);       // total length, set below
  put32(vc, kDeviceClockHz);
  vc.insert(vc.end(), {1, 1});  // one streaming interface: 1
  // Camera terminal (UVC 1.00: two bytes of controls, none offered).
  vc.insert(vc.end(), {17, kCsInterface, 0x02, kCameraTerminal});
  put16(vc, 0x0201);
  vc.insert(vc.end(), {0, 0});
  put16(vc, 0);
  put16(vc, 0);
  put16(vc, 0);
  vc.insert(vc.end(), {2, 0, 0});
  std::uint8_t source = kCameraTerminal;
  auto extension_unit = [&](std::uint8_t unit, const std::array<std::uint8_t, 16>& guid) {
    const std::uint16_t bits = unit_controls(unit);
    std::uint8_t count = 0;
    for (int i = 0; i < 16; ++i) count = static_cast<std::uint8_t>(count + ((bits >> i) & 1));
    vc.insert(vc.end(), {27, kCsInterface, 0x06, unit});
    vc.insert(vc.end(), guid.begin(), guid.end());
    vc.insert(vc.end(), {count, 1, source, 2});
    put16(vc, bits);
    vc.push_back(0);
    source = unit;
  };
  if (has_unit3()) extension_unit(kVendorUnit, kUnit3Guid);
  extension_unit(kImuUnit, kUnit4Guid);
  vc.insert(vc.end(), {9, kCsInterface, 0x03, kOutputTerminal});
  put16(vc, 0x0101);  // USB streaming
  vc.insert(vc.end(), {0, source, 0});
  set16(vc, 5, static_cast<std::uint16_t>(vc.size()));
  d.insert(d.end(), vc.begin(), vc.end());

  // Interface 1: video streaming with one bulk endpoint; the input header
  // (one bmaControls byte per format, no controls), then each format with
  // its frames: YUYV (uncompressed) and Motion-JPEG, the same sizes and
  // intervals.
  d.insert(d.end(), {9, 0x04, 1, 0, 1, 0x0E, 0x02, 0x00, 0});
  std::vector<std::uint8_t> vs = {static_cast<std::uint8_t>(13 + kFormatCount), kCsInterface, 0x01, kFormatCount};
  put16(vs, 0);  // total length, set below
  vs.insert(vs.end(), {kStreamingEndpoint, 0, kOutputTerminal, 0, 0, 0, 1});
  vs.insert(vs.end(), kFormatCount, 0);
  const auto& sizes = frame_sizes();
  const auto frame_count = static_cast<std::uint8_t>(sizes.size());
  for (std::uint8_t format = 1; format <= kFormatCount; ++format) {
    if (format == kFormatYuyv) {
      vs.insert(vs.end(), {27, kCsInterface, kVsFormatUncompressed, format, frame_count});
      vs.insert(vs.end(), kYuy2Guid.begin(), kYuy2Guid.end());
      vs.insert(vs.end(), {16, kDefaultFrameIndex, 0, 0, 0, 0});
    } else {
      // bmFlags 0: the frames' lengths vary.
      vs.insert(vs.end(), {11, kCsInterface, kVsFormatMjpeg, format, frame_count, 0, kDefaultFrameIndex, 0, 0, 0, 0});
    }
    const std::uint8_t frame_subtype = format == kFormatYuyv ? kVsFrameUncompressed : kVsFrameMjpeg;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const FrameSize& f = sizes[i];
      // For MJPEG the bit rates bound the encoder's worst case.
      const std::uint32_t bytes = max_frame_bytes(format, f);
      const std::uint32_t fastest = f.intervals.front();
      vs.insert(vs.end(), {static_cast<std::uint8_t>(26 + 4 * f.intervals.size()), kCsInterface, frame_subtype,
                           static_cast<std::uint8_t>(i + 1), 0});
      put16(vs, f.width);
      put16(vs, f.height);
      put32(vs, static_cast<std::uint32_t>(std::uint64_t{bytes} * 8 * 10000000 / f.intervals.back()));  // min bit rate
      put32(vs, static_cast<std::uint32_t>(std::uint64_t{bytes} * 8 * 10000000 / fastest));             // max bit rate
      put32(vs, bytes);                                                                                 // largest frame
      put32(vs, fastest);  // default interval
      vs.push_back(static_cast<std::uint8_t>(f.intervals.size()));
      for (std::uint32_t interval : f.intervals) put32(vs, interval);
    }
  }
  set16(vs, 4, static_cast<std::uint16_t>(vs.size()));
  d.insert(d.end(), vs.begin(), vs.end());
  d.insert(d.end(), {7, 0x05, kStreamingEndpoint, 0x02});
  put16(d, bulk_max_packet);
  d.push_back(0);

  set16(d, 2, static_cast<std::uint16_t>(d.size()));
  return d;
}

std::vector<std::uint8_t> UvcDevice::string_descriptor(std::uint8_t index) const {
  const CameraConfig& c = camera_.config();
  if (index == 0) return {4, kDescriptorString, 0x09, 0x04};  // English (United States)
  const std::string* text = nullptr;
  if (index == 1) text = &c.vendor;
  if (index == 2) text = &c.model;
  if (index == 3) text = &c.serial;
  if (text == nullptr) return {};
  const std::size_t chars = std::min<std::size_t>(text->size(), 126);
  std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * chars), kDescriptorString};
  for (std::size_t i = 0; i < chars; ++i) {
    d.push_back(static_cast<std::uint8_t>((*text)[i]));
    d.push_back(0);
  }
  return d;
}

ControlOutcome UvcDevice::control(const Setup& s, const std::vector<std::uint8_t>& out) {
  const std::uint8_t type = s.request_type & 0x60;
  const std::uint8_t recipient = s.request_type & 0x1F;
  if (type == 0x00) return standard(s);
  if (type == 0x40 && recipient == 0 && s.request == kHarnessRequest) return harness(s);
  if (type == 0x20 && recipient == kRecipientInterface && configuration_ != 0) {
    const std::uint8_t interface = static_cast<std::uint8_t>(s.index & 0xFF);
    if (interface == 1) return streaming(s, out);
    if (interface == 0) return extension_unit(s, out);
  }
  return stalled();
}

ControlOutcome UvcDevice::standard(const Setup& s) {
  const bool in = (s.request_type & 0x80) != 0;
  const std::uint8_t recipient = s.request_type & 0x1F;
  if (in && s.request == kGetDescriptor && recipient == kRecipientDevice) {
    const std::uint8_t kind = static_cast<std::uint8_t>(s.value >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(s.value & 0xFF);
    std::vector<std::uint8_t> d;
    if (kind == kDescriptorDevice) d = device_descriptor();
    if (kind == kDescriptorConfiguration && index == 0) d = configuration_descriptor();
    if (kind == kDescriptorString) d = string_descriptor(index);
    if (kind == kDescriptorDeviceQualifier) d = device_qualifier_descriptor();
    if (kind == kDescriptorOtherSpeedConfiguration && index == 0) d = other_speed_configuration_descriptor();
    if (d.empty()) return stalled();
    return in_reply(std::move(d), s.length);
  }
  if (in && s.request == kGetStatus) return get_status(s);
  if (!in && (s.request == kClearFeature || s.request == kSetFeature)) return feature(s);
  if (!in && s.request == kSetConfiguration && recipient == kRecipientDevice) {
    return set_configuration(static_cast<std::uint8_t>(s.value & 0xFF)) ? out_done(0) : stalled();
  }
  if (in && s.request == kGetConfiguration && recipient == kRecipientDevice)
    return in_reply({configuration_}, s.length);
  const std::uint8_t interface = static_cast<std::uint8_t>(s.index & 0xFF);
  if (!in && s.request == kSetInterface && recipient == kRecipientInterface) {
    return set_interface(interface, static_cast<std::uint8_t>(s.value & 0xFF)) ? out_done(0) : stalled();
  }
  if (in && s.request == kGetInterface && recipient == kRecipientInterface) {
    const auto alt = alt_setting(interface);
    return alt ? in_reply({*alt}, s.length) : stalled();
  }
  return stalled();
}

ControlOutcome UvcDevice::get_status(const Setup& s) const {
  const std::uint8_t recipient = s.request_type & 0x1F;
  const std::uint8_t endpoint = static_cast<std::uint8_t>(s.index & 0xFF);
  switch (recipient) {
    case kRecipientDevice:
      return in_reply({0, 0}, s.length);  // bus-powered, remote wakeup not enabled
    case kRecipientInterface:
      return alt_setting(static_cast<std::uint8_t>(s.index & 0xFF)) ? in_reply({0, 0}, s.length) : stalled();
    case kRecipientEndpoint:
      // The default pipe's halt clears itself with the next SETUP, this one.
      if ((endpoint & 0x7F) == 0) return in_reply({0, 0}, s.length);
      if (endpoint == kStreamingEndpoint && configuration_ != 0) {
        return in_reply({static_cast<std::uint8_t>(halted_ ? 1 : 0), 0}, s.length);
      }
      return stalled();
    default:
      return stalled();
  }
}

ControlOutcome UvcDevice::feature(const Setup& s) {
  const std::uint8_t recipient = s.request_type & 0x1F;
  const std::uint8_t endpoint = static_cast<std::uint8_t>(s.index & 0xFF);
  // The only feature the device has is its endpoints' halt: no remote
  // wakeup (the configuration does not offer it), no test modes, no
  // interface features.
  if (recipient != kRecipientEndpoint || s.value != kFeatureEndpointHalt) return stalled();
  if ((endpoint & 0x7F) == 0) return out_done(0);
  if (endpoint != kStreamingEndpoint || configuration_ == 0) return stalled();
  if (s.request == kSetFeature) {
    halted_ = true;
  } else {
    // Clearing the halt restarts the endpoint (its data toggle with it); it
    // is also how a host stops a bulk video stream.
    halted_ = false;
    stop_streaming();
  }
  return out_done(0);
}

ControlOutcome UvcDevice::streaming(const Setup& s, const std::vector<std::uint8_t>& out) {
  const bool probe = s.value == kProbeControl;
  if (!probe && s.value != kCommitControl) return stalled();
  if (s.request_type == kRequestTypeClassOut) {
    if (s.request != kSetCur || out.size() < kProbeLength || out.size() > kProbeLengthMax) return stalled();
    std::vector<std::uint8_t> v = negotiate_probe(out, max_payload_);
    if (probe) {
      probe_ = v;
    } else {
      // A new commit restarts the stream at what it describes.
      commit_ = v;
      committed_ = true;
      stream_.stop();
    }
    return out_done(out.size());
  }
  if (s.request_type != kRequestTypeClassIn) return stalled();
  switch (s.request) {
    case kGetLen:
      return in_reply({static_cast<std::uint8_t>(kProbeLength), 0}, s.length);
    case kGetInfo:
      return in_reply({0x03}, s.length);  // GET and SET supported
    case kGetCur:
    case kGetMin:
    case kGetMax:
    case kGetDef:
    case kGetRes: {
      if (s.length < kProbeLength || s.length > kProbeLengthMax) return stalled();
      std::vector<std::uint8_t> v;
      const std::vector<std::uint8_t>& current = probe ? probe_ : commit_;
      if (s.request == kGetCur) v = current;
      if (s.request == kGetDef) v = default_probe(max_payload_);
      if (s.request == kGetMin || s.request == kGetMax)
        v = probe_limit(current[2], current[3], s.request == kGetMax, max_payload_);
      if (s.request == kGetRes) v.assign(kProbeLength, 0);
      v.resize(s.length, 0);
      return in_reply(std::move(v), s.length);
    }
    default:
      return stalled();
  }
}

ControlOutcome UvcDevice::extension_unit(const Setup& s, const std::vector<std::uint8_t>& out) {
  const std::uint8_t unit = static_cast<std::uint8_t>(s.index >> 8);
  if (unit == 0) {
    // The interface's request error code control: what went wrong with the
    // last stalled request.
    if (s.request_type == kRequestTypeClassIn && s.request == kGetCur && s.value == kRequestErrorCodeControl &&
        s.length == 1) {
      return in_reply({request_error_}, s.length);
    }
    request_error_ = kErrorInvalidRequest;
    return stalled();
  }
  if (unplug_countdown_ > 0 && --unplug_countdown_ == 0) {
    unplug_countdown_ = -1;
    camera_.unplug();
  }
  std::vector<std::uint8_t> buffer(s.length, 0);
  const bool is_out = (s.request_type & 0x80) == 0;
  if (is_out) std::copy(out.begin(), out.begin() + std::min<std::size_t>(out.size(), s.length), buffer.begin());
  const int r = camera_.control_transfer(s.request_type, s.request, s.value, s.index,
                                         s.length ? buffer.data() : nullptr, s.length);
  if (r == LIBUSB_ERROR_NO_DEVICE || !camera_.attached()) {
    ControlOutcome o;
    o.kind = ControlOutcome::gone;
    return o;
  }
  if (r < 0) {
    request_error_ = kErrorInvalidControl;
    return stalled();
  }
  request_error_ = 0;
  if (is_out) return out_done(static_cast<std::size_t>(r));
  buffer.resize(static_cast<std::size_t>(r));
  return in_reply(std::move(buffer), s.length);
}

ControlOutcome UvcDevice::harness(const Setup& s) {
  if (s.request_type & 0x80) return stalled();
  switch (static_cast<HarnessCommand>(s.value)) {
    case HarnessCommand::save_flash:
      save_requested_ = true;
      return out_done(0);
    case HarnessCommand::unplug_after:
      if (s.index == 0) return stalled();
      unplug_countdown_ = s.index;
      return out_done(0);
    case HarnessCommand::unplug_now:
      unplug_requested_ = true;
      return out_done(0);
  }
  return stalled();
}

bool UvcDevice::take_save_request() { return std::exchange(save_requested_, false); }
bool UvcDevice::take_unplug_request() { return std::exchange(unplug_requested_, false); }

}  // namespace morvane::emulator::usbredir
