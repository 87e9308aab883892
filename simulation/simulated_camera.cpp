// SimulatedCamera: the virtual camera installed into the shared C++ library
// through the OS boundary's exported install hook.
#include "morvane/uvc_stereo/simulation.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "simulation/default_camera.hpp"

namespace morvane::uvc_stereo {
namespace {

// One simulation per process: the library has one installed platform.
std::atomic<bool> g_active{false};

std::string system_error(const char* operation, const std::string& path, int error) {
  return std::string(operation) + " " + path + " failed: " + std::strerror(error);
}

// Reads the whole file. Returns code ok, or io_error with the system text.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Result<std::vector<std::uint8_t>>::failure(ErrorCode::io_error, system_error("open", path, errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return Result<std::vector<std::uint8_t>>::failure(ErrorCode::io_error, system_error("read", path, error));
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (bytes.size() > simulation::kFlashSize) break;  // too long already; the caller says so
  }
  ::close(fd);
  return Result<std::vector<std::uint8_t>>::success(std::move(bytes));
}

// Creates every missing directory of `dir` (like mkdir -p).
Result<void> make_directories(const std::string& dir) {
  for (std::size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
    const std::string partial = dir.substr(0, pos);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
      return Result<void>::failure(ErrorCode::io_error, system_error("mkdir", partial, errno));
    if (pos == std::string::npos) break;
  }
  return Result<void>::success();
}

// Writes `bytes` to a temporary file beside `path` and renames it over
// `path`, so an interrupted save never leaves a truncated state file.
Result<void> write_file_atomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    auto made = make_directories(path.substr(0, slash));
    if (!made.ok()) return made;
  }
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Result<void>::failure(ErrorCode::io_error, system_error("open", temporary, errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      return Result<void>::failure(ErrorCode::io_error, system_error("write", temporary, error));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return Result<void>::failure(ErrorCode::io_error, system_error("close", temporary, error));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return Result<void>::failure(ErrorCode::io_error, system_error("rename", path, error));
  }
  return Result<void>::success();
}

}  // namespace

class SimulatedCamera::Impl {
 public:
  std::string state_file;
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

  auto config = simulation::default_camera_config();
  struct stat st {};
  if (!options.state_file.empty() && ::stat(options.state_file.c_str(), &st) == 0) {
    auto contents = read_whole_file(options.state_file);
    if (!contents.ok()) return fail(contents.code, contents.message);
    if (contents.value->size() != simulation::kFlashSize)
      return fail(ErrorCode::invalid_argument, options.state_file + " is not a simulated camera's flash (expected " +
                                                   std::to_string(simulation::kFlashSize) + " bytes)");
    config.flash.contents = std::move(*contents.value);
  } else {
    std::string error;
    if (!simulation::factory_flash(config, config.flash.contents, error)) return fail(ErrorCode::internal_error, error);
  }
  config.flash.size_bytes = simulation::kFlashSize;

  auto impl = std::make_unique<Impl>();
  impl->state_file = options.state_file;
  impl->platform.add_camera(config);
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
  if (impl_->state_file.empty()) return Result<void>::success();
  return write_file_atomically(impl_->state_file, impl_->platform.camera(0).flash_contents(0, simulation::kFlashSize));
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
