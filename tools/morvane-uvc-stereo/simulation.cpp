// The simulated camera behind --simulate: a virtual camera with a firmware
// image, a calibration document and a moving IMU, whose flash lives in a
// state file between runs.
//
// The state file is handled as the simulated-camera library handles it
// (simulation/state_file.hpp): every program and erase is written through
// in place as it happens, a run that changes nothing writes nothing, no
// symlink is followed, and a lock on "<state>.lock" is held from start to
// exit. A second run waits for it, saying so, so a run waiting at a prompt
// can never put back an older flash over a document stored meanwhile.
#include <signal.h>

#include <cstdlib>
#include <iostream>

#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "simulation/default_camera.hpp"
#include "simulation/state_file.hpp"
#include "tool.hpp"

namespace morvane::tool {

struct Simulation::Impl {
  explicit Impl(const std::string& path) : state(path) {}

  // Declared first, destroyed last: the platform holding the write-through
  // observer goes before the file and its lock.
  simulation::StateFile state;
  emulator::VirtualPlatform platform;
  std::unique_ptr<uvc_stereo::platform::ScopedPlatform> installed;

  ~Impl() { installed.reset(); }

  // Takes the run's lock, waiting for another run to end.
  bool lock(std::string& error) {
    auto locked = state.try_lock();
    if (!locked.ok()) {
      error = locked.message;
      return false;
    }
    if (*locked.value) return true;
    std::cerr << "waiting for another run to finish with the simulated camera " << state.path() << "\n";
    // Nothing is held yet: a stop signal while waiting ends the run at once,
    // though the caller holds them for what follows.
    sigset_t held;
    pthread_sigmask(SIG_BLOCK, nullptr, &held);
    unblock_stop_signals();
    auto waited = state.wait_for_lock();
    pthread_sigmask(SIG_SETMASK, &held, nullptr);
    if (!waited.ok()) error = waited.message;
    return waited.ok();
  }
};

std::string default_state_file() {
  // The state directory the kept copies use (a relative or root
  // XDG_STATE_HOME ignored); /tmp only where no home directory is known.
  const std::string dir = state_directory();
  return (dir.empty() ? std::string("/tmp/morvane-uvc-stereo") : dir) + "/simulated-camera.flash";
}

std::unique_ptr<Simulation> Simulation::start(const std::string& state_file, std::string& error) {
  auto impl = std::make_unique<Impl>(state_file);
  if (!impl->lock(error)) return nullptr;
  auto config = simulation::default_camera_config();
  auto loaded = impl->state.load(config);
  if (!loaded.ok()) {
    error = loaded.message;
    return nullptr;
  }
  impl->platform.add_camera(config);
  // Every program and erase reaches the file as it happens.
  impl->state.write_through(impl->platform.camera(0).flash());
  impl->installed = std::make_unique<uvc_stereo::platform::ScopedPlatform>(impl->platform);
  return std::unique_ptr<Simulation>(new Simulation(std::move(impl)));
}

Simulation::Simulation(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Simulation::~Simulation() = default;

const std::string& Simulation::state_file() const { return impl_->state.path(); }

void Simulation::advance_ms(double ms) { impl_->platform.clock().advance_ns(static_cast<std::uint64_t>(ms * 1e6)); }

bool Simulation::save(std::string& error) {
  // The flash's changes were written as they happened: flush them and
  // report the first that failed.
  auto flushed = impl_->state.flush();
  if (flushed.ok()) return true;
  error = flushed.message;
  return false;
}

}  // namespace morvane::tool
