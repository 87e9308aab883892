// Conversion of raw IMU samples: arithmetic, zero scales, validation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "morvane/uvc_stereo/imu.hpp"

namespace morvane::uvc_stereo {
namespace {

ReadImuResult raw_sample(std::int16_t temperature, std::int16_t ax, std::int16_t ay, std::int16_t az, std::int16_t gx,
                         std::int16_t gy, std::int16_t gz) {
  ReadImuResult raw;
  raw.timestamp_ns = 123456789012345ull;
  raw.sensor_timestamp = 0xFFFFF;
  raw.temperature_raw = temperature;
  raw.accel_raw[0] = ax;
  raw.accel_raw[1] = ay;
  raw.accel_raw[2] = az;
  raw.gyro_raw[0] = gx;
  raw.gyro_raw[1] = gy;
  raw.gyro_raw[2] = gz;
  return raw;
}

TEST(ConvertImuTest, DefaultScalesGiveExactValues) {
  // All expected values are exactly representable, so exact comparison is right.
  const struct {
    std::int16_t raw;
    double celsius;
  } temperatures[] = {{0, 25.0}, {-3200, 0.0}, {128, 26.0}, {-32768, -231.0}, {64, 25.5}};
  for (const auto& t : temperatures) {
    const auto r = convert_imu(raw_sample(t.raw, 0, 0, 0, 0, 0, 0), ImuConversionOptions{});
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r->temperature_c, t.celsius) << t.raw;
  }

  const auto r = convert_imu(raw_sample(0, 2048, 32767, -32768, 164, -164, 0), ImuConversionOptions{});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(r->accel_g[0], 1.0);
  EXPECT_EQ(r->accel_g[1], 15.99951171875);
  EXPECT_EQ(r->accel_g[2], -16.0);
  EXPECT_DOUBLE_EQ(r->gyro_dps[0], 10.0);
  EXPECT_DOUBLE_EQ(r->gyro_dps[1], -10.0);
  EXPECT_EQ(r->gyro_dps[2], 0.0);
}

TEST(ConvertImuTest, AxesAreKeptApartAndInOrder) {
  const auto r = convert_imu(raw_sample(0, 1, 2, 3, 4, 5, 6), ImuConversionOptions{1.0, 1.0, 1.0, 1.0});
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(r->accel_g[0], 1.0);
  EXPECT_EQ(r->accel_g[1], 2.0);
  EXPECT_EQ(r->accel_g[2], 3.0);
  EXPECT_EQ(r->gyro_dps[0], 4.0);
  EXPECT_EQ(r->gyro_dps[1], 5.0);
  EXPECT_EQ(r->gyro_dps[2], 6.0);
}

TEST(ConvertImuTest, TemperatureIsDividedThenOffsetOnce) {
  ImuConversionOptions options;
  options.temperature_offset_c = 25.3;
  options.temperature_lsb_per_c = 3.0;
  const auto r = convert_imu(raw_sample(1, 0, 0, 0, 0, 0, 0), options);
  ASSERT_TRUE(r.ok()) << r.message;
  // Bit-for-bit the documented formula (other groupings round differently).
  const double expected = 1.0 / 3.0 + 25.3;
  EXPECT_EQ(r->temperature_c, expected);
  EXPECT_NE(r->temperature_c, (1.0 + 25.3 * 3.0) / 3.0);

  options.temperature_lsb_per_c = -128.0;  // a negative scale flips the sign
  options.temperature_offset_c = 25.0;
  const auto flipped = convert_imu(raw_sample(256, 0, 0, 0, 0, 0, 0), options);
  ASSERT_TRUE(flipped.ok()) << flipped.message;
  EXPECT_EQ(flipped->temperature_c, 23.0);
}

TEST(ConvertImuTest, ZeroAccelOrGyroScaleZeroesOnlyThatSensor) {
  ImuConversionOptions options;
  options.accel_lsb_per_g = 0.0;
  const auto no_accel = convert_imu(raw_sample(128, 100, -100, 7, 164, 328, -164), options);
  ASSERT_TRUE(no_accel.ok()) << no_accel.message;
  for (double a : no_accel->accel_g) EXPECT_EQ(a, 0.0);
  EXPECT_FALSE(std::signbit(no_accel->accel_g[1]));  // 0.0, not -inf or -0.0
  EXPECT_DOUBLE_EQ(no_accel->gyro_dps[0], 10.0);
  EXPECT_DOUBLE_EQ(no_accel->gyro_dps[1], 20.0);
  EXPECT_DOUBLE_EQ(no_accel->gyro_dps[2], -10.0);
  EXPECT_EQ(no_accel->temperature_c, 26.0);

  options = ImuConversionOptions{};
  options.gyro_lsb_per_dps = -0.0;
  const auto no_gyro = convert_imu(raw_sample(0, 2048, 0, 0, 5, -5, 32767), options);
  ASSERT_TRUE(no_gyro.ok()) << no_gyro.message;
  for (double g : no_gyro->gyro_dps) EXPECT_EQ(g, 0.0);
  EXPECT_EQ(no_gyro->accel_g[0], 1.0);
}

TEST(ConvertImuTest, ZeroTemperatureScaleIsRefused) {
  for (double zero : {0.0, -0.0}) {
    ImuConversionOptions options;  // the other factors are valid
    options.temperature_lsb_per_c = zero;
    const auto r = convert_imu(raw_sample(1, 1, 1, 1, 1, 1, 1), options);
    EXPECT_EQ(r.code, ErrorCode::invalid_argument);
    EXPECT_EQ(r.message, "temperature_lsb_per_c must not be zero");
    EXPECT_FALSE(r.value.has_value());
  }
}

TEST(ConvertImuTest, NonFiniteFactorsAreUsedUnchanged) {
  ImuConversionOptions options;
  options.temperature_lsb_per_c = std::numeric_limits<double>::quiet_NaN();
  options.accel_lsb_per_g = std::numeric_limits<double>::infinity();
  const auto r = convert_imu(raw_sample(10, 100, 0, 0, 0, 0, 0), options);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_TRUE(std::isnan(r->temperature_c));
  EXPECT_EQ(r->accel_g[0], 0.0);
}

TEST(ConvertImuTest, TimestampPassesThroughBitForBit) {
  for (std::uint64_t ts : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0x8000000000000001ull},
                           std::numeric_limits<std::uint64_t>::max()}) {
    ReadImuResult raw = raw_sample(0, 0, 0, 0, 0, 0, 0);
    raw.timestamp_ns = ts;
    const auto r = convert_imu(raw, ImuConversionOptions{});
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(r->timestamp_ns, ts);
  }
}

}  // namespace
}  // namespace morvane::uvc_stereo
