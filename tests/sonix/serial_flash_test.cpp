// The SonixCam serial-flash paths against the virtual camera and its strict
// SPI NOR model: identification of every flash the library knows, the SPI
// commands each flash type gets, data written and read back on every type,
// power cut at every SPI operation of a write, and the firmware version and
// device strings of real firmware images.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "emulator/firmware_image.hpp"
#include "emulator/serial_flash_controller.hpp"
#include "emulator/spi_nor_flash.hpp"
#include "sonix/sonix_cam.h"
#include "support/virtual_camera_fixture.hpp"

namespace {

using morvane::emulator::CameraConfig;
using morvane::emulator::SpiCommandOutcome;
using morvane::emulator::SpiCommandRecord;
using morvane::testing::VirtualCameraRig;

CameraConfig camera_with_flash_row(int id_row) {
  CameraConfig config = morvane::testing::default_camera_config();
  config.flash.id_row = id_row;
  return config;
}

// Opens the rig's first camera in the library; closes it at scope end.
class OpenCamera {
 public:
  explicit OpenCamera(VirtualCameraRig& rig) {
    const auto& c = rig.camera().config();
    char text[9];
    std::snprintf(text, sizeof text, "%04x%04x", c.vid, c.pid);
    ok_ = SonixCam_Init(text, c.bus_number, rig.camera().device_address()) == 1;
  }
  ~OpenCamera() {
    if (camera_init) SonixCam_UnInit();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

int flash_type() {
  int type = 0;
  SonixCam_GetSerialFlashType(&type, 1);
  return type;
}

std::vector<SpiCommandRecord> commands_with_opcode(const std::vector<SpiCommandRecord>& log, std::uint8_t opcode) {
  std::vector<SpiCommandRecord> out;
  for (const auto& record : log) {
    if (record.opcode == opcode) out.push_back(record);
  }
  return out;
}

std::vector<std::uint8_t> random_bytes(std::mt19937& rng, std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

TEST(SonixSerialFlash, IdentifiesEveryFlashOfTheTable) {
  // Row -> type; rows 23 and 24 carry the ids of rows 15 and 16, which win.
  const int expected[25] = {0, 1, 1, 1, 4, 8, 8, 8, 3, 2, 12, 13, 13, 7, 7, 14, 14, 1, 15, 15, 15, 16, 17, 14, 14};
  for (int row = 1; row <= 24; ++row) {
    VirtualCameraRig rig({camera_with_flash_row(row)});
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    int type = -1;
    ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 0), 1) << "row " << row;
    EXPECT_EQ(type, expected[row]) << "row " << row << " (" << rig.camera().flash().model().name << ")";
  }
}

TEST(SonixSerialFlash, UnknownFlashUsesTheControllerRegisterOnlyWhenAllowed) {
  CameraConfig config = camera_with_flash_row(0);
  config.flash.flash_type_register_value = 7;
  {
    VirtualCameraRig rig({config});
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    int type = -1;
    ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 0), 1);
    EXPECT_EQ(type, 0);
    ASSERT_EQ(SonixCam_GetSerialFlashType(&type, 1), 1);
    EXPECT_EQ(type, 7);
  }
  config.flash.flash_type_register_value = 19;
  {
    VirtualCameraRig rig({config});
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    int type = -1;
    EXPECT_EQ(SonixCam_GetSerialFlashType(&type, 1), 0);
    EXPECT_EQ(type, 0);
    // Type 0 is refused by every writing operation.
    std::uint8_t byte = 0;
    gEC = 0;
    EXPECT_EQ(SonixCam_SerialFlashSectorCustomWrite(0x51000, &byte, 1, 0), 0);
    EXPECT_EQ(gEC, SONIXCAM_EC_FLASH_TYPE);
  }
}

TEST(SonixSerialFlash, SectorEraseOpcodePerType) {
  struct Case {
    int row;
    int type;
    std::uint8_t opcode;
  };
  for (const Case& c : {Case{9, 2, 0xD8}, Case{5, 8, 0xD7}, Case{10, 12, 0x20}, Case{13, 7, 0x20}}) {
    VirtualCameraRig rig({camera_with_flash_row(c.row)});
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    ASSERT_EQ(flash_type(), c.type);
    rig.camera().load_flash(0x52000, std::vector<std::uint8_t>(16, 0x00));
    rig.camera().flash().set_command_log_enabled(true);
    ASSERT_EQ(SonixCam_EraseSectorFlash(0x52010, c.type), 1) << "type " << c.type;
    auto erases = commands_with_opcode(rig.camera().flash().command_log(), c.opcode);
    ASSERT_EQ(erases.size(), 1u) << "type " << c.type;
    EXPECT_EQ(erases[0].outcome, SpiCommandOutcome::executed) << "type " << c.type;
    // Success means erased: the erase has finished when the call returns.
    EXPECT_FALSE(rig.camera().flash().busy());
    EXPECT_EQ(rig.camera().flash_contents(0x52000, 16), std::vector<std::uint8_t>(16, 0xFF));
  }
}

// 300 bytes from 0x10F0 cross two page boundaries: every page-programming
// type sends 16, 256 and 28 bytes, each as its own executed command.
TEST(SonixSerialFlash, PageProgramCommandsNeverCrossAPage) {
  for (int row : {1, 11, 4, 9, 13}) {
    VirtualCameraRig rig({camera_with_flash_row(row)});
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    int type = flash_type();
    std::mt19937 rng(300);
    auto data = random_bytes(rng, 300);
    rig.camera().flash().set_command_log_enabled(true);
    ASSERT_EQ(SonixCam_SerialFlashSectorCustomWrite(0x10F0, data.data(), 300, type), 1) << "type " << type;
    auto programs = commands_with_opcode(rig.camera().flash().command_log(), 0x02);
    ASSERT_EQ(programs.size(), 3u) << "type " << type;
    EXPECT_EQ(programs[0].address, 0x10F0u);
    EXPECT_EQ(programs[0].data_bytes, 16u);
    EXPECT_EQ(programs[1].address, 0x1100u);
    EXPECT_EQ(programs[1].data_bytes, 256u);
    EXPECT_EQ(programs[2].address, 0x1200u);
    EXPECT_EQ(programs[2].data_bytes, 28u);
    for (const auto& p : programs) EXPECT_EQ(p.outcome, SpiCommandOutcome::executed) << "type " << type;
    EXPECT_EQ(rig.camera().flash_contents(0x10F0, 300), data) << "type " << type;
    EXPECT_EQ(rig.camera().flash().counters().commands_ignored_busy, 0u) << "type " << type;
  }
}

TEST(SonixSerialFlash, AutoAddressIncrementWriteOfType3) {
  VirtualCameraRig rig({camera_with_flash_row(8)});
  OpenCamera open(rig);
  ASSERT_TRUE(open.ok());
  ASSERT_EQ(flash_type(), 3);
  std::vector<std::uint8_t> data = {0x10, 0x20, 0x30, 0x40, 0x50};
  rig.camera().flash().set_command_log_enabled(true);
  ASSERT_EQ(SonixCam_SerialFlashSectorCustomWrite(0x3000, data.data(), 5, 3), 1);
  const auto& log = rig.camera().flash().command_log();
  auto aai = commands_with_opcode(log, 0xAF);
  ASSERT_EQ(aai.size(), 5u);
  EXPECT_EQ(aai[0].address, 0x3000u);
  for (const auto& a : aai) EXPECT_EQ(a.outcome, SpiCommandOutcome::executed);
  // The last command of the write is the write disable that ends the mode.
  std::vector<std::uint8_t> opcodes;
  for (const auto& r : log) {
    if (r.opcode != 0x05) opcodes.push_back(r.opcode);
  }
  ASSERT_FALSE(opcodes.empty());
  EXPECT_EQ(opcodes.back(), 0x04);
  EXPECT_FALSE(rig.camera().flash().in_aai_mode());
  EXPECT_EQ(rig.camera().flash_contents(0x3000, 5), data);
}

// Random data at random addresses, written and read back by byte-banging, on
// every flash type 1 to 18: the identified chips of the table, and the types
// only a controller's flash-type register can name (given here to a chip that
// takes 4 KiB sector erases and page programming).
TEST(SonixSerialFlash, WriteThenReadBackOnEveryType) {
  struct Case {
    int row;
    int type;  // 0: as identified
  };
  const Case cases[] = {{1, 0},  {4, 0},  {5, 0},  {8, 0},  {9, 0},  {10, 0}, {11, 0},  {13, 0},  {15, 0},
                        {18, 0}, {21, 0}, {22, 0}, {13, 5}, {13, 6}, {13, 9}, {13, 10}, {13, 11}, {23, 18}};
  std::mt19937 rng(20260603);
  for (const Case& c : cases) {
    const int row = c.row;
    VirtualCameraRig rig({camera_with_flash_row(row)});
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    int type = c.type != 0 ? c.type : flash_type();
    ASSERT_NE(type, 0) << "row " << row;
    for (int round = 0; round < 3; ++round) {
      std::uint32_t sector = 0x40000 + 0x1000 * static_cast<std::uint32_t>(rng() % 64);
      std::uint32_t offset = static_cast<std::uint32_t>(rng() % 0xE00);
      std::size_t length = 1 + rng() % (type == 3 ? 80 : 500);
      auto before = rig.camera().flash_contents(sector - 0x1000, 0x3000);
      auto data = random_bytes(rng, length);
      ASSERT_EQ(
          SonixCam_SerialFlashSectorCustomWrite(sector + offset, data.data(), static_cast<std::int64_t>(length), type),
          1)
          << "type " << type << " at " << std::hex << sector + offset;
      std::vector<std::uint8_t> back(length, 0);
      ASSERT_EQ(SonixCam_SerialFlashCustomRead(sector + offset, back.data(), static_cast<std::int64_t>(length)), 1);
      EXPECT_EQ(back, data) << "type " << type << " at " << std::hex << sector + offset << " length " << std::dec
                            << length;
      // The sector was erased around the data; the neighbours are untouched.
      auto after = rig.camera().flash_contents(sector - 0x1000, 0x3000);
      EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x1000, before.begin())) << "type " << type;
      EXPECT_TRUE(std::equal(after.begin() + 0x2000, after.end(), before.begin() + 0x2000)) << "type " << type;
      for (std::size_t i = 0; i < 0x1000; ++i) {
        if (i < offset || i >= offset + length) {
          ASSERT_EQ(after[0x1000 + i], 0xFF) << "type " << type << " +" << i;
        }
      }
    }
    EXPECT_EQ(SonixCam_UnInit(), 1);
    EXPECT_TRUE(rig.clean()) << "type " << type;
  }
}

// The power goes at every SPI operation of a write in turn. Each attempt ends
// with a clean failure (never success with wrong data, never a crash), the
// library closes without leaks, and the camera reads back what it holds.
TEST(SonixSerialFlash, PowerCutAtEverySpiOperationOfAWrite) {
  std::mt19937 rng(7);
  auto old_data = random_bytes(rng, 40);
  auto new_data = random_bytes(rng, 40);
  const std::uint32_t address = 0x51000;
  CameraConfig config = morvane::testing::default_camera_config();

  std::uint64_t total = 0;
  int type = 0;
  {
    VirtualCameraRig rig({config});
    rig.camera().load_flash(address, old_data);
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    type = flash_type();
    std::uint64_t before = rig.camera().flash_controller().counters().spi_operations;
    ASSERT_EQ(SonixCam_SerialFlashSectorCustomWrite(address, new_data.data(), 40, type), 1);
    total = rig.camera().flash_controller().counters().spi_operations - before;
    ASSERT_GT(total, 40u);
  }
  // The camera's power goes after n more SPI operations: n = total lets the
  // write finish.
  int failures = 0;
  for (std::uint64_t n = 0; n <= total; ++n) {
    VirtualCameraRig rig({config});
    rig.camera().load_flash(address, old_data);
    {
      OpenCamera open(rig);
      ASSERT_TRUE(open.ok());
      rig.camera().cut_power_after_spi_operations(n);
      int result = SonixCam_SerialFlashSectorCustomWrite(address, new_data.data(), 40, type);
      if (n < total) {
        EXPECT_EQ(result, 0) << "power cut after " << n << " of " << total << " SPI operations";
        failures += result == 0;
        std::uint8_t byte = 0;
        EXPECT_EQ(SonixCam_SerialFlashCustomRead(address, &byte, 1), 0) << "read after the cut, " << n;
      } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(rig.camera().flash_contents(address, 40), new_data);
      }
    }
    EXPECT_TRUE(rig.clean()) << "after the cut at " << n;
    rig.camera().replug();
    OpenCamera again(rig);
    ASSERT_TRUE(again.ok()) << n;
    std::vector<std::uint8_t> back(40, 0);
    ASSERT_EQ(SonixCam_SerialFlashCustomRead(address, back.data(), 40), 1) << n;
    EXPECT_EQ(back, rig.camera().flash_contents(address, 40)) << n;
  }
  EXPECT_EQ(failures, static_cast<int>(total));
}

TEST(SonixSerialFlash, WindowAndStreamingPathsMoveTheFlashContents) {
  for (int rom_row : {12, 15}) {
    CameraConfig config = morvane::testing::default_camera_config();
    config.rom_row = rom_row;
    std::mt19937 rng(static_cast<unsigned>(rom_row));
    auto bytes = random_bytes(rng, 300);
    VirtualCameraRig rig({config});
    rig.camera().load_flash(0x31234, bytes);
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    EXPECT_EQ(IsSupportXU6(), rom_row == 15 ? 1 : 0);
    std::vector<std::uint8_t> back(300, 0);
    ASSERT_EQ(SonixCam_SerialFlashRead(0x31234, back.data(), 300), 1) << "rom row " << rom_row;
    EXPECT_EQ(back, bytes) << "rom row " << rom_row;
    // Sector write: erase, then the firmware programs the data.
    auto fresh = random_bytes(rng, 100);
    ASSERT_EQ(SonixCam_SerialFlashSectorWrite(0x33010, fresh.data(), 100, flash_type()), 1) << "rom row " << rom_row;
    EXPECT_EQ(rig.camera().flash_contents(0x33010, 100), fresh) << "rom row " << rom_row;
  }
}

TEST(SonixSerialFlash, FirmwareVersionAndStringsOfTheDefaultCamera) {
  VirtualCameraRig rig;
  OpenCamera open(rig);
  ASSERT_TRUE(open.ok());
  std::uint8_t raw[256] = {};
  ASSERT_EQ(SonixCam_GetFwVersion(raw, sizeof raw, 1), 1);
  EXPECT_NE(std::string(reinterpret_cast<char*>(raw)).find(morvane::testing::kDefaultFirmwareVersion),
            std::string::npos);
  std::uint8_t text[64] = {};
  ASSERT_EQ(SonixCam_GetProduct(text, sizeof text), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), rig.camera().config().model.c_str());
  std::memset(text, 0, sizeof text);
  ASSERT_EQ(SonixCam_GetManufacturer(text, sizeof text), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), rig.camera().config().vendor.c_str());
  std::memset(text, 0, sizeof text);
  ASSERT_EQ(SonixCam_GetSerialNumber(text, sizeof text), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(text), rig.camera().config().serial.c_str());
  std::uint32_t vidpid = 0;
  ASSERT_EQ(SonixCam_GetVidPid(&vidpid), 1);
  const std::uint8_t expected[4] = {0x45, 0x0c, 0x43, 0x06};
  EXPECT_EQ(std::memcmp(&vidpid, expected, 4), 0);
}

// Every chip with version fields, on an image built for it: the raw form is
// the version text the image carries; the text form starts with field 4.
// (Chip 0x92's fields 2 and 3 share a byte, which the image builder refuses;
// its layout is covered by the scripted conversation tests.)
TEST(SonixSerialFlash, FirmwareVersionOfEverySupportedChip) {
  const std::uint8_t chips[] = {0x15, 0x56, 0x16, 0x25, 0x32, 0x70, 0x71, 0x75, 0x76, 0x83, 0x85, 0x86, 0x89, 0x90};
  for (std::uint8_t chip : chips) {
    morvane::emulator::FirmwareImageOptions options;
    options.chip_id = chip;
    options.rom_row = 12;
    options.version_text = "12345-ABCDEFGH-2606030001_XY";
    std::string error;
    auto image = morvane::emulator::build_firmware_image(options, &error);
    ASSERT_TRUE(image.has_value()) << std::hex << int{chip} << ": " << error;
    CameraConfig config = morvane::testing::default_camera_config();
    config.chip_id = chip;
    config.rom_row = 12;
    config.flash.contents = image->bytes;
    VirtualCameraRig rig({config});
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok()) << std::hex << int{chip};
    std::uint8_t raw[256] = {};
    ASSERT_EQ(SonixCam_GetFwVersion(raw, sizeof raw, 1), 1) << std::hex << int{chip};
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw)), options.version_text) << std::hex << int{chip};
    std::uint8_t text[256] = {};
    ASSERT_EQ(SonixCam_GetFwVersion(text, sizeof text, 0), 1);
    // Field 4 "12345", field 2 "-ABCDEFGH-" without its dashes.
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text)).substr(0, 14), "1234-ABCDEFGH-") << std::hex << int{chip};
    std::uint8_t from_file[256] = {};
    ASSERT_EQ(SonixCam_GetFwVersionFromFile(image->bytes.data(), from_file, sizeof from_file, 1), 1);
    EXPECT_EQ(std::memcmp(from_file, raw, 56), 0);
  }
}

}  // namespace

namespace {

// Erasing sectors one after another, as the flash transport does for a blob
// larger than a sector: every sector ends up erased, also on controllers that
// report a memory type and so skip the status-register write between erases.
TEST(SonixSerialFlash, BackToBackSectorErases) {
  for (std::uint8_t memory_type : {std::uint8_t{0}, std::uint8_t{2}}) {
    CameraConfig config = morvane::testing::default_camera_config();
    config.rom_row = 19;
    config.memory_type = memory_type;
    VirtualCameraRig rig({config});
    rig.camera().load_flash(0x51000, std::vector<std::uint8_t>(0x3000, 0x00));
    OpenCamera open(rig);
    ASSERT_TRUE(open.ok());
    int type = flash_type();
    // Controllers that report memory type 2 skip the status-register write;
    // their flash is taken as already unprotected.
    if (memory_type == 2) rig.camera().flash().set_status_for_test(0);
    for (std::uint32_t sector = 0x51000; sector < 0x54000; sector += 0x1000) {
      ASSERT_EQ(SonixCam_EraseSectorFlash(sector, type), 1) << std::hex << sector;
    }
    EXPECT_EQ(rig.camera().flash_contents(0x51000, 0x3000), std::vector<std::uint8_t>(0x3000, 0xFF))
        << "memory type " << int{memory_type};
    EXPECT_EQ(rig.camera().flash().counters().erases_ignored, 0u);
  }
}

}  // namespace
