// The IMU stream under host and device conditions beyond the shared table:
// combinations of disturbances, rates and counter clocks the table does not
// use, device clock steps near whole wraps, pauses before the fit locks and
// pauses of an hour, a caller slower than the device, two cameras on one
// thread, reopened streams, interrupted queries and option values at the
// edges. Each run is judged against the device's truth with the table's
// rules. The conditions under DISABLED_Broken and the DISABLED_ tests show
// faults the stream still has.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "emulator/simulated_camera.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "support/forwarding_platform.hpp"
#include "support/imu_conditions.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace {

using morvane::testing::ImuCondition;
using morvane::testing::ImuRunResult;
using namespace morvane::uvc_stereo;
namespace emu = morvane::emulator;
using M = emu::ImuReadMode;

// Flags a run must show: one per device clock step, an exact count, or not
// judged (a flag is as right as none: the counter cannot tell).
constexpr int kFlagPerStep = -1;
constexpr int kFlagsNotJudged = -2;

struct Attempt {
  ImuCondition c;
  int flags = kFlagPerStep;
};

void PrintTo(const Attempt& a, std::ostream* os) { *os << a.c.name; }

Attempt make(std::string name, double rate, double drift, M mode, double seconds, int flags = kFlagPerStep) {
  Attempt a;
  a.c.name = std::move(name);
  a.c.imu = morvane::testing::clocked_imu(rate, drift, mode);
  a.c.seconds = seconds;
  a.flags = flags;
  return a;
}

Attempt with_step(Attempt a, double at_s, std::uint64_t ticks) {
  a.c.imu.script.steps.push_back({at_s, ticks});
  a.c.disturbed_from_s = at_s;
  a.c.disturbed_until_s = at_s;
  return a;
}

Attempt with_pause(Attempt a, double at_s, double seconds) {
  a.c.pause_at_s = at_s;
  a.c.pause_s = seconds;
  a.c.disturbed_from_s = at_s;
  a.c.disturbed_until_s = at_s + seconds;
  return a;
}

// A device counter clocked at `tick_hz` while the stream is told `nominal_hz`.
Attempt with_ticks(Attempt a, double tick_hz, double nominal_hz) {
  a.c.imu.tick_rate_hz = tick_hz;
  a.c.options.nominal_tick_rate_hz = nominal_hz;
  return a;
}

std::string describe(const ImuRunResult& r) {
  char text[400];
  std::snprintf(text, sizeof text,
                "samples %llu backward %llu after_arrival %llu dup %llu phantom %llu silent %llu flagged %llu "
                "(truth missed %llu) overconfident %llu p99 %.1f max %.1f settled p99 %.1f max %.1f us drift "
                "%.2f locked %d",
                static_cast<unsigned long long>(r.samples), static_cast<unsigned long long>(r.backward),
                static_cast<unsigned long long>(r.after_arrival), static_cast<unsigned long long>(r.duplicates),
                static_cast<unsigned long long>(r.phantom), static_cast<unsigned long long>(r.silent),
                static_cast<unsigned long long>(r.flagged), static_cast<unsigned long long>(r.flagged_missed),
                static_cast<unsigned long long>(r.overconfident), r.p99_us, r.max_us, r.settled_p99_us,
                r.settled_max_us, r.drift_ppm, r.rate_locked);
  return text;
}

// Conditions the stream gets right.
std::vector<Attempt> held() {
  std::vector<Attempt> all;
  // Rates the table does not use, one that does not divide the counter's
  // clock, in both read modes.
  for (double rate : {400.0, 700.0, 800.0})
    all.push_back(make("rate_" + std::to_string(int(rate)), rate, 80, M::latest, 60));
  all.push_back(make("rate_700_queue", 700, 80, M::queue, 60));
  // A late reply inside a slow phase.
  {
    Attempt a = make("late_0_53s_in_slow_phase", 200, 80, M::latest, 60);
    a.c.imu.script.slow_reads.push_back({19.0, 22.0, 5'000'000, 20'000'000});
    a.c.imu.script.late_replies.push_back({20.0, 530'000'000});
    a.c.disturbed_from_s = 19;
    a.c.disturbed_until_s = 22;
    all.push_back(a);
    a.c.name = "late_0_53s_in_slow_phase_1000hz";
    a.c.imu.rate_hz = 1000;
    all.push_back(a);
    a.c.name = "late_0_95s_in_slow_phase_queue";
    a.c.imu.rate_hz = 200;
    a.c.imu.read_mode = M::queue;
    a.c.imu.script.late_replies = {{20.0, 950'000'000}};
    a.flags = kFlagsNotJudged;  // a reply that late may or may not be told from a jump
    all.push_back(a);
  }
  // A step of half a wrap.
  all.push_back(with_step(make("step_half_wrap", 200, 80, M::latest, 50), 20, 524288));
  // Pauses in latest mode, short and long (the table pauses queue mode only),
  // and right after the start.
  for (double pause : {0.6, 1.05, 3.0, 100.0})
    all.push_back(
        with_pause(make("latest_pause_" + std::to_string(int(pause * 100)) + "cs", 200, 80, M::latest, 40), 15, pause));
  for (double pause : {0.7, 1.2})
    all.push_back(
        with_pause(make("early_pause_" + std::to_string(int(pause * 10)) + "ds", 200, 80, M::latest, 40), 0.3, pause));
  // Device counters near the documented 2% off nominal, and counters clocked
  // at other rates (a wrap every 21 ms up to every 52 s).
  all.push_back(with_ticks(make("counter_plus_19500ppm", 200, 0, M::latest, 60), 1.0195e6, 1e6));
  all.push_back(with_ticks(make("counter_minus_19500ppm", 200, 0, M::latest, 60), 0.9805e6, 1e6));
  all.push_back(with_ticks(make("counter_10mhz_100hz", 100, 30, M::latest, 60), 1e7, 1e7));
  all.push_back(with_ticks(make("counter_50mhz_100hz", 100, 30, M::latest, 60), 5e7, 5e7));
  all.push_back(with_ticks(make("counter_20khz_1000hz", 1000, 30, M::latest, 60), 2e4, 2e4));
  // A reply later than a wrap in queue mode.
  {
    Attempt a = make("queue_late_1_2s", 200, 80, M::queue, 40, 1);
    a.c.imu.script.late_replies.push_back({20.0, 1'200'000'000});
    a.c.disturbed_from_s = 20;
    a.c.disturbed_until_s = 21.2;
    all.push_back(a);
  }
  // A step of whole wraps (or within 3 ms of them): the 20 bits and the
  // fit agree, but the spacing of the sample after it is no whole number of
  // periods (1424 ticks at 200 Hz): flagged, and the period estimate not
  // taken from it.
  for (std::uint64_t ticks : {1048576ULL, 2097152ULL, 1048576ULL - 1000, 1048576ULL - 3000, 1048576ULL + 3000})
    all.push_back(with_step(make("step_wraps_" + std::to_string(ticks), 200, 80, M::latest, 50), 20, ticks));
  // An explicit sample_rate_hz 0.6% off passes the 1% check; a 1 s gap is
  // then counted on the spacing the counter shows.
  {
    Attempt a = make("explicit_rate_0_6pct_off_gap", 200, 80, M::latest, 40);
    a.c.options.sample_rate_hz = 201.2;
    a.c.imu.script.gaps.push_back({20.0, 1.0});
    a.c.disturbed_from_s = 20;
    a.c.disturbed_until_s = 21;
    all.push_back(a);
  }
  // Queue mode paused 2-5 s before the fit locks: the backlog drained after
  // it arrives bunched and gives no evidence to lock on (it once locked at
  // -19441 ppm, stamps 98 ms off).
  all.push_back(with_pause(make("early_pause_5s_queue", 200, 80, M::queue, 40), 0.3, 5));
  all.push_back(with_pause(make("early_pause_2s_queue_1000hz", 1000, 80, M::queue, 40), 0.3, 2));
  // A 40 s pause 0.3 s after the start, and an hour's pause in latest mode:
  // the first sample after either (3.5 ms, 1080 us off) is not stamped as
  // locked with a zero band.
  all.push_back(with_pause(make("early_pause_40s", 200, 80, M::latest, 40, kFlagsNotJudged), 0.3, 40));
  all.push_back(with_pause(make("latest_pause_1h", 200, 80, M::latest, 40), 15, 3600));
  // An hour at 200 Hz: 3600 wraps, drift far off nominal.
  all.push_back(make("one_hour_minus_900ppm", 200, -900, M::latest, 3600));
  return all;
}

// Conditions the stream gets wrong (see each comment for what it does).
std::vector<Attempt> broken() {
  std::vector<Attempt> all;
  // Steps of 1-5 ms (the sample grid unchanged, the count knowable, the
  // counter spacing on the grid: only the timing can tell): not
  // flagged, and the fit tilts (drift read 585 ppm, true 80) with stamps up
  // to the step size off for ~6 s.
  for (std::uint64_t ticks : {1000ULL, 3000ULL, 5000ULL})
    all.push_back(
        with_step(make("step_small_" + std::to_string(ticks), 200, 80, M::latest, 50, kFlagsNotJudged), 20, ticks));
  // A 3 s device step while a queue-mode caller pauses 10 s: flagged now
  // (once 629 silent misses, locked at -14484 ppm), but samples after it are
  // stamped up to 157 ms off in the settled stretch.
  all.push_back(with_step(with_pause(make("queue_pause_with_step", 200, 80, M::queue, 40), 15, 10), 20, 3'000'000));
  // A 1 ppm/s ramp across a 300 s pause: the device is 45 ms off the
  // prediction (far under half a wrap, the count knowable) yet the sample
  // is flagged and its 60009 misses dropped.
  {
    Attempt a = with_pause(make("ramp_across_300s_pause", 200, 0, M::latest, 80, 0), 20, 300);
    a.c.imu.script.ramp_ppm_per_s = 1.0;
    all.push_back(a);
  }
  return all;
}

class ImuStreamBeyondTable : public ::testing::TestWithParam<Attempt> {};

TEST_P(ImuStreamBeyondTable, OrderedCountedAccurateAndHonest) {
  const ImuCondition& c = GetParam().c;
  const ImuRunResult r = morvane::testing::run_imu_condition(c);
  SCOPED_TRACE(describe(r));
  ASSERT_EQ(r.failure, "");
  EXPECT_GE(r.streamed_s, c.seconds);
  EXPECT_EQ(r.backward, 0u);
  EXPECT_EQ(r.after_arrival, 0u);
  EXPECT_EQ(r.duplicates, 0u);
  EXPECT_EQ(r.phantom, 0u);
  EXPECT_EQ(r.silent, 0u);
  EXPECT_EQ(r.overconfident, 0u);
  EXPECT_LE(r.settled_p99_us, c.settled_p99_limit_us);
  EXPECT_LE(r.settled_max_us, 1000.0);
  EXPECT_TRUE(r.rate_locked);
  // The device's drift against the stream's nominal, over the last 12 s.
  const double counter_ppm = (c.imu.tick_rate_hz / c.options.nominal_tick_rate_hz - 1) * 1e6;
  double low = c.drift_at(r.end_s), high = low;
  for (double t = r.end_s - 12; t < r.end_s; t += 0.25)
    low = std::min(low, c.drift_at(t)), high = std::max(high, c.drift_at(t));
  low = (1 + counter_ppm * 1e-6) * (1 + low * 1e-6) * 1e6 - 1e6;
  high = (1 + counter_ppm * 1e-6) * (1 + high * 1e-6) * 1e6 - 1e6;
  const double margin = std::max(5.0, 1e-3 * std::max(std::fabs(low), std::fabs(high)));
  EXPECT_GE(r.drift_ppm, low - margin);
  EXPECT_LE(r.drift_ppm, high + margin);
  const int flags = GetParam().flags;
  if (flags != kFlagsNotJudged) {
    EXPECT_EQ(r.flagged, flags >= 0 ? static_cast<std::uint64_t>(flags) : c.imu.script.steps.size());
  }
}

const auto kAttemptName = [](const ::testing::TestParamInfo<Attempt>& info) {
  std::string name = info.param.c.name;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
};

INSTANTIATE_TEST_SUITE_P(Held, ImuStreamBeyondTable, ::testing::ValuesIn(held()), kAttemptName);
INSTANTIATE_TEST_SUITE_P(DISABLED_Broken, ImuStreamBeyondTable, ::testing::ValuesIn(broken()), kAttemptName);

// Judges the samples of one camera against its truth with the table's
// rules, for runs the table's runner cannot script (two cameras, a busy
// caller, a flaky node).
struct Judge {
  emu::VirtualCamera* camera = nullptr;
  bool have = false;
  std::uint64_t next_index = 0, index = 0, previous_time = 0;
  std::uint64_t samples = 0, backward = 0, after = 0, dup = 0, phantom = 0, silent = 0, flagged = 0, unmatched = 0;
  std::uint64_t overconfident = 0;     // off by more than 2 x uncertainty_ns + 100 us while rate_locked
  double max_us = 0, max_late_us = 0;  // all samples, and from sample 2000 on

  void add(const ImuStreamSample& s, const ImuClockEstimate& e) {
    std::optional<std::uint64_t> found;
    for (std::uint64_t k = next_index;; ++k) {
      const emu::ImuSampleTruth t = camera->imu_sample_truth(k);
      if (t.taken_ns > s.host_ns) break;
      if (t.counter == s.raw.sensor_timestamp && !t.dropped) found = k;
    }
    if (!found) {
      ++unmatched;
      return;
    }
    const emu::ImuSampleTruth truth = camera->imu_sample_truth(*found);
    const double error_us = std::fabs(static_cast<double>(s.time_ns) - static_cast<double>(truth.taken_ns)) / 1e3;
    max_us = std::max(max_us, error_us);
    if (samples >= 2000) max_late_us = std::max(max_late_us, error_us);
    if (e.rate_locked && error_us * 1e3 > 2 * e.uncertainty_ns + 100e3) ++overconfident;
    after += s.time_ns > s.host_ns;
    if (have) {
      backward += s.time_ns < previous_time;
      if (*found <= index) {
        ++dup;
      } else if (s.discontinuity) {
        ++flagged;
      } else {
        const std::uint64_t missed = *found - index - 1;
        phantom += s.missed_before > missed ? s.missed_before - missed : 0;
        silent += missed > s.missed_before ? missed - s.missed_before : 0;
      }
    }
    have = true;
    index = std::max(index, *found);
    next_index = index + 1;
    previous_time = s.time_ns;
    ++samples;
  }
  void expect_sound() const {
    EXPECT_EQ(unmatched, 0u);
    EXPECT_EQ(backward, 0u);
    EXPECT_EQ(after, 0u);
    EXPECT_EQ(dup, 0u);
    EXPECT_EQ(phantom, 0u);
    EXPECT_EQ(silent, 0u);
    EXPECT_EQ(flagged, 0u);
    EXPECT_EQ(overconfident, 0u);
    EXPECT_LE(max_late_us, 1000.0);
  }
};

emu::CameraConfig clocked_config(std::size_t i, double rate, double drift, M mode) {
  emu::CameraConfig config = morvane::testing::default_camera_config(i);
  config.imu = morvane::testing::clocked_imu(rate, drift, mode);
  return config;
}

Device open_camera(std::size_t i) {
  OpenDeviceOptions options;
  options.required_capabilities = 0;
  Result<Device> device =
      open_device(morvane::testing::camera_record(morvane::testing::default_camera_config(i)), options);
  EXPECT_TRUE(device.ok()) << device.message;
  return std::move(*device.value);
}

// A caller that spends `busy` of virtual time on each sample before asking
// for the next.
void stream_with_busy_caller(M mode, double busy_periods) {
  SCOPED_TRACE(std::string(mode == M::latest ? "latest" : "queue") + " busy " + std::to_string(busy_periods));
  morvane::testing::VirtualCameraRig rig({clocked_config(0, 200, -300, mode)});
  Device device = open_camera(0);
  ImuStream stream = std::move(*open_imu_stream(device).value);
  Judge judge{&rig.camera()};
  for (int i = 0; i < 12000; ++i) {
    Result<ImuStreamSample> s = stream.next();
    ASSERT_TRUE(s.ok()) << s.message;
    judge.add(*s.value, stream.clock_estimate());
    rig.clock().advance_ns(static_cast<std::uint64_t>(busy_periods * 5e6));
  }
  judge.expect_sound();
}

TEST(ImuStreamBeyondTableRuns, BusyCallerLatest) {
  for (double busy : {0.5, 1.0, 1.5}) stream_with_busy_caller(M::latest, busy);
}

// A queue-mode caller slower than the device: the queue stays full, samples
// are lost (counted right), but every sample is stamped about 155 ms late
// (the 32-sample backlog). No read ever sees a sample twice, so nothing
// bounds an instant from below, and the fit no longer locks on arrivals
// alone (none overconfident; once locked with a 1.2-1.8 ms band), but the
// stamps are no better.
TEST(ImuStreamBeyondTableRuns, DISABLED_BusyCallerQueue) {
  stream_with_busy_caller(M::queue, 0.5);  // keeps up: sound
  for (double busy : {1.0, 1.5}) stream_with_busy_caller(M::queue, busy);
}

// Two cameras read from one thread, next() alternating (five samples of the
// 1000 Hz one per sample of the 200 Hz one). Latest mode holds; in queue
// mode the 200 Hz stream is read no faster than it fills, and its stamps sit
// ~100 ms late (none overconfident any more, the drift still far off).
void two_cameras(M mode) {
  morvane::testing::VirtualCameraRig rig({clocked_config(0, 1000, 80, mode), clocked_config(1, 200, -300, mode)});
  Device a = open_camera(0), b = open_camera(1);
  ImuStream sa = std::move(*open_imu_stream(a).value), sb = std::move(*open_imu_stream(b).value);
  Judge ja{&rig.camera(0)}, jb{&rig.camera(1)};
  for (int i = 0; i < 20000; ++i) {
    Result<ImuStreamSample> x = sa.next();
    ASSERT_TRUE(x.ok()) << x.message;
    ja.add(*x.value, sa.clock_estimate());
    if (i % 5 != 0) continue;
    Result<ImuStreamSample> y = sb.next();
    ASSERT_TRUE(y.ok()) << y.message;
    jb.add(*y.value, sb.clock_estimate());
  }
  ja.expect_sound();
  jb.expect_sound();
  EXPECT_NEAR(sb.clock_estimate().drift_ppm, -300, 5);
}

TEST(ImuStreamBeyondTableRuns, TwoCamerasOneThreadLatest) { two_cameras(M::latest); }
TEST(ImuStreamBeyondTableRuns, DISABLED_TwoCamerasOneThreadQueue) { two_cameras(M::queue); }

// The samples after a caller's pause in latest mode (`checked` of them; the
// first read after it finds a new sample, nothing bounds it from below): the
// band the estimate reports covers the stamp's error, locked or not, as it
// grows with the time the line is extrapolated over.
void band_after_pause(double pause_s, int checked, bool sound) {
  SCOPED_TRACE(pause_s);
  morvane::testing::VirtualCameraRig rig({clocked_config(0, 200, 80, M::latest)});
  Device device = open_camera(0);
  ImuStream stream = std::move(*open_imu_stream(device).value);
  Judge judge{&rig.camera()};
  for (int i = 0; i < 3000; ++i) {
    Result<ImuStreamSample> s = stream.next();
    ASSERT_TRUE(s.ok()) << s.message;
    judge.add(*s.value, stream.clock_estimate());
    if (i == 1500) rig.clock().advance_ns(static_cast<std::uint64_t>(pause_s * 1e9));
    if (i <= 1500 || i > 1500 + checked) continue;
    const emu::ImuSampleTruth t = rig.camera().imu_sample_truth(judge.index);
    const double error = std::fabs(static_cast<double>(s.value->time_ns) - static_cast<double>(t.taken_ns));
    EXPECT_LE(error, 2 * stream.clock_estimate().uncertainty_ns + 100e3) << "sample " << i;
  }
  if (sound) return judge.expect_sound();
  EXPECT_EQ(judge.phantom + judge.silent + judge.flagged + judge.backward + judge.after + judge.dup, 0u);
}

TEST(ImuStreamBeyondTableRuns, BandAfterAPauseCoversTheError) {
  for (double pause_s : {40.0, 600.0}) band_after_pause(pause_s, 5, true);
  band_after_pause(3600, 1, false);
}

// After an hour the second sample (bounded from both sides) agrees with the
// old line within its own bounds and is not refitted: the band stays 37 us
// while the stamps are 1027 us off, locked.
TEST(ImuStreamBeyondTableRuns, DISABLED_BandAfterAnHourCoversTheError) { band_after_pause(3600, 5, true); }

// Streams closed and opened again on the same device, and after
// close_imu()/open_imu(): each new one starts sound.
TEST(ImuStreamBeyondTableRuns, ReopenedStreams) {
  for (auto mode : {M::latest, M::queue}) {
    morvane::testing::VirtualCameraRig rig({clocked_config(0, 200, 80, mode)});
    Device device = open_camera(0);
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(round);
      Judge judge{&rig.camera()};
      {
        ImuStream stream = std::move(*open_imu_stream(device).value);
        for (int i = 0; i < 2500; ++i) {
          Result<ImuStreamSample> s = stream.next();
          ASSERT_TRUE(s.ok()) << s.message;
          judge.add(*s.value, stream.clock_estimate());
        }
        EXPECT_TRUE(stream.clock_estimate().rate_locked);
      }
      judge.expect_sound();
      rig.clock().advance_ns(300'000'000);
      if (round == 1) {
        ASSERT_TRUE(device.close_imu().ok());
        ASSERT_TRUE(device.open_imu().ok());
      }
    }
  }
}

// The video node's query failing now and then with `error`, or `burst`
// times in a row from the 1000th sample on.
class FlakyQuery final : public morvane::uvc_stereo::testing::ForwardingPlatform {
 public:
  using ForwardingPlatform::ForwardingPlatform;
  int video_ioctl(int fd, unsigned long request, void* arg) override {
    ++calls;
    if ((every > 0 && calls % every == 0) || (burst > 0 && burst-- > 0)) {
      errno = error;
      return -1;
    }
    return ForwardingPlatform::video_ioctl(fd, request, arg);
  }
  std::uint64_t calls = 0, every = 0;
  int burst = 0, error = 0;
};

// Returns the failure that ended the stream within 4000 samples ("" if none).
std::string stream_through_flaky_query(int error, std::uint64_t every, int burst, std::uint64_t* retries) {
  morvane::testing::VirtualCameraRig rig({clocked_config(0, 200, 80, M::latest)});
  FlakyQuery flaky(rig.platform());
  flaky.every = every;
  flaky.error = error;
  platform::ScopedPlatform installed(flaky);
  Device device = open_camera(0);
  ImuStream stream = std::move(*open_imu_stream(device).value);
  Judge judge{&rig.camera()};
  std::string failure;
  for (int i = 0; i < 4000 && failure.empty(); ++i) {
    if (i == 1000) flaky.burst = burst;
    Result<ImuStreamSample> s = stream.next();
    if (s.ok()) {
      judge.add(*s.value, stream.clock_estimate());
    } else {
      failure = s.message;
    }
  }
  judge.expect_sound();
  *retries = stream.stats().retries;
  return failure;
}

// Protocol errors: one in 50 queries all retried; three in a row retried;
// a fourth ends the stream with the error's message.
TEST(ImuStreamBeyondTableRuns, ProtocolErrorsRetriedABoundedNumberOfTimes) {
  std::uint64_t retries = 0;
  EXPECT_EQ(stream_through_flaky_query(EPROTO, 50, 0, &retries), "");
  EXPECT_GT(retries, 200u);
  EXPECT_EQ(stream_through_flaky_query(EPROTO, 0, 3, &retries), "");
  EXPECT_EQ(retries, 3u);
  EXPECT_EQ(stream_through_flaky_query(EPROTO, 0, 4, &retries), "UVCIOC_CTRL_QUERY /dev/video0 failed: Protocol error");
}

// Queries interrupted by a signal or refused for the moment (one in 50) are
// repeated without ending the stream; 100 in a row are too, a storm of 101
// ends it with the error's message.
TEST(ImuStreamBeyondTableRuns, InterruptedQueriesDoNotEndTheStream) {
  std::uint64_t retries = 0;
  EXPECT_EQ(stream_through_flaky_query(EINTR, 50, 0, &retries), "");
  EXPECT_GT(retries, 200u);
  EXPECT_EQ(stream_through_flaky_query(EAGAIN, 50, 0, &retries), "");
  EXPECT_EQ(stream_through_flaky_query(EINTR, 0, 100, &retries), "");
  EXPECT_EQ(retries, 100u);
  EXPECT_EQ(stream_through_flaky_query(EINTR, 0, 101, &retries),
            "UVCIOC_CTRL_QUERY /dev/video0 failed: Interrupted system call");
}

// Options NaN, infinite, negative or zero are refused with the option's
// range; -0.0 is the automatic rate.
TEST(ImuStreamBeyondTableRuns, HostileOptionValuesRefused) {
  morvane::testing::VirtualCameraRig rig({clocked_config(0, 200, 80, M::latest)});
  Device device = open_camera(0);
  const double nan = std::nan(""), inf = HUGE_VAL;
  struct Case {
    double rate, nominal, window;
    std::uint32_t stall;
    const char* message;
  };
  const Case cases[] = {
      {nan, 1e6, 30, 2000, "IMU stream option sample_rate_hz is out of range (valid: 0, or 1 to 10000)"},
      {-1, 1e6, 30, 2000, "IMU stream option sample_rate_hz is out of range (valid: 0, or 1 to 10000)"},
      {inf, 1e6, 30, 2000, "IMU stream option sample_rate_hz is out of range (valid: 0, or 1 to 10000)"},
      {0, nan, 30, 2000, "IMU stream option nominal_tick_rate_hz is out of range (valid: 1000 to 1e9)"},
      {0, -inf, 30, 2000, "IMU stream option nominal_tick_rate_hz is out of range (valid: 1000 to 1e9)"},
      {0, 1e6, nan, 2000, "IMU stream option estimation_window_s is out of range (valid: 2 to 600)"},
      {0, 1e6, inf, 2000, "IMU stream option estimation_window_s is out of range (valid: 2 to 600)"},
      {0, 1e6, 30, 0, "IMU stream option stall_timeout_ms is out of range (valid: 1 to 3600000)"},
      {-0.0, 1e6, 30, 2000, ""},
  };
  for (const Case& c : cases) {
    ImuStreamOptions options;
    options.sample_rate_hz = c.rate;
    options.nominal_tick_rate_hz = c.nominal;
    options.estimation_window_s = c.window;
    options.stall_timeout_ms = c.stall;
    Result<ImuStream> opened = open_imu_stream(device, options);
    EXPECT_EQ(opened.message, c.message);
    if (*c.message == '\0') {
      ASSERT_TRUE(opened.ok());
      Result<ImuStreamSample> s = opened.value->next();
      EXPECT_TRUE(s.ok()) << s.message;
    } else {
      EXPECT_EQ(opened.code, ErrorCode::invalid_argument);
    }
  }
}

// nominal_tick_rate_hz in range but far from the counter's rate (1000 or
// 1e8 for a 1 MHz counter): refused with the rate the counter shows, after
// the few samples the check takes (with nominal 1000 the stream would sleep
// ~5 s per sample, leave 2,193,146 misses uncounted over 6000 samples and be
// up to 31 s off).
TEST(ImuStreamBeyondTableRuns, NominalTickRateFarFromTheCounter) {
  for (double nominal : {1000.0, 1e8}) {
    SCOPED_TRACE(nominal);
    morvane::testing::VirtualCameraRig rig({clocked_config(0, 200, 80, M::latest)});
    Device device = open_camera(0);
    ImuStreamOptions options;
    options.nominal_tick_rate_hz = nominal;
    ImuStream stream = std::move(*open_imu_stream(device, options).value);
    Judge judge{&rig.camera()};
    Result<ImuStreamSample> s = stream.next();
    for (int i = 0; i < 300 && s.ok(); ++i) {
      judge.add(*s.value, stream.clock_estimate());
      s = stream.next();
    }
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.code, ErrorCode::invalid_argument);
    const std::string head =
        "IMU stream option nominal_tick_rate_hz does not match the device (its counter runs at about ";
    ASSERT_EQ(s.message.rfind(head, 0), 0u) << s.message;
    const double shown = std::atof(s.message.c_str() + head.size());
    EXPECT_GT(shown, 0.8e6) << s.message;
    EXPECT_LT(shown, 1.25e6) << s.message;
    EXPECT_EQ(stream.next().message, s.message);  // the stream has ended
    EXPECT_EQ(judge.unmatched, 0u);
  }
}

}  // namespace
