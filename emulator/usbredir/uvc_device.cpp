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
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;

// UVC class-specific values.
constexpr std::uint8_t kCsInterface = 0x24;
constexpr std::uint8_t kGetMin = 0x82;
constexpr std::uint8_t kGetMax = 0x83;
constexpr std::uint8_t kGetRes = 0x84;
constexpr std::uint8_t kGetDef = 0x87;
constexpr std::uint16_t kProbeControl = 0x0100;
constexpr std::uint16_t kCommitControl = 0x0200;
constexpr std::uint16_t kRequestErrorCodeControl = 0x0200;  // on the video-control interface itself
constexpr std::size_t kProbeLength = 26;                    // UVC 1.00 probe/commit structure
constexpr std::size_t kProbeLengthMax = 34;                 // UVC 1.10 adds 8 bytes; accepted, answered as zeros
constexpr std::uint8_t kErrorInvalidControl = 0x06;
constexpr std::uint8_t kErrorInvalidRequest = 0x07;

constexpr std::uint8_t kCameraTerminal = 1;
constexpr std::uint8_t kVendorUnit = 3;
constexpr std::uint8_t kOutputTerminal = 5;

constexpr std::uint16_t kWidth = 640;
constexpr std::uint16_t kHeight = 480;
constexpr std::uint32_t kFrameBytes = kWidth * kHeight * 2;
constexpr std::uint32_t kFrameInterval = 333333;  // 30 frames per second, in 100 ns units
constexpr std::uint32_t kBitRate = kFrameBytes * 8 * 30;
constexpr std::uint32_t kPayloadTransferSize = 32768;

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
void set32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
}
std::uint32_t get32(const std::vector<std::uint8_t>& v, std::size_t at) {
  return static_cast<std::uint32_t>(v[at]) | static_cast<std::uint32_t>(v[at + 1]) << 8 |
         static_cast<std::uint32_t>(v[at + 2]) << 16 | static_cast<std::uint32_t>(v[at + 3]) << 24;
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

std::vector<std::uint8_t> default_probe() {
  std::vector<std::uint8_t> p(kProbeLength, 0);
  p[2] = 1;  // bFormatIndex
  p[3] = 1;  // bFrameIndex
  set32(p, 4, kFrameInterval);
  set32(p, 18, kFrameBytes);
  set32(p, 22, kPayloadTransferSize);
  return p;
}

}  // namespace

UvcDevice::UvcDevice(VirtualCamera& camera) : camera_(camera) { reset_uvc_state(); }

void UvcDevice::reset_uvc_state() {
  probe_ = default_probe();
  commit_ = default_probe();
  committed_ = false;
  request_error_ = 0;
  unplug_countdown_ = -1;
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

std::vector<std::uint8_t> UvcDevice::configuration_descriptor() const {
  std::vector<std::uint8_t> d = {9, kDescriptorConfiguration, 0, 0, 2, 1, 0, 0x80, 250};
  // Interface association: video interface collection of interfaces 0 and 1.
  d.insert(d.end(), {8, 0x0B, 0, 2, 0x0E, 0x03, 0x00, 2});
  // Interface 0: video control, no endpoints.
  d.insert(d.end(), {9, 0x04, 0, 0, 0, 0x0E, 0x01, 0x00, 2});

  // Class-specific video-control descriptors.
  std::vector<std::uint8_t> vc = {13, kCsInterface, 0x01};
  put16(vc, 0x0100);  // UVC 1.00
  put16(vc, 0);       // total length, set below
  put32(vc, 48000000);
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

  // Interface 1: video streaming with one bulk endpoint.
  d.insert(d.end(), {9, 0x04, 1, 0, 1, 0x0E, 0x02, 0x00, 0});
  std::vector<std::uint8_t> vs = {14, kCsInterface, 0x01, 1};
  put16(vs, 0);  // total length, set below
  vs.insert(vs.end(), {kStreamingEndpoint, 0, kOutputTerminal, 0, 0, 0, 1, 0});
  vs.insert(vs.end(), {27, kCsInterface, 0x04, 1, 1});
  vs.insert(vs.end(), kYuy2Guid.begin(), kYuy2Guid.end());
  vs.insert(vs.end(), {16, 1, 0, 0, 0, 0});
  vs.insert(vs.end(), {30, kCsInterface, 0x05, 1, 0});
  put16(vs, kWidth);
  put16(vs, kHeight);
  put32(vs, kBitRate);
  put32(vs, kBitRate);
  put32(vs, kFrameBytes);
  put32(vs, kFrameInterval);
  vs.push_back(1);
  put32(vs, kFrameInterval);
  set16(vs, 4, static_cast<std::uint16_t>(vs.size()));
  d.insert(d.end(), vs.begin(), vs.end());
  d.insert(d.end(), {7, 0x05, kStreamingEndpoint, 0x02});
  put16(d, kBulkMaxPacket);
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
  if (type == 0x20 && recipient == 1) {
    const std::uint8_t interface = static_cast<std::uint8_t>(s.index & 0xFF);
    if (interface == 1) return streaming(s, out);
    if (interface == 0) return extension_unit(s, out);
  }
  return stalled();
}

ControlOutcome UvcDevice::standard(const Setup& s) {
  const bool in = (s.request_type & 0x80) != 0;
  if (in && s.request == kGetDescriptor && (s.request_type & 0x1F) == 0) {
    const std::uint8_t kind = static_cast<std::uint8_t>(s.value >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(s.value & 0xFF);
    std::vector<std::uint8_t> d;
    if (kind == kDescriptorDevice) d = device_descriptor();
    if (kind == kDescriptorConfiguration && index == 0) d = configuration_descriptor();
    if (kind == kDescriptorString) d = string_descriptor(index);
    if (d.empty()) return stalled();
    return in_reply(std::move(d), s.length);
  }
  if (in && s.request == kGetStatus) return in_reply({0, 0}, s.length);
  if (!in && (s.request == kClearFeature || s.request == kSetFeature)) return out_done(0);
  return stalled();
}

ControlOutcome UvcDevice::streaming(const Setup& s, const std::vector<std::uint8_t>& out) {
  const bool probe = s.value == kProbeControl;
  if (!probe && s.value != kCommitControl) return stalled();
  if (s.request_type == kRequestTypeClassOut) {
    if (s.request != kSetCur || out.size() < kProbeLength || out.size() > kProbeLengthMax) return stalled();
    std::vector<std::uint8_t> v(out.begin(), out.begin() + kProbeLength);
    // The device has one format and one frame; it settles the rest itself.
    v[2] = 1;
    v[3] = 1;
    if (get32(v, 4) == 0) set32(v, 4, kFrameInterval);
    set32(v, 18, kFrameBytes);
    set32(v, 22, kPayloadTransferSize);
    if (probe) {
      probe_ = v;
    } else {
      commit_ = v;
      committed_ = true;
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
      std::vector<std::uint8_t> v = s.request == kGetCur ? (probe ? probe_ : commit_) : default_probe();
      if (s.request == kGetRes) std::fill(v.begin(), v.end(), 0);
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
