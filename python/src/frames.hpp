// What the stereo capture and the frameset stream share: frames whose eyes
// are numpy arrays into the driver's buffers, and the capture's options.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "morvane/uvc_stereo/frames.hpp"

namespace morvane::python {

// Where a frame's driver buffer goes back. `mutex` is held around every use
// of the capture that filled the buffer (a StereoCapture, or the
// FramesetStream that owns one) and around every release of its frames: the
// driver's queue is not thread-safe.
//
// A frame's last reference may go while a read holds `mutex` for a long
// time (a frameset read waits for the IMU, seconds for a camera that does
// not answer), and it may go with the interpreter lock held (a numpy
// array's base): such a release never waits. drop() gives the buffer back
// at once when the mutex is free, else leaves it for the holder, which
// gives it back before it lets go (SourceLock).
struct FrameSource {
  std::mutex mutex;
  // platform_generation() when the capture was opened: a frame released
  // after a simulation switch is not given back (frames.cpp).
  std::uint64_t generation = platform_generation();

  void drop(us::StereoFrame frame);
  // Gives back the frames dropped meanwhile; call with `mutex` held.
  void give_back();

 private:
  std::mutex dropped_mutex_;  // guards dropped_ (held briefly, never while a buffer is given back)
  std::vector<us::StereoFrame> dropped_;
  friend class SourceLock;
  bool has_dropped();
};

// Holds a FrameSource's mutex; gives back the frames dropped meanwhile on
// taking it and on letting go, so that none waits for a later holder. It
// holds a PlatformPass first: giving a buffer back calls the library.
class SourceLock {
 public:
  explicit SourceLock(FrameSource& source);
  ~SourceLock();
  SourceLock(const SourceLock&) = delete;
  SourceLock& operator=(const SourceLock&) = delete;

 private:
  PlatformPass pass_;
  FrameSource& source_;
};

// A frame and the source its buffer goes back to, when the last reference
// goes: the StereoFrame object's and each numpy array's (an array's base
// holds one), so an array never points at a buffer the driver reuses.
struct FrameBox {
  std::shared_ptr<FrameSource> source;
  us::StereoFrame frame;
  ~FrameBox();
};

// The object behind morvane_uvc_stereo.StereoFrame.
struct PyStereoFrame {
  std::shared_ptr<FrameBox> box;  // null once released
  // What stays readable after release().
  std::uint64_t sequence = 0, missed_before = 0, host_ns = 0, time_ns = 0;
  int time_source = 0;
  double time_uncertainty_ns = 0.0;
  std::optional<std::uint32_t> pts;
  py::object left_array, right_array;  // made once, on first access
};

PyStereoFrame make_frame(std::shared_ptr<FrameSource> source, us::StereoFrame f);

// The capture's options from open_stereo_capture's arguments (ValueError for
// an output or camera_format that is none of the names).
us::StereoCaptureOptions capture_options(long long width, long long height, double frame_rate,
                                         const std::string& output, const std::string& camera_format,
                                         long long buffer_count, bool use_metadata);

// The reads on a worker that a capture's or a frameset stream's next() makes
// wait this long at most, so that the waiting call checks for signals
// between them as well as during them.
inline constexpr int kFrameSliceMs = 20;

// The wait of a next(timeout) (seconds; None: without limit), made of reads
// of at most kFrameSliceMs. ValueError for a negative or NaN timeout.
class FrameWait {
 public:
  explicit FrameWait(const std::optional<double>& timeout_s)
      : limit_ms_(timeout_s ? static_cast<long long>(*timeout_s * 1000.0 + 0.5) : -1) {
    if (timeout_s && !(*timeout_s >= 0.0)) throw py::value_error("timeout must be None or at least 0 seconds");
  }

  // The next read's slice in milliseconds; once the time ran out (never
  // before the first read) raises Error READ_FAILED "no frame from <node>
  // within <N> ms".
  int next_slice(const std::string& node) {
    const long long spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
    if (limit_ms_ >= 0 && spent >= limit_ms_ && !first_)
      raise_error(us::ErrorCode::read_failed, "no frame from " + node + " within " + std::to_string(limit_ms_) + " ms");
    first_ = false;
    if (limit_ms_ < 0 || limit_ms_ - spent >= kFrameSliceMs) return kFrameSliceMs;
    return static_cast<int>(limit_ms_ - spent < 0 ? 0 : limit_ms_ - spent);
  }

 private:
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  const long long limit_ms_;
  bool first_ = true;
};

// True for the "no frame from <node> within <N> ms" of a read that merely
// found no frame within its slice.
inline bool is_frame_timeout(us::ErrorCode code, const std::string& message) {
  return code == us::ErrorCode::read_failed && message.rfind("no frame from ", 0) == 0;
}

}  // namespace morvane::python
