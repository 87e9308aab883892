// Conversation tests of the SonixCam connection, register transport and ROM
// identification against a scripted OS boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sonix/fake_usb.hpp"
#include "sonix/sonix_cam.h"

namespace {

using sonix_test::CapturedOutput;
using sonix_test::FakeDevice;
using sonix_test::FakeUsb;
using sonix_test::Transfer;
namespace platform = morvane::uvc_stereo::platform;

class SonixConnection : public ::testing::Test {
 protected:
  void SetUp() override { gEC = 0; }
  void TearDown() override {
    if (camera_init) SonixCam_UnInit();
  }
  bool open(const char* text = "0c450643", std::uint8_t bus = 1, std::uint8_t address = 4) {
    std::string copy = text;
    return SonixCam_Init(copy.data(), bus, address) == 1;
  }
  FakeUsb usb;
  platform::ScopedPlatform installed{usb};
};

TEST_F(SonixConnection, EveryCallWhileClosedReturnsZeroAndSendsNothing) {
  std::uint8_t buffer[256] = {};
  int type = 0;
  std::uint8_t chip = 0;
  std::uint32_t vidpid = 0;
  EXPECT_EQ(SonixCam_UnInit(), 0);
  EXPECT_EQ(SonixCam_RestartDevice(), 0);
  EXPECT_EQ(SonixCam_GetAsicRomType(&type, &chip), 0);
  EXPECT_EQ(SonixCam_GetErrorCode(), 0);
  EXPECT_EQ(SonixCam_AsicRegisterRead(0x1000, buffer, 4), 0);
  EXPECT_EQ(SonixCam_AsicRegisterWrite(0x1000, buffer, 4), 0);
  EXPECT_EQ(SonixCam_XuRead(buffer, 11, 3, 1), 0);
  EXPECT_EQ(SonixCam_XuWrite(buffer, 11, 3, 1), 0);
  EXPECT_EQ(SonixCam_GetSerialFlashType(&type, 1), 0);
  EXPECT_EQ(SonixCam_SerialFlashCustomRead(0, buffer, 16), 0);
  EXPECT_EQ(SonixCam_EraseSectorFlash(0x51000, 1), 0);
  EXPECT_EQ(SonixCam_EraseBlockFlash(0x50000, 1), 0);
  EXPECT_EQ(SonixCam_EraseSerialFlash(1), 0);
  EXPECT_EQ(SonixCam_DisableSerialFlashWriteProtect(1), 0);
  EXPECT_EQ(SonixCam_SerialFlashSectorCustomWrite(0x51000, buffer, 16, 1), 0);
  EXPECT_EQ(SonixCam_SerialFlashRead(0, buffer, 16), 0);
  EXPECT_EQ(SonixCam_SerialFlashWrite(0, buffer, 16), 0);
  EXPECT_EQ(SonixCam_SerialFlashSectorWrite(0x51000, buffer, 16, 1), 0);
  EXPECT_EQ(SonixCam_GetFwVersion(buffer, 256, 1), 0);
  EXPECT_EQ(SonixCam_GetFwVersionEx(3, buffer, 256, 1), 0);
  EXPECT_EQ(SonixCam_GetFwVersionFromFile(buffer, buffer, 256, 1), 0);
  EXPECT_EQ(SonixCam_GetVidPid(&vidpid), 0);
  EXPECT_EQ(SonixCam_GetProduct(buffer, 64), 0);
  EXPECT_EQ(SonixCam_GetManufacturer(buffer, 64), 0);
  EXPECT_EQ(SonixCam_GetSerialNumber(buffer, 64), 0);
  EXPECT_EQ(SonixCam_GetString3(buffer, 64), 0);
  EXPECT_EQ(SonixCam_GetInterface(buffer, 64), 0);
  EXPECT_TRUE(usb.calls.empty());
  EXPECT_TRUE(usb.transfers.empty());
}

TEST_F(SonixConnection, OpenSequenceAndCloseSequence) {
  ASSERT_TRUE(open());
  EXPECT_EQ(camera_init, 1);
  EXPECT_NE(devh, nullptr);
  EXPECT_NE(g_pDevList, nullptr);
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0300);
  EXPECT_EQ(usb.calls,
            (std::vector<std::string>{"init", "get_device_list", "open 0", "kernel_driver_active", "detach", "claim"}));
  // The first transfer posts a read of the chip id register on unit 3.
  ASSERT_GE(usb.transfers.size(), 2u);
  const Transfer& post = usb.transfers[0];
  EXPECT_EQ(post.request_type, 0x21);
  EXPECT_EQ(post.request, 0x01);
  EXPECT_EQ(post.value, 0x0100);
  EXPECT_EQ(post.index, 0x0300);
  EXPECT_EQ(post.data, (std::vector<std::uint8_t>{0x1F, 0x10, 0x00, 0xFF}));
  EXPECT_EQ(usb.transfers[1].request_type, 0xA1);
  EXPECT_EQ(usb.transfers[1].request, 0x81);
  EXPECT_EQ(usb.transfers[1].length, 4);

  usb.calls.clear();
  EXPECT_EQ(SonixCam_UnInit(), 1);
  // The driver was detached at open, so it is attached again.
  EXPECT_EQ(usb.calls, (std::vector<std::string>{"release", "kernel_driver_active", "attach", "close",
                                                 "free_device_list", "exit"}));
  EXPECT_EQ(camera_init, 0);
  EXPECT_EQ(devh, nullptr);
  EXPECT_EQ(g_pDevList, nullptr);
  EXPECT_TRUE(usb.clean());
  EXPECT_EQ(SonixCam_UnInit(), 0);
}

TEST_F(SonixConnection, OpenWhileOpenReturnsOneWithoutEnumerating) {
  ASSERT_TRUE(open());
  std::size_t calls = usb.calls.size();
  std::size_t transfers = usb.transfers.size();
  EXPECT_TRUE(open("12345678", 9, 9));
  EXPECT_EQ(usb.calls.size(), calls);
  EXPECT_EQ(usb.transfers.size(), transfers);
}

TEST_F(SonixConnection, VidPidTextRules) {
  for (const char* bad : {"0c45064", "0c4506430", ""}) {
    gEC = 0;
    EXPECT_FALSE(open(bad)) << bad;
    EXPECT_EQ(gEC, SONIXCAM_EC_INIT) << bad;
    EXPECT_EQ(camera_init, 0);
    EXPECT_TRUE(usb.clean()) << bad;
  }
  gEC = 0;
  EXPECT_EQ(SonixCam_Init(nullptr, 1, 4), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_INIT);
  EXPECT_TRUE(usb.clean());

  EXPECT_TRUE(open("0C450643"));
  SonixCam_UnInit();
  EXPECT_TRUE(open("0c450643"));
  SonixCam_UnInit();

  // A non-hexadecimal character counts as the digit 0.
  usb.devices[0].pid = 0x0640;
  EXPECT_TRUE(open("0c45064z"));
  SonixCam_UnInit();

  std::uint16_t vid = 0, pid = 0;
  EXPECT_EQ(VidPidStringToInt("aBcDeF09", &vid, &pid), 1);
  EXPECT_EQ(vid, 0xABCD);
  EXPECT_EQ(pid, 0xEF09);
  EXPECT_EQ(VidPidStringToInt("g-12xy!3", &vid, &pid), 1);
  EXPECT_EQ(vid, 0x0012);
  EXPECT_EQ(pid, 0x0003);
  EXPECT_TRUE(usb.clean());
}

TEST_F(SonixConnection, OpensOnlyTheCameraAtTheGivenBusAndAddress) {
  usb.devices = {FakeDevice{0x0c45, 0x0643, 1, 4}, FakeDevice{0x0c45, 0x0643, 2, 7}, FakeDevice{0x0c45, 0x0643, 2, 4}};
  ASSERT_TRUE(open("0c450643", 2, 4));
  EXPECT_EQ(usb.opened_device, 2);
  EXPECT_EQ(usb.calls_named("open 0"), 0u);
  EXPECT_EQ(usb.calls_named("open 1"), 0u);
  SonixCam_UnInit();
  EXPECT_FALSE(open("0c450643", 3, 4));
  EXPECT_EQ(gEC, SONIXCAM_EC_INIT);
  EXPECT_TRUE(usb.clean());
}

TEST_F(SonixConnection, OpenFailuresReleaseEverythingAndReport) {
  {
    usb.claim_failures = 3;
    CapturedOutput output;
    EXPECT_FALSE(open());
    EXPECT_EQ(output.out(), "usb claim interface failed\n");
    EXPECT_EQ(usb.calls_named("claim"), 3u);
    EXPECT_EQ(usb.calls_named("set_configuration 1"), 3u);
    EXPECT_EQ(gEC, SONIXCAM_EC_INIT);
    EXPECT_TRUE(usb.clean());
    EXPECT_EQ(camera_init, 0);
    EXPECT_EQ(devh, nullptr);
  }
  {
    usb.calls.clear();
    usb.claim_failures = 2;  // the third attempt succeeds
    EXPECT_TRUE(open());
    EXPECT_EQ(usb.calls_named("claim"), 3u);
    SonixCam_UnInit();
  }
  {
    usb.units = {};
    CapturedOutput output;
    EXPECT_FALSE(open());
    EXPECT_EQ(output.out(), "Get uvc extend unit id fail\n");
    EXPECT_TRUE(usb.clean());
    usb.units = {3};
  }
  {
    usb.regs[0x101F] = 0x42;  // no controller chip answers at either id register
    CapturedOutput output;
    EXPECT_FALSE(open());
    EXPECT_EQ(output.out(), "Get uvc extend unit id fail\n");
    EXPECT_TRUE(usb.clean());
    usb.regs[0x101F] = 0x83;
  }
  {
    usb.devices[0].open_error = LIBUSB_ERROR_ACCESS;
    CapturedOutput output;
    EXPECT_FALSE(open());
    EXPECT_EQ(output.err(), "libusb_open failed, r=-3(LIBUSB_ERROR_ACCESS)\n");
    EXPECT_TRUE(usb.clean());
    usb.devices[0].open_error = 0;
  }
  {
    usb.devices.insert(usb.devices.begin(), FakeDevice{});
    usb.devices[0].descriptor_error = LIBUSB_ERROR_IO;
    CapturedOutput output;
    EXPECT_TRUE(open());  // the unreadable device is skipped; the next one matches
    EXPECT_EQ(output.err(), "failed to get device descriptor\n");
    SonixCam_UnInit();
    usb.devices.erase(usb.devices.begin());
  }
  {
    usb.list_error = LIBUSB_ERROR_NO_MEM;
    EXPECT_FALSE(open());
    EXPECT_TRUE(usb.clean());
    usb.list_error = 0;
  }
  {
    usb.init_error = LIBUSB_ERROR_OTHER;
    gEC = 0;
    CapturedOutput output;
    EXPECT_FALSE(open());
    EXPECT_EQ(output.err(), "failed to initialise libusb\n");
    EXPECT_TRUE(usb.clean());
    usb.init_error = 0;
  }
  // After all of that, a clean open still works.
  EXPECT_TRUE(open());
}

// A failed open hands interface 0 back to the kernel driver exactly when this
// open detached it: never a driver that was already unbound (another process
// detached it) or that could not be detached.
TEST_F(SonixConnection, FailedOpenReattachesOnlyTheDriverItDetached) {
  enum class Stage { claim, unit, chip };
  enum class Driver { bound, unbound, detach_fails };
  for (Stage stage : {Stage::claim, Stage::unit, Stage::chip}) {
    for (Driver driver : {Driver::bound, Driver::unbound, Driver::detach_fails}) {
      SCOPED_TRACE(::testing::Message() << "stage " << static_cast<int>(stage) << " driver "
                                        << static_cast<int>(driver));
      usb.calls.clear();
      usb.transfers.clear();
      usb.kernel_active = driver == Driver::unbound ? 0 : 1;
      usb.detach_error = driver == Driver::detach_fails ? LIBUSB_ERROR_ACCESS : 0;
      usb.claim_failures = stage == Stage::claim ? 3 : 0;
      if (stage == Stage::unit) usb.units = {};
      usb.vanish_from = stage == Stage::chip ? 3 : 0;  // the unit probe answers, the chip step does not
      {
        CapturedOutput output;
        EXPECT_FALSE(open());
      }
      const bool detached = driver == Driver::bound;
      EXPECT_EQ(usb.calls_named("attach"), detached ? 1u : 0u);
      EXPECT_EQ(usb.kernel_active, driver == Driver::unbound ? 0 : 1);
      const bool claimed = stage != Stage::claim;
      EXPECT_EQ(usb.calls_named("release"), claimed ? 1u : 0u);
      if (detached && claimed) {
        // The interface is released before the driver can take it again.
        auto release = std::find(usb.calls.begin(), usb.calls.end(), "release");
        auto attach = std::find(usb.calls.begin(), usb.calls.end(), "attach");
        EXPECT_LT(release, attach);
      }
      EXPECT_TRUE(usb.clean());
      EXPECT_EQ(camera_init, 0);
      usb.units = {3};
      usb.vanish_from = 0;
      usb.detach_error = 0;
    }
  }
  usb.kernel_active = 1;
  EXPECT_TRUE(open());
}

TEST_F(SonixConnection, ErrorCodeSurvivesSuccessAndIsHiddenWhileClosed) {
  EXPECT_FALSE(open("bad"));
  EXPECT_EQ(gEC, SONIXCAM_EC_INIT);
  EXPECT_EQ(SonixCam_GetErrorCode(), 0);  // nothing open
  ASSERT_TRUE(open());
  EXPECT_EQ(SonixCam_GetErrorCode(), SONIXCAM_EC_INIT);
  std::uint8_t value = 0;
  EXPECT_EQ(SonixCam_AsicRegisterRead(0x101F, &value, 1), 1);
  EXPECT_EQ(SonixCam_GetErrorCode(), SONIXCAM_EC_INIT);
  // A flash write with type 0 leaves 10, then 2 from the erase wrapper.
  EXPECT_EQ(SonixCam_EraseSectorFlash(0x1000, 0), 0);
  EXPECT_EQ(SonixCam_GetErrorCode(), SONIXCAM_EC_WRITE_PROTECT);
  EXPECT_EQ(SonixCam_SerialFlashSectorWrite(0x1000, &value, 1, 0), 0);
  EXPECT_EQ(SonixCam_GetErrorCode(), SONIXCAM_EC_FLASH_TYPE);
  SonixCam_UnInit();
  EXPECT_EQ(gEC, SONIXCAM_EC_FLASH_TYPE);
}

TEST_F(SonixConnection, ExtensionUnitFourOnly) {
  usb.units = {4};
  {
    CapturedOutput output;
    ASSERT_TRUE(open());
    // The probe of unit 3 stalls once: its GET_CUR is reported.
    EXPECT_EQ(output.err(), "F0 error -9\n");
  }
  EXPECT_EQ(g_CurDspExtendUnitID, 0x0400);
  std::uint8_t value = 0;
  std::size_t before = usb.transfers.size();
  EXPECT_EQ(SonixCam_AsicRegisterRead(0x1234, &value, 1), 1);
  ASSERT_EQ(usb.transfers.size(), before + 2);
  EXPECT_EQ(usb.transfers[before].index, 0x0400);
}

TEST_F(SonixConnection, RegisterMapFollowsTheChip) {
  usb.regs[0x101F] = 0x85;  // a row-1 chip answering at the row-0 id register
  ASSERT_TRUE(open());
  EXPECT_EQ(sfModeAddr, 0x8E00);
  EXPECT_EQ(dspIdAddr, 0x80F0);
  EXPECT_EQ(cpuRateAddr, 0x8045);
  int type = 0;
  std::uint8_t chip = 0;
  EXPECT_EQ(SonixCam_GetAsicRomType(&type, &chip), 1);
  EXPECT_EQ(type, 4);
  EXPECT_EQ(chip, 0x85);
  SonixCam_UnInit();
  EXPECT_EQ(sfModeAddr, 0x8E00);  // kept after close

  usb.regs[0x101F] = 0x11;  // not a controller chip: the row-1 register decides
  usb.regs[0x80F0] = 0x89;
  ASSERT_TRUE(open());
  EXPECT_EQ(g_supportI2C64, 1);
  EXPECT_EQ(IsSupportI2C64(), 1);
  SonixCam_UnInit();
  EXPECT_EQ(g_supportI2C64, 0);

  usb.regs[0x101F] = 0x15;
  ASSERT_TRUE(open());
  EXPECT_EQ(sfModeAddr, 0x1080);
  EXPECT_EQ(i2cDataArrStartAddr, 0x10D2);
  EXPECT_EQ(g_supportI2C64, 0);
  EXPECT_EQ(LibUsb_SetAsicArchInfo(2), 0);
}

TEST_F(SonixConnection, RegisterTransportFramingAndErrors) {
  ASSERT_TRUE(open());
  usb.transfers.clear();
  std::uint8_t data[3] = {0xA1, 0xB2, 0xC3};
  EXPECT_EQ(SonixCam_AsicRegisterWrite(0xFFFF, data, 3), 1);
  ASSERT_EQ(usb.transfers.size(), 3u);
  EXPECT_EQ(usb.transfers[0].data, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xA1, 0x00}));
  EXPECT_EQ(usb.transfers[1].data, (std::vector<std::uint8_t>{0x00, 0x00, 0xB2, 0x00}));  // wraps
  std::uint8_t back[3] = {};
  EXPECT_EQ(SonixCam_AsicRegisterRead(0xFFFF, back, 3), 1);
  EXPECT_EQ(back[0], 0xA1);
  EXPECT_EQ(back[1], 0xB2);
  EXPECT_EQ(back[2], 0xC3);

  EXPECT_EQ(WriteDataToAsic(0x0337, 0x11223344u), 1);
  EXPECT_EQ(usb.regs[0x0337], 0x11);
  EXPECT_EQ(usb.regs[0x033A], 0x44);
  std::uint32_t value = 0;
  EXPECT_EQ(ReadDataFromAsic(0x0337, &value), 1);
  EXPECT_EQ(value, 0x11223344u);

  usb.regs[0x2000] = 0xF0;
  EXPECT_EQ(LibUsb_ReadBitFormAsic(0x2000, 2), 0);
  EXPECT_EQ(LibUsb_ReadBitFormAsic(0x2000, 5), 0x20);
  EXPECT_EQ(LibUsb_EnableAsicRegisterBit(0x2000, 0), 1);
  EXPECT_EQ(LibUsb_DisableAsicRegisterBit(0x2000, 7), 1);
  EXPECT_EQ(usb.regs[0x2000], 0x71);

  // A failed GET_CUR: stops the multi-register read, says so on stderr.
  std::uint64_t next = usb.transfers.size() + 1;
  usb.fail_at[next + 3] = LIBUSB_ERROR_TIMEOUT;  // the second register's GET_CUR
  std::uint8_t partial[3] = {0, 0, 0};
  {
    CapturedOutput output;
    EXPECT_EQ(SonixCam_AsicRegisterRead(0xFFFF, partial, 3), 0);
    EXPECT_EQ(output.err(), "F0 error -7\n");
  }
  EXPECT_EQ(partial[0], 0xA1);
  EXPECT_EQ(partial[2], 0);
  EXPECT_EQ(usb.transfers.size(), next + 3);  // nothing after the failure
  usb.fail_at[usb.transfers.size() + 1] = LIBUSB_ERROR_PIPE;
  {
    CapturedOutput output;
    EXPECT_EQ(LibUsb_WriteToASIC(0x1000, 1), 0);
    EXPECT_EQ(output.err(), "F1 error -9\n");
  }
  EXPECT_EQ(LibUsb_ReadBitFormAsic(0x2000, 9), 0);
  EXPECT_EQ(SonixCam_AsicRegisterRead(0x1000, nullptr, 1), 0);
  EXPECT_EQ(SonixCam_AsicRegisterRead(0x1000, back, -1), 0);

  // Raw extension-unit requests.
  usb.transfers.clear();
  std::uint8_t xu[4] = {0x1F, 0x10, 0, 0xFF};
  EXPECT_EQ(SonixCam_XuWrite(xu, 4, 3, 1), 1);
  EXPECT_EQ(SonixCam_XuRead(xu, 4, 3, 1), 1);
  EXPECT_EQ(xu[2], 0x83);
  EXPECT_EQ(usb.transfers[0].value, 0x0100);
  EXPECT_EQ(usb.transfers[0].index, 0x0300);
  EXPECT_EQ(SonixCam_XuRead(xu, 4, 5, 1), 0);  // no unit 5
  EXPECT_EQ(XU_Read(xu, 4, 3, 1), 0);          // unshifted: wValue 1, wIndex 3
  EXPECT_EQ(usb.transfers.back().value, 0x0001);
  EXPECT_EQ(usb.transfers.back().index, 0x0003);
}

TEST_F(SonixConnection, RomTableMatchRules) {
  ASSERT_TRUE(open());
  std::uint8_t version[8] = {};
  struct Case {
    std::uint16_t address;
    const char* name;
    std::uint8_t sub;
    int row;  // -1: no row
  };
  const Case cases[] = {
      {0xBFF8, "231R0", 3, 13},  // at least 2
      {0xDFF8, "231R0", 3, -1},  // row 7 needs exactly 1
      {0xDFF8, "231R0", 1, 7},   //
      {0x9FF8, "250R0", 1, 2},   // equal
      {0x9FF8, "250R0", 5, 3},   // at least 2
      {0x9FF8, "225R0", 2, -1},  // below the at-least bound
      {0xD2B2, "230R0", 1, 4},   //
      {0xC7F8, "232R0", 1, 26},  //
      {0xC7F8, "232R0", 4, 27},  //
      {0xAFF8, "283R0", 2, -1},  // equal 1 only
      {0xAFF8, "290R0", 7, 39},  //
      {0x9FF8, "292R0", 1, 32},  //
  };
  for (const Case& c : cases) {
    usb.rom.clear();
    usb.set_rom(c.address, c.name, c.sub);
    uiRomID = 99;
    std::memset(version, 0xEE, sizeof version);
    int found = LibUsb_DefGetAsicRomVersion(version);
    if (c.row < 0) {
      EXPECT_EQ(found, 0) << c.name << " sub " << int{c.sub};
      EXPECT_EQ(uiRomID, 99u);
      EXPECT_EQ(version[0], 0xEE);
    } else {
      EXPECT_EQ(found, 1) << c.name;
      EXPECT_EQ(uiRomID, static_cast<std::uint32_t>(c.row)) << c.name << " sub " << int{c.sub};
      EXPECT_EQ(std::memcmp(version, c.name, 5), 0);
      EXPECT_EQ(version[5], c.sub);
    }
  }
  // The same name at two addresses: the address order decides (0xBFF8 before 0xAFF8).
  usb.rom.clear();
  usb.set_rom(0xAFF8, "275R0", 1);
  usb.set_rom(0xBFF8, "275R0", 1);
  EXPECT_EQ(LibUsb_DefGetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 16u);
  usb.rom.erase(0xBFF8);
  EXPECT_EQ(LibUsb_DefGetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 30u);

  // A failed ROM read keeps the text read before it; the search goes on.
  usb.rom.clear();
  usb.set_rom(0xBFF8, "283R0", 1);
  std::uint64_t seq = usb.transfers.size();
  // ROM reads at 0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8, 0xAFF8: fail the last two.
  usb.fail_at[seq + 10] = LIBUSB_ERROR_IO;
  usb.fail_at[seq + 12] = LIBUSB_ERROR_IO;
  CapturedOutput output;
  EXPECT_EQ(LibUsb_DefGetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 31u);
  EXPECT_EQ(output.err(), "F2 error -1\nF2 error -1\n");
}

TEST_F(SonixConnection, RomAdjustments) {
  ASSERT_TRUE(open());
  std::uint8_t version[8] = {};

  usb.rom.clear();
  usb.set_rom(0xBFF8, "276R0", 1);
  usb.reg_1185_sticks = true;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 15u);
  EXPECT_EQ(version[4], '1');
  usb.reg_1185_sticks = false;
  usb.regs[0x1185] = 0;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(version[4], '0');

  // Row 20: chip 0x89 becomes row 21 with '9' in byte 2.
  usb.rom.clear();
  usb.set_rom(0xBFF8, "288R0", 1);
  usb.regs[0x101F] = 0x89;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 21u);
  EXPECT_EQ(std::memcmp(version, "289R0", 5), 0);
  // Otherwise GPIO 5 tells: set gives '1' in byte 4 and leaves the pin driven.
  usb.regs[0x101F] = 0x83;
  usb.regs[0x1005] = 0x20;
  usb.regs[0x1006] = 0x00;
  usb.regs[0x1007] = 0xFF;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 20u);
  EXPECT_EQ(version[4], '1');
  EXPECT_EQ(usb.regs[0x1007], 0xDF);
  EXPECT_EQ(usb.regs[0x1006], 0x20);
  // Clear: the output bit is dropped again.
  usb.regs[0x1005] = 0x00;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(version[4], '0');
  EXPECT_EQ(usb.regs[0x1006], 0x00);

  // Row 23: the gated chip id 0x70 makes it row 22; GPIO 3 and 4 then pick byte 4.
  usb.rom.clear();
  usb.set_rom(0xBFF8, "271R0", 1);
  usb.chip_when_100a_bit4_clear = 0x70;
  usb.regs[0x100A] = 0x10;
  usb.regs[0x1005] = 0x08;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 22u);
  EXPECT_EQ(std::memcmp(version, "270R1", 5), 0);
  EXPECT_EQ(usb.regs[0x100A], 0x10);  // restored
  EXPECT_EQ(usb.regs[0x1006] & 0x08, 0);
  usb.regs[0x1005] = 0x10;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(version[4], '0');
  usb.regs[0x1005] = 0x00;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 22u);
  EXPECT_EQ(version[4], '2');
  EXPECT_EQ(usb.regs[0x1006] & 0x10, 0);
  usb.chip_when_100a_bit4_clear = 0x71;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 23u);
  EXPECT_EQ(std::memcmp(version, "271R0", 5), 0);

  // Row 25: gated chip 0x80 makes it row 24; GPIO 3 picks '1' or '0'.
  usb.rom.clear();
  usb.set_rom(0xBFF8, "281R0", 1);
  usb.chip_when_100a_bit4_clear = 0x80;
  usb.regs[0x1005] = 0x08;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 24u);
  EXPECT_EQ(std::memcmp(version, "280R1", 5), 0);
  usb.regs[0x1005] = 0x00;
  usb.chip_when_100a_bit4_clear = 0x83;
  ASSERT_EQ(LibUsb_GetAsicRomVersion(version), 1);
  EXPECT_EQ(uiRomID, 25u);
  EXPECT_EQ(std::memcmp(version, "281R0", 5), 0);
}

TEST_F(SonixConnection, RestartPerRomRow) {
  ASSERT_TRUE(open());
  struct Case {
    std::uint16_t address;
    const char* name;
    int result;
    bool writes_zero;  // writes 0 to the reset register
    bool clears_bit0;  // read-modify-write of bit 0
  };
  const Case cases[] = {
      {0x9FF8, "220R0", 0, false, false}, {0x9FF8, "225R0", 0, false, false}, {0xAFF8, "283R0", 1, false, true},
      {0x9FF8, "292R0", 1, false, true},  {0xBFF8, "256R0", 1, true, false},
  };
  for (const Case& c : cases) {
    usb.rom.clear();
    usb.set_rom(c.address, c.name, c.name[1] == '2' && c.name[2] == '5' ? 3 : 1);
    usb.regs[0x1073] = 0xA5;
    usb.register_writes.clear();
    std::uint64_t slept = usb.slept_ns;
    EXPECT_EQ(SonixCam_RestartDevice(), c.result) << c.name;
    if (c.writes_zero) {
      EXPECT_EQ(usb.regs[0x1073], 0x00) << c.name;
    } else if (c.clears_bit0) {
      EXPECT_EQ(usb.regs[0x1073], 0xA4) << c.name;
      EXPECT_EQ(usb.slept_ns - slept, 1000000u) << c.name;
    } else {
      EXPECT_TRUE(usb.register_writes.empty()) << c.name;
    }
  }
  usb.rom.clear();
  gEC = 0;
  EXPECT_EQ(SonixCam_RestartDevice(), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_ROM_UNKNOWN);
  EXPECT_EQ(camera_init, 1);  // the library still considers the camera open
}

TEST_F(SonixConnection, VanishedCameraFailsCleanly) {
  ASSERT_TRUE(open());
  usb.vanish_from = usb.transfers.size() + 1;
  std::uint8_t buffer[8] = {};
  CapturedOutput output;
  EXPECT_EQ(SonixCam_AsicRegisterRead(0x1000, buffer, 8), 0);
  EXPECT_EQ(LibUsb_ReadFromROM(0xBFF8, buffer), 0);
  EXPECT_EQ(SonixCam_RestartDevice(), 0);
  EXPECT_EQ(SonixCam_UnInit(), 1);
  EXPECT_TRUE(usb.clean());
  EXPECT_NE(output.err().find("F0 error -4\n"), std::string::npos);
  EXPECT_NE(output.err().find("F2 error -4\n"), std::string::npos);
}

// The whole chip table: every recognised chip id gives its ROM type and puts
// all 20 addresses of its register map row into the register globals.
TEST_F(SonixConnection, EveryChipIdSelectsItsRomTypeAndWholeRegisterMap) {
  const std::uint16_t kMap[2][20] = {
      {0x101F, 0x1073, 0x1005, 0x1006, 0x1007, 0x1084, 0x1080, 0x1091, 0x1082, 0x1083,
       0x1081, 0x1088, 0x1089, 0x10D0, 0x10D9, 0x10D7, 0x10D8, 0x10D1, 0x10D2, 0x1002},
      {0x80F0, 0x8C00, 0x8200, 0x8201, 0x8202, 0x8E04, 0x8E00, 0x8E11, 0x8E02, 0x8E03,
       0x8E01, 0x8E08, 0x8E09, 0x8600, 0x8609, 0x8607, 0x8608, 0x8601, 0x8602, 0x8045},
  };
  struct Chip {
    std::uint8_t id;
    int rom_type;
    int arch;
  };
  const Chip chips[] = {{0x15, 2, 0}, {0x16, 2, 0}, {0x22, 2, 0}, {0x23, 2, 0}, {0x25, 2, 0}, {0x32, 2, 0},
                        {0x33, 2, 0}, {0x56, 2, 0}, {0x70, 2, 0}, {0x71, 2, 0}, {0x75, 2, 0}, {0x87, 2, 0},
                        {0x88, 2, 0}, {0x67, 1, 0}, {0x76, 3, 0}, {0x83, 3, 0}, {0x92, 3, 0}, {0x85, 4, 1},
                        {0x86, 3, 1}, {0x89, 3, 1}, {0x90, 3, 1}};
  // Start from the other row each time, so every global must be rewritten.
  for (const Chip& c : chips) {
    const int other = 1 - c.arch;
    usb.regs.erase(0x80F0);
    usb.regs[0x101F] = other == 0 ? 0x15 : 0x85;
    ASSERT_TRUE(open());
    SonixCam_UnInit();
    usb.regs[0x101F] = c.id;
    ASSERT_TRUE(open()) << std::hex << int{c.id};
    int type = -1;
    std::uint8_t chip = 0;
    ASSERT_EQ(SonixCam_GetAsicRomType(&type, &chip), 1);
    EXPECT_EQ(type, c.rom_type) << std::hex << int{c.id};
    EXPECT_EQ(chip, c.id);
    const std::uint16_t globals[20] = {dspIdAddr,
                                       usbResetAddr,
                                       gpioInputAddr,
                                       gpioOutputAddr,
                                       gpioOEAddr,
                                       sfRdyAddr,
                                       sfModeAddr,
                                       sfCSAddr,
                                       sfWriteDataAddr,
                                       sfReadDataAddr,
                                       sfReadWriteTriggerAddr,
                                       sfReadCmdAddr,
                                       sfReadDataStartAddr,
                                       i2cDev,
                                       i2cMode,
                                       i2cTrg,
                                       i2cSclSelOD,
                                       i2cSlaveID,
                                       i2cDataArrStartAddr,
                                       cpuRateAddr};
    for (int i = 0; i < 20; ++i) EXPECT_EQ(globals[i], kMap[c.arch][i]) << std::hex << int{c.id} << " entry " << i;
    const bool i2c64 = c.id == 0x86 || c.id == 0x88 || c.id == 0x89 || c.id == 0x90;
    EXPECT_EQ(IsSupportI2C64(), i2c64 ? 1 : 0) << std::hex << int{c.id};
    SonixCam_UnInit();
  }
  // Ids of neither row are no controller: the open fails with code 13.
  for (std::uint8_t id : {0x00, 0x11, 0x24, 0x84, 0x91, 0xFF}) {
    usb.regs[0x101F] = id;
    usb.regs[0x80F0] = id;
    gEC = 0;
    EXPECT_FALSE(open()) << std::hex << int{id};
    EXPECT_EQ(gEC, 13);
    EXPECT_TRUE(usb.clean());
  }
}

// Every row of the ROM table is found from its own text at its own address,
// and its sub-version rule holds one above and one below the listed value.
TEST_F(SonixConnection, EveryRomRowIsFoundByItsOwnText) {
  ASSERT_TRUE(open());
  struct Row {
    std::uint16_t address;
    const char* name;
    std::uint8_t sub;
    bool at_least;
  };
  const Row rows[40] = {
      {0x9FF8, "220R0", 1, true},  {0x9FF8, "225R0", 3, true},  {0x9FF8, "250R0", 1, false},
      {0x9FF8, "250R0", 2, true},  {0xD2B2, "230R0", 1, false}, {0xDFF8, "230R0", 2, false},
      {0xDFF8, "230R0", 3, true},  {0xDFF8, "231R0", 1, false}, {0xDFF8, "216R0", 1, true},
      {0xBFF8, "215R0", 1, true},  {0xBFF8, "236R0", 1, false}, {0xBFF8, "236R0", 2, true},
      {0xBFF8, "256R0", 1, true},  {0xBFF8, "231R0", 2, true},  {0xBFF8, "266R0", 1, true},
      {0xBFF8, "276R0", 1, true},  {0xBFF8, "275R0", 1, true},  {0xBFF8, "290R0", 1, false},
      {0xBFF8, "290R0", 2, true},  {0xBFF8, "286R0", 1, true},  {0xBFF8, "288R0", 1, true},
      {0xBFF8, "288R0", 1, true},  {0xBFF8, "270R0", 1, true},  {0xBFF8, "271R0", 1, true},
      {0xBFF8, "280R0", 1, true},  {0xBFF8, "281R0", 1, true},  {0xC7F8, "232R0", 1, false},
      {0xC7F8, "232R0", 2, true},  {0xAFF8, "272R0", 1, true},  {0xAFF8, "273R0", 1, true},
      {0xAFF8, "275R0", 1, true},  {0xAFF8, "283R0", 1, false}, {0x9FF8, "292R0", 1, false},
      {0xAFF8, "287R0", 1, false}, {0xAFF8, "267R0", 1, true},  {0xAFF8, "276R0", 1, true},
      {0xAFF8, "285R0", 1, true},  {0xAFF8, "286R0", 1, true},  {0xAFF8, "289R0", 1, true},
      {0xAFF8, "290R0", 1, true},
  };
  // The row an exact text finds: the first row at that address with that name
  // whose rule accepts the sub-version (rows 20 and 21 are the same).
  auto expected_row = [&rows](std::uint16_t address, const char* name, int sub) {
    for (int r = 0; r < 40; ++r) {
      const Row& row = rows[r];
      if (row.address != address || std::memcmp(row.name, name, 4) != 0) continue;
      if (row.at_least ? sub >= row.sub : sub == row.sub) return r;
    }
    return -1;
  };
  std::uint8_t version[8] = {};
  for (int r = 0; r < 40; ++r) {
    const Row& row = rows[r];
    for (int sub = row.sub - 1; sub <= row.sub + 1; ++sub) {
      usb.rom.clear();
      usb.set_rom(row.address, row.name, static_cast<std::uint8_t>(sub));
      uiRomID = 99;
      const int want = expected_row(row.address, row.name, sub);
      if (sub == row.sub) {
        EXPECT_EQ(want, r == 21 ? 20 : r);
      }
      EXPECT_EQ(LibUsb_DefGetAsicRomVersion(version), want >= 0 ? 1 : 0) << row.name << " sub " << sub;
      EXPECT_EQ(uiRomID, want >= 0 ? static_cast<std::uint32_t>(want) : 99u) << row.name << " sub " << sub;
    }
  }
}

}  // namespace
