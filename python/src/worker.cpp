// The worker threads of the interruptible calls, and the wait for them at exit.
#include <Python.h>
#include <pthread.h>

#include <atomic>

#include "interruptible.hpp"

namespace morvane::python {
namespace {

// Jobs posted and not finished. An atomic polled at exit rather than a
// mutex and a condition: a child forked while a job ran resets it (a mutex
// could be inherited locked).
std::atomic<std::size_t> g_jobs{0};

// Called by Py_FinalizeEx after the interpreter is gone: no Python here.
void wait_for_jobs() {
  while (g_jobs.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void forget_parent_jobs() { g_jobs.store(0); }

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

void Worker::wait_idle() {
  if (forked_away()) return;  // it runs nothing here
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void Worker::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    job();
    job = nullptr;  // what the job owned goes before the worker reports idle
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

Worker& module_worker() {
  // Never destroyed: the exit wait lets its jobs finish, and joining a
  // thread from a static destructor is fragile.
  static Worker* worker = new Worker();
  return *worker;
}

void install_exit_wait() {
  Py_AtExit(wait_for_jobs);
  pthread_atfork(nullptr, nullptr, forget_parent_jobs);
}

void job_started() { ++g_jobs; }

void job_finished() { --g_jobs; }

}  // namespace morvane::python
