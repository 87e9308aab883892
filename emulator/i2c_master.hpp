// The controller's I2C master and the sensors on its bus.
//
// Registers, as offsets from the device-control register of the active
// register map: 0 device control, 1 slave id, 2..6 data array, 7 trigger,
// 8 clock-line driver, 9 mode.
//
// Device control as written: bit 7 start, bits 4-6 byte count, bit 1 read,
// bit 0 a configuration bit the master keeps as written. As read: the written
// bits, plus bit 2 when the transaction has finished and bit 3 when it ended
// in error (no acknowledge). Writing device control begins a new command and
// clears bits 2 and 3. Writing the trigger with bit 4 set runs the command if
// its start bit is set. A write sends the first `count` data-array bytes; a
// read fetches `count` bytes into the end of the data array (the last byte in
// the fifth position). A transaction of more than 5 bytes, or to an address
// nobody acknowledges, finishes with the error bit.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "emulator/virtual_camera.hpp"

namespace morvane::emulator {

class I2cMaster {
 public:
  static constexpr std::uint16_t kDev = 0;
  static constexpr std::uint16_t kSlaveId = 1;
  static constexpr std::uint16_t kData = 2;
  static constexpr std::uint16_t kDataCount = 5;
  static constexpr std::uint16_t kTrigger = 7;
  static constexpr std::uint16_t kSclOpenDrain = 8;
  static constexpr std::uint16_t kMode = 9;
  static constexpr std::uint16_t kRegisterCount = 10;

  I2cMaster(const std::vector<I2cSensorConfig>& sensors, int busy_polls, bool stuck);

  // Power-on state of the master (sensors keep their registers: they are
  // powered separately).
  void reset();

  std::uint8_t read(std::uint16_t offset);
  // The register as it stands, without the side effects of a bus read.
  std::uint8_t peek(std::uint16_t offset) const { return offset < kRegisterCount ? regs_[offset] : 0; }
  void write(std::uint16_t offset, std::uint8_t value);

  std::optional<std::uint16_t> sensor_register(std::uint8_t bus_address, std::uint16_t reg) const;
  bool set_sensor_register(std::uint8_t bus_address, std::uint16_t reg, std::uint16_t value);
  const std::vector<I2cTransaction>& log() const { return log_; }
  void clear_log() { log_.clear(); }

 private:
  struct Sensor {
    I2cSensorConfig config;
    std::uint16_t pointer = 0;
    std::map<std::uint16_t, std::uint16_t> registers;
  };
  struct Outcome {
    bool error = false;
    std::vector<std::uint8_t> read_bytes;
  };

  Sensor* find(std::uint8_t bus_address);
  Outcome run(bool read, int count);
  void complete();

  std::vector<Sensor> sensors_;
  int busy_polls_;
  bool stuck_;
  std::uint8_t regs_[kRegisterCount] = {};
  bool pending_ = false;  // a transaction is on the bus
  int polls_left_ = 0;    // device-control reads before it finishes
  Outcome outcome_;
  std::vector<I2cTransaction> log_;
};

}  // namespace morvane::emulator
