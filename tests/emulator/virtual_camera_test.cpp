// The virtual camera as a device: what it answers to each request on the
// default control endpoint, and what its controller, ROM, I2C bus and IMU do.
#include "emulator/virtual_camera.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "emulator/spi_nor_flash.hpp"

namespace morvane::emulator {
namespace {

// A host that speaks the vendor controls directly to one camera.
class Host {
 public:
  explicit Host(VirtualCamera& cam, std::uint8_t unit = 3) : cam_(cam), unit_(unit) {}

  int set(std::uint16_t value, std::vector<std::uint8_t> payload) {
    return cam_.control_transfer(kRequestTypeClassOut, kSetCur, value, index(), payload.data(),
                                 static_cast<std::uint16_t>(payload.size()));
  }
  int get(std::uint16_t value, std::vector<std::uint8_t>& reply) {
    return cam_.control_transfer(kRequestTypeClassIn, kGetCur, value, index(), reply.data(),
                                 static_cast<std::uint16_t>(reply.size()));
  }
  int write_reg(std::uint16_t address, std::uint8_t value) {
    return set(0x0100, {lo(address), hi(address), value, 0x00});
  }
  std::optional<std::uint8_t> read_reg(std::uint16_t address) {
    if (set(0x0100, {lo(address), hi(address), 0, 0xFF}) != 4) return std::nullopt;
    std::vector<std::uint8_t> reply(4);
    if (get(0x0100, reply) != 4) return std::nullopt;
    return reply[2];
  }
  std::optional<std::vector<std::uint8_t>> read_rom(std::uint16_t address) {
    if (set(0x0400, {lo(address), hi(address), 8, 0, 0, 0, 0, 0, 0, 0, 0}) != 11) return std::nullopt;
    std::vector<std::uint8_t> reply(11);
    if (get(0x0400, reply) != 11) return std::nullopt;
    return std::vector<std::uint8_t>(reply.begin() + 3, reply.end());
  }

 private:
  static std::uint8_t lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
  static std::uint8_t hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
  std::uint16_t index() const { return static_cast<std::uint16_t>(unit_ << 8); }

  VirtualCamera& cam_;
  std::uint8_t unit_;
};

CameraConfig config_for(std::uint8_t chip, int rom_row) {
  CameraConfig c;
  c.chip_id = chip;
  c.rom_row = rom_row;
  return c;
}

// ---- The request layer.

TEST(VirtualCameraRequests, StallsWhatTheFirmwareDoesNotImplement) {
  VirtualClock clock;
  VirtualCamera cam(CameraConfig{}, clock);
  Host unit3(cam, 3);
  Host unit4(cam, 4);
  std::vector<std::uint8_t> five(5), four(4);

  // Unit 4 does not carry the vendor controls on the default camera.
  EXPECT_EQ(unit4.set(0x0100, {0x1F, 0x10, 0, 0xFF}), LIBUSB_ERROR_PIPE);
  // Wrong lengths, unknown selectors, a non-zero low byte of wValue.
  EXPECT_EQ(unit3.set(0x0100, {0x1F, 0x10, 0, 0xFF, 0}), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(unit3.get(0x0100, five), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(unit3.set(0x0200, {0, 0, 0, 0}), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(unit3.set(0x0101, {0x1F, 0x10, 0, 0xFF}), LIBUSB_ERROR_PIPE);
  // A direction byte that is neither read nor write.
  EXPECT_EQ(unit3.set(0x0100, {0x1F, 0x10, 0, 0x01}), LIBUSB_ERROR_PIPE);
  // A ROM window count outside 1..8.
  EXPECT_EQ(unit3.set(0x0400, {0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0}), LIBUSB_ERROR_PIPE);
  // The memory-type query is GET only, 11 bytes.
  EXPECT_EQ(unit3.set(0x0005, std::vector<std::uint8_t>(11)), LIBUSB_ERROR_PIPE);
  // The streaming control does not exist on this generation.
  std::vector<std::uint8_t> sixty_four(64);
  EXPECT_EQ(unit3.get(0x0600, sixty_four), LIBUSB_ERROR_PIPE);
  // Interface 1 carries no units; vendor requests are not class requests.
  EXPECT_EQ(cam.control_transfer(kRequestTypeClassIn, kGetCur, 0x0100, 0x0301, four.data(), 4), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(cam.control_transfer(0xC0, kGetCur, 0x0100, 0x0300, four.data(), 4), LIBUSB_ERROR_PIPE);
  // A null buffer never reaches the device.
  EXPECT_EQ(cam.control_transfer(kRequestTypeClassIn, kGetCur, 0x0100, 0x0300, nullptr, 4), LIBUSB_ERROR_INVALID_PARAM);

  const auto log = cam.transfer_log();
  ASSERT_EQ(log.size(), cam.transfer_count());
  for (const auto& record : log) EXPECT_LT(record.result, 0) << "transfer " << record.seq;
  EXPECT_TRUE(cam.register_log().empty());
}

TEST(VirtualCameraRequests, RegisterReadRepliesOnlyToThePostedAddress) {
  VirtualClock clock;
  VirtualCamera cam(CameraConfig{}, clock);
  Host host(cam);
  // GET_CUR before any read request returns the reset reply, not a register.
  std::vector<std::uint8_t> reply(4, 0xAA);
  ASSERT_EQ(host.get(0x0100, reply), 4);
  EXPECT_EQ(reply, (std::vector<std::uint8_t>{0, 0, 0, 0}));

  ASSERT_EQ(host.write_reg(0x1234, 0x5A), 4);
  ASSERT_EQ(host.set(0x0100, {0x34, 0x12, 0x00, 0xFF}), 4);
  ASSERT_EQ(host.get(0x0100, reply), 4);
  EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x34, 0x12, 0x5A, 0xFF}));
  // A write does not change the reply of the last read.
  ASSERT_EQ(host.write_reg(0x1234, 0x11), 4);
  ASSERT_EQ(host.get(0x0100, reply), 4);
  EXPECT_EQ(reply[2], 0x5A);

  // GET_LEN and GET_INFO as a UVC extension unit answers them.
  std::vector<std::uint8_t> len(2), info(1);
  EXPECT_EQ(cam.control_transfer(kRequestTypeClassIn, kGetLen, 0x0400, 0x0300, len.data(), 2), 2);
  EXPECT_EQ(len, (std::vector<std::uint8_t>{11, 0}));
  EXPECT_EQ(cam.control_transfer(kRequestTypeClassIn, kGetInfo, 0x0100, 0x0300, info.data(), 1), 1);
  EXPECT_EQ(info[0], 0x03);

  const auto regs = cam.register_log();
  ASSERT_EQ(regs.size(), 3u);  // the GET_CUR replies are not register accesses
  EXPECT_TRUE(regs[0].write);
  EXPECT_FALSE(regs[1].write);
  EXPECT_EQ(regs[1].value, 0x5A);
  EXPECT_TRUE(regs[2].write);
}

TEST(VirtualCameraRequests, FailedInTransferLeavesTheBufferAlone) {
  VirtualClock clock;
  VirtualCamera cam(CameraConfig{}, clock);
  Host host(cam);
  cam.fail_transfer(cam.transfer_count() + 2, LIBUSB_ERROR_TIMEOUT);
  ASSERT_EQ(host.set(0x0100, {0x1F, 0x10, 0, 0xFF}), 4);
  std::vector<std::uint8_t> reply(4, 0xEE);
  EXPECT_EQ(host.get(0x0100, reply), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(reply, std::vector<std::uint8_t>(4, 0xEE));
  const auto log = cam.transfer_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[1].injected);
  EXPECT_TRUE(log[1].data.empty());
  // The fault was one-shot: the next read works.
  EXPECT_EQ(host.read_reg(0x101F), 0x83);
}

// ---- Register space.

TEST(VirtualCameraRegisters, ChipIdAnswersAtTheRegisterOfItsMap) {
  struct Case {
    std::uint8_t chip;
    std::uint16_t answers_at;
    std::uint16_t silent_at;
  };
  for (const Case c : {Case{0x83, 0x101F, 0x80F0}, Case{0x15, 0x101F, 0x80F0}, Case{0x85, 0x80F0, 0x101F},
                       Case{0x90, 0x80F0, 0x101F}}) {
    VirtualClock clock;
    VirtualCamera cam(config_for(c.chip, 12), clock);
    Host host(cam);
    EXPECT_EQ(host.read_reg(c.answers_at), c.chip) << std::hex << int(c.chip);
    EXPECT_EQ(host.read_reg(c.silent_at), 0x00) << std::hex << int(c.chip);
    // Read-only.
    ASSERT_EQ(host.write_reg(c.answers_at, 0x42), 4);
    EXPECT_EQ(host.read_reg(c.answers_at), c.chip);
  }
  // A row-1 chip whose id answers at the row-0 register, and any chip of the
  // table on the other register map.
  CameraConfig odd = config_for(0x85, 12);
  odd.chip_id_register = 0x101F;
  VirtualClock clock;
  VirtualCamera cam(odd, clock);
  Host host(cam);
  EXPECT_EQ(host.read_reg(0x101F), 0x85);
  EXPECT_EQ(cam.register_map_row(), 1);

  CameraConfig swapped = config_for(0x83, 12);
  swapped.register_map_row = 1;
  VirtualCamera cam2(swapped, clock);
  Host host2(cam2);
  EXPECT_EQ(host2.read_reg(0x80F0), 0x83);
  EXPECT_EQ(cam2.active_register_map().i2c_dev, 0x8600);
}

TEST(VirtualCameraRegisters, EveryChipOfTheTableWorksOnEitherMap) {
  const std::uint8_t chips[] = {0x15, 0x16, 0x22, 0x23, 0x25, 0x32, 0x33, 0x56, 0x70, 0x71, 0x75,
                                0x87, 0x88, 0x67, 0x76, 0x83, 0x92, 0x85, 0x86, 0x89, 0x90};
  for (std::uint8_t chip : chips) {
    EXPECT_GE(chip_register_map_row(chip), 0) << std::hex << int(chip);
    for (int row : {0, 1}) {
      CameraConfig config = config_for(chip, 12);
      config.register_map_row = row;
      VirtualClock clock;
      VirtualCamera cam(config, clock);
      Host host(cam);
      const RegisterMap& map = register_map(row);
      EXPECT_EQ(host.read_reg(map.chip_id), chip) << std::hex << int(chip) << " row " << row;
      EXPECT_EQ(host.read_reg(map.usb_reset), 0x01) << std::hex << int(chip) << " row " << row;
    }
  }
  EXPECT_EQ(chip_register_map_row(0x84), -1);
}

TEST(VirtualCameraRegisters, GpioInputReadsDrivenPinsAndBoardLevels) {
  for (int row : {0, 1}) {
    CameraConfig config = config_for(row == 0 ? 0x83 : 0x86, 12);
    config.gpio_input = 0xA5;
    VirtualClock clock;
    VirtualCamera cam(config, clock);
    Host host(cam);
    const RegisterMap& map = register_map(row);
    EXPECT_EQ(host.read_reg(map.gpio_input), 0xA5);
    // Drive bits 0-3 high: they read back high, the rest still follow the board.
    ASSERT_EQ(host.write_reg(map.gpio_output, 0x0F), 4);
    ASSERT_EQ(host.write_reg(map.gpio_output_enable, 0x0F), 4);
    EXPECT_EQ(host.read_reg(map.gpio_input), 0xAF);
    // Drive them low.
    ASSERT_EQ(host.write_reg(map.gpio_output, 0x00), 4);
    EXPECT_EQ(host.read_reg(map.gpio_input), 0xA0);
    // The input register ignores writes; the latches read back.
    ASSERT_EQ(host.write_reg(map.gpio_input, 0xFF), 4);
    EXPECT_EQ(host.read_reg(map.gpio_input), 0xA0);
    EXPECT_EQ(host.read_reg(map.gpio_output_enable), 0x0F);
  }
}

TEST(VirtualCameraRegisters, LatchesBehaveAsTheDieVariantDoes) {
  VirtualClock clock;
  {
    VirtualCamera cam(CameraConfig{}, clock);
    Host host(cam);
    ASSERT_EQ(host.write_reg(0x1185, 0x7F), 4);
    EXPECT_EQ(host.read_reg(0x1185), 0x0F);  // bits 4-6 do not exist here
  }
  {
    CameraConfig config;
    config.reg_1185_bits_70_stick = true;
    VirtualCamera cam(config, clock);
    Host host(cam);
    ASSERT_EQ(host.write_reg(0x1185, 0x7F), 4);
    EXPECT_EQ(host.read_reg(0x1185), 0x7F);
  }
  {
    CameraConfig config = config_for(0x71, 23);
    config.chip_id_when_100a_bit4_clear = 0x70;
    VirtualCamera cam(config, clock);
    Host host(cam);
    EXPECT_EQ(host.read_reg(0x100A), 0x10);
    EXPECT_EQ(host.read_reg(0x101F), 0x71);
    ASSERT_EQ(host.write_reg(0x100A, 0x00), 4);
    EXPECT_EQ(host.read_reg(0x101F), 0x70);
    ASSERT_EQ(host.write_reg(0x100A, 0x10), 4);
    EXPECT_EQ(host.read_reg(0x101F), 0x71);
  }
}

// ---- Mask ROM.

TEST(VirtualCameraRom, EveryGenerationShowsItsTextOnlyAtItsAddress) {
  for (int row = 0; row < kRomGenerationCount; ++row) {
    const RomGeneration* gen = rom_generation(row);
    ASSERT_NE(gen, nullptr);
    VirtualClock clock;
    VirtualCamera cam(config_for(0x83, row), clock);
    Host host(cam);
    for (std::uint16_t address : kRomTextAddresses) {
      const auto text = host.read_rom(address);
      ASSERT_TRUE(text.has_value()) << "row " << row;
      const std::string name(text->begin(), text->begin() + 4);
      if (address == gen->text_address) {
        EXPECT_EQ(name, std::string(gen->name, 4)) << "row " << row;
        EXPECT_EQ((*text)[5], gen->sub_version) << "row " << row;
        EXPECT_EQ((*text)[6], '0') << "row " << row;
      } else {
        // Nothing that any generation could take for its own name.
        for (int other = 0; other < kRomGenerationCount; ++other) {
          if (rom_generation(other)->text_address == address) {
            EXPECT_NE(name, std::string(rom_generation(other)->name, 4)) << "row " << row << " at " << address;
          }
        }
      }
    }
  }
}

TEST(VirtualCameraRom, UnmatchedRomAndOverridesAndWindowWrap) {
  CameraConfig config = config_for(0x83, kUnmatchedRom);
  config.rom_overrides.push_back({0xBFF8, {'2', '3', '1', 'R', '0', 3, 'F', 0}});
  VirtualClock clock;
  VirtualCamera cam(config, clock);
  Host host(cam);
  for (std::uint16_t address : kRomTextAddresses) {
    const auto text = host.read_rom(address);
    ASSERT_TRUE(text.has_value());
    if (address == 0xBFF8) {
      EXPECT_EQ(*text, (std::vector<std::uint8_t>{'2', '3', '1', 'R', '0', 3, 'F', 0}));
    } else {
      EXPECT_EQ(std::string(text->begin(), text->begin() + 4), "000R");
    }
  }
  // The window wraps at the top of the 16-bit ROM space.
  const auto top = host.read_rom(0xFFFC);
  ASSERT_TRUE(top.has_value());
  EXPECT_EQ(*top, cam.rom(0xFFFC, 8));
  EXPECT_EQ((*top)[4], cam.rom(0x0000, 1)[0]);
  // Sub-version and variant overrides land in bytes 5 and 6.
  CameraConfig variant = config_for(0x83, 30);
  variant.rom_sub_version = 4;
  variant.rom_variant = 'F';
  VirtualCamera cam2(variant, clock);
  Host host2(cam2);
  const auto text = host2.read_rom(0xAFF8);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ((*text)[5], 4);
  EXPECT_EQ((*text)[6], 'F');
}

// ---- The serial-flash side, as reached through the vendor controls.

TEST(VirtualCameraFlashControls, WindowAndMemoryTypeReachTheFlashController) {
  VirtualClock clock;
  CameraConfig config;
  config.flash.contents.assign(0x1010, 0x00);
  for (int i = 0; i < 8; ++i) config.flash.contents[0x1000 + i] = static_cast<std::uint8_t>(0xA0 + i);
  VirtualCamera cam(config, clock);
  Host host(cam);
  ASSERT_EQ(host.set(0x0300, {0x00, 0x10, 0x88, 0, 0, 0, 0, 0, 0, 0, 0}), 11);
  std::vector<std::uint8_t> reply(11);
  ASSERT_EQ(host.get(0x0300, reply), 11);
  EXPECT_EQ(std::vector<std::uint8_t>(reply.begin() + 3, reply.end()),
            (std::vector<std::uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
  EXPECT_EQ(host.set(0x0300, {0x00, 0x10, 0x88}), LIBUSB_ERROR_PIPE);  // 3 bytes, not 11
  // The default generation reports no memory type; a later one does.
  std::vector<std::uint8_t> memtype(11);
  EXPECT_EQ(host.get(0x0005, memtype), LIBUSB_ERROR_PIPE);
  CameraConfig reporting = config_for(0x83, 28);
  reporting.memory_type = 2;
  VirtualCamera cam2(reporting, clock);
  Host host2(cam2);
  ASSERT_EQ(host2.get(0x0005, memtype), 11);
  EXPECT_EQ(memtype[2], 2);
  EXPECT_EQ(Host(cam2, 4).get(0x0005, memtype), LIBUSB_ERROR_PIPE);  // not a vendor unit here
}

// ---- USB reset through the controller.

TEST(VirtualCameraBus, ResetRegisterMakesTheDeviceReenumerate) {
  for (int row : {0, 1}) {
    VirtualClock clock;
    VirtualCamera cam(config_for(row == 0 ? 0x83 : 0x85, 12), clock);
    Host host(cam);
    const RegisterMap& map = register_map(row);
    const auto address = cam.device_address();
    EXPECT_EQ(host.read_reg(map.usb_reset), 0x01);
    // Setting bits other than bit 0 keeps the device on the bus.
    ASSERT_EQ(host.write_reg(map.usb_reset, 0x03), 4);
    EXPECT_EQ(cam.usb_reset_count(), 0u);
    ASSERT_EQ(host.write_reg(map.gpio_output, 0x55), 4);
    cam.set_kernel_driver_bound(false);

    ASSERT_EQ(host.write_reg(map.usb_reset, 0x02), 4);  // bit 0 cleared
    EXPECT_EQ(cam.usb_reset_count(), 1u);
    EXPECT_EQ(cam.connection_generation(), 2u);
    EXPECT_NE(cam.device_address(), address);
    EXPECT_TRUE(cam.attached());
    EXPECT_TRUE(cam.kernel_driver_bound());  // the UVC driver binds the new device
    // The controller restarted: its latches are back at power-on values.
    EXPECT_EQ(host.read_reg(map.gpio_output), 0x00);
    EXPECT_EQ(host.read_reg(map.usb_reset), 0x01);
  }
}

TEST(VirtualCameraBus, UnpluggedDeviceAnswersNothingUntilReplugged) {
  VirtualClock clock;
  VirtualCamera cam(CameraConfig{}, clock);
  Host host(cam);
  const auto address = cam.device_address();
  cam.unplug();
  EXPECT_FALSE(cam.attached());
  EXPECT_EQ(host.write_reg(0x1006, 1), LIBUSB_ERROR_NO_DEVICE);
  std::uint8_t sample[17];
  EXPECT_EQ(cam.xu_query(4, 10, kGetCur, 17, sample), -ENODEV);
  cam.replug();
  EXPECT_TRUE(cam.attached());
  EXPECT_NE(cam.device_address(), address);
  EXPECT_EQ(host.read_reg(0x101F), 0x83);
}

// ---- Fault injection.

TEST(VirtualCameraFaults, PredicateRulesCountDownAndClear) {
  VirtualClock clock;
  VirtualCamera cam(CameraConfig{}, clock);
  Host host(cam);
  cam.fail_transfers_matching([](const TransferRequest& r) { return r.value == 0x0400; }, LIBUSB_ERROR_IO, 2);
  EXPECT_FALSE(host.read_rom(0xBFF8).has_value());
  EXPECT_EQ(host.read_reg(0x101F), 0x83);  // other controls unaffected
  EXPECT_FALSE(host.read_rom(0xBFF8).has_value());
  EXPECT_TRUE(host.read_rom(0xBFF8).has_value());  // the two failures are used up

  cam.fail_transfers_matching([](const TransferRequest& r) { return r.request == kGetCur; }, LIBUSB_ERROR_PIPE);
  EXPECT_FALSE(host.read_reg(0x101F).has_value());
  EXPECT_FALSE(host.read_reg(0x101F).has_value());
  cam.clear_faults();
  EXPECT_EQ(host.read_reg(0x101F), 0x83);

  cam.set_open_error(LIBUSB_ERROR_ACCESS);
  cam.fail_claims(2, LIBUSB_ERROR_BUSY);
  cam.set_descriptor_error(LIBUSB_ERROR_IO);
  EXPECT_EQ(cam.open_error(), LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(cam.take_claim_failure(), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(cam.take_claim_failure(), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(cam.take_claim_failure(), 0);
  EXPECT_EQ(cam.descriptor_error(), LIBUSB_ERROR_IO);
  cam.clear_faults();
  EXPECT_EQ(cam.open_error(), 0);
  EXPECT_EQ(cam.descriptor_error(), 0);
}

TEST(VirtualCameraFaults, PowerCutStopsTheDeviceMidFlashOperation) {
  VirtualClock clock;
  VirtualCamera cam(CameraConfig{}, clock);
  Host host(cam);
  const RegisterMap& map = cam.active_register_map();
  // Byte-bang a read-status command: each shifted byte is one SPI operation.
  cam.cut_power_after_spi_operations(1);
  ASSERT_EQ(host.write_reg(map.sf_mode, 1), 4);
  ASSERT_EQ(host.write_reg(map.sf_chip_select, 0), 4);
  ASSERT_EQ(host.write_reg(map.sf_write_data, 0x05), 4);
  ASSERT_EQ(host.write_reg(map.sf_trigger, 1), 4);  // operation 1 happens
  EXPECT_TRUE(cam.attached());
  EXPECT_EQ(host.write_reg(map.sf_trigger, 2), LIBUSB_ERROR_NO_DEVICE);  // operation 2 finds no power
  EXPECT_FALSE(cam.attached());
  EXPECT_EQ(host.read_reg(0x101F), std::nullopt);
  cam.replug();
  EXPECT_EQ(host.read_reg(0x101F), 0x83);
  EXPECT_EQ(host.read_reg(map.sf_mode), 0x00);
}

// ---- I2C master.

class I2cBus {
 public:
  I2cBus(VirtualCamera& cam) : host_(cam), map_(cam.active_register_map()) {}

  // Programs one transaction; returns the device-control value after at most
  // `polls` polls.
  std::uint8_t run(std::uint8_t slave, std::uint8_t dev, const std::vector<std::uint8_t>& data, int polls = 10) {
    host_.write_reg(map_.i2c_mode, 1);
    host_.write_reg(map_.i2c_scl_open_drain, 1);
    host_.write_reg(map_.i2c_dev, dev);
    host_.write_reg(map_.i2c_slave_id, slave);
    for (std::uint16_t i = 0; i < 5; ++i)
      host_.write_reg(static_cast<std::uint16_t>(map_.i2c_data + i), i < data.size() ? data[i] : 0);
    host_.write_reg(map_.i2c_trigger, 0x10);
    std::uint8_t status = 0;
    for (int i = 0; i < polls; ++i) {
      status = host_.read_reg(map_.i2c_dev).value_or(0);
      if (status & 0x04) break;
    }
    return status;
  }
  std::vector<std::uint8_t> data() {
    std::vector<std::uint8_t> out;
    for (std::uint16_t i = 0; i < 5; ++i)
      out.push_back(host_.read_reg(static_cast<std::uint16_t>(map_.i2c_data + i)).value_or(0xEE));
    return out;
  }
  Host& host() { return host_; }

 private:
  Host host_;
  const RegisterMap& map_;
};

CameraConfig camera_with_sensors() {
  CameraConfig config;
  I2cSensorConfig wide;  // 16-bit addresses, 8-bit values
  wide.bus_address = 0x20;
  wide.registers = {{0x300A, 0x56}, {0x300B, 0x47}};
  I2cSensorConfig word;  // 8-bit addresses, 16-bit values
  word.bus_address = 0x90;
  word.register_address_bytes = 1;
  word.value_bytes = 2;
  word.registers = {{0x00, 0x1234}};
  config.sensors = {wide, word};
  return config;
}

TEST(VirtualCameraI2c, WritesAndReadsAcknowledgedSensors) {
  for (std::uint8_t chip : {0x83, 0x86}) {
    CameraConfig config = camera_with_sensors();
    config.chip_id = chip;
    VirtualClock clock;
    VirtualCamera cam(config, clock);
    I2cBus bus(cam);
    // 16-bit address, 8-bit value: three bytes, count 3.
    std::uint8_t status = bus.run(0x20, 0xB0, {0x30, 0x0A, 0x99});
    EXPECT_EQ(status & 0x0C, 0x04);
    EXPECT_EQ(cam.sensor_register(0x20, 0x300A), 0x99);
    // Read back: address phase then a 1-byte read, right-aligned.
    EXPECT_EQ(bus.run(0x20, 0xA0, {0x30, 0x0B}) & 0x0C, 0x04);
    EXPECT_EQ(bus.run(0x20, 0x92, {}) & 0x0C, 0x04);
    EXPECT_EQ(bus.data()[4], 0x47);
    // 16-bit value: high byte in the fourth position, low in the fifth.
    EXPECT_EQ(bus.run(0x90, 0x90, {0x00}) & 0x0C, 0x04);
    EXPECT_EQ(bus.run(0x90, 0xA2, {}) & 0x0C, 0x04);
    const auto data = bus.data();
    EXPECT_EQ(data[3], 0x12);
    EXPECT_EQ(data[4], 0x34);
    EXPECT_EQ(bus.run(0x90, 0xB0, {0x05, 0xBE, 0xEF}) & 0x0C, 0x04);
    EXPECT_EQ(cam.sensor_register(0x90, 0x05), 0xBEEF);

    const auto log = cam.i2c_log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0].bytes, (std::vector<std::uint8_t>{0x30, 0x0A, 0x99}));
    EXPECT_TRUE(log[2].read);
    EXPECT_EQ(log[2].bytes, (std::vector<std::uint8_t>{0x47}));
  }
}

TEST(VirtualCameraI2c, KeepsBitZeroAndFlagsMissingOrSilentDevices) {
  CameraConfig config = camera_with_sensors();
  config.sensors[1].acknowledges = false;
  VirtualClock clock;
  VirtualCamera cam(config, clock);
  I2cBus bus(cam);
  // Bit 0 is kept as written; the status bits come from the transaction.
  EXPECT_EQ(bus.run(0x20, 0xB1, {0x30, 0x0A, 0x01}), 0xB1 | 0x04);
  EXPECT_EQ(bus.run(0x42, 0xB0, {0x30, 0x0A, 0x01}) & 0x0C, 0x0C);  // nobody there
  EXPECT_EQ(bus.run(0x90, 0x90, {0x00}) & 0x0C, 0x0C);              // present, silent
  EXPECT_EQ(bus.run(0x20, 0xE0, {1, 2, 3, 4, 5}) & 0x0C, 0x0C);     // 6 bytes do not fit
  // Without the start bit the trigger does nothing.
  EXPECT_EQ(bus.run(0x20, 0x30, {0x30, 0x0A, 0x77}) & 0x0C, 0x00);
  EXPECT_EQ(cam.sensor_register(0x20, 0x300A), 0x01);
  // Rewriting device control clears the previous status.
  bus.host().write_reg(cam.active_register_map().i2c_dev, 0x80);
  EXPECT_EQ(cam.peek_register(cam.active_register_map().i2c_dev), 0x80);
}

TEST(VirtualCameraI2c, BusyAndStuckBuses) {
  VirtualClock clock;
  {
    CameraConfig config = camera_with_sensors();
    config.i2c_busy_polls = 3;
    VirtualCamera cam(config, clock);
    I2cBus bus(cam);
    EXPECT_EQ(bus.run(0x20, 0xB0, {0x30, 0x0A, 0x66}, 3) & 0x04, 0x00);  // still busy after 3 polls
    EXPECT_EQ(bus.host().read_reg(cam.active_register_map().i2c_dev).value() & 0x0C, 0x04);
  }
  {
    CameraConfig config = camera_with_sensors();
    config.i2c_bus_stuck = true;
    VirtualCamera cam(config, clock);
    I2cBus bus(cam);
    EXPECT_EQ(bus.run(0x20, 0xB0, {0x30, 0x0A, 0x66}, 50) & 0x0C, 0x00);
    EXPECT_EQ(cam.sensor_register(0x20, 0x300A), 0x56);  // nothing reached the sensor
  }
}

// ---- IMU.

TEST(VirtualCameraImu, SampleWireFormat) {
  ImuSample s;
  s.temperature = 25;
  s.accel[0] = -1;
  s.accel[1] = 1;
  s.accel[2] = 32767;
  s.gyro[0] = -32768;
  s.gyro[1] = 0;
  s.gyro[2] = 100;
  s.counter = 0x51234;
  const auto bytes = encode_imu_sample(s);
  const std::array<std::uint8_t, 17> expected = {0x00, 0x19, 0xFF, 0xFF, 0x00, 0x01, 0x7F, 0xFF, 0x80,
                                                 0x00, 0x00, 0x00, 0x00, 0x64, 0x12, 0x34, 0x05};
  EXPECT_EQ(bytes, expected);
  s.counter = 0xFFFFFFFF;  // only 20 bits travel
  EXPECT_EQ(encode_imu_sample(s)[16], 0x0F);
}

std::uint32_t counter_of(const std::uint8_t* b) {
  return (static_cast<std::uint32_t>(b[16] & 0x0F) << 16) | (static_cast<std::uint32_t>(b[14]) << 8) | b[15];
}

TEST(VirtualCameraImu, CounterAdvancesWrapsAndSkipsFailedReads) {
  CameraConfig config;
  config.imu.counter_start = 0xFFFFE;
  VirtualClock clock;
  VirtualCamera cam(config, clock);
  std::uint8_t b[17];
  ASSERT_EQ(cam.xu_query(4, 10, kGetCur, 17, b), 0);
  EXPECT_EQ(counter_of(b), 0xFFFFEu);
  EXPECT_EQ(b[0], 0x00);
  EXPECT_EQ(b[1], 25);
  cam.fail_next_imu_samples(1, ImuStatus::read_failure);
  ASSERT_EQ(cam.xu_query(4, 10, kGetCur, 17, b), 0);
  EXPECT_EQ(b[0], 0xF2);
  ASSERT_EQ(cam.xu_query(4, 10, kGetCur, 17, b), 0);
  EXPECT_EQ(counter_of(b), 0xFFFFFu);
  ASSERT_EQ(cam.xu_query(4, 10, kGetCur, 17, b), 0);
  EXPECT_EQ(counter_of(b), 0u);
  cam.set_imu_status(ImuStatus::init_failure);
  ASSERT_EQ(cam.xu_query(4, 10, kGetCur, 17, b), 0);
  EXPECT_EQ(b[0], 0xF1);
  ASSERT_EQ(cam.xu_query(4, 10, kGetCur, 17, b), 0);
  EXPECT_EQ(b[0], 0xF1);
  EXPECT_EQ(cam.imu_samples_served(), 3u);

  // The kernel's checks: size, query type, unit and selector.
  EXPECT_EQ(cam.xu_query(4, 10, kGetCur, 16, b), -ENOBUFS);
  EXPECT_EQ(cam.xu_query(4, 10, kSetCur, 17, b), -EBADRQC);
  EXPECT_EQ(cam.xu_query(3, 10, kGetCur, 17, b), -ENOENT);
  EXPECT_EQ(cam.xu_query(4, 9, kGetCur, 17, b), -ENOENT);
  EXPECT_EQ(cam.xu_query(4, 10, kGetCur, 17, nullptr), -EFAULT);
  std::uint8_t len[2];
  ASSERT_EQ(cam.xu_query(4, 10, kGetLen, 2, len), 0);
  EXPECT_EQ(len[0], 17);
}

TEST(VirtualCameraImu, MotionIsDeterministicAndPhysical) {
  CameraConfig config;
  config.imu.motion = ImuMotion::rotating;
  config.imu.noise_amplitude = 20;
  config.imu.noise_seed = 7;
  VirtualClock clock;
  VirtualCamera a(config, clock);
  VirtualCamera b(config, clock);
  config.imu.noise_seed = 8;
  VirtualCamera c(config, clock);
  bool differs = false;
  for (int i = 0; i < 100; ++i) {
    const ImuSample preview = a.next_imu_sample_preview();
    std::uint8_t sa[17], sb[17], sc[17];
    ASSERT_EQ(a.xu_query(4, 10, kGetCur, 17, sa), 0);
    ASSERT_EQ(b.xu_query(4, 10, kGetCur, 17, sb), 0);
    ASSERT_EQ(c.xu_query(4, 10, kGetCur, 17, sc), 0);
    EXPECT_EQ(0, std::memcmp(sa, sb, 17)) << "sample " << i;
    EXPECT_EQ(encode_imu_sample(preview),
              (std::array<std::uint8_t, 17>{sa[0], sa[1], sa[2], sa[3], sa[4], sa[5], sa[6], sa[7], sa[8], sa[9],
                                            sa[10], sa[11], sa[12], sa[13], sa[14], sa[15], sa[16]}));
    differs = differs || std::memcmp(sa, sc, 17) != 0;
    // Gravity keeps its magnitude (within the noise) while the camera turns.
    const double ay = static_cast<std::int16_t>((sa[4] << 8) | sa[5]);
    const double az = static_cast<std::int16_t>((sa[6] << 8) | sa[7]);
    EXPECT_NEAR(std::sqrt(ay * ay + az * az), 16384.0, 60.0) << "sample " << i;
    const int gx = static_cast<std::int16_t>((sa[8] << 8) | sa[9]);
    EXPECT_NEAR(gx, 1000, 20);
  }
  EXPECT_TRUE(differs);
}

TEST(VirtualCameraImu, ImuControlOverUsbAndAbsentImu) {
  VirtualClock clock;
  VirtualCamera cam(CameraConfig{}, clock);
  std::vector<std::uint8_t> sample(17);
  EXPECT_EQ(cam.control_transfer(kRequestTypeClassIn, kGetCur, 0x0A00, 0x0400, sample.data(), 17), 17);
  EXPECT_EQ(sample[1], 25);
  EXPECT_EQ(cam.control_transfer(kRequestTypeClassOut, kSetCur, 0x0A00, 0x0400, sample.data(), 17), LIBUSB_ERROR_PIPE);
  CameraConfig config;
  config.imu.present = false;
  VirtualCamera none(config, clock);
  EXPECT_EQ(none.control_transfer(kRequestTypeClassIn, kGetCur, 0x0A00, 0x0400, sample.data(), 17), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(none.xu_query(4, 10, kGetCur, 17, sample.data()), -ENOENT);
}

// ---- Configuration checks.

TEST(VirtualCameraConfig, RejectsImpossibleHardware) {
  VirtualClock clock;
  CameraConfig bad_rom;
  bad_rom.rom_row = 40;
  EXPECT_THROW(VirtualCamera(bad_rom, clock), std::invalid_argument);
  CameraConfig small_flash;
  small_flash.flash.size_bytes = 512 * 1024;
  EXPECT_THROW(VirtualCamera(small_flash, clock), std::invalid_argument);
  CameraConfig same_nodes;
  same_nodes.metadata_node = same_nodes.capture_node;
  EXPECT_THROW(VirtualCamera(same_nodes, clock), std::invalid_argument);
  CameraConfig missing_file;
  missing_file.flash.contents_file = "/nonexistent/flash.bin";
  EXPECT_THROW(VirtualCamera(missing_file, clock), std::invalid_argument);
  CameraConfig contents;
  contents.flash.contents = {1, 2, 3};
  VirtualCamera cam(contents, clock);
  EXPECT_EQ(cam.flash_contents(0, 4), (std::vector<std::uint8_t>{1, 2, 3, 0xFF}));
}

}  // namespace
}  // namespace morvane::emulator
