#include "emulator/serial_flash_controller.hpp"

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <array>
#include <vector>

#include "emulator/spi_nor_flash.hpp"
#include "emulator/virtual_camera.hpp"
#include "emulator/virtual_clock.hpp"

namespace morvane::emulator {
namespace {

SpiNorTiming instant() {
  SpiNorTiming timing;
  timing.page_program_ns = timing.byte_program_ns = timing.sector_erase_ns = timing.block32_erase_ns =
      timing.block64_erase_ns = timing.chip_erase_ns = timing.status_write_ns = 0;
  return timing;
}

// Drives the byte-banging registers the way a host must: manual mode, chip
// select, one trigger per byte.
class Host {
 public:
  Host(SerialFlashController& controller, int map_row) : c_(controller), map_(register_map(map_row)) {}

  void manual(bool on) { c_.write_register(map_.sf_mode, on ? 1 : 0); }
  void chip_select(bool selected) { c_.write_register(map_.sf_chip_select, selected ? 0 : 1); }
  void send(std::uint8_t byte) {
    c_.write_register(map_.sf_write_data, byte);
    c_.write_register(map_.sf_trigger, 0x01);
  }
  std::uint8_t receive() {
    c_.write_register(map_.sf_read_data, 0);
    c_.write_register(map_.sf_trigger, 0x02);
    return c_.read_register(map_.sf_read_data);
  }
  // One command in manual mode: bytes out, then `read` bytes in.
  std::vector<std::uint8_t> command(const std::vector<std::uint8_t>& out, std::size_t read = 0) {
    manual(true);
    chip_select(true);
    for (std::uint8_t byte : out) send(byte);
    std::vector<std::uint8_t> in;
    for (std::size_t i = 0; i < read; ++i) in.push_back(receive());
    chip_select(false);
    manual(false);
    return in;
  }
  const RegisterMap& map() const { return map_; }

 private:
  SerialFlashController& c_;
  const RegisterMap& map_;
};

std::array<std::uint8_t, 11> window_request(std::uint32_t address, std::uint8_t count, bool read,
                                            const std::vector<std::uint8_t>& data = {}) {
  std::array<std::uint8_t, 11> request{};
  request[0] = static_cast<std::uint8_t>(address);
  request[1] = static_cast<std::uint8_t>(address >> 8);
  request[2] = static_cast<std::uint8_t>((read ? 0x80 : 0x00) | (((address >> 16) & 3) << 4) | count);
  for (std::size_t i = 0; i < data.size() && i < 8; ++i) request[3 + i] = data[i];
  return request;
}

std::array<std::uint8_t, 64> stream_announce(std::uint32_t start, std::uint32_t length, bool read) {
  std::array<std::uint8_t, 64> record{};
  const std::uint32_t end = start + length;
  for (int i = 0; i < 4; ++i) {
    record[i] = static_cast<std::uint8_t>(start >> (8 * i));
    record[6 + i] = static_cast<std::uint8_t>(end >> (8 * i));
  }
  record[4] = read ? 0x80 : 0x00;
  record[5] = 64;
  record[10] = 0x0B;
  record[11] = 0x01;
  return record;
}

std::uint32_t read_be32(SerialFlashController& c, std::uint16_t address) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | c.read_register(static_cast<std::uint16_t>(address + i));
  return value;
}

class SerialFlashControllerTest : public ::testing::Test {
 protected:
  VirtualClock clock_;
};

TEST_F(SerialFlashControllerTest, RegisterOwnershipFollowsMapAndRom) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  SerialFlashControllerConfig config = serial_flash_config_for_rom_row(15, 0);
  config.flash_type_value = 7;
  SerialFlashController row0(flash, clock_, config);
  for (std::uint16_t address : {0x1080, 0x1081, 0x1082, 0x1083, 0x1084, 0x1091, 0x1088, 0x108B, 0x05F3, 0x05F5, 0x05F8,
                                0x05FB, 0x05F0, 0x0335, 0x0337, 0x033E}) {
    EXPECT_TRUE(row0.owns_register(address)) << std::hex << address;
  }
  for (std::uint16_t address : {0x8E00, 0x05F4, 0x05F6, 0x101F, 0x1085, 0x033F}) {
    EXPECT_FALSE(row0.owns_register(address)) << std::hex << address;
  }
  EXPECT_EQ(row0.read_register(0x05F0), 7);
  EXPECT_EQ(row0.read_register(0x05F3), 0x06);  // firmware's write-enable opcode after reset
  EXPECT_EQ(row0.read_register(0x05F5), 0x02);  // and its program opcode

  SerialFlashController row1(flash, clock_, serial_flash_config_for_rom_row(3, 1));
  EXPECT_TRUE(row1.owns_register(0x8E00));
  EXPECT_TRUE(row1.owns_register(0x8E11));
  EXPECT_TRUE(row1.owns_register(0x1088));  // read-command latches exist in every map
  EXPECT_FALSE(row1.owns_register(0x1080));
  EXPECT_FALSE(row1.owns_register(0x05F3));  // generation without command registers
  EXPECT_FALSE(row1.owns_register(0x0337));  // nor streaming
  EXPECT_TRUE(row1.owns_register(0x05F0));

  const SerialFlashControllerConfig oldest = serial_flash_config_for_rom_row(0, 0);
  EXPECT_EQ(oldest.flash_type_register, 0x03C5);
  EXPECT_FALSE(oldest.memory_type.has_value());
  EXPECT_TRUE(serial_flash_config_for_rom_row(18, 0).memory_type.has_value());
  EXPECT_EQ(serial_flash_config_for_rom_row(10, 0).flash_type_register, 0x0690);
  const SerialFlashControllerConfig none = serial_flash_config_for_rom_row(kUnmatchedRom, 0);
  EXPECT_EQ(none.flash_type_register, 0);
  EXPECT_FALSE(none.streaming || none.command_registers);
}

TEST_F(SerialFlashControllerTest, ByteBangingReachesTheChipOnlyInManualMode) {
  for (int map_row : {0, 1}) {
    SCOPED_TRACE("map row " + std::to_string(map_row));
    SpiNorFlash flash(clock_, spi_nor_model_for_row(3), 1u << 20, instant());
    SerialFlashController controller(flash, clock_, serial_flash_config_for_rom_row(12, map_row));
    Host host(controller, map_row);

    EXPECT_EQ(host.command({0x9F}, 3), (std::vector<std::uint8_t>{0xC2, 0x20, 0x13}));

    // Without manual mode the trigger does nothing and the chip is never selected.
    host.chip_select(true);
    host.send(0x06);
    EXPECT_FALSE(flash.selected());
    EXPECT_EQ(controller.counters().triggers_ignored, 1u);
    host.chip_select(false);

    // Leaving manual mode releases the chip, which then executes its command.
    host.manual(true);
    host.chip_select(true);
    host.send(0x06);
    EXPECT_EQ(flash.status() & kSpiStatusWel, 0);
    host.manual(false);
    EXPECT_EQ(flash.status() & kSpiStatusWel, kSpiStatusWel);

    // A shift-in sends the read-data register's value.
    host.command({0x04});
    host.manual(true);
    host.chip_select(true);
    controller.write_register(host.map().sf_read_data, 0x06);
    controller.write_register(host.map().sf_trigger, 0x02);
    host.chip_select(false);
    host.manual(false);
    EXPECT_EQ(flash.status() & kSpiStatusWel, kSpiStatusWel);

    // The whole write path: clear protection, erase, program, poll, read back.
    host.command({0x06});
    host.command({0x01, 0x00});
    host.command({0x06});
    host.command({0x20, 0x05, 0x10, 0x00});
    host.command({0x06});
    host.command({0x02, 0x05, 0x10, 0x00, 0xDE, 0xAD});
    EXPECT_EQ(host.command({0x05}, 1)[0], 0x00);
    EXPECT_EQ(host.command({0x03, 0x05, 0x10, 0x00}, 3), (std::vector<std::uint8_t>{0xDE, 0xAD, 0xFF}));
    EXPECT_EQ(controller.counters().spi_operations, controller.counters().shifts);
  }
}

TEST_F(SerialFlashControllerTest, ReadyBitAndLostTriggers) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(3), 1u << 20, instant());
  SerialFlashControllerConfig config = serial_flash_config_for_rom_row(12, 0);
  config.ready_after_reads = 2;
  SerialFlashController controller(flash, clock_, config);
  Host host(controller, 0);
  host.manual(true);
  host.chip_select(true);
  host.send(0x9F);
  host.send(0x00);  // lost: the first shift has not finished
  EXPECT_EQ(controller.counters().triggers_ignored, 1u);
  EXPECT_EQ(controller.read_register(0x1084) & 1, 0);
  EXPECT_EQ(controller.read_register(0x1084) & 1, 0);
  EXPECT_EQ(controller.read_register(0x1084) & 1, 1);
  controller.write_register(0x1083, 0);
  controller.write_register(0x1081, 0x02);
  // The lost trigger never reached the chip, so this is the first id byte.
  EXPECT_EQ(controller.read_register(0x1083), 0xC2);
  host.chip_select(false);
  host.manual(false);
}

TEST_F(SerialFlashControllerTest, FlashWindowRequests) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  std::vector<std::uint8_t> pattern(0x40000);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i ^ (i >> 8) ^ (i >> 16));
  flash.load_contents(0, pattern);
  SerialFlashController controller(flash, clock_, serial_flash_config_for_rom_row(12, 0));
  std::array<std::uint8_t, 11> reply{};

  // Read: bank bits supply address bits 16-17; data in bytes 3..3+n-1.
  auto request = window_request(0x31234, 5, true);
  ASSERT_EQ(controller.window_set(request.data(), 11), 11);
  ASSERT_EQ(controller.window_get(reply.data(), 11), 11);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(reply[3 + i], pattern[0x31234 + i]);
  EXPECT_EQ(reply[2], request[2]);

  // Malformed or out-of-order requests stall; nothing is lost.
  EXPECT_EQ(controller.window_get(reply.data(), 11), LIBUSB_ERROR_PIPE);  // no read posted
  EXPECT_EQ(controller.window_set(request.data(), 10), LIBUSB_ERROR_PIPE);
  auto zero = window_request(0x0, 0, true);
  auto nine = window_request(0x0, 9, true);
  EXPECT_EQ(controller.window_set(zero.data(), 11), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(controller.window_set(nine.data(), 11), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(controller.window_set(nullptr, 11), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(controller.window_get(nullptr, 11), LIBUSB_ERROR_INVALID_PARAM);
  EXPECT_EQ(controller.counters().requests_stalled, 4u);

  // Write into the protected chip: accepted, ignored by the chip.
  auto write = window_request(0x1FC, 8, false, {0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(controller.window_set(write.data(), 11), 11);
  EXPECT_EQ(flash.contents()[0x1FC], pattern[0x1FC]);
  EXPECT_EQ(flash.counters().programs_ignored, 2u);  // one program per page touched

  // Unprotected: the firmware splits at the page boundary and programs.
  Host host(controller, 0);
  host.command({0x06});
  host.command({0x01, 0x00});
  host.command({0x06});
  host.command({0x20, 0x00, 0x00, 0x00});
  EXPECT_EQ(controller.window_set(write.data(), 11), 11);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(flash.contents()[0x1FC + i], i);
  EXPECT_EQ(flash.counters().programs, 2u);
  EXPECT_EQ(controller.counters().window_writes, 2u);

  // Requests stall while the host holds the bus.
  host.manual(true);
  EXPECT_EQ(controller.window_set(request.data(), 11), LIBUSB_ERROR_PIPE);
  host.manual(false);
}

TEST_F(SerialFlashControllerTest, FirmwareWaitsForBusyChipBeforeProgrammingButNotBeforeReading) {
  SpiNorTiming timing = instant();
  timing.sector_erase_ns = 45'000'000;
  SpiNorFlash flash(clock_, spi_nor_model_for_row(12), 1u << 20, timing);
  flash.set_status_for_test(0);
  SerialFlashController controller(flash, clock_, serial_flash_config_for_rom_row(18, 0));
  Host host(controller, 0);
  host.command({0x06});
  host.command({0x20, 0x00, 0x20, 0x00});  // erase left running, not polled
  ASSERT_TRUE(flash.busy());

  auto read = window_request(0x2000, 8, true);
  std::array<std::uint8_t, 11> reply{};
  ASSERT_EQ(controller.window_set(read.data(), 11), 11);
  ASSERT_EQ(controller.window_get(reply.data(), 11), 11);
  EXPECT_EQ(flash.counters().commands_ignored_busy, 1u);  // the read met a busy chip

  const std::uint64_t before = clock_.now_ns();
  auto write = window_request(0x2000, 2, false, {0x12, 0x34});
  ASSERT_EQ(controller.window_set(write.data(), 11), 11);
  EXPECT_GE(clock_.now_ns() - before, 45'000'000u);
  EXPECT_GT(controller.counters().firmware_busy_waits, 0u);
  EXPECT_EQ(flash.contents()[0x2000], 0x12);
  EXPECT_EQ(flash.contents()[0x2001], 0x34);
  EXPECT_FALSE(flash.busy());
}

TEST_F(SerialFlashControllerTest, FirmwareUsesProgramOpcodeRegister) {
  SpiNorFlash sst(clock_, spi_nor_model_for_row(8), 1u << 20, instant());
  sst.set_status_for_test(0);
  SerialFlashController controller(sst, clock_, serial_flash_config_for_rom_row(12, 0));
  auto write = window_request(0x100, 4, false, {1, 2, 3, 4});
  // With the default page-program opcode this part takes no multi-byte program.
  ASSERT_EQ(controller.window_set(write.data(), 11), 11);
  EXPECT_EQ(sst.contents()[0x100], 0xFF);
  controller.write_register(0x05F5, 0xAF);
  ASSERT_EQ(controller.window_set(write.data(), 11), 11);
  EXPECT_EQ(std::vector<std::uint8_t>(sst.contents().begin() + 0x100, sst.contents().begin() + 0x105),
            (std::vector<std::uint8_t>{1, 2, 3, 4, 0xFF}));
  EXPECT_FALSE(sst.in_aai_mode());
  EXPECT_EQ(sst.status() & kSpiStatusWel, 0);
}

TEST_F(SerialFlashControllerTest, StreamingReadAndWrite) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  std::vector<std::uint8_t> pattern(0x2000);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 13 + 1);
  flash.load_contents(0, pattern);
  SerialFlashController controller(flash, clock_, serial_flash_config_for_rom_row(15, 0));
  std::array<std::uint8_t, 64> unit{};

  auto announce = stream_announce(0x1000, 100, true);
  ASSERT_EQ(controller.stream_set(announce.data(), 64), 64);
  EXPECT_EQ(read_be32(controller, kStreamCurrentRegister), 0x1000u);
  EXPECT_EQ(read_be32(controller, kStreamEndRegister), 0x1064u);
  ASSERT_EQ(controller.stream_get(unit.data(), 64), 64);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(unit[i], pattern[0x1000 + i]);
  EXPECT_EQ(read_be32(controller, kStreamCurrentRegister), 0x1040u);
  EXPECT_EQ(controller.stream_set(announce.data(), 64), LIBUSB_ERROR_PIPE);  // a read is running
  ASSERT_EQ(controller.stream_get(unit.data(), 64), 64);
  for (int i = 0; i < 36; ++i) EXPECT_EQ(unit[i], pattern[0x1040 + i]);
  EXPECT_EQ(unit[36], 0xFF);
  EXPECT_EQ(read_be32(controller, kStreamCurrentRegister), read_be32(controller, kStreamEndRegister));
  EXPECT_EQ(controller.stream_get(unit.data(), 64), LIBUSB_ERROR_PIPE);  // finished

  // Stopping a transfer through the progress and stop registers.
  ASSERT_EQ(controller.stream_set(announce.data(), 64), 64);
  for (std::uint16_t r = kStreamCurrentRegister; r < kStreamEndRegister + 4; ++r) controller.write_register(r, 0);
  controller.write_register(kStreamStopRegister, 0);
  EXPECT_EQ(controller.stream_get(unit.data(), 64), LIBUSB_ERROR_PIPE);

  // Malformed announcements stall.
  auto bad = stream_announce(0x1000, 100, true);
  bad[5] = 32;
  EXPECT_EQ(controller.stream_set(bad.data(), 64), LIBUSB_ERROR_PIPE);
  bad = stream_announce(0x1000, 100, true);
  bad[10] = 0;
  EXPECT_EQ(controller.stream_set(bad.data(), 64), LIBUSB_ERROR_PIPE);
  bad = stream_announce(0x1000, 100, true);
  bad[4] = 0x40;
  EXPECT_EQ(controller.stream_set(bad.data(), 64), LIBUSB_ERROR_PIPE);
  bad = stream_announce(0xFFFF0, 0x100, true);  // past the chip's end
  EXPECT_EQ(controller.stream_set(bad.data(), 64), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(controller.stream_set(announce.data(), 63), LIBUSB_ERROR_PIPE);

  // Write: units carry data; bytes past the announced end are not written.
  flash.set_status_for_test(0);
  Host host(controller, 0);
  host.command({0x06});
  host.command({0xD8, 0x01, 0x00, 0x00});
  auto write = stream_announce(0x10010, 70, false);
  ASSERT_EQ(controller.stream_set(write.data(), 64), 64);
  std::array<std::uint8_t, 64> data{};
  for (int i = 0; i < 64; ++i) data[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(controller.stream_set(data.data(), 64), 64);
  data.fill(0x00);
  ASSERT_EQ(controller.stream_set(data.data(), 64), 64);
  EXPECT_EQ(flash.contents()[0x10010], 0);
  EXPECT_EQ(flash.contents()[0x1004F], 63);
  EXPECT_EQ(flash.contents()[0x10055], 0x00);
  EXPECT_EQ(flash.contents()[0x10056], 0xFF);
  EXPECT_EQ(flash.contents()[0x1000F], 0xFF);
  // The write is complete, so the next SET_CUR is read as an announcement.
  EXPECT_EQ(controller.stream_set(data.data(), 64), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(controller.counters().stream_units, 4u);

  // A controller without the streaming request stalls it.
  SerialFlashController plain(flash, clock_, serial_flash_config_for_rom_row(12, 0));
  EXPECT_EQ(plain.stream_set(announce.data(), 64), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(plain.stream_get(unit.data(), 64), LIBUSB_ERROR_PIPE);
}

TEST_F(SerialFlashControllerTest, MemoryTypeQuery) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  SerialFlashControllerConfig config = serial_flash_config_for_rom_row(18, 0);
  config.memory_type = 2;
  SerialFlashController controller(flash, clock_, config);
  std::array<std::uint8_t, 11> reply;
  reply.fill(0xEE);
  ASSERT_EQ(controller.memtype_get(reply.data(), 11), 11);
  EXPECT_EQ(reply[2], 2);
  EXPECT_EQ(reply[0], 0);
  EXPECT_EQ(controller.memtype_get(reply.data(), 8), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(controller.memtype_get(nullptr, 11), LIBUSB_ERROR_INVALID_PARAM);

  SerialFlashController silent(flash, clock_, serial_flash_config_for_rom_row(12, 0));
  EXPECT_EQ(silent.memtype_get(reply.data(), 11), LIBUSB_ERROR_PIPE);
}

TEST_F(SerialFlashControllerTest, PowerCutDuringByteBangedProgram) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  flash.set_status_for_test(0);
  SerialFlashController controller(flash, clock_, serial_flash_config_for_rom_row(12, 0));
  Host host(controller, 0);
  host.command({0x06});
  host.command({0x02, 0x00, 0x00, 0x00, 0x11, 0x22});  // completes
  int cuts = 0;
  controller.set_power_cut_after(7, [&] { ++cuts; });
  host.command({0x06});                                // 1 operation
  host.command({0x02, 0x00, 0x01, 0x00, 0x33, 0x44});  // 6 operations, chip select rises
  host.command({0x06});                                // the 8th operation finds no power
  host.command({0x02, 0x00, 0x02, 0x00, 0x55});
  EXPECT_EQ(cuts, 1);
  EXPECT_TRUE(controller.power_lost());
  EXPECT_EQ(flash.contents()[0x100], 0x33);
  EXPECT_EQ(flash.contents()[0x200], 0xFF);
  EXPECT_EQ(controller.read_register(0x1084), 0);
  std::array<std::uint8_t, 11> reply{};
  auto read = window_request(0, 1, true);
  EXPECT_EQ(controller.window_set(read.data(), 11), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(controller.memtype_get(reply.data(), 11), LIBUSB_ERROR_NO_DEVICE);

  // Cut in the middle of a command: the chip select never rises, nothing runs.
  controller.power_on_reset();
  EXPECT_FALSE(controller.power_lost());
  EXPECT_EQ(flash.status() & 0x1C, 0x1C);  // power-up protection is back
  flash.set_status_for_test(0);
  host.command({0x06});
  controller.set_power_cut_after(4);
  host.command({0x02, 0x00, 0x03, 0x00, 0x66, 0x77});
  EXPECT_TRUE(controller.power_lost());
  controller.power_on_reset();
  EXPECT_EQ(flash.contents()[0x300], 0xFF);
  EXPECT_FALSE(flash.selected());
}

TEST_F(SerialFlashControllerTest, PowerCutBetweenWindowWrites) {
  SpiNorFlash flash(clock_, spi_nor_model_for_row(13), 1u << 20, instant());
  flash.set_status_for_test(0);
  SerialFlashController controller(flash, clock_, serial_flash_config_for_rom_row(12, 0));
  int cuts = 0;
  controller.set_power_cut_after(2, [&] { ++cuts; });
  int results[3];
  for (int unit = 0; unit < 3; ++unit) {
    auto write = window_request(static_cast<std::uint32_t>(unit * 8), 8, false, std::vector<std::uint8_t>(8, 0x00));
    results[unit] = controller.window_set(write.data(), 11);
  }
  EXPECT_EQ(results[0], 11);
  EXPECT_EQ(results[1], 11);
  EXPECT_EQ(results[2], LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(cuts, 1);
  EXPECT_EQ(flash.contents()[15], 0x00);
  EXPECT_EQ(flash.contents()[16], 0xFF);
  EXPECT_EQ(controller.counters().spi_operations, 2u);

  // Disarmed: nothing happens however many operations follow.
  controller.power_on_reset();
  controller.set_power_cut_after(0);
  controller.clear_power_cut();
  flash.set_status_for_test(0);
  auto write = window_request(16, 8, false, std::vector<std::uint8_t>(8, 0x00));
  EXPECT_EQ(controller.window_set(write.data(), 11), 11);
  EXPECT_EQ(flash.contents()[16], 0x00);
}

}  // namespace
}  // namespace morvane::emulator
