// SimulatedCamera: the virtual camera installed into the shared C++ library
// through the OS boundary's exported install hook.
#include "morvane/uvc_stereo/simulation.hpp"

#include <atomic>
#include <string>
#include <utility>

#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "simulation/default_camera.hpp"
#include "simulation/state_file.hpp"

namespace morvane::uvc_stereo {
namespace {

// One simulation per process: the library has one installed platform.
std::atomic<bool> g_active{false};

}  // namespace

class SimulatedCamera::Impl {
 public:
  std::string state_file;
  // Declared before the platform, destroyed after it: the platform's flash
  // holds the write-through observer; the lock goes last.
  std::unique_ptr<simulation::StateFile> state;
  emulator::VirtualPlatform platform;
  bool installed = false;

  ~Impl() { uninstall(); }

  void uninstall() {
    if (!installed) return;
    platform::install(nullptr);
    installed = false;
    g_active.store(false, std::memory_order_release);
  }
};

Result<SimulatedCamera> SimulatedCamera::start(const SimulatedCameraOptions& options) {
  using R = Result<SimulatedCamera>;
  bool expected = false;
  if (!g_active.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
    return R::failure(ErrorCode::invalid_argument, "a simulated camera is already active");
  // From here on the flag is ours: every failure below gives it back.
  auto fail = [](ErrorCode code, std::string message) {
    g_active.store(false, std::memory_order_release);
    return R::failure(code, std::move(message));
  };

  auto impl = std::make_unique<Impl>();
  impl->state_file = options.state_file;
  auto config = simulation::default_camera_config();
  if (!options.state_file.empty()) {
    impl->state = std::make_unique<simulation::StateFile>(options.state_file);
    auto locked = impl->state->try_lock();
    if (!locked.ok()) return fail(locked.code, locked.message);
    if (!*locked.value) {
      return fail(ErrorCode::device_unavailable, "the simulated camera " + options.state_file +
                                                     " is in use by another run (" + impl->state->lock_path() +
                                                     " is locked)");
    }
    auto loaded = impl->state->load(config);
    if (!loaded.ok()) return fail(loaded.code, loaded.message);
  } else {
    std::string error;
    if (!simulation::factory_flash(config, config.flash.contents, error)) return fail(ErrorCode::internal_error, error);
    config.flash.size_bytes = simulation::kFlashSize;
  }

  impl->platform.add_camera(config);
  if (impl->state) impl->state->write_through(impl->platform.camera(0).flash());
  platform::install(&impl->platform);
  impl->installed = true;
  return R::success(SimulatedCamera(std::move(impl)));
}

SimulatedCamera::SimulatedCamera(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
SimulatedCamera::SimulatedCamera(SimulatedCamera&&) noexcept = default;
SimulatedCamera& SimulatedCamera::operator=(SimulatedCamera&& other) noexcept {
  if (this != &other) {
    (void)stop();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
SimulatedCamera::~SimulatedCamera() { (void)stop(); }

bool SimulatedCamera::active() const noexcept { return impl_ && impl_->installed; }

const std::string& SimulatedCamera::state_file() const noexcept {
  static const std::string none;
  return impl_ ? impl_->state_file : none;
}

Result<void> SimulatedCamera::save() {
  if (!active()) return Result<void>::failure(ErrorCode::invalid_argument, "simulated camera is not active");
  if (!impl_->state) return Result<void>::success();
  return impl_->state->flush();
}

Result<void> SimulatedCamera::stop() {
  if (!active()) return Result<void>::success();
  resume_answering();  // a request still waiting must not meet the real system
  auto saved = save();
  impl_->uninstall();
  impl_.reset();
  return saved;
}

std::uint64_t SimulatedCamera::now_ns() const noexcept { return active() ? impl_->platform.clock().now_ns() : 0; }

void SimulatedCamera::advance_time_ns(std::uint64_t delta_ns) noexcept {
  if (active()) impl_->platform.clock().advance_ns(delta_ns);
}

void SimulatedCamera::unplug() noexcept {
  if (!active() || !impl_->platform.camera(0).attached()) return;
  impl_->platform.camera(0).unplug();
  impl_->platform.deliver_udev_events();
}

void SimulatedCamera::replug() noexcept {
  if (!active() || impl_->platform.camera(0).attached()) return;
  impl_->platform.camera(0).replug();
  impl_->platform.deliver_udev_events();
}

bool SimulatedCamera::plugged_in() const noexcept { return active() && impl_->platform.camera(0).attached(); }

void SimulatedCamera::stop_answering() noexcept {
  if (active()) impl_->platform.camera(0).set_answering(false);
}

void SimulatedCamera::resume_answering() noexcept {
  if (active()) impl_->platform.camera(0).set_answering(true);
}

bool SimulatedCamera::answering() const noexcept { return active() && impl_->platform.camera(0).answering(); }

std::size_t SimulatedCamera::waiting_requests() const noexcept {
  return active() ? impl_->platform.camera(0).requests_waiting() : 0;
}

std::size_t SimulatedCamera::open_video_nodes() const noexcept {
  return active() ? impl_->platform.open_video_fd_count() : 0;
}

std::size_t SimulatedCamera::open_usb_handles() const noexcept {
  return active() ? impl_->platform.open_handle_count() : 0;
}

}  // namespace morvane::uvc_stereo
