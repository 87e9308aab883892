// Converts arbitrary raw samples with arbitrary scale factors through the C
// function and checks every field against the documented arithmetic.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "morvane/uvc_stereo.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// Equal values, or both NaN.
void check_same(double actual, double expected) {
  check(actual == expected || (std::isnan(actual) && std::isnan(expected)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kRaw = sizeof(morvane_uvc_stereo_read_imu_result_t);
  constexpr std::size_t kOptions = sizeof(morvane_uvc_stereo_imu_conversion_options_t);
  if (size < kRaw) return 0;

  auto* raw = static_cast<morvane_uvc_stereo_read_imu_result_t*>(std::malloc(kRaw));
  std::memcpy(raw, data, kRaw);
  morvane_uvc_stereo_imu_conversion_options_t* options = nullptr;
  morvane_uvc_stereo_imu_conversion_options_t used;
  morvane_uvc_stereo_imu_conversion_options_init_default(&used);
  if (size >= kRaw + kOptions) {
    options = static_cast<morvane_uvc_stereo_imu_conversion_options_t*>(std::malloc(kOptions));
    std::memcpy(options, data + kRaw, kOptions);
    used = *options;
  }
  auto* out = static_cast<morvane_uvc_stereo_imu_sample_t*>(std::malloc(sizeof(morvane_uvc_stereo_imu_sample_t)));

  const int rc = morvane_uvc_stereo_convert_imu(raw, options, out);
  const char* message = nullptr;
  std::size_t length = 0;
  check(morvane_uvc_stereo_last_error_message(&message, &length) == 0);
  if (used.temperature_lsb_per_c == 0.0) {
    check(rc == 1);
    check(std::strcmp(message, "temperature_lsb_per_c must not be zero") == 0);
    check(out->timestamp_ns == 0 && out->temperature_c == 0.0 && out->gyro_dps[2] == 0.0);
  } else {
    check(rc == 0 && length == 0);
    check(out->timestamp_ns == raw->timestamp_ns);
    check_same(out->temperature_c,
               static_cast<double>(raw->temperature_raw) / used.temperature_lsb_per_c + used.temperature_offset_c);
    for (int i = 0; i < 3; ++i) {
      check_same(out->accel_g[i],
                 used.accel_lsb_per_g == 0.0 ? 0.0 : static_cast<double>(raw->accel_raw[i]) / used.accel_lsb_per_g);
      check_same(out->gyro_dps[i],
                 used.gyro_lsb_per_dps == 0.0 ? 0.0 : static_cast<double>(raw->gyro_raw[i]) / used.gyro_lsb_per_dps);
    }
  }
  std::free(out);
  std::free(options);
  std::free(raw);
  return 0;
}
