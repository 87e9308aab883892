// Conversation tests of the SonixCam flash paths, firmware version and device
// strings against a scripted OS boundary: exact request framing, the SPI bytes
// the host shifts out, and a transfer failure injected at every step of the
// byte-banging operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sonix/fake_usb.hpp"
#include "sonix/sonix_cam.h"

namespace {

using sonix_test::CapturedOutput;
using sonix_test::FakeUsb;
using sonix_test::Transfer;
namespace platform = morvane::uvc_stereo::platform;

class SonixFlashConversation : public ::testing::Test {
 protected:
  void SetUp() override { gEC = 0; }
  void TearDown() override {
    if (camera_init) SonixCam_UnInit();
  }
  void open() {
    char text[] = "0c450643";
    ASSERT_EQ(SonixCam_Init(text, 1, 4), 1);
    usb.transfers.clear();
    usb.spi_out.clear();
    usb.register_writes.clear();
  }
  void put(std::uint32_t address, const std::string& bytes) {
    std::memcpy(usb.flash.data() + address, bytes.data(), bytes.size());
  }
  std::vector<Transfer> requests_with_value(std::uint16_t value) const {
    std::vector<Transfer> out;
    for (const Transfer& t : usb.transfers) {
      if (t.value == value) out.push_back(t);
    }
    return out;
  }
  FakeUsb usb;
  platform::ScopedPlatform installed{usb};
};

TEST_F(SonixFlashConversation, FlashWindowFramingAndBanks) {
  open();
  for (std::uint32_t i = 0; i < 16; ++i) usb.flash[0x31234 + i] = static_cast<std::uint8_t>(0x40 + i);
  std::uint8_t buffer[13] = {};
  ASSERT_EQ(SonixCam_SerialFlashRead(0x31234, buffer, 13), 1);
  auto window = requests_with_value(0x0300);
  ASSERT_EQ(window.size(), 4u);
  EXPECT_EQ(window[0].request_type, 0x21);
  EXPECT_EQ(std::vector<std::uint8_t>(window[0].data.begin(), window[0].data.begin() + 3),
            (std::vector<std::uint8_t>{0x34, 0x12, 0xB8}));
  EXPECT_EQ(window[1].request_type, 0xA1);
  EXPECT_EQ(window[1].length, 11);
  EXPECT_EQ(std::vector<std::uint8_t>(window[2].data.begin(), window[2].data.begin() + 3),
            (std::vector<std::uint8_t>{0x3C, 0x12, 0xB5}));
  for (int i = 0; i < 13; ++i) EXPECT_EQ(buffer[i], 0x40 + i);

  // Above 0x30000 the bank stays 3; below it, it is address bits 16-17.
  usb.transfers.clear();
  ASSERT_EQ(LibUsb_ReadFormSF(0x41234, buffer, 1), 1);
  EXPECT_EQ(usb.transfers[0].data[2], 0xB1);
  usb.transfers.clear();
  ASSERT_EQ(LibUsb_ReadFormSF(0x21234, buffer, 8), 1);
  EXPECT_EQ(usb.transfers[0].data[2], 0xA8);

  // Window writes: one SET_CUR per chunk, control byte without bit 7.
  usb.transfers.clear();
  std::uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(SonixCam_SerialFlashWrite(0x10000, data, 10), 1);
  ASSERT_EQ(usb.transfers.size(), 2u);
  EXPECT_EQ(usb.transfers[0].data[2], 0x18);
  EXPECT_EQ(usb.transfers[1].data[2], 0x12);
  EXPECT_EQ(usb.transfers[1].data[0], 0x08);
  EXPECT_EQ(usb.flash[0x10009], 9);

  usb.fail_at[usb.transfers.size() + 2] = LIBUSB_ERROR_TIMEOUT;
  {
    CapturedOutput output;
    EXPECT_EQ(SonixCam_SerialFlashRead(0, buffer, 13), 0);
    EXPECT_EQ(output.err(), "F3 error -7\n");
  }
  usb.fail_at[usb.transfers.size() + 1] = LIBUSB_ERROR_PIPE;
  {
    CapturedOutput output;
    EXPECT_EQ(SonixCam_SerialFlashWrite(0, data, 10), 0);
    EXPECT_EQ(output.err(), "F4 error -9\n");
  }
  EXPECT_EQ(SonixCam_SerialFlashRead(-1, buffer, 1), 0);
  EXPECT_EQ(SonixCam_SerialFlashRead(0xFFFFFF, buffer, 2), 0);
  EXPECT_EQ(SonixCam_SerialFlashRead(0, nullptr, 2), 0);
}

// Without the streaming request the window reaches only the first 256 KiB:
// a call for bytes beyond it is refused before anything is erased or sent,
// with gEC 15 and a diagnostic; the last reachable bytes still work; with the
// streaming request the same addresses go through.
TEST_F(SonixFlashConversation, WindowUnreachableAddressesAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::int64_t address;
    std::int64_t length;
    bool reachable;
  };
  const Case cases[] = {
      {0x51000, 16, false}, {0x40000, 1, false}, {0x3FFF8, 9, false},
      {0xFFFF00, 8, false}, {0x3FFF8, 8, true},  {0x30000, 16, true},
  };
  enum class Call { read, write, sector_write };
  open();
  for (const Case& c : cases) {
    for (Call call : {Call::read, Call::write, Call::sector_write}) {
      SCOPED_TRACE(::testing::Message() << std::hex << "address 0x" << c.address << std::dec << " length " << c.length
                                        << " call " << static_cast<int>(call));
      std::fill(usb.flash.begin(), usb.flash.end(), 0xA5);
      usb.transfers.clear();
      gEC = 0;
      std::vector<std::uint8_t> data(static_cast<std::size_t>(c.length), 0x11);
      int result = 0;
      CapturedOutput output;
      switch (call) {
        case Call::read:
          result = SonixCam_SerialFlashRead(c.address, data.data(), c.length);
          break;
        case Call::write:
          result = SonixCam_SerialFlashWrite(c.address, data.data(), c.length);
          break;
        case Call::sector_write:
          result = SonixCam_SerialFlashSectorWrite(c.address, data.data(), c.length, 1);
          break;
      }
      if (c.reachable) {
        EXPECT_EQ(result, 1);
        EXPECT_FALSE(usb.transfers.empty());
        EXPECT_EQ(gEC, 0);
        continue;
      }
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(usb.transfers.empty());
      EXPECT_EQ(gEC, SONIXCAM_EC_WINDOW_RANGE);
      EXPECT_EQ(SonixCam_GetErrorCode(), 15);
      char expected[160];
      std::snprintf(expected, sizeof expected,
                    "flash window cannot reach 0x%llx (%lld bytes): limit 0x40000 without the streaming request\n",
                    static_cast<unsigned long long>(c.address), static_cast<long long>(c.length));
      EXPECT_EQ(output.err(), expected);
      EXPECT_TRUE(std::all_of(usb.flash.begin(), usb.flash.end(), [](std::uint8_t b) { return b == 0xA5; }));
      EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0x11; }));
    }
  }
  SonixCam_UnInit();

  // The streaming path reaches the calibration sector.
  usb.rom.clear();
  usb.set_rom(0xBFF8, "276R0", 1);
  open();
  ASSERT_EQ(g_supportXU6, 1);
  gEC = 0;
  std::uint8_t data[16];
  for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(i);
  std::fill(usb.flash.begin() + 0x51000, usb.flash.begin() + 0x51010, 0xFF);
  EXPECT_EQ(SonixCam_SerialFlashWrite(0x51000, data, 16), 1);
  std::uint8_t back[16] = {};
  EXPECT_EQ(SonixCam_SerialFlashRead(0x51000, back, 16), 1);
  EXPECT_EQ(std::memcmp(back, data, 16), 0);
  EXPECT_EQ(gEC, 0);
}

TEST_F(SonixFlashConversation, StreamingPath) {
  usb.rom.clear();
  usb.set_rom(0xBFF8, "276R0", 1);  // a generation with the streaming request
  open();
  ASSERT_EQ(g_supportXU6, 1);
  usb.regs[0x100D] = 0xFF;
  for (std::uint32_t i = 0; i < 100; ++i) usb.flash[0x1000 + i] = static_cast<std::uint8_t>(i * 3);
  std::uint8_t buffer[100] = {};
  ASSERT_EQ(SonixCam_SerialFlashRead(0x1000, buffer, 100), 1);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(buffer[i], static_cast<std::uint8_t>(i * 3));
  EXPECT_EQ(usb.regs[0x100D], 0xFB);  // flash clock set-up for this generation
  EXPECT_EQ(usb.regs[0x1090], 0x01);
  auto stream = requests_with_value(0x0600);
  ASSERT_EQ(stream.size(), 3u);
  EXPECT_EQ(stream[0].request_type, 0x21);
  EXPECT_EQ(stream[0].length, 64);
  EXPECT_EQ(std::vector<std::uint8_t>(stream[0].data.begin(), stream[0].data.begin() + 12),
            (std::vector<std::uint8_t>{0x00, 0x10, 0x00, 0x00, 0x80, 64, 0x64, 0x10, 0x00, 0x00, 0x0B, 0x01}));
  EXPECT_EQ(stream[1].request_type, 0xA1);
  EXPECT_EQ(stream[2].request_type, 0xA1);

  // A transfer left running is stopped first.
  WriteDataToAsic(0x0337, 5);
  WriteDataToAsic(0x033B, 9);
  usb.transfers.clear();
  std::uint8_t data[70];
  for (int i = 0; i < 70; ++i) data[i] = static_cast<std::uint8_t>(0xF0 ^ i);
  ASSERT_EQ(SonixCam_SerialFlashWrite(0x2000, data, 70), 1);
  EXPECT_EQ(usb.regs[0x033A], 0);
  EXPECT_EQ(usb.regs[0x033E], 0);
  stream = requests_with_value(0x0600);
  ASSERT_EQ(stream.size(), 3u);
  EXPECT_EQ(stream[0].data[4], 0x00);
  EXPECT_EQ(stream[0].data[6], 70);
  EXPECT_EQ(stream[0].data[7], 0x20);
  EXPECT_EQ(stream[2].data[5], data[69]);
  EXPECT_EQ(stream[2].data[6], 0);  // the rest of the last unit is zero
  for (int i = 0; i < 70; ++i) ASSERT_EQ(usb.flash[0x2000 + i], data[i]);

  // Fail the last data unit of the same read.
  usb.transfers.clear();
  ASSERT_EQ(SonixCam_SerialFlashRead(0x1000, buffer, 100), 1);
  usb.fail_at = {{usb.transfers.size(), LIBUSB_ERROR_TIMEOUT}};
  usb.transfers.clear();
  {
    CapturedOutput output;
    EXPECT_EQ(SonixCam_SerialFlashRead(0x1000, buffer, 100), 0);
    EXPECT_EQ(output.err(), "read xu6  error -7\n");
  }
  EXPECT_EQ(ReadDataFormFlashXU6(buffer, 0), 0);
  EXPECT_EQ(ReadDataFormFlashXU6(buffer, 65), 0);
  EXPECT_EQ(WriteDataToFlashXU6(data, 65), 0);
}

TEST_F(SonixFlashConversation, FlashIdentification) {
  open();
  usb.spi_in = {0x7F, 0xC8, 0x40, 0x13};  // continuation code, then GigaDevice ids
  int type = -1;
  ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 0), 1);
  EXPECT_EQ(type, 13);
  EXPECT_EQ(sfManufactureID, 0xC8);
  EXPECT_EQ(sfDeviceID2, 0x13);
  EXPECT_EQ(usb.spi_out, std::vector<std::uint8_t>{0x9F});
  EXPECT_EQ(usb.regs[0x1080], 0);  // manual mode left

  // A row with "any" device id 2 matches whatever the one-byte command returns.
  usb.spi_out.clear();
  usb.spi_idle_in = 0xFF;
  usb.spi_in = {0x11, 0x11, 0x11, /* 0x15: */ 0x9D, 0x7B};
  ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 0), 1);
  EXPECT_EQ(type, 8);
  EXPECT_EQ(sfDeviceID2, 0xFF);
  EXPECT_EQ(usb.spi_out, (std::vector<std::uint8_t>{0x9F, 0x15}));

  // No row: all four commands, type 0 without fallback.
  usb.spi_out.clear();
  usb.spi_in.clear();
  ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 0), 1);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(usb.spi_out, (std::vector<std::uint8_t>{0x9F, 0x15, 0x90, 0, 0, 0, 0xAB, 0, 0, 0}));

  // Fallback: the ROM's flash-type register, valid for 1 to 18.
  usb.regs[0x05F0] = 7;
  ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 1), 1);
  EXPECT_EQ(type, 7);
  for (std::uint8_t bad : {std::uint8_t{0}, std::uint8_t{19}}) {
    usb.regs[0x05F0] = bad;
    type = -1;
    EXPECT_EQ(SonixCam_GetSerialFlashType(&type, 1), 0);
    EXPECT_EQ(type, 0);
  }
  EXPECT_EQ(SonixCam_GetSerialFlashType(nullptr, 1), 0);
}

// A flash known only through the controller's fallback flash-type register
// gets its type's command set, so a controller set up for the flash's own
// opcodes is programmed with a real write enable and program opcode.
TEST_F(SonixFlashConversation, FallbackIdentifiedTypesGetTheirTypesOpcodes) {
  usb.regs[0x101F] = 0x33;  // with configuration byte 0x08: the flash's own command set
  usb.flash[0x0F] = 0x08;
  open();
  struct Case {
    std::uint8_t type;
    std::uint8_t command_set;
    std::uint8_t write_enable;
    std::uint8_t program;
  };
  // Type 9 is in no identification row: the common SPI NOR set.
  for (const Case& c : {Case{1, 1, 0x06, 0x02}, Case{3, 4, 0x06, 0xAF}, Case{4, 2, 0x06, 0x02}, Case{8, 3, 0x06, 0x02},
                        Case{13, 1, 0x06, 0x02}, Case{9, 1, 0x06, 0x02}}) {
    SCOPED_TRACE(::testing::Message() << "type " << int(c.type));
    usb.spi_in.clear();
    usb.spi_idle_in = 0x00;  // the ID commands read nothing any row knows
    usb.regs[0x05F0] = c.type;
    usb.regs[0x05F3] = 0;
    usb.regs[0x05F5] = 0;
    int type = 0;
    ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 1), 1);
    ASSERT_EQ(type, c.type);
    EXPECT_EQ(ubSFLib_CmdID, c.command_set);
    ASSERT_EQ(LibUsb_DisableSerialFlashWriteProtect(type), 1);
    EXPECT_EQ(usb.regs[0x05F3], c.write_enable);
    EXPECT_EQ(usb.regs[0x05F5], c.program);
  }
}

TEST_F(SonixFlashConversation, ByteBangingReadSequence) {
  open();
  usb.spi_in = {0xDE, 0xAD, 0xBE};
  std::uint8_t buffer[3] = {};
  ASSERT_EQ(SonixCam_SerialFlashCustomRead(0x123456, buffer, 3), 1);
  EXPECT_EQ(usb.spi_out, (std::vector<std::uint8_t>{0x03, 0x12, 0x34, 0x56}));
  EXPECT_EQ(buffer[0], 0xDE);
  EXPECT_EQ(buffer[2], 0xBE);
  EXPECT_EQ(usb.regs[0x1088], 0x03);
  EXPECT_EQ(usb.regs[0x1089], 0x12);
  EXPECT_EQ(usb.regs[0x108A], 0x34);
  EXPECT_EQ(usb.regs[0x108B], 0x56);
  EXPECT_EQ(usb.regs[0x1091] & 1, 1);
  EXPECT_EQ(usb.regs[0x1080] & 1, 0);
  EXPECT_EQ(SonixCam_SerialFlashCustomRead(0, nullptr, 3), 0);
  EXPECT_EQ(SonixCam_SerialFlashCustomRead(0, buffer, -1), 0);
}

// A failed transfer at any checked step of a byte-banging operation makes it
// fail (the flash transport relies on that to tell a vanished camera from
// good data), and the flash is never left selected in manual mode. The
// write-protect removal that starts erases and writes tolerates some failures
// by design (ROM reads at other text addresses, GPIO read-backs); a failure
// there must still never crash or leave the chip selected.
TEST_F(SonixFlashConversation, TransferFailureAtEveryStepIsReported) {
  open();
  struct Operation {
    const char* name;
    int (*run)();
    int type;  // 0: no write-protect removal first
  };
  static std::uint8_t data[20];
  static std::uint8_t buffer[20];
  const Operation operations[] = {
      {"custom read", [] { return SonixCam_SerialFlashCustomRead(0x1000, buffer, 20); }, 0},
      {"sector erase", [] { return SonixCam_EraseSectorFlash(0x1000, 1); }, 1},
      {"chip erase", [] { return SonixCam_EraseSerialFlash(7); }, 7},
      {"custom write type 1", [] { return SonixCam_SerialFlashSectorCustomWrite(0x10F8, data, 20, 1); }, 1},
      {"custom write type 3", [] { return SonixCam_SerialFlashSectorCustomWrite(0x1000, data, 5, 3); }, 3},
      {"custom write type 4", [] { return SonixCam_SerialFlashSectorCustomWrite(0x10FC, data, 9, 4); }, 4},
  };
  for (const Operation& op : operations) {
    usb.fail_at.clear();
    std::size_t preamble = 0;
    if (op.type != 0) {
      usb.transfers.clear();
      ASSERT_EQ(LibUsb_DisableSerialFlashWriteProtect(op.type), 1);
      preamble = usb.transfers.size();
    }
    usb.transfers.clear();
    ASSERT_EQ(op.run(), 1) << op.name;
    std::size_t steps = usb.transfers.size();
    ASSERT_GT(steps, preamble + 10) << op.name;
    for (std::size_t k = 1; k <= steps; ++k) {
      usb.transfers.clear();
      usb.fail_at = {{k, LIBUSB_ERROR_IO}};
      CapturedOutput output;
      int result = op.run();
      output.finish();
      // A failed post of a register read is not seen by the host: the reply
      // that follows still arrives.
      const Transfer& failed = usb.transfers[k - 1];
      bool read_post = failed.request_type == 0x21 && failed.value == 0x0100 && failed.data[3] == 0xFF;
      if (k > preamble && !read_post) {
        EXPECT_EQ(result, 0) << op.name << ": failing transfer " << k << " of " << steps;
      }
      EXPECT_FALSE((usb.regs[0x1080] & 1) && !(usb.regs[0x1091] & 1)) << op.name << ": step " << k;
    }
  }
  usb.fail_at.clear();
}

TEST_F(SonixFlashConversation, EraseOpcodesAndProgramCommands) {
  open();
  struct Erase {
    int type;
    std::uint8_t sector;
    std::uint8_t block;
  };
  for (const Erase& e : {Erase{2, 0xD8, 0xD8}, Erase{8, 0xD7, 0x52}, Erase{12, 0x20, 0x52}, Erase{13, 0x20, 0xD8},
                         Erase{1, 0x20, 0x52}, Erase{16, 0x20, 0xD8}}) {
    usb.spi_out.clear();
    ASSERT_EQ(LibUsb_EraseSectorForSerialFlash(0x123456, e.type), 1);
    // Then the status is read until the erase has finished.
    EXPECT_EQ(usb.spi_out, (std::vector<std::uint8_t>{0x06, e.sector, 0x12, 0x34, 0x56, 0x05})) << e.type;
    usb.spi_out.clear();
    ASSERT_EQ(LibUsb_EraseBlockForSerialFlash(0x120000, e.type), 1);
    EXPECT_EQ(usb.spi_out, (std::vector<std::uint8_t>{0x06, e.block, 0x12, 0x00, 0x00, 0x05})) << e.type;
  }
  EXPECT_EQ(LibUsb_EraseSectorForSerialFlash(0x1000, 0), 0);
  EXPECT_EQ(LibUsb_EraseBlockForSerialFlash(0x1000, 0), 0);

  // Chip erase, type 3: status unlock first.
  usb.spi_out.clear();
  ASSERT_EQ(LibUsb_SerialFlashErase(3), 1);
  EXPECT_EQ(std::vector<std::uint8_t>(usb.spi_out.begin(), usb.spi_out.begin() + 6),
            (std::vector<std::uint8_t>{0x50, 0x01, 0x00, 0x06, 0x60, 0x05}));
  usb.spi_out.clear();
  ASSERT_EQ(LibUsb_SerialFlashErase(10), 1);
  EXPECT_EQ(std::vector<std::uint8_t>(usb.spi_out.begin(), usb.spi_out.begin() + 3),
            (std::vector<std::uint8_t>{0x06, 0xC7, 0x05}));

  // Write protection on a generation with command registers, type 3.
  ASSERT_EQ(LibUsb_DisableSerialFlashWriteProtect(3), 1);
  EXPECT_EQ(usb.regs[0x05F3], 0x06);
  EXPECT_EQ(usb.regs[0x05F5], 0xAF);
  EXPECT_EQ(usb.regs[0x05F8], 0x12);
  EXPECT_EQ(usb.regs[0x05FB], 0xED);
  ASSERT_EQ(LibUsb_DisableSerialFlashWriteProtect(1), 1);
  EXPECT_EQ(usb.regs[0x05F5], 0x02);
  // A controller set up for the flash's own command set (chip 0x33 with
  // configuration byte bits 2-3 = 10b) gets the identified flash's opcodes.
  SonixCam_UnInit();
  usb.regs[0x101F] = 0x33;
  usb.flash[0x0F] = 0x08;
  open();
  usb.spi_in = {0xBF, 0x48, 0x00};  // SST: command set 4
  int type = 0;
  ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 0), 1);
  ASSERT_EQ(type, 3);
  EXPECT_EQ(ubSFLib_CmdID, 4);
  ASSERT_EQ(LibUsb_DisableSerialFlashWriteProtect(type), 1);
  EXPECT_EQ(usb.regs[0x05F3], 0x06);
  EXPECT_EQ(usb.regs[0x05F5], 0xAF);
  usb.spi_in = {0xC2, 0x20, 0x10};  // Macronix: command set 1
  ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 0), 1);
  ASSERT_EQ(LibUsb_DisableSerialFlashWriteProtect(type), 1);
  EXPECT_EQ(usb.regs[0x05F5], 0x02);
  usb.flash[0x0F] = 0x0C;  // not set up for it: the fixed opcodes for the type
  ASSERT_EQ(LibUsb_DisableSerialFlashWriteProtect(3), 1);
  EXPECT_EQ(usb.regs[0x05F5], 0xAF);
  gEC = 0;
  usb.rom.clear();
  EXPECT_EQ(LibUsb_DisableSerialFlashWriteProtect(1), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_WP_ROM_UNKNOWN);
}

// Firmware version fields per chip: (chip, field 1, field 2, field 3, field 4).
struct FwLayout {
  std::uint8_t chip;
  std::uint32_t f1, f2, f3, f4;
};
constexpr FwLayout kLayouts[] = {
    {0x15, 0x3E00, 0x3E0A, 0x3E14, 0x01F3}, {0x56, 0x3E00, 0x3E0A, 0x3E14, 0x01F3},
    {0x16, 0x0FD0, 0x0FDA, 0x0FE4, 0x0153}, {0x25, 0x5E00, 0x5E0A, 0x5E14, 0x01F3},
    {0x32, 0x0FD0, 0x0FDA, 0x0FE4, 0x0153}, {0x70, 0x3E05, 0x3E0F, 0x3E19, 0x3E00},
    {0x71, 0x3E05, 0x3E0F, 0x3E19, 0x3E00}, {0x75, 0x2000, 0x2012, 0x201C, 0x200A},
    {0x76, 0x3FD0, 0x3FDA, 0x3FE4, 0x0153}, {0x83, 0x2000, 0x2012, 0x201C, 0x200A},
    {0x85, 0x2000, 0x2012, 0x201C, 0x200A}, {0x86, 0x2000, 0x2012, 0x201C, 0x200A},
    {0x89, 0x2000, 0x2012, 0x201D, 0x200A}, {0x90, 0x2000, 0x2012, 0x201D, 0x200A},
    {0x92, 0x2000, 0x2013, 0x201C, 0x200B},
};

TEST_F(SonixFlashConversation, FirmwareVersionOfEverySupportedChip) {
  std::vector<std::uint8_t> pattern(0x6000);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>('A' + (i * 7 + i / 26) % 26);
  std::memcpy(usb.flash.data(), pattern.data(), pattern.size());
  for (const FwLayout& layout : kLayouts) {
    usb.regs[0x101F] = layout.chip;
    open();
    std::uint8_t raw[256] = {};
    ASSERT_EQ(SonixCam_GetFwVersion(raw, sizeof raw, 1), 1) << std::hex << int{layout.chip};
    std::vector<std::uint8_t> expected(56, 0);
    std::memcpy(&expected[0], &pattern[layout.f4], 5);
    std::memcpy(&expected[5], &pattern[layout.f2], 10);
    std::memcpy(&expected[15], &pattern[layout.f1], 10);
    std::memcpy(&expected[25], &pattern[layout.f3], 10);
    EXPECT_EQ(std::vector<std::uint8_t>(raw, raw + 56), expected) << std::hex << int{layout.chip};
    EXPECT_EQ(raw[56], 0);  // only the 56-byte version buffer is written

    std::uint8_t text[256] = {};
    ASSERT_EQ(SonixCam_GetFwVersion(text, sizeof text, 0), 1);
    std::string t(reinterpret_cast<char*>(text));
    std::string f1(&pattern[layout.f1], &pattern[layout.f1] + 10);
    std::string f2(&pattern[layout.f2], &pattern[layout.f2] + 10);
    std::string f3(&pattern[layout.f3], &pattern[layout.f3] + 10);
    std::string f4(&pattern[layout.f4], &pattern[layout.f4] + 5);
    EXPECT_EQ(t, f4.substr(0, 4) + "-" + f2 + "-" + f4[4] + "-V" + f3.substr(0, 6) + "_" + f3.substr(6, 2) + "_" +
                     f3.substr(8, 2) + "-" + f1)
        << std::hex << int{layout.chip};

    std::vector<std::uint8_t> image(pattern);
    std::uint8_t from_file[256] = {};
    ASSERT_EQ(SonixCam_GetFwVersionFromFile(image.data(), from_file, sizeof from_file, 1), 1);
    EXPECT_EQ(std::memcmp(from_file, raw, 56), 0);
    SonixCam_UnInit();
  }
}

TEST_F(SonixFlashConversation, FirmwareVersionRules) {
  // Chip 0x83 with version fields as the firmware writes them.
  put(0x2000, "2606030001");  // field 1
  put(0x200A, "0643X");       // field 4
  put(0x2012, "12-34-5678");  // field 2
  put(0x201C, "2026010203");  // field 3
  open();
  std::uint8_t text[64] = {};
  ASSERT_EQ(SonixCam_GetFwVersion(text, 64, 0), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "0643-12345678-X-V202601_02_03-2606030001");
  std::uint8_t raw[64] = {};
  ASSERT_EQ(SonixCam_GetFwVersion(raw, 64, 1), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(raw), "0643X12-34-567826060300012026010203");
  // A short buffer is refused rather than overrun.
  EXPECT_EQ(SonixCam_GetFwVersion(raw, 55, 1), 0);
  EXPECT_EQ(SonixCam_GetFwVersion(nullptr, 64, 1), 0);
  // A zero byte ends the raw text early.
  usb.flash[0x2014] = 0;
  ASSERT_EQ(SonixCam_GetFwVersion(raw, 64, 1), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(raw), "0643X12");
  // The text form copies that zero byte of field 2 as well, so the text ends
  // there instead of running on with the other fields.
  ASSERT_EQ(SonixCam_GetFwVersion(text, 64, 0), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "0643-12");
  SonixCam_UnInit();

  // A "220R" ROM leaves out the fifth byte of field 4.
  usb.rom.clear();
  usb.set_rom(0x9FF8, "220R0", 1);
  usb.regs[0x101F] = 0x16;
  put(0x0FD0, "AB-CD-EF-G");
  put(0x0FDA, "1-2-3-4-5-");
  put(0x0FE4, "ABCDEFGHIJ");
  put(0x0153, "WXYZQ");
  open();
  ASSERT_EQ(SonixCam_GetFwVersion(text, 64, 0), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "WXYZ-12345-VABCDEF_GH_IJ-ABCDEFG");
  SonixCam_UnInit();

  // Chips without version fields, and conditions not met.
  struct Refused {
    std::uint8_t chip;
    const char* rom;
    std::uint8_t sub;
  };
  for (const Refused& r :
       {Refused{0x22, "256R0", 1}, Refused{0x33, "256R0", 1}, Refused{0x67, "256R0", 1}, Refused{0x87, "256R0", 1},
        Refused{0x88, "256R0", 1}, Refused{0x75, "256R0", 2}, Refused{0x76, "256R0", 3}, Refused{0x32, "256R0", 3}}) {
    usb.rom.clear();
    usb.set_rom(0xBFF8, r.rom, r.sub);
    usb.regs[0x101F] = r.chip;
    open();
    EXPECT_EQ(SonixCam_GetFwVersion(text, 64, 1), 0) << std::hex << int{r.chip};
    SonixCam_UnInit();
  }
  // Chip 0x32: sub-version 2 moves fields 2 to 4.
  usb.rom.clear();
  usb.set_rom(0xBFF8, "256R0", 2);
  usb.regs[0x101F] = 0x32;
  put(0x0FDA, "QRSTU");
  open();
  ASSERT_EQ(SonixCam_GetFwVersion(raw, 64, 1), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 5), "QRSTU");
  SonixCam_UnInit();
}

TEST_F(SonixFlashConversation, FirmwareVersionVariantsOfChip75) {
  usb.regs[0x101F] = 0x75;
  put(0x4E00, "DSPROMTYPE");
  put(0x4E0A, "1111Z");
  put(0x2000, "FIELDONE01");
  put(0x200A, "2222Y");
  open();
  std::uint8_t buffer[64] = {};
  {
    CapturedOutput output;
    ASSERT_EQ(SonixCam_GetFwVersionEx(2, buffer, 64, 1), 1);
    EXPECT_EQ(output.out(), "dsp rom type=DSPROMTYPE\n");
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "1111Z");
  ASSERT_EQ(SonixCam_GetFwVersionEx(3, buffer, 64, 1), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "2222Y");
  EXPECT_EQ(SonixCam_GetFwVersionEx(1, buffer, 64, 1), 0);
  SonixCam_UnInit();
  usb.regs[0x101F] = 0x83;  // other chips ignore the variant
  open();
  EXPECT_EQ(SonixCam_GetFwVersionEx(1, buffer, 64, 1), 1);
}

TEST_F(SonixFlashConversation, ParameterTableAndStrings) {
  struct Case {
    std::uint16_t rom_address;
    const char* rom;
    std::uint8_t sub;
    char variant;
    bool ok;
    std::uint64_t start, end, check;
  };
  // Table header bytes read from 0x160 by the newer generations.
  usb.flash[0x168] = 0x90;
  usb.flash[0x169] = 0x10;
  usb.flash[0x16E] = 0xA0;
  const std::uint8_t be[] = {0x00, 0x01, 0x20, 0x00, 0x00, 0x00, 0x0F, 0x00};
  std::memcpy(&usb.flash[0x16F], be, 8);
  const std::uint8_t crc[] = {0x00, 0x01, 0x2F, 0x00};
  std::memcpy(&usb.flash[0x187], crc, 4);
  const Case cases[] = {
      {0xBFF8, "231R0", 2, '0', false, 0, 0, 0},
      {0xC7F8, "232R0", 1, '0', true, 0xC000, 0xCF00, 0xCF00},
      {0xAFF8, "275R0", 1, '0', true, 0xC000, 0xCF00, 0xCF00},
      {0xC7F8, "232R0", 2, '0', true, 0x9000, 0xA000, 0xA000},
      {0xBFF8, "280R0", 1, '0', true, 0x9000, 0xA000, 0xA000},
      {0xAFF8, "272R0", 1, '0', true, 0x12000, 0x12F00, 0x12F00},
      {0xAFF8, "290R0", 1, 'F', true, 0x12000, 0x12F00, 0x12F00},
      {0xAFF8, "290R0", 1, '0', true, 0x8000, 0x8800, 0},
      {0xDFF8, "216R0", 1, '0', true, 0x5800, 0x6700, 0x6700},
      {0xBFF8, "256R0", 1, '0', true, 0x8000, 0x8800, 0},
  };
  open();
  for (const Case& c : cases) {
    usb.rom.clear();
    usb.set_rom(c.rom_address, c.rom, c.sub, c.variant);
    std::uint64_t start = 1, end = 1, check = 1;
    ASSERT_EQ(LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &check), c.ok ? 1 : 0) << c.rom;
    if (!c.ok) continue;
    EXPECT_EQ(start, c.start) << c.rom;
    EXPECT_EQ(end, c.end) << c.rom;
    EXPECT_EQ(check, c.check) << c.rom;
    std::vector<std::uint8_t> image(usb.flash.begin(), usb.flash.begin() + 0x200);
    ASSERT_EQ(LibUsb_GetParaTableAndCRCAddrFormFW(image.data(), &start, &end, &check), 1);
    EXPECT_EQ(start, c.start) << c.rom;
  }
  // A failed header read fails the location.
  usb.rom.clear();
  usb.set_rom(0xC7F8, "232R0", 2);
  usb.vanish_from = usb.transfers.size() + 13;  // after the ROM identification
  std::uint64_t start = 0, end = 0, check = 0;
  {
    CapturedOutput output;
    EXPECT_EQ(LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &check), 0);
  }
  usb.vanish_from = 0;

  // Strings of a generation whose table starts at 0x8000.
  usb.rom.clear();
  usb.set_rom(0xBFF8, "256R0", 1);
  const std::uint8_t product[] = {10, 3, 'C', 0, 'a', 0, 'm', 0, '1', 0};
  std::memcpy(&usb.flash[0x8040], product, sizeof product);
  usb.flash[0x8080] = 0xFF;  // erased manufacturer: clamped to what the block holds
  usb.flash[0x80C0] = 0;     // empty serial number descriptor
  const std::uint8_t vidpid[] = {0x45, 0x0c, 0x43, 0x06};
  std::memcpy(&usb.flash[0x8006], vidpid, 4);
  std::uint8_t text[80] = {};
  ASSERT_EQ(SonixCam_GetProduct(text, 4), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "Cam1");
  EXPECT_EQ(SonixCam_GetProduct(text, 3), 0);
  std::memset(text, 0, sizeof text);
  ASSERT_EQ(SonixCam_GetManufacturer(text, sizeof text), 1);
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(text)), 31u);
  std::memset(text, 0, sizeof text);
  ASSERT_EQ(SonixCam_GetSerialNumber(text, 0), 1);
  EXPECT_EQ(text[0], 0);
  std::uint32_t value = 0;
  ASSERT_EQ(SonixCam_GetVidPid(&value), 1);
  EXPECT_EQ(std::memcmp(&value, vidpid, 4), 0);
  // Plain form: bytes up to the first 0xFF, at most 32.
  const char plain[] = "xyz";
  std::memcpy(&usb.flash[0x100], plain, 3);  // check-value address is 0 here
  usb.flash[0x103] = 0xFF;
  std::memset(text, 0, sizeof text);
  ASSERT_EQ(LibUsb_GetStringSettingFormSF(text, 80, 0x100, 0), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "xyz");
  EXPECT_EQ(LibUsb_GetStringSettingFormSF(nullptr, 80, 0x100, 0), 0);
}

// Every ROM name of the parameter-table location rules, with the sub-version
// and variant character each rule asks for and one that it does not.
TEST_F(SonixFlashConversation, ParameterTableLocationOfEveryRomName) {
  usb.flash[0x168] = 0x90;
  usb.flash[0x169] = 0x10;
  usb.flash[0x16E] = 0xA0;
  const std::uint8_t be[] = {0x00, 0x01, 0x20, 0x00, 0x00, 0x00, 0x0F, 0x00};
  std::memcpy(&usb.flash[0x16F], be, 8);
  const std::uint8_t check_be[] = {0x00, 0x01, 0x2F, 0x00};
  std::memcpy(&usb.flash[0x187], check_be, 4);
  enum Rule { fixed_c000, page_bytes, words_be32, rom216, other, fails };
  struct Case {
    std::uint16_t rom_address;
    const char* rom;
    std::uint8_t sub;
    char variant;
    Rule rule;
  };
  const Case cases[] = {
      {0xBFF8, "231R0", 2, '0', fails},      {0xBFF8, "231R0", 9, 'F', fails},
      {0xDFF8, "231R0", 1, '0', other},      {0xC7F8, "232R0", 1, 'F', fixed_c000},
      {0xAFF8, "275R0", 1, '0', fixed_c000}, {0xBFF8, "275R0", 1, '0', fixed_c000},
      {0xBFF8, "276R0", 1, 'F', fixed_c000}, {0xAFF8, "276R0", 1, '0', fixed_c000},
      {0xAFF8, "276R0", 2, '0', other},      {0xC7F8, "232R0", 2, '0', page_bytes},
      {0xC7F8, "232R0", 3, '0', other},      {0xBFF8, "288R0", 1, '0', page_bytes},
      {0xBFF8, "270R0", 1, '0', page_bytes}, {0xBFF8, "271R0", 1, '0', page_bytes},
      {0xBFF8, "280R0", 1, '0', page_bytes}, {0xBFF8, "281R0", 1, '0', page_bytes},
      {0xBFF8, "280R0", 2, '0', other},      {0xAFF8, "272R0", 1, '0', words_be32},
      {0xAFF8, "273R0", 1, '0', words_be32}, {0x9FF8, "292R0", 1, '0', words_be32},
      {0xAFF8, "273R0", 2, 'F', other},      {0xAFF8, "275R0", 1, 'F', words_be32},
      {0xAFF8, "283R0", 1, 'F', words_be32}, {0xAFF8, "285R0", 1, 'F', words_be32},
      {0xAFF8, "286R0", 1, 'F', words_be32}, {0xAFF8, "289R0", 1, 'F', words_be32},
      {0xAFF8, "290R0", 1, 'F', words_be32}, {0xAFF8, "287R0", 1, 'F', words_be32},
      {0xAFF8, "267R0", 1, 'F', words_be32}, {0xAFF8, "283R0", 1, '0', other},
      {0xAFF8, "285R0", 2, 'F', other},      {0xAFF8, "267R0", 1, '1', other},
      {0xDFF8, "216R0", 1, '0', rom216},     {0xDFF8, "216R0", 4, 'F', rom216},
      {0xBFF8, "215R0", 1, '0', other},      {0x9FF8, "220R0", 1, 'F', other},
  };
  open();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rom) + " sub " + std::to_string(c.sub) + " variant " + c.variant);
    usb.rom.clear();
    usb.set_rom(c.rom_address, c.rom, c.sub, c.variant);
    std::uint64_t start = 1, end = 1, check = 1;
    const int found = LibUsb_GetParaTableAndCRCAddrFormSF(&start, &end, &check);
    std::vector<std::uint8_t> image(usb.flash.begin(), usb.flash.begin() + 0x200);
    std::uint64_t fw_start = 1, fw_end = 1, fw_check = 1;
    const int fw_found = LibUsb_GetParaTableAndCRCAddrFormFW(image.data(), &fw_start, &fw_end, &fw_check);
    EXPECT_EQ(fw_found, found);
    EXPECT_EQ(std::vector<std::uint64_t>({fw_start, fw_end, fw_check}),
              std::vector<std::uint64_t>({start, end, check}));
    std::vector<std::uint64_t> want;
    switch (c.rule) {
      case fixed_c000:
        want = {0xC000, 0xCF00, 0xCF00};
        break;
      case page_bytes:
        want = {0x9000, 0xA000, 0xA000};
        break;
      case words_be32:
        want = {0x12000, 0x12F00, 0x12F00};
        break;
      case rom216:
        want = {0x5800, 0x6700, 0x6700};
        break;
      case other:
        want = {0x8000, 0x8800, 0};
        break;
      case fails:
        EXPECT_EQ(found, 0);
        continue;
    }
    ASSERT_EQ(found, 1);
    EXPECT_EQ(std::vector<std::uint64_t>({start, end, check}), want);
  }
}

// The blank check after the chip erase samples 8 bytes at every KiB offset
// below length - 1024 by flash window reads, before anything is written. This
// flash ignores SPI erases, so what it held before the burn is what the check
// finds.
TEST_F(SonixFlashConversation, BurnBlankCheckSamplesEachKibBelowTheLastOne) {
  auto sampled_before_first_write = [this] {
    std::vector<std::uint32_t> addresses;
    for (const Transfer& t : requests_with_value(0x0300)) {
      if (t.request_type != 0x21) continue;
      if ((t.data[2] & 0x80) == 0) break;  // the first window write
      EXPECT_EQ(t.data[2] & 0x0F, 8);
      addresses.push_back(static_cast<std::uint32_t>(t.data[0] | t.data[1] << 8));
    }
    return addresses;
  };
  open();
  struct Case {
    std::int64_t length;
    std::vector<std::uint32_t> samples;
  };
  for (const Case& c : {Case{1000, {}}, Case{1024, {}}, Case{1025, {0}}, Case{2049, {0, 1024}}, Case{3072, {0, 1024}},
                        Case{3073, {0, 1024, 2048}}}) {
    std::fill(usb.flash.begin(), usb.flash.end(), 0xFF);
    std::vector<std::uint8_t> image(static_cast<std::size_t>(c.length), 0x5A);
    usb.transfers.clear();
    gEC = 0;
    ASSERT_EQ(SonixCam_BurnerFW(image.data(), c.length, nullptr, nullptr, 1, 0), 1) << c.length;
    EXPECT_EQ(sampled_before_first_write(), c.samples) << c.length;
    EXPECT_EQ(gEC, 0) << c.length;
  }

  // A sampled byte that is not erased fails the burn with code 3 before any
  // write.
  std::fill(usb.flash.begin(), usb.flash.end(), 0xFF);
  usb.flash[2048 + 7] = 0xFE;
  std::vector<std::uint8_t> image(4096, 0x5A);
  usb.transfers.clear();
  EXPECT_EQ(SonixCam_BurnerFW(image.data(), 4096, nullptr, nullptr, 1, 1), 0);
  EXPECT_EQ(gEC, SONIXCAM_EC_ERASE);
  EXPECT_EQ(sampled_before_first_write(), (std::vector<std::uint32_t>{0, 1024, 2048}));
  for (const Transfer& t : requests_with_value(0x0300)) {
    EXPECT_TRUE(t.request_type != 0x21 || (t.data[2] & 0x80) != 0) << "window write after a failed blank check";
  }
  EXPECT_EQ(usb.flash[2048 + 7], 0xFE);
  EXPECT_EQ(usb.flash[0x160], 0xFF);
}

}  // namespace
