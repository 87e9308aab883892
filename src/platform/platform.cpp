#include "platform/platform.hpp"

#include <atomic>
#include <cerrno>

namespace morvane::uvc_stereo::platform {
namespace {
std::atomic<Platform*> g_installed{nullptr};
}  // namespace

Platform& current() {
  Platform* p = g_installed.load(std::memory_order_acquire);
  return p ? *p : linux_platform();
}

void install(Platform* platform) { g_installed.store(platform, std::memory_order_release); }

void sleep_for(long seconds, long nanoseconds) {
  timespec request{seconds, nanoseconds};
  timespec remaining{0, 0};
  Platform& p = current();
  while (p.sleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

std::uint64_t monotonic_ns() {
  timespec now{};
  if (current().monotonic_time(&now) != 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace morvane::uvc_stereo::platform
