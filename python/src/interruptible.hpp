// Calls that wait for a camera without holding up Ctrl-C.
//
// A request to a camera that stopped answering blocks its thread until the
// request's timeout (the kernel's UVC driver waits 5 s, an uninterruptible
// wait), and a flash read is a run of such requests. Python runs a signal's
// handler only on the main thread, between bytecodes: while that thread is
// inside such a call, Ctrl-C would wait for it. So the reads that may block
// run on a worker thread, and the calling thread waits for them with the
// interpreter lock released, checking for signals every kSignalCheckMs. On a
// signal its exception (KeyboardInterrupt) is raised at once, and the
// operation runs on to its end on the worker: a flash read is never
// abandoned midway (the camera's driver would stay detached and the flash
// lock held), it finishes or fails by itself and then releases everything.
// Its result is dropped. The next call on the same device waits behind it.
//
// At exit the interpreter waits for operations still running (Py_AtExit),
// so that none is cut off with the camera in the middle of a flash access.
//
// A child made by fork() has none of its parent's threads: a worker created
// before the fork runs nothing there, so the child makes its calls on its
// own thread, as calls that cannot be interrupted.
#pragma once

#include <pybind11/pybind11.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace morvane::python {

namespace py = pybind11;

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
  // Waits until every job posted so far has run.
  void wait_idle();
  // True in a child forked after the worker was made: its thread is not
  // there (and its mutex may have been held at the fork). Use nothing else.
  bool forked_away() const { return ::getpid() != owner_; }

 private:
  void run();

  const pid_t owner_ = ::getpid();
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  std::unique_ptr<std::thread> thread_;
};

// The worker of the calls that belong to no Device (open_device and the
// flash functions that open their own connection).
Worker& module_worker();

// Counts the jobs that were posted and have not finished, for the wait at
// exit that install_exit_wait() sets up (once, at import).
void job_started();
void job_finished();
void install_exit_wait();

// Runs job() on `worker` and returns its result; waits as described above.
// The job must own everything it uses (capture by value, shared_ptr): on a
// signal it outlives this call. An exception it throws is rethrown here.
template <typename F>
auto run_interruptibly(Worker& worker, F job) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if (worker.forked_away()) {
    py::gil_scoped_release unlocked;
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
  worker.post([slot, job = std::move(job)]() mutable {
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> value;
    try {
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
      py::gil_scoped_release unlocked;
      std::unique_lock<std::mutex> lock(slot->mutex);
      done = slot->done_changed.wait_for(lock, std::chrono::milliseconds(kSignalCheckMs), [&] { return slot->done; });
    }
    if (done) break;
    // Only the main thread runs signal handlers; elsewhere this returns 0
    // and the call simply waits on.
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
  if (slot->error) std::rethrow_exception(slot->error);
  if constexpr (!std::is_void_v<R>) return std::move(*slot->value);
}

}  // namespace morvane::python
