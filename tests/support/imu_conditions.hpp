// Host and device conditions for the IMU stream, scripted on the virtual
// IMU, and one run of ImuStream under a condition judged against the
// device's own truth: shared by the stream test and the stream benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/virtual_camera.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"

namespace morvane::testing {

struct ImuCondition {
  std::string name;
  emulator::ImuConfig imu;  // clocked, with its script
  double seconds = 60.0;    // virtual time streamed
  // The caller stops calling next() for pause_s once the stream passes
  // pause_at_s (seconds since power-on; 0: no pause).
  double pause_at_s = 0.0;
  double pause_s = 0.0;
  // The disturbance the condition brings, in seconds since power-on: the
  // settled figures leave out [from, until + 3 s).
  double disturbed_from_s = 0.0;
  double disturbed_until_s = 0.0;
  uvc_stereo::ImuStreamOptions options;
  // The settled p99 error the condition allows (us): 50, except where no
  // read can bound a sample from below.
  double settled_p99_limit_us = 50.0;
  // Samples the stream should flag as discontinuities: one per device clock
  // step unless set (>= 0).
  int expected_flags = -1;
  // How far (us) a settled sample may lie beyond the band the estimate
  // reports (uncertainty_ns) while rate_locked: 0, except where the rate
  // is fitted on too little time for its error over the band's points to
  // stay negligible.
  double band_slack_us = 0.0;
  // The device's drift (ppm) at `seconds` since power-on, from the script.
  double drift_at(double seconds) const;
};

// The conditions of the table: the project's own, rates, drifts, drift over
// time, and the host misbehaving (late replies, slow starts and reads,
// pauses, device clock steps).
std::vector<ImuCondition> imu_conditions();
// A clocked IMU at `rate_hz` with the realistic read latency.
emulator::ImuConfig clocked_imu(double rate_hz, double drift_ppm, emulator::ImuReadMode mode);

struct ImuRunResult {
  std::string failure;  // empty: the stream ran to the end
  std::uint64_t samples = 0;
  std::uint64_t backward = 0;        // time_ns below the previous sample's
  std::uint64_t after_arrival = 0;   // time_ns later than host_ns
  std::uint64_t duplicates = 0;      // a device sample handed out again (or out of order)
  std::uint64_t missed = 0;          // device samples between the handed-out ones (truth)
  std::uint64_t phantom = 0;         // missed_before beyond the truth (unflagged samples)
  std::uint64_t silent = 0;          // truth beyond missed_before (unflagged samples)
  std::uint64_t flagged = 0;         // samples with discontinuity set
  std::uint64_t flagged_missed = 0;  // truth missed before flagged samples (unknown to the stream)
  // Samples stamped off by more than 2 x uncertainty_ns + 100 us while the
  // estimate claims rate_locked.
  std::uint64_t overconfident = 0;
  // Settled samples stamped off by more than uncertainty_ns (plus the
  // condition's band_slack_us) while the estimate claims rate_locked.
  std::uint64_t beyond_band = 0;
  double p50_us = 0, p99_us = 0, max_us = 0;      // |time_ns - truth|, all samples
  double settled_p99_us = 0, settled_max_us = 0;  // after 10 s, outside the disturbance and 3 s after
  double drift_ppm = 0;                           // the estimate at the end
  bool rate_locked = false;
  std::uint64_t cpu_ns = 0;  // thread CPU spent in next()
  double streamed_s = 0;     // virtual seconds streamed
  double end_s = 0;          // seconds since power-on at the last sample
};

ImuRunResult run_imu_condition(const ImuCondition& condition);

}  // namespace morvane::testing
