#include "support/virtual_camera_fixture.hpp"

#include <sstream>
#include <stdexcept>

#include "emulator/firmware_image.hpp"

namespace morvane::testing {

std::vector<std::uint8_t> default_firmware_image() {
  const emulator::CameraConfig config;  // the model's defaults are the default camera's
  emulator::FirmwareImageOptions options;
  options.chip_id = config.chip_id;
  options.rom_row = config.rom_row;
  options.vid = config.vid;
  options.pid = config.pid;
  options.product = config.model;
  options.manufacturer = config.vendor;
  options.serial_number = config.serial;
  std::string error;
  auto image = emulator::build_firmware_image(options, &error);
  if (!image) throw std::logic_error("default firmware image cannot be built: " + error);
  return image->bytes;
}

emulator::CameraConfig default_camera_config() { return default_camera_config(0); }

uvc_stereo::DeviceInfo camera_record(const emulator::CameraConfig& config) {
  uvc_stereo::DeviceInfo info;
  info.vid = config.vid;
  info.pid = config.pid;
  info.bus_number = config.bus_number;
  info.device_address = config.device_address;
  info.serial = config.serial;
  info.video_node = "/dev/video" + std::to_string(config.capture_node);
  return info;
}

emulator::CameraConfig default_camera_config(std::size_t index) {
  static const std::vector<std::uint8_t> kImage = default_firmware_image();
  emulator::CameraConfig config;
  config.flash.contents = kImage;
  if (index > 0) {
    const auto n = static_cast<int>(index);
    config.serial = "SN" + std::to_string(1001 + n);
    config.bus_number = static_cast<std::uint8_t>(1 + n);
    config.usb_path = "platform-xhci-hcd." + std::to_string(n) + "-usb-0:1:1.0";
    config.capture_node = 2 * n;
    config.metadata_node = 2 * n + 1;
  }
  return config;
}

VirtualCameraRig::VirtualCameraRig() : VirtualCameraRig(std::vector<emulator::CameraConfig>{default_camera_config()}) {}

VirtualCameraRig::VirtualCameraRig(const std::vector<emulator::CameraConfig>& configs) : installed_(platform_) {
  for (const auto& config : configs) platform_.add_camera(config);
}

VirtualCameraRig::~VirtualCameraRig() = default;

::testing::AssertionResult VirtualCameraRig::clean() const {
  std::ostringstream problems;
  if (const auto n = platform_.open_handle_count()) problems << n << " USB handle(s) open; ";
  if (const auto n = platform_.outstanding_device_lists()) problems << n << " device list(s) not freed; ";
  if (const auto n = platform_.usb_context_refs()) problems << n << " usb_init call(s) without usb_exit; ";
  if (const auto n = platform_.open_video_fd_count()) problems << n << " video descriptor(s) open; ";
  if (const auto n = platform_.mapped_video_buffer_count()) problems << n << " video buffer(s) mapped; ";
  if (const auto n = platform_.open_lock_count()) problems << n << " camera lock(s) held; ";
  if (const auto n = platform_.unclosed_command_count()) problems << n << " command stream(s) never closed; ";
  for (const auto& overlap : platform_.overlaps())
    problems << "camera " << overlap.camera << ": " << overlap.description << "; ";
  for (const auto& misuse : platform_.misuses()) problems << misuse << "; ";
  const std::string text = problems.str();
  if (text.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << text;
}

}  // namespace morvane::testing
