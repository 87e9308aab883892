// The record subcommand: frames and IMU samples as a EuRoC-style dataset
// (DIR/mav0/cam0, cam1 and imu0), the layout visual-inertial odometry
// programs read.
#include <dirent.h>
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
#include "dataset_yaml.hpp"
#include "png_writer.hpp"
#include "tool.hpp"

namespace morvane::tool {

namespace us = uvc_stereo;

namespace {

constexpr double kMaxRecordSeconds = 86400;
constexpr int kFrameTimeoutMs = 3000;
// Fast compression: the pictures are written while the camera streams.
constexpr int kPngCompression = 1;
constexpr double kStandardGravity = 9.80665;  // m/s^2 per g
constexpr double kPi = 3.14159265358979323846;

std::string system_text(const std::string& what, const std::string& path) {
  return what + " " + path + " failed: " + std::strerror(errno);
}

// Whether the directory open as `fd` holds anything; false with `error`
// when it cannot be read.
bool directory_is_empty(int fd, const std::string& path, bool& empty, std::string& error) {
  const int copy = ::dup(fd);
  DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
  if (dir == nullptr) {
    error = system_text("read directory", path);
    if (copy >= 0) ::close(copy);
    return false;
  }
  empty = true;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  ::closedir(dir);
  return true;
}

// The dataset root may be missing (it is made) or an empty directory; it is
// never a symbolic link.
bool check_root(const std::string& path, std::string& error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    error = system_text("stat", path);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    error = path + " is a symbolic link: record writes only into a new or empty directory it names directly";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = path + " exists and is not a directory";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = system_text("open directory", path);
    return false;
  }
  bool empty = false;
  const bool read = directory_is_empty(fd, path, empty, error);
  ::close(fd);
  if (read && !empty) error = path + " is not empty: record writes only into a new or empty directory";
  return read && empty;
}

// The dataset's directories and files, open while it is written.
class Dataset {
 public:
  ~Dataset() {
    std::string ignored;
    close(ignored);
  }

  bool create(const std::string& root, std::string& error) {
    root_ = root.size() > 1 && root.back() == '/' ? root.substr(0, root.size() - 1) : root;
    if (::mkdir(root_.c_str(), 0755) != 0 && errno != EEXIST) {
      error = system_text("create directory", root_);
      return false;
    }
    root_fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root_fd_ < 0) {
      error = system_text("open directory", root_);
      return false;
    }
    // Checked again on the opened directory: it may have changed meanwhile.
    bool empty = false;
    if (!directory_is_empty(root_fd_, root_, empty, error)) return false;
    if (!empty) {
      error = root_ + " is not empty: record writes only into a new or empty directory";
      return false;
    }
    mav_fd_ = make_directory_at(root_fd_, "mav0", path("mav0"), error);
    if (mav_fd_ < 0) return false;
    for (int eye = 0; eye < 2; ++eye) {
      const std::string cam = "cam" + std::to_string(eye);
      cam_fd_[eye] = make_directory_at(mav_fd_, cam, path("mav0/" + cam), error);
      if (cam_fd_[eye] < 0) return false;
      data_fd_[eye] = make_directory_at(cam_fd_[eye], "data", path("mav0/" + cam + "/data"), error);
      if (data_fd_[eye] < 0) return false;
      cam_csv_[eye] = create_file_at(cam_fd_[eye], "data.csv", csv_path(eye), error);
      if (cam_csv_[eye] == nullptr) return false;
      std::fputs("#timestamp [ns],filename\n", cam_csv_[eye]);
    }
    imu_fd_ = make_directory_at(mav_fd_, "imu0", path("mav0/imu0"), error);
    if (imu_fd_ < 0) return false;
    imu_csv_ = create_file_at(imu_fd_, "data.csv", path("mav0/imu0/data.csv"), error);
    if (imu_csv_ == nullptr) return false;
    std::fputs(
        "#timestamp [ns],w_RS_S_x [rad s^-1],w_RS_S_y [rad s^-1],w_RS_S_z [rad s^-1],"
        "a_RS_S_x [m s^-2],a_RS_S_y [m s^-2],a_RS_S_z [m s^-2]\n",
        imu_csv_);
    return true;
  }

  // Both eyes' pictures, then their rows: a row never names a picture that
  // is not whole.
  bool add_frame(const us::StereoFrame& frame, std::string& error) {
    const std::string name = std::to_string(frame.time_ns) + ".png";
    for (int eye = 0; eye < 2; ++eye) {
      const std::string shown = path("mav0/cam" + std::to_string(eye) + "/data/" + name);
      if (!write_png_at(data_fd_[eye], name, shown, eye == 0 ? frame.left : frame.right, kPngCompression, error))
        return false;
    }
    for (int eye = 0; eye < 2; ++eye) {
      if (std::fprintf(cam_csv_[eye], "%" PRIu64 ",%s\n", frame.time_ns, name.c_str()) < 0) {
        error = system_text("write", csv_path(eye));
        return false;
      }
    }
    return true;
  }

  bool add_imu(const us::ImuStreamSample& sample, std::string& error) {
    const us::ImuSample& v = sample.value;
    const double to_rad = kPi / 180.0;
    if (std::fprintf(imu_csv_, "%" PRIu64 ",%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", sample.time_ns, v.gyro_dps[0] * to_rad,
                     v.gyro_dps[1] * to_rad, v.gyro_dps[2] * to_rad, v.accel_g[0] * kStandardGravity,
                     v.accel_g[1] * kStandardGravity, v.accel_g[2] * kStandardGravity) < 0) {
      error = system_text("write", path("mav0/imu0/data.csv"));
      return false;
    }
    return true;
  }

  bool write_yaml(int dir_fd, const std::string& shown, const std::string& text, std::string& error) {
    std::FILE* file = create_file_at(dir_fd, "sensor.yaml", shown, error);
    if (file == nullptr) return false;
    std::fputs(text.c_str(), file);
    return close_file(file, shown, error);
  }

  bool finish(const DatasetCalibration& calibration, const us::StereoCaptureFormat& format, double imu_rate_hz,
              std::string& error) {
    for (int eye = 0; eye < 2; ++eye) {
      const std::string text = camera_sensor_yaml(eye, calibration, format.frame_rate, format.width / 2, format.height);
      if (!write_yaml(cam_fd_[eye], path("mav0/cam" + std::to_string(eye) + "/sensor.yaml"), text, error)) return false;
    }
    if (!write_yaml(imu_fd_, path("mav0/imu0/sensor.yaml"), imu_sensor_yaml(imu_rate_hz), error)) return false;
    return close(error);
  }

  // Closes every file and directory; false with the first lost write.
  bool close(std::string& error) {
    bool ok = true;
    std::string failure;
    for (int eye = 0; eye < 2; ++eye) {
      if (!close_file(cam_csv_[eye], csv_path(eye), failure) && ok) ok = false, error = failure;
      cam_csv_[eye] = nullptr;
    }
    if (!close_file(imu_csv_, path("mav0/imu0/data.csv"), failure) && ok) ok = false, error = failure;
    imu_csv_ = nullptr;
    for (int* fd : {&root_fd_, &mav_fd_, &cam_fd_[0], &cam_fd_[1], &data_fd_[0], &data_fd_[1], &imu_fd_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
    return ok;
  }

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

 private:
  std::string csv_path(int eye) const { return path("mav0/cam" + std::to_string(eye) + "/data.csv"); }

  std::string root_;
  int root_fd_ = -1, mav_fd_ = -1, cam_fd_[2] = {-1, -1}, data_fd_[2] = {-1, -1}, imu_fd_ = -1;
  std::FILE* cam_csv_[2] = {nullptr, nullptr};
  std::FILE* imu_csv_ = nullptr;
};

// The progress line on standard error: rewritten in place on a terminal,
// a line per second of recording otherwise.
class RecordProgress {
 public:
  RecordProgress() : tty_(::isatty(STDERR_FILENO) == 1) {}
  void update(std::uint64_t frames, std::uint64_t imu, double elapsed_s, bool last) {
    const long second = static_cast<long>(elapsed_s);
    // The last line only where it adds something: on a terminal it ends
    // the line; elsewhere it is new when frames came since the last one.
    if (last ? !tty_ && frames == frames_shown_ : second == shown_) return;
    shown_ = second;
    frames_shown_ = frames;
    std::fprintf(stderr, "%srecording: %" PRIu64 " frames, %" PRIu64 " IMU samples, %.1f s%s", tty_ ? "\r" : "", frames,
                 imu, elapsed_s, tty_ && !last ? "" : "\n");
    std::fflush(stderr);
  }

 private:
  bool tty_;
  long shown_ = -1;
  std::uint64_t frames_shown_ = ~std::uint64_t{0};
};

DatasetCalibration stored_calibration(const GlobalOptions& g, const us::DeviceInfo& device) {
  StoredBlob stored = read_stored_blob(g, device, true);
  if (!stored.blob.ok()) {
    DatasetCalibration none;
    none.reason = "the stored document could not be read: " + stored.blob.message;
    return none;
  }
  const auto& payload = stored.blob.value->payload;
  return dataset_calibration(std::string(payload.begin(), payload.end()));
}

}  // namespace

int cmd_record(const GlobalOptions& g, const RecordOptions& options) {
  if (!std::isfinite(options.duration_s) || options.duration_s <= 0 || options.duration_s > kMaxRecordSeconds)
    return report({kExitUsage, "--duration must be a number of seconds above 0, up to 86400"});
  us::FramesetOptions stream_options;
  ToolError usage;
  if (!capture_options_from(options.frames, stream_options.capture, usage)) return report(usage);
  stream_options.capture.output = us::FrameOutput::gray;
  if (options.directory.empty()) return report({kExitUsage, "record needs a dataset directory"});
  std::string error;
  // Refused before the camera is touched; nothing is written.
  if (!check_root(options.directory, error)) return report({kExitFileError, error});

  StopSignals signals;
  // Opening the IMU checks the firmware, a flash operation.
  auto selection = pick_for_flash(g);
  if (!selection.device) return report(selection.error);
  const us::DeviceInfo& camera = *selection.device;
  auto device = open_untouched(camera);
  if (!device.ok()) return report(sdk_error(device));
  const DatasetCalibration calibration = stored_calibration(g, camera);
  if (!calibration.found) std::fprintf(stderr, "no calibration found: %s\n", calibration.reason.c_str());
  auto opened = us::open_frameset_stream(*device.value, camera, stream_options);
  if (!opened.ok()) return report(with_permission_hint(sdk_error(opened), g, camera));
  us::FramesetStream& stream = *opened.value;

  Dataset dataset;
  if (!dataset.create(options.directory, error)) return report({kExitFileError, error});

  const auto duration_ns = static_cast<std::uint64_t>(options.duration_s * 1e9);
  std::uint64_t frames = 0, imu = 0, missed = 0, skipped = 0, on_imu_clock = 0, first_time = 0, last_time = 0;
  std::uint64_t first_sequence = 0, last_sequence = 0;
  ToolError failure;
  bool failed = false;
  int stopped_by = 0;
  RecordProgress progress;
  while ((stopped_by = signals.take()) == 0) {
    auto next = stream.next(kFrameTimeoutMs);
    if (!next.ok()) {
      failure = sdk_error(next);
      failed = true;
      break;
    }
    const us::Frameset& set = *next.value;
    bool written = true;
    for (const us::ImuStreamSample& sample : set.imu) {
      written = dataset.add_imu(sample, error);
      if (!written) break;
      ++imu;
    }
    if (!written) {
      failure = {kExitFileError, error};
      failed = true;
      break;
    }
    const us::StereoFrame& frame = set.frame;
    // Names are the stamps: a frame not after the previous one is left out.
    if (frames > 0 && frame.time_ns <= last_time) {
      ++skipped;
      continue;
    }
    if (!dataset.add_frame(frame, error)) {
      failure = {kExitFileError, error};
      failed = true;
      break;
    }
    if (frames == 0) {
      first_time = frame.time_ns;
      first_sequence = frame.sequence;
    } else {
      missed += frame.missed_before;
    }
    last_time = frame.time_ns;
    last_sequence = frame.sequence;
    ++frames;
    on_imu_clock += frame.time_source == us::FrameTimeSource::imu_clock;
    const std::uint64_t elapsed = last_time - first_time;
    progress.update(frames, imu, static_cast<double>(elapsed) / 1e9, false);
    if (elapsed >= duration_ns) break;
  }
  const double elapsed_s = static_cast<double>(last_time - first_time) / 1e9;
  progress.update(frames, imu, elapsed_s, true);

  const us::StereoCaptureFormat format = stream.capture().format();
  double imu_rate = stream.imu().clock_estimate().sample_rate_hz;
  if (!(imu_rate > 0)) imu_rate = elapsed_s > 0 ? static_cast<double>(imu) / elapsed_s : 0.0;
  opened.value = std::nullopt;  // the stream goes before the IMU closes
  device.value->close_imu();
  if (!dataset.finish(calibration, format, imu_rate, error)) {
    if (!failed) failure = {kExitFileError, error};
    failed = true;
  }
  const char* stop = stopped_by != 0 ? " (stopped by a signal)" : "";
  if (frames == 0) {
    std::fprintf(stderr, "recorded 0 frames and %" PRIu64 " IMU samples into %s%s\n", imu, dataset.path("mav0").c_str(),
                 stop);
  } else {
    std::fprintf(stderr,
                 "recorded %" PRIu64 " frames (sequence %" PRIu64 " to %" PRIu64 ", %" PRIu64 " missed, %" PRIu64
                 " left out for a stamp not after the previous, %" PRIu64 " stamped on the IMU's clock) and %" PRIu64
                 " IMU samples over %.3f s into %s%s\n",
                 frames, first_sequence, last_sequence, missed, skipped, on_imu_clock, imu, elapsed_s,
                 dataset.path("mav0").c_str(), stop);
  }
  return failed ? report(failure) : kExitOk;
}

}  // namespace morvane::tool
