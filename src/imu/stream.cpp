// The IMU stream: polls Device::read_imu() on the caller's thread, yields
// each device sample once, unwraps the 20-bit counter and maps device ticks
// to the host's monotonic clock.
//
// The mapping. Every sample gives two bounds on the host instant it was
// taken at: it cannot be later than the arrival of the read that returned it
// (upper bound U), and, when an earlier read still returned an older sample,
// not earlier than the start of that read (lower bound L): the device had
// not taken it yet. Over the recent window, the line of host time against
// device ticks lies below every U and above every L. The slope comes from
// the lower convex hull of the U points (the edge under the middle of the
// window: the linear programme "as high as possible while below every
// arrival"), and the line is then lowered by half its distance to the
// highest L, which centres it in the band when the two sides of a read
// take alike. Points are kept as residuals against the nominal tick period,
// one U and one L per 20 ms of device time, so the hull stays small.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "morvane/uvc_stereo/imu.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr const char* kMsgClosed = "IMU stream is closed or moved-from";
constexpr std::uint32_t kCounterMask = 0xFFFFF;
constexpr double kCounterRange = 1048576.0;
constexpr double kBucketSeconds = 0.02;     // one U and one L point kept per 20 ms of device time
constexpr double kFitSpanSeconds = 0.5;     // the hull's slope is used from this span on
constexpr double kLockSpanSeconds = 2.0;    // ... and called locked from this one
constexpr double kMaxDriftPpm = 2000.0;     // a fitted slope beyond this is not believed
constexpr std::uint64_t kRefitEvery = 16;   // samples between refits once locked
constexpr std::size_t kPeriodHistory = 15;  // counter spacings the period estimate is the median of
// Before the first sample is stamped: until this many samples came right
// after a read that found nothing new, at most this many samples, for at most
// this long.
constexpr std::size_t kPrimeBounded = 8;
constexpr std::size_t kPrimeSamples = 256;
constexpr std::uint64_t kPrimeNs = 250000000;

struct Point {
  double x = 0.0;  // device ticks since the first sample
  double r = 0.0;  // host ns since the first arrival, less x times the nominal period
};

struct Bucket {
  std::int64_t id = 0;
  bool has_u = false, has_l = false;
  Point u, l;
};

// The fitted line in residual space: r(x) = a + slope * (x - x0), lowered by
// gap / 2.
class ClockFit {
 public:
  ClockFit(double ns_per_tick, double window_ticks, double bucket_ticks)
      : ns_per_tick_(ns_per_tick), window_ticks_(window_ticks), bucket_ticks_(bucket_ticks) {}

  void add(double x, double u_ns, bool has_l, double l_ns) {
    const double ru = u_ns - ns_per_tick_ * x;
    const double rl = l_ns - ns_per_tick_ * x;
    const auto id = static_cast<std::int64_t>(std::floor(x / bucket_ticks_));
    if (buckets_.empty() || buckets_.back().id != id) {
      buckets_.push_back(Bucket{id, false, false, {}, {}});
    }
    Bucket& b = buckets_.back();
    // Within a bucket keep the lowest U and the highest L, judged on the
    // current slope.
    if (!b.has_u || ru - slope_ * x < b.u.r - slope_ * b.u.x) b.u = {x, ru}, b.has_u = true;
    if (has_l && (!b.has_l || rl - slope_ * x > b.l.r - slope_ * b.l.x)) b.l = {x, rl}, b.has_l = true;
    while (!buckets_.empty() && buckets_.front().u.x < x - window_ticks_) buckets_.pop_front();
  }

  // Whether a new point contradicts the line (an arrival below it, or a
  // read start above the band), so the fit must be redone now.
  bool contradicts(double x, double u_ns, bool has_l, double l_ns) const {
    if (!fitted_) return true;
    if (u_ns - ns_per_tick_ * x < line(x) - 1e-6) return true;
    return has_l && l_ns - ns_per_tick_ * x > line(x) - gap_ + 1e-6;
  }

  void refit(double ticks_per_second) {
    hull_.clear();
    for (const Bucket& b : buckets_) {
      if (!b.has_u) continue;
      while (hull_.size() >= 2) {
        const Point& p = hull_[hull_.size() - 2];
        const Point& q = hull_.back();
        // Drop q unless it lies strictly below the segment p..b.u.
        const double cross = (q.x - p.x) * (b.u.r - p.r) - (q.r - p.r) * (b.u.x - p.x);
        if (cross > 0) break;
        hull_.pop_back();
      }
      hull_.push_back(b.u);
    }
    if (hull_.empty()) return;
    const double span = hull_.back().x - hull_.front().x;
    bool fitted_slope = false;
    Point anchor = hull_.front();
    if (hull_.size() >= 2 && span >= kFitSpanSeconds * ticks_per_second) {
      const double middle = (hull_.front().x + hull_.back().x) / 2;
      std::size_t i = 0;
      while (i + 2 < hull_.size() && hull_[i + 1].x < middle) ++i;
      const Point& p = hull_[i];
      const Point& q = hull_[i + 1];
      const double fitted = (q.r - p.r) / (q.x - p.x);
      if (std::fabs(fitted) <= kMaxDriftPpm * 1e-6 * ns_per_tick_) {
        slope_ = fitted;
        anchor = p;
        fitted_slope = true;
        if (span >= kLockSpanSeconds * ticks_per_second) locked_ = true;
      }
    }
    // Otherwise the slope from before (at first the nominal one). Either way
    // the line runs through the lowest arrival it can: on or below them all.
    x0_ = anchor.x;
    a_ = anchor.r;
    if (!fitted_slope)
      for (const Point& p : hull_) a_ = std::min(a_, p.r - slope_ * (p.x - x0_));
    double gap = std::numeric_limits<double>::infinity();
    for (const Bucket& b : buckets_)
      if (b.has_l) gap = std::min(gap, line(b.l.x) - b.l.r);
    gap_ = std::isfinite(gap) && gap > 0 ? gap : 0.0;
    fitted_ = true;
  }

  bool fitted() const { return fitted_; }
  bool locked() const { return locked_; }
  double gap() const { return gap_; }
  // Host ns since the first arrival for device ticks x.
  double predict(double x) const { return ns_per_tick_ * x + line(x) - gap_ / 2; }
  double ns_per_tick() const { return ns_per_tick_ + slope_; }

 private:
  double line(double x) const { return a_ + slope_ * (x - x0_); }

  double ns_per_tick_;
  double window_ticks_;
  double bucket_ticks_;
  std::deque<Bucket> buckets_;
  std::vector<Point> hull_;
  double slope_ = 0.0, x0_ = 0.0, a_ = 0.0, gap_ = 0.0;
  bool fitted_ = false, locked_ = false;
};

std::uint64_t clamp_ns(double ns) {
  if (!(ns > 0)) return 0;
  if (ns >= 1.8e19) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(std::llround(ns));
}

void sleep_ns(std::uint64_t ns) {
  if (ns == 0) return;
  platform::sleep_for(static_cast<long>(ns / 1000000000ULL), static_cast<long>(ns % 1000000000ULL));
}

bool option_ok(double value, double low, double high) { return value >= low && value <= high; }

}  // namespace

struct ImuStream::Impl {
  Impl(Device& d, const ImuStreamOptions& o)
      : device(d),
        options(o),
        fit(1e9 / o.nominal_tick_rate_hz, o.estimation_window_s * o.nominal_tick_rate_hz,
            kBucketSeconds * o.nominal_tick_rate_hz) {
    if (o.sample_rate_hz > 0) period_ticks = o.nominal_tick_rate_hz / o.sample_rate_hz;
  }

  Device& device;
  ImuStreamOptions options;
  ClockFit fit;
  ImuStreamStats stats;

  std::optional<Result<ImuStreamSample>> ended;  // the failure that ended the stream
  std::optional<ErrorCode> pending_code;         // a batch's failure, for the next call
  std::string pending_message;

  bool have_last = false;
  std::uint32_t last_raw = 0;
  std::uint64_t last_counter = 0;  // unwrapped
  std::uint64_t first_counter = 0;
  std::uint64_t first_arrival = 0;
  std::uint64_t last_arrival = 0;
  std::uint64_t last_time = 0;
  std::uint64_t since_refit = 0;
  bool have_dup_start = false;  // a read since the last new sample returned it again
  bool caught_up = false;       // the last sample came after such a read
  std::uint64_t dup_start = 0;  // the latest such read's start
  double period_ticks = 0.0;    // 0: not known yet
  std::deque<double> spacings;
  std::uint64_t taken_in = 0;           // samples taken in (the next sequence number)
  std::deque<ImuStreamSample> pending;  // taken in and stamped, not yet handed out

  double ticks_per_ns() const { return 1.0 / fit.ns_per_tick(); }
  double period_ns() const { return period_ticks > 0 ? period_ticks * fit.ns_per_tick() : 0.0; }

  void note_spacing(double delta) {
    if (options.sample_rate_hz > 0) return;
    spacings.push_back(delta);
    if (spacings.size() > kPeriodHistory) spacings.pop_front();
    std::vector<double> sorted(spacings.begin(), spacings.end());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    period_ticks = sorted[sorted.size() / 2];
  }

  Result<ImuStreamSample> next();
  // Takes one read in: false for a repeat of the last sample, true (with
  // `sample` filled but not stamped) for a new one.
  bool ingest(std::uint64_t start, std::uint64_t arrival, const ReadImuResult& raw, ImuStreamSample& sample);
  // Sets time_ns (and the converted values) from the current fit.
  void stamp(ImuStreamSample& sample);
  Result<ImuStreamSample> read_once(std::uint64_t& start, std::uint64_t& arrival);
  Result<ImuStreamSample> stall_failure();
  double poll_step_ns() const;
  void prime();
};

bool ImuStream::Impl::ingest(std::uint64_t start, std::uint64_t arrival, const ReadImuResult& raw,
                             ImuStreamSample& sample) {
  std::uint64_t delta = 0;
  if (have_last) {
    const std::uint32_t d = (raw.sensor_timestamp - last_raw) & kCounterMask;
    if (d == 0) {
      // The sample already taken in: the device had nothing newer when this
      // read reached it, so the next sample is later than the read's start.
      ++stats.duplicates;
      have_dup_start = true;
      dup_start = start;
      return false;
    }
    // Whole wraps the 20 bits cannot show, from the host time that passed.
    const double expected = static_cast<double>(arrival - last_arrival) * ticks_per_ns();
    const double wraps = std::floor((expected - d) / kCounterRange + 0.5);
    delta = d + static_cast<std::uint64_t>(wraps > 0 ? wraps : 0) * (kCounterMask + 1ULL);
  }

  sample = ImuStreamSample{};
  sample.raw = raw;
  sample.host_ns = arrival;
  sample.sequence = taken_in++;
  if (!have_last) {
    first_counter = raw.sensor_timestamp;
    last_counter = first_counter;
    first_arrival = arrival;
  } else {
    const double d = static_cast<double>(delta);
    if (period_ticks > 0) {
      const double periods = std::floor(d / period_ticks + 0.5);
      sample.missed_before = periods > 1 ? static_cast<std::uint64_t>(periods) - 1 : 0;
    }
    note_spacing(d);
    last_counter += delta;
  }
  sample.device_counter = last_counter;

  const double x = static_cast<double>(last_counter - first_counter);
  const double u = static_cast<double>(arrival - first_arrival);
  const bool has_l = have_dup_start && dup_start >= first_arrival;
  const double l = has_l ? static_cast<double>(dup_start - first_arrival) : 0.0;
  const bool refit = fit.contradicts(x, u, has_l, l) || !fit.locked() || ++since_refit >= kRefitEvery;
  fit.add(x, u, has_l, l);
  if (refit) {
    fit.refit(options.nominal_tick_rate_hz);
    since_refit = 0;
  }
  have_last = true;
  last_raw = raw.sensor_timestamp;
  last_arrival = arrival;
  caught_up = have_dup_start;
  have_dup_start = false;
  return true;
}

void ImuStream::Impl::stamp(ImuStreamSample& sample) {
  const double x = static_cast<double>(sample.device_counter - first_counter);
  std::uint64_t time = clamp_ns(static_cast<double>(first_arrival) + fit.predict(x));
  time = std::min(time, sample.host_ns);
  time = std::max(time, last_time);
  sample.time_ns = time;
  Result<ImuSample> converted = convert_imu(sample.raw, options.conversion);
  if (converted.ok()) sample.value = *converted.value;
  sample.value.timestamp_ns = time;
  last_time = time;
}

Result<ImuStreamSample> ImuStream::Impl::read_once(std::uint64_t& start, std::uint64_t& arrival) {
  start = platform::monotonic_ns();
  Result<ReadImuResult> read = device.read_imu();
  arrival = platform::monotonic_ns();
  ++stats.reads;
  if (!read.ok()) return Result<ImuStreamSample>::forward(read);
  ImuStreamSample sample;
  sample.raw = *read.value;
  return Result<ImuStreamSample>::success(sample);
}

Result<ImuStreamSample> ImuStream::Impl::stall_failure() {
  ++stats.stalls;
  return Result<ImuStreamSample>::failure(
      ErrorCode::read_failed, "no new IMU sample within " + std::to_string(options.stall_timeout_ms) + " ms");
}

double ImuStream::Impl::poll_step_ns() const {
  const double period = period_ns();
  return period > 0 ? std::clamp(period / 20, 10e3, 1e6) : 100e3;
}

void ImuStream::Impl::prime() {
  // At the start nothing is known of the device's clock, and a queueing
  // device may hold samples taken long ago. Take samples in until a few
  // have arrived right after a read that found nothing new (the queue is
  // empty and those samples have both bounds), then stamp them all from that
  // fit: the old ones get their instants from the line, not from their late
  // arrival.
  const std::uint64_t begin = platform::monotonic_ns();
  const std::uint64_t stall_ns = static_cast<std::uint64_t>(options.stall_timeout_ms) * 1000000ULL;
  bool ran_dry = false;
  std::size_t bounded = 0;  // samples taken in right after a read that found nothing new
  for (;;) {
    if (ran_dry) sleep_ns(clamp_ns(poll_step_ns()));
    std::uint64_t start = 0, arrival = 0;
    Result<ImuStreamSample> read = read_once(start, arrival);
    if (!read.ok()) {
      ended = std::move(read);
      break;
    }
    ImuStreamSample sample;
    if (ingest(start, arrival, read.value->raw, sample)) {
      pending.push_back(sample);
      if (caught_up) ++bounded;
      if (bounded >= kPrimeBounded || pending.size() >= kPrimeSamples || arrival - begin >= kPrimeNs) break;
    } else {
      ran_dry = true;
      if (arrival - begin >= stall_ns) break;
    }
  }
  for (ImuStreamSample& sample : pending) stamp(sample);
}

Result<ImuStreamSample> ImuStream::Impl::next() {
  using R = Result<ImuStreamSample>;
  if (pending.empty() && !have_last && !ended && !pending_code) {
    const std::uint64_t begin = platform::monotonic_ns();
    prime();
    if (pending.empty() && !ended) {
      const std::uint64_t now = platform::monotonic_ns();
      if (now - begin >= static_cast<std::uint64_t>(options.stall_timeout_ms) * 1000000ULL) return stall_failure();
    }
  }
  if (!pending.empty()) {
    ImuStreamSample sample = pending.front();
    pending.pop_front();
    ++stats.samples;
    stats.missed += sample.missed_before;
    return R::success(sample);
  }
  if (ended) return *ended;
  if (pending_code) {
    R failure = R::failure(*pending_code, pending_message);
    pending_code.reset();
    return failure;
  }
  if (!have_last) return stall_failure();  // nothing at all yet (a device that only repeats)

  const std::uint64_t call_start = platform::monotonic_ns();
  bool first_attempt = true;
  for (;;) {
    const double period = period_ns();
    if (first_attempt) {
      // Wake a little before the next sample is due, so that a read now and
      // then still sees the previous one: that read bounds the new sample's
      // instant from below. Only once a read has shown the device has
      // nothing newer: until then samples may be waiting in a queue.
      if (period > 0 && caught_up) {
        const double lead = std::clamp(period / 10, 20e3, 500e3);
        const double wake = static_cast<double>(first_arrival) +
                            fit.predict(static_cast<double>(last_counter - first_counter) + period_ticks) - lead;
        const std::uint64_t now = platform::monotonic_ns();
        if (wake > static_cast<double>(now)) sleep_ns(clamp_ns(wake - static_cast<double>(now)));
      }
      first_attempt = false;
    } else {
      sleep_ns(clamp_ns(poll_step_ns()));
    }

    std::uint64_t start = 0, arrival = 0;
    Result<ImuStreamSample> read = read_once(start, arrival);
    if (!read.ok()) {
      ended = std::move(read);
      return *ended;
    }
    ImuStreamSample sample;
    if (!ingest(start, arrival, read.value->raw, sample)) {
      if (arrival - call_start >= static_cast<std::uint64_t>(options.stall_timeout_ms) * 1000000ULL)
        return stall_failure();
      continue;
    }
    stamp(sample);
    ++stats.samples;
    stats.missed += sample.missed_before;
    return R::success(sample);
  }
}

ImuStream::ImuStream() noexcept = default;
ImuStream::ImuStream(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
ImuStream::ImuStream(ImuStream&&) noexcept = default;
ImuStream& ImuStream::operator=(ImuStream&&) noexcept = default;
ImuStream::~ImuStream() = default;

bool ImuStream::is_open() const noexcept { return impl_ != nullptr; }

Result<ImuStreamSample> ImuStream::next() {
  if (!impl_) return Result<ImuStreamSample>::failure(ErrorCode::invalid_argument, kMsgClosed);
  return impl_->next();
}

Result<std::size_t> ImuStream::next_batch(std::size_t count, std::vector<ImuStreamSample>& out) {
  using R = Result<std::size_t>;
  if (!impl_) return R::failure(ErrorCode::invalid_argument, kMsgClosed);
  if (count == 0) {
    if (impl_->pending.empty() && impl_->ended) return R::forward(*impl_->ended);
    return R::success(0);
  }
  std::size_t done = 0;
  out.reserve(out.size() + count);
  while (done < count) {
    Result<ImuStreamSample> sample = impl_->next();
    if (!sample.ok()) {
      if (done == 0) return R::forward(sample);
      // Hand over what was read; the failure comes with the next call (a
      // failure that ended the stream comes back anyway).
      if (!impl_->ended) {
        impl_->pending_code = sample.code;
        impl_->pending_message = sample.message;
      }
      break;
    }
    out.push_back(std::move(*sample.value));
    ++done;
  }
  return R::success(done);
}

ImuClockEstimate ImuStream::clock_estimate() const {
  ImuClockEstimate e;
  if (!impl_ || !impl_->have_last) return e;
  const Impl& d = *impl_;
  e.tick_rate_hz = 1e9 / d.fit.ns_per_tick();
  e.drift_ppm = (e.tick_rate_hz / d.options.nominal_tick_rate_hz - 1.0) * 1e6;
  e.sample_rate_hz = d.period_ticks > 0 ? e.tick_rate_hz / d.period_ticks : 0.0;
  e.reference_counter = d.last_counter;
  e.offset_ns = static_cast<std::int64_t>(std::llround(
      static_cast<double>(d.first_arrival) + d.fit.predict(static_cast<double>(d.last_counter - d.first_counter))));
  e.uncertainty_ns = d.fit.gap() / 2;
  e.rate_locked = d.fit.locked();
  return e;
}

ImuStreamStats ImuStream::stats() const { return impl_ ? impl_->stats : ImuStreamStats{}; }

const ImuStreamOptions& ImuStream::options() const {
  static const ImuStreamOptions kDefaults;
  return impl_ ? impl_->options : kDefaults;
}

Result<ImuStream> open_imu_stream(Device& device, const ImuStreamOptions& options) {
  using R = Result<ImuStream>;
  // The message names the option and its valid range.
  const auto bad = [](const char* name, const char* range) {
    return R::failure(ErrorCode::invalid_argument,
                      std::string("IMU stream option ") + name + " is out of range (valid: " + range + ")");
  };
  if (!(options.sample_rate_hz == 0.0 || option_ok(options.sample_rate_hz, 1.0, 10000.0)))
    return bad("sample_rate_hz", "0, or 1 to 10000");
  if (!option_ok(options.nominal_tick_rate_hz, 1e3, 1e9)) return bad("nominal_tick_rate_hz", "1000 to 1e9");
  if (!option_ok(options.estimation_window_s, 2.0, 600.0)) return bad("estimation_window_s", "2 to 600");
  if (options.stall_timeout_ms < 1 || options.stall_timeout_ms > 3600000)
    return bad("stall_timeout_ms", "1 to 3600000");
  if (options.sample_rate_hz > 0 && options.nominal_tick_rate_hz / options.sample_rate_hz >= kCounterRange / 2)
    return bad("sample_rate_hz", "a sample period below half the counter's wrap, nominal_tick_rate_hz / 524288 and up");
  Result<void> opened = device.open_imu();
  if (!opened.ok()) return R::forward(opened);
  return R::success(ImuStream(std::make_unique<ImuStream::Impl>(device, options)));
}

}  // namespace morvane::uvc_stereo
