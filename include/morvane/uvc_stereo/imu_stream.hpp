// The IMU stream: every device sample exactly once, with its 20-bit counter
// unwrapped and its instant placed on the host's monotonic clock (the clock
// V4L2 stamps video frames with).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/export.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"

namespace morvane::uvc_stereo {

struct ImuStreamOptions {
  // Expected sample rate in Hz. 0: measured from the counter spacing (the
  // largest period every spacing seen is a whole multiple of; the usual
  // choice). Otherwise 1 to 10000, and the counter spacing is taken as
  // nominal_tick_rate_hz / sample_rate_hz ticks; once 32 spacings are seen
  // it is checked against them, and a rate more than 1% off ends the stream
  // with invalid_argument "IMU stream option sample_rate_hz does not match
  // the device (its counter spacing gives <N> Hz)". A rate that passes is
  // used until then; from the check on, misses are counted on the spacing
  // the counter shows.
  double sample_rate_hz = 0.0;
  // Nominal rate of the device counter in ticks per second (1 MHz on these
  // cameras: the 20-bit counter wraps about once a second). The stream
  // estimates the true rate; this is its starting point and the reference
  // the drift is given against. 1000 to 1e9. Device clocks up to
  // +-20000 ppm (2%) off nominal are fitted; beyond, the rate is not
  // fitted and rate_locked stays false. In the first second of samples
  // bounded from both sides (a read that still returned the previous sample,
  // then the new one) the counter's rate is checked: one those bounds put
  // more than 10% off nominal ends the stream with invalid_argument "IMU
  // stream option nominal_tick_rate_hz does not match the device (its
  // counter runs at about <N> Hz)".
  double nominal_tick_rate_hz = 1e6;
  // How much past the clock estimate looks back, in seconds: long enough to
  // average the host's read jitter out, short enough to follow the drift of
  // the device's oscillator. 2 to 600.
  double estimation_window_s = 30.0;
  // next() and next_batch() give up with read_failed "no new IMU sample
  // within <N> ms" when the device delivers nothing new for this long (the
  // stream stays usable). 1 to 3 600 000.
  std::uint32_t stall_timeout_ms = 2000;
  // Scale factors for ImuStreamSample::value.
  ImuConversionOptions conversion;
};

// One device sample as the stream yields it.
struct ImuStreamSample {
  // The reply as Device::read_imu() returned it; raw.timestamp_ns is the
  // midpoint of that read and raw.sensor_timestamp the 20-bit counter.
  ReadImuResult raw;
  // convert_imu(raw, options.conversion), except that value.timestamp_ns is
  // time_ns below.
  ImuSample value;
  // CLOCK_MONOTONIC nanoseconds at which the read that returned the sample
  // came back.
  std::uint64_t host_ns = 0;
  // The device counter with its wraps counted: the first sample's 20-bit
  // value, then growing by each sample's tick distance from the previous.
  std::uint64_t device_counter = 0;
  // The sample's instant on the host's CLOCK_MONOTONIC, in nanoseconds, from
  // the clock estimate. Never decreases from one sample to the next and is
  // never later than host_ns.
  std::uint64_t time_ns = 0;
  // 0 for the first sample yielded, then one more per sample yielded.
  std::uint64_t sequence = 0;
  // Samples the device took between the previous yielded sample and this
  // one that the stream never received (from the counter spacing). 0 and
  // unknown when discontinuity is set.
  std::uint64_t missed_before = 0;
  // True when the device counter does not follow from the previous sample:
  // the device clock jumped against the host's (the host slept while the
  // camera counted on, the device reset; also told, once the sample period
  // is known and the fit locked, by a counter spacing that is no whole
  // number of periods, as after a jump of about a whole number of wraps),
  // or a read lasted so long that the wraps the 20 bits hide cannot be told. device_counter then grows by the
  // 20-bit distance only (or, after a long read, the wrap nearest the
  // read's start), missed_before is unknown (0). After a jump the clock
  // estimate starts again from this sample (its rate kept, rate_locked false
  // until 2 s more are fitted).
  bool discontinuity = false;
};

// The current mapping from device ticks to host time, and what the stream
// has seen.
struct ImuClockEstimate {
  // Estimated device ticks per host second, and its deviation from
  // nominal_tick_rate_hz in parts per million (positive: the device clock
  // runs fast).
  double tick_rate_hz = 0.0;
  double drift_ppm = 0.0;
  // Samples per host second (from the counter spacing and tick_rate_hz).
  double sample_rate_hz = 0.0;
  // The mapping itself: time_ns = offset_ns + (device_counter -
  // reference_counter) * 1e9 / tick_rate_hz, before the clamps to host_ns
  // and to the previous time_ns.
  std::uint64_t reference_counter = 0;
  std::int64_t offset_ns = 0;
  // How far the mapped instants may be off, in ns, as the samples of the
  // last 2 s tell: half the band they lie in (between a read that still saw
  // the previous sample and the arrival of the new one), plus how far every
  // one of them arrived above the mapping when none arrived on it; or, with
  // no such reads lately, the typical distance of the arrivals above the
  // mapping (an estimate, not a bound: nothing bounds the instants from
  // below then); plus however far recent samples contradict the mapping;
  // plus how far the rate's uncertainty carries the mapping over the time
  // since the newest sample bounded from both sides (after a pause, or
  // while every read finds a new sample). The rate's own error across those
  // 2 s is not in it: it stays within a few microseconds unless
  // estimation_window_s is near its minimum. When reads take longer than
  // the sample period, few of them see a sample twice and those bound the
  // next sample only loosely (it is usually several periods on): the band
  // widens to about the read time, and the stamps are as close as it says
  // and no closer (1000 Hz with reads of 1.2 to 3 ms: about 0.85 ms, the
  // stamps about 0.5 ms early).
  double uncertainty_ns = 0.0;
  // True once the samples bounded from both sides (a read that still saw
  // the previous sample, then the arrival) span enough time (2 s) for
  // tick_rate_hz to be fitted rather than taken from nominal_tick_rate_hz
  // (arrivals alone may come bunched, as a backlog drained after a pause,
  // and are no evidence of the rate), the fitted rate is within 2% of
  // nominal, and the recent samples do not contradict the mapping by more
  // than 100 us.
  bool rate_locked = false;
};

struct ImuStreamStats {
  std::uint64_t samples = 0;          // samples handed out
  std::uint64_t reads = 0;            // Device::read_imu() calls made
  std::uint64_t duplicates = 0;       // reads that returned the sample already yielded (dropped)
  std::uint64_t missed = 0;           // sum of missed_before over the samples handed out
  std::uint64_t stalls = 0;           // stall_timeout_ms failures returned
  std::uint64_t discontinuities = 0;  // samples handed out with discontinuity set
  std::uint64_t retries = 0;          // reads repeated after a transient or interrupted query
};

// Reads the IMU of an open Device as a stream of samples. The stream polls
// on the caller's thread (the SDK starts no thread): next() sleeps until the
// next sample is due, then reads, reading again a little later while the
// device still returns the previous sample. It works with cameras whose IMU
// returns the latest sample on every request and with cameras that queue
// samples and return each once, without being told which.
//
// The clock estimate is a fit over the lower envelope of the arrival times
// (a sample never arrives before it was taken) and the upper envelope of the
// starts of the reads that still returned the previous sample (a sample not
// yet seen was not yet taken), over the last estimation_window_s seconds
// (longer after a pause, until newer samples span 4 s). The counter's wraps
// are counted from that fitted clock: a reply may reach the caller up to
// about a wrap (1 s) after its sample was taken. A sample that arrives far
// later than the fit expects, with no read bounding it from below, is held
// back until a later sample shows whether the device clock jumped.
//
// The stream uses the Device it was opened on and must not outlive it, nor
// be used while something else reads that device's IMU. It never closes the
// IMU: Device::close_imu() does, and the stream then fails its next read.
//
// A stream that has ended stays ended. To read on, open a new stream (after
// Device::close_imu() and open_imu() when the node went away): it fits the
// device clock afresh, its stamps within about a read's latency from the
// first sample and rate_locked after 2 s. The old fit is not carried over.
// A failure that retries do not cure mostly means the camera went away or
// its IMU failed, and a camera that was replugged or reset counts again
// from its power-on value, while one that stayed powered counted on. Only
// the counter could tell which across the gap, by landing where the old
// mapping predicts; but a restarted counter lands within the few
// milliseconds that check allows now and then (its 20 bits wrap about once
// a second), and the stream would then report a confident, wrong count of
// missed samples instead of a discontinuity.
// Move-only; a moved-from stream fails with invalid_argument "IMU stream is
// closed or moved-from". Not thread-safe: one stream, one thread at a time.
class MORVANE_UVC_STEREO_API ImuStream {
 public:
  struct Impl;

  ImuStream() noexcept;  // closed
  explicit ImuStream(std::unique_ptr<Impl> impl) noexcept;
  ImuStream(ImuStream&&) noexcept;
  ImuStream& operator=(ImuStream&&) noexcept;
  ImuStream(const ImuStream&) = delete;
  ImuStream& operator=(const ImuStream&) = delete;
  ~ImuStream();

  // The next sample, blocking until the device delivers one. The first call
  // takes a few samples in before it returns (until several have arrived
  // right after a read that found nothing new, at most 256 samples or
  // 250 ms), so that the first instants come from a fit rather than from
  // arrival times; later calls hand those out without reading.
  // Fails: invalid_argument "IMU stream is closed or moved-from";
  //        read_failed "no new IMU sample within <N> ms" (the stream stays
  //        usable and the next call waits again);
  //        invalid_argument "IMU stream option sample_rate_hz does not
  //        match the device (its counter spacing gives <N> Hz)" or
  //        "IMU stream option nominal_tick_rate_hz does not match the device
  //        (its counter runs at about <N> Hz)" (ends the stream);
  //        a failed read's code and message unchanged (device_unavailable
  //        "IMU device reported initialization failure", read_failed "IMU
  //        device reported read failure", io_error "UVCIOC_CTRL_QUERY <node>
  //        failed: ..." for a vanished node, invalid_argument "IMU is not
  //        open" after close_imu(), ...). A read failing with a transient
  //        transfer error (io_error ending "Protocol error" or
  //        "Input/output error") is retried up to 3 times, 1 ms apart, and
  //        the stream goes on as if the read had been slow: no sample twice,
  //        the clock estimate kept, a sample whose reply was lost counted in
  //        the next sample's missed_before. A query interrupted by a signal
  //        or refused for the moment (io_error ending "Interrupted system
  //        call" or "Resource temporarily unavailable") is repeated 100 us
  //        later without counting against those 3, up to 100 times in a
  //        row. Any other failed read (a vanished node, "No such device", at
  //        once), the fourth transient one in a row or the 101st interrupted
  //        one in a row, ends the stream: every later call returns the same
  //        failure.
  Result<ImuStreamSample> next();

  // next() with a bounded wait, for callers that must stay responsive (an
  // event loop, a thread that checks for cancellation): it returns once a
  // sample is there, or after about `wait_ms` milliseconds with a success
  // holding no sample (std::nullopt). The deadline is checked between the
  // stream's reads and cuts its sleeps short, so a read in progress runs
  // over it by that read's duration. The stall timeout runs on across calls
  // that came back empty: it counts from the first call of the wait, so
  // next_within() called in a loop reports "no new IMU sample within <N> ms"
  // when next() would. Fails as next() does.
  Result<std::optional<ImuStreamSample>> next_within(std::uint32_t wait_ms);

  // Appends up to `count` samples to `out`, blocking until all are there or
  // a failure stops the batch, and returns how many were appended. A failure
  // after at least one sample was appended is not lost: the call returns
  // those samples with code ok, and the next call returns the failure. With
  // count 0 it returns 0 at once (or the failure that ended the stream).
  // Fails as next() does, with nothing appended.
  Result<std::size_t> next_batch(std::size_t count, std::vector<ImuStreamSample>& out);

  // The current clock estimate (all zero before the first sample).
  ImuClockEstimate clock_estimate() const;
  ImuStreamStats stats() const;

  // The options the stream was opened with.
  const ImuStreamOptions& options() const;

  bool is_open() const noexcept;

 private:
  std::unique_ptr<Impl> impl_;
};

// Opens the device's IMU if it is not open yet (Device::open_imu(): the
// firmware gate and the video node) and starts a stream on it. Nothing is
// read until next() is called.
// Fails: invalid_argument "IMU stream option <name> is out of range (valid:
//        <range>)" for a bad option (the device is not touched);
//        open_imu()'s failure unchanged.
MORVANE_UVC_STEREO_API Result<ImuStream> open_imu_stream(Device& device, const ImuStreamOptions& options = {});

}  // namespace morvane::uvc_stereo
