// Several threads, each with its own camera and Device, using flash and IMU
// at once. The flash lock must serialise every flash connection: the virtual
// platform records any overlapping USB use, and each thread must read back
// exactly its own document.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr std::size_t kCameras = 3;
constexpr int kRounds = 4;

class DeviceConcurrencyTest : public morvane::testing::VirtualCameraTest {
 protected:
  std::vector<emulator::CameraConfig> make_configs() override {
    std::vector<emulator::CameraConfig> configs;
    for (std::size_t i = 0; i < kCameras; ++i) configs.push_back(morvane::testing::default_camera_config(i));
    return configs;
  }
};

std::string document_for(std::size_t camera, int round) {
  std::string text =
      "{\"camera\": " + std::to_string(camera) + ", \"round\": " + std::to_string(round) + ", \"values\": [";
  for (int i = 0; i < 40; ++i) text += std::to_string(camera * 1000 + round * 10 + i) + (i < 39 ? ", " : "");
  return text + "]}";
}

std::string compact(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ') out += c;  // the documents above have blanks only outside strings
  }
  return out;
}

TEST_F(DeviceConcurrencyTest, SeveralDevicesOnSeveralThreadsNeverOverlapOnUsb) {
  Result<std::vector<DeviceInfo>> devices = scan_devices();
  ASSERT_TRUE(devices.ok()) << devices.message;
  ASSERT_EQ(devices.value->size(), kCameras);

  std::atomic<int> failures{0};
  std::vector<std::string> errors(kCameras);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kCameras; ++i) {
    threads.emplace_back([&, i] {
      auto fail = [&](const std::string& what) {
        ++failures;
        errors[i] += what + "; ";
      };
      OpenDeviceOptions options;
      options.required_capabilities = DeviceCapability::flash;
      Result<Device> opened = open_device((*devices.value)[i], options);
      if (!opened.ok()) return fail("open: " + opened.message);
      Device& device = *opened.value;
      for (int round = 0; round < kRounds; ++round) {
        Result<void> written = device.write_json(document_for(i, round));
        if (!written.ok()) return fail("write: " + written.message);
        Result<ReadJsonResult> read = device.read_json();
        if (!read.ok()) return fail("read: " + read.message);
        if (read.value->json != compact(document_for(i, round))) fail("read back another document");
        // The IMU of devices 1 and 2 runs while the others use the flash.
        if (i != 0) {
          Result<void> imu = device.open_imu();
          if (!imu.ok()) return fail("open_imu: " + imu.message);
          for (int s = 0; s < 5; ++s) {
            if (!device.read_imu().ok()) fail("read_imu");
          }
          if (!device.close_imu().ok()) fail("close_imu");
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (std::size_t i = 0; i < kCameras; ++i) EXPECT_TRUE(errors[i].empty()) << "camera " << i << ": " << errors[i];
  EXPECT_EQ(failures.load(), 0);
  for (const emulator::UsbOverlap& overlap : platform().overlaps()) {
    ADD_FAILURE() << "camera " << overlap.camera << ": " << overlap.description;
  }
  EXPECT_TRUE(rig().clean());
  for (std::size_t i = 1; i < kCameras; ++i) EXPECT_EQ(camera(i).imu_samples_served(), 5u * kRounds);
}

}  // namespace
}  // namespace morvane::uvc_stereo
