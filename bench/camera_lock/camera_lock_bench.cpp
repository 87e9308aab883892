// The per-camera lock between two processes, on a scratch file standing in
// for the camera's node, with the Linux platform:
//
//   hand-over     a holder keeps the lock 50 ms and releases it while a
//                 waiter waits: time from the release to the waiter holding
//                 the lock (20 rounds; median and worst).
//   back to back  a holder takes the lock again the moment it lets go
//                 (50 ms holds): time until a waiter holds it, or "busy"
//                 when 2 s pass first (10 rounds).
//
// Each beside the baseline of the same run: the previous lock, flock(2)
// tried every 20 ms. Figures are printed, never judged.
//
// Run: bench_camera_lock
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "sonix/sonix_internal.h"

namespace {

namespace us = morvane::uvc_stereo;

constexpr long kHoldUs = 50'000;
constexpr long kWaitMs = 2'000;

std::uint64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(t.tv_nsec);
}

// One way of taking and releasing the lock of `path`.
struct Lock {
  const char* name;
  int (*take)(const char* path, long wait_ms);  // descriptor, or -1 (busy or failed)
};

int take_fair(const char* path, long wait_ms) {
  const int fd = us::sonix::take_node_lock(us::platform::linux_platform(), path, wait_ms);
  return fd >= 0 ? fd : -1;
}

// The previous lock: flock on a read-only descriptor, tried every 20 ms.
int take_polled(const char* path, long wait_ms) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const std::uint64_t start = now_ns();
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (now_ns() - start >= static_cast<std::uint64_t>(wait_ms) * 1'000'000ULL) {
      close(fd);
      return -1;
    }
    usleep(20'000);
  }
  return fd;
}

struct Shared {
  std::atomic<int> go{0};       // hand-over: the round the holder may start
  std::atomic<int> holding{0};  // the round (or take) the holder holds the lock in
  std::atomic<int> stop{0};
  std::atomic<std::uint64_t> released_ns{0};
};

// The holder: takes the lock, holds it 50 ms, stamps the release and lets
// go; for a hand-over once per round the waiter starts, back to back again
// at once.
[[noreturn]] void run_holder(const Lock& lock, const char* path, Shared* shared, bool back_to_back) {
  int round = 0;
  while (shared->stop.load() == 0) {
    if (!back_to_back && shared->go.load() == round) {
      usleep(200);
      continue;
    }
    ++round;
    const int fd = lock.take(path, 10'000);
    if (fd < 0) continue;
    shared->holding.store(round);
    usleep(kHoldUs);
    shared->released_ns.store(now_ns());
    close(fd);
  }
  _exit(0);
}

struct Figures {
  std::vector<double> ms;
  int busy = 0;
};

Figures measure(const Lock& lock, const char* path, bool back_to_back, int rounds) {
  void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* shared = new (memory) Shared();
  const pid_t holder = fork();
  if (holder == 0) run_holder(lock, path, shared, back_to_back);
  Figures f;
  for (int round = 1; round <= rounds; ++round) {
    if (back_to_back) {
      while (shared->holding.load() == 0) usleep(500);
    } else {
      shared->go.store(round);
      while (shared->holding.load() != round) usleep(200);
    }
    // The waiter arrives while the lock is held, at a different point of
    // the hold each round (so the baseline's polls fall anywhere).
    usleep(static_cast<useconds_t>(5'000 + (round * 7'919) % 30'000));
    const std::uint64_t start = now_ns();
    const int fd = lock.take(path, kWaitMs);
    const std::uint64_t got = now_ns();
    if (fd < 0) {
      ++f.busy;
      continue;
    }
    const std::uint64_t from = back_to_back ? start : shared->released_ns.load();
    f.ms.push_back(static_cast<double>(got - from) / 1e6);
    usleep(5'000);
    close(fd);
    usleep(20'000);
  }
  shared->stop.store(1);
  waitpid(holder, nullptr, 0);
  munmap(memory, sizeof(Shared));
  return f;
}

void print(const char* kind, const char* name, Figures f) {
  std::sort(f.ms.begin(), f.ms.end());
  if (f.ms.empty()) {
    std::printf("%-13s %-28s %8s %8s %6d\n", kind, name, "-", "-", f.busy);
    return;
  }
  std::printf("%-13s %-28s %8.3f %8.3f %6d\n", kind, name, f.ms[f.ms.size() / 2], f.ms.back(), f.busy);
}

}  // namespace

int main() {
  char path[] = "/tmp/morvane-lock-bench-XXXXXX";
  const int made = mkstemp(path);
  if (made < 0) return 1;
  close(made);
  const Lock locks[] = {{"fair lock (blocking, queue)", take_fair}, {"baseline: flock, 20 ms polls", take_polled}};
  std::printf("Camera lock between two processes (ms; busy: waits that ran out after %ld ms)\n", kWaitMs);
  std::printf("%-13s %-28s %8s %8s %6s\n", "case", "lock", "median", "worst", "busy");
  for (const Lock& lock : locks) print("hand-over", lock.name, measure(lock, path, false, 20));
  for (const Lock& lock : locks) print("back to back", lock.name, measure(lock, path, true, 10));
  unlink(path);
  return 0;
}
