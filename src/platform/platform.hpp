// The one boundary between the SDK and the operating system.
//
// Everything the SDK asks of the system goes through the Platform interface:
// libusb, the /dev listing, udevadm, sysfs files, video-node open/ioctl/close,
// mmap/munmap of their buffers and poll, the monotonic clock and sleeping. LinuxPlatform (the default) makes the real
// calls; the virtual camera supplies another implementation for tests and for
// the command-line tool's simulated mode. Each operation is a thin wrapper that
// returns the system's outcome; callers build their own messages.
#pragma once

#ifndef MORVANE_UVC_STEREO_INTERNAL
#error "platform.hpp is internal to the SDK"
#endif

#include <libusb-1.0/libusb.h>
#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "morvane/uvc_stereo/export.hpp"

namespace morvane::uvc_stereo::platform {

// A running child command whose standard output is read line by line
// (popen/fgets/pclose semantics).
class CommandStream {
 public:
  virtual ~CommandStream() = default;
  // Reads like fgets(buffer, size, stream): at most size-1 bytes, up to and
  // including a newline, NUL-terminated. Returns false at end of output.
  virtual bool read_line(char* buffer, int size) = 0;
  // Waits for the child like pclose. Returns the raw wait status (use
  // WIFEXITED/WEXITSTATUS), or -1 when waiting failed. Called at most once.
  virtual int close() = 0;
};

// One device event as udev sends it after processing its rules.
struct UdevEvent {
  std::string action;                             // "add", "remove", "bind", "unbind", "change", ...
  std::map<std::string, std::string> properties;  // SUBSYSTEM, DEVTYPE, DEVNAME, DEVPATH, BUSNUM, ID_*, ...
};

// A subscription to udev's events of the video4linux and usb subsystems.
class UdevMonitor {
 public:
  virtual ~UdevMonitor() = default;
  // A descriptor that polls readable (POLLIN) while events are pending.
  virtual int fd() const = 0;
  // Takes one pending event without blocking. Returns 1 with `event` filled,
  // 0 when none is pending, -1 with errno set when receiving failed (ENOBUFS:
  // the queue overflowed and events were lost).
  virtual int receive(UdevEvent& event) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // ---- libusb, default context. Same contracts as the libusb-1.0 function of
  // the same name (negative LIBUSB_ERROR_* codes on failure). Device and handle
  // pointers are opaque tokens owned by the implementation.
  virtual int usb_init() = 0;
  virtual void usb_exit() = 0;
  virtual ssize_t usb_get_device_list(libusb_device*** list) = 0;
  virtual void usb_free_device_list(libusb_device** list, int unref_devices) = 0;
  virtual int usb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) = 0;
  virtual std::uint8_t usb_get_bus_number(libusb_device* dev) = 0;
  virtual std::uint8_t usb_get_device_address(libusb_device* dev) = 0;
  virtual int usb_open(libusb_device* dev, libusb_device_handle** handle) = 0;
  virtual void usb_close(libusb_device_handle* handle) = 0;
  virtual int usb_kernel_driver_active(libusb_device_handle* handle, int interface_number) = 0;
  virtual int usb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) = 0;
  virtual int usb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) = 0;
  virtual int usb_claim_interface(libusb_device_handle* handle, int interface_number) = 0;
  virtual int usb_release_interface(libusb_device_handle* handle, int interface_number) = 0;
  virtual int usb_set_configuration(libusb_device_handle* handle, int configuration) = 0;
  // Returns the number of bytes transferred, or a negative LIBUSB_ERROR_* code.
  virtual int usb_control_transfer(libusb_device_handle* handle, std::uint8_t request_type, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length,
                                   unsigned int timeout_ms) = 0;
  virtual const char* usb_error_name(int code) = 0;

  // ---- File system.
  // stat(2) succeeded (any file type). Sets errno otherwise.
  virtual bool path_exists(const std::string& path) = 0;
  // Lists the entry names of a directory (no "." or ".."), in the directory's
  // own order. Returns false when the listing cannot be started or a later
  // entry cannot be read; `names` is then unspecified.
  virtual bool list_directory(const std::string& path, std::vector<std::string>& names) = 0;
  // fopen(path, "r") then one fgets(buffer, size): returns false when the
  // file cannot be opened or yields nothing.
  virtual bool read_file_line(const std::string& path, char* buffer, int size) = 0;

  // ---- Commands. Starts `command` through the shell for reading (popen "r";
  // the pipe is close-on-exec). Returns null when it cannot be started.
  virtual std::unique_ptr<CommandStream> run_command(const std::string& command) = 0;

  // ---- udev's event monitor (libudev, source "udev"). Returns a started
  // monitor, or null with errno set when none can be made. The default: no
  // udev on this platform (ENOSYS).
  // Defined here so the class keeps no key function (its type information is
  // emitted wherever it is used, as for the other operations).
  virtual std::unique_ptr<UdevMonitor> open_udev_monitor() {
    errno = ENOSYS;
    return nullptr;
  }

  // ---- Advisory file locks, shared by every process. A lock belongs to one
  // open file, so two opens of one path in one process exclude each other
  // too. lock_open opens `path` for locking, close-on-exec: a descriptor, or
  // -1 with errno. lock_try takes the exclusive lock without waiting: 0, or
  // -1 with errno (EWOULDBLOCK: another open file holds it). lock_try_gate
  // takes a second, independent exclusive lock of the same kind (the
  // waiting room of a fair lock; see take_node_lock in the access library):
  // 0 or -1 with errno as lock_try. lock_close closes the descriptor, which
  // releases its locks. The default: no locks on this platform (ENOSYS,
  // EBADF) and a gate that is always free.
  //
  // On Linux the locks are open-file-description write locks (fcntl
  // F_OFD_SETLK, F_WRLCK) on byte 0 (the lock) and byte 1 (the gate) of the
  // file, and lock_open opens it write-only: only a user allowed to write to
  // the file can open it so, and a write lock needs a descriptor open for
  // writing. flock(2) locks, which any reader can take, do not interfere.
  // What remains open: a process that may only read the file can still set
  // a read lock (F_RDLCK) on byte 0 or 1, and a write lock cannot be taken
  // over it, so such a reader can keep every user out. No lock object a
  // reader cannot block is at hand: any lock of the node itself (fcntl or
  // flock) can be set through a read-only descriptor, leases need the
  // file's owner, and a name in a shared namespace (an abstract socket, a
  // file under /run/lock) can be taken first by anyone. The lock therefore
  // stays a write lock, and lock_held_by_reader lets the waiter name such a
  // reader as the reason it gave up; a node mode without read access for
  // "other" (0660) closes the gap.
  virtual int lock_open(const std::string& path) {
    (void)path;
    errno = ENOSYS;
    return -1;
  }
  virtual int lock_try(int fd) {
    (void)fd;
    errno = EBADF;
    return -1;
  }
  virtual int lock_try_gate(int fd) {
    (void)fd;
    return 0;
  }
  virtual int lock_close(int fd) {
    (void)fd;
    errno = EBADF;
    return -1;
  }
  // The queue of a fair lock: slots numbered 2, 3, ... that waiters take in
  // turn (see take_node_lock). lock_queue_last returns the highest slot
  // another open file holds, 1 when none does, -1 with errno when the
  // queue cannot be read. lock_queue_join takes slot `slot` for `fd`'s
  // open file (it is released when `fd` is closed): 0, or -1 with errno.
  // lock_queue_ahead returns 1 while another open file holds a slot below
  // `slot`, 0 when none does, -1 with errno. lock_held_by_reader returns 1
  // when the lock or the gate of the file is held by a read lock, which no
  // user of this interface takes (a process that may only read the file),
  // else 0. The default: no queue (every waiter is first in line) and no
  // read locks.
  //
  // On Linux a slot is an open-file-description write lock on byte `slot`;
  // slots are looked for as a read lock would be (F_OFD_GETLK with
  // F_RDLCK), so a reader's read locks on those bytes are not seen and
  // cannot stall the queue.
  virtual long lock_queue_last(int fd) {
    (void)fd;
    return 1;
  }
  virtual int lock_queue_join(int fd, long slot) {
    (void)fd;
    (void)slot;
    return 0;
  }
  virtual int lock_queue_ahead(int fd, long slot) {
    (void)fd;
    (void)slot;
    return 0;
  }
  virtual int lock_held_by_reader(int fd) {
    (void)fd;
    return 0;
  }
  // Waiting for a lock without polling. lock_watch starts watching `path`
  // for the close of a descriptor open for writing (every lock release is
  // one): a watch descriptor, or -1 when the platform cannot watch.
  // lock_wait(watch, ms) returns 1 once such a close happened since the
  // watch started or the last wait returned, or 0 when `ms` milliseconds
  // passed first; with no watch (-1) it sleeps min(ms, 20) on this
  // platform's clock and returns 0 (a poll). The close is reported as it
  // begins: on Linux the closing file's locks are removed just after the
  // notification, so a try right after a 1 may still find the lock held for
  // a moment. lock_unwatch ends the watch. The default: no watching.
  virtual int lock_watch(const std::string& path) {
    (void)path;
    errno = ENOSYS;
    return -1;
  }
  // Defined here so the class keeps no key function.
  virtual int lock_wait(int watch, long timeout_ms) {
    (void)watch;
    const long ms = timeout_ms < 20 ? (timeout_ms > 0 ? timeout_ms : 0) : 20;
    timespec request{ms / 1000, (ms % 1000) * 1000000L};
    timespec remaining{0, 0};
    while (sleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
    return 0;
  }
  virtual void lock_unwatch(int watch) { (void)watch; }

  // ---- Character devices. The device number (st_rdev) of the character
  // device `path` names after stat(2) follows it (a /proc/PID/fd entry
  // included): true, or false with errno (ENOTTY: not a character device).
  // The default: no such files on this platform (ENOSYS).
  virtual bool char_device_number(const std::string& path, std::uint64_t& number) {
    (void)path;
    (void)number;
    errno = ENOSYS;
    return false;
  }

  // ---- Video nodes: open(2), ioctl(2), close(2). -1 and errno on failure.
  virtual int video_open(const std::string& path, int flags) = 0;
  virtual int video_ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual int video_close(int fd) = 0;
  // Streaming buffers of a video node: mmap(2) of a buffer the node's
  // VIDIOC_QUERYBUF names by its offset (MAP_FAILED and errno on failure),
  // munmap(2) of such a mapping (0, or -1 and errno), and poll(2) over video
  // node descriptors (the number ready, 0 on timeout, -1 and errno; a
  // negative timeout waits without limit).
  virtual void* video_mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) = 0;
  virtual int video_munmap(void* addr, std::size_t length) = 0;
  virtual int video_poll(pollfd* fds, nfds_t count, int timeout_ms) = 0;

  // ---- Time. clock_gettime(CLOCK_MONOTONIC) and nanosleep(2) contracts.
  virtual int monotonic_time(timespec* now) = 0;
  virtual int sleep(const timespec* request, timespec* remaining) = 0;
};

// The platform in use: the Linux implementation unless another was installed.
Platform& current();

// Installs `platform` as the one in use (null restores the Linux one). Not
// synchronised with calls in progress: install before using the SDK. The C++
// library exports this one function of the boundary, as the hook through which
// the simulated camera (include/morvane/uvc_stereo/simulation.hpp) puts itself
// behind a program that uses the shared library.
MORVANE_UVC_STEREO_API void install(Platform* platform);

// The real Linux implementation.
Platform& linux_platform();

// Installs a platform for the lifetime of the object (tests, simulated mode).
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform& platform) { install(&platform); }
  ~ScopedPlatform() { install(nullptr); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

// Sleeps for the whole interval on the current platform, resuming after a
// signal interruption for the time that remained.
void sleep_for(long seconds, long nanoseconds);
inline void sleep_ms(long ms) { sleep_for(ms / 1000, (ms % 1000) * 1000000L); }

// Monotonic time in nanoseconds, 0 when the clock cannot be read.
std::uint64_t monotonic_ns();

}  // namespace morvane::uvc_stereo::platform
