// Checks what the SDK's tool wrote in the guest from frames it streamed
// through the kernel's UVC driver.
//
//   sdk_output_check capture --count N --interval-ticks T [--imu FILE]
//                    [--offset-mean-us LOW,HIGH] [--offset-sd-us MAX] LINES
//   sdk_output_check dataset --fps F --imu-rate R --min-frames N DIR
//
// capture: LINES is the output of `capture`, one line per frame
// (sequence=, time_ns=, time_source=, uncertainty_ns=, missed_before=,
// host_ns=, pts=, left=, right=). Checked: the count, consecutive sequences
// with nothing missed, every frame stamped from the camera's clock
// (device_clock) and before the kernel's stamp, strictly increasing
// instants, PTS one interval apart (within 200 ppm), instants as far apart
// as the PTS says (within 1 ms), and both PNG files of each frame present.
// --imu: the tool's `imu --format json` output captured at the same time;
// each frame's PTS is placed on the host clock through the IMU samples
// around it, and the offsets of the SDK's instant (sdk_offset_us) and of the
// kernel's stamp (kernel_offset_us) from it are reported; the SDK's is
// checked against --offset-mean-us and --offset-sd-us when given.
// dataset: DIR is what `record DIR` wrote (EuRoC layout). Checked: both
// cameras list the same frames, each a PNG file named by its stamp, at
// least --min-frames of them, stamps strictly increasing with no step over
// 1.5 frame periods (a lost frame) or under half of one; imu0/data.csv rows
// of 7 fields with strictly increasing stamps, and between each two frames
// the rows the IMU rate gives (within 2 of rate / fps); the sensor.yaml files
// present.
// Prints key=value facts and "error: ..." lines; exit status 1 on an error.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "imu_placement.hpp"

namespace {

int errors = 0;
void error(const std::string& what) {
  std::printf("error: %s\n", what.c_str());
  ++errors;
}

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

// A regular file that begins with the PNG signature.
bool is_png(const std::string& path) {
  std::string bytes;
  return read_file(path, bytes) && bytes.size() > 8 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
}

bool parse_number(const std::string& text, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0';
}

struct CaptureArgs {
  long count = -1, interval_ticks = 0;
  std::string imu;
  bool mean_bounded = false, sd_bounded = false;
  double mean_low_us = 0, mean_high_us = 0, sd_max_us = 0;
};

struct FrameLine {
  long long sequence = 0, time_ns = 0, host_ns = 0, missed = 0;
  std::uint32_t pts = 0;
  std::string source;
};

int check_capture(const CaptureArgs& args, const std::string& path) {
  std::string text;
  if (!read_file(path, text)) return error("cannot read " + path), 1;
  std::vector<FrameLine> frames;
  for (const std::string& line : lines_of(text)) {
    std::map<std::string, std::string> field;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      const std::size_t eq = word.find('=');
      if (eq != std::string::npos) field[word.substr(0, eq)] = word.substr(eq + 1);
    }
    FrameLine f;
    long long pts = 0;
    if (!parse_number(field["sequence"], f.sequence) || !parse_number(field["time_ns"], f.time_ns) ||
        !parse_number(field["host_ns"], f.host_ns) || !parse_number(field["missed_before"], f.missed) ||
        !parse_number(field["pts"], pts)) {
      error("line without its numbers: " + line);
      continue;
    }
    f.pts = static_cast<std::uint32_t>(pts);
    f.source = field["time_source"];
    for (const char* eye : {"left", "right"})
      if (!is_png(field[eye])) error("frame " + std::to_string(f.sequence) + ": no PNG at '" + field[eye] + "'");
    frames.push_back(f);
  }
  const std::size_t n = frames.size();
  std::printf("frames=%zu\n", n);
  if (args.count >= 0 && static_cast<long>(n) != args.count) error("expected " + std::to_string(args.count));
  long device_clock = 0;
  long long min_dpts = 0, max_dpts = 0, worst_spacing_ns = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const FrameLine& f = frames[i];
    const std::string at = "frame " + std::to_string(f.sequence) + ": ";
    if (f.source == "device_clock") {
      ++device_clock;
      if (f.time_ns >= f.host_ns) error(at + "the camera's instant is not before the kernel's stamp");
    } else {
      error(at + "stamped " + f.source + ", not from the camera's clock");
    }
    if (f.missed != 0) error(at + std::to_string(f.missed) + " frames missed before it");
    if (i == 0) continue;
    const FrameLine& p = frames[i - 1];
    if (f.sequence != p.sequence + 1) error(at + "after sequence " + std::to_string(p.sequence));
    if (f.time_ns <= p.time_ns) error(at + "its instant does not increase");
    const long long dpts = static_cast<std::uint32_t>(f.pts - p.pts);
    if (i == 1 || dpts < min_dpts) min_dpts = dpts;
    if (i == 1 || dpts > max_dpts) max_dpts = dpts;
    // The instants step as the camera's clock does (1 MHz ticks).
    worst_spacing_ns = std::max(worst_spacing_ns, std::llabs((f.time_ns - p.time_ns) - dpts * 1000));
  }
  std::printf("device_clock=%ld of %zu\n", device_clock, n);
  if (n > 1) {
    std::printf("pts_step_ticks=%lld..%lld worst_spacing_error_us=%.1f\n", min_dpts, max_dpts,
                static_cast<double>(worst_spacing_ns) / 1000);
    const long long tolerance = 1 + args.interval_ticks / 5000;  // 200 ppm
    if (args.interval_ticks > 0 && (std::llabs(min_dpts - args.interval_ticks) > tolerance ||
                                    std::llabs(max_dpts - args.interval_ticks) > tolerance))
      error("PTS steps " + std::to_string(min_dpts) + ".." + std::to_string(max_dpts));
    if (worst_spacing_ns > 1000000)
      error("instants step apart from their PTS by up to " + std::to_string(worst_spacing_ns / 1000) + " us");
  }
  if (!args.imu.empty() && n > 0) {
    std::string json;
    guest::ImuTrack imu;
    if (!read_file(args.imu, json) || !imu.parse(json)) return error("no IMU samples in " + args.imu), 1;
    std::printf("imu_samples=%zu\n", imu.time_ns.size());
    std::vector<double> sdk, kernel;
    for (const FrameLine& f : frames) {
      double instant = 0;
      if (!imu.place(f.pts, f.host_ns, instant)) continue;
      sdk.push_back(static_cast<double>(f.time_ns) - instant);
      kernel.push_back(static_cast<double>(f.host_ns) - instant);
    }
    if (sdk.empty()) return error("no frame had IMU samples around its instant"), 1;
    const guest::OffsetSummary s = guest::OffsetSummary::of(sdk), k = guest::OffsetSummary::of(kernel);
    s.print("sdk_offset_us");
    k.print("kernel_offset_us");
    if (args.mean_bounded && (s.mean / 1000 < args.mean_low_us || s.mean / 1000 > args.mean_high_us))
      error("the SDK's mean offset " + std::to_string(s.mean / 1000) + " us is outside " +
            std::to_string(args.mean_low_us) + ".." + std::to_string(args.mean_high_us));
    if (args.sd_bounded && s.sd / 1000 > args.sd_max_us)
      error("the SDK's offset spread " + std::to_string(s.sd / 1000) + " us is above " +
            std::to_string(args.sd_max_us));
  }
  return errors == 0 ? 0 : 1;
}

// The stamps of a camera's data.csv, each row's PNG checked.
std::vector<long long> camera_rows(const std::string& cam) {
  std::string text;
  if (!read_file(cam + "/data.csv", text)) return error("cannot read " + cam + "/data.csv"), std::vector<long long>{};
  std::vector<std::string> rows = lines_of(text);
  if (rows.empty() || rows[0] != "#timestamp [ns],filename") error(cam + "/data.csv lacks its header");
  std::vector<long long> stamps;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const std::size_t comma = rows[i].find(',');
    long long ns = 0;
    if (comma == std::string::npos || !parse_number(rows[i].substr(0, comma), ns) ||
        rows[i].substr(comma + 1) != std::to_string(ns) + ".png") {
      error(cam + "/data.csv row " + std::to_string(i) + ": '" + rows[i] + "'");
      continue;
    }
    if (!is_png(cam + "/data/" + rows[i].substr(comma + 1))) error(cam + ": no PNG for row " + std::to_string(i));
    stamps.push_back(ns);
  }
  return stamps;
}

int check_dataset(double fps, double imu_rate, long min_frames, const std::string& dir) {
  const std::string mav = dir + "/mav0";
  const std::vector<long long> cam0 = camera_rows(mav + "/cam0"), cam1 = camera_rows(mav + "/cam1");
  if (cam0 != cam1) error("cam0 and cam1 list different frames");
  std::printf("frames=%zu\n", cam0.size());
  if (static_cast<long>(cam0.size()) < min_frames) error("fewer than " + std::to_string(min_frames) + " frames");
  const double period_ns = 1e9 / fps;
  for (std::size_t i = 1; i < cam0.size(); ++i) {
    const long long step = cam0[i] - cam0[i - 1];
    if (step < period_ns / 2 || step > period_ns * 1.5)
      error("frame " + std::to_string(i) + ": " + std::to_string(step / 1000) + " us after the previous one");
  }
  std::string text;
  if (!read_file(mav + "/imu0/data.csv", text)) return error("cannot read imu0/data.csv"), 1;
  std::vector<long long> imu;
  const std::vector<std::string> rows = lines_of(text);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::vector<std::string> fields;
    std::istringstream in(rows[i]);
    for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
    long long ns = 0;
    if (fields.size() != 7 || !parse_number(fields[0], ns)) {
      error("imu0/data.csv row " + std::to_string(i) + ": '" + rows[i] + "'");
      continue;
    }
    if (!imu.empty() && ns <= imu.back()) error("imu0/data.csv row " + std::to_string(i) + " does not increase");
    imu.push_back(ns);
  }
  std::printf("imu_rows=%zu\n", imu.size());
  // The rows between each two frames (after the earlier, up to the later).
  const double expected = imu_rate / fps;
  long fewest = -1, most = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < cam0.size(); ++i) {
    long rows_before = 0;
    for (; j < imu.size() && imu[j] <= cam0[i]; ++j) ++rows_before;
    if (i == 0) continue;
    fewest = fewest < 0 ? rows_before : std::min(fewest, rows_before);
    most = std::max(most, rows_before);
    if (std::fabs(static_cast<double>(rows_before) - expected) > 2)
      error("frame " + std::to_string(i) + ": " + std::to_string(rows_before) + " IMU rows since the previous frame");
  }
  std::printf("imu_rows_between_frames=%ld..%ld (expected %.1f)\n", fewest, most, expected);
  for (const char* sensor : {"cam0", "cam1", "imu0"}) {
    struct stat st {};
    const std::string yaml = mav + "/" + sensor + "/sensor.yaml";
    if (::stat(yaml.c_str(), &st) != 0 || st.st_size == 0) error("no " + yaml);
  }
  return errors == 0 ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: sdk_output_check capture --count N --interval-ticks T [--imu FILE] "
               "[--offset-mean-us LOW,HIGH] [--offset-sd-us MAX] LINES\n"
               "       sdk_output_check dataset --fps F --imu-rate R --min-frames N DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  CaptureArgs capture;
  double fps = 0, imu_rate = 0;
  long min_frames = 1;
  const char* input = nullptr;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const bool takes = a.size() > 2 && a[0] == '-' && a[1] == '-';
    if (takes && value == nullptr) return usage();
    if (a == "--count") {
      capture.count = std::atol(value);
    } else if (a == "--interval-ticks") {
      capture.interval_ticks = std::atol(value);
    } else if (a == "--imu") {
      capture.imu = value;
    } else if (a == "--offset-mean-us") {
      capture.mean_bounded = std::sscanf(value, "%lf,%lf", &capture.mean_low_us, &capture.mean_high_us) == 2;
      if (!capture.mean_bounded) return usage();
    } else if (a == "--offset-sd-us") {
      capture.sd_max_us = std::atof(value);
      capture.sd_bounded = true;
    } else if (a == "--fps") {
      fps = std::atof(value);
    } else if (a == "--imu-rate") {
      imu_rate = std::atof(value);
    } else if (a == "--min-frames") {
      min_frames = std::atol(value);
    } else if (!takes && input == nullptr) {
      input = argv[i];
      continue;
    } else {
      return usage();
    }
    ++i;
  }
  if (input == nullptr) return usage();
  int rc = 2;
  if (mode == "capture") {
    rc = check_capture(capture, input);
  } else if (mode == "dataset" && fps > 0 && imu_rate > 0) {
    rc = check_dataset(fps, imu_rate, min_frames, input);
  } else {
    return usage();
  }
  std::printf("errors=%d\n", errors);
  return rc;
}
