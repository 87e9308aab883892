// Places a frame's PTS on the host clock through the IMU samples the tool's
// `imu --format json` printed beside the capture: the IMU counter runs on
// the camera clock the PTS counts (20 bits of it), so the samples either side
// of the PTS give its host instant by interpolation. Shared by the guest's
// checkers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace guest {

// Every number following `key` in the text, in order.
inline std::vector<long long> numbers_after(const std::string& text, const std::string& key) {
  std::vector<long long> out;
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + key.size())) {
    std::size_t p = at + key.size();
    while (p < text.size() && (text[p] == ' ' || text[p] == ':' || text[p] == '"')) ++p;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str() + p, &end, 10);
    if (end != text.c_str() + p) out.push_back(v);
  }
  return out;
}

struct ImuTrack {
  std::vector<long long> time_ns, counter;

  // From the tool's JSON output; false without matching fields.
  bool parse(const std::string& json) {
    time_ns = numbers_after(json, "\"time_ns\"");
    counter = numbers_after(json, "\"device_counter\"");
    return time_ns.size() == counter.size() && time_ns.size() >= 2;
  }

  // The host instant of `pts` for a frame the host saw near `near_ns`
  // (within 300 ms of an IMU sample); false when no samples lie around it.
  bool place(std::uint32_t pts, long long near_ns, double& instant_ns) const {
    std::size_t best = 0;
    for (std::size_t j = 1; j < time_ns.size(); ++j) {
      if (std::llabs(time_ns[j] - near_ns) < std::llabs(time_ns[best] - near_ns)) best = j;
    }
    if (std::llabs(time_ns[best] - near_ns) > 300000000LL) return false;
    // The PTS and the sample's counter agree in their low 20 bits: the
    // frame's instant in the IMU's unwrapped counter.
    long long d = static_cast<long long>((pts - static_cast<std::uint32_t>(counter[best])) & 0xFFFFF);
    if (d >= 0x80000) d -= 0x100000;
    const long long at = counter[best] + d;
    std::size_t j = 0;
    while (j + 1 < counter.size() && counter[j + 1] <= at) ++j;
    if (j + 1 >= counter.size() || counter[j] > at || counter[j + 1] == counter[j]) return false;
    instant_ns = static_cast<double>(time_ns[j]) + static_cast<double>(time_ns[j + 1] - time_ns[j]) *
                                                       static_cast<double>(at - counter[j]) /
                                                       static_cast<double>(counter[j + 1] - counter[j]);
    return true;
  }
};

// Mean, spread and extremes of offsets in nanoseconds, printed in
// microseconds as "<label> mean=... sd=... min=... max=... n=...".
struct OffsetSummary {
  double mean = 0, sd = 0, min = 0, max = 0;
  std::size_t n = 0;

  static OffsetSummary of(std::vector<double> offsets) {
    OffsetSummary s;
    s.n = offsets.size();
    if (offsets.empty()) return s;
    double sum = 0, sq = 0;
    for (double o : offsets) sum += o;
    s.mean = sum / static_cast<double>(offsets.size());
    for (double o : offsets) sq += (o - s.mean) * (o - s.mean);
    s.sd = std::sqrt(sq / static_cast<double>(offsets.size()));
    std::sort(offsets.begin(), offsets.end());
    s.min = offsets.front();
    s.max = offsets.back();
    return s;
  }
  void print(const char* label) const {
    std::printf("%s mean=%.1f sd=%.1f min=%.1f max=%.1f n=%zu\n", label, mean / 1000, sd / 1000, min / 1000, max / 1000,
                n);
  }
};

}  // namespace guest
