#include "frames/frame_clock.hpp"

#include <linux/uvcvideo.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace morvane::uvc_stereo::detail {
namespace {

// bmHeaderInfo of the UVC payload header.
constexpr std::uint8_t kHeaderPts = 0x04;
constexpr std::uint8_t kHeaderScr = 0x08;
// A device clock step (the camera counted on while the host paused, or its
// clock was set) voids the line: a clock sample this far (plus the band)
// outside where the line allows it, ahead of it at once, or behind it in
// every sample of this many buffers in a row (one late payload, or one
// frame's, is latency, not a step).
constexpr double kStepNs = 2e6;
constexpr int kLateBuffersForStep = 3;
// Unwrapped device ticks start here, so a clock that goes back stays above 0.
constexpr std::uint64_t kTicksBase = std::uint64_t{1} << 40;

std::uint32_t get32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

}  // namespace

FrameClock::FrameClock(double device_clock_hz, double window_s)
    : fit_(device_clock_hz, window_s), back_tolerance_ticks_(1e-3 * device_clock_hz) {}

FrameMetadata FrameClock::add_metadata(const std::uint8_t* data, std::size_t length) {
  FrameMetadata out;
  // Each block is the driver's stamp (ns) and USB frame number (sof), then
  // a copy of the payload header from its first byte: bHeaderLength
  // (uvc_meta_buf's length), bmHeaderInfo (flags), and the PTS (4 bytes)
  // and SCR (4 bytes of clock, 2 of SOF) the flags announce. The driver
  // copies only those standard fields, while length keeps the camera's
  // bHeaderLength (longer when the camera adds its own bytes), so a block's
  // size comes from the flags.
  constexpr std::size_t kStamps = offsetof(uvc_meta_buf, length);  // ns and sof
  std::vector<std::pair<std::uint64_t, std::uint64_t>> points;     // this buffer's clock samples
  std::size_t at = 0;
  while (at + sizeof(uvc_meta_buf) <= length) {
    uvc_meta_buf head;
    std::memcpy(&head, data + at, sizeof head);
    const std::uint8_t* header = data + at + kStamps;
    const std::size_t standard =
        2 + ((head.flags & kHeaderPts) != 0 ? 4 : 0) + ((head.flags & kHeaderScr) != 0 ? 6 : 0);
    if (head.length < standard || at + kStamps + standard > length) break;
    std::size_t field = 2;
    if ((head.flags & kHeaderPts) != 0) {
      out.has_pts = true;
      out.pts = get32(header + field);
      field += 4;
    }
    if ((head.flags & kHeaderScr) != 0) add_scr(get32(header + field), head.ns, out, points);
    at += kStamps + standard;
  }
  // A frame's worth of clock samples, every one far after the line: the
  // device clock went back (or the line is stale): start over from them.
  if (!points.empty() && std::isfinite(lowest_late_ns_) && lowest_late_ns_ > kStepNs + fit_.uncertainty_ns()) {
    if (++late_buffers_ >= kLateBuffersForStep) {
      fit_.reanchor();
      ++steps_;
      late_buffers_ = 0;
      for (const auto& [ticks, ns] : points) fit_.add(ticks, ns, false, 0);
    }
  } else {
    late_buffers_ = 0;
  }
  lowest_late_ns_ = std::numeric_limits<double>::infinity();
  if (out.scr_points > 0) fit_.refit();
  return out;
}

void FrameClock::add_scr(std::uint32_t stc, std::uint64_t ns, FrameMetadata& out,
                         std::vector<std::pair<std::uint64_t, std::uint64_t>>& points) {
  bool stepped = false;
  if (!have_stc_) {
    have_stc_ = true;
    stc_ = kTicksBase + stc;
  } else {
    const auto step = static_cast<std::int32_t>(stc - last_stc_);
    // A clock a little behind the previous sample (a stale header) adds
    // nothing; one far behind went back.
    if (step < 0 && -static_cast<double>(step) < back_tolerance_ticks_) return;
    stc_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(stc_) + step);
    // A stamp cannot precede the clock sample its payload carries: one far
    // before the line's instant for it means the clock went ahead.
    stepped =
        step < 0 || (fit_.fitted() && fit_.host_ns(stc_) - static_cast<double>(ns) > kStepNs + fit_.uncertainty_ns());
  }
  if (stepped) {
    fit_.reanchor();
    ++steps_;
    late_buffers_ = 0;
    points.clear();
  }
  if (fit_.fitted()) lowest_late_ns_ = std::min(lowest_late_ns_, static_cast<double>(ns) - fit_.host_ns(stc_));
  last_stc_ = stc;
  fit_.add(stc_, ns, false, 0);
  points.emplace_back(stc_, ns);
  ++out.scr_points;
}

bool FrameClock::map_pts(std::uint32_t pts, double& host_ns, double& uncertainty_ns) const {
  if (!have_stc_ || !fit_.fitted()) return false;
  const std::uint32_t before = last_stc_ - pts;
  if (before >= 0x80000000U) return false;
  const std::uint64_t ticks = stc_ - before;
  host_ns = fit_.host_ns(ticks);
  uncertainty_ns = fit_.uncertainty_ns() + fit_.rate_uncertainty() * before * fit_.ns_per_tick();
  return true;
}

}  // namespace morvane::uvc_stereo::detail
