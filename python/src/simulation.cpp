// The simulated camera from Python.
#include <pybind11/stl.h>

#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bindings.hpp"
#include "morvane/uvc_stereo/simulation.hpp"

namespace morvane::python {
namespace {

// Whether this module started a simulation that is still running (read and
// written with the interpreter lock held).
bool g_started = false;

struct PySimulation {
  // Held around every use of `camera`: a stop on one thread (which runs
  // without the interpreter lock) must not destroy the camera under a call
  // on another.
  std::mutex mutex;
  std::optional<us::SimulatedCamera> camera;

  PySimulation() = default;
  PySimulation(const PySimulation&) = delete;
  PySimulation& operator=(const PySimulation&) = delete;
  // Dropped without stop(): stop here, dropping a failure to save.
  ~PySimulation() { (void)end(); }

  // f(camera) while the simulation is active, else `otherwise`.
  template <typename F, typename D>
  auto with(F f, D otherwise) {
    std::lock_guard<std::mutex> lock(mutex);
    return camera && camera->active() ? f(*camera) : otherwise;
  }

  bool active() {
    return with([](us::SimulatedCamera&) { return true; }, false);
  }

  // Stops the simulation (nothing when it is not active); the failure to save.
  us::Result<void> end() {
    // Operations still waiting for the camera's answer get it, and end.
    if (!with(
            [](us::SimulatedCamera& c) {
              c.resume_answering();
              return true;
            },
            false))
      return us::Result<void>::success();
    us::Result<void> stopped = us::Result<void>::success();
    switch_platform([&] {
      // Devices opened on the virtual camera go first: their IMU
      // descriptors exist only there.
      close_all_devices();
      std::lock_guard<std::mutex> lock(mutex);
      // A stop on another thread may have come first (switches run one at a time).
      if (camera) stopped = camera->stop();
      camera.reset();
    });
    g_started = false;
    return stopped;
  }

  void stop() { check(end()); }
};

}  // namespace

void bind_simulation(py::module_& m) {
  py::class_<PySimulation, std::unique_ptr<PySimulation>> sim(
      m, "SimulatedCamera",
      "A virtual camera behind the whole package (see simulated_camera()). While it is\n"
      "active, scan_devices() finds it, open_device() opens it and its flash and IMU\n"
      "answer like a real camera's. The SDK's waits run on a virtual clock.");
  sim.def_property_readonly("active", &PySimulation::active, "True until stop().");
  sim.def_property_readonly(
      "state_file",
      [](PySimulation& s) -> py::object {
        const std::string path = s.with([](us::SimulatedCamera& c) { return c.state_file(); }, std::string());
        if (path.empty()) return py::none();
        return decode_text(path);
      },
      "The file that keeps the flash, or None.");
  sim.def_property_readonly(
      "now_ns",
      [](PySimulation& s) { return s.with([](us::SimulatedCamera& c) { return c.now_ns(); }, std::uint64_t{0}); },
      "The virtual monotonic clock in nanoseconds (0 once stopped).");
  sim.def(
      "unplug", [](PySimulation& s) { s.with([](us::SimulatedCamera& c) { return (c.unplug(), true); }, false); },
      "Takes the camera off the bus: its nodes vanish, an open IMU fails its next read,\n"
      "a DeviceMonitor reports REMOVED.");
  sim.def(
      "replug", [](PySimulation& s) { s.with([](us::SimulatedCamera& c) { return (c.replug(), true); }, false); },
      "Puts the camera back on the bus (a new device address); a DeviceMonitor reports ARRIVED.");
  sim.def_property_readonly(
      "plugged_in",
      [](PySimulation& s) { return s.with([](us::SimulatedCamera& c) { return c.plugged_in(); }, false); },
      "True while the camera is on the bus.");
  sim.def(
      "stop_answering",
      [](PySimulation& s) { s.with([](us::SimulatedCamera& c) { return (c.stop_answering(), true); }, false); },
      "Makes the camera stop answering, as a hung firmware does: each flash or IMU\n"
      "request then waits, in real time, until the camera answers again or the request\n"
      "times out (1 s for a USB transfer, 5 s for an IMU query, as the kernel's UVC\n"
      "driver waits), and fails as timed out.");
  sim.def(
      "resume_answering",
      [](PySimulation& s) { s.with([](us::SimulatedCamera& c) { return (c.resume_answering(), true); }, false); },
      "Lets the waiting requests through at once, answered normally; stop() does too.");
  sim.def_property_readonly(
      "answering", [](PySimulation& s) { return s.with([](us::SimulatedCamera& c) { return c.answering(); }, false); },
      "False after stop_answering() until resume_answering().");
  sim.def_property_readonly(
      "waiting_requests",
      [](PySimulation& s) {
        return s.with([](us::SimulatedCamera& c) { return c.waiting_requests(); }, std::size_t{0});
      },
      "Requests waiting for the camera's answer right now.");
  sim.def_property_readonly(
      "open_video_nodes",
      [](PySimulation& s) {
        return s.with([](us::SimulatedCamera& c) { return c.open_video_nodes(); }, std::size_t{0});
      },
      "Video nodes the SDK holds open on the virtual camera now (an open IMU holds one).");
  sim.def_property_readonly(
      "open_usb_handles",
      [](PySimulation& s) {
        return s.with([](us::SimulatedCamera& c) { return c.open_usb_handles(); }, std::size_t{0});
      },
      "USB handles the SDK holds open now (only during a flash operation).");
  sim.def(
      "advance_time_ns",
      [](PySimulation& s, const py::int_& delta) {
        const auto ns = uint_in_range(delta, std::numeric_limits<std::uint64_t>::max(), "delta_ns");
        if (!ns) throw py::value_error("delta_ns must be in 0..18446744073709551615");
        s.with([&](us::SimulatedCamera& c) { return (c.advance_time_ns(*ns), true); }, false);
      },
      py::arg("delta_ns"), "Moves the virtual clock forward (the IMU produces samples as it advances).");
  sim.def(
      "save",
      [](PySimulation& s) {
        us::Result<void> saved;
        {
          Unlocked unlocked;
          std::lock_guard<std::mutex> lock(s.mutex);
          saved = s.camera
                      ? s.camera->save()
                      : us::Result<void>::failure(us::ErrorCode::invalid_argument, "simulated camera is not active");
        }
        check(saved);
      },
      "Every change of the flash reaches the state file as it happens; save() flushes\n"
      "the changes to the disk and raises Error (IO_ERROR) naming the first write that\n"
      "failed. Nothing to do without a state file or when nothing changed.");
  sim.def("stop", &PySimulation::stop,
          "Closes every Device, saves (as save()), gives the package back the real system\n"
          "and releases the state file's lock. Safe to call twice.");
  sim.def("__enter__", [](py::object self) { return self; });
  sim.def(
      "__exit__",
      [](PySimulation& s, const py::object&, const py::object&, const py::object&) {
        s.stop();
        return false;
      },
      py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));
  sim.def("__repr__", [](PySimulation& s) {
    const std::string path = s.with([](us::SimulatedCamera& c) { return c.state_file(); }, std::string());
    const std::string state = path.empty() ? std::string("None") : std::string(py::repr(decode_text(path)));
    return std::string("<morvane_uvc_stereo.SimulatedCamera ") + (s.active() ? "active" : "stopped") +
           " state_file=" + state + ">";
  });

  m.def(
      "_start_simulation",
      [](const std::string& state_file) {
        // Refused before anything is closed: the devices belong to the
        // simulation that is running.
        if (g_started) raise_error(us::ErrorCode::invalid_argument, "a simulated camera is already active");
        us::SimulatedCameraOptions options;
        options.state_file = state_file;
        us::Result<us::SimulatedCamera> started;
        switch_platform([&] {
          // Devices opened on the real system must not meet the virtual one.
          close_all_devices();
          started = us::SimulatedCamera::start(options);
        });
        auto s = std::make_unique<PySimulation>();
        s->camera.emplace(take(std::move(started)));
        g_started = true;
        return s;
      },
      py::arg("state_file"));
}

}  // namespace morvane::python
