// The IMU behind extension unit 4, and the two failure statuses its firmware
// reports in byte 0.
//
// Per-request timing: every successful request takes a new sample and the
// 20-bit counter advances by a fixed step per sample.
//
// Clocked timing: the IMU samples at its own rate on the device's clock,
// whatever the host does. The device clock counts ticks at the nominal tick
// rate times (1 + drift), measured against the virtual clock (the host's);
// sample k is taken at tick counter_start + (k + 1) * tick_rate / rate, and
// its counter is the tick count at that instant. What a request returns
// depends on the read mode (latest sample, or a queue of unread samples).
// Samples can be lost by the device on demand or at random; the model knows
// every sample's true instant.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "emulator/virtual_camera.hpp"
#include "emulator/virtual_clock.hpp"

namespace morvane::emulator {

// The two legs of one IMU query's host read latency, in virtual
// nanoseconds: before the request reaches the device, and from the device's
// answer until the host has it. `draw` numbers the queries (same draw, same
// latency).
std::pair<std::uint64_t, std::uint64_t> read_latency_legs(const ImuReadLatency& latency, std::uint64_t draw);

class ImuModel {
 public:
  ImuModel(const ImuConfig& config, VirtualClock& clock);

  // The reply to one sample request arriving now: a sample, or the status
  // byte followed by zeros while a failure is reported (no sample is
  // returned; a per-request IMU's counter stays).
  std::array<std::uint8_t, kImuSampleLength> next_reply();
  // The sample the next successful request returns (if it came now).
  ImuSample peek() const;

  void set_status(ImuStatus status) { status_ = status; }
  void fail_next(int count, ImuStatus status);
  std::uint64_t samples_served() const { return served_; }

  // The device clock (the counter's ticks, wraps included, from
  // counter_start at power-on; script steps included) at host instant
  // `host_ns`, whatever the timing: the clock the video's PTS and SCR count.
  std::uint64_t device_ticks_at(std::uint64_t host_ns) const;

  // Clocked timing.
  ImuSampleTruth truth(std::uint64_t index) const;
  std::optional<ImuSampleTruth> last_reply_truth() const;
  void drop_next(std::uint64_t count);
  // The latency legs of query `draw` starting now (read_latency_legs with
  // the script's slow and late reads).
  std::pair<std::uint64_t, std::uint64_t> read_latency(std::uint64_t draw);
  // After the query: how much later than the device answered the reply
  // reaches the host (a script's late reply, spent on the first new sample
  // returned at or after its time).
  std::uint64_t late_delivery();

 private:
  ImuSample make(std::uint64_t index, std::mt19937* noise) const;
  ImuSample make_clocked(std::uint64_t index) const;
  bool dropped(std::uint64_t index, std::uint64_t taken_ns) const;
  // Scripted timing: device ticks since power-on (before the counter's
  // start, steps left out) after `seconds` of host time, and the host
  // instant the device ticks reach `ticks` (steps included).
  long double continuous_ticks(long double seconds) const;
  std::uint64_t host_ns_at_ticks(long double ticks) const;
  double seconds_since_power_on() const;
  // Index of the latest sample taken at or before `now_ns` (wraps below 0 as
  // "none": returns false).
  bool latest_taken(std::uint64_t now_ns, std::uint64_t& index) const;
  // The sample a clocked request arriving at `now_ns` returns, and the queue
  // position after it; false before the first sample.
  bool select(std::uint64_t now_ns, std::uint64_t& index, std::uint64_t& next_unread) const;

  ImuConfig config_;
  VirtualClock& clock_;
  ImuStatus status_ = ImuStatus::ok;
  int fail_count_ = 0;
  ImuStatus fail_status_ = ImuStatus::ok;
  std::uint32_t counter_;
  std::uint64_t served_ = 0;
  std::mt19937 noise_;

  // Clocked timing.
  std::uint64_t power_on_ns_;
  long double ticks_per_ns_;  // device ticks per virtual nanosecond
  long double period_ticks_;  // device ticks between samples
  std::uint64_t next_unread_ = 0;
  std::optional<std::uint64_t> last_index_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> drops_;  // [first, end) index ranges
  bool scripted_ = false;
  std::vector<bool> late_used_;  // per script late reply: spent
  bool reply_new_ = false;       // the latest query returned a sample not returned before
};

}  // namespace morvane::emulator
