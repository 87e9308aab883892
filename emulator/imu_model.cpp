#include "emulator/imu_model.hpp"

#include <algorithm>
#include <cmath>

namespace morvane::emulator {
namespace {
constexpr std::uint32_t kCounterMask = 0xFFFFF;
constexpr double kPi = 3.14159265358979323846;
// Gyroscope sensitivity in its +-2000 degrees per second range.
constexpr double kGyroCountsPerDps = 16.4;

std::int16_t saturate(long v) { return static_cast<std::int16_t>(std::clamp<long>(v, -32768, 32767)); }

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}
}  // namespace

std::pair<std::uint64_t, std::uint64_t> read_latency_legs(const ImuReadLatency& latency, std::uint64_t draw) {
  if (latency.max_ns == 0) return {0, 0};
  const std::uint64_t a = mix(mix(latency.seed) ^ (2 * draw));
  const std::uint64_t b = mix(mix(latency.seed) ^ (2 * draw + 1));
  const double u = static_cast<double>(a >> 11) * 0x1.0p-53;  // uniform in [0, 1)
  const double split = 0.25 + 0.5 * static_cast<double>(b >> 11) * 0x1.0p-53;
  const double span = static_cast<double>(latency.max_ns - latency.min_ns);
  const auto total = latency.min_ns + static_cast<std::uint64_t>(span * std::pow(u, latency.tail_exponent));
  const auto before = static_cast<std::uint64_t>(static_cast<double>(total) * split);
  return {before, total - before};
}

ImuModel::ImuModel(const ImuConfig& config, VirtualClock& clock)
    : config_(config),
      clock_(clock),
      counter_(config.counter_start & kCounterMask),
      noise_(config.noise_seed),
      power_on_ns_(clock.now_ns()),
      ticks_per_ns_(static_cast<long double>(config.tick_rate_hz) * (1.0L + config.drift_ppm * 1e-6L) / 1e9L),
      period_ticks_(static_cast<long double>(config.tick_rate_hz) / config.rate_hz) {
  if (config_.queue_depth == 0) config_.queue_depth = 1;
  scripted_ = !config_.script.empty();
  late_used_.assign(config_.script.late_replies.size(), false);
}

double ImuModel::seconds_since_power_on() const { return static_cast<double>(clock_.now_ns() - power_on_ns_) / 1e9; }

long double ImuModel::continuous_ticks(long double s) const {
  const ImuScript& sc = config_.script;
  const long double rate = config_.tick_rate_hz;
  long double v = s * (1.0L + config_.drift_ppm * 1e-6L) + sc.ramp_ppm_per_s * 1e-6L * s * s / 2;
  if (sc.sine_ppm != 0.0) {
    const long double w = 2 * kPi / sc.sine_period_s;
    v += sc.sine_ppm * 1e-6L * (1 - std::cos(w * s)) / w;
  }
  return rate * v;
}

std::uint64_t ImuModel::host_ns_at_ticks(long double ticks) const {
  const ImuScript& sc = config_.script;
  long double offset = 0;
  for (const ImuScript::Step& step : sc.steps) {
    const long double before = continuous_ticks(step.at_s) + offset;
    if (ticks <= before) break;
    // Reached during the jump: the host saw no time pass.
    if (ticks <= before + static_cast<long double>(step.ticks))
      return power_on_ns_ + static_cast<std::uint64_t>(std::ceil(step.at_s * 1e9L));
    offset += static_cast<long double>(step.ticks);
  }
  // Newton on the continuous clock (strictly increasing: drift stays far
  // above -100%).
  const long double target = ticks - offset;
  const long double rate = config_.tick_rate_hz;
  long double s = target / (rate * (1.0L + config_.drift_ppm * 1e-6L));
  for (int i = 0; i < 8; ++i) {
    long double drift = config_.drift_ppm + sc.ramp_ppm_per_s * s;
    if (sc.sine_ppm != 0.0) drift += sc.sine_ppm * std::sin(2 * kPi * s / sc.sine_period_s);
    const long double step = (continuous_ticks(s) - target) / (rate * (1.0L + drift * 1e-6L));
    s -= step;
    if (std::fabs(step) < 1e-12L) break;
  }
  if (s < 0) s = 0;
  return power_on_ns_ + static_cast<std::uint64_t>(std::floor(s * 1e9L));
}

std::pair<std::uint64_t, std::uint64_t> ImuModel::read_latency(std::uint64_t draw) {
  ImuReadLatency latency = config_.read_latency;
  reply_new_ = false;
  if (scripted_) {
    const double now = seconds_since_power_on();
    for (const ImuScript::SlowReads& slow : config_.script.slow_reads)
      if (now >= slow.from_s && now < slow.until_s) {
        latency.min_ns = slow.min_ns;
        latency.max_ns = slow.max_ns;
      }
  }
  return read_latency_legs(latency, draw);
}

std::uint64_t ImuModel::late_delivery() {
  if (!reply_new_) return 0;
  const double now = seconds_since_power_on();
  std::uint64_t late = 0;
  for (std::size_t i = 0; i < late_used_.size(); ++i)
    if (!late_used_[i] && now >= config_.script.late_replies[i].at_s) {
      late_used_[i] = true;
      late += config_.script.late_replies[i].late_ns;
    }
  return late;
}

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

ImuSample ImuModel::make_clocked(std::uint64_t index) const {
  const ImuSampleTruth t = truth(index);
  ImuSample s;
  s.temperature = config_.temperature_raw;
  long accel[3] = {0, 0, config_.gravity_raw};
  long gyro[3] = {0, 0, 0};
  if (config_.motion == ImuMotion::rotating) {
    // About the x axis at the rate the gyroscope reports: gravity turns in
    // the y-z plane as time goes on.
    const double seconds = static_cast<double>(t.taken_ns - power_on_ns_) / 1e9;
    const double angle = config_.rotation_rate_raw / kGyroCountsPerDps * seconds * kPi / 180.0;
    accel[1] = std::lround(config_.gravity_raw * std::sin(angle));
    accel[2] = std::lround(config_.gravity_raw * std::cos(angle));
    gyro[0] = config_.rotation_rate_raw;
  }
  if (config_.noise_amplitude > 0) {
    // Noise as a function of the sample, so skipped samples change nothing.
    const std::uint64_t span = 2 * static_cast<std::uint64_t>(config_.noise_amplitude) + 1;
    for (int axis = 0; axis < 6; ++axis) {
      const std::uint64_t r = mix(mix(config_.noise_seed) ^ (index * 8 + static_cast<std::uint64_t>(axis)));
      const long n = static_cast<long>(r % span) - config_.noise_amplitude;
      (axis < 3 ? accel[axis] : gyro[axis - 3]) += n;
    }
  }
  for (int i = 0; i < 3; ++i) {
    s.accel[i] = saturate(accel[i]);
    s.gyro[i] = saturate(gyro[i]);
  }
  s.counter = t.counter;
  return s;
}

std::uint64_t ImuModel::device_ticks_at(std::uint64_t host_ns) const {
  const std::uint64_t start = config_.counter_start & kCounterMask;
  if (host_ns <= power_on_ns_) return start;
  long double ticks = static_cast<long double>(host_ns - power_on_ns_) * ticks_per_ns_;
  if (scripted_) {
    const long double s = static_cast<long double>(host_ns - power_on_ns_) / 1e9L;
    ticks = continuous_ticks(s);
    for (const ImuScript::Step& step : config_.script.steps)
      if (step.at_s <= s) ticks += static_cast<long double>(step.ticks);
  }
  return start + static_cast<std::uint64_t>(std::floor(ticks));
}

ImuSampleTruth ImuModel::truth(std::uint64_t index) const {
  ImuSampleTruth t;
  t.index = index;
  const long double ticks = static_cast<long double>(index + 1) * period_ticks_;
  t.device_ticks = (config_.counter_start & kCounterMask) + static_cast<std::uint64_t>(std::floor(ticks));
  t.counter = static_cast<std::uint32_t>(t.device_ticks & kCounterMask);
  t.taken_ns = scripted_ ? host_ns_at_ticks(ticks)
                         : power_on_ns_ + static_cast<std::uint64_t>(std::floor(ticks / ticks_per_ns_));
  t.dropped = dropped(index, t.taken_ns);
  return t;
}

bool ImuModel::dropped(std::uint64_t index, std::uint64_t taken_ns) const {
  for (const ImuScript::Gap& gap : config_.script.gaps) {
    const double at = static_cast<double>(taken_ns - power_on_ns_) / 1e9;
    if (at >= gap.at_s && at < gap.at_s + gap.seconds) return true;
  }
  for (const auto& [first, end] : drops_)
    if (index >= first && index < end) return true;
  if (config_.drop_one_in > 0) return mix(mix(config_.noise_seed + 1) ^ index) % config_.drop_one_in == 0;
  return false;
}

bool ImuModel::latest_taken(std::uint64_t now_ns, std::uint64_t& index) const {
  if (now_ns < power_on_ns_) return false;
  long double ticks_now = static_cast<long double>(now_ns - power_on_ns_) * ticks_per_ns_;
  if (scripted_) {
    const long double s = static_cast<long double>(now_ns - power_on_ns_) / 1e9L;
    ticks_now = continuous_ticks(s);
    for (const ImuScript::Step& step : config_.script.steps)
      if (step.at_s <= s) ticks_now += static_cast<long double>(step.ticks);
  }
  const long double periods = ticks_now / period_ticks_;
  std::int64_t k = static_cast<std::int64_t>(std::floor(periods)) - 1;
  // The estimate is off by at most one either way; settle it on truth().
  while (truth(static_cast<std::uint64_t>(k + 1)).taken_ns <= now_ns) ++k;
  while (k >= 0 && truth(static_cast<std::uint64_t>(k)).taken_ns > now_ns) --k;
  if (k < 0) return false;
  index = static_cast<std::uint64_t>(k);
  return true;
}

bool ImuModel::select(std::uint64_t now_ns, std::uint64_t& index, std::uint64_t& next_unread) const {
  next_unread = next_unread_;
  std::uint64_t newest = 0;
  const bool any = latest_taken(now_ns, newest);
  if (any && config_.read_mode == ImuReadMode::queue) {
    // The queue keeps the newest queue_depth samples; older unread ones are lost.
    const std::uint64_t oldest_kept = newest + 1 > config_.queue_depth ? newest + 1 - config_.queue_depth : 0;
    std::uint64_t n = std::max(next_unread_, oldest_kept);
    while (n <= newest && truth(n).dropped) ++n;
    if (n <= newest) {
      index = n;
      next_unread = n + 1;
      return true;
    }
  } else if (any) {
    std::uint64_t k = newest;
    while (truth(k).dropped && k > 0 && (!last_index_ || k > *last_index_)) --k;
    if (!truth(k).dropped) {
      index = k;
      return true;
    }
  }
  if (!last_index_) return false;
  index = *last_index_;  // nothing new: the last sample again
  return true;
}

ImuSample ImuModel::peek() const {
  if (config_.timing == ImuTiming::clocked) {
    std::uint64_t index = 0, next_unread = 0;
    if (!select(clock_.now_ns(), index, next_unread)) {
      ImuSample none;
      none.temperature = config_.temperature_raw;
      none.counter = config_.counter_start & kCounterMask;
      return none;
    }
    return make_clocked(index);
  }
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
  if (config_.timing == ImuTiming::clocked) {
    std::uint64_t index = 0, next_unread = 0;
    ++served_;
    if (!select(clock_.now_ns(), index, next_unread)) {
      // Before the first sample the IMU's output registers hold no motion.
      ImuSample none;
      none.temperature = config_.temperature_raw;
      none.counter = config_.counter_start & kCounterMask;
      return encode_imu_sample(none);
    }
    next_unread_ = next_unread;
    reply_new_ = !last_index_ || *last_index_ != index;
    last_index_ = index;
    return encode_imu_sample(make_clocked(index));
  }
  const ImuSample sample = make(served_, &noise_);
  ++served_;
  counter_ = (counter_ + config_.counter_step) & kCounterMask;
  return encode_imu_sample(sample);
}

std::optional<ImuSampleTruth> ImuModel::last_reply_truth() const {
  if (!last_index_) return std::nullopt;
  return truth(*last_index_);
}

void ImuModel::drop_next(std::uint64_t count) {
  if (count == 0) return;
  std::uint64_t newest = 0;
  const std::uint64_t first = latest_taken(clock_.now_ns(), newest) ? newest + 1 : 0;
  drops_.emplace_back(first, first + count);
}

}  // namespace morvane::emulator
