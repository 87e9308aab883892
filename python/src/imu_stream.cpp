// The IMU stream: samples one by one, or many at once as a numpy array.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"

namespace morvane::python {
namespace {

// One row of the structured array next_batch() returns; every field is 8
// bytes, so the layout has no padding and matches the dtype below.
struct SampleRow {
  std::uint64_t time_ns;
  std::uint64_t host_ns;
  std::uint64_t read_ns;
  std::uint64_t device_counter;
  std::uint64_t sequence;
  std::uint64_t missed;
  double temperature_c;
  double accel_g[3];
  double gyro_dps[3];
  std::uint64_t discontinuity;  // 1: the counter did not follow (missed unknown)
};
static_assert(sizeof(SampleRow) == 14 * 8, "SampleRow must be unpadded");

}  // namespace

py::object imu_sample_dtype() {
  py::module_ np = py::module_::import("numpy");
  py::list fields;
  fields.append(py::make_tuple("time_ns", "<u8"));
  fields.append(py::make_tuple("host_ns", "<u8"));
  fields.append(py::make_tuple("read_ns", "<u8"));
  fields.append(py::make_tuple("device_counter", "<u8"));
  fields.append(py::make_tuple("sequence", "<u8"));
  fields.append(py::make_tuple("missed", "<u8"));
  fields.append(py::make_tuple("temperature_c", "<f8"));
  fields.append(py::make_tuple("accel_g", "<f8", py::make_tuple(3)));
  fields.append(py::make_tuple("gyro_dps", "<f8", py::make_tuple(3)));
  fields.append(py::make_tuple("discontinuity", "<u8"));
  return np.attr("dtype")(fields);
}

py::object imu_sample_rows(const std::vector<us::ImuStreamSample>& samples) {
  const std::size_t n = samples.size();
  std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(n)};
  py::array rows(py::dtype::from_args(imu_sample_dtype()), shape);
  auto* out = static_cast<SampleRow*>(rows.mutable_data());
  for (std::size_t i = 0; i < n; ++i) {
    const auto& in = samples[i];
    SampleRow row{};
    row.time_ns = in.time_ns;
    row.host_ns = in.host_ns;
    row.read_ns = in.raw.timestamp_ns;
    row.device_counter = in.device_counter;
    row.sequence = in.sequence;
    row.missed = in.missed_before;
    row.temperature_c = in.value.temperature_c;
    std::memcpy(row.accel_g, in.value.accel_g, sizeof row.accel_g);
    std::memcpy(row.gyro_dps, in.value.gyro_dps, sizeof row.gyro_dps);
    row.discontinuity = in.discontinuity ? 1 : 0;
    std::memcpy(out + i, &row, sizeof row);
  }
  return std::move(rows);
}

us::ImuStreamOptions imu_stream_options(double sample_rate_hz, double nominal_tick_rate_hz, double estimation_window_s,
                                        const py::int_& stall_timeout_ms,
                                        const std::optional<us::ImuConversionOptions>& conversion) {
  us::ImuStreamOptions options;
  options.sample_rate_hz = sample_rate_hz;
  options.nominal_tick_rate_hz = nominal_tick_rate_hz;
  options.estimation_window_s = estimation_window_s;
  // An int beyond 32 bits is out of range like any other: the SDK's
  // message, which names the valid range, says so.
  options.stall_timeout_ms =
      static_cast<std::uint32_t>(uint_in_range(stall_timeout_ms, 0xFFFFFFFFu, "stall_timeout_ms").value_or(0));
  if (conversion) options.conversion = *conversion;
  return options;
}

namespace {

// What a stream has read and not yet handed out. Shared with the jobs that
// read it on the device's worker: a job a signal interrupted finishes after
// the call that posted it has returned.
struct StreamState {
  us::ImuStream stream;  // used under the device's mutex only
  std::mutex mutex;      // guards the two below (held briefly, never while reading)
  // Samples read, in order: taken in by jobs at the back, handed out from
  // the front; an interrupted call puts its samples back at the front.
  std::deque<us::ImuStreamSample> carried;
  // The failure that stopped a read, raised once the samples before it are
  // handed out.
  std::optional<us::Result<us::ImuStreamSample>> deferred;
};

// Reads on the device's worker until `need` samples are carried, a read
// fails, or kSliceMs passed: the waiting call checks for signals between
// such jobs as well as during them.
constexpr int kSliceMs = 20;

void fill(StreamState& s, std::size_t need) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSliceMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.deferred || s.carried.size() >= need) return;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left < 1) return;
    us::Result<std::optional<us::ImuStreamSample>> got = s.stream.next_within(static_cast<std::uint32_t>(left));
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!got.ok()) {
      s.deferred = us::Result<us::ImuStreamSample>::forward(got);
      return;
    }
    if (!*got.value) return;  // nothing new within the slice
    s.carried.push_back(std::move(**got.value));
  }
}

// The stream and the Device object it reads; the Device object is kept
// alive as long as the stream, and its mutex serialises the stream's reads
// with every other call on that device.
//
// Reads run on the device's worker in slices (fill), waited for
// interruptibly: a signal (Ctrl-C) or a Device.close() from another thread is seen
// within about 100 ms, also while the camera does not answer. Samples read
// by a call that a signal interrupts stay carried and are handed out first
// by the next call; a failure met after some samples were read is raised
// after those.
struct PyImuStream {
  py::object owner;  // the PyDevice
  PyDevice* device = nullptr;
  std::shared_ptr<StreamState> state = std::make_shared<StreamState>();

  // Runs f(stream) under the device's mutex, waited for interruptibly
  // (also once the device is closed: a read in flight uses the stream).
  template <typename F>
  auto call(F&& f) {
    return device->locked([&](us::Device&) { return f(state->stream); }, false);
  }

  // Samples read and not handed out.
  std::size_t carried() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->carried.size();
  }

  // The samples of an interrupted call go back in front of the others.
  void give_back(std::vector<us::ImuStreamSample>& out) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->carried.insert(state->carried.begin(), std::make_move_iterator(out.begin()),
                          std::make_move_iterator(out.end()));
    out.clear();
  }

  // Takes the deferred failure when nothing is carried before it.
  std::optional<us::Result<us::ImuStreamSample>> take_failure() {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->carried.empty() || !state->deferred) return std::nullopt;
    std::optional<us::Result<us::ImuStreamSample>> failure = std::move(state->deferred);
    state->deferred.reset();
    return failure;
  }

  // Appends up to `count` samples to `out`: the carried ones, then from the
  // device one slice at a time. A failure with samples in hand stays for the
  // next call; without, it is raised. On a signal the samples of this call
  // go back to the stream and the signal's exception is raised.
  void take_samples(std::size_t count, std::vector<us::ImuStreamSample>& out) {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        while (out.size() < count && !state->carried.empty()) {
          out.push_back(std::move(state->carried.front()));
          state->carried.pop_front();
        }
        if (out.size() >= count || (state->deferred && !out.empty())) return;
      }
      if (auto failure = take_failure()) take(std::move(*failure));
      try {
        device->read([s = state, need = count - out.size()](us::Device& dev) {
          if (dev.info().vid != 0) return fill(*s, need);
          // Run after the device was closed: the stream ends as closed.
          std::lock_guard<std::mutex> lock(s->mutex);
          if (!s->deferred)
            s->deferred = us::Result<us::ImuStreamSample>::failure(us::ErrorCode::invalid_argument, kMsgDeviceClosed);
        });
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      } catch (...) {
        give_back(out);
        throw;
      }
    }
  }

  us::ImuStreamSample next_sample() {
    std::vector<us::ImuStreamSample> one;
    take_samples(1, one);
    return std::move(one.front());
  }
};

// The largest batch a numpy array can hold.
constexpr long long kMaxBatch = std::numeric_limits<py::ssize_t>::max() / static_cast<long long>(sizeof(SampleRow));

std::unique_ptr<PyImuStream> open_stream(const py::object& device_object, const us::ImuStreamOptions& options) {
  auto s = std::make_unique<PyImuStream>();
  s->owner = device_object;
  s->device = &device_object.cast<PyDevice&>();
  s->state->stream = take(s->device->call([&](us::Device& dev) { return us::open_imu_stream(dev, options); }));
  return s;
}

}  // namespace

void bind_imu_stream(py::module_& m, py::class_<PyDevice, std::unique_ptr<PyDevice>>& device) {
  py::class_<us::ImuStreamSample>(m, "ImuStreamSample", "One device sample as the IMU stream yields it.")
      .def_readonly("raw", &us::ImuStreamSample::raw, "The reply as read_imu() returned it (ReadImuResult).")
      .def_readonly("value", &us::ImuStreamSample::value,
                    "The sample in physical units (ImuSample; its timestamp_ns is time_ns).")
      .def_readonly("host_ns", &us::ImuStreamSample::host_ns, "Monotonic time at which the read came back.")
      .def_readonly("device_counter", &us::ImuStreamSample::device_counter, "The device counter, wraps counted.")
      .def_readonly("time_ns", &us::ImuStreamSample::time_ns,
                    "The sample's instant on the host's monotonic clock (never decreasing, never after host_ns).")
      .def_readonly("sequence", &us::ImuStreamSample::sequence, "0, 1, 2, ... per sample yielded.")
      .def_readonly("missed_before", &us::ImuStreamSample::missed_before,
                    "Samples the device took before this one that the stream never received (0 and unknown\n"
                    "when discontinuity is set).")
      .def_readonly("discontinuity", &us::ImuStreamSample::discontinuity,
                    "True when the device counter did not follow from the previous sample (the device\n"
                    "clock jumped, or a read lasted too long to tell the wraps): missed_before is unknown\n"
                    "and the clock estimate starts again from this sample.")
      .def("__repr__", [](const us::ImuStreamSample& s) {
        char text[320];
        std::snprintf(text, sizeof text,
                      "ImuStreamSample(sequence=%llu, time_ns=%llu, host_ns=%llu, device_counter=%llu, "
                      "missed_before=%llu, accel_g=(%.5f, %.5f, %.5f), gyro_dps=(%.4f, %.4f, %.4f), "
                      "temperature_c=%.3f)",
                      static_cast<unsigned long long>(s.sequence), static_cast<unsigned long long>(s.time_ns),
                      static_cast<unsigned long long>(s.host_ns), static_cast<unsigned long long>(s.device_counter),
                      static_cast<unsigned long long>(s.missed_before), s.value.accel_g[0], s.value.accel_g[1],
                      s.value.accel_g[2], s.value.gyro_dps[0], s.value.gyro_dps[1], s.value.gyro_dps[2],
                      s.value.temperature_c);
        return std::string(text);
      });

  py::class_<us::ImuClockEstimate>(m, "ImuClockEstimate", "The stream's mapping from device ticks to host time.")
      .def_readonly("tick_rate_hz", &us::ImuClockEstimate::tick_rate_hz)
      .def_readonly("drift_ppm", &us::ImuClockEstimate::drift_ppm)
      .def_readonly("sample_rate_hz", &us::ImuClockEstimate::sample_rate_hz)
      .def_readonly("reference_counter", &us::ImuClockEstimate::reference_counter)
      .def_readonly("offset_ns", &us::ImuClockEstimate::offset_ns)
      .def_readonly("uncertainty_ns", &us::ImuClockEstimate::uncertainty_ns)
      .def_readonly("rate_locked", &us::ImuClockEstimate::rate_locked)
      .def("__repr__", [](const us::ImuClockEstimate& e) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "ImuClockEstimate(tick_rate_hz=%.3f, drift_ppm=%.3f, sample_rate_hz=%.3f, "
                      "uncertainty_ns=%.1f, rate_locked=%s)",
                      e.tick_rate_hz, e.drift_ppm, e.sample_rate_hz, e.uncertainty_ns,
                      e.rate_locked ? "True" : "False");
        return std::string(text);
      });

  py::class_<us::ImuStreamStats>(m, "ImuStreamStats", "What the stream has seen so far.")
      .def_readonly("samples", &us::ImuStreamStats::samples)
      .def_readonly("reads", &us::ImuStreamStats::reads)
      .def_readonly("duplicates", &us::ImuStreamStats::duplicates)
      .def_readonly("missed", &us::ImuStreamStats::missed)
      .def_readonly("stalls", &us::ImuStreamStats::stalls)
      .def_readonly("discontinuities", &us::ImuStreamStats::discontinuities)
      .def_readonly("retries", &us::ImuStreamStats::retries)
      .def("__repr__", [](const us::ImuStreamStats& s) {
        return "ImuStreamStats(samples=" + std::to_string(s.samples) + ", reads=" + std::to_string(s.reads) +
               ", duplicates=" + std::to_string(s.duplicates) + ", missed=" + std::to_string(s.missed) +
               ", stalls=" + std::to_string(s.stalls) + ", discontinuities=" + std::to_string(s.discontinuities) +
               ", retries=" + std::to_string(s.retries) + ")";
      });

  py::class_<PyImuStream, std::unique_ptr<PyImuStream>> stream(
      m, "ImuStream",
      "Every IMU sample once, with its counter unwrapped and its instant on the host's\n"
      "monotonic clock. Iterate it (for sample in stream: ...) or take many samples at\n"
      "once with next_batch(n), a numpy structured array with the fields\n"
      "time_ns, host_ns, read_ns, device_counter, sequence, missed (uint64),\n"
      "temperature_c, accel_g[3], gyro_dps[3] (float64), discontinuity (uint64, 0 or 1).\n\n"
      "A failed read raises Error and ends the stream (later calls raise the same\n"
      "failure), except READ_FAILED 'no new IMU sample within N ms', after which the\n"
      "stream goes on. The stream never closes the IMU; Device.close_imu() does.");
  stream.def("__iter__", [](py::object self) { return self; });
  stream.def("__repr__", [](PyImuStream& s) {
    const auto state = s.call([](us::ImuStream& st) { return std::make_pair(st.is_open(), st.stats()); });
    if (!state.first) return std::string("<morvane_uvc_stereo.ImuStream closed>");
    const us::ImuStreamStats& t = state.second;
    return "<morvane_uvc_stereo.ImuStream samples=" + std::to_string(t.samples - s.carried()) +
           " missed=" + std::to_string(t.missed) + " stalls=" + std::to_string(t.stalls) + ">";
  });
  stream.def(
      "__next__", [](PyImuStream& s) { return s.next_sample(); },
      "The next sample (ImuStreamSample), waiting until the device delivers one.");
  stream.def(
      "next", [](PyImuStream& s) { return s.next_sample(); },
      "The next sample (ImuStreamSample), waiting until the device delivers one.");
  stream.def(
      "next_batch",
      [](PyImuStream& s, const py::int_& requested) {
        int overflow = 0;
        const long long count = PyLong_AsLongLongAndOverflow(requested.ptr(), &overflow);
        if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0 || count < 0 || count > kMaxBatch)
          throw py::value_error("count must be from 0 to " + std::to_string(kMaxBatch) + ", not " +
                                std::string(py::str(static_cast<const py::handle&>(requested))));
        // numpy first: nothing is read when the array cannot be made.
        // numpy is checked before anything is read; the dtype is made
        // afterwards, so no Python object is held across the wait (a thread
        // ended by the interpreter's exit during the wait must not drop one).
        (void)imu_sample_dtype();
        std::vector<us::ImuStreamSample> samples;
        if (count > 0) {
          s.take_samples(static_cast<std::size_t>(count), samples);
        } else if (auto failure = s.take_failure()) {
          take(std::move(*failure));
        } else if (s.carried() == 0) {
          take(s.call([&](us::ImuStream& st) { return st.next_batch(0, samples); }));
        }
        return imu_sample_rows(samples);
      },
      py::arg("count"),
      "Up to count samples as a numpy structured array (see the class help), waiting\n"
      "until all are there. When a read fails after some samples were taken, those are\n"
      "returned and the next call raises the failure. Raises ValueError for a count\n"
      "below 0 or beyond what an array can hold, ImportError without numpy (before\n"
      "anything is read). A signal (Ctrl-C) is seen within about 100 ms, also while the\n"
      "camera does not answer: its exception is raised and the samples read so far\n"
      "stay in the stream for the next call.");
  stream.def_property_readonly(
      "clock_estimate", [](PyImuStream& s) { return s.call([](us::ImuStream& st) { return st.clock_estimate(); }); },
      "The current ImuClockEstimate.");
  stream.def_property_readonly(
      "stats", [](PyImuStream& s) { return s.call([](us::ImuStream& st) { return st.stats(); }); },
      "ImuStreamStats: samples, reads, duplicates, missed, stalls, discontinuities, retries.");
  stream.def_property_readonly(
      "is_open", [](PyImuStream& s) { return s.call([](us::ImuStream& st) { return st.is_open(); }); },
      "False once closed.");
  stream.def(
      "close", [](PyImuStream& s) { s.call([](us::ImuStream& st) { us::ImuStream closed(std::move(st)); }); },
      "Ends the stream (the IMU stays open). Safe to call twice.");
  stream.def("__enter__", [](py::object self) { return self; });
  stream.def(
      "__exit__",
      [](PyImuStream& s, const py::object&, const py::object&, const py::object&) {
        s.call([](us::ImuStream& st) { us::ImuStream closed(std::move(st)); });
        return false;
      },
      py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
  // A function rather than a constant, so that importing the package does
  // not import numpy (only taking batches needs it).
  m.def("imu_sample_dtype", &imu_sample_dtype, "The numpy dtype of the arrays ImuStream.next_batch() returns.");

  device.def(
      "open_imu_stream",
      [](py::object self, double sample_rate_hz, double nominal_tick_rate_hz, double estimation_window_s,
         const py::int_& stall_timeout_ms, const std::optional<us::ImuConversionOptions>& conversion) {
        return open_stream(self, imu_stream_options(sample_rate_hz, nominal_tick_rate_hz, estimation_window_s,
                                                    stall_timeout_ms, conversion));
      },
      py::kw_only(), py::arg("sample_rate_hz") = 0.0, py::arg("nominal_tick_rate_hz") = 1e6,
      py::arg("estimation_window_s") = 30.0, py::arg("stall_timeout_ms") = 2000, py::arg("conversion") = py::none(),
      "Opens the IMU if needed and starts an ImuStream on it (nothing is read yet).\n"
      "sample_rate_hz 0 measures the rate from the first samples. Raises Error:\n"
      "INVALID_ARGUMENT 'IMU stream option <name> is out of range', or open_imu()'s failure.");
}

}  // namespace morvane::python
