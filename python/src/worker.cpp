// The worker threads of the interruptible calls, and the wait for them at exit.
#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "interruptible.hpp"

namespace morvane::python {
namespace {

// Calls in flight: jobs posted and not finished, calls inside Unlocked. An
// atomic polled rather than a mutex and a condition: it is read inside
// fork() and reset in the child (a mutex could be inherited locked).
std::atomic<std::size_t> g_jobs{0};

// The platform gate (interruptible.hpp). Atomics polled, for the same
// reason as g_jobs, and because a switch is rare and short: a pass is an
// increment and a check. Sequentially consistent: a pass counts itself
// before it looks at g_switching, a switch sets it before it counts the
// passes, so they never both go on.
std::atomic<std::size_t> g_passes{0};
std::atomic<bool> g_switching{false};
std::atomic<std::uint64_t> g_generation{0};
std::mutex g_switch_mutex;  // one switch at a time
thread_local std::size_t t_passes = 0;

// None of the counted calls needs the interpreter lock to end, so this
// wait ends also when the lock is held.
void wait_for_jobs() {
  while (g_jobs.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Set when the interpreter has finished (Py_AtExit): a job that had not
// begun by then is dropped, so the exit waits only for the calls in flight
// (a change not begun is cancelled, as a signal cancels it).
std::atomic<bool> g_exited{false};

void wait_at_exit() {
  g_exited.store(true);
  wait_for_jobs();
}

// os.register_at_fork(before=...): the long wait (a read on a camera that
// does not answer ends by its timeouts), with the lock released so that
// other Python threads run on.
void wait_before_fork() {
  py::gil_scoped_release unlocked;
  wait_for_jobs();
}

// pthread_atfork's prepare handler, inside fork() (the forking thread holds
// the interpreter lock): a call another thread began after the wait above.
void prepare_fork() { wait_for_jobs(); }

// In the child: the parent's calls are not there (their threads are not).
void forget_parent_jobs() {
  g_jobs.store(0);
  g_passes.store(t_passes > 0 ? 1 : 0);
  g_switching.store(false);
}

}  // namespace

Worker::Worker() : thread_(std::make_unique<std::thread>([this] { run(); })) {}

Worker::~Worker() {
  if (forked_away()) {
    // The parent's thread is not in this process: nothing to join. The
    // handle is left as it is (destroying a joinable thread would abort).
    (void)thread_.release();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_->join();
}

void Worker::post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  changed_.notify_all();
}

void Worker::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    {
      PlatformPass pass;
      job();
      job = nullptr;  // what the job owned goes while the pass is held
    }
    lock.lock();
  }
}

Worker& module_worker() {
  // Never destroyed: the exit wait lets its jobs finish, and joining a
  // thread from a static destructor is fragile.
  static Worker* worker = new Worker();
  return *worker;
}

void install_exit_and_fork_waits(py::module_& m) {
  g_main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  // Called by Py_FinalizeEx after the interpreter is gone: no Python there.
  Py_AtExit(wait_at_exit);
  pthread_atfork(prepare_fork, nullptr, forget_parent_jobs);
  py::module_::import("os").attr("register_at_fork")(
      py::arg("before") = py::cpp_function(&wait_before_fork, py::name("_wait_before_fork"), py::scope(m)));
}

void raise_after_interrupt(py::object error, py::object interrupt) {
  // Set by hand and raised with PyErr_Restore, which (unlike
  // PyErr_SetObject) keeps the context given.
  PyException_SetContext(error.ptr(), interrupt.release().ptr());
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.ptr()));
  Py_INCREF(type);
  PyErr_Restore(type, error.release().ptr(), nullptr);
  throw py::error_already_set();
}

PlatformPass::PlatformPass() {
  if (t_passes++ > 0) return;
  for (;;) {
    g_passes.fetch_add(1);
    if (!g_switching.load()) return;
    g_passes.fetch_sub(1);
    while (g_switching.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

PlatformPass::~PlatformPass() {
  if (--t_passes == 0) g_passes.fetch_sub(1);
}

std::uint64_t platform_generation() { return g_generation.load(); }

bool interpreter_exited() { return g_exited.load(); }

void switch_platform(const std::function<void()>& f) {
  Unlocked unlocked(kNoPass);
  std::lock_guard<std::mutex> one_at_a_time(g_switch_mutex);
  const std::size_t own = t_passes > 0 ? 1 : 0;
  g_switching.store(true);
  // Inside, this thread calls the library (closing what is open) as if it
  // held a pass, without waiting for itself; the gate opens again however
  // f ends.
  struct Reopen {
    Reopen() { ++t_passes; }
    ~Reopen() {
      --t_passes;
      g_switching.store(false);
    }
  };
  while (g_passes.load() != own) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ++g_generation;
  Reopen reopen;
  f();
}

void job_started() { ++g_jobs; }

void job_finished() { --g_jobs; }

}  // namespace morvane::python
