#include "emulator/imu_model.hpp"

#include <algorithm>
#include <cmath>

namespace morvane::emulator {
namespace {
constexpr std::uint32_t kCounterMask = 0xFFFFF;
constexpr double kPi = 3.14159265358979323846;

std::int16_t saturate(long v) { return static_cast<std::int16_t>(std::clamp<long>(v, -32768, 32767)); }
}  // namespace

ImuModel::ImuModel(const ImuConfig& config)
    : config_(config), counter_(config.counter_start & kCounterMask), noise_(config.noise_seed) {}

void ImuModel::fail_next(int count, ImuStatus status) {
  fail_count_ = count < 0 ? 0 : count;
  fail_status_ = status;
}

ImuSample ImuModel::make(std::uint64_t index, std::mt19937* noise) const {
  ImuSample s;
  s.temperature = config_.temperature_raw;
  long accel[3] = {0, 0, config_.gravity_raw};
  long gyro[3] = {0, 0, 0};
  if (config_.motion == ImuMotion::rotating) {
    // About the x axis, one degree per sample: gravity turns in the y-z plane.
    const double angle = static_cast<double>(index % 360) * kPi / 180.0;
    accel[1] = std::lround(config_.gravity_raw * std::sin(angle));
    accel[2] = std::lround(config_.gravity_raw * std::cos(angle));
    gyro[0] = config_.rotation_rate_raw;
  }
  if (noise != nullptr && config_.noise_amplitude > 0) {
    std::uniform_int_distribution<int> dist(-config_.noise_amplitude, config_.noise_amplitude);
    for (long& a : accel) a += dist(*noise);
    for (long& g : gyro) g += dist(*noise);
  }
  for (int i = 0; i < 3; ++i) {
    s.accel[i] = saturate(accel[i]);
    s.gyro[i] = saturate(gyro[i]);
  }
  s.counter = counter_;
  return s;
}

ImuSample ImuModel::peek() const {
  std::mt19937 copy = noise_;
  return make(served_, &copy);
}

std::array<std::uint8_t, kImuSampleLength> ImuModel::next_reply() {
  ImuStatus status = status_;
  if (fail_count_ > 0) {
    --fail_count_;
    status = fail_status_;
  }
  if (status != ImuStatus::ok) {
    std::array<std::uint8_t, kImuSampleLength> reply{};
    reply[0] = static_cast<std::uint8_t>(status);
    return reply;
  }
  const ImuSample sample = make(served_, &noise_);
  ++served_;
  counter_ = (counter_ + config_.counter_step) & kCounterMask;
  return encode_imu_sample(sample);
}

}  // namespace morvane::emulator
