// Fuzzes the reading of the UVC driver's metadata buffers: any bytes, cut
// into buffers the way a stream hands them over, then every PTS mapped.
// Checked: no read outside a buffer (the sanitizers), no more SCR points
// than whole blocks fit, and a mapped instant that is finite with a band
// that is not negative.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frames/frame_clock.hpp"

using morvane::uvc_stereo::detail::FrameClock;
using morvane::uvc_stereo::detail::FrameMetadata;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The shortest block: the driver's stamp and frame number, and a header of
// bHeaderLength and bmHeaderInfo with an SCR.
constexpr std::size_t kShortestScrBlock = 10 + 2 + 6;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte picks the buffers' length (the driver's are at most 10 KiB).
  const std::size_t chunk = 1 + static_cast<std::size_t>(data[0]) * 41;
  ++data;
  --size;
  FrameClock clock(1e6, 30);
  for (std::size_t at = 0; at < size; at += chunk) {
    const std::size_t n = std::min(chunk, size - at);
    // A buffer of its own, so a read past its end is one the sanitizer sees.
    std::vector<std::uint8_t> buffer(data + at, data + at + n);
    const FrameMetadata m = clock.add_metadata(buffer.data(), buffer.size());
    check(m.scr_points <= n / kShortestScrBlock);
    if (!m.has_pts) continue;
    double host_ns = 0, band = 0;
    if (clock.map_pts(m.pts, host_ns, band)) check(std::isfinite(host_ns) && std::isfinite(band) && band >= 0);
  }
  return 0;
}
