// Stereo frames: a capture whose frames' eyes are numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "frames.hpp"

namespace morvane::python {

void FrameSource::drop(us::StereoFrame frame) {
  {
    std::lock_guard<std::mutex> lock(dropped_mutex_);
    dropped_.push_back(std::move(frame));
  }
  // A holder that let go before the push above has left it here: take it
  // back now. One that still holds the mutex gives it back as it lets go.
  if (mutex.try_lock()) {
    give_back();
    mutex.unlock();
  }
}

void FrameSource::give_back() {
  std::vector<us::StereoFrame> gone;
  {
    std::lock_guard<std::mutex> lock(dropped_mutex_);
    gone.swap(dropped_);
  }
  // Destroyed here, under `mutex`: each gives its buffer back to the driver.
}

bool FrameSource::has_dropped() {
  std::lock_guard<std::mutex> lock(dropped_mutex_);
  return !dropped_.empty();
}

SourceLock::SourceLock(FrameSource& source) : source_(source) {
  source_.mutex.lock();
  source_.give_back();
}

SourceLock::~SourceLock() {
  source_.give_back();
  source_.mutex.unlock();
  // A frame dropped between the give_back() above and the unlock found the
  // mutex held and left its buffer here.
  while (source_.has_dropped() && source_.mutex.try_lock()) {
    source_.give_back();
    source_.mutex.unlock();
  }
}

namespace {

// Every capture registers, so that a simulation switch closes it
// (close_all_captures). Frames still held then stay readable; their
// buffers are never given back, to neither system: their descriptors
// belong to the one that is gone (the memory stays mapped, a small leak
// for a program that keeps frames across a switch).
struct CaptureState;
std::mutex g_captures_mutex;

std::set<CaptureState*>& captures() {
  static std::set<CaptureState*> all;
  return all;
}

// Frames kept across a switch (reachable, so not reported as leaks).
void keep_forever(us::StereoFrame frame) {
  static auto* kept = new std::vector<us::StereoFrame>();
  std::lock_guard<std::mutex> lock(g_captures_mutex);
  kept->push_back(std::move(frame));
}

}  // namespace

FrameBox::~FrameBox() {
  if (!source) return;
  PlatformPass pass;
  if (source->generation != platform_generation())
    keep_forever(std::move(frame));  // see captures()
  else
    source->drop(std::move(frame));
}

namespace {

// The capture and what its reads left for the next call. Shared with the
// jobs that read it on the capture's worker: a job a signal interrupted
// finishes after the call that posted it has returned, and its frame stays
// here for the next call. The source's mutex is held around every use of
// the capture and of the two below.
struct CaptureState : FrameSource {
  us::StereoCapture capture;
  std::optional<us::StereoFrame> carried;
  std::optional<us::Result<us::StereoFrame>> deferred;  // a failure other than a slice's timeout

  CaptureState() {
    std::lock_guard<std::mutex> lock(g_captures_mutex);
    captures().insert(this);
  }
  ~CaptureState() {
    {
      // Waits for a switch that is closing this capture.
      std::lock_guard<std::mutex> lock(g_captures_mutex);
      captures().erase(this);
    }
    SourceLock lock(*this);
    // Closed by a switch since: a frame it still carries belongs to the old system.
    if (generation != platform_generation() && carried) keep_forever(std::move(*carried));
    carried.reset();
    us::StereoCapture closed(std::move(capture));
  }
  CaptureState(const CaptureState&) = delete;
  CaptureState& operator=(const CaptureState&) = delete;
};

py::object eye_array(const std::shared_ptr<FrameBox>& box, const us::ImageView& v) {
  std::vector<py::ssize_t> shape{v.height, v.width};
  std::vector<py::ssize_t> strides{v.stride, 1};
  if (v.format == us::PixelFormat::yuyv || v.format == us::PixelFormat::bgr24) {
    const py::ssize_t channels = v.format == us::PixelFormat::yuyv ? 2 : 3;
    shape = {v.height, v.width, channels};
    strides = {v.stride, channels, 1};
  }
  auto* keep = new std::shared_ptr<FrameBox>(box);
  py::capsule base(keep, [](void* p) { delete static_cast<std::shared_ptr<FrameBox>*>(p); });
  py::array a(py::dtype::of<std::uint8_t>(), shape, strides, v.data, base);
  a.attr("setflags")(py::arg("write") = false);
  return a;
}

}  // namespace

PyStereoFrame make_frame(std::shared_ptr<FrameSource> source, us::StereoFrame f) {
  PyStereoFrame p;
  p.sequence = f.sequence;
  p.missed_before = f.missed_before;
  p.host_ns = f.host_ns;
  p.time_ns = f.time_ns;
  p.time_source = static_cast<int>(f.time_source);
  p.time_uncertainty_ns = f.time_uncertainty_ns;
  if (f.has_pts) p.pts = f.pts;
  p.box = std::make_shared<FrameBox>();
  p.box->source = std::move(source);
  p.box->frame = std::move(f);
  return p;
}

namespace {

struct PyStereoCapture {
  std::shared_ptr<CaptureState> state = std::make_shared<CaptureState>();
  std::string node;
  std::unique_ptr<Worker> worker = std::make_unique<Worker>();

  template <typename F>
  auto locked(F&& f) {
    Unlocked unlocked;
    SourceLock lock(*state);
    return f(state->capture);
  }

  PyStereoFrame next(const std::optional<double>& timeout_s) {
    FrameWait wait(timeout_s);
    for (;;) {
      {
        std::optional<us::StereoFrame> got;
        std::optional<us::Result<us::StereoFrame>> failure;
        {
          SourceLock lock(*state);
          if (state->carried) {
            got = std::move(state->carried);
            state->carried.reset();
          } else if (state->deferred) {
            failure = std::move(state->deferred);
            state->deferred.reset();
          }
        }
        if (got) return make_frame(state, std::move(*got));
        if (failure) raise_error(failure->code, failure->message);
      }
      const int slice = wait.next_slice(node);
      run_interruptibly(*worker, [s = state, slice]() {
        SourceLock lock(*s);
        if (s->carried || s->deferred) return;
        us::Result<us::StereoFrame> r = s->capture.next(slice);
        if (r.ok())
          s->carried = std::move(*r.value);
        else if (!is_frame_timeout(r.code, r.message))
          s->deferred = std::move(r);
      });
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }

  void close() {
    locked([](us::StereoCapture& c) { c.close(); });
  }
};

std::optional<std::uint32_t> u32_opt(long long v) {
  if (v < 0 || v > 0xFFFFFFFFLL) return std::nullopt;
  return static_cast<std::uint32_t>(v);
}

}  // namespace

us::StereoCaptureOptions capture_options(long long width, long long height, double frame_rate,
                                         const std::string& output, const std::string& camera_format,
                                         long long buffer_count, bool use_metadata) {
  us::StereoCaptureOptions o;
  // A size beyond 32 bits is out of range like any other: the SDK names the range.
  o.width = u32_opt(width).value_or(0xFFFFFFFFu);
  o.height = u32_opt(height).value_or(0xFFFFFFFFu);
  o.frame_rate = frame_rate;
  if (output == "views")
    o.output = us::FrameOutput::views;
  else if (output == "gray")
    o.output = us::FrameOutput::gray;
  else if (output == "bgr")
    o.output = us::FrameOutput::bgr;
  else
    throw py::value_error("output must be 'views', 'gray' or 'bgr', not '" + output + "'");
  if (camera_format == "yuyv")
    o.camera_format = us::PixelFormat::yuyv;
  else if (camera_format == "mjpeg")
    o.camera_format = us::PixelFormat::mjpeg;
  else
    throw py::value_error("camera_format must be 'yuyv' or 'mjpeg', not '" + camera_format + "'");
  o.buffer_count = u32_opt(buffer_count).value_or(0);
  o.use_metadata = use_metadata;
  return o;
}

namespace {

const char* format_name(us::PixelFormat f) {
  switch (f) {
    case us::PixelFormat::yuyv:
      return "yuyv";
    case us::PixelFormat::gray8:
      return "gray";
    case us::PixelFormat::bgr24:
      return "bgr";
    case us::PixelFormat::mjpeg:
      return "mjpeg";
  }
  return "?";
}

}  // namespace

void close_all_captures() {
  std::lock_guard<std::mutex> lock(g_captures_mutex);
  for (CaptureState* c : captures()) {
    SourceLock capture_lock(*c);  // gives back the frames dropped so far, on the old system
    c->capture.close();
    c->deferred.reset();
  }
}

void bind_frames(py::module_& m) {
  py::class_<us::StereoCaptureFormat>(m, "StereoCaptureFormat", "What a stereo capture negotiated.")
      .def_readonly("node", &us::StereoCaptureFormat::node)
      .def_readonly("width", &us::StereoCaptureFormat::width)
      .def_readonly("height", &us::StereoCaptureFormat::height)
      .def_readonly("stride", &us::StereoCaptureFormat::stride)
      .def_property_readonly("camera_format",
                             [](const us::StereoCaptureFormat& f) { return std::string(format_name(f.camera_format)); })
      .def_readonly("frame_rate", &us::StereoCaptureFormat::frame_rate)
      .def_readonly("metadata", &us::StereoCaptureFormat::metadata);

  py::class_<us::StereoCaptureStats>(m, "StereoCaptureStats", "What a stereo capture has handed out so far.")
      .def_readonly("frames", &us::StereoCaptureStats::frames)
      .def_readonly("missed", &us::StereoCaptureStats::missed)
      .def_readonly("fallback", &us::StereoCaptureStats::fallback)
      .def_readonly("undecodable", &us::StereoCaptureStats::undecodable);

  py::class_<PyStereoFrame>(m, "StereoFrame",
                            "One stereo frame. left and right are read-only numpy arrays (uint8: (h, w, 2) YUYV\n"
                            "for views, (h, w) gray, (h, w, 3) BGR) that point into the frame's buffer without a\n"
                            "copy. Each array keeps that buffer alive: release() drops the frame's own hold, and\n"
                            "the buffer goes back to the driver once no array refers to it either.")
      .def_property_readonly("left",
                             [](PyStereoFrame& f) -> py::object {
                               if (!f.left_array && f.box) f.left_array = eye_array(f.box, f.box->frame.left);
                               return f.left_array ? f.left_array : py::none();
                             })
      .def_property_readonly("right",
                             [](PyStereoFrame& f) -> py::object {
                               if (!f.right_array && f.box) f.right_array = eye_array(f.box, f.box->frame.right);
                               return f.right_array ? f.right_array : py::none();
                             })
      .def_readonly("sequence", &PyStereoFrame::sequence)
      .def_readonly("missed_before", &PyStereoFrame::missed_before)
      .def_readonly("host_ns", &PyStereoFrame::host_ns)
      .def_readonly("time_ns", &PyStereoFrame::time_ns)
      .def_property_readonly("time_source",
                             [](const PyStereoFrame& f) {
                               static const char* names[] = {"kernel_stamp", "device_clock", "imu_clock"};
                               return std::string(f.time_source >= 0 && f.time_source < 3 ? names[f.time_source] : "?");
                             })
      .def_readonly("time_uncertainty_ns", &PyStereoFrame::time_uncertainty_ns)
      .def_readonly("pts", &PyStereoFrame::pts)
      .def_property_readonly("holds_buffer", [](const PyStereoFrame& f) { return static_cast<bool>(f.box); })
      .def(
          "release",
          [](PyStereoFrame& f) {
            f.left_array = py::object();
            f.right_array = py::object();
            std::shared_ptr<FrameBox> gone = std::move(f.box);
            Unlocked unlocked;
            gone.reset();
          },
          "Drops the frame's hold on its buffer (arrays taken before keep theirs); left and right\n"
          "are None afterwards. Safe to call twice.")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](PyStereoFrame& f, const py::object&, const py::object&, const py::object&) {
            f.left_array = py::object();
            f.right_array = py::object();
            std::shared_ptr<FrameBox> gone = std::move(f.box);
            Unlocked unlocked;
            gone.reset();
            return false;
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
      .def("__repr__", [](const PyStereoFrame& f) {
        return "StereoFrame(sequence=" + std::to_string(f.sequence) + ", time_ns=" + std::to_string(f.time_ns) +
               ", missed_before=" + std::to_string(f.missed_before) + (f.box ? "" : ", released") + ")";
      });

  py::class_<PyStereoCapture, std::unique_ptr<PyStereoCapture>> capture(
      m, "StereoCapture",
      "Streams one camera's capture node. next(timeout) waits for a frame (timeout in seconds,\n"
      "None: without limit); Ctrl-C is seen within about 100 ms, and a frame read meanwhile is\n"
      "handed out by the next call.");
  capture.def("next", &PyStereoCapture::next, py::arg("timeout") = py::none(),
              "The next StereoFrame. Raises FrameStallError (a DeviceError and TimeoutError, code\n"
              "READ_FAILED) 'no frame from <node> within <N> ms' when none came in time (the capture\n"
              "stays usable).");
  capture.def("__iter__", [](py::object self) { return self; });
  capture.def("__next__", [](PyStereoCapture& c) { return c.next(std::nullopt); });
  capture.def("fileno", [](PyStereoCapture& c) { return c.locked([](us::StereoCapture& s) { return s.fd(); }); });
  capture.def_property_readonly(
      "fd", [](PyStereoCapture& c) { return c.locked([](us::StereoCapture& s) { return s.fd(); }); });
  capture.def_property_readonly(
      "format", [](PyStereoCapture& c) { return c.locked([](us::StereoCapture& s) { return s.format(); }); });
  capture.def_property_readonly(
      "stats", [](PyStereoCapture& c) { return c.locked([](us::StereoCapture& s) { return s.stats(); }); });
  capture.def_property_readonly(
      "is_open", [](PyStereoCapture& c) { return c.locked([](us::StereoCapture& s) { return s.is_open(); }); });
  capture.def("close", &PyStereoCapture::close, "Stops streaming. Safe to call twice.");
  capture.def("__enter__", [](py::object self) { return self; });
  capture.def(
      "__exit__",
      [](PyStereoCapture& c, const py::object&, const py::object&, const py::object&) {
        c.close();
        return false;
      },
      py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
  capture.def("__repr__", [](PyStereoCapture& c) { return "<morvane_uvc_stereo.StereoCapture " + c.node + ">"; });

  m.def(
      "open_stereo_capture",
      [](const us::DeviceInfo& info, long long width, long long height, double frame_rate, const std::string& output,
         const std::string& camera_format, long long buffer_count, bool use_metadata) {
        const us::StereoCaptureOptions o =
            capture_options(width, height, frame_rate, output, camera_format, buffer_count, use_metadata);
        auto c = std::make_unique<PyStereoCapture>();
        std::optional<us::Result<us::StereoCapture>> opened;
        {
          Unlocked unlocked;
          opened.emplace(us::open_stereo_capture(info, o));
          // Into the registered state inside the call's pass: a simulation
          // switch that follows finds it open and closes it.
          if (opened->ok()) {
            SourceLock lock(*c->state);
            c->state->generation = platform_generation();
            c->state->capture = std::move(*opened->value);
          }
        }
        check(us::Result<void>::forward(*opened));
        c->node = c->state->capture.format().node;
        return c;
      },
      py::arg("info"), py::kw_only(), py::arg("width") = 0, py::arg("height") = 0, py::arg("frame_rate") = 0.0,
      py::arg("output") = "views", py::arg("camera_format") = "yuyv", py::arg("buffer_count") = 4,
      py::arg("use_metadata") = true,
      "Opens the camera's capture node and starts streaming (StereoCapture). output: 'views',\n"
      "'gray' or 'bgr'; camera_format: 'yuyv' or 'mjpeg'. Raises Error as the SDK reports.");
}

}  // namespace morvane::python
