// The simulated camera behind --simulate: a virtual camera with a firmware
// image, a calibration document and a moving IMU, whose flash lives in a
// state file between runs.
//
// The state file is the camera's flash, kept as a real chip keeps its
// cells: every program and erase the virtual chip executes is written
// through to the file at once, in place, so a run that is killed in the
// middle of a write leaves the flash as a camera unplugged at that moment
// would hold it, and a run that changes nothing writes nothing. One run at a
// time uses it: a lock on "<state>.lock" is held from start to exit (a
// second run waits, saying so), so a run waiting at a prompt can never put
// back an older flash over a document stored meanwhile. No symlink is
// followed (not at the state file, not at the lock); the first state file is
// written through a unique temporary (mkstemp) and renamed into place.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "emulator/virtual_platform.hpp"
#include "platform/platform.hpp"
#include "simulation/default_camera.hpp"
#include "tool.hpp"

namespace morvane::tool {

using simulation::kFlashSize;

namespace {

std::string system_error(const std::string& what, const std::string& path) {
  return what + " " + path + " failed: " + std::strerror(errno);
}

// Makes the missing directories of `path`'s parent (0700).
void make_parent_directories(const std::string& path) {
  const std::size_t last = path.find_last_of('/');
  if (last == std::string::npos || last == 0) return;
  const std::string dir = path.substr(0, last);
  for (std::size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
    ::mkdir(dir.substr(0, pos).c_str(), 0700);
    if (pos == std::string::npos) break;
  }
}

bool write_all_at(int fd, const std::uint8_t* data, std::size_t length, off_t offset) {
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, data, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool read_all_at(int fd, std::uint8_t* data, std::size_t length) {
  off_t offset = 0;
  while (length > 0) {
    const ssize_t n = ::pread(fd, data, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// Opens `path` without following a symlink; a symlink or anything but a
// regular file is refused with a message.
int open_regular(const std::string& path, int flags, std::string& error) {
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    error = errno == ELOOP ? path + " is a symbolic link (not followed)" : system_error("open", path);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    ::close(fd);
    return -1;
  }
  return fd;
}

// Writes the factory flash as the state file: a unique temporary in the
// same directory, renamed into place (no run can see half a file).
bool create_state_file(const std::string& path, const std::vector<std::uint8_t>& flash, std::string& error) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    error = system_error("create", temporary);
    return false;
  }
  const bool written = write_all_at(fd, flash.data(), flash.size(), 0);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = system_error("write", path);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

struct Simulation::Impl {
  std::string state_file;
  int lock_fd = -1;
  int state_fd = -1;
  std::string write_error;  // the first write-through that failed
  emulator::VirtualPlatform platform;
  std::unique_ptr<uvc_stereo::platform::ScopedPlatform> installed;

  ~Impl() {
    installed.reset();
    if (state_fd >= 0) ::close(state_fd);
    if (lock_fd >= 0) ::close(lock_fd);  // releases the lock
  }

  // Takes the run's lock, waiting for another run to end.
  bool lock(std::string& error) {
    const std::string path = state_file + ".lock";
    lock_fd = open_regular(path, O_RDWR | O_CREAT, error);
    if (lock_fd < 0) return false;
    if (::flock(lock_fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) {
      error = system_error("lock", path);
      return false;
    }
    std::cerr << "waiting for another run to finish with the simulated camera " << state_file << "\n";
    // Nothing is held yet: a stop signal while waiting ends the run at once,
    // though the caller holds them for what follows.
    sigset_t held;
    pthread_sigmask(SIG_BLOCK, nullptr, &held);
    unblock_stop_signals();
    bool locked = true;
    while (::flock(lock_fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        error = system_error("lock", path);
        locked = false;
        break;
      }
    }
    pthread_sigmask(SIG_SETMASK, &held, nullptr);
    return locked;
  }
};

std::string default_state_file() {
  // The state directory the kept copies use (a relative or root
  // XDG_STATE_HOME ignored); /tmp only where no home directory is known.
  const std::string dir = state_directory();
  return (dir.empty() ? std::string("/tmp/morvane-uvc-stereo") : dir) + "/simulated-camera.flash";
}

std::unique_ptr<Simulation> Simulation::start(const std::string& state_file, std::string& error) {
  auto impl = std::make_unique<Impl>();
  impl->state_file = state_file;
  auto config = simulation::default_camera_config();
  make_parent_directories(state_file);
  if (!impl->lock(error)) return nullptr;

  struct stat st {};
  if (::lstat(state_file.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      error = system_error("stat", state_file);
      return nullptr;
    }
    std::vector<std::uint8_t> factory;
    if (!simulation::factory_flash(config, factory, error)) return nullptr;
    factory.resize(kFlashSize, 0xFF);
    if (!create_state_file(state_file, factory, error)) return nullptr;
  }
  impl->state_fd = open_regular(state_file, O_RDWR, error);
  if (impl->state_fd < 0) return nullptr;
  if (::fstat(impl->state_fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != kFlashSize) {
    error = state_file + " is not a simulated camera's flash (expected " + std::to_string(kFlashSize) + " bytes)";
    return nullptr;
  }
  config.flash.contents.assign(kFlashSize, 0xFF);
  if (!read_all_at(impl->state_fd, config.flash.contents.data(), kFlashSize)) {
    error = system_error("read", state_file);
    return nullptr;
  }
  config.flash.size_bytes = kFlashSize;
  impl->platform.add_camera(config);

  // Every program and erase reaches the file as it happens.
  Impl* self = impl.get();
  emulator::SpiNorFlash& flash = impl->platform.camera(0).flash();
  flash.set_change_observer([self, &flash](std::size_t offset, std::size_t length) {
    const std::vector<std::uint8_t>& cells = flash.contents();
    if (offset >= cells.size()) return;
    length = std::min(length, cells.size() - offset);
    if (!write_all_at(self->state_fd, cells.data() + offset, length, static_cast<off_t>(offset)) &&
        self->write_error.empty()) {
      self->write_error = system_error("write", self->state_file);
    }
  });
  impl->installed = std::make_unique<uvc_stereo::platform::ScopedPlatform>(impl->platform);
  return std::unique_ptr<Simulation>(new Simulation(std::move(impl)));
}

Simulation::Simulation(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Simulation::~Simulation() = default;

const std::string& Simulation::state_file() const { return impl_->state_file; }

void Simulation::advance_ms(double ms) { impl_->platform.clock().advance_ns(static_cast<std::uint64_t>(ms * 1e6)); }

bool Simulation::save(std::string& error) {
  // The flash's changes were written as they happened; report the first
  // that failed.
  if (impl_->write_error.empty()) return true;
  error = impl_->write_error;
  return false;
}

}  // namespace morvane::tool
