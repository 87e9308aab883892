// open_device and the Device handle: the order of checks, the rules between
// flash access and the IMU, and the closed or moved-from state.
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "api/device_impl.hpp"
#include "flash/transport.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr const char* kMsgUnknownBits = "open_device required_capabilities contains unknown bits";
constexpr const char* kMsgInvalidVidPid = "selected device has invalid vid/pid";
constexpr const char* kMsgClosed = "device is closed or moved-from";
constexpr const char* kMsgImuOpen = "IMU must be closed before flash JSON access";
constexpr const char* kMsgImuNotOpen = "IMU is not open";

// The device firmware needs this long after a flash write before the next access.
constexpr long kAfterWriteSettleMs = 100;

// What a call needs from the device's state.
enum class Need {
  open,        // any open device
  imu_closed,  // flash document access: the IMU must not be open
  imu_open,    // IMU sample reads
};

// The one place that says whether a call is allowed now; every refusal has
// code invalid_argument and one of the three texts.
Result<void> check_allowed(const Device::Impl* impl, Need need) {
  if (impl == nullptr) return Result<void>::failure(ErrorCode::invalid_argument, kMsgClosed);
  if (need == Need::imu_closed && impl->imu_reader) {
    return Result<void>::failure(ErrorCode::invalid_argument, kMsgImuOpen);
  }
  if (need == Need::imu_open && !impl->imu_reader) {
    return Result<void>::failure(ErrorCode::invalid_argument, kMsgImuNotOpen);
  }
  return Result<void>::success();
}

FlashConfig derive_flash_config(const DeviceInfo& info) {
  FlashConfig config;
  char vidpid[9];
  std::snprintf(vidpid, sizeof vidpid, "%04x%04x", static_cast<unsigned>(info.vid), static_cast<unsigned>(info.pid));
  config.vidpid.assign(vidpid, 8);
  config.auto_select = false;
  config.auto_select_vid = 0;
  config.auto_select_pid = 0;
  config.bus_number = info.bus_number;
  config.device_address = info.device_address;
  config.serial = info.serial;
  config.usb_path = info.usb_path;
  return config;
}

// A record that came through the C interface holds at most the first 255
// bytes of a longer serial.
bool same_serial(const std::string& record, const std::string& attached) {
  constexpr std::size_t kCRecordSerialBytes = 255;
  if (record.size() == kCRecordSerialBytes && attached.size() > record.size())
    return attached.compare(0, record.size(), record) == 0;
  return record == attached;
}

std::string bus_address_text(const DeviceInfo& d) {
  return "bus " + std::to_string(d.bus_number) + " address " + std::to_string(d.device_address);
}

// Every device access goes to the record's bus number and address (and the
// IMU to its video node). A record kept from an older scan can name a USB
// device or node that another camera has taken since, and would then read
// or write that camera's flash. The attached cameras are compared with the
// record, and a record they contradict is refused; one they do not mention
// (the camera is not attached, in a flash operation, or no scan works here)
// is trusted as given.
Result<void> check_record_is_current(const DeviceInfo& info) {
  if (info.serial.empty() && info.video_node.empty()) return Result<void>::success();
  Result<std::vector<DeviceInfo>> scan = scan_devices();
  if (!scan.ok()) return Result<void>::success();
  const std::string stale = ": the record is stale, scan again";
  const DeviceInfo* at = nullptr;
  for (const DeviceInfo& d : *scan.value)
    if (info.bus_number != 0 && info.device_address != 0 && d.vid == info.vid && d.pid == info.pid &&
        d.bus_number == info.bus_number && d.device_address == info.device_address)
      at = &d;
  if (at != nullptr && !info.serial.empty() && !same_serial(info.serial, at->serial)) {
    return Result<void>::failure(ErrorCode::device_unavailable,
                                 "the camera at " + bus_address_text(*at) + " has serial '" + at->serial +
                                     "', not the record's '" + info.serial + "'" + stale);
  }
  for (const DeviceInfo& d : *scan.value) {
    if (&d == at) continue;
    if (at == nullptr && info.bus_number != 0 && info.device_address != 0 && !info.serial.empty() &&
        same_serial(info.serial, d.serial) && d.vid == info.vid && d.pid == info.pid) {
      return Result<void>::failure(ErrorCode::device_unavailable,
                                   "the camera with serial '" + info.serial + "' is now at " + bus_address_text(d) +
                                       ", not at the record's " + bus_address_text(info) + stale);
    }
    if (!info.video_node.empty() && d.video_node == info.video_node) {
      return Result<void>::failure(ErrorCode::device_unavailable,
                                   "video node " + info.video_node + " belongs to another camera (serial '" + d.serial +
                                       "', " + bus_address_text(d) + ")" + stale);
    }
  }
  return Result<void>::success();
}

}  // namespace

Result<Device> open_device(const DeviceInfo& info, const OpenDeviceOptions& options) {
  if (options.required_capabilities > DeviceCapability::all) {
    return Result<Device>::failure(ErrorCode::invalid_argument, kMsgUnknownBits);
  }
  if (info.vid == 0 || info.pid == 0) return Result<Device>::failure(ErrorCode::invalid_argument, kMsgInvalidVidPid);
  Result<void> current = check_record_is_current(info);
  if (!current.ok()) return Result<Device>::forward(current);

  FlashConfig config = derive_flash_config(info);
  std::uint32_t transports = 0;
  if ((options.required_capabilities & DeviceCapability::flash_json) != 0) {
    Result<ReadJsonResult> document = read_flash_json(config);
    if (!document.ok()) return Result<Device>::forward(document);
    transports = DeviceCapability::flash | DeviceCapability::flash_json;
  } else if ((options.required_capabilities & DeviceCapability::flash) != 0) {
    Result<void> probed = probe_flash_transport(config);
    if (!probed.ok()) return Result<Device>::forward(probed);
    transports = DeviceCapability::flash;
  }
  // The imu bit is checked when the IMU is opened, not here.
  return Result<Device>::success(Device(std::make_unique<Device::Impl>(info, std::move(config), transports)));
}

Device::Device() noexcept = default;
Device::Device(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
Device::Device(Device&&) noexcept = default;
// unique_ptr's move assignment takes over the source's Impl first, then
// destroys the one held before (closing its IMU node if open).
Device& Device::operator=(Device&&) noexcept = default;
Device::~Device() = default;

const DeviceInfo& Device::info() const {
  static const DeviceInfo kEmpty{};
  return impl_ ? impl_->info : kEmpty;
}

bool Device::is_connected() const {
  if (!impl_) return false;
  const DeviceInfo& info = impl_->info;
  if (info.bus_number != 0 && info.device_address != 0) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", static_cast<unsigned>(info.bus_number),
                  static_cast<unsigned>(info.device_address));
    return platform::current().path_exists(node);
  }
  return !info.video_node.empty() && platform::current().path_exists(info.video_node);
}

bool Device::has_flash_transport() const { return impl_ && (impl_->transports & DeviceCapability::flash) != 0; }

bool Device::has_imu_transport() const { return impl_ && (impl_->transports & DeviceCapability::imu) != 0; }

Result<ReadJsonResult> Device::read_json() {
  Result<void> allowed = check_allowed(impl_.get(), Need::imu_closed);
  if (!allowed.ok()) return Result<ReadJsonResult>::forward(allowed);
  return read_flash_json(impl_->flash_config);
}

Result<FastJsonResult> Device::read_json(const FastReadOptions& options) {
  Result<void> allowed = check_allowed(impl_.get(), Need::imu_closed);
  if (!allowed.ok()) return Result<FastJsonResult>::forward(allowed);
  return read_flash_json_fast(impl_->flash_config, options);
}

Result<FlashBlob> Device::read_blob() {
  Result<void> allowed = check_allowed(impl_.get(), Need::imu_closed);
  if (!allowed.ok()) return Result<FlashBlob>::forward(allowed);
  return read_blob_from_device(impl_->flash_config);
}

Result<void> Device::write_json(std::string_view json) {
  Result<void> allowed = check_allowed(impl_.get(), Need::imu_closed);
  if (!allowed.ok()) return allowed;
  Result<std::string> compact = minify_and_validate_json(json);
  if (!compact.ok()) return Result<void>::forward(compact);
  const std::vector<std::uint8_t> payload(compact.value->begin(), compact.value->end());
  Result<FlashBlob> blob = build_blob(0, payload, impl_->flash_config);
  if (!blob.ok()) return Result<void>::forward(blob);
  Result<void> written = write_blob_to_device(impl_->flash_config, *blob.value);
  if (written.ok()) platform::sleep_ms(kAfterWriteSettleMs);
  return written;
}

Result<void> Device::open_imu() {
  Result<void> allowed = check_allowed(impl_.get(), Need::open);
  if (!allowed.ok()) return allowed;
  if (impl_->imu_reader) return Result<void>::success();
  Result<void> supported = detail::ensure_imu_supported_by_firmware(impl_->info, impl_->flash_config);
  if (!supported.ok()) return supported;
  Result<detail::ImuReader> reader = detail::open_imu_platform(impl_->info);
  if (!reader.ok()) return Result<void>::forward(reader);
  impl_->imu_reader = std::make_unique<detail::ImuReader>(std::move(*reader.value));
  impl_->transports |= DeviceCapability::imu;
  return Result<void>::success();
}

Result<ReadImuResult> Device::read_imu() {
  Result<void> allowed = check_allowed(impl_.get(), Need::imu_open);
  if (!allowed.ok()) return Result<ReadImuResult>::forward(allowed);
  return impl_->imu_reader->read();
}

bool Device::is_imu_open() const noexcept { return impl_ && impl_->imu_reader; }

Result<void> Device::close_imu() {
  Result<void> allowed = check_allowed(impl_.get(), Need::open);
  if (!allowed.ok()) return allowed;
  impl_->imu_reader.reset();  // closes the video node
  return Result<void>::success();
}

}  // namespace morvane::uvc_stereo
