// The IMU firmware gate over the virtual camera: the firmware text read from
// the camera decides, the 200 ms wait follows every read, and flash trouble
// becomes "not supported".
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "morvane/uvc_stereo/imu.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::uvc_stereo {
namespace {

// Firmware version fields of the default controller chip (0x83); the raw
// version text is field 4, field 2, field 1, field 3, up to the first NUL.
constexpr std::uint32_t kFwField1 = 0x2000;
constexpr std::uint32_t kFwField2 = 0x2012;
constexpr std::uint32_t kFwField3 = 0x201C;
constexpr std::uint32_t kFwField4 = 0x200A;
constexpr std::uint64_t kGateWaitNs = 200'000'000;

class ImuGateTest : public morvane::testing::VirtualCameraTest {
 protected:
  DeviceInfo info_for(std::size_t index = 0) {
    const emulator::CameraConfig& config = camera(index).config();
    DeviceInfo info;
    info.vid = config.vid;
    info.pid = config.pid;
    info.bus_number = config.bus_number;
    info.device_address = camera(index).device_address();
    info.model = config.model;
    info.video_node = "/dev/video" + std::to_string(config.capture_node);
    return info;
  }

  FlashConfig flash_for(const DeviceInfo& info) {
    FlashConfig config;
    char vidpid[9];
    std::snprintf(vidpid, sizeof vidpid, "%04x%04x", info.vid, info.pid);
    config.vidpid = vidpid;
    config.auto_select = false;
    config.bus_number = info.bus_number;
    config.device_address = info.device_address;
    return config;
  }

  // Makes the camera report `text` (at most 15 characters) as its version.
  void set_firmware_text(const std::string& text, std::size_t index = 0) {
    std::vector<std::uint8_t> field4(5, 0), field2(10, 0);
    for (std::size_t i = 0; i < text.size() && i < 15; ++i) (i < 5 ? field4[i] : field2[i - 5]) = text[i];
    camera(index).load_flash(kFwField4, field4);
    camera(index).load_flash(kFwField2, field2);
    camera(index).load_flash(kFwField1, std::vector<std::uint8_t>(10, 0));
    camera(index).load_flash(kFwField3, std::vector<std::uint8_t>(10, 0));
  }

  Result<void> gate(const DeviceInfo& info) { return detail::ensure_imu_supported_by_firmware(info, flash_for(info)); }
};

TEST_F(ImuGateTest, FirmwareTextDecidesAndTheWaitFollowsEveryRead) {
  // The factory firmware carries the pattern.
  std::uint64_t t = clock().now_ns();
  ASSERT_TRUE(detail::read_firmware_version_from_device(flash_for(info_for())).ok());
  const std::uint64_t read_only = clock().now_ns() - t;

  t = clock().now_ns();
  Result<void> factory = gate(info_for());
  EXPECT_TRUE(factory.ok()) << factory.message;
  EXPECT_EQ(clock().now_ns() - t, read_only + kGateWaitNs);

  // Pattern with text before and after it.
  set_firmware_text("V2606030001-rc");
  EXPECT_TRUE(gate(info_for()).ok());

  // The model does not matter for this camera's entries.
  DeviceInfo renamed = info_for();
  renamed.model = "ANY model at all";
  EXPECT_TRUE(gate(renamed).ok());
  renamed.model.clear();
  EXPECT_TRUE(gate(renamed).ok());

  // A neighbouring number is refused: versions are text, not numbers.
  for (const char* text : {"V2606030002", "2606030000", "26060300", "2606-030001"}) {
    SCOPED_TRACE(text);
    set_firmware_text(text);
    t = clock().now_ns();
    Result<void> refused = gate(info_for());
    EXPECT_EQ(refused.code, ErrorCode::unsupported);
    EXPECT_EQ(refused.message, "IMU is not supported by this device");
    EXPECT_EQ(clock().now_ns() - t, read_only + kGateWaitNs);
  }
  EXPECT_TRUE(rig().clean());
}

TEST_F(ImuGateTest, EmptyVideoNodeIsRefusedWithoutReadOrWait) {
  DeviceInfo info = info_for();
  info.video_node.clear();
  const std::uint64_t transfers = camera().transfer_count();
  const std::uint64_t t = clock().now_ns();
  Result<void> refused = gate(info);
  EXPECT_EQ(refused.code, ErrorCode::invalid_argument);
  EXPECT_EQ(refused.message, "selected device has empty video_node");
  EXPECT_EQ(camera().transfer_count(), transfers);
  EXPECT_EQ(clock().now_ns(), t);
}

TEST_F(ImuGateTest, UnreachableFlashMeansUnsupportedAfterTheWait) {
  // Wrong address: SonixCam_Init fails (code 3 in the flash layer).
  DeviceInfo info = info_for();
  info.device_address = static_cast<std::uint8_t>(info.device_address + 1);
  std::uint64_t t = clock().now_ns();
  Result<void> missing = gate(info);
  EXPECT_EQ(missing.code, ErrorCode::unsupported);
  EXPECT_EQ(missing.message, "IMU is not supported by this device");
  EXPECT_GE(clock().now_ns() - t, kGateWaitNs);

  // Empty version text (code 4 in the flash layer).
  set_firmware_text("");
  EXPECT_EQ(detail::read_firmware_version_from_device(flash_for(info_for())).code, ErrorCode::read_failed);
  Result<void> blank = gate(info_for());
  EXPECT_EQ(blank.code, ErrorCode::unsupported);
  EXPECT_EQ(blank.message, "IMU is not supported by this device");

  // The camera gone from the bus.
  set_firmware_text("2606030001");
  camera().unplug();
  EXPECT_EQ(gate(info_for()).code, ErrorCode::unsupported);
  EXPECT_TRUE(rig().clean());
}

class OtherCameraGateTest : public ImuGateTest {
 protected:
  std::vector<emulator::CameraConfig> make_configs() override {
    emulator::CameraConfig listed = morvane::testing::default_camera_config(0);
    listed.pid = 0x2502;
    emulator::CameraConfig unlisted = morvane::testing::default_camera_config(1);
    unlisted.pid = 0x9999;
    return {listed, unlisted};
  }
};

TEST_F(OtherCameraGateTest, EachCameraNeedsItsOwnPattern) {
  // 0x2502 asks for 2606010202, not the 0x0643 pattern the image carries.
  set_firmware_text("2606030001");
  EXPECT_EQ(gate(info_for()).code, ErrorCode::unsupported);
  set_firmware_text("A2606010202");
  Result<void> accepted = gate(info_for());
  EXPECT_TRUE(accepted.ok()) << accepted.message;

  // Ids that are not in the table are refused whatever the firmware, after
  // the read and the wait.
  set_firmware_text("2606030001", 1);
  ASSERT_TRUE(detail::read_firmware_version_from_device(flash_for(info_for(1))).ok());
  const std::uint64_t t = clock().now_ns();
  Result<void> refused = gate(info_for(1));
  EXPECT_GE(clock().now_ns() - t, kGateWaitNs);
  EXPECT_EQ(refused.code, ErrorCode::unsupported);
  EXPECT_EQ(refused.message, "IMU is not supported by this device");
}

}  // namespace
}  // namespace morvane::uvc_stereo
