// The camera's clock as the UVC metadata shows it: each payload's SCR (the
// device clock when the payload was sent) against the driver's stamp of the
// payload (an instant after that), fitted with the device clock fit the IMU
// stream uses; and each frame's PTS mapped through it.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "frame_clock.hpp is internal to the SDK"
#endif

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "imu/clock_fit.hpp"

namespace morvane::uvc_stereo::detail {

// What one metadata buffer (a run of blocks: the driver's stamp and USB frame
// number, then the payload header, whose first two bytes are struct
// uvc_meta_buf's length and flags) holds.
struct FrameMetadata {
  bool has_pts = false;
  std::uint32_t pts = 0;
  std::size_t scr_points = 0;  // SCR samples fed to the fit
};

class FrameClock {
 public:
  FrameClock(double device_clock_hz, double window_s);

  // Reads one metadata buffer of `length` bytes: the PTS of its frame, and
  // every SCR with the driver's stamp as an upper bound for the fit.
  // Malformed blocks end the reading (what came before stays). A step of
  // the device clock (a sample far ahead of the line, one behind the
  // previous, or whole buffers far behind the line) starts the fit over.
  FrameMetadata add_metadata(const std::uint8_t* data, std::size_t length);

  // The host instant of a frame's PTS, when the fit can place it: false for
  // a PTS not before the latest SCR or more than half the 32-bit range
  // before it (not on this clock), or with no SCR yet.
  bool map_pts(std::uint32_t pts, double& host_ns, double& uncertainty_ns) const;

  // Device clock steps seen (the fit started over).
  std::uint64_t steps() const { return steps_; }

 private:
  void add_scr(std::uint32_t stc, std::uint64_t ns, FrameMetadata& out,
               std::vector<std::pair<std::uint64_t, std::uint64_t>>& points);

  DeviceClockFit fit_;
  double back_tolerance_ticks_;  // a sample this far behind the previous one is stale, not a step
  bool have_stc_ = false;
  std::uint32_t last_stc_ = 0;
  std::uint64_t stc_ = 0;  // unwrapped
  std::uint64_t steps_ = 0;
  int late_buffers_ = 0;  // buffers in a row whose every sample lies far behind the line
  double lowest_late_ns_ = std::numeric_limits<double>::infinity();  // this buffer's least lateness
};

}  // namespace morvane::uvc_stereo::detail
