// Shared helpers of the Python bindings.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "interruptible.hpp"
#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "morvane/uvc_stereo/result.hpp"

namespace morvane::python {

namespace py = pybind11;
namespace us = morvane::uvc_stereo;

// An attribute of morvane_uvc_stereo._types (ErrorCode, OpenCvBackend, ...).
py::object types_attr(const char* name);

// raise_error(): interruptible.hpp.

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

// The IMU stream's numpy structured dtype (imports numpy), the samples as an
// array of it, and the stream's options from open_imu_stream's arguments.
py::object imu_sample_dtype();
py::object imu_sample_rows(const std::vector<us::ImuStreamSample>& samples);
us::ImuStreamOptions imu_stream_options(double sample_rate_hz, double nominal_tick_rate_hz, double estimation_window_s,
                                        const py::int_& stall_timeout_ms,
                                        const std::optional<us::ImuConversionOptions>& conversion);

// Something opened on a device that must end before the device's connection
// closes (a frameset stream, whose IMU stream reads through the device).
struct DeviceDependent {
  virtual ~DeviceDependent() = default;
  // Called under the device's mutex as its connection closes, once.
  virtual void end_with_device() noexcept = 0;
};

// The message of every operation on a closed Device.
inline constexpr const char* kMsgDeviceClosed = "device is closed or moved-from";

// The object behind morvane_uvc_stereo.Device. The mutex serialises the
// operations on one device (the C++ Device is not thread-safe) and is always
// taken with the interpreter lock released. Reads that may block on the
// camera run on the device's worker (read()), and so do the changes of the
// camera (change(), never abandoned once begun: interruptible.hpp); state
// changes of the object (open_imu, close_imu) run on the caller's thread
// (call()) and are never interrupted once begun: a signal during the wait
// for the device's mutex is raised at once, one that comes later once they
// are over.
//
// The record (info, is_connected) is read under the short state_mutex only,
// so a read waiting for a camera that does not answer holds none of these
// up. close() never waits for such a read either: it marks the device
// closed at once (calls waiting for their read give up with the closed
// error) and, while a read is in flight, leaves the closing of the
// connection to the worker, after that read.
struct PyDevice {
  explicit PyDevice(us::Device d);
  ~PyDevice();
  PyDevice(const PyDevice&) = delete;
  PyDevice& operator=(const PyDevice&) = delete;

  // Runs f(device) under the device's mutex, with the interpreter lock
  // released; the mutex is waited for in slices of kSignalCheckMs with
  // signals checked between them. The mutex is never held while the
  // interpreter lock is taken (nor while it is waited for): a thread that
  // holds the interpreter lock and waits for a device (a fork counting the
  // calls in flight, closing every device at a simulation switch) cannot
  // deadlock with it, and a thread parked at exit holds no device.
  // With give_up_when_closed, once the device is closed (closing set) and
  // an operation holds the mutex, f runs on a closed Device instead.
  template <typename F>
  auto locked(F&& f, bool give_up_when_closed) -> std::invoke_result_t<F&, us::Device&> {
    using R = std::invoke_result_t<F&, us::Device&>;
    if constexpr (std::is_void_v<R>) {
      locked(
          [&](us::Device& dev) {
            f(dev);
            return true;
          },
          give_up_when_closed);
    } else {
      for (;;) {
        std::optional<R> result;
        {
          Unlocked unlocked;
          // Declared after `unlocked`: released before the interpreter lock is taken back.
          std::unique_lock<std::timed_mutex> lock(mutex, std::chrono::milliseconds(kSignalCheckMs));
          if (lock.owns_lock()) {
            result.emplace(f(device));
          } else if (give_up_when_closed && closing.load()) {
            us::Device closed;
            result.emplace(f(closed));
          }
        }
        if (result) return std::move(*result);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      }
    }
  }

  // Runs f(device) as locked() does (f(a closed Device) once the device is
  // closed and busy).
  template <typename F>
  auto call(F&& f) {
    return locked(std::forward<F>(f), true);
  }

  // Runs f(const device) under state_mutex only: for info() and
  // is_connected(), which read the record that never changes while the
  // device is open, and may do so beside an operation in flight.
  template <typename F>
  auto peek(F&& f) {
    Unlocked unlocked;
    std::lock_guard<std::mutex> lock(state_mutex);
    return f(static_cast<const us::Device&>(device));
  }

  // The job that runs f on the worker: f(device) under the device's mutex,
  // or f(a closed Device) once the device is closed.
  template <typename F>
  auto on_worker(F f) {
    return [this, f = std::move(f)]() mutable {
      std::lock_guard<std::timed_mutex> lock(mutex);
      if (closing.load()) {
        us::Device closed;
        return f(closed);
      }
      return f(device);
    };
  }

  // Runs f(device) on the device's worker under the device's mutex and
  // waits for it interruptibly (interruptible.hpp); gives up with the
  // closed error once the device is closed. A job that runs after the
  // close gets a closed Device. f must own what it uses.
  template <typename F>
  auto read(F f) {
    return run_interruptibly(*worker, on_worker(std::move(f)), &closing, kMsgDeviceClosed);
  }

  // Runs f(device), which changes the camera, on the device's worker under
  // the device's mutex; waits for it as run_to_end() does, which also
  // raises its failure. One that had not begun when the device was closed
  // fails as closed without touching the camera. f must own what it uses.
  template <typename F>
  auto change(F f) {
    return run_to_end(*worker, on_worker(std::move(f)), &closing, kMsgDeviceClosed);
  }

  // Marks the device closed and closes its connection: at once when no
  // operation holds it, else on the worker after the operations queued.
  // Needs the interpreter lock; never waits for the camera.
  void close();

  // `d` ends as the connection closes (close_connection). Call under the
  // device's mutex.
  void add_dependent(const std::shared_ptr<DeviceDependent>& d);
  // Ends the dependents, then closes the connection (`device` becomes a
  // closed Device). Call under the device's mutex, without state_mutex.
  void close_connection();

  std::timed_mutex mutex;
  std::mutex state_mutex;  // held while `device` is read by peek() or moved out
  std::atomic<bool> closing{false};
  us::Device device;                                       // a closed Device (null Impl) after close()
  std::vector<std::weak_ptr<DeviceDependent>> dependents;  // guarded by `mutex`
  // Joined first on destruction (after the jobs still queued ran), so a job
  // never outlives the device it uses.
  std::unique_ptr<Worker> worker = std::make_unique<Worker>();
};

// Closes every Device, DeviceMonitor and StereoCapture object of the
// process (their operations then fail as on a closed object). Call inside
// switch_platform() only.
void close_all_devices();

}  // namespace morvane::python
