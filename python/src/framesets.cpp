// Framesets: each stereo frame with the IMU samples taken since the
// previous one, frames and samples on one clock.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "frames.hpp"
#include "morvane/uvc_stereo/frames.hpp"

namespace morvane::python {
namespace {

// The stream and what its reads left for the next call. Shared with the
// jobs that read it on the device's worker: a job a signal interrupted
// finishes after the call that posted it has returned, and its frameset
// stays here for the next call. The stream reads the IMU through the
// device, so it is used under the device's mutex, and its capture and its
// frames' buffers under frames->mutex (taken after the device's).
struct FramesetState : DeviceDependent {
  // Apart from the stream: a frame held after the stream is gone keeps
  // only this (and its driver buffer), not the stream.
  std::shared_ptr<FrameSource> frames = std::make_shared<FrameSource>();
  us::FramesetStream stream;
  std::mutex mutex;  // guards the three below (held briefly, never while reading)
  std::optional<us::Frameset> carried;
  us::FramesetStats carried_stats;                   // the stream's stats before `carried` was made
  std::optional<us::Result<us::Frameset>> deferred;  // a failure other than a slice's timeout

  ~FramesetState() override { end(); }
  // The device closes: the capture stops and its nodes close (frames still
  // held keep theirs until released); later reads fail as closed.
  void end_with_device() noexcept override { end(); }

  void end() noexcept {
    SourceLock lock(*frames);
    us::FramesetStream gone(std::move(stream));
  }
};

// A frameset as Python sees it.
struct PyFrameset {
  py::object frame;  // StereoFrame
  py::object imu;    // the samples, a numpy array of IMU_SAMPLE_DTYPE
  std::optional<us::ImuStreamSample> imu_before, imu_after;
  std::optional<us::ImuSample> interpolated;
  std::uint64_t sequence = 0, time_ns = 0;  // the frame's, for repr
};

// The stream and the Device object it reads; the Device object is kept
// alive as long as the stream, and its mutex serialises the stream's reads
// with every other call on that device.
//
// Reads run on the device's worker in slices of kFrameSliceMs, waited for
// interruptibly: a signal (Ctrl-C) or a Device.close() from another thread
// is seen within about 100 ms, also while the camera does not answer. A
// frameset read by a call that a signal interrupted is handed out by the
// next call; the IMU samples read meanwhile stay in the stream for the
// frameset they belong to.
struct PyFramesetStream {
  py::object owner;  // the PyDevice
  PyDevice* device = nullptr;
  std::shared_ptr<FramesetState> state = std::make_shared<FramesetState>();
  std::string node;

  // Runs f(stream) under the device's mutex, waited for interruptibly (also
  // once the device is closed: a read in flight uses the stream).
  template <typename F>
  auto call(F&& f) {
    return device->locked(
        [&](us::Device&) {
          SourceLock lock(*state->frames);
          return f(state->stream);
        },
        false);
  }

  us::FramesetStats stats() {
    return call([&](us::FramesetStream& st) {
      std::lock_guard<std::mutex> lock(state->mutex);
      return state->carried ? state->carried_stats : st.stats();
    });
  }

  PyFrameset to_python(us::Frameset set) {
    PyFrameset p;
    p.interpolated = set.interpolated_imu();
    p.sequence = set.frame.sequence;
    p.time_ns = set.frame.time_ns;
    // Boxed first: should a step below fail, the buffer goes back under
    // the source's mutex.
    PyStereoFrame frame = make_frame(state->frames, std::move(set.frame));
    p.imu_before = std::move(set.imu_before);
    p.imu_after = std::move(set.imu_after);
    p.imu = imu_sample_rows(set.imu);
    p.frame = py::cast(std::move(frame));
    return p;
  }

  PyFrameset next(const std::optional<double>& timeout_s) {
    FrameWait wait(timeout_s);
    // numpy first: nothing is read when the samples' array cannot be made.
    (void)imu_sample_dtype();
    for (;;) {
      {
        std::optional<us::Frameset> got;
        std::optional<us::Result<us::Frameset>> failure;
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          if (state->carried) {
            got = std::move(state->carried);
            state->carried.reset();
          } else if (state->deferred) {
            failure = std::move(state->deferred);
            state->deferred.reset();
          }
        }
        if (got) return to_python(std::move(*got));
        if (failure) raise_error(failure->code, failure->message);
      }
      const int slice = wait.next_slice(node);
      device->read([s = state, slice](us::Device& dev) {
        {
          std::lock_guard<std::mutex> lock(s->mutex);
          if (s->carried || s->deferred) return;
          if (dev.info().vid == 0) {
            // Run after the device was closed: the stream ends as closed.
            s->deferred = us::Result<us::Frameset>::failure(us::ErrorCode::invalid_argument, kMsgDeviceClosed);
            return;
          }
        }
        SourceLock frames(*s->frames);
        const us::FramesetStats before = s->stream.stats();
        us::Result<us::Frameset> r = s->stream.next(slice);
        std::lock_guard<std::mutex> lock(s->mutex);
        if (r.ok()) {
          s->carried = std::move(*r.value);
          s->carried_stats = before;
        } else if (!is_frame_timeout(r.code, r.message)) {
          s->deferred = std::move(r);
        }
      });
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  }

  void close() {
    call([](us::FramesetStream& st) { us::FramesetStream gone(std::move(st)); });
  }
};

void release_frame(PyFrameset& f) {
  if (f.frame) f.frame.attr("release")();
}

}  // namespace

void bind_framesets(py::module_& m) {
  py::class_<us::FramesetStats>(m, "FramesetStats", "What a frameset stream has handed out so far.")
      .def_readonly("framesets", &us::FramesetStats::framesets)
      .def_readonly("imu_samples", &us::FramesetStats::imu_samples, "IMU samples handed out in framesets.")
      .def_readonly("imu_clock", &us::FramesetStats::imu_clock,
                    "Frames stamped through the IMU stream's clock fit (time_source 'imu_clock').")
      .def_readonly("disagreements", &us::FramesetStats::disagreements,
                    "Frames whose PTS did not agree with the IMU stream's clock (they keep the capture's\n"
                    "own stamp).")
      .def("__repr__", [](const us::FramesetStats& s) {
        return "FramesetStats(framesets=" + std::to_string(s.framesets) +
               ", imu_samples=" + std::to_string(s.imu_samples) + ", imu_clock=" + std::to_string(s.imu_clock) +
               ", disagreements=" + std::to_string(s.disagreements) + ")";
      });

  py::class_<PyFrameset>(m, "Frameset",
                         "One stereo frame and the IMU samples whose time_ns lies after the previous frame's\n"
                         "time_ns and at or before this frame's (the first frameset takes every sample up to its\n"
                         "frame). Every sample the stream reads lands in exactly one frameset, in order.")
      .def_readonly("frame", &PyFrameset::frame,
                    "The StereoFrame, as StereoCapture.next() gives it (its eyes point into the driver's\n"
                    "buffer).")
      .def_readonly("imu", &PyFrameset::imu,
                    "The frameset's IMU samples, a numpy structured array of IMU_SAMPLE_DTYPE (the fields\n"
                    "ImuStream.next_batch() gives), possibly empty.")
      .def_readonly("imu_before", &PyFrameset::imu_before,
                    "The last sample at or before the frame's instant (ImuStreamSample; from an earlier\n"
                    "frameset when this one has none), or None.")
      .def_readonly("imu_after", &PyFrameset::imu_after,
                    "The first sample after the frame's instant, the next frameset's first (ImuStreamSample),\n"
                    "or None.")
      .def_readonly("interpolated_imu", &PyFrameset::interpolated,
                    "The IMU sample linearly interpolated at frame.time_ns (ImuSample, timestamp_ns set to\n"
                    "it) from imu_before and imu_after; None without both.")
      .def("release", &release_frame, "Same as frame.release().")
      .def("__enter__", [](py::object self) { return self; })
      .def(
          "__exit__",
          [](PyFrameset& f, const py::object&, const py::object&, const py::object&) {
            release_frame(f);
            return false;
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
      .def("__repr__", [](const PyFrameset& f) {
        return "Frameset(sequence=" + std::to_string(f.sequence) + ", time_ns=" + std::to_string(f.time_ns) +
               ", imu=" + std::to_string(py::len(f.imu)) + ")";
      });

  py::class_<PyFramesetStream, std::unique_ptr<PyFramesetStream>> stream(
      m, "FramesetStream",
      "Stereo frames paired with the IMU samples taken since the previous frame, on one clock:\n"
      "each frame's PTS is mapped through the IMU stream's own fit (time_source 'imu_clock').\n"
      "next(timeout) waits for a frameset (timeout in seconds, None: without limit) and reads\n"
      "the IMU all the while; Ctrl-C is seen within about 100 ms, also while the camera does not\n"
      "answer, and a frameset read meanwhile is handed out by the next call. Read the device's\n"
      "IMU by nothing else meanwhile. Closing the Device ends the stream: its capture stops\n"
      "and its later calls raise Error (INVALID_ARGUMENT) 'device is closed or moved-from'.\n"
      "No fileno(): waiting for the capture's descriptor without reading the IMU would lose the\n"
      "samples of an IMU that keeps only its latest one.");
  stream.def("next", &PyFramesetStream::next, py::arg("timeout") = py::none(),
             "The next Frameset. Raises FrameStallError (a DeviceError and TimeoutError, code\n"
             "READ_FAILED) 'no frame from <node> within <N> ms' when no frame came in time (the\n"
             "stream stays usable, the IMU samples read meanwhile stay for the next frameset), the\n"
             "capture's other failures, and the IMU stream's (ImuStallError for 'no new IMU sample\n"
             "within <N> ms', after which the stream goes on; a frame read before an IMU failure\n"
             "is lost with it, its samples are not).");
  stream.def("__iter__", [](py::object self) { return self; });
  stream.def("__next__", [](PyFramesetStream& s) { return s.next(std::nullopt); });
  stream.def_property_readonly(
      "format",
      [](PyFramesetStream& s) { return s.call([](us::FramesetStream& st) { return st.capture().format(); }); },
      "The capture's StereoCaptureFormat.");
  stream.def_property_readonly("stats", &PyFramesetStream::stats,
                               "FramesetStats: framesets, imu_samples, imu_clock, disagreements.");
  stream.def_property_readonly(
      "is_open", [](PyFramesetStream& s) { return s.call([](us::FramesetStream& st) { return st.is_open(); }); },
      "False once closed, or once its Device was closed.");
  stream.def("close", &PyFramesetStream::close,
             "Stops the capture and ends the stream (the IMU stays open). Safe to call twice.");
  stream.def("__enter__", [](py::object self) { return self; });
  stream.def(
      "__exit__",
      [](PyFramesetStream& s, const py::object&, const py::object&, const py::object&) {
        s.close();
        return false;
      },
      py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
  stream.def("__repr__", [](PyFramesetStream& s) {
    const bool open = s.call([](us::FramesetStream& st) { return st.is_open(); });
    if (!open) return std::string("<morvane_uvc_stereo.FramesetStream closed>");
    return "<morvane_uvc_stereo.FramesetStream " + s.node + " framesets=" + std::to_string(s.stats().framesets) + ">";
  });

  auto device = py::reinterpret_borrow<py::class_<PyDevice, std::unique_ptr<PyDevice>>>(m.attr("Device"));
  device.def(
      "open_frameset_stream",
      [](py::object self, long long width, long long height, double frame_rate, const std::string& output,
         const std::string& camera_format, long long buffer_count, bool use_metadata, double sample_rate_hz,
         double nominal_tick_rate_hz, double estimation_window_s, const py::int_& stall_timeout_ms,
         const std::optional<us::ImuConversionOptions>& conversion, double clock_agreement_ns) {
        us::FramesetOptions options;
        options.capture = capture_options(width, height, frame_rate, output, camera_format, buffer_count, use_metadata);
        options.imu =
            imu_stream_options(sample_rate_hz, nominal_tick_rate_hz, estimation_window_s, stall_timeout_ms, conversion);
        options.clock_agreement_ns = clock_agreement_ns;
        auto s = std::make_unique<PyFramesetStream>();
        s->owner = self;
        s->device = &self.cast<PyDevice&>();
        PyDevice* dev_object = s->device;
        const std::shared_ptr<FramesetState> state = s->state;
        std::string node;
        check(s->device->call([&](us::Device& dev) {
          us::Result<us::FramesetStream> opened = us::open_frameset_stream(dev, dev.info(), options);
          if (!opened.ok()) return us::Result<void>::forward(opened);
          node = opened.value->capture().format().node;
          {
            SourceLock lock(*state->frames);
            state->frames->generation = platform_generation();
            state->stream = std::move(*opened.value);
          }
          dev_object->add_dependent(state);
          return us::Result<void>::success();
        }));
        s->node = node;
        return s;
      },
      py::kw_only(), py::arg("width") = 0, py::arg("height") = 0, py::arg("frame_rate") = 0.0,
      py::arg("output") = "views", py::arg("camera_format") = "yuyv", py::arg("buffer_count") = 4,
      py::arg("use_metadata") = true, py::arg("sample_rate_hz") = 0.0, py::arg("nominal_tick_rate_hz") = 1e6,
      py::arg("estimation_window_s") = 30.0, py::arg("stall_timeout_ms") = 2000, py::arg("conversion") = py::none(),
      py::arg("clock_agreement_ns") = 2e6,
      "Opens the IMU if needed, starts an IMU stream on it and the capture of this camera's\n"
      "video node (FramesetStream). The capture's options are open_stereo_capture()'s, the\n"
      "IMU's open_imu_stream()'s; clock_agreement_ns (1e3 to 1e9): how far a frame's PTS mapped\n"
      "through the IMU stream's fit may lie from the capture's own stamp, beyond both bands,\n"
      "for the mapping to be used. Raises Error: INVALID_ARGUMENT 'frameset option\n"
      "clock_agreement_ns is out of range (valid: 1e3 to 1e9)', or either opener's failure.");
}

}  // namespace morvane::python
