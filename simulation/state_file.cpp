#include "simulation/state_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "simulation/default_camera.hpp"

namespace morvane::simulation {

using uvc_stereo::ErrorCode;
using uvc_stereo::Result;

namespace {

std::string system_error(const std::string& operation, const std::string& path, int error) {
  return operation + " " + path + " failed: " + std::strerror(error);
}

bool write_all_at(int fd, const std::uint8_t* data, std::size_t length, off_t offset) {
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, data, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
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
    if (n < 0) return false;
    if (n == 0) {  // shorter than fstat said: it changed under us
      errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// Makes the missing directories above `path` (0700); an existing directory
// is fine, anything else is reported.
Result<void> make_parent_directories(const std::string& path) {
  const std::size_t last = path.find_last_of('/');
  if (last == std::string::npos || last == 0) return Result<void>::success();
  const std::string dir = path.substr(0, last);
  for (std::size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
    const std::string partial = dir.substr(0, pos);
    if (::mkdir(partial.c_str(), 0700) != 0) {
      const int error = errno;
      struct stat st {};
      if (::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Result<void>::failure(ErrorCode::io_error, system_error("mkdir", partial, error));
    }
    if (pos == std::string::npos) break;
  }
  return Result<void>::success();
}

// Opens `path` without following a symlink (and without blocking on a
// FIFO); a symlink or anything but a regular file is refused.
Result<int> open_regular(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    if (errno == ELOOP)
      return Result<int>::failure(ErrorCode::invalid_argument, path + " is a symbolic link (not followed)");
    return Result<int>::failure(ErrorCode::io_error, system_error("open", path, errno));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return Result<int>::failure(ErrorCode::invalid_argument, path + " is not a regular file");
  }
  return Result<int>::success(fd);
}

// Writes `flash` as the state file: a unique temporary in the same
// directory, on the disk before it is renamed into place.
Result<void> create_state_file(const std::string& path, const std::vector<std::uint8_t>& flash) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return Result<void>::failure(ErrorCode::io_error, system_error("create", temporary, errno));
  bool ok = write_all_at(fd, flash.data(), flash.size(), 0) && ::fdatasync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return Result<void>::failure(ErrorCode::io_error, system_error("write", path, error));
  }
  return Result<void>::success();
}

}  // namespace

StateFile::StateFile(std::string path) : path_(std::move(path)) {}

StateFile::~StateFile() {
  if (state_fd_ >= 0) ::close(state_fd_);
  if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the lock
}

Result<bool> StateFile::try_lock() {
  auto made = make_parent_directories(path_);
  if (!made.ok()) return Result<bool>::forward(made);
  // Refused before a lock file is made beside it.
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode))
      return Result<bool>::failure(ErrorCode::invalid_argument, path_ + " is a symbolic link (not followed)");
    if (!S_ISREG(st.st_mode))
      return Result<bool>::failure(ErrorCode::invalid_argument, path_ + " is not a regular file");
  } else if (errno != ENOENT) {
    return Result<bool>::failure(ErrorCode::io_error, system_error("stat", path_, errno));
  }
  if (lock_fd_ < 0) {
    auto opened = open_regular(lock_path(), O_RDWR | O_CREAT);
    if (!opened.ok()) return Result<bool>::forward(opened);
    lock_fd_ = *opened.value;
  }
  if (::flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return Result<bool>::success(true);
  if (errno == EWOULDBLOCK) return Result<bool>::success(false);
  return Result<bool>::failure(ErrorCode::io_error, system_error("lock", lock_path(), errno));
}

Result<void> StateFile::wait_for_lock() {
  if (lock_fd_ < 0) return Result<void>::failure(ErrorCode::internal_error, "the lock file is not open");
  while (::flock(lock_fd_, LOCK_EX) != 0) {
    if (errno != EINTR) return Result<void>::failure(ErrorCode::io_error, system_error("lock", lock_path(), errno));
  }
  return Result<void>::success();
}

Result<void> StateFile::load(emulator::CameraConfig& config) {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return Result<void>::failure(ErrorCode::io_error, system_error("stat", path_, errno));
    std::vector<std::uint8_t> factory;
    std::string error;
    if (!factory_flash(config, factory, error)) return Result<void>::failure(ErrorCode::internal_error, error);
    factory.resize(kFlashSize, 0xFF);
    auto created = create_state_file(path_, factory);
    if (!created.ok()) return created;
  }
  auto opened = open_regular(path_, O_RDWR);
  if (!opened.ok()) return Result<void>::forward(opened);
  if (state_fd_ >= 0) ::close(state_fd_);
  state_fd_ = *opened.value;
  if (::fstat(state_fd_, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != kFlashSize) {
    return Result<void>::failure(ErrorCode::invalid_argument, path_ + " is not a simulated camera's flash (expected " +
                                                                  std::to_string(kFlashSize) + " bytes)");
  }
  config.flash.contents.assign(kFlashSize, 0xFF);
  if (!read_all_at(state_fd_, config.flash.contents.data(), kFlashSize))
    return Result<void>::failure(ErrorCode::io_error, system_error("read", path_, errno));
  config.flash.size_bytes = kFlashSize;
  return Result<void>::success();
}

void StateFile::write_through(emulator::SpiNorFlash& flash) {
  flash.set_change_observer([this, &flash](std::size_t offset, std::size_t length) {
    const std::vector<std::uint8_t>& cells = flash.contents();
    if (offset >= cells.size()) return;
    length = std::min(length, cells.size() - offset);
    std::lock_guard<std::mutex> hold(mutex_);
    changed_ = true;
    if (!write_all_at(state_fd_, cells.data() + offset, length, static_cast<off_t>(offset)) && write_error_.empty())
      write_error_ = system_error("write", path_, errno);
  });
}

Result<void> StateFile::flush() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!write_error_.empty()) return Result<void>::failure(ErrorCode::io_error, write_error_);
  if (!changed_) return Result<void>::success();
  if (::fdatasync(state_fd_) != 0)
    return Result<void>::failure(ErrorCode::io_error, system_error("sync", path_, errno));
  changed_ = false;
  return Result<void>::success();
}

}  // namespace morvane::simulation
