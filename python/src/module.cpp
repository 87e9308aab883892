// morvane_uvc_stereo._core: the C++ library's public interface for Python.
//
// Conventions kept throughout:
// - every call that may touch a device (USB, video node, udev, flash) runs
//   with the interpreter lock released, so other Python threads go on;
// - a failed Result becomes morvane_uvc_stereo.Error (the subclass of its
//   code's family) carrying the SDK's code and message unchanged, raised
//   only after the lock is taken back;
// - texts that come from a device (serials, model names, the stored
//   document) are decoded as UTF-8 with surrogateescape, so bytes that are
//   not UTF-8 survive a round trip instead of failing the call.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "morvane/uvc_stereo/version.hpp"

namespace py = pybind11;
namespace us = morvane::uvc_stereo;

namespace morvane::python {

// ---- Python-side types (from morvane_uvc_stereo._types).

namespace {
py::object* g_types = nullptr;  // the _types module, kept for the process's life
}  // namespace

py::object types_attr(const char* name) { return g_types->attr(name); }

py::object make_error(us::ErrorCode code, const std::string& message) {
  return types_attr("_make_error")(static_cast<int>(code), decode_text(message));
}

void raise_error(us::ErrorCode code, const std::string& message) {
  py::object error = make_error(code, message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// ---- Text and bytes.

py::str decode_text(const std::string& text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

py::str decode_document(const std::string& text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  if (s) return py::reinterpret_steal<py::str>(s);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
  py::error_already_set failure;  // takes the pending UnicodeDecodeError
  Py_ssize_t start = 0;
  PyUnicodeDecodeError_GetStart(failure.value().ptr(), &start);
  raise_error(us::ErrorCode::invalid_json, "the stored document is not UTF-8: invalid UTF-8 at offset " +
                                               std::to_string(start) + " (json_bytes holds its bytes)");
}

std::string encode_text(const py::handle& text) {
  if (py::isinstance<py::str>(text)) {
    PyObject* b = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
    if (!b) throw py::error_already_set();
    auto bytes = py::reinterpret_steal<py::bytes>(b);
    return std::string(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
  }
  return bytes_of(text, "text");
}

std::string bytes_of(const py::handle& data, const char* what) {
  if (py::isinstance<py::str>(data))
    throw py::type_error(std::string(what) + " must be bytes-like, not str (encode it first)");
  Py_buffer view;
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    throw py::type_error(std::string(what) + " must be bytes-like (bytes, bytearray, memoryview), not " +
                         std::string(py::str(py::type::of(data).attr("__name__"))));
  }
  std::string out(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return out;
}

std::vector<std::uint8_t> byte_vector_of(const py::handle& data, const char* what) {
  std::string bytes = bytes_of(data, what);
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

py::bytes to_bytes(const std::vector<std::uint8_t>& data) {
  return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

std::uint16_t checked_u16(long long value, const char* what) {
  if (value < 0 || value > 0xFFFF) throw py::value_error(std::string(what) + " must be in 0..65535");
  return static_cast<std::uint16_t>(value);
}

std::optional<unsigned long long> uint_in_range(const py::handle& value, unsigned long long high, const char* what) {
  if (!PyLong_Check(value.ptr()))
    throw py::type_error(std::string(what) + " must be an int, not " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  const int negative = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT);
  if (negative < 0) throw py::error_already_set();
  if (negative) return std::nullopt;
  const unsigned long long v = PyLong_AsUnsignedLongLong(value.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // beyond 64 bits
    return std::nullopt;
  }
  if (v > high) return std::nullopt;
  return v;
}

// ---- Devices known to the bindings.
//
// Every Device object registers here, so that putting the simulated camera
// in or taking it out can first close the devices opened on the other side
// of the switch: an open IMU holds a descriptor only that side knows.

namespace {
std::mutex g_registry_mutex;
std::set<PyDevice*>& registry() {
  static std::set<PyDevice*> devices;
  return devices;
}
}  // namespace

PyDevice::PyDevice(us::Device d) : device(std::move(d)) {
  // Not with the interpreter lock: a simulation switch holds the registry
  // while it waits for devices.
  auto insert = [this] {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    registry().insert(this);
  };
  if (PyGILState_Check()) {
    Unlocked unlocked;
    insert();
  } else {
    insert();
  }
}

PyDevice::~PyDevice() {
  auto finish = [this] {
    {
      // A simulation switch may hold the registry while it waits for
      // devices' workers: not with the interpreter lock.
      std::lock_guard<std::mutex> lock(g_registry_mutex);
      registry().erase(this);
    }
    // The jobs still queued (reads a signal interrupted) end first, which
    // may take seconds for a camera that does not answer. No pass is held
    // meanwhile: they may wait for a simulation switch.
    worker.reset();
    PlatformPass pass;
    std::lock_guard<std::timed_mutex> lock(mutex);
    close_connection();
  };
  // Dropped from Python, the interpreter lock is held: other Python threads
  // run on while this waits.
  if (PyGILState_Check()) {
    Unlocked unlocked(kNoPass);
    finish();
  } else {
    finish();
  }
}

void PyDevice::close() {
  closing.store(true);
  bool closed_here = false;
  {
    Unlocked unlocked;  // closing an IMU may talk to the camera briefly
    // Declared after `unlocked`: released before the interpreter lock is taken back.
    std::unique_lock<std::timed_mutex> lock(mutex, std::try_to_lock);
    if (lock.owns_lock()) {
      close_connection();
      closed_here = true;
    }
  }
  if (closed_here) return;
  // An operation holds the device (perhaps waiting for a camera that does
  // not answer): the worker closes it after the operations queued.
  job_started();
  worker->post([this] {
    {
      std::lock_guard<std::timed_mutex> device_lock(mutex);
      close_connection();
    }
    job_finished();
  });
}

void PyDevice::add_dependent(const std::shared_ptr<DeviceDependent>& d) {
  dependents.erase(std::remove_if(dependents.begin(), dependents.end(),
                                  [](const std::weak_ptr<DeviceDependent>& w) { return w.expired(); }),
                   dependents.end());
  dependents.push_back(d);
}

void PyDevice::close_connection() {
  std::vector<std::weak_ptr<DeviceDependent>> ending;
  ending.swap(dependents);
  for (const std::weak_ptr<DeviceDependent>& w : ending)
    if (std::shared_ptr<DeviceDependent> d = w.lock()) d->end_with_device();
  std::lock_guard<std::mutex> state_lock(state_mutex);
  us::Device closed(std::move(device));
}

void close_all_monitors();
void close_all_captures();

void close_all_devices() {
  // Inside a switch (switch_platform): no operation is running, so no
  // device's mutex is held. Jobs still queued give up when they begin.
  close_all_monitors();
  close_all_captures();
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (PyDevice* d : registry()) {
    d->closing.store(true);
    std::lock_guard<std::timed_mutex> device_lock(d->mutex);
    d->close_connection();
  }
}

// ---- Module.

void bind_records(py::module_& m);
void bind_functions(py::module_& m);
void bind_device(py::module_& m);
void bind_simulation(py::module_& m);
void bind_monitor(py::module_& m);
void bind_frames(py::module_& m);
void bind_framesets(py::module_& m);

}  // namespace morvane::python

PYBIND11_MODULE(_core, m) {
  using namespace morvane::python;
  m.doc() = "The C++ library of the Morvane UVC stereo camera SDK (use the morvane_uvc_stereo package).";
  g_types = new py::object(py::module_::import("morvane_uvc_stereo._types"));
  install_exit_and_fork_waits(m);
  bind_records(m);
  bind_functions(m);
  bind_device(m);
  bind_simulation(m);
  bind_monitor(m);
  bind_frames(m);
  bind_framesets(m);
  m.attr("__version__") = us::library_version();
}
