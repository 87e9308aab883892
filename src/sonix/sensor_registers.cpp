// Image-sensor registers through the controller's I2C master.
//
// One transaction programs the master through the controller registers of the
// active register map: mode, clock-line driver, device control (start, byte
// count, direction), target address and a 5-byte data array, then triggers it
// and polls the device-control register for "finished" (bit 2) and "error"
// (bit 3). A transaction carries at most 2 register-address bytes and 2 data
// bytes.
#include <cstdint>

#include "platform/platform.hpp"
#include "sonix/sonix_cam.h"
#include "sonix/sonix_internal.h"

namespace {

namespace platform = morvane::uvc_stereo::platform;

constexpr int kDataArraySize = 5;
constexpr int kFinishPolls = 10;
constexpr std::uint8_t kDevStart = 0x80;
constexpr std::uint8_t kDevRead = 0x02;
constexpr std::uint8_t kDevKeptBit = 0x01;
constexpr std::uint8_t kDevFinished = 0x04;
constexpr std::uint8_t kDevError = 0x08;
constexpr std::uint8_t kTrigger = 0x10;

bool read_reg(std::uint16_t address, std::uint8_t* value) { return LibUsb_ReadFromASIC(address, value) != 0; }
bool write_reg(std::uint16_t address, std::uint8_t value) { return LibUsb_WriteToASIC(address, value) != 0; }

// Mode register (optionally with the two mode bits) and open-drain clock line.
bool prepare_master(int mode) {
  if (!write_reg(i2cMode, 1)) return false;
  if (mode != 0) {
    std::uint8_t current = 0;
    if (!read_reg(i2cMode, &current)) return false;
    if (!write_reg(i2cMode, static_cast<std::uint8_t>(current | 0x03))) return false;
  }
  return write_reg(i2cSclSelOD, 1);
}

// Writes the device-control register, keeping bit 0 of its present value.
bool set_device_control(std::uint8_t control) {
  std::uint8_t current = 0;
  if (!read_reg(i2cDev, &current)) return false;
  return write_reg(i2cDev, static_cast<std::uint8_t>(control | (current & kDevKeptBit)));
}

// Polls up to 10 times, 1 ms apart, stopping once the master reports finished.
// False only when a poll could not be read; `status` holds the last value.
bool wait_finished(std::uint8_t* status) {
  std::uint8_t value = 0;
  for (int poll = 0; poll < kFinishPolls; ++poll) {
    if (!read_reg(i2cDev, &value)) return false;
    platform::sleep_ms(1);
    if ((value & kDevFinished) != 0) break;
  }
  *status = value;
  return true;
}

bool finished_without_error(std::uint8_t status) { return (status & kDevFinished) != 0 && (status & kDevError) == 0; }

}  // namespace

extern "C" {

int GetByteLengthFormAddr(uint32_t value) {
  if (value < 0x100) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFF) return 3;
  return 4;
}

int LibUsb_CustomWriteToSensor(uint8_t slave_id, uint16_t address, uint16_t address_length, uint16_t data,
                               uint16_t data_length, int mode) {
  // The data array always carries the register address's low byte first, so a
  // transaction without address bytes would send it as data: refuse it.
  if (address_length == 0) return 0;
  if (address_length > 2) address_length = 2;
  if (data_length > 2) data_length = 2;

  if (!prepare_master(mode)) return 0;
  const auto count = static_cast<std::uint8_t>(((address_length + data_length) << 4) & 0xFF);
  if (!set_device_control(static_cast<std::uint8_t>(count | kDevStart))) return 0;
  if (!write_reg(i2cSlaveID, slave_id)) return 0;

  std::uint8_t array[kDataArraySize] = {0, 0, 0, 0, 0};
  int n = 0;
  if (address_length >= 2) array[n++] = static_cast<std::uint8_t>(address >> 8);
  array[n++] = static_cast<std::uint8_t>(address & 0xFF);
  if (data_length >= 2) array[n++] = static_cast<std::uint8_t>(data >> 8);
  if (data_length >= 1) array[n++] = static_cast<std::uint8_t>(data & 0xFF);
  for (int i = 0; i < kDataArraySize; ++i) {
    if (!write_reg(static_cast<std::uint16_t>(i2cDataArrStartAddr + i), array[i])) return 0;
  }

  if (!write_reg(i2cTrg, kTrigger)) return 0;
  std::uint8_t status = 0;
  if (!wait_finished(&status)) return 0;
  return finished_without_error(status) ? 1 : 0;
}

int LibUsb_CustomReadFromSensor(uint8_t slave_id, uint16_t address, uint16_t address_length, uint16_t* data,
                                uint16_t data_length, int mode) {
  if (data == nullptr || data_length == 0) return 0;
  if (address_length > 2) address_length = 2;
  if (data_length > 2) data_length = 2;

  // Address phase: a write of the register address alone. Without address
  // bytes there is none: the read continues at the sensor's current register
  // (a current-address read).
  if (address_length > 0 && !LibUsb_CustomWriteToSensor(slave_id, address, address_length, 0, 0, mode)) return 0;

  if (!prepare_master(mode)) return 0;
  const auto count = static_cast<std::uint8_t>((data_length << 4) & 0xFF);
  if (!set_device_control(static_cast<std::uint8_t>(count | kDevStart | kDevRead))) return 0;
  if (!write_reg(i2cSlaveID, slave_id)) return 0;
  for (int i = 0; i < kDataArraySize; ++i) {
    if (!write_reg(static_cast<std::uint16_t>(i2cDataArrStartAddr + i), 0)) return 0;
  }
  if (!write_reg(i2cTrg, kTrigger)) return 0;
  std::uint8_t status = 0;
  if (!wait_finished(&status)) return 0;
  if (!finished_without_error(status)) return 0;

  // The data come back right-aligned in the array.
  std::uint8_t array[kDataArraySize] = {0, 0, 0, 0, 0};
  for (int i = 0; i < kDataArraySize; ++i) {
    if (!read_reg(static_cast<std::uint16_t>(i2cDataArrStartAddr + i), &array[i])) return 0;
  }
  *data = data_length == 2 ? static_cast<uint16_t>((array[3] << 8) | array[4]) : array[4];
  return 1;
}

int SonixCam_SensorRegisterCustomWrite(uint8_t slave_id, uint16_t address, uint16_t address_length, uint8_t* data,
                                       uint16_t data_length, int mode) {
  if (!morvane::uvc_stereo::sonix::camera_open()) return 0;
  if (data == nullptr && data_length > 0) return 0;
  uint16_t value = 0;
  if (data_length >= 2) {
    value = static_cast<uint16_t>((data[0] << 8) | data[1]);
  } else if (data_length == 1) {
    value = data[0];
  }
  return LibUsb_CustomWriteToSensor(slave_id, address, address_length, value, data_length, mode);
}

int SonixCam_SensorRegisterCustomRead(uint8_t slave_id, uint16_t address, uint16_t address_length, uint8_t* data,
                                      uint16_t data_length, int mode) {
  if (!morvane::uvc_stereo::sonix::camera_open()) return 0;
  if (data == nullptr) return 0;
  uint16_t value = 0;
  if (!LibUsb_CustomReadFromSensor(slave_id, address, address_length, &value, data_length, mode)) return 0;
  if (data_length >= 2) {
    data[0] = static_cast<uint8_t>(value >> 8);
    data[1] = static_cast<uint8_t>(value & 0xFF);
  } else {
    data[0] = static_cast<uint8_t>(value);
  }
  return 1;
}

// Consecutive 8-bit registers of a sensor with 16-bit register addresses (the
// common layout of camera image sensors), one I2C transaction per register.
// The range must stay inside the 16-bit register space; the first failed
// transaction ends the call with 0 (registers before it were transferred).
int SonixCam_SensorRegisterRead(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length) {
  if (!morvane::uvc_stereo::sonix::camera_open()) return 0;
  return LibUsb_ReadFromSensor(slave_id, address, buffer, length);
}

int SonixCam_SensorRegisterWrite(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length) {
  if (!morvane::uvc_stereo::sonix::camera_open()) return 0;
  return LibUsb_WriteToSensor(slave_id, address, buffer, length);
}

int LibUsb_ReadFromSensor(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length) {
  if (buffer == nullptr || length <= 0 || length > 0x10000 - static_cast<int64_t>(address)) return 0;
  for (int64_t i = 0; i < length; ++i) {
    uint16_t value = 0;
    if (!LibUsb_CustomReadFromSensor(slave_id, static_cast<uint16_t>(address + i), 2, &value, 1, 0)) return 0;
    buffer[i] = static_cast<uint8_t>(value);
  }
  return 1;
}

int LibUsb_WriteToSensor(uint8_t slave_id, uint16_t address, uint8_t* buffer, int64_t length) {
  if (buffer == nullptr || length <= 0 || length > 0x10000 - static_cast<int64_t>(address)) return 0;
  for (int64_t i = 0; i < length; ++i) {
    if (!LibUsb_CustomWriteToSensor(slave_id, static_cast<uint16_t>(address + i), 2, buffer[i], 1, 0)) return 0;
  }
  return 1;
}

}  // extern "C"
