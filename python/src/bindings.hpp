// Shared helpers of the Python bindings.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interruptible.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/result.hpp"

namespace morvane::python {

namespace py = pybind11;
namespace us = morvane::uvc_stereo;

// An attribute of morvane_uvc_stereo._types (ErrorCode, OpenCvBackend, ...).
py::object types_attr(const char* name);

// Raises morvane_uvc_stereo.Error (its family's subclass) for a failure.
// Needs the interpreter lock.
[[noreturn]] void raise_error(us::ErrorCode code, const std::string& message);

template <typename T>
T take(us::Result<T>&& result) {
  if (!result.ok()) raise_error(result.code, result.message);
  return std::move(*result.value);
}

inline void check(const us::Result<void>& result) {
  if (!result.ok()) raise_error(result.code, result.message);
}

// UTF-8 with surrogateescape in both directions.
py::str decode_text(const std::string& text);
// A stored document's text, decoded strictly: raises JsonError naming the
// offset of the first byte that is not UTF-8.
py::str decode_document(const std::string& text);
// A str (encoded as above) or any bytes-like object.
std::string encode_text(const py::handle& text);
// Any contiguous bytes-like object; a str is refused with TypeError.
std::string bytes_of(const py::handle& data, const char* what);
std::vector<std::uint8_t> byte_vector_of(const py::handle& data, const char* what);
py::bytes to_bytes(const std::vector<std::uint8_t>& data);
std::uint16_t checked_u16(long long value, const char* what);
// A Python int in 0..high: the value, or nullopt for any other int (negative
// or beyond 64 bits included); TypeError for what is not an int.
std::optional<unsigned long long> uint_in_range(const py::handle& value, unsigned long long high, const char* what);

// DeviceInfo.opencv_indices as a dict keyed by OpenCvBackend members (a
// plain int for a number that is none of them).
py::dict opencv_indices_to_python(const std::map<us::OpenCvBackend, std::int32_t>& indices);

// The object behind morvane_uvc_stereo.Device. The mutex serialises the
// calls on one device (the C++ Device is not thread-safe) and is always
// taken with the interpreter lock released. Reads that may block on the
// camera run on the device's worker (read()), and so do the changes of the
// camera (change(), never abandoned once begun: interruptible.hpp); state
// changes of the object (open_imu, close) run on the caller's thread
// (call()) and are never interrupted: a signal takes effect once they are
// over.
struct PyDevice {
  explicit PyDevice(us::Device d);
  ~PyDevice();
  PyDevice(const PyDevice&) = delete;
  PyDevice& operator=(const PyDevice&) = delete;

  // Runs f(device) without the interpreter lock, under the device's mutex.
  template <typename F>
  auto call(F&& f) {
    Unlocked unlocked;
    std::lock_guard<std::mutex> lock(mutex);
    return f(device);
  }

  // Runs f(device) on the device's worker under the device's mutex and
  // waits for it interruptibly (interruptible.hpp). f must own what it uses.
  template <typename F>
  auto read(F f) {
    return run_interruptibly(*worker, [this, f = std::move(f)]() mutable {
      std::lock_guard<std::mutex> lock(mutex);
      return f(device);
    });
  }

  // Runs f(device), which changes the camera, on the device's worker under
  // the device's mutex; waits for it as run_to_end() does, which also
  // raises its failure. f must own what it uses.
  template <typename F>
  auto change(F f) {
    return run_to_end(*worker, [this, f = std::move(f)]() mutable {
      std::lock_guard<std::mutex> lock(mutex);
      return f(device);
    });
  }

  std::mutex mutex;
  us::Device device;  // a closed Device (null Impl) after close()
  // Joined first on destruction (after the jobs still queued ran), so a job
  // never outlives the device it uses.
  std::unique_ptr<Worker> worker = std::make_unique<Worker>();
};

// Closes every Device and DeviceMonitor object of the process (their
// operations then fail as on a closed object), after the operations running
// on a worker ended. Call without the interpreter lock.
void close_all_devices();

}  // namespace morvane::python
