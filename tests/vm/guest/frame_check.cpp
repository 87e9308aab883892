// Checks frames a V4L2 client saved from the virtual camera, in the guest.
//
//   frame_check --width W --height H [--count N] [--interval-ticks T]
//               [--timestamps FILE] [--stamps-reported] [--imu FILE]
//               [--derived-stamps FILE [--min-derived N]]
//               [--offset-mean-us LOW,HIGH] [--offset-sd-us MAX] FRAMES
//
// FRAMES holds raw YUYV frames back to back. The camera's side-by-side
// picture carries, in the left eye's top rows, three bands of 32 cells (4
// rows high, eye width / 40 wide, most significant bit first, bright = 1):
// the frame number, the PTS (camera clock ticks at the capture) and the
// frame number's complement; the right eye shows the left eye's picture
// shifted left by 16 pixels. Checked: the frame count, the bands (the
// complement matches), the shift (exact at 16, and the best of 0 to 32),
// consecutive frame numbers (gaps are errors), PTS one interval apart
// (--interval-ticks, within 200 ppm).
// --timestamps: the client's log with one "ts: SECONDS.MICROSECONDS" per
// frame (v4l2-ctl --verbose); the stamps must increase (--stamps-reported:
// decreasing stamps are reported, not errors). --imu: the tool's
// `imu --format json` output captured at the same time; for each frame the
// IMU samples around the frame's PTS place it on the host clock (the IMU
// counter runs on the same camera clock, 20 bits of it; the two samples
// either side are interpolated), and the kernel stamp's offset from that
// instant is reported (mean, standard deviation, extremes), and checked
// against --offset-mean-us and --offset-sd-us when given.
// --derived-stamps: the stamps (microseconds, one a line) the UVC driver
// derived from the camera's PTS and SCR, from its clock trace. Frames whose
// stamp is among them are the derived ones; once one is, every later one
// must be (the driver keeps its clock samples for the rest of the stream),
// at least --min-derived must be, and the offset covers these frames only.
// Prints key=value facts and "error: ..." lines; exit status 1 on an error.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "imu_placement.hpp"

namespace {

constexpr int kDisparity = 16;
constexpr int kCellRows = 4;
constexpr int kCellsPerRow = 40;

int errors = 0;
void error(const std::string& what) {
  std::printf("error: %s\n", what.c_str());
  ++errors;
}
bool stamps_reported_only = false;
// A fault of the client's stamps: an error, or with --stamps-reported only
// a warning (stamps the driver derives in ways the camera does not control).
void stamp_fault(const std::string& what) {
  if (!stamps_reported_only) return error(what);
  std::printf("warning: %s\n", what.c_str());
}

struct Frame {
  std::uint32_t number = 0, pts = 0, complement = 0;
  int best_shift = -1;
  long mismatches_at_disparity = 0;
};

Frame inspect(const std::uint8_t* yuyv, int width, int height) {
  Frame f;
  const int eye = width / 2;
  const int cell = eye / kCellsPerRow;
  auto luma = [&](int x, int y) { return yuyv[(static_cast<std::size_t>(y) * width + x) * 2]; };
  auto band = [&](int b) {
    std::uint32_t v = 0;
    for (int i = 0; i < 32; ++i) v = v << 1 | (luma(i * cell + cell / 2, b * kCellRows + kCellRows / 2) > 128);
    return v;
  };
  f.number = band(0);
  f.pts = band(1);
  f.complement = band(2);
  long best = -1;
  for (int shift = 0; shift <= 2 * kDisparity; ++shift) {
    long mismatches = 0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x + shift < eye; ++x) mismatches += luma(eye + x, y) != luma(x + shift, y);
    }
    if (shift == kDisparity) f.mismatches_at_disparity = mismatches;
    if (best < 0 || mismatches < best) {
      best = mismatches;
      f.best_shift = shift;
    }
  }
  return f;
}

bool read_file(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// "ts: 123.456789" stamps, in nanoseconds.
std::vector<long long> client_stamps(const std::string& text) {
  std::vector<long long> out;
  for (std::size_t at = text.find("ts: "); at != std::string::npos; at = text.find("ts: ", at + 4)) {
    const char* p = text.c_str() + at + 4;
    char* end = nullptr;
    const long long s = std::strtoll(p, &end, 10);
    if (end == p || *end != '.') continue;
    const char* frac = end + 1;
    long long us = std::strtoll(frac, &end, 10);
    if (end - frac != 6) continue;
    out.push_back(s * 1000000000LL + us * 1000);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int width = 0, height = 0;
  long count = -1;
  long interval_ticks = 0;
  const char* stamps_path = nullptr;
  const char* imu_path = nullptr;
  const char* derived_path = nullptr;
  long min_derived = 1;
  bool mean_bounded = false, sd_bounded = false;
  double mean_low_us = 0, mean_high_us = 0, sd_max_us = 0;
  const char* frames_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "frame_check: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--width") {
      width = std::atoi(value());
    } else if (a == "--height") {
      height = std::atoi(value());
    } else if (a == "--count") {
      count = std::atol(value());
    } else if (a == "--interval-ticks") {
      interval_ticks = std::atol(value());
    } else if (a == "--timestamps") {
      stamps_path = value();
    } else if (a == "--stamps-reported") {
      stamps_reported_only = true;
    } else if (a == "--imu") {
      imu_path = value();
    } else if (a == "--derived-stamps") {
      derived_path = value();
    } else if (a == "--min-derived") {
      min_derived = std::atol(value());
    } else if (a == "--offset-mean-us") {
      mean_bounded = std::sscanf(value(), "%lf,%lf", &mean_low_us, &mean_high_us) == 2;
      if (!mean_bounded) {
        std::fprintf(stderr, "frame_check: --offset-mean-us takes LOW,HIGH\n");
        return 2;
      }
    } else if (a == "--offset-sd-us") {
      sd_max_us = std::atof(value());
      sd_bounded = true;
    } else if (frames_path == nullptr && a[0] != '-') {
      frames_path = argv[i];
    } else {
      std::fprintf(stderr, "frame_check: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (width <= 0 || height < 3 * kCellRows || width % 4 != 0 || frames_path == nullptr) {
    std::fprintf(stderr,
                 "usage: frame_check --width W --height H [--count N] [--interval-ticks T] "
                 "[--timestamps FILE] [--stamps-reported] [--imu FILE] [--derived-stamps FILE "
                 "[--min-derived N]] [--offset-mean-us LOW,HIGH] [--offset-sd-us MAX] FRAMES\n");
    return 2;
  }
  std::string raw;
  if (!read_file(frames_path, raw)) {
    std::printf("error: cannot read %s\n", frames_path);
    return 1;
  }
  const std::size_t frame_bytes = static_cast<std::size_t>(width) * height * 2;
  if (raw.size() % frame_bytes != 0) error("file size " + std::to_string(raw.size()) + " is not whole frames");
  const std::size_t n = raw.size() / frame_bytes;
  std::printf("frames=%zu\n", n);
  if (count >= 0 && static_cast<long>(n) != count) error("expected " + std::to_string(count) + " frames");
  std::vector<Frame> frames;
  for (std::size_t i = 0; i < n; ++i) {
    frames.push_back(inspect(reinterpret_cast<const std::uint8_t*>(raw.data()) + i * frame_bytes, width, height));
    const Frame& f = frames.back();
    const std::string at = "frame " + std::to_string(i) + ": ";
    if (f.complement != ~f.number) error(at + "number band damaged");
    if (f.mismatches_at_disparity != 0) {
      error(at + std::to_string(f.mismatches_at_disparity) + " right-eye pixels differ from the shifted left eye");
    }
    if (f.best_shift != kDisparity) error(at + "best matching shift " + std::to_string(f.best_shift));
  }
  long gaps = 0;
  long long min_dpts = 0, max_dpts = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint32_t step = frames[i].number - frames[i - 1].number;
    if (step != 1) {
      error("frame " + std::to_string(i) + ": number " + std::to_string(frames[i].number) + " after " +
            std::to_string(frames[i - 1].number));
      gaps += step > 1 && step < 0x80000000U ? step - 1 : 1;
      continue;
    }
    const long long dpts = static_cast<std::uint32_t>(frames[i].pts - frames[i - 1].pts);
    if (i == 1 || dpts < min_dpts) min_dpts = dpts;
    if (i == 1 || dpts > max_dpts) max_dpts = dpts;
  }
  if (n > 0) std::printf("first=%u last=%u gaps=%ld\n", frames.front().number, frames.back().number, gaps);
  if (n > 1) {
    std::printf("pts_step_ticks=%lld..%lld\n", min_dpts, max_dpts);
    // The camera's oscillator may run up to 200 ppm off its nominal rate.
    const long long tolerance = 1 + interval_ticks / 5000;
    if (interval_ticks > 0 &&
        (std::llabs(min_dpts - interval_ticks) > tolerance || std::llabs(max_dpts - interval_ticks) > tolerance)) {
      error("PTS steps " + std::to_string(min_dpts) + ".." + std::to_string(max_dpts) + ", not " +
            std::to_string(interval_ticks));
    }
  }

  std::vector<long long> stamps;
  if (stamps_path != nullptr) {
    std::string text;
    if (!read_file(stamps_path, text)) error(std::string("cannot read ") + stamps_path);
    stamps = client_stamps(text);
    std::printf("stamps=%zu\n", stamps.size());
    if (stamps.size() != n)
      error("the client logged " + std::to_string(stamps.size()) + " stamps for " + std::to_string(n) + " frames");
    long long min_step = -1, max_step = 0;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
      const long long step = stamps[i] - stamps[i - 1];
      if (step <= 0) stamp_fault("stamp " + std::to_string(i) + " does not increase");
      if (min_step < 0 || step < min_step) min_step = step;
      max_step = std::max(max_step, step);
    }
    if (stamps.size() > 1) std::printf("stamp_step_us=%lld..%lld\n", min_step / 1000, max_step / 1000);
  }

  // Which frames carry a stamp the driver derived from PTS and SCR.
  std::vector<bool> measured(stamps.size(), true);
  if (derived_path != nullptr) {
    std::string text;
    if (!read_file(derived_path, text)) error(std::string("cannot read ") + derived_path);
    std::set<long long> derived_us;
    std::istringstream lines(text);
    for (long long us = 0; lines >> us;) derived_us.insert(us);
    long derived = 0, first = -1;
    for (std::size_t i = 0; i < stamps.size(); ++i) {
      measured[i] = derived_us.count(stamps[i] / 1000) != 0;
      if (measured[i]) {
        ++derived;
        if (first < 0) first = static_cast<long>(i);
      } else if (first >= 0) {
        error("frame " + std::to_string(i) + ": its stamp is not one the driver derived, after frame " +
              std::to_string(first) + "'s was");
      }
    }
    std::printf("derived_stamps=%ld of %zu frames, from frame %ld; %zu in the driver's trace\n", derived, stamps.size(),
                first, derived_us.size());
    if (derived < min_derived) {
      error(std::to_string(derived) + " frames with derived stamps, fewer than " + std::to_string(min_derived));
    }
  }

  if (imu_path != nullptr && stamps.size() == n && n > 0) {
    std::string text;
    if (!read_file(imu_path, text)) error(std::string("cannot read ") + imu_path);
    guest::ImuTrack imu;
    const bool parsed = imu.parse(text);
    std::printf("imu_samples=%zu\n", imu.time_ns.size());
    if (!parsed) {
      error("IMU output without matching time_ns and device_counter fields");
    } else {
      std::printf("imu_first time_ns=%lld counter=%lld, last time_ns=%lld counter=%lld; frames at %lld..%lld ns\n",
                  imu.time_ns.front(), imu.counter.front(), imu.time_ns.back(), imu.counter.back(), stamps.front(),
                  stamps.back());
      std::vector<double> offsets;
      for (std::size_t i = 0; i < n; ++i) {
        double instant = 0;
        if (measured[i] && imu.place(frames[i].pts, stamps[i], instant))
          offsets.push_back(static_cast<double>(stamps[i]) - instant);
      }
      if (offsets.empty()) {
        error("no frame had IMU samples around its instant");
      } else {
        const guest::OffsetSummary o = guest::OffsetSummary::of(offsets);
        o.print("offset_us");
        if (mean_bounded && (o.mean / 1000 < mean_low_us || o.mean / 1000 > mean_high_us)) {
          error("mean offset " + std::to_string(o.mean / 1000) + " us outside " + std::to_string(mean_low_us) + ".." +
                std::to_string(mean_high_us));
        }
        if (sd_bounded && o.sd / 1000 > sd_max_us) {
          error("offset spread " + std::to_string(o.sd / 1000) + " us above " + std::to_string(sd_max_us));
        }
      }
    }
  }
  std::printf("errors=%d\n", errors);
  return errors == 0 ? 0 : 1;
}
