// The simulated camera behind --simulate: a virtual camera with a firmware
// image, a calibration document and a moving IMU, whose flash lives in a
// state file between runs.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "emulator/firmware_image.hpp"
#include "emulator/simulated_camera.hpp"
#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "tool.hpp"

namespace morvane::tool {
namespace {

constexpr std::size_t kFlashSize = 1u << 20;
constexpr std::uint32_t kCalibrationAddress = 0x51000;

// A calibration document as a factory would store it.
constexpr const char* kFactoryCalibration = R"({
  "format": "morvane-stereo-calibration",
  "version": 1,
  "serial": "SIM0001",
  "image_size": [1280, 800],
  "left": {
    "camera_matrix": [[612.4, 0.0, 641.2], [0.0, 612.9, 398.7], [0.0, 0.0, 1.0]],
    "distortion": [-0.0412, 0.0127, 0.00031, -0.00018, -0.0021]
  },
  "right": {
    "camera_matrix": [[611.8, 0.0, 638.9], [0.0, 612.2, 401.3], [0.0, 0.0, 1.0]],
    "distortion": [-0.0398, 0.0119, 0.00027, -0.00022, -0.0019]
  },
  "extrinsics": {
    "rotation": [[0.99998, -0.00112, 0.00587], [0.00114, 0.99999, -0.00341], [-0.00587, 0.00342, 0.99998]],
    "translation_m": [-0.05002, 0.00011, -0.00043]
  },
  "imu": {
    "accel_bias_g": [0.0012, -0.0008, 0.0021],
    "gyro_bias_dps": [0.11, -0.07, 0.02],
    "imu_to_left_camera": [[0, -1, 0, 0.012], [1, 0, 0, -0.004], [0, 0, 1, 0.001], [0, 0, 0, 1]]
  }
})";

bool initial_flash(const emulator::CameraConfig& config, std::vector<std::uint8_t>& flash, std::string& error) {
  emulator::FirmwareImageOptions options;
  options.chip_id = config.chip_id;
  options.rom_row = config.rom_row;
  options.vid = config.vid;
  options.pid = config.pid;
  options.product = "Stereo Camera";
  options.manufacturer = config.vendor;
  options.serial_number = config.serial;
  // Field 4, field 2, field 1 and field 3 back to back: build, release,
  // product and date-time fields of a plausible firmware.
  options.version_text =
      "23062"
      "2606030001"
      "STEREOCAM1"
      "2412150930";
  auto image = emulator::build_firmware_image(options, &error);
  if (!image) return false;
  flash.assign(kFlashSize, 0xFF);
  std::copy(image->bytes.begin(), image->bytes.end(), flash.begin());

  auto document = uvc_stereo::minify_and_validate_json(kFactoryCalibration);
  if (!document.ok()) {
    error = "built-in calibration: " + document.message;
    return false;
  }
  auto blob = uvc_stereo::build_blob(0, std::vector<std::uint8_t>(document.value->begin(), document.value->end()),
                                     uvc_stereo::FlashConfig{});
  if (!blob.ok()) {
    error = "built-in calibration: " + blob.message;
    return false;
  }
  std::copy(blob.value->raw.begin(), blob.value->raw.end(), flash.begin() + kCalibrationAddress);
  return true;
}

}  // namespace

struct Simulation::Impl {
  std::string state_file;
  emulator::VirtualPlatform platform;
  std::unique_ptr<uvc_stereo::platform::ScopedPlatform> installed;
};

std::string default_state_file() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::string dir = state && *state ? std::string(state) : std::string(home && *home ? home : "/tmp") + "/.local/state";
  return dir + "/morvane-uvc-stereo/simulated-camera.flash";
}

std::unique_ptr<Simulation> Simulation::start(const std::string& state_file, std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->state_file = state_file;
  auto config = emulator::simulated_camera_config();

  struct stat st {};
  if (::stat(state_file.c_str(), &st) != 0) {
    if (!initial_flash(config, config.flash.contents, error)) return nullptr;
  } else {
    std::vector<std::uint8_t> flash;
    if (!read_file(state_file, flash, error)) return nullptr;
    if (flash.size() != kFlashSize) {
      error = state_file + " is not a simulated camera's flash (expected " + std::to_string(kFlashSize) + " bytes)";
      return nullptr;
    }
    config.flash.contents = std::move(flash);
  }
  config.flash.size_bytes = kFlashSize;
  impl->platform.add_camera(config);
  impl->installed = std::make_unique<uvc_stereo::platform::ScopedPlatform>(impl->platform);
  return std::unique_ptr<Simulation>(new Simulation(std::move(impl)));
}

Simulation::Simulation(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Simulation::~Simulation() = default;

const std::string& Simulation::state_file() const { return impl_->state_file; }

void Simulation::advance_ms(double ms) { impl_->platform.clock().advance_ns(static_cast<std::uint64_t>(ms * 1e6)); }

bool Simulation::save(std::string& error) {
  auto contents = impl_->platform.camera(0).flash_contents(0, kFlashSize);
  // Create the state directory on first use.
  std::string dir = impl_->state_file.substr(0, impl_->state_file.find_last_of('/'));
  if (!dir.empty() && dir != impl_->state_file) {
    std::string partial;
    for (std::size_t pos = 1; pos != std::string::npos; pos = dir.find('/', pos + 1)) {
      partial = dir.substr(0, pos);
      if (!partial.empty()) ::mkdir(partial.c_str(), 0755);
    }
    ::mkdir(dir.c_str(), 0755);
  }
  return write_file(impl_->state_file, contents, error);
}

}  // namespace morvane::tool
