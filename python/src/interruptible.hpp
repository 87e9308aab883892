// Calls that wait for a camera without holding up Ctrl-C.
//
// A request to a camera that stopped answering blocks its thread until the
// request's timeout (the kernel's UVC driver waits 5 s, an uninterruptible
// wait), and a flash read is a run of such requests. Python runs a signal's
// handler only on the main thread, between bytecodes: while that thread is
// inside such a call, Ctrl-C would wait for it. So the calls that may block
// run on a worker thread, and the calling thread waits for them with the
// interpreter lock released, checking for signals every kSignalCheckMs.
//
// Reads (run_interruptibly): on a signal its exception (KeyboardInterrupt)
// is raised at once, and the read runs on to its end on the worker: a flash
// read is never abandoned midway (the camera's driver would stay detached
// and the flash lock held), it finishes or fails by itself and then
// releases everything. Its result is dropped. The next call on the same
// device waits behind it.
//
// Changes of the camera (run_to_end: writes, erases): a signal before the
// change began cancels it (nothing was touched) and raises at once; once it
// began, the caller waits for its end, however long: a torn write would lose
// the stored calibration. Then a failure is raised as its Error, with the
// signal's exception as its __context__ (the failure must not go unseen),
// and a success lets the signal's exception be raised.
//
// At exit the interpreter waits for operations still running (Py_AtExit),
// so that none is cut off with the camera in the middle of a flash access;
// those still queued behind them are dropped, never begun.
//
// fork(): every call into the library with the interpreter lock released is
// counted (jobs from their posting to their end, calls on the caller's
// thread inside Unlocked). A fork waits until none is in flight, first with
// the interpreter lock released (os.register_at_fork), then, for a call that
// began meanwhile, inside fork() itself (pthread_atfork): so the child
// inherits no lock held by a thread it does not have (a device's mutex, the
// flash lock). A child has none of its parent's threads: a worker created
// before the fork runs nothing there, so the child makes those calls on its
// own thread, as calls that cannot be interrupted. This wait is not
// interruptible: a fork cannot be called off from its hooks (CPython
// ignores their exceptions), so a Ctrl-C during it is handled when fork()
// returns, in the parent, as for any signal that arrives during os.fork().
// It lasts as long as the calls in flight, for a camera that does not
// answer up to its request's timeout.
//
// Simulation switches: starting or stopping simulated_camera() replaces the
// platform behind the library, and no call may be inside the library then
// (one would use the virtual camera while it is torn down, or reach the
// other system halfway). Every call into the library holds a PlatformPass:
// each job on a worker (Worker::run) and each call on the caller's thread
// (Unlocked). switch_platform() lets no new pass begin, waits until none is
// held, switches, and lets the waiting calls go on. A job posted before the
// switch that had not begun gives up (PlatformSwitched): it was meant for
// the system that is gone.
//
// Daemon threads at exit: a thread that would take the interpreter lock
// back while the interpreter is being finalised stays without it instead
// (restore_thread), so exiting with a daemon thread inside a call is clean.
#pragma once

#include <pybind11/pybind11.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "morvane/uvc_stereo/result.hpp"

namespace morvane::python {

namespace py = pybind11;
namespace us = morvane::uvc_stereo;

inline constexpr int kSignalCheckMs = 50;

// A thread that runs the jobs posted to it one after another, in order.
class Worker {
 public:
  Worker();
  // Runs the jobs still queued, then ends the thread. Call without the
  // interpreter lock (the jobs never take it, so holding it is safe, only
  // slow for other Python threads).
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void post(std::function<void()> job);
  // True in a child forked after the worker was made: its thread is not
  // there (and its mutex may have been held at the fork). Use nothing else.
  bool forked_away() const { return ::getpid() != owner_; }

 private:
  void run();

  const pid_t owner_ = ::getpid();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::unique_ptr<std::thread> thread_;
};

// The worker of the calls that belong to no Device (open_device and the
// flash functions that open their own connection).
Worker& module_worker();

// Counts the calls in flight (see above), for the waits at exit and at
// fork that install_exit_and_fork_waits() sets up (once, at import).
void job_started();
void job_finished();
void install_exit_and_fork_waits(py::module_& m);

// Held around every call into the library (see the head of this file). A
// thread that holds one takes more without waiting. Never wait for a
// worker's job while holding one: the job may be waiting for the switch.
class PlatformPass {
 public:
  PlatformPass();
  ~PlatformPass();
  PlatformPass(const PlatformPass&) = delete;
  PlatformPass& operator=(const PlatformPass&) = delete;
};

// Counts the switches so far: a job compares the count at its posting with
// the count when it begins.
std::uint64_t platform_generation();

// True once the interpreter has finished, in the exit's wait for the calls
// in flight: a job that had not begun then is dropped.
bool interpreter_exited();

// Thrown by a job that was posted before a switch and had not begun (or
// that had not begun at exit).
struct PlatformSwitched {};
inline constexpr const char* kMsgPlatformSwitched =
    "the simulated camera was started or stopped while this call waited; nothing was done";

// Runs f() (with the interpreter lock released, counted as a call in
// flight) while no call is inside the library and none can begin; switches
// run one at a time. Needs the interpreter lock; f must not take it.
void switch_platform(const std::function<void()>& f);

// The interpreter's main thread (threading.main_thread()), the one that
// finalises it at exit; set at import.
inline unsigned long g_main_thread = 0;

// True once the interpreter is being finalised (at exit).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Takes the interpreter lock back after a wait without it. While the
// interpreter is being finalised, a thread other than the main one must
// not try: CPython ends such a thread inside PyEval_RestoreThread by
// pthread_exit, whose unwinding out of a destructor is std::terminate (the
// process would abort at exit when a daemon thread is inside a call). Such
// a thread stays here, without the lock and holding nothing of ours, until
// the process ends. Should finalisation begin while the lock is being taken,
// the thread's unwinding passes through callers whose destructors are
// declared noexcept(false) (Released, Unlocked) and so ends the thread.
inline void restore_thread(PyThreadState* state) {
  while (interpreter_finalizing() && PyThread_get_thread_ident() != g_main_thread)
    std::this_thread::sleep_for(std::chrono::seconds(1));
  PyEval_RestoreThread(state);
}

// Releases the interpreter lock for a wait (py::gil_scoped_release, but
// safe at exit: see restore_thread).
class Released {
 public:
  Released() : state_(PyEval_SaveThread()) {}
  ~Released() noexcept(false) { restore_thread(state_); }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  PyThreadState* state_ = nullptr;
};

// Releases the interpreter lock for a call into the library on the
// caller's thread, counted as in flight. The count goes up while the lock
// is still held and down before it is taken back, so a fork (which holds
// the lock) sees every such call and can wait for it without a deadlock.
// The call holds a PlatformPass from after the release to before the
// retake (Unlocked(kNoPass) does not: for waits for a worker's jobs).
enum NoPass { kNoPass };
class Unlocked {
 public:
  Unlocked() : Unlocked(kNoPass) { pass_.emplace(); }
  explicit Unlocked(NoPass) {
    job_started();
    state_ = PyEval_SaveThread();
  }
  ~Unlocked() noexcept(false) {
    pass_.reset();
    job_finished();
    restore_thread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_ = nullptr;
  std::optional<PlatformPass> pass_;
};

// Raises `error` (an Error object) with `interrupt` (a signal's exception)
// as its __context__, as run_to_end does for a change that failed.
[[noreturn]] void raise_after_interrupt(py::object error, py::object interrupt);
// The Error object for a failure (morvane_uvc_stereo._types._make_error).
py::object make_error(us::ErrorCode code, const std::string& message);
// Raises morvane_uvc_stereo.Error (its family's subclass) for a failure.
// Needs the interpreter lock.
[[noreturn]] void raise_error(us::ErrorCode code, const std::string& message);

// Runs job() on `worker` and returns its result; waits as described above.
// The job must own everything it uses (capture by value, shared_ptr): on a
// signal it outlives this call. An exception it throws is rethrown here.
// With `given_up` (non-null), the wait also ends once *given_up is set: the
// Error (INVALID_ARGUMENT) `given_up_message` is raised and the job, as on
// a signal, runs on to its end.
template <typename F>
auto run_interruptibly(Worker& worker, F job, const std::atomic<bool>* given_up = nullptr,
                       const char* given_up_message = nullptr) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if (worker.forked_away()) {
    Unlocked unlocked;
    return job();
  }
  struct Slot {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> value;
  };
  auto slot = std::make_shared<Slot>();
  job_started();
  worker.post([slot, job = std::move(job), generation = platform_generation()]() mutable {
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> value;
    try {
      if (generation != platform_generation() || interpreter_exited()) throw PlatformSwitched{};
      if constexpr (std::is_void_v<R>) {
        job();
        value.emplace(true);
      } else {
        value.emplace(job());
      }
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(slot->mutex);
      slot->value = std::move(value);
      slot->error = error;
      slot->done = true;
    }
    slot->done_changed.notify_all();
    job_finished();
  });
  for (;;) {
    bool done = false;
    {
      Released unlocked;
      std::unique_lock<std::mutex> lock(slot->mutex);
      done = slot->done_changed.wait_for(lock, std::chrono::milliseconds(kSignalCheckMs), [&] { return slot->done; });
    }
    if (done) break;
    // Only the main thread runs signal handlers; elsewhere this returns 0
    // and the call simply waits on.
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (given_up != nullptr && given_up->load()) raise_error(us::ErrorCode::invalid_argument, given_up_message);
  }
  if (slot->error) {
    try {
      std::rethrow_exception(slot->error);
    } catch (const PlatformSwitched&) {
      raise_error(us::ErrorCode::device_unavailable, kMsgPlatformSwitched);
    }
  }
  if constexpr (!std::is_void_v<R>) return std::move(*slot->value);
}

// The signal's exception a wait for a change took in (see run_to_end).
struct PendingInterrupt {
  py::object exception;
  // Takes a pending signal in: its handler runs now (it may raise). The
  // first exception is kept, later ones are dropped.
  void check_signals() {
    if (PyErr_CheckSignals() == 0) return;
    py::error_already_set raised;
    if (!exception) exception = raised.value();
  }
};

// Runs job() (it returns a us::Result) on `worker`, never abandoning it once
// it began; see the head of this file. A failure is raised as its Error; the
// Result is returned on success (without a signal).
// With `given_up` (non-null), a change that has not begun when *given_up is
// set is cancelled and raises the Error (INVALID_ARGUMENT) given_up_message.
template <typename F>
auto run_to_end(Worker& worker, F job, const std::atomic<bool>* given_up = nullptr,
                const char* given_up_message = nullptr) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  PendingInterrupt interrupt;
  std::optional<R> result;
  if (worker.forked_away()) {
    {
      Unlocked unlocked;
      result.emplace(job());
    }
  } else {
    enum class State { queued, running, done, cancelled };
    struct Slot {
      std::mutex mutex;
      std::condition_variable changed;
      State state = State::queued;
      std::optional<R> value;
    };
    auto slot = std::make_shared<Slot>();
    job_started();
    worker.post([slot, job = std::move(job), generation = platform_generation()]() mutable {
      {
        std::lock_guard<std::mutex> lock(slot->mutex);
        if (slot->state == State::cancelled) {
          job_finished();
          return;
        }
        slot->state = State::running;
      }
      std::optional<R> value;
      if (generation != platform_generation() || interpreter_exited())
        value.emplace(R::failure(us::ErrorCode::device_unavailable, kMsgPlatformSwitched));
      else
        value.emplace(job());  // a us::Result: it does not throw
      {
        std::lock_guard<std::mutex> lock(slot->mutex);
        slot->value = std::move(value);
        slot->state = State::done;
      }
      slot->changed.notify_all();
      job_finished();
    });
    for (;;) {
      bool done = false;
      {
        Released unlocked;
        std::unique_lock<std::mutex> lock(slot->mutex);
        done = slot->changed.wait_for(lock, std::chrono::milliseconds(kSignalCheckMs),
                                      [&] { return slot->state == State::done; });
      }
      if (done) break;
      interrupt.check_signals();
      if (!interrupt.exception) {
        if (given_up == nullptr || !given_up->load()) continue;
        std::unique_lock<std::mutex> lock(slot->mutex);
        if (slot->state != State::queued) continue;
        slot->state = State::cancelled;  // not begun: nothing changed
        lock.unlock();
        raise_error(us::ErrorCode::invalid_argument, given_up_message);
      }
      std::lock_guard<std::mutex> lock(slot->mutex);
      if (slot->state == State::queued) {
        // Not begun (it waited behind another call): nothing changed.
        slot->state = State::cancelled;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(interrupt.exception.ptr())), interrupt.exception.ptr());
        throw py::error_already_set();
      }
    }
    result = std::move(slot->value);
  }
  // A signal that came as the change ended: its handler runs now rather
  // than inside the making of the Error below, which would lose the Error.
  interrupt.check_signals();
  if (!result->ok()) {
    py::object error;
    for (int attempt = 0; !error; ++attempt) {
      try {
        error = make_error(result->code, result->message);
      } catch (py::error_already_set& raised) {
        if (attempt >= 3) throw;  // cannot happen short of a signal storm
        if (!interrupt.exception) interrupt.exception = raised.value();
      }
    }
    if (!interrupt.exception) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
      throw py::error_already_set();
    }
    raise_after_interrupt(std::move(error), std::move(interrupt.exception));
  }
  if (interrupt.exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(interrupt.exception.ptr())), interrupt.exception.ptr());
    throw py::error_already_set();
  }
  return std::move(*result);
}

}  // namespace morvane::python
