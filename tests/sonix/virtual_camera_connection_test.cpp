// The SonixCam connection against the virtual camera: opening among several
// cameras, the extension unit and register map found by probing, failed opens
// that leave nothing behind, a camera that disappears, and restart.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sonix/fake_usb.hpp"
#include "sonix/sonix_cam.h"
#include "support/virtual_camera_fixture.hpp"

namespace {

using morvane::emulator::CameraConfig;
using morvane::testing::VirtualCameraRig;
using sonix_test::CapturedOutput;

int open_camera(const CameraConfig& c, std::uint8_t address) {
  char text[9];
  std::snprintf(text, sizeof text, "%04x%04x", c.vid, c.pid);
  return SonixCam_Init(text, c.bus_number, address);
}

// Closes the library before the rig (and its platform) goes away, also when
// an assertion ends the test early. Declare it right after the rig.
struct CloseLibrary {
  ~CloseLibrary() {
    if (camera_init) SonixCam_UnInit();
  }
};

class SonixVirtualConnection : public ::testing::Test {
 protected:
  void SetUp() override { gEC = 0; }
};

TEST_F(SonixVirtualConnection, OpensAndClosesWithoutLeaks) {
  VirtualCameraRig rig;
  CloseLibrary close;
  auto& camera = rig.camera();
  ASSERT_EQ(open_camera(camera.config(), camera.device_address()), 1);
  EXPECT_FALSE(camera.kernel_driver_bound());
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0300);
  int rom_type = 0;
  std::uint8_t chip = 0;
  ASSERT_EQ(SonixCam_GetAsicRomType(&rom_type, &chip), 1);
  EXPECT_EQ(chip, camera.config().chip_id);
  EXPECT_EQ(rom_type, 3);
  std::uint8_t version[8] = {};
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, static_cast<std::uint32_t>(camera.config().rom_row));
  EXPECT_EQ(SonixCam_UnInit(), 1);
  EXPECT_TRUE(camera.kernel_driver_bound());  // handed back to the UVC driver
  EXPECT_TRUE(rig.clean());
}

TEST_F(SonixVirtualConnection, OpensOnlyTheCameraAtTheGivenBusAndAddress) {
  CameraConfig first = morvane::testing::default_camera_config(0);
  CameraConfig second = morvane::testing::default_camera_config(1);
  second.device_address = first.device_address;  // equal ids and addresses, other bus
  VirtualCameraRig rig({first, second});
  CloseLibrary close;
  ASSERT_EQ(open_camera(rig.camera(1).config(), rig.camera(1).device_address()), 1);
  std::uint8_t value = 0;
  ASSERT_EQ(SonixCam_AsicRegisterRead(0x101F, &value, 1), 1);
  EXPECT_GT(rig.camera(1).transfer_count(), 0u);
  EXPECT_EQ(rig.camera(0).transfer_count(), 0u);
  SonixCam_UnInit();
  EXPECT_TRUE(rig.clean());
}

TEST_F(SonixVirtualConnection, ProbesUnitAndRegisterMap) {
  CameraConfig config = morvane::testing::default_camera_config();
  config.vendor_units = {4};
  config.chip_id = 0x85;
  config.chip_id_register = 0x101F;  // a row-1 chip answering at the row-0 id register
  VirtualCameraRig rig({config});
  CloseLibrary close;
  CapturedOutput output;  // the unit-3 probe fails on the bus
  ASSERT_EQ(open_camera(config, rig.camera().device_address()), 1);
  output.finish();
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0400);
  EXPECT_EQ(sfModeAddr, 0x8E00);
  EXPECT_EQ(usbResetAddr, 0x8C00);
  SonixCam_UnInit();
  EXPECT_TRUE(rig.clean());
}

TEST_F(SonixVirtualConnection, FailedOpensLeaveNothingBehind) {
  {
    VirtualCameraRig rig;
    CloseLibrary close;
    rig.camera().fail_claims(3, LIBUSB_ERROR_BUSY);
    CapturedOutput output;
    EXPECT_EQ(open_camera(rig.camera().config(), rig.camera().device_address()), 0);
    EXPECT_EQ(output.out(), "usb claim interface failed\n");
    EXPECT_EQ(gEC, SONIXCAM_EC_INIT);
    EXPECT_EQ(camera_init, 0);
    EXPECT_TRUE(rig.clean());
    // The next open starts clean and succeeds.
    ASSERT_EQ(open_camera(rig.camera().config(), rig.camera().device_address()), 1);
    SonixCam_UnInit();
    EXPECT_TRUE(rig.clean());
  }
  {
    CameraConfig config = morvane::testing::default_camera_config();
    config.chip_id = 0x42;  // no controller chip the library knows
    VirtualCameraRig rig({config});
    CloseLibrary close;
    CapturedOutput output;
    EXPECT_EQ(open_camera(config, rig.camera().device_address()), 0);
    EXPECT_EQ(output.out(), "Get uvc extend unit id fail\n");
    EXPECT_TRUE(rig.clean());
  }
  {
    VirtualCameraRig rig;
    CloseLibrary close;
    rig.camera().set_open_error(LIBUSB_ERROR_ACCESS);
    CapturedOutput output;
    EXPECT_EQ(open_camera(rig.camera().config(), rig.camera().device_address()), 0);
    EXPECT_EQ(output.err(), "libusb_open failed, r=-3(LIBUSB_ERROR_ACCESS)\n");
    EXPECT_TRUE(rig.clean());
  }
  {
    VirtualCameraRig rig;
    CloseLibrary close;
    EXPECT_EQ(open_camera(rig.camera().config(), static_cast<std::uint8_t>(rig.camera().device_address() + 1)), 0);
    EXPECT_TRUE(rig.clean());
  }
}

TEST_F(SonixVirtualConnection, VanishedCameraFailsEveryCallAndClosesCleanly) {
  VirtualCameraRig rig;
  CloseLibrary close;
  ASSERT_EQ(open_camera(rig.camera().config(), rig.camera().device_address()), 1);
  int type = 0;
  ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 1), 1);
  rig.camera().unplug();
  CapturedOutput output;
  std::uint8_t buffer[64] = {};
  EXPECT_EQ(SonixCam_SerialFlashCustomRead(0x51000, buffer, 64), 0);
  EXPECT_EQ(SonixCam_SerialFlashSectorCustomWrite(0x51000, buffer, 64, type), 0);
  EXPECT_EQ(SonixCam_EraseSectorFlash(0x51000, type), 0);
  EXPECT_EQ(SonixCam_SerialFlashRead(0x1000, buffer, 64), 0);
  EXPECT_EQ(SonixCam_GetFwVersion(buffer, 64, 1), 0);
  EXPECT_EQ(SonixCam_UnInit(), 1);
  output.finish();
  EXPECT_TRUE(rig.clean());
}

TEST_F(SonixVirtualConnection, RestartReenumeratesTheCamera) {
  VirtualCameraRig rig;
  CloseLibrary close;
  auto& camera = rig.camera();
  const std::uint8_t address = camera.device_address();
  ASSERT_EQ(open_camera(camera.config(), address), 1);
  EXPECT_EQ(SonixCam_RestartDevice(), 1);
  EXPECT_EQ(camera.usb_reset_count(), 1u);
  EXPECT_NE(camera.device_address(), address);
  EXPECT_EQ(SonixCam_UnInit(), 1);
  EXPECT_TRUE(rig.clean());
  ASSERT_EQ(open_camera(camera.config(), camera.device_address()), 1);
}

}  // namespace
