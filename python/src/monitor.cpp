// The hot-plug device monitor.
#include <poll.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "morvane/uvc_stereo/monitor.hpp"

namespace morvane::python {
namespace {

// The object behind morvane_uvc_stereo.DeviceMonitor; registered like the
// devices, because its udev subscription belongs to the system (real or
// simulated) it was opened on.
struct PyMonitor {
  explicit PyMonitor(us::DeviceMonitor m);
  ~PyMonitor();
  PyMonitor(const PyMonitor&) = delete;
  PyMonitor& operator=(const PyMonitor&) = delete;

  template <typename F>
  auto call(F&& f) {
    Unlocked unlocked;
    std::lock_guard<std::mutex> lock(mutex);
    return f(monitor);
  }

  std::mutex mutex;
  us::DeviceMonitor monitor;
};

std::mutex g_monitors_mutex;
std::set<PyMonitor*>& monitors() {
  static std::set<PyMonitor*> all;
  return all;
}

PyMonitor::PyMonitor(us::DeviceMonitor m) : monitor(std::move(m)) {
  std::lock_guard<std::mutex> lock(g_monitors_mutex);
  monitors().insert(this);
}

PyMonitor::~PyMonitor() {
  {
    std::lock_guard<std::mutex> lock(g_monitors_mutex);
    monitors().erase(this);
  }
  std::lock_guard<std::mutex> lock(mutex);
  monitor.close();
}

py::object kind_enum(us::DeviceEventKind kind) { return types_attr("DeviceEventKind")(static_cast<int>(kind)); }

std::vector<us::DeviceEvent> read_events(PyMonitor& m) {
  return take(m.call([](us::DeviceMonitor& monitor) { return monitor.read_events(); }));
}

}  // namespace

void close_all_monitors() {
  std::lock_guard<std::mutex> lock(g_monitors_mutex);
  for (PyMonitor* m : monitors()) {
    std::lock_guard<std::mutex> monitor_lock(m->mutex);
    m->monitor.close();
  }
}

void bind_monitor(py::module_& m) {
  py::class_<us::DeviceEvent>(m, "DeviceEvent", "A supported camera that arrived, left or changed.")
      .def_property_readonly(
          "kind", [](const us::DeviceEvent& e) { return kind_enum(e.kind); }, "DeviceEventKind.")
      .def_readonly("device", &us::DeviceEvent::device, "The camera's record, as scan_devices() gives it.")
      .def_readonly("previous", &us::DeviceEvent::previous,
                    "On CHANGED the record reported before (DeviceInfo); None otherwise.")
      .def("__repr__", [](const us::DeviceEvent& e) {
        return "DeviceEvent(kind=" + std::string(py::repr(kind_enum(e.kind))) +
               ", device=" + std::string(py::repr(py::cast(e.device))) +
               (e.previous ? ", previous=" + std::string(py::repr(py::cast(*e.previous))) : std::string()) + ")";
      });

  py::class_<PyMonitor, std::unique_ptr<PyMonitor>> monitor(
      m, "DeviceMonitor",
      "Watches udev for supported cameras arriving and leaving. Poll fileno() for\n"
      "readability (select, selectors, asyncio's add_reader) and call read_events(), or\n"
      "call wait(timeout). A context manager; close() releases the descriptor.\n"
      "Starting or stopping the simulated camera closes every monitor.");
  monitor.def(
      "fileno", [](PyMonitor& s) { return s.call([](us::DeviceMonitor& mon) { return mon.fd(); }); },
      "The descriptor to poll for reading (-1 once closed).");
  monitor.def("__repr__", [](PyMonitor& s) {
    const auto state =
        s.call([](us::DeviceMonitor& mon) { return std::make_pair(mon.is_open(), mon.devices().size()); });
    if (!state.first) return std::string("<morvane_uvc_stereo.DeviceMonitor closed>");
    return "<morvane_uvc_stereo.DeviceMonitor watching " + std::to_string(state.second) + " camera(s)>";
  });
  monitor.def_property_readonly(
      "is_open", [](PyMonitor& s) { return s.call([](us::DeviceMonitor& mon) { return mon.is_open(); }); });
  monitor.def("read_events", &read_events,
              "Every event delivered so far, without blocking: a list of DeviceEvent, removals\n"
              "before arrivals. Raises Error: INVALID_ARGUMENT 'device monitor is closed',\n"
              "IO_ERROR 'failed to read udev events: ...' (the monitor stays usable).");
  monitor.def(
      "wait",
      [](PyMonitor& s, std::optional<double> timeout) {
        if (timeout && (std::isnan(*timeout) || *timeout < 0)) throw py::value_error("timeout must be >= 0 or None");
        const int fd = s.call([](us::DeviceMonitor& mon) { return mon.fd(); });
        if (fd < 0) return read_events(s);  // raises the closed-monitor error
        // Polls in slices so that a signal (Ctrl-C) is seen within 100 ms.
        using clock = std::chrono::steady_clock;
        const auto deadline =
            timeout
                ? clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(*timeout))
                : clock::time_point::max();
        for (;;) {
          int slice = 100;
          if (timeout) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
            slice = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 100)));
          }
          int ready = 0;
          int error = 0;
          {
            Released unlocked;
            pollfd p{fd, POLLIN, 0};
            ready = ::poll(&p, 1, slice);
            if (ready < 0) error = errno;
          }
          if (ready > 0) break;
          if (ready < 0 && error != EINTR)
            raise_error(us::ErrorCode::io_error, std::string("poll failed: ") + std::strerror(error));
          if (PyErr_CheckSignals() != 0) throw py::error_already_set();
          if (timeout && clock::now() >= deadline) return std::vector<us::DeviceEvent>{};
        }
        return read_events(s);
      },
      py::arg("timeout") = py::none(),
      "Waits up to timeout seconds (None: without limit) for udev, then returns\n"
      "read_events(); an empty list when the time ran out.");
  monitor.def(
      "devices", [](PyMonitor& s) { return s.call([](us::DeviceMonitor& mon) { return mon.devices(); }); },
      "The cameras the monitor holds as attached after the last read_events().");
  monitor.def(
      "close", [](PyMonitor& s) { s.call([](us::DeviceMonitor& mon) { mon.close(); }); },
      "Stops listening. Safe to call twice.");
  monitor.def("__enter__", [](py::object self) { return self; });
  monitor.def(
      "__exit__",
      [](PyMonitor& s, const py::object&, const py::object&, const py::object&) {
        s.call([](us::DeviceMonitor& mon) { mon.close(); });
        return false;
      },
      py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"));

  m.def(
      "device_event_kind_name",
      [](int kind) { return std::string(us::device_event_kind_name(static_cast<us::DeviceEventKind>(kind))); },
      py::arg("kind"), "'arrived', 'removed', 'changed' or 'unknown'.");
  m.def(
      "open_device_monitor",
      [](std::optional<long long> vid, std::optional<long long> pid, bool require_serial) {
        us::DeviceScanFilter filter;
        if (vid) filter.vid = checked_u16(*vid, "vid");
        if (pid) filter.pid = checked_u16(*pid, "pid");
        filter.require_serial = require_serial;
        // Made (and registered) inside the call's pass: a simulation switch
        // that follows finds it and closes it.
        us::Result<std::unique_ptr<PyMonitor>> made;
        {
          Unlocked unlocked;
          us::Result<us::DeviceMonitor> opened = us::open_device_monitor(filter);
          made = opened.ok() ? us::Result<std::unique_ptr<PyMonitor>>::success(
                                   std::make_unique<PyMonitor>(std::move(*opened.value)))
                             : us::Result<std::unique_ptr<PyMonitor>>::forward(opened);
        }
        return take(std::move(made));
      },
      py::arg("vid") = py::none(), py::arg("pid") = py::none(), py::arg("require_serial") = false,
      "Starts watching udev for the cameras scan_devices() would report with the same\n"
      "filter, then scans them (DeviceMonitor.devices()). Raises Error: IO_ERROR 'failed\n"
      "to start the udev monitor: ...', or the scan's failure.");
}

}  // namespace morvane::python
