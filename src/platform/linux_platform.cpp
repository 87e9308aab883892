// The real Linux implementation of the OS boundary: thin wrappers over
// libusb-1.0 and POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/platform.hpp"

namespace morvane::uvc_stereo::platform {
namespace {

class PipeStream final : public CommandStream {
 public:
  explicit PipeStream(FILE* stream) : stream_(stream) {}
  ~PipeStream() override {
    if (stream_) pclose(stream_);
  }
  bool read_line(char* buffer, int size) override { return stream_ && std::fgets(buffer, size, stream_) != nullptr; }
  int close() override {
    if (!stream_) return -1;
    int status = pclose(stream_);
    stream_ = nullptr;
    return status;
  }

 private:
  FILE* stream_;
};

// libudev's monitor of processed events ("udev" source), filtered in the
// kernel socket to the two subsystems discovery cares about.
class LibudevMonitor final : public UdevMonitor {
 public:
  LibudevMonitor(udev* context, udev_monitor* monitor) : context_(context), monitor_(monitor) {}
  ~LibudevMonitor() override {
    udev_monitor_unref(monitor_);
    udev_unref(context_);
  }
  int fd() const override { return udev_monitor_get_fd(monitor_); }

  int receive(UdevEvent& event) override {
    // Never block, whatever mode libudev gave the socket.
    pollfd p{fd(), POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    if (ready == 0) return 0;
    errno = 0;
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (device == nullptr) {
      // Nothing (a message that failed the filter, or none after all) or an error.
      if (errno == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
      return -1;
    }
    event.action.clear();
    event.properties.clear();
    if (const char* action = udev_device_get_action(device)) event.action = action;
    for (udev_list_entry* e = udev_device_get_properties_list_entry(device); e; e = udev_list_entry_get_next(e)) {
      const char* value = udev_list_entry_get_value(e);
      event.properties[udev_list_entry_get_name(e)] = value ? value : "";
    }
    udev_device_unref(device);
    return 1;
  }

 private:
  udev* context_;
  udev_monitor* monitor_;
};

// Builds and starts a monitor; null with errno set on failure.
std::unique_ptr<UdevMonitor> start_libudev_monitor() {
  udev* context = udev_new();
  if (context == nullptr) {
    if (errno == 0) errno = ENOMEM;
    return nullptr;
  }
  udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
  int error = monitor ? 0 : (errno ? errno : ENOMEM);
  if (monitor && error == 0) {
    int r = udev_monitor_filter_add_match_subsystem_devtype(monitor, "video4linux", nullptr);
    if (r >= 0) r = udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
    // A larger queue rides out a burst (a hub with several cameras); an
    // overflow is still reported as ENOBUFS and handled by the caller.
    if (r >= 0) udev_monitor_set_receive_buffer_size(monitor, 4 * 1024 * 1024);
    if (r >= 0) r = udev_monitor_enable_receiving(monitor);
    if (r < 0) error = -r;
  }
  if (error != 0) {
    if (monitor) udev_monitor_unref(monitor);
    udev_unref(context);
    errno = error;
    return nullptr;
  }
  return std::make_unique<LibudevMonitor>(context, monitor);
}

// An open-file-description write lock on one byte of `fd`'s file, without
// waiting: 0, or -1 with errno (EWOULDBLOCK while another open file holds a
// lock on that byte, EBADF for a descriptor not open for writing).
int lock_byte(int fd, off_t byte) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno == EACCES || errno == EAGAIN) errno = EWOULDBLOCK;
  return -1;
}

// The lock on [from, from + length) (length 0: to the end) that a lock of
// type `type` would conflict with: F_UNLCK when there is none, -1 with
// errno when it cannot be asked.
struct LockSeen {
  short type = F_UNLCK;
  off_t start = 0;
  off_t length = 0;
};
bool lock_in_the_way(int fd, short type, off_t from, off_t length, LockSeen& seen) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = from;
  lock.l_len = length;
  if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  seen = LockSeen{lock.l_type, lock.l_start, lock.l_len};
  return true;
}

constexpr off_t kFirstSlot = 2;

class LinuxPlatform final : public Platform {
 public:
  int usb_init() override { return libusb_init(nullptr); }
  void usb_exit() override { libusb_exit(nullptr); }
  ssize_t usb_get_device_list(libusb_device*** list) override { return libusb_get_device_list(nullptr, list); }
  void usb_free_device_list(libusb_device** list, int unref) override { libusb_free_device_list(list, unref); }
  int usb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) override {
    return libusb_get_device_descriptor(dev, desc);
  }
  std::uint8_t usb_get_bus_number(libusb_device* dev) override { return libusb_get_bus_number(dev); }
  std::uint8_t usb_get_device_address(libusb_device* dev) override { return libusb_get_device_address(dev); }
  int usb_open(libusb_device* dev, libusb_device_handle** handle) override { return libusb_open(dev, handle); }
  void usb_close(libusb_device_handle* handle) override { libusb_close(handle); }
  int usb_kernel_driver_active(libusb_device_handle* h, int i) override { return libusb_kernel_driver_active(h, i); }
  int usb_detach_kernel_driver(libusb_device_handle* h, int i) override { return libusb_detach_kernel_driver(h, i); }
  int usb_attach_kernel_driver(libusb_device_handle* h, int i) override { return libusb_attach_kernel_driver(h, i); }
  int usb_claim_interface(libusb_device_handle* h, int i) override { return libusb_claim_interface(h, i); }
  int usb_release_interface(libusb_device_handle* h, int i) override { return libusb_release_interface(h, i); }
  int usb_set_configuration(libusb_device_handle* h, int c) override { return libusb_set_configuration(h, c); }
  int usb_control_transfer(libusb_device_handle* h, std::uint8_t request_type, std::uint8_t request,
                           std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length,
                           unsigned int timeout_ms) override {
    return libusb_control_transfer(h, request_type, request, value, index, data, length, timeout_ms);
  }
  const char* usb_error_name(int code) override { return libusb_error_name(code); }

  bool path_exists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }

  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    bool ok = true;
    for (;;) {
      errno = 0;
      dirent* entry = ::readdir(dir);
      if (!entry) {
        ok = errno == 0;
        break;
      }
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      names.push_back(std::move(name));
    }
    ::closedir(dir);
    return ok;
  }

  bool read_file_line(const std::string& path, char* buffer, int size) override {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    bool ok = std::fgets(buffer, size, f) != nullptr;
    std::fclose(f);
    return ok;
  }

  std::unique_ptr<CommandStream> run_command(const std::string& command) override {
    FILE* stream = ::popen(command.c_str(), "re");
    if (!stream) return nullptr;
    return std::make_unique<PipeStream>(stream);
  }

  std::unique_ptr<UdevMonitor> open_udev_monitor() override { return start_libudev_monitor(); }

  int lock_open(const std::string& path) override { return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY); }
  int lock_try(int fd) override { return lock_byte(fd, 0); }
  int lock_try_gate(int fd) override { return lock_byte(fd, 1); }
  int lock_close(int fd) override { return ::close(fd); }

  long lock_queue_last(int fd) override {
    // Every write lock from the first slot on, from low to high; a lock
    // asked for as a read lock conflicts with write locks only.
    long last = kFirstSlot - 1;
    off_t from = kFirstSlot;
    for (int seen_locks = 0; seen_locks < 4096; ++seen_locks) {
      LockSeen seen;
      if (!lock_in_the_way(fd, F_RDLCK, from, 0, seen)) return -1;
      if (seen.type == F_UNLCK) return last;
      if (seen.length <= 0) break;  // a lock to the end of the file: no slot is left after it
      const off_t end = seen.start + seen.length - 1;
      last = std::max(last, static_cast<long>(end));
      from = end + 1;
    }
    errno = EOVERFLOW;
    return -1;
  }

  int lock_queue_join(int fd, long slot) override { return lock_byte(fd, static_cast<off_t>(slot)); }

  int lock_queue_ahead(int fd, long slot) override {
    if (slot <= kFirstSlot) return 0;
    LockSeen seen;
    if (!lock_in_the_way(fd, F_RDLCK, kFirstSlot, static_cast<off_t>(slot) - kFirstSlot, seen)) return -1;
    return seen.type == F_UNLCK ? 0 : 1;
  }

  int lock_held_by_reader(int fd) override {
    for (const off_t byte : {0, 1}) {
      LockSeen seen;
      if (lock_in_the_way(fd, F_WRLCK, byte, 1, seen) && seen.type == F_RDLCK) return 1;
    }
    return 0;
  }

  int lock_watch(const std::string& path) override {
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) return -1;
    if (::inotify_add_watch(watch, path.c_str(), IN_CLOSE_WRITE | IN_DELETE_SELF | IN_ATTRIB) < 0) {
      const int error = errno;
      ::close(watch);
      errno = error;
      return -1;
    }
    return watch;
  }

  int lock_wait(int watch, long timeout_ms) override {
    if (watch < 0) return Platform::lock_wait(watch, timeout_ms);
    pollfd pfd{watch, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(timeout_ms < 0 ? 0 : timeout_ms));
    if (ready <= 0) return 0;
    // Drain: every event so far is one reason to try again.
    alignas(inotify_event) char events[4096];
    while (::read(watch, events, sizeof events) > 0) {
    }
    return 1;
  }

  void lock_unwatch(int watch) override {
    if (watch >= 0) ::close(watch);
  }

  bool char_device_number(const std::string& path, std::uint64_t& number) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISCHR(st.st_mode)) {
      errno = ENOTTY;
      return false;
    }
    number = static_cast<std::uint64_t>(st.st_rdev);
    return true;
  }

  int video_open(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }
  int video_ioctl(int fd, unsigned long request, void* arg) override { return ::ioctl(fd, request, arg); }
  int video_close(int fd) override { return ::close(fd); }
  void* video_mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) override {
    return ::mmap(addr, length, prot, flags, fd, offset);
  }
  int video_munmap(void* addr, std::size_t length) override { return ::munmap(addr, length); }
  int video_poll(pollfd* fds, nfds_t count, int timeout_ms) override { return ::poll(fds, count, timeout_ms); }

  int monotonic_time(timespec* now) override { return ::clock_gettime(CLOCK_MONOTONIC, now); }
  int sleep(const timespec* request, timespec* remaining) override { return ::nanosleep(request, remaining); }
};

}  // namespace

Platform& linux_platform() {
  static LinuxPlatform instance;
  return instance;
}

}  // namespace morvane::uvc_stereo::platform
