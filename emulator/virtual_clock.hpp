// Time as the virtual camera sees it: a monotonic nanosecond counter that
// advances only when someone sleeps on it or advances it, so tests that wait
// for flash settle times or the IMU gate finish at once and deterministically.
#pragma once

#include <atomic>
#include <cstdint>

namespace morvane::emulator {

class VirtualClock {
 public:
  std::uint64_t now_ns() const { return now_.load(std::memory_order_acquire); }
  void advance_ns(std::uint64_t delta) { now_.fetch_add(delta, std::memory_order_acq_rel); }

 private:
  std::atomic<std::uint64_t> now_{1'000'000'000ULL};  // starts at 1 s, never 0
};

}  // namespace morvane::emulator
