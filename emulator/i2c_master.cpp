#include "emulator/i2c_master.hpp"

namespace morvane::emulator {
namespace {
constexpr std::uint8_t kStart = 0x80;
constexpr std::uint8_t kRead = 0x02;
constexpr std::uint8_t kFinished = 0x04;
constexpr std::uint8_t kError = 0x08;
constexpr std::uint8_t kGo = 0x10;

std::uint16_t width_mask(int value_bytes) { return value_bytes >= 2 ? 0xFFFF : 0x00FF; }
}  // namespace

I2cMaster::I2cMaster(const std::vector<I2cSensorConfig>& sensors, int busy_polls, bool stuck)
    : busy_polls_(busy_polls < 0 ? 0 : busy_polls), stuck_(stuck) {
  for (const auto& config : sensors) {
    Sensor sensor;
    sensor.config = config;
    for (const auto& [reg, value] : config.registers) sensor.registers[reg] = value & width_mask(config.value_bytes);
    sensors_.push_back(std::move(sensor));
  }
}

void I2cMaster::reset() {
  for (auto& r : regs_) r = 0;
  pending_ = false;
  polls_left_ = 0;
  outcome_ = {};
}

I2cMaster::Sensor* I2cMaster::find(std::uint8_t bus_address) {
  for (auto& sensor : sensors_)
    if (sensor.config.bus_address == bus_address) return &sensor;
  return nullptr;
}

std::uint8_t I2cMaster::read(std::uint16_t offset) {
  if (offset >= kRegisterCount) return 0;
  if (offset == kDev && pending_ && !stuck_) {
    if (polls_left_ > 0) {
      --polls_left_;
    } else {
      complete();
    }
  }
  return regs_[offset];
}

void I2cMaster::write(std::uint16_t offset, std::uint8_t value) {
  if (offset >= kRegisterCount) return;
  switch (offset) {
    case kDev:
      // A new command: the status bits belong to the previous one.
      regs_[kDev] = static_cast<std::uint8_t>(value & ~(kFinished | kError));
      pending_ = false;
      return;
    case kTrigger:
      regs_[kTrigger] = static_cast<std::uint8_t>(value & ~kGo);  // the go bit clears itself
      if ((value & kGo) && (regs_[kDev] & kStart) && !pending_) {
        pending_ = true;
        if (stuck_) return;  // the bus is held low: nothing moves, nothing finishes
        const bool is_read = (regs_[kDev] & kRead) != 0;
        const int count = (regs_[kDev] >> 4) & 0x07;
        outcome_ = run(is_read, count);
        polls_left_ = busy_polls_;
        if (polls_left_ == 0) complete();
      }
      return;
    default:
      regs_[offset] = value;
  }
}

I2cMaster::Outcome I2cMaster::run(bool is_read, int count) {
  Outcome outcome;
  I2cTransaction record;
  record.slave_id = regs_[kSlaveId];
  record.read = is_read;
  Sensor* sensor = find(regs_[kSlaveId]);
  const bool ack = sensor != nullptr && sensor->config.acknowledges;
  record.acknowledged = ack;
  if (!ack || count > static_cast<int>(kDataCount)) {
    outcome.error = true;
    log_.push_back(record);
    return outcome;
  }
  const int address_bytes = sensor->config.register_address_bytes >= 2 ? 2 : 1;
  const int value_bytes = sensor->config.value_bytes >= 2 ? 2 : 1;
  if (!is_read) {
    for (int i = 0; i < count; ++i) record.bytes.push_back(regs_[kData + i]);
    if (count >= address_bytes) {
      std::uint16_t pointer = 0;
      for (int i = 0; i < address_bytes; ++i) pointer = static_cast<std::uint16_t>((pointer << 8) | record.bytes[i]);
      // Data follow in whole registers, most significant byte first; the
      // pointer advances by one register each (a trailing partial register
      // is dropped, as the sensor only latches complete values).
      for (int i = address_bytes; i + value_bytes <= count; i += value_bytes) {
        std::uint16_t value = 0;
        for (int j = 0; j < value_bytes; ++j) value = static_cast<std::uint16_t>((value << 8) | record.bytes[i + j]);
        sensor->registers[pointer] = value;
        ++pointer;
      }
      sensor->pointer = pointer;
    }
  } else {
    std::uint16_t pointer = sensor->pointer;
    for (int i = 0; i < count; ++i) {
      const auto it = sensor->registers.find(static_cast<std::uint16_t>(pointer + i / value_bytes));
      const std::uint16_t value = it == sensor->registers.end() ? 0 : it->second;
      const int shift = 8 * (value_bytes - 1 - i % value_bytes);
      outcome.read_bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    sensor->pointer = static_cast<std::uint16_t>(pointer + (count + value_bytes - 1) / value_bytes);
    record.bytes = outcome.read_bytes;
  }
  log_.push_back(record);
  return outcome;
}

void I2cMaster::complete() {
  pending_ = false;
  const std::size_t n = outcome_.read_bytes.size();
  for (std::size_t i = 0; i < n; ++i) regs_[kData + kDataCount - n + i] = outcome_.read_bytes[i];
  regs_[kDev] = static_cast<std::uint8_t>(regs_[kDev] | kFinished | (outcome_.error ? kError : 0));
}

std::optional<std::uint16_t> I2cMaster::sensor_register(std::uint8_t bus_address, std::uint16_t reg) const {
  for (const auto& sensor : sensors_) {
    if (sensor.config.bus_address != bus_address) continue;
    const auto it = sensor.registers.find(reg);
    return it == sensor.registers.end() ? std::uint16_t{0} : it->second;
  }
  return std::nullopt;
}

bool I2cMaster::set_sensor_register(std::uint8_t bus_address, std::uint16_t reg, std::uint16_t value) {
  Sensor* sensor = find(bus_address);
  if (!sensor) return false;
  sensor->registers[reg] = value & width_mask(sensor->config.value_bytes);
  return true;
}

}  // namespace morvane::emulator
