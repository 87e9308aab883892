// The capture subcommand: a few stereo frames, each eye a PNG file whose
// name carries the frame's sequence number and instant.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_support.hpp"
#include "commands.hpp"
#include "png_writer.hpp"
#include "tool.hpp"

namespace morvane::tool {

namespace us = uvc_stereo;

namespace {

constexpr long kMaxCaptureCount = 100000;
// How long a frame may take to come: the slowest rate the cameras offer is
// 5 frames per second.
constexpr int kFrameTimeoutMs = 3000;

// One whole decimal number, all of `text`.
bool parse_dimension(const std::string& text, std::uint32_t& value) {
  std::uint64_t v = 0;
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  v = std::stoull(text);
  if (v == 0 || v > 65535) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

const char* time_source_name(us::FrameTimeSource source) {
  switch (source) {
    case us::FrameTimeSource::kernel_stamp:
      return "kernel_stamp";
    case us::FrameTimeSource::device_clock:
      return "device_clock";
    case us::FrameTimeSource::imu_clock:
      return "imu_clock";
  }
  return "unknown";
}

bool capture_options_from(const FrameOptions& frames, us::StereoCaptureOptions& options, ToolError& error) {
  if (!frames.size.empty()) {
    const std::size_t x = frames.size.find('x');
    if (x == std::string::npos || !parse_dimension(frames.size.substr(0, x), options.width) ||
        !parse_dimension(frames.size.substr(x + 1), options.height)) {
      error = {kExitUsage, "--size must be WIDTHxHEIGHT of the side-by-side picture (e.g. 640x240), not '" +
                               escape_text(frames.size) + "'"};
      return false;
    }
  }
  if (!std::isfinite(frames.fps) || frames.fps < 0 || frames.fps > 1000) {
    error = {kExitUsage, "--fps must be 0 (the fastest) or a rate the camera offers, up to 1000"};
    return false;
  }
  options.frame_rate = frames.fps;
  if (frames.mjpeg) options.camera_format = us::PixelFormat::mjpeg;
  return true;
}

int cmd_capture(const GlobalOptions& g, const CaptureOptions& options) {
  if (options.count < 1 || options.count > kMaxCaptureCount)
    return report({kExitUsage, "--count must be 1 to " + std::to_string(kMaxCaptureCount)});
  us::StereoCaptureOptions capture_options;
  ToolError usage;
  if (!capture_options_from(options.frames, capture_options, usage)) return report(usage);
  capture_options.output = options.color ? us::FrameOutput::bgr : us::FrameOutput::gray;

  // The directory is made when missing (its parent must exist).
  const std::string& dir = options.directory;
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
    return report({kExitFileError, "create directory " + dir + " failed: " + std::strerror(errno)});
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return report({kExitFileError, "open directory " + dir + " failed: " + std::strerror(errno)});
  struct DirCloser {
    int fd;
    ~DirCloser() { ::close(fd); }
  } dir_closer{dir_fd};

  StopSignals signals;
  auto selection = pick(g);
  if (!selection.device) return report(selection.error);
  auto opened = us::open_stereo_capture(*selection.device, capture_options);
  if (!opened.ok()) return report(with_permission_hint(sdk_error(opened), g, *selection.device));
  us::StereoCapture& capture = *opened.value;

  const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  for (long n = 0; n < options.count; ++n) {
    if (signals.take() != 0) {
      std::fprintf(stderr, "interrupted after %ld of %ld frames\n", n, options.count);
      break;
    }
    auto next = capture.next(kFrameTimeoutMs);
    if (!next.ok()) return report(sdk_error(next));
    const us::StereoFrame& frame = *next.value;
    char stem[96];
    std::snprintf(stem, sizeof stem, "frame-%06" PRIu64 "-%" PRIu64, frame.sequence, frame.time_ns);
    const std::string left = std::string(stem) + "-left.png", right = std::string(stem) + "-right.png";
    std::string error;
    if (!write_png_at(dir_fd, left, prefix + left, frame.left, 6, error) ||
        !write_png_at(dir_fd, right, prefix + right, frame.right, 6, error))
      return report({kExitFileError, error});
    // The PTS as the camera sent it, or "-" when it sent none.
    const std::string pts = frame.has_pts ? std::to_string(frame.pts) : "-";
    std::printf("sequence=%" PRIu64 " time_ns=%" PRIu64 " time_source=%s uncertainty_ns=%.0f missed_before=%" PRIu64
                " host_ns=%" PRIu64 " pts=%s left=%s right=%s\n",
                frame.sequence, frame.time_ns, time_source_name(frame.time_source), frame.time_uncertainty_ns,
                frame.missed_before, frame.host_ns, pts.c_str(), escape_text(prefix + left).c_str(),
                escape_text(prefix + right).c_str());
    std::fflush(stdout);
    if (std::ferror(stdout)) {
      std::string output_error;
      stdout_ok(output_error);
      return report({kExitFileError, output_error});
    }
  }
  return kExitOk;
}

}  // namespace morvane::tool
