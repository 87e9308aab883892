// The IMU stream against a clocked virtual IMU on the virtual clock: every
// sample once and in order, honest timestamps, exact missed counts across
// counter wraps, both read behaviours, and reader failures passed through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "emulator/simulated_camera.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "support/imu_conditions.hpp"
#include "support/virtual_camera_fixture.hpp"

namespace morvane::testing {
// A failing condition names itself rather than dumping its bytes.
void PrintTo(const ImuCondition& c, std::ostream* os) { *os << c.name; }
}  // namespace morvane::testing

namespace {

using namespace morvane::uvc_stereo;
namespace emu = morvane::emulator;
using morvane::testing::VirtualCameraRig;

emu::CameraConfig clocked_camera(double rate_hz, double drift_ppm, emu::ImuReadMode mode) {
  emu::CameraConfig config = morvane::testing::default_camera_config();
  config.imu = emu::realistic_imu_config();
  config.imu.rate_hz = rate_hz;
  config.imu.drift_ppm = drift_ppm;
  config.imu.read_mode = mode;
  config.imu.counter_start = 0xFF000;  // the first wrap comes early
  return config;
}

Device open_camera() {
  OpenDeviceOptions options;
  options.required_capabilities = 0;
  Result<Device> device =
      open_device(morvane::testing::camera_record(morvane::testing::default_camera_config()), options);
  EXPECT_TRUE(device.ok()) << device.message;
  return std::move(*device.value);
}

// Index of a streamed sample in the device's own numbering, from its
// unwrapped counter and the first sample's index.
std::uint64_t index_of(const ImuStreamSample& s, const ImuStreamSample& first, std::uint64_t first_index,
                       double period_ticks) {
  const double ticks = static_cast<double>(s.device_counter - first.device_counter);
  return first_index + static_cast<std::uint64_t>(std::llround(ticks / period_ticks));
}

// The device's own record of the first streamed sample. The stream may read
// ahead before handing out its first sample, so go back from the latest
// sample the device returned by the counter distance (well under a wrap).
std::optional<emu::ImuSampleTruth> first_sample_truth(emu::VirtualCamera& camera, const ImuStreamSample& first,
                                                      double period_ticks) {
  const auto last = camera.imu_last_reply_truth();
  if (!last) return std::nullopt;
  const std::uint32_t ticks = (last->counter - first.raw.sensor_timestamp) & 0xFFFFF;
  const auto back = static_cast<std::uint64_t>(std::llround(ticks / period_ticks));
  if (back > last->index) return std::nullopt;
  return camera.imu_sample_truth(last->index - back);
}

struct StreamCase {
  const char* name;
  double rate_hz;
  double drift_ppm;
  emu::ImuReadMode mode;
  double seconds;
  std::uint32_t drop_one_in;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class ImuStreamProperties : public ::testing::TestWithParam<StreamCase> {};

// Every sample the device delivered comes out once, in order; every gap is
// counted exactly; time_ns never goes back, never passes the arrival, sits
// close to the true instant once the fit has settled, and the drift is found.
TEST_P(ImuStreamProperties, OnceEachMonotonicBoundedAndCounted) {
  const StreamCase& c = GetParam();
  emu::CameraConfig config = clocked_camera(c.rate_hz, c.drift_ppm, c.mode);
  config.imu.drop_one_in = c.drop_one_in;
  VirtualCameraRig rig({config});
  Device device = open_camera();
  Result<ImuStream> opened = open_imu_stream(device);
  ASSERT_TRUE(opened.ok()) << opened.message;
  ImuStream stream = std::move(*opened.value);

  const double period_ticks = config.imu.tick_rate_hz / c.rate_hz;
  Result<ImuStreamSample> first = stream.next();
  ASSERT_TRUE(first.ok()) << first.message;
  const auto first_truth = first_sample_truth(rig.camera(), *first.value, period_ticks);
  ASSERT_TRUE(first_truth.has_value());
  ASSERT_EQ(first_truth->counter, first.value->raw.sensor_timestamp);

  ImuStreamSample previous = *first.value;
  std::uint64_t previous_index = first_truth->index;
  std::uint64_t missed = 0, wraps = 0, dropped_seen = 0;
  double worst_error = 0, worst_settled_error = 0;
  const std::uint64_t settle_ns = first.value->host_ns + 3'000'000'000ULL;
  const std::uint64_t end_ns = first.value->host_ns + static_cast<std::uint64_t>(c.seconds * 1e9);
  while (previous.host_ns < end_ns) {
    Result<ImuStreamSample> got = stream.next();
    ASSERT_TRUE(got.ok()) << got.message;
    const ImuStreamSample& s = *got.value;
    ASSERT_EQ(s.sequence, previous.sequence + 1);
    ASSERT_GE(s.time_ns, previous.time_ns) << "sample " << s.sequence;
    ASSERT_LE(s.time_ns, s.host_ns) << "sample " << s.sequence;
    ASSERT_EQ(s.value.timestamp_ns, s.time_ns);
    ASSERT_GT(s.device_counter, previous.device_counter);
    ASSERT_EQ(s.device_counter & 0xFFFFF, s.raw.sensor_timestamp);

    const std::uint64_t index = index_of(s, *first.value, first_truth->index, period_ticks);
    const emu::ImuSampleTruth truth = rig.camera().imu_sample_truth(index);
    ASSERT_EQ(truth.counter, s.raw.sensor_timestamp) << "sample " << s.sequence << " is not device sample " << index;
    ASSERT_FALSE(truth.dropped);
    ASSERT_GT(index, previous_index) << "a sample came out twice";
    ASSERT_EQ(s.missed_before, index - previous_index - 1) << "sample " << s.sequence;
    for (std::uint64_t k = previous_index + 1; k < index; ++k) dropped_seen += rig.camera().imu_sample_truth(k).dropped;
    ASSERT_LE(truth.taken_ns, s.host_ns) << "the model delivered a sample before taking it";
    if ((s.device_counter >> 20) != (previous.device_counter >> 20)) ++wraps;
    const double error = std::fabs(static_cast<double>(s.time_ns) - static_cast<double>(truth.taken_ns));
    worst_error = std::max(worst_error, error);
    if (s.host_ns > settle_ns) worst_settled_error = std::max(worst_settled_error, error);
    missed += s.missed_before;
    previous = s;
    previous_index = index;
  }

  const ImuStreamStats stats = stream.stats();
  EXPECT_EQ(stats.samples, previous.sequence + 1);
  EXPECT_EQ(stats.missed, missed);
  EXPECT_GE(wraps, static_cast<std::uint64_t>(c.seconds * config.imu.tick_rate_hz / 1048576.0) - 1);
  if (c.drop_one_in > 0) {
    EXPECT_GT(dropped_seen, 0u) << "the case meant to lose samples lost none";
  }
  if (c.mode == emu::ImuReadMode::queue) {
    EXPECT_EQ(missed, dropped_seen) << "a queue loses only dropped samples";
  }
  // Accuracy on the virtual clock (not a speed figure): under 0.1-2 ms read
  // jitter the mapping stays well inside one read's latency from the first
  // sample on, and tighter once a few seconds are fitted.
  EXPECT_LT(worst_error, 300e3);
  EXPECT_LT(worst_settled_error, 100e3);

  const ImuClockEstimate estimate = stream.clock_estimate();
  EXPECT_TRUE(estimate.rate_locked);
  EXPECT_NEAR(estimate.drift_ppm, c.drift_ppm, 5.0);
  EXPECT_NEAR(estimate.sample_rate_hz, c.rate_hz * (1 + c.drift_ppm * 1e-6), c.rate_hz * 1e-4);
  EXPECT_GE(estimate.uncertainty_ns, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImuStreamProperties,
    ::testing::Values(StreamCase{"latest_200hz_fast", 200, 80, emu::ImuReadMode::latest, 12, 0},
                      StreamCase{"queue_200hz_fast_drops", 200, 80, emu::ImuReadMode::queue, 12, 50},
                      StreamCase{"latest_1000hz_slow_drops", 1000, -150, emu::ImuReadMode::latest, 8, 97},
                      StreamCase{"queue_1000hz_slow", 1000, -150, emu::ImuReadMode::queue, 8, 0}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

// A gap longer than a counter wrap: the host time that passed tells how many
// wraps the 20 bits hid, so the missed count is exact; meanwhile next()
// reports the stall without ending the stream.
TEST(ImuStream, LongGapAcrossWrapsIsCountedAndStallsAreReported) {
  for (emu::ImuReadMode mode : {emu::ImuReadMode::latest, emu::ImuReadMode::queue}) {
    SCOPED_TRACE(mode == emu::ImuReadMode::latest ? "latest" : "queue");
    VirtualCameraRig rig({clocked_camera(200, 80, mode)});
    Device device = open_camera();
    ImuStreamOptions options;
    options.stall_timeout_ms = 1000;
    Result<ImuStream> opened = open_imu_stream(device, options);
    ASSERT_TRUE(opened.ok()) << opened.message;
    ImuStream stream = std::move(*opened.value);
    ImuStreamSample last;
    for (int i = 0; i < 400; ++i) {
      Result<ImuStreamSample> s = stream.next();
      ASSERT_TRUE(s.ok()) << s.message;
      last = *s.value;
    }
    rig.camera().drop_next_imu_samples(700);  // 3.5 s: more than three wraps
    Result<ImuStreamSample> stalled = stream.next();
    EXPECT_EQ(stalled.code, ErrorCode::read_failed);
    EXPECT_EQ(stalled.message, "no new IMU sample within 1000 ms");
    Result<ImuStreamSample> resumed = stream.next();
    for (int i = 0; i < 3 && !resumed.ok(); ++i) resumed = stream.next();
    ASSERT_TRUE(resumed.ok()) << resumed.message;
    EXPECT_EQ(resumed.value->missed_before, 700u);
    EXPECT_EQ(resumed.value->sequence, last.sequence + 1);
    EXPECT_NEAR(static_cast<double>(resumed.value->device_counter - last.device_counter), 701 * 5000.0 * 1.0, 2.0);
    EXPECT_GE(stream.stats().stalls, 2u);
    EXPECT_LE(resumed.value->time_ns, resumed.value->host_ns);
    EXPECT_GE(resumed.value->time_ns, last.time_ns);
  }
}

// next_within() in a loop is next() with bounded waits: the very samples
// next() yields, read at the same instants (a wait a deadline cut short goes
// on in the next call), with the calls coming back empty in between; and the
// stall timeout counted across them from the first call of the wait, so a
// gap is reported as next() reports it and its missed count stays exact.
TEST(ImuStream, BoundedWaitsYieldEverySampleAndCarryTheStallClock) {
  for (emu::ImuReadMode mode : {emu::ImuReadMode::latest, emu::ImuReadMode::queue}) {
    SCOPED_TRACE(mode == emu::ImuReadMode::latest ? "latest" : "queue");
    ImuStreamOptions options;
    options.stall_timeout_ms = 1000;
    std::vector<ImuStreamSample> unbounded;
    {
      VirtualCameraRig rig({clocked_camera(200, 80, mode)});
      Device device = open_camera();
      Result<ImuStream> opened = open_imu_stream(device, options);
      ASSERT_TRUE(opened.ok()) << opened.message;
      Result<std::size_t> got = opened.value->next_batch(400, unbounded);
      ASSERT_TRUE(got.ok()) << got.message;
    }
    VirtualCameraRig rig({clocked_camera(200, 80, mode)});
    Device device = open_camera();
    Result<ImuStream> opened = open_imu_stream(device, options);
    ASSERT_TRUE(opened.ok()) << opened.message;
    ImuStream stream = std::move(*opened.value);
    // Waits of `wait_ms` until a sample or a failure; counts the empty ones.
    std::uint64_t empty = 0;
    const auto take = [&](std::uint32_t wait_ms) {
      for (;;) {
        auto got = stream.next_within(wait_ms);
        if (!got.ok()) return Result<ImuStreamSample>::forward(got);
        if (*got.value) return Result<ImuStreamSample>::success(std::move(**got.value));
        ++empty;
      }
    };
    ImuStreamSample last;
    for (const ImuStreamSample& expected : unbounded) {
      Result<ImuStreamSample> s = take(1);
      ASSERT_TRUE(s.ok()) << s.message;
      EXPECT_EQ(s.value->sequence, expected.sequence);
      EXPECT_EQ(s.value->device_counter, expected.device_counter);
      EXPECT_EQ(s.value->host_ns, expected.host_ns) << expected.sequence;
      EXPECT_EQ(s.value->time_ns, expected.time_ns) << expected.sequence;
      last = *s.value;
    }
    EXPECT_GT(empty, 400u);  // most samples came after more than 1 ms of waiting
    EXPECT_EQ(stream.stats().stalls, 0u);

    rig.camera().drop_next_imu_samples(700);  // 3.5 s
    empty = 0;
    const std::uint64_t wait_began = rig.platform().clock().now_ns();
    Result<ImuStreamSample> stalled = take(10);
    EXPECT_EQ(stalled.code, ErrorCode::read_failed);
    EXPECT_EQ(stalled.message, "no new IMU sample within 1000 ms");
    EXPECT_GE(rig.platform().clock().now_ns() - wait_began, 1000000000u);
    EXPECT_GE(empty, 95u);
    int stalls = 1;
    Result<ImuStreamSample> resumed = take(10);
    for (; !resumed.ok() && stalls < 5; ++stalls) resumed = take(10);
    ASSERT_TRUE(resumed.ok()) << resumed.message;
    EXPECT_EQ(stream.stats().stalls, static_cast<std::uint64_t>(stalls));
    EXPECT_EQ(stalls, 3);  // at 1, 2 and 3 s of the 3.5 s gap
    EXPECT_EQ(resumed.value->missed_before, 700u);
    EXPECT_EQ(resumed.value->sequence, last.sequence + 1);
  }
}

// An IMU that takes a new sample for every request (and reads that take no
// time) never repeats itself: the stream hands out every reply once, with
// the counter unwrapped at the device's step, and stays honest about time.
TEST(ImuStream, PerRequestImuStreamsEveryReply) {
  emu::CameraConfig config = morvane::testing::default_camera_config();
  config.imu.counter_step = 1000;
  config.imu.counter_start = 0xFFC00;
  VirtualCameraRig rig({config});
  Device device = open_camera();
  Result<ImuStream> opened = open_imu_stream(device);
  ASSERT_TRUE(opened.ok()) << opened.message;
  ImuStream stream = std::move(*opened.value);
  std::vector<ImuStreamSample> out;
  Result<std::size_t> got = stream.next_batch(600, out);
  ASSERT_TRUE(got.ok()) << got.message;
  ASSERT_EQ(out.size(), 600u);
  for (std::size_t i = 1; i < out.size(); ++i) {
    EXPECT_EQ(out[i].device_counter - out[i - 1].device_counter, 1000u) << i;
    EXPECT_EQ(out[i].missed_before, 0u);
    EXPECT_GE(out[i].time_ns, out[i - 1].time_ns);
    EXPECT_LE(out[i].time_ns, out[i].host_ns);
  }
  EXPECT_EQ(stream.stats().duplicates, 0u);
  EXPECT_EQ(stream.stats().reads, rig.camera().imu_samples_served());
  EXPECT_GE(stream.stats().reads, 600u);
}

// Reader failures end the stream with the reader's own code and message,
// every later call returns them again, and nothing stays open.
TEST(ImuStream, ReaderFailuresEndTheStreamUnchanged) {
  struct FailureCase {
    const char* name;
    void (*inject)(emu::VirtualCamera&, Device&);
    ErrorCode code;
    std::string message;
  };
  const FailureCase cases[] = {
      {"init failure", [](emu::VirtualCamera& c, Device&) { c.set_imu_status(emu::ImuStatus::init_failure); },
       ErrorCode::device_unavailable, "IMU device reported initialization failure"},
      {"read failure", [](emu::VirtualCamera& c, Device&) { c.fail_next_imu_samples(1, emu::ImuStatus::read_failure); },
       ErrorCode::read_failed, "IMU device reported read failure"},
      {"vanished node", [](emu::VirtualCamera& c, Device&) { c.unplug(); }, ErrorCode::io_error,
       "UVCIOC_CTRL_QUERY /dev/video0 failed: No such device"},
      {"IMU closed", [](emu::VirtualCamera&, Device& d) { ASSERT_TRUE(d.close_imu().ok()); },
       ErrorCode::invalid_argument, "IMU is not open"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualCameraRig rig({clocked_camera(200, 80, emu::ImuReadMode::latest)});
    Device device = open_camera();
    Result<ImuStream> opened = open_imu_stream(device);
    ASSERT_TRUE(opened.ok()) << opened.message;
    ImuStream stream = std::move(*opened.value);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(stream.next().ok());
    c.inject(rig.camera(), device);
    // Samples read before the failure still come out first.
    Result<ImuStreamSample> failed = stream.next();
    std::uint64_t sequence = 2;
    while (failed.ok() && sequence < 300) {
      EXPECT_EQ(failed.value->sequence, ++sequence);
      failed = stream.next();
    }
    for (int call = 0; call < 2; ++call, failed = stream.next()) {
      EXPECT_EQ(failed.code, c.code);
      EXPECT_EQ(failed.message, c.message);
      EXPECT_FALSE(failed.value.has_value());
    }
    std::vector<ImuStreamSample> batch;
    Result<std::size_t> after = stream.next_batch(4, batch);
    EXPECT_EQ(after.code, c.code);
    EXPECT_TRUE(batch.empty());
    const std::uint64_t reads = stream.stats().reads;
    EXPECT_FALSE(stream.next().ok());
    EXPECT_EQ(stream.stats().reads, reads) << "an ended stream reads no more";
    EXPECT_TRUE(device.close_imu().ok());
    EXPECT_EQ(rig.platform().open_video_fd_count(), 0u);
  }
}

// A batch keeps what it read before a failure; the failure comes next.
TEST(ImuStream, BatchKeepsSamplesReadBeforeAFailure) {
  VirtualCameraRig rig({clocked_camera(1000, -150, emu::ImuReadMode::queue)});
  Device device = open_camera();
  Result<ImuStream> opened = open_imu_stream(device);
  ASSERT_TRUE(opened.ok()) << opened.message;
  ImuStream stream = std::move(*opened.value);
  std::vector<ImuStreamSample> out;
  Result<std::size_t> got = stream.next_batch(50, out);
  ASSERT_TRUE(got.ok()) << got.message;
  ASSERT_EQ(*got.value, 50u);
  ASSERT_EQ(out.size(), 50u);
  for (std::size_t i = 1; i < out.size(); ++i) {
    EXPECT_EQ(out[i].sequence, out[i - 1].sequence + 1);
    EXPECT_GE(out[i].time_ns, out[i - 1].time_ns);
  }

  int reads_left = 5;
  rig.camera().fail_transfers_matching(
      [&reads_left](const emu::TransferRequest& r) { return r.value == 0x0A00 && --reads_left < 0; },
      LIBUSB_ERROR_PIPE);
  // A count far beyond what memory holds: nothing is reserved for it up front.
  Result<std::size_t> partial = stream.next_batch(out.max_size(), out);
  ASSERT_TRUE(partial.ok()) << partial.message;
  EXPECT_GT(*partial.value, 0u);
  EXPECT_LT(*partial.value, 100u);
  EXPECT_EQ(out.size(), 50u + *partial.value);
  for (std::size_t i = 50; i < out.size(); ++i) EXPECT_EQ(out[i].sequence, i);
  Result<std::size_t> failed = stream.next_batch(100, out);
  EXPECT_EQ(failed.code, ErrorCode::io_error);
  EXPECT_EQ(failed.message, "UVCIOC_CTRL_QUERY /dev/video0 failed: Broken pipe");
  EXPECT_EQ(out.size(), 50u + *partial.value);
  EXPECT_EQ(stream.next().message, failed.message);
}

// Bad options are refused before the device is touched; a closed stream
// refuses every call.
TEST(ImuStream, BadOptionsAndClosedStreams) {
  struct OptionCase {
    const char* name;
    void (*set)(ImuStreamOptions&);
  };
  const OptionCase cases[] = {
      {"sample_rate_hz", [](ImuStreamOptions& o) { o.sample_rate_hz = -1; }},
      {"sample_rate_hz", [](ImuStreamOptions& o) { o.sample_rate_hz = std::nan(""); }},
      {"sample_rate_hz", [](ImuStreamOptions& o) { o.sample_rate_hz = 1.0; }},  // a period beyond half a wrap
      {"nominal_tick_rate_hz", [](ImuStreamOptions& o) { o.nominal_tick_rate_hz = 0; }},
      {"nominal_tick_rate_hz", [](ImuStreamOptions& o) { o.nominal_tick_rate_hz = INFINITY; }},
      {"estimation_window_s", [](ImuStreamOptions& o) { o.estimation_window_s = 1.0; }},
      {"stall_timeout_ms", [](ImuStreamOptions& o) { o.stall_timeout_ms = 0; }},
  };
  VirtualCameraRig rig({clocked_camera(200, 80, emu::ImuReadMode::latest)});
  Device device = open_camera();
  for (const OptionCase& c : cases) {
    ImuStreamOptions options;
    c.set(options);
    const std::uint64_t transfers = rig.camera().transfer_count();
    Result<ImuStream> refused = open_imu_stream(device, options);
    EXPECT_EQ(refused.code, ErrorCode::invalid_argument);
    EXPECT_EQ(refused.message.rfind(std::string("IMU stream option ") + c.name + " is out of range (valid: ", 0), 0u)
        << refused.message;
    EXPECT_EQ(rig.camera().transfer_count(), transfers);
    EXPECT_FALSE(device.has_imu_transport());
  }

  ImuStream closed;
  EXPECT_FALSE(closed.is_open());
  EXPECT_EQ(closed.next().message, "IMU stream is closed or moved-from");
  std::vector<ImuStreamSample> out;
  EXPECT_EQ(closed.next_batch(3, out).code, ErrorCode::invalid_argument);
  EXPECT_EQ(closed.clock_estimate().tick_rate_hz, 0.0);

  Result<ImuStream> opened = open_imu_stream(device);
  ASSERT_TRUE(opened.ok()) << opened.message;
  EXPECT_TRUE(device.has_imu_transport());
  ImuStream moved = std::move(*opened.value);
  EXPECT_EQ(opened.value->next().message, "IMU stream is closed or moved-from");
  EXPECT_TRUE(moved.next().ok());

  Device gone = std::move(device);
  Result<ImuStream> on_moved = open_imu_stream(device);
  EXPECT_EQ(on_moved.message, "device is closed or moved-from");
}

// A transient transfer error is retried and the stream goes on; one that
// persists past the retries still ends it with its own code and message.
// An explicit sample rate the counter spacing refutes ends the stream with a
// clear error instead of miscounting every gap.
TEST(ImuStream, TransientErrorsRetriedAndWrongRatesRefused) {
  {
    VirtualCameraRig rig({clocked_camera(200, 80, emu::ImuReadMode::latest)});
    Device device = open_camera();
    ImuStream stream = std::move(*open_imu_stream(device).value);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(stream.next().ok());
    const auto imu_query = [](const emu::TransferRequest& r) { return r.value == 0x0A00; };
    rig.camera().fail_transfers_matching(imu_query, LIBUSB_ERROR_IO, 1);
    std::uint64_t previous = 0;
    for (int i = 0; i < 20; ++i) {
      Result<ImuStreamSample> s = stream.next();
      ASSERT_TRUE(s.ok()) << s.message;
      EXPECT_TRUE(i == 0 || s.value->sequence == previous + 1);
      previous = s.value->sequence;
    }
    EXPECT_EQ(stream.stats().retries, 1u);
    rig.camera().fail_transfers_matching(imu_query, LIBUSB_ERROR_IO, 4);
    Result<ImuStreamSample> failed = stream.next();
    for (int i = 0; i < 300 && failed.ok(); ++i) failed = stream.next();
    EXPECT_EQ(failed.code, ErrorCode::io_error);
    EXPECT_EQ(failed.message, "UVCIOC_CTRL_QUERY /dev/video0 failed: Input/output error");
    EXPECT_EQ(stream.stats().retries, 4u);
  }
  struct RateCase {
    double device_hz, option_hz;
    const char* message;  // empty: accepted
  };
  const RateCase cases[] = {
      {200, 200, ""},
      {200, 100, "IMU stream option sample_rate_hz does not match the device (its counter spacing gives 200.0 Hz)"},
      {500, 1000, "IMU stream option sample_rate_hz does not match the device (its counter spacing gives 500.0 Hz)"},
  };
  for (const RateCase& c : cases) {
    SCOPED_TRACE(c.option_hz);
    VirtualCameraRig rig({clocked_camera(c.device_hz, 80, emu::ImuReadMode::latest)});
    Device device = open_camera();
    ImuStreamOptions options;
    options.sample_rate_hz = c.option_hz;
    ImuStream stream = std::move(*open_imu_stream(device, options).value);
    Result<ImuStreamSample> s = stream.next();
    std::uint64_t missed = 0;
    for (int i = 0; i < 200 && s.ok(); ++i) missed += s.value->missed_before, s = stream.next();
    EXPECT_EQ(s.message, c.message);
    if (s.ok()) {
      EXPECT_EQ(missed, 0u);
    } else {
      EXPECT_EQ(s.code, ErrorCode::invalid_argument);
    }
  }
}

// Transfer errors the bus recovers from, on the video node as the UVC driver
// reports them: one EPROTO (the reply lost after the device answered, so a
// queueing IMU has handed that sample out), one EIO (the request never got
// there), then as many in a row as the stream retries. The stream goes on
// with every sample once and in order and every gap counted against the
// device's record, the sample lost with its reply counted once; one error
// more in a row ends it with that read's code and message. A vanished
// device ends it at once, with no retry.
TEST(ImuStream, TransientErrorsRetriedVanishedDeviceEndsAtOnce) {
  for (emu::ImuReadMode mode : {emu::ImuReadMode::latest, emu::ImuReadMode::queue}) {
    SCOPED_TRACE(mode == emu::ImuReadMode::latest ? "latest" : "queue");
    const emu::CameraConfig config = clocked_camera(1000, -150, mode);
    const double period_ticks = config.imu.tick_rate_hz / config.imu.rate_hz;
    VirtualCameraRig rig({config});
    emu::VirtualPlatform& platform = rig.platform();
    Device device = open_camera();
    ImuStream stream = std::move(*open_imu_stream(device).value);
    Result<ImuStreamSample> first = stream.next();
    ASSERT_TRUE(first.ok()) << first.message;
    const auto first_truth = first_sample_truth(rig.camera(), *first.value, period_ticks);
    ASSERT_TRUE(first_truth.has_value());
    ImuStreamSample previous = *first.value;
    std::uint64_t previous_index = first_truth->index;
    const auto check = [&](const ImuStreamSample& s) {
      const std::uint64_t index = index_of(s, *first.value, first_truth->index, period_ticks);
      ASSERT_EQ(rig.camera().imu_sample_truth(index).counter, s.raw.sensor_timestamp) << "sample " << s.sequence;
      ASSERT_EQ(s.sequence, previous.sequence + 1);
      ASSERT_GT(index, previous_index) << "a sample came out twice";
      ASSERT_EQ(s.missed_before, index - previous_index - 1) << "sample " << s.sequence;
      ASSERT_FALSE(s.discontinuity);
      ASSERT_GE(s.time_ns, previous.time_ns);
      ASSERT_LE(s.time_ns, s.host_ns);
      previous = s;
      previous_index = index;
    };
    const auto take = [&](int count) {
      for (int i = 0; i < count; ++i) {
        Result<ImuStreamSample> got = stream.next();
        ASSERT_TRUE(got.ok()) << got.message;
        ASSERT_NO_FATAL_FAILURE(check(*got.value));
      }
    };
    ASSERT_NO_FATAL_FAILURE(take(50));
    platform.fail_next_imu_queries(0, EPROTO, 1, true);
    ASSERT_NO_FATAL_FAILURE(take(30));
    platform.fail_next_imu_queries(0, EIO);
    ASSERT_NO_FATAL_FAILURE(take(30));
    platform.fail_next_imu_queries(0, EPROTO, 1, true);
    platform.fail_next_imu_queries(0, EIO);
    platform.fail_next_imu_queries(0, EPROTO, 1, true);
    ASSERT_NO_FATAL_FAILURE(take(30));
    EXPECT_EQ(stream.stats().retries, 5u);

    platform.fail_next_imu_queries(0, EIO);
    platform.fail_next_imu_queries(0, EPROTO, 1, true);
    platform.fail_next_imu_queries(0, EIO);
    platform.fail_next_imu_queries(0, EPROTO, 1, true);
    Result<ImuStreamSample> failed = stream.next();
    for (int i = 0; i < 300 && failed.ok(); ++i) {
      ASSERT_NO_FATAL_FAILURE(check(*failed.value));  // read before the errors
      failed = stream.next();
    }
    EXPECT_EQ(failed.code, ErrorCode::io_error);
    EXPECT_EQ(failed.message, "UVCIOC_CTRL_QUERY /dev/video0 failed: Protocol error");
    EXPECT_EQ(stream.stats().retries, 8u);
    const std::uint64_t reads = stream.stats().reads;
    EXPECT_EQ(stream.next().message, failed.message);
    EXPECT_EQ(stream.stats().reads, reads) << "an ended stream reads no more";
  }

  VirtualCameraRig rig({clocked_camera(1000, -150, emu::ImuReadMode::queue)});
  Device device = open_camera();
  ImuStream stream = std::move(*open_imu_stream(device).value);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(stream.next().ok());
  const ImuStreamStats before = stream.stats();
  rig.camera().unplug();
  Result<ImuStreamSample> failed = stream.next();
  for (int i = 0; i < 300 && failed.ok(); ++i) failed = stream.next();
  EXPECT_EQ(failed.code, ErrorCode::io_error);
  EXPECT_EQ(failed.message, "UVCIOC_CTRL_QUERY /dev/video0 failed: No such device");
  EXPECT_EQ(stream.stats().retries, before.retries);
  EXPECT_EQ(stream.stats().reads, before.reads + 1) << "a vanished device is read once";
  EXPECT_TRUE(device.close_imu().ok());
  EXPECT_EQ(rig.platform().open_video_fd_count(), 0u);
}

// The stream under each scripted host and device condition, judged against
// the device's truth: never out of order, never a stamp after its arrival,
// every missed sample counted (or the sample flagged when the counter cannot
// tell), stamps within 1 ms of the truth from 3 s after a disturbance and
// within 50 us at p99 once settled, and a clock estimate that does not claim
// a lock while its stamps are off by more than its band (and, once settled,
// a band that holds every stamp's error).
class ImuStreamConditions : public ::testing::TestWithParam<morvane::testing::ImuCondition> {};

TEST_P(ImuStreamConditions, OrderedCountedAccurateAndHonest) {
  const morvane::testing::ImuCondition& c = GetParam();
  const morvane::testing::ImuRunResult r = morvane::testing::run_imu_condition(c);
  ASSERT_EQ(r.failure, "");
  EXPECT_GE(r.streamed_s, c.seconds);
  EXPECT_EQ(r.backward, 0u);
  EXPECT_EQ(r.after_arrival, 0u);
  EXPECT_EQ(r.duplicates, 0u);
  EXPECT_EQ(r.phantom, 0u);
  EXPECT_EQ(r.silent, 0u);
  EXPECT_EQ(r.overconfident, 0u);
  EXPECT_EQ(r.beyond_band, 0u) << "settled stamps outside the band uncertainty_ns reports";
  EXPECT_LE(r.settled_p99_us, c.settled_p99_limit_us);
  EXPECT_LE(r.settled_max_us, 1000.0);
  EXPECT_TRUE(r.rate_locked);
  // The drift found lies within what the device's drift was over the last
  // 12 s (a changing drift is followed, not pinned to the past).
  double low = c.drift_at(r.end_s), high = low;
  for (double t = r.end_s - 12; t < r.end_s; t += 0.25) {
    low = std::min(low, c.drift_at(t));
    high = std::max(high, c.drift_at(t));
  }
  const double margin = std::max(5.0, 1e-3 * std::fabs(high));
  EXPECT_GE(r.drift_ppm, low - margin);
  EXPECT_LE(r.drift_ppm, high + margin);
  // Only a device clock step or a reply later than a wrap leaves the count
  // unknowable: flagged, once.
  EXPECT_EQ(r.flagged,
            c.expected_flags >= 0 ? static_cast<std::uint64_t>(c.expected_flags) : c.imu.script.steps.size());
}

INSTANTIATE_TEST_SUITE_P(Table, ImuStreamConditions, ::testing::ValuesIn(morvane::testing::imu_conditions()),
                         [](const ::testing::TestParamInfo<morvane::testing::ImuCondition>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

}  // namespace
