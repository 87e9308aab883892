// Sensor registers through the controller's I2C master, against the virtual
// camera: the exact register programming of a transaction, the data that
// reach the sensor, and every way a transaction can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sonix/sonix_cam.h"
#include "support/virtual_camera_fixture.hpp"

namespace {

using morvane::emulator::CameraConfig;
using morvane::emulator::I2cSensorConfig;
using morvane::emulator::RegisterAccess;
using morvane::testing::default_camera_config;
using morvane::testing::VirtualCameraTest;

constexpr std::uint8_t kSensor = 0x20;  // the default camera's sensor
constexpr std::uint16_t kDev = 0x10D0;  // register map row 0
constexpr std::uint16_t kMode = 0x10D9;
constexpr std::uint16_t kTrg = 0x10D7;
constexpr std::uint16_t kSclOd = 0x10D8;
constexpr std::uint16_t kSlave = 0x10D1;
constexpr std::uint16_t kData = 0x10D2;

class SensorRegisterTest : public VirtualCameraTest {
 protected:
  void SetUp() override {
    VirtualCameraTest::SetUp();
    char vidpid[] = "0c450643";
    ASSERT_EQ(SonixCam_Init(vidpid, camera().config().bus_number, camera().device_address()), 1);
    camera().clear_logs();
  }
  void TearDown() override {
    SonixCam_UnInit();
    EXPECT_TRUE(rig().clean());
    VirtualCameraTest::TearDown();
  }

  // Register writes that took effect, in order.
  std::vector<RegisterAccess> writes() {
    std::vector<RegisterAccess> out;
    for (const auto& access : camera().register_log())
      if (access.write) out.push_back(access);
    return out;
  }
  // Values written to one register, in order.
  std::vector<std::uint8_t> written(std::uint16_t address) {
    std::vector<std::uint8_t> out;
    for (const auto& access : writes())
      if (access.address == address) out.push_back(access.value);
    return out;
  }
  // Reads of the device-control register after the last trigger.
  int polls_after_last_trigger() {
    const auto log = camera().register_log();
    int polls = 0;
    for (const auto& access : log) {
      if (access.write && access.address == kTrg) polls = 0;
      if (!access.write && access.address == kDev) ++polls;
    }
    return polls;
  }
};

class TwoByteSensorTest : public SensorRegisterTest {
 protected:
  std::vector<CameraConfig> make_configs() override {
    auto config = default_camera_config();
    I2cSensorConfig wide;
    wide.bus_address = 0x36;
    wide.register_address_bytes = 2;
    wide.value_bytes = 2;
    wide.registers = {{0x300A, 0x5647}};
    I2cSensorConfig narrow;
    narrow.bus_address = 0x42;
    narrow.register_address_bytes = 1;
    narrow.value_bytes = 1;
    config.sensors = {config.sensors.front(), wide, narrow};
    return {config};
  }
};

class StuckBusTest : public SensorRegisterTest {
 protected:
  std::vector<CameraConfig> make_configs() override {
    auto config = default_camera_config();
    config.i2c_bus_stuck = true;
    return {config};
  }
};

class SlowBusTest : public SensorRegisterTest {
 protected:
  std::vector<CameraConfig> make_configs() override {
    auto config = default_camera_config();
    config.i2c_busy_polls = 4;
    return {config};
  }
};

TEST(SensorRegisterHelpers, ByteLengthOfValuesAtEachBoundary) {
  EXPECT_EQ(GetByteLengthFormAddr(0), 1);
  EXPECT_EQ(GetByteLengthFormAddr(0xFF), 1);
  EXPECT_EQ(GetByteLengthFormAddr(0x100), 2);
  EXPECT_EQ(GetByteLengthFormAddr(0xFFFF), 2);
  EXPECT_EQ(GetByteLengthFormAddr(0x10000), 3);
  EXPECT_EQ(GetByteLengthFormAddr(0xFFFFFF), 3);
  EXPECT_EQ(GetByteLengthFormAddr(0x1000000), 4);
  EXPECT_EQ(GetByteLengthFormAddr(0xFFFFFFFF), 4);
}

TEST_F(VirtualCameraTest, SensorCallsWithoutAnOpenCameraSendNothing) {
  std::uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3000, 2, data, 1, 0), 0);
  EXPECT_EQ(SonixCam_SensorRegisterCustomRead(kSensor, 0x3000, 2, data, 1, 0), 0);
  EXPECT_EQ(SonixCam_SensorRegisterWrite(kSensor, 0x3000, data, 4), 0);
  EXPECT_EQ(SonixCam_SensorRegisterRead(kSensor, 0x3000, data, 4), 0);
  EXPECT_EQ(camera().transfer_count(), 0u);
  EXPECT_EQ(data[0], 1);
}

TEST_F(SensorRegisterTest, WriteOfOneByteAtSixteenBitAddressProgramsTheMasterExactly) {
  camera().poke_register(kDev, 0x01);  // the configuration bit the library must keep
  std::uint8_t value = 0x5A;
  ASSERT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3012, 2, &value, 1, 0), 1);

  EXPECT_EQ(written(kMode), (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(written(kSclOd), (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(written(kDev), (std::vector<std::uint8_t>{0xB1}));  // 3 bytes, start, kept bit 0
  EXPECT_EQ(written(kSlave), (std::vector<std::uint8_t>{kSensor}));
  const std::uint8_t expected_array[5] = {0x30, 0x12, 0x5A, 0x00, 0x00};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(written(kData + i), (std::vector<std::uint8_t>{expected_array[i]})) << i;
  EXPECT_EQ(written(kTrg), (std::vector<std::uint8_t>{0x10}));
  EXPECT_EQ(camera().sensor_register(kSensor, 0x3012), 0x5A);

  // Without the configuration bit the same write uses 0xB0.
  camera().poke_register(kDev, 0x00);
  camera().clear_logs();
  ASSERT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3013, 2, &value, 1, 0), 1);
  EXPECT_EQ(written(kDev), (std::vector<std::uint8_t>{0xB0}));
}

TEST_F(SensorRegisterTest, ModeFlagSetsBothModeBitsAfterTheBaseValue) {
  std::uint8_t value = 7;
  ASSERT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x0100, 2, &value, 1, 1), 1);
  // 1 first, then what was read back OR 3.
  EXPECT_EQ(written(kMode), (std::vector<std::uint8_t>{1, 3}));
  EXPECT_EQ(camera().sensor_register(kSensor, 0x0100), 7);
}

TEST_F(TwoByteSensorTest, TwoByteReadSendsAddressPhaseThenReadWithKeptBit) {
  camera().poke_register(kDev, 0x01);
  std::uint8_t data[2] = {0, 0};
  ASSERT_EQ(SonixCam_SensorRegisterCustomRead(0x36, 0x300A, 2, data, 2, 0), 1);
  EXPECT_EQ(written(kDev), (std::vector<std::uint8_t>{0xA1, 0xA3}));
  EXPECT_EQ(data[0], 0x56);
  EXPECT_EQ(data[1], 0x47);

  // Address phase: the address then zeros; read phase: five zeros.
  const std::uint8_t phase1[5] = {0x30, 0x0A, 0, 0, 0};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(written(kData + i), (std::vector<std::uint8_t>{phase1[i], 0})) << i;
  const auto i2c = camera().i2c_log();
  ASSERT_EQ(i2c.size(), 2u);
  EXPECT_FALSE(i2c[0].read);
  EXPECT_EQ(i2c[0].bytes, (std::vector<std::uint8_t>{0x30, 0x0A}));
  EXPECT_TRUE(i2c[1].read);
  EXPECT_EQ(i2c[1].bytes, (std::vector<std::uint8_t>{0x56, 0x47}));
}

TEST_F(TwoByteSensorTest, ValuesAndAddressesOfEachWidthRoundTrip) {
  std::uint8_t wide[2] = {0xBE, 0xEF};
  ASSERT_EQ(SonixCam_SensorRegisterCustomWrite(0x36, 0x4000, 2, wide, 2, 0), 1);
  EXPECT_EQ(camera().sensor_register(0x36, 0x4000), 0xBEEF);
  EXPECT_EQ(written(kDev).back(), 0xC0);  // 4 bytes
  std::uint8_t back[2] = {0, 0};
  ASSERT_EQ(SonixCam_SensorRegisterCustomRead(0x36, 0x4000, 2, back, 2, 0), 1);
  EXPECT_EQ(back[0], 0xBE);
  EXPECT_EQ(back[1], 0xEF);

  // 8-bit register address, 8-bit value: 2 bytes on the bus.
  camera().clear_logs();
  std::uint8_t narrow = 0x99;
  ASSERT_EQ(SonixCam_SensorRegisterCustomWrite(0x42, 0x7F, 1, &narrow, 1, 0), 1);
  EXPECT_EQ(written(kDev), (std::vector<std::uint8_t>{0xA0}));
  EXPECT_EQ(camera().sensor_register(0x42, 0x7F), 0x99);
  std::uint8_t one = 0;
  ASSERT_EQ(SonixCam_SensorRegisterCustomRead(0x42, 0x7F, 1, &one, 1, 0), 1);
  EXPECT_EQ(one, 0x99);

  // Lengths above 2 are taken as 2 (never a 5- or 6-byte transaction).
  std::uint8_t clamp[2] = {0x12, 0x34};
  ASSERT_EQ(SonixCam_SensorRegisterCustomWrite(0x36, 0x4001, 3, clamp, 3, 0), 1);
  EXPECT_EQ(camera().sensor_register(0x36, 0x4001), 0x1234);
}

// A read without register-address bytes is a current-address read: no
// address phase, the data of the register after the last one accessed.
// Writes keep refusing it (the address byte would go out as data).
TEST_F(TwoByteSensorTest, ReadWithoutAddressBytesContinuesAtTheCurrentRegister) {
  struct Case {
    std::uint8_t sensor;
    std::uint16_t first;  // register read with its address, so the next read continues after it
    int address_length;
    int data_length;
    std::uint16_t next_value;
  };
  camera().set_sensor_register(0x42, 0x10, 0x21);
  camera().set_sensor_register(0x42, 0x11, 0x7E);
  camera().set_sensor_register(0x36, 0x300B, 0xA1B2);
  for (const Case& c : {Case{0x42, 0x10, 1, 1, 0x7E}, Case{0x36, 0x300A, 2, 2, 0xA1B2}}) {
    SCOPED_TRACE(::testing::Message() << "sensor 0x" << std::hex << int(c.sensor));
    std::uint8_t data[2] = {0, 0};
    ASSERT_EQ(SonixCam_SensorRegisterCustomRead(c.sensor, c.first, static_cast<std::uint16_t>(c.address_length), data,
                                                static_cast<std::uint16_t>(c.data_length), 0),
              1);
    camera().clear_logs();
    data[0] = data[1] = 0xEE;
    ASSERT_EQ(
        SonixCam_SensorRegisterCustomRead(c.sensor, 0x7777, 0, data, static_cast<std::uint16_t>(c.data_length), 0), 1);
    const std::uint16_t got = c.data_length == 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : data[0];
    EXPECT_EQ(got, c.next_value);
    const auto i2c = camera().i2c_log();
    ASSERT_EQ(i2c.size(), 1u);  // the read alone
    EXPECT_TRUE(i2c[0].read);
    EXPECT_EQ(written(kDev), (std::vector<std::uint8_t>{static_cast<std::uint8_t>(c.data_length << 4 | 0x82)}));
  }
  std::uint8_t value = 0x55;
  camera().clear_logs();
  EXPECT_EQ(SonixCam_SensorRegisterCustomWrite(0x42, 0x10, 0, &value, 1, 0), 0);
  EXPECT_TRUE(camera().i2c_log().empty());
  EXPECT_EQ(camera().sensor_register(0x42, 0x10), 0x21);
}

TEST_F(SensorRegisterTest, RefusedArgumentsSendNothing) {
  std::uint8_t data[2] = {0xAA, 0xBB};
  EXPECT_EQ(SonixCam_SensorRegisterCustomRead(kSensor, 0x3000, 2, data, 0, 0), 0);  // no data
  EXPECT_EQ(SonixCam_SensorRegisterCustomRead(kSensor, 0x3000, 2, nullptr, 1, 0), 0);
  EXPECT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3000, 2, nullptr, 1, 0), 0);
  // No address bytes: the data array would carry the address byte as data.
  EXPECT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3000, 0, data, 1, 0), 0);
  EXPECT_EQ(SonixCam_SensorRegisterRead(kSensor, 0x3000, nullptr, 1), 0);
  EXPECT_EQ(SonixCam_SensorRegisterRead(kSensor, 0x3000, data, 0), 0);
  EXPECT_EQ(SonixCam_SensorRegisterWrite(kSensor, 0x3000, data, -1), 0);
  EXPECT_EQ(SonixCam_SensorRegisterWrite(kSensor, 0xFFFF, data, 2), 0);  // past the register space
  EXPECT_TRUE(camera().transfer_log().empty());
  EXPECT_EQ(data[0], 0xAA);
  EXPECT_EQ(data[1], 0xBB);
}

TEST_F(SensorRegisterTest, MissingSensorFailsBothDirectionsAndLeavesTheBuffer) {
  std::uint8_t data[2] = {0x11, 0x22};
  EXPECT_EQ(SonixCam_SensorRegisterCustomWrite(0x50, 0x3000, 2, data, 1, 0), 0);
  EXPECT_EQ(SonixCam_SensorRegisterCustomRead(0x50, 0x3000, 2, data, 2, 0), 0);
  EXPECT_EQ(data[0], 0x11);
  EXPECT_EQ(data[1], 0x22);
  const auto i2c = camera().i2c_log();
  ASSERT_FALSE(i2c.empty());
  for (const auto& t : i2c) EXPECT_FALSE(t.acknowledged);
  // The read stopped after its failed address phase: one transaction each.
  EXPECT_EQ(i2c.size(), 2u);
}

TEST_F(StuckBusTest, NeverFinishingTransactionFailsAfterTenPolls) {
  std::uint8_t data = 0x33;
  EXPECT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3000, 2, &data, 1, 0), 0);
  EXPECT_EQ(polls_after_last_trigger(), 10);
  camera().clear_logs();
  EXPECT_EQ(SonixCam_SensorRegisterCustomRead(kSensor, 0x3000, 2, &data, 1, 0), 0);
  EXPECT_EQ(polls_after_last_trigger(), 10);
  EXPECT_EQ(written(kTrg).size(), 1u);  // the address phase never finished
  EXPECT_EQ(data, 0x33);
}

TEST_F(SlowBusTest, PollingStopsOnceTheTransactionHasFinished) {
  std::uint8_t data = 0x44;
  ASSERT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3000, 2, &data, 1, 0), 1);
  EXPECT_EQ(polls_after_last_trigger(), 5);  // 4 busy reads, then the finished one
  std::uint8_t back = 0;
  ASSERT_EQ(SonixCam_SensorRegisterCustomRead(kSensor, 0x3000, 2, &back, 1, 0), 1);
  EXPECT_EQ(back, 0x44);
}

TEST_F(SensorRegisterTest, FailedTransferEndsTheTransactionWithFailure) {
  // Fail the third register read: the device-control read before the read phase.
  int seen = 0;
  camera().fail_transfers_matching(
      [&seen](const morvane::emulator::TransferRequest& r) {
        return r.request_type == 0xA1 && r.value == 0x0100 && ++seen == 3;
      },
      LIBUSB_ERROR_IO, 1);
  std::uint8_t data = 0x55;
  EXPECT_EQ(SonixCam_SensorRegisterCustomRead(kSensor, 0x3000, 2, &data, 1, 0), 0);
  EXPECT_EQ(data, 0x55);
  // The next call works again.
  camera().clear_faults();
  EXPECT_EQ(SonixCam_SensorRegisterCustomWrite(kSensor, 0x3000, 2, &data, 1, 0), 1);
}

TEST_F(SensorRegisterTest, RegisterRangeReadAndWriteMoveConsecutiveRegisters) {
  const std::uint8_t values[6] = {1, 2, 3, 0xFD, 0xFE, 0xFF};
  std::uint8_t out[6];
  std::copy(values, values + 6, out);
  ASSERT_EQ(SonixCam_SensorRegisterWrite(kSensor, 0x30FE, out, 6), 1);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(camera().sensor_register(kSensor, 0x30FE + i), values[i]) << i;
  // Each register is a 16-bit-address, 8-bit-value transaction (0xB0).
  for (auto dev : written(kDev)) EXPECT_EQ(dev & 0xFE, 0xB0);

  camera().set_sensor_register(kSensor, 0x3101, 0x77);
  std::uint8_t in[6] = {};
  ASSERT_EQ(SonixCam_SensorRegisterRead(kSensor, 0x30FE, in, 6), 1);
  EXPECT_EQ(in[0], 1);
  EXPECT_EQ(in[3], 0x77);
  EXPECT_EQ(in[5], 0xFF);
  // The last register of the space is reachable.
  std::uint8_t last = 0x5C;
  EXPECT_EQ(SonixCam_SensorRegisterWrite(kSensor, 0xFFFF, &last, 1), 1);
  EXPECT_EQ(camera().sensor_register(kSensor, 0xFFFF), 0x5C);
}

TEST_F(SensorRegisterTest, RegisterRangeStopsAtTheFirstFailure) {
  std::uint8_t in[4] = {9, 9, 9, 9};
  EXPECT_EQ(SonixCam_SensorRegisterRead(0x51, 0x0000, in, 4), 0);  // nobody answers
  EXPECT_EQ(camera().i2c_log().size(), 1u);
  EXPECT_EQ(in[0], 9);
}

}  // namespace
