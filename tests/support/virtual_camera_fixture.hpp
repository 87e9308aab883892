// Test helpers that plug virtual cameras into a virtual platform and install
// it as the SDK's operating system for the lifetime of a test.
//
//   TEST_F(VirtualCameraTest, ReadsFirmware) {
//     auto& cam = camera();            // one default camera, already installed
//     ... call the SDK ...
//     EXPECT_TRUE(platform().overlaps().empty());
//   }
//
// or, for other set-ups, a VirtualCameraRig of one's own:
//
//   auto config = morvane::testing::default_camera_config();
//   config.chip_id = 0x85;
//   morvane::testing::VirtualCameraRig rig({config});
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/virtual_camera.hpp"
#include "emulator/virtual_platform.hpp"
#include "morvane/uvc_stereo/types.hpp"
#include "platform/platform.hpp"

namespace morvane::testing {

// The firmware version text (field 1) the default firmware image carries.
inline constexpr const char* kDefaultFirmwareVersion = "2606030001";
// The vid/pid text of the default camera.
inline constexpr const char* kDefaultVidPid = "0c450643";

// A camera that supports everything the SDK needs: vid 0x0c45, pid 0x0643
// on bus 1 address 4, controller chip 0x83 (register map 0) with the
// "256R0" ROM generation (hardware command registers, no streaming flash),
// vendor controls on extension unit 3, a Winbond-id 1 MiB serial flash
// holding a firmware image whose version text contains "2606030001", one
// sensor at bus address 0x20 (16-bit register addresses, 8-bit values), a
// still IMU, video nodes /dev/video0 (capture) and /dev/video1 (metadata),
// and uvcvideo bound to interface 0.
emulator::CameraConfig default_camera_config();

// The same camera as a second unit: another serial, bus 2, video nodes 2
// and 3 (index 1), and so on for higher indexes.
emulator::CameraConfig default_camera_config(std::size_t index);

// The record a scan gives for that camera as it is plugged in: its USB ids,
// bus number and address, serial and capture node.
uvc_stereo::DeviceInfo camera_record(const emulator::CameraConfig& config);

// The firmware image default_camera_config() puts into the flash.
std::vector<std::uint8_t> default_firmware_image();

// A virtual platform with cameras, installed as the current platform until
// destruction.
class VirtualCameraRig {
 public:
  // One default camera.
  VirtualCameraRig();
  explicit VirtualCameraRig(const std::vector<emulator::CameraConfig>& configs);
  ~VirtualCameraRig();
  VirtualCameraRig(const VirtualCameraRig&) = delete;
  VirtualCameraRig& operator=(const VirtualCameraRig&) = delete;

  emulator::VirtualPlatform& platform() { return platform_; }
  emulator::VirtualCamera& camera(std::size_t index = 0) { return platform_.camera(index); }
  emulator::VirtualClock& clock() { return platform_.clock(); }
  std::vector<emulator::TransferRecord> transfer_log(std::size_t index = 0) {
    return platform_.camera(index).transfer_log();
  }

  // Nothing left open: no USB handle, device list, libusb context or video
  // descriptor, and no overlapping USB use was seen. Describes what is left
  // otherwise.
  ::testing::AssertionResult clean() const;

 private:
  emulator::VirtualPlatform platform_;
  uvc_stereo::platform::ScopedPlatform installed_;
};

// GoogleTest fixture with one default camera (override make_configs() for
// others).
class VirtualCameraTest : public ::testing::Test {
 protected:
  void SetUp() override { rig_ = std::make_unique<VirtualCameraRig>(make_configs()); }
  void TearDown() override { rig_.reset(); }
  virtual std::vector<emulator::CameraConfig> make_configs() { return {default_camera_config()}; }

  VirtualCameraRig& rig() { return *rig_; }
  emulator::VirtualPlatform& platform() { return rig_->platform(); }
  emulator::VirtualCamera& camera(std::size_t index = 0) { return rig_->camera(index); }
  emulator::VirtualClock& clock() { return rig_->clock(); }

 private:
  std::unique_ptr<VirtualCameraRig> rig_;
};

}  // namespace morvane::testing
