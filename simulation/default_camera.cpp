#include "simulation/default_camera.hpp"

#include <algorithm>

#include "emulator/firmware_image.hpp"
#include "emulator/simulated_camera.hpp"
#include "morvane/uvc_stereo/flash.hpp"

namespace morvane::simulation {
namespace {

constexpr std::uint32_t kCalibrationAddress = 0x51000;

// A calibration document as a factory would store it (the one the
// command-line tool's simulated camera carries).
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

}  // namespace

emulator::CameraConfig default_camera_config() { return emulator::simulated_camera_config(); }

bool factory_flash(const emulator::CameraConfig& config, std::vector<std::uint8_t>& flash, std::string& error) {
  emulator::FirmwareImageOptions options;
  options.chip_id = config.chip_id;
  options.rom_row = config.rom_row;
  options.vid = config.vid;
  options.pid = config.pid;
  options.product = "Stereo Camera";
  options.manufacturer = config.vendor;
  options.serial_number = config.serial;
  // Build, release, product and date-time fields of a plausible firmware.
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

}  // namespace morvane::simulation
