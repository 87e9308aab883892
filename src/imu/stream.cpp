// The IMU stream: polls Device::read_imu() on the caller's thread, yields
// each device sample once, unwraps the 20-bit counter and maps device ticks
// to the host's monotonic clock through the device clock fit.
//
// Unwrapping. The fit predicts where the counter stands at any host instant,
// so the wraps the 20 bits cannot show come from the device's own clock: a
// sample is the latest counter value with its low 20 bits that the fit puts
// no later than its arrival (a reply reaches the host less than a wrap after
// its sample was taken). A sample the fit cannot place within its bounds
// (taken before a read that did not see it yet, or after its own arrival)
// means the device clock jumped against the host's: the sample is flagged as
// a discontinuity, its missed count is unknown, and the fit starts again from
// it with the rate it had. A read that lasted over half a wrap may return a
// sample from before the latest wrap: flagged too, placed nearest the read's
// start, the fit kept. A spacing that is no whole number of sample periods
// (a jump of about whole wraps, which the 20 bits and the fit cannot see)
// is a jump too. A sample that arrives long after the fit expects
// without a lower bound (late reply, a backlog, or a jump the stream cannot
// yet tell) is held until a later sample with both bounds settles which.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imu/clock_fit.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "platform/platform.hpp"

namespace morvane::uvc_stereo {
namespace {

constexpr const char* kMsgClosed = "IMU stream is closed or moved-from";
constexpr std::uint32_t kCounterMask = 0xFFFFF;
constexpr double kCounterRange = 1048576.0;
constexpr std::uint64_t kRefitEvery = 16;       // samples between refits once locked
constexpr std::size_t kPeriodHistory = 64;      // counter spacings the period is judged on
constexpr std::size_t kRateCheckSpacings = 32;  // spacings before an explicit sample_rate_hz is checked
constexpr double kRateMismatch = 0.01;          // ... and the relative difference that refutes it
// The counter's rate is checked against nominal_tick_rate_hz on the samples
// bounded from both sides in this much host time after the first of them;
// a rate the bounds put more than this factor off refutes the option.
constexpr std::uint64_t kTickCheckNs = 1000000000;
constexpr double kTickMismatch = 1.1;
// Spacings seen before one off the sample grid is taken for a device clock
// step (the period is known by then).
constexpr std::size_t kGridSpacings = 16;
// The tolerance of the unwrap: a fixed margin, plus the fit's band and its
// rate uncertainty over the time since the previous sample.
constexpr double kUnwrapMarginNs = 2e6;
// A sample without a lower bound that arrives this much later than the fit
// puts it (beyond the tolerance) is held until a bounded one confirms the fit.
constexpr double kSuspectNs = 5e6;
constexpr std::size_t kHoldSamples = 64;
constexpr std::uint64_t kHoldNs = 250000000;
// Reads failing with a transient transfer error are retried this many times
// (1 ms apart) before the failure ends the stream.
constexpr int kTransientRetries = 3;
// A query interrupted by a signal, or refused for the moment, is repeated at
// once (after 100 us); this many in a row end the stream, so that a storm of
// them cannot hold the caller for ever.
constexpr int kInterruptedRetries = 100;
constexpr std::uint64_t kBusyRetryNs = 100000;
// Before the first sample is handed out: until this many samples came right
// after a read that found nothing new, at most this many samples, for at most
// this long.
constexpr std::size_t kPrimeBounded = 8;
constexpr std::size_t kPrimeSamples = 256;
constexpr std::uint64_t kPrimeNs = 250000000;

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

bool ends_with(const std::string& text, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// A transfer error the bus recovers from (a protocol or I/O error on one
// request), as opposed to a device that is gone.
bool transient(const Result<ReadImuResult>& read) {
  return read.code == ErrorCode::io_error &&
         (ends_with(read.message, std::strerror(EPROTO)) || ends_with(read.message, std::strerror(EIO)));
}

// A query the kernel did not carry out: interrupted by a signal, or the
// node busy for the moment. Nothing reached the device.
bool interrupted(const Result<ReadImuResult>& read) {
  return read.code == ErrorCode::io_error &&
         (ends_with(read.message, std::strerror(EINTR)) || ends_with(read.message, std::strerror(EAGAIN)));
}

// The sample period in counter ticks from the spacings seen: the largest
// period every spacing is a whole multiple of, so that reads slower than the
// period (spacings of two, three periods) do not double it.
double period_from(const std::deque<double>& spacings, double min_period) {
  const double m = *std::min_element(spacings.begin(), spacings.end());
  for (int k = 1; k <= 32 && m / k >= min_period; ++k) {
    const double p = m / k;
    double sum = 0, periods = 0;
    bool whole = true;
    for (double s : spacings) {
      const double n = std::floor(s / p + 0.5);
      if (std::fabs(s - n * p) > 2 + 2e-3 * s) {
        whole = false;
        break;
      }
      sum += s;
      periods += n;
    }
    if (whole) return sum / periods;
  }
  return m;
}

}  // namespace

// Internal to the library: the exported ImuStream class would otherwise lend
// its visibility to this nested class's members.
struct __attribute__((visibility("hidden"))) ImuStream::Impl {
  Impl(Device& d, const ImuStreamOptions& o)
      : device(d), options(o), fit(o.nominal_tick_rate_hz, o.estimation_window_s) {
    if (o.sample_rate_hz > 0) period_ticks = o.nominal_tick_rate_hz / o.sample_rate_hz;
  }

  // A sample taken in, not yet handed out.
  struct Entry {
    ImuStreamSample sample;
    std::uint32_t distance = 0;  // 20-bit counter distance from the previous sample
    double delta = 0.0;          // ticks from the previous sample (0: first, or a discontinuity)
    bool has_lower = false;      // a read since the previous sample still returned that one
    std::uint64_t lower_ns = 0;  // ... the latest such read's start
    bool stamped = false;
  };

  Device& device;
  ImuStreamOptions options;
  detail::DeviceClockFit fit;
  ImuStreamStats stats;

  std::optional<Result<ImuStreamSample>> ended;  // the failure that ended the stream
  std::optional<ErrorCode> pending_code;         // a batch's failure, for the next call
  std::string pending_message;

  bool have_last = false;
  std::uint32_t last_raw = 0;
  std::uint64_t last_counter = 0;  // unwrapped
  std::uint64_t last_arrival = 0;
  std::uint64_t last_time = 0;
  std::uint64_t handed_counter = 0;  // device_counter of the last sample handed out
  std::uint64_t since_refit = 0;
  bool have_dup_start = false;  // a read since the last new sample returned it again
  bool caught_up = false;       // the last sample came after such a read
  std::uint64_t dup_start = 0;  // the latest such read's start
  double period_ticks = 0.0;    // 0: not known yet
  std::deque<double> spacings;
  bool rate_checked = false;
  // The counter's rate against nominal_tick_rate_hz: 20-bit distances summed
  // since the first sample, and that sum and the bounds of the first sample
  // bounded from both sides.
  std::uint64_t distance_sum = 0;
  bool have_tick_origin = false;
  std::uint64_t tick_origin = 0, tick_origin_lower = 0, tick_origin_upper = 0;
  std::uint64_t taken_in = 0;            // samples taken in (the next sequence number)
  std::deque<Entry> pending;             // taken in, not yet handed out
  std::optional<std::uint64_t> suspect;  // sequence of a held sample awaiting confirmation
  std::uint64_t suspect_arrival = 0;
  // When the wait for the next sample began: the stall timeout runs from
  // there across calls that gave up at their own deadline (next_within).
  std::optional<std::uint64_t> wait_start;
  // The first samples' intake (prime), which such a call may leave half done.
  bool priming = false;
  bool prime_ran_dry = false;
  std::size_t prime_bounded = 0;  // samples taken in right after a read that found nothing new
  std::uint64_t prime_begin = 0;
  // The end of a wait a deadline cut short.
  std::optional<std::uint64_t> resume_at;

  double period_ns() const { return period_ticks > 0 ? period_ticks * fit.ns_per_tick() : 0.0; }
  bool held() const { return suspect && !pending.empty() && pending.front().sample.sequence >= *suspect; }

  void note_spacing(double delta);
  // Checks the counter's rate on a sample bounded from both sides.
  void check_tick_rate(std::uint64_t lower_ns, std::uint64_t upper_ns);
  // True when a spacing of `delta` ticks is no whole number of sample
  // periods: the device clock stepped between the two samples.
  bool off_grid(double delta) const;
  // The next sample, or a failure; sets `expired` instead when the host
  // clock reaches `deadline` first (no limit: the largest value).
  Result<ImuStreamSample> next(std::uint64_t deadline, bool& expired);
  // Takes one read in: false for a repeat of the last sample, true for a new
  // one (appended to `pending`).
  bool ingest(std::uint64_t start, std::uint64_t arrival, const ReadImuResult& raw);
  // The device clock jumped at pending entry `at`: its wraps are unknown.
  void discontinuity_at(std::size_t at);
  void add_point(const Entry& e);
  void stamp(Entry& e);
  ImuStreamSample hand_out();
  Result<ReadImuResult> read_once(std::uint64_t& start, std::uint64_t& arrival);
  Result<ImuStreamSample> stall_failure();
  double poll_step_ns() const;
  // False when the deadline came first; the intake then goes on at the next
  // call.
  bool prime(std::uint64_t deadline);
  // Sleeps until `until`, or until the deadline when that comes first:
  // false then, and the next call resumes the wait where it stopped (so the
  // reads happen when they would have without the deadline).
  bool sleep_until(std::uint64_t until, std::uint64_t deadline);
};

void ImuStream::Impl::note_spacing(double delta) {
  spacings.push_back(delta);
  if (spacings.size() > kPeriodHistory) spacings.pop_front();
  const double min_period = std::max(2.0, options.nominal_tick_rate_hz / 20000.0);
  const double measured = period_from(spacings, min_period);
  if (options.sample_rate_hz <= 0) {
    period_ticks = measured;
    return;
  }
  const double explicit_ticks = options.nominal_tick_rate_hz / options.sample_rate_hz;
  if (rate_checked) {
    // Checked: the misses are counted on the spacing the counter shows (the
    // rate given is only that close to it).
    if (std::fabs(measured / explicit_ticks - 1.0) <= kRateMismatch) period_ticks = measured;
    return;
  }
  if (spacings.size() < kRateCheckSpacings) return;
  rate_checked = true;
  if (std::fabs(measured / explicit_ticks - 1.0) <= kRateMismatch) {
    period_ticks = measured;
  } else {
    char text[160];
    std::snprintf(text, sizeof text,
                  "IMU stream option sample_rate_hz does not match the device (its counter spacing gives %.1f Hz)",
                  options.nominal_tick_rate_hz / measured);
    ended = Result<ImuStreamSample>::failure(ErrorCode::invalid_argument, text);
  }
}

void ImuStream::Impl::check_tick_rate(std::uint64_t lower_ns, std::uint64_t upper_ns) {
  if (!have_tick_origin) {
    have_tick_origin = true;
    tick_origin = distance_sum;
    tick_origin_lower = lower_ns;
    tick_origin_upper = upper_ns;
    return;
  }
  if (upper_ns - tick_origin_upper > kTickCheckNs) return;
  // The ticks between the two samples took at most from the first's lower
  // bound to the second's arrival, and at least from the first's arrival to
  // the second's lower bound.
  const double ticks = static_cast<double>(distance_sum - tick_origin);
  const double longest = static_cast<double>(upper_ns - tick_origin_lower) / 1e9;
  const double shortest = static_cast<double>(lower_ns) - static_cast<double>(tick_origin_upper);
  const double nominal = options.nominal_tick_rate_hz;
  const double slowest = ticks / longest;
  const bool too_fast = slowest > nominal * kTickMismatch;
  const bool too_slow = shortest > 0 && ticks / (shortest / 1e9) < nominal / kTickMismatch;
  if (!too_fast && !too_slow) return;
  // Named at the middle of both samples' bounds.
  const double middle = (static_cast<double>(upper_ns) + static_cast<double>(lower_ns) -
                         static_cast<double>(tick_origin_upper) - static_cast<double>(tick_origin_lower)) /
                        2e9;
  char text[160];
  std::snprintf(text, sizeof text,
                "IMU stream option nominal_tick_rate_hz does not match the device (its counter runs at about %.0f Hz)",
                middle > 0 ? ticks / middle : slowest);
  ended = Result<ImuStreamSample>::failure(ErrorCode::invalid_argument, text);
}

bool ImuStream::Impl::off_grid(double delta) const {
  // Judged once the period is known: measured from enough spacings, or
  // given and checked against them.
  if (period_ticks <= 0 || spacings.size() < kGridSpacings) return false;
  if (options.sample_rate_hz > 0 && !rate_checked) return false;
  // The counter is latched on the device's own clock: a spacing is a whole
  // number of periods to within a few ticks (and a little more over long
  // gaps, for an IMU clocked apart from the counter). A period taken from
  // reads all slower than it may be two or three times the real one: a
  // spacing on the grid of a half or a third of it is no step.
  for (int k = 1; k <= 3; ++k) {
    const double p = period_ticks / k;
    const double n = std::floor(delta / p + 0.5);
    const double tol = std::min(p / 4, 2 + 0.02 * p + 1e-5 * delta);
    if (n >= 1 && std::fabs(delta - n * p) <= tol) return false;
  }
  return true;
}

void ImuStream::Impl::add_point(const Entry& e) {
  const ImuStreamSample& s = e.sample;
  const bool refit = !fit.fitted() || fit.violation_ns(s.device_counter, s.host_ns, e.has_lower, e.lower_ns) > 0 ||
                     !fit.locked() || ++since_refit >= kRefitEvery;
  fit.add(s.device_counter, s.host_ns, e.has_lower, e.lower_ns);
  if (refit) {
    fit.refit();
    since_refit = 0;
  }
}

void ImuStream::Impl::discontinuity_at(std::size_t at) {
  // The samples before it keep the mapping they were taken in under.
  for (std::size_t i = 0; i < at; ++i) stamp(pending[i]);
  std::uint64_t counter = at > 0 ? pending[at - 1].sample.device_counter : handed_counter;
  for (std::size_t i = at; i < pending.size(); ++i) {
    counter += pending[i].distance;
    pending[i].sample.device_counter = counter;
  }
  pending[at].delta = 0.0;
  pending[at].sample.discontinuity = true;
  last_counter = counter;
  fit.reanchor();
  for (std::size_t i = at; i < pending.size(); ++i) add_point(pending[i]);
  suspect.reset();
}

bool ImuStream::Impl::ingest(std::uint64_t start, std::uint64_t arrival, const ReadImuResult& raw) {
  Entry e;
  ImuStreamSample& sample = e.sample;
  bool jumped = false, ambiguous = false, suspicious = false, stepped = false;
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
    e.distance = d;
    distance_sum += d;
    if (have_dup_start && !ended) check_tick_rate(dup_start, arrival);
    e.has_lower = have_dup_start;
    e.lower_ns = dup_start;
    // Whole wraps the 20 bits cannot show, from the fitted device clock: the
    // latest candidate the fit puts no later than the arrival.
    const double tol = kUnwrapMarginNs + 2 * fit.uncertainty_ns() +
                       fit.rate_uncertainty() * static_cast<double>(arrival - last_arrival);
    const double base = static_cast<double>(last_counter + d);
    const double high = fit.ticks_at(static_cast<double>(arrival) + tol);
    // Only a locked fit can say the device clock jumped: before, a line on
    // a few points (the first of them perhaps queued long ago) is simply
    // lowered by the next arrival.
    const bool judge = fit.locked();
    std::uint64_t wraps = 0;
    if (high < base) {
      jumped = judge;  // the fit puts even the nearest candidate after the arrival
    } else {
      wraps = static_cast<std::uint64_t>(std::floor((high - base) / kCounterRange));
      const double x = base + static_cast<double>(wraps) * kCounterRange;
      if (judge && e.has_lower && x < fit.ticks_at(static_cast<double>(dup_start) - tol)) jumped = true;
      // A read longer than half a wrap may return a sample from before the
      // latest wrap: which one the counter cannot tell.
      const double wrap_ns = kCounterRange * fit.ns_per_tick();
      if (!jumped && wraps > 0 && static_cast<double>(arrival - start) > wrap_ns / 2 &&
          (!e.has_lower || x - kCounterRange >= fit.ticks_at(static_cast<double>(dup_start) - tol))) {
        // The fit still holds; take the candidate nearest the read's start
        // (a latest-sample device answers soon after it) and flag the count.
        ambiguous = true;
        const double near = std::floor((fit.ticks_at(static_cast<double>(start)) - base) / kCounterRange + 0.5);
        wraps = static_cast<std::uint64_t>(std::clamp(near, 0.0, static_cast<double>(wraps)));
      }
      if (judge && !jumped && !e.has_lower)
        suspicious = static_cast<double>(arrival) - fit.host_ns(static_cast<std::uint64_t>(x)) > kSuspectNs + tol;
    }
    // A spacing off the sample grid: the device clock stepped by about a
    // whole number of wraps (the 20 bits and the fit agree, the grid does
    // not) or by a part of a period. The count is not knowable.
    if (!jumped && !ambiguous && judge && off_grid(static_cast<double>(d + wraps * (kCounterMask + 1ULL))))
      stepped = true;
    if (jumped || stepped) wraps = 0;
    e.delta = static_cast<double>(d + wraps * (kCounterMask + 1ULL));
    last_counter += d + wraps * (kCounterMask + 1ULL);
  } else {
    last_counter = raw.sensor_timestamp;
  }

  sample.raw = raw;
  sample.host_ns = arrival;
  sample.sequence = taken_in++;
  sample.device_counter = last_counter;
  have_last = true;
  last_raw = raw.sensor_timestamp;
  last_arrival = arrival;
  caught_up = have_dup_start;
  have_dup_start = false;
  pending.push_back(e);

  if (stepped) {
    discontinuity_at(pending.size() - 1);
    return true;
  }
  if (jumped) {
    // A held sample that arrived far from the fit was the first sample after
    // the jump; this one only confirms it.
    std::size_t at = pending.size() - 1;
    if (suspect)
      for (std::size_t i = 0; i < pending.size(); ++i)
        if (pending[i].sample.sequence == *suspect) at = i;
    discontinuity_at(at);
    return true;
  }
  if (ambiguous) {
    // Neither the spacing nor the point can be trusted.
    pending.back().delta = 0.0;
    pending.back().sample.discontinuity = true;
    return true;
  }
  if (e.delta > 0) note_spacing(e.delta);
  add_point(pending.back());
  if (suspicious && !suspect) {
    suspect = sample.sequence;
    suspect_arrival = arrival;
  } else if (suspect && (e.has_lower || pending.size() >= kHoldSamples || arrival - suspect_arrival >= kHoldNs)) {
    suspect.reset();  // confirmed by a bounded sample, or held long enough
  }
  return true;
}

void ImuStream::Impl::stamp(Entry& e) {
  if (e.stamped) return;
  ImuStreamSample& sample = e.sample;
  std::uint64_t time = clamp_ns(fit.host_ns(sample.device_counter));
  time = std::min(time, sample.host_ns);
  time = std::max(time, last_time);
  sample.time_ns = time;
  Result<ImuSample> converted = convert_imu(sample.raw, options.conversion);
  if (converted.ok()) sample.value = *converted.value;
  sample.value.timestamp_ns = time;
  last_time = time;
  if (e.delta > 0 && period_ticks > 0) {
    const double periods = std::floor(e.delta / period_ticks + 0.5);
    sample.missed_before = periods > 1 ? static_cast<std::uint64_t>(periods) - 1 : 0;
  }
  e.stamped = true;
}

ImuStreamSample ImuStream::Impl::hand_out() {
  stamp(pending.front());
  ImuStreamSample sample = pending.front().sample;
  pending.pop_front();
  ++stats.samples;
  stats.missed += sample.missed_before;
  stats.discontinuities += sample.discontinuity;
  handed_counter = sample.device_counter;
  return sample;
}

Result<ReadImuResult> ImuStream::Impl::read_once(std::uint64_t& start, std::uint64_t& arrival) {
  int interruptions = 0;
  for (int attempt = 0;;) {
    start = platform::monotonic_ns();
    Result<ReadImuResult> read = device.read_imu();
    arrival = platform::monotonic_ns();
    ++stats.reads;
    if (read.ok()) return read;
    if (interrupted(read)) {
      if (++interruptions > kInterruptedRetries) return read;
      ++stats.retries;
      sleep_ns(kBusyRetryNs);
      continue;
    }
    if (attempt >= kTransientRetries || !transient(read)) return read;
    ++attempt;
    ++stats.retries;
    sleep_ns(1000000);
  }
}

Result<ImuStreamSample> ImuStream::Impl::stall_failure() {
  ++stats.stalls;
  return Result<ImuStreamSample>::failure(
      ErrorCode::read_failed, "no new IMU sample within " + std::to_string(options.stall_timeout_ms) + " ms");
}

double ImuStream::Impl::poll_step_ns() const {
  const double period = period_ns();
  return period > 0 ? std::clamp(period / 50, 10e3, 200e3) : 100e3;
}

bool ImuStream::Impl::sleep_until(std::uint64_t until, std::uint64_t deadline) {
  const std::uint64_t now = platform::monotonic_ns();
  if (until <= now) return true;
  if (deadline < until) {
    if (deadline > now) sleep_ns(deadline - now);
    resume_at = until;
    return false;
  }
  sleep_ns(until - now);
  return true;
}

bool ImuStream::Impl::prime(std::uint64_t deadline) {
  // At the start nothing is known of the device's clock, and a queueing
  // device may hold samples taken long ago. Take samples in until a few
  // have arrived right after a read that found nothing new (the queue is
  // empty and those samples have both bounds); they are stamped as they are
  // handed out, from that fit: the old ones get their instants from the
  // line, not from their late arrival.
  if (!priming) {
    priming = true;
    prime_ran_dry = false;
    prime_bounded = 0;
    prime_begin = platform::monotonic_ns();
  }
  const std::uint64_t stall_ns = static_cast<std::uint64_t>(options.stall_timeout_ms) * 1000000ULL;
  for (;;) {
    if (prime_ran_dry) {
      const std::uint64_t until = resume_at ? *resume_at : platform::monotonic_ns() + clamp_ns(poll_step_ns());
      resume_at.reset();
      if (!sleep_until(until, deadline)) return false;
    }
    std::uint64_t start = 0, arrival = 0;
    Result<ReadImuResult> read = read_once(start, arrival);
    if (!read.ok()) {
      ended = Result<ImuStreamSample>::forward(read);
      break;
    }
    if (ingest(start, arrival, *read.value)) {
      if (caught_up) ++prime_bounded;
      if (ended || prime_bounded >= kPrimeBounded || pending.size() >= kPrimeSamples ||
          arrival - prime_begin >= kPrimeNs)
        break;
    } else {
      prime_ran_dry = true;
      if (arrival - *wait_start >= stall_ns) break;
    }
    if (arrival >= deadline) return false;
  }
  priming = false;
  return true;
}

Result<ImuStreamSample> ImuStream::Impl::next(std::uint64_t deadline, bool& expired) {
  using R = Result<ImuStreamSample>;
  expired = false;
  if (!wait_start) wait_start = platform::monotonic_ns();
  const std::uint64_t stall_ns = static_cast<std::uint64_t>(options.stall_timeout_ms) * 1000000ULL;
  if (priming || (pending.empty() && !have_last && !ended && !pending_code)) {
    if (!prime(deadline)) {
      expired = true;
      return R::failure(ErrorCode::ok, "");
    }
    if (pending.empty() && !ended && platform::monotonic_ns() - *wait_start >= stall_ns) return stall_failure();
  }
  bool first_attempt = true;
  for (;;) {
    if (!pending.empty() && !held()) return R::success(hand_out());
    if (ended) {
      // Nothing more will come to settle a held sample.
      suspect.reset();
      if (!pending.empty()) return R::success(hand_out());
      return *ended;
    }
    if (pending_code) {
      R failure = R::failure(*pending_code, pending_message);
      pending_code.reset();
      return failure;
    }
    if (!have_last) return stall_failure();  // nothing at all yet (a device that only repeats)

    const double period = period_ns();
    const std::uint64_t now = platform::monotonic_ns();
    std::uint64_t pause = 0;
    if (resume_at) {
      pause = *resume_at > now ? *resume_at - now : 0;  // the wait the previous call left
      resume_at.reset();
    } else if (first_attempt && !held()) {
      // Wake a little before the next sample is due, so that a read now and
      // then still sees the previous one: that read bounds the new sample's
      // instant from below. Only once a read has shown the device has
      // nothing newer: until then samples may be waiting in a queue.
      if (period > 0 && caught_up) {
        const double lead = std::clamp(period / 10, 20e3, 500e3);
        const double wake = fit.host_ns(last_counter) + period_ticks * fit.ns_per_tick() - lead;
        if (wake > static_cast<double>(now)) pause = clamp_ns(wake - static_cast<double>(now));
      }
    } else if (!first_attempt) {
      pause = clamp_ns(poll_step_ns());
    }
    // A deadline that comes first ends the call before the read; the next
    // call goes on waiting until the same instant.
    if (!sleep_until(now + pause, deadline)) {
      expired = true;
      return R::failure(ErrorCode::ok, "");
    }
    first_attempt = false;

    std::uint64_t start = 0, arrival = 0;
    Result<ReadImuResult> read = read_once(start, arrival);
    if (!read.ok()) {
      ended = R::forward(read);
      continue;
    }
    if (!ingest(start, arrival, *read.value) && arrival - *wait_start >= stall_ns) {
      suspect.reset();
      if (!pending.empty()) continue;
      return stall_failure();
    }
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
  bool expired = false;
  Result<ImuStreamSample> got = impl_->next(std::numeric_limits<std::uint64_t>::max(), expired);
  impl_->wait_start.reset();
  return got;
}

Result<std::optional<ImuStreamSample>> ImuStream::next_within(std::uint32_t wait_ms) {
  using R = Result<std::optional<ImuStreamSample>>;
  if (!impl_) return R::failure(ErrorCode::invalid_argument, kMsgClosed);
  const std::uint64_t deadline = platform::monotonic_ns() + static_cast<std::uint64_t>(wait_ms) * 1000000ULL;
  bool expired = false;
  Result<ImuStreamSample> got = impl_->next(deadline, expired);
  if (expired) return R::success(std::nullopt);
  impl_->wait_start.reset();
  if (!got.ok()) return R::forward(got);
  return R::success(std::move(*got.value));
}

Result<std::size_t> ImuStream::next_batch(std::size_t count, std::vector<ImuStreamSample>& out) {
  using R = Result<std::size_t>;
  if (!impl_) return R::failure(ErrorCode::invalid_argument, kMsgClosed);
  if (count == 0) {
    if (impl_->pending.empty() && impl_->ended) return R::forward(*impl_->ended);
    return R::success(0);
  }
  std::size_t done = 0;
  // The count is the caller's wish, not a size to allocate: a batch that a
  // failure cuts short, or a count beyond memory, reserves no more than this.
  out.reserve(out.size() + std::min<std::size_t>(count, 4096));
  while (done < count) {
    Result<ImuStreamSample> sample = next();
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
  e.tick_rate_hz = d.fit.tick_rate_hz();
  e.drift_ppm = (e.tick_rate_hz / d.options.nominal_tick_rate_hz - 1.0) * 1e6;
  e.sample_rate_hz = d.period_ticks > 0 ? e.tick_rate_hz / d.period_ticks : 0.0;
  e.reference_counter = d.last_counter;
  e.offset_ns = static_cast<std::int64_t>(std::llround(d.fit.host_ns(d.last_counter)));
  e.uncertainty_ns = d.fit.uncertainty_ns();
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
