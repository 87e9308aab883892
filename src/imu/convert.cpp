// Conversion of raw IMU samples into physical units.
#include "morvane/uvc_stereo/imu.hpp"

#include <new>

namespace morvane::uvc_stereo {

Result<ImuSample> convert_imu(const ReadImuResult& raw, const ImuConversionOptions& options) noexcept {
  // == 0.0 holds for both +0.0 and -0.0; NaN and infinities are used as given.
  if (options.temperature_lsb_per_c == 0.0) {
    try {
      return Result<ImuSample>::failure(ErrorCode::invalid_argument, "temperature_lsb_per_c must not be zero");
    } catch (const std::bad_alloc&) {
      // "out of memory" fits the string's inline buffer, so this failure cannot throw.
      return Result<ImuSample>::failure(ErrorCode::internal_error, "out of memory");
    }
  }

  ImuSample sample;
  sample.timestamp_ns = raw.timestamp_ns;
  // Division first, then one addition, so the rounding matches the documented formula.
  sample.temperature_c = static_cast<double>(raw.temperature_raw) / options.temperature_lsb_per_c;
  sample.temperature_c += options.temperature_offset_c;

  // A zero accelerometer or gyroscope scale means "not calibrated": the axis reads 0.
  for (int i = 0; i < 3; ++i) {
    sample.accel_g[i] =
        options.accel_lsb_per_g == 0.0 ? 0.0 : static_cast<double>(raw.accel_raw[i]) / options.accel_lsb_per_g;
    sample.gyro_dps[i] =
        options.gyro_lsb_per_dps == 0.0 ? 0.0 : static_cast<double>(raw.gyro_raw[i]) / options.gyro_lsb_per_dps;
  }
  return Result<ImuSample>::success(sample);
}

}  // namespace morvane::uvc_stereo
