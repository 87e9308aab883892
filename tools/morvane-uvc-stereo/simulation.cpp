// The simulated camera behind --simulate: a virtual camera with a firmware
// image, a calibration document and a moving IMU, whose flash lives in a
// state file between runs.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "simulation/default_camera.hpp"
#include "tool.hpp"

namespace morvane::tool {

using simulation::kFlashSize;

struct Simulation::Impl {
  std::string state_file;
  emulator::VirtualPlatform platform;
  std::unique_ptr<uvc_stereo::platform::ScopedPlatform> installed;
};

std::string default_state_file() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::string dir = state && *state ? std::string(state) : std::string(home && *home ? home : "/tmp") + "/.local/state";
  return dir + "/morvane-uvc-stereo/simulated-camera.flash";
}

std::unique_ptr<Simulation> Simulation::start(const std::string& state_file, std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->state_file = state_file;
  auto config = simulation::default_camera_config();

  struct stat st {};
  if (::stat(state_file.c_str(), &st) != 0) {
    if (!simulation::factory_flash(config, config.flash.contents, error)) return nullptr;
  } else {
    std::vector<std::uint8_t> flash;
    if (!read_file(state_file, flash, error)) return nullptr;
    if (flash.size() != kFlashSize) {
      error = state_file + " is not a simulated camera's flash (expected " + std::to_string(kFlashSize) + " bytes)";
      return nullptr;
    }
    config.flash.contents = std::move(flash);
  }
  config.flash.size_bytes = kFlashSize;
  impl->platform.add_camera(config);
  impl->installed = std::make_unique<uvc_stereo::platform::ScopedPlatform>(impl->platform);
  return std::unique_ptr<Simulation>(new Simulation(std::move(impl)));
}

Simulation::Simulation(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Simulation::~Simulation() = default;

const std::string& Simulation::state_file() const { return impl_->state_file; }

void Simulation::advance_ms(double ms) { impl_->platform.clock().advance_ns(static_cast<std::uint64_t>(ms * 1e6)); }

bool Simulation::save(std::string& error) {
  auto contents = impl_->platform.camera(0).flash_contents(0, kFlashSize);
  // Create the state directory on first use.
  std::string dir = impl_->state_file.substr(0, impl_->state_file.find_last_of('/'));
  if (!dir.empty() && dir != impl_->state_file) {
    std::string partial;
    for (std::size_t pos = 1; pos != std::string::npos; pos = dir.find('/', pos + 1)) {
      partial = dir.substr(0, pos);
      if (!partial.empty()) ::mkdir(partial.c_str(), 0755);
    }
    ::mkdir(dir.c_str(), 0755);
  }
  // Written aside and renamed, so a run cut short keeps the previous flash.
  const std::string partial_file = impl_->state_file + ".partial";
  if (!write_file(partial_file, contents, error)) return false;
  if (std::rename(partial_file.c_str(), impl_->state_file.c_str()) != 0) {
    error = "rename " + partial_file + " failed: " + std::strerror(errno);
    std::remove(partial_file.c_str());
    return false;
  }
  return true;
}

}  // namespace morvane::tool
