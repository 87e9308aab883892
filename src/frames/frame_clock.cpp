#include "frames/frame_clock.hpp"

#include <linux/uvcvideo.h>

#include <cmath>
#include <cstddef>
#include <cstring>

namespace morvane::uvc_stereo::detail {
namespace {

// bmHeaderInfo of the UVC payload header.
constexpr std::uint8_t kHeaderPts = 0x04;
constexpr std::uint8_t kHeaderScr = 0x08;
// A metadata block (V4L2_META_FMT_UVC) is the driver's stamp and USB frame
// number followed by a copy of the payload header from its first byte:
// uvc_meta_buf's `length` and `flags` are the header's bHeaderLength and
// bmHeaderInfo, so a block takes kHeaderAt + bHeaderLength bytes.
constexpr std::size_t kHeaderAt = offsetof(uvc_meta_buf, length);

std::uint32_t get32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

}  // namespace

FrameClock::FrameClock(double device_clock_hz, double window_s) : fit_(device_clock_hz, window_s) {}

FrameMetadata FrameClock::add_metadata(const std::uint8_t* data, std::size_t length) {
  FrameMetadata out;
  std::size_t at = 0;
  while (at + sizeof(uvc_meta_buf) <= length) {
    uvc_meta_buf head;
    std::memcpy(&head, data + at, sizeof head);
    const std::uint8_t* header = data + at + kHeaderAt;
    // The header as the camera sent it: bHeaderLength, bmHeaderInfo, then
    // the PTS (4 bytes) and the SCR (4 bytes of clock, 2 of SOF) it flags.
    if (head.length < 2 || at + kHeaderAt + head.length > length) break;
    const std::uint8_t flags = header[1];
    std::size_t field = 2;
    if ((flags & kHeaderPts) != 0) {
      if (field + 4 > head.length) break;
      out.has_pts = true;
      out.pts = get32(header + field);
      field += 4;
    }
    if ((flags & kHeaderScr) != 0) {
      if (field + 6 > head.length) break;
      const std::uint32_t stc = get32(header + field);
      if (have_stc_) {
        const std::uint32_t step = stc - last_stc_;
        // A clock that went back (a reordered or stale header) adds nothing.
        if (step < 0x80000000U) {
          stc_ += step;
          last_stc_ = stc;
          fit_.add(stc_, head.ns, false, 0);
          ++out.scr_points;
        }
      } else {
        have_stc_ = true;
        last_stc_ = stc;
        stc_ = stc;
        fit_.add(stc_, head.ns, false, 0);
        ++out.scr_points;
      }
    }
    at += kHeaderAt + head.length;
  }
  if (out.scr_points > 0) fit_.refit();
  return out;
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
