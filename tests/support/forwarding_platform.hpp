// Test platforms built by overriding only what a test scripts.
//
// ForwardingPlatform hands every operation to another Platform; a test or
// benchmark platform derives from it and overrides the operations it cares
// about. UnavailablePlatform is the usual target: a system on which every
// facility is missing (no USB devices, nothing in /dev, no commands, no video
// nodes), with a clock that stands still and sleeps that return at once.
#pragma once

#include <sys/mman.h>

#include <time.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace morvane::uvc_stereo::testing {

// Every operation fails as it does where the facility is absent. The libusb
// calls fail with `usb_error` and name it `usb_error_name`.
class UnavailablePlatform final : public platform::Platform {
 public:
  UnavailablePlatform(int usb_error, const char* usb_error_name)
      : usb_error_(usb_error), usb_error_name_(usb_error_name) {}

  int usb_init() override { return usb_error_; }
  void usb_exit() override {}
  ssize_t usb_get_device_list(libusb_device***) override { return usb_error_; }
  void usb_free_device_list(libusb_device**, int) override {}
  int usb_get_device_descriptor(libusb_device*, libusb_device_descriptor*) override { return usb_error_; }
  std::uint8_t usb_get_bus_number(libusb_device*) override { return 0; }
  std::uint8_t usb_get_device_address(libusb_device*) override { return 0; }
  int usb_open(libusb_device*, libusb_device_handle**) override { return usb_error_; }
  void usb_close(libusb_device_handle*) override {}
  int usb_kernel_driver_active(libusb_device_handle*, int) override { return usb_error_; }
  int usb_detach_kernel_driver(libusb_device_handle*, int) override { return usb_error_; }
  int usb_attach_kernel_driver(libusb_device_handle*, int) override { return usb_error_; }
  int usb_claim_interface(libusb_device_handle*, int) override { return usb_error_; }
  int usb_release_interface(libusb_device_handle*, int) override { return usb_error_; }
  int usb_set_configuration(libusb_device_handle*, int) override { return usb_error_; }
  int usb_control_transfer(libusb_device_handle*, std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t,
                           unsigned char*, std::uint16_t, unsigned int) override {
    return usb_error_;
  }
  const char* usb_error_name(int) override { return usb_error_name_; }

  bool path_exists(const std::string&) override {
    errno = ENOENT;
    return false;
  }
  bool list_directory(const std::string&, std::vector<std::string>&) override { return false; }
  bool read_file_line(const std::string&, char*, int) override { return false; }
  std::unique_ptr<platform::CommandStream> run_command(const std::string&) override { return nullptr; }

  int video_open(const std::string&, int) override {
    errno = ENOENT;
    return -1;
  }
  int video_ioctl(int, unsigned long, void*) override {
    errno = EBADF;
    return -1;
  }
  int video_close(int) override {
    errno = EBADF;
    return -1;
  }
  void* video_mmap(void*, std::size_t, int, int, int, off_t) override {
    errno = EBADF;
    return MAP_FAILED;
  }
  int video_munmap(void*, std::size_t) override {
    errno = EINVAL;
    return -1;
  }
  int video_poll(pollfd* fds, nfds_t count, int) override {
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = POLLNVAL;
    return static_cast<int>(count);
  }

  int monotonic_time(timespec* now) override {
    now->tv_sec = 1;
    now->tv_nsec = 0;
    return 0;
  }
  int sleep(const timespec*, timespec*) override { return 0; }

 private:
  int usb_error_;
  const char* usb_error_name_;
};

// A machine without libusb support: every libusb call is not supported.
inline platform::Platform& no_usb_platform() {
  static UnavailablePlatform instance(LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED");
  return instance;
}

// A machine whose USB devices have all gone: every libusb call finds no device.
inline platform::Platform& no_usb_device_platform() {
  static UnavailablePlatform instance(LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE");
  return instance;
}

class ForwardingPlatform : public platform::Platform {
 public:
  explicit ForwardingPlatform(platform::Platform& target) : target_(target) {}

  int usb_init() override { return target_.usb_init(); }
  void usb_exit() override { target_.usb_exit(); }
  ssize_t usb_get_device_list(libusb_device*** list) override { return target_.usb_get_device_list(list); }
  void usb_free_device_list(libusb_device** list, int unref_devices) override {
    target_.usb_free_device_list(list, unref_devices);
  }
  int usb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) override {
    return target_.usb_get_device_descriptor(dev, desc);
  }
  std::uint8_t usb_get_bus_number(libusb_device* dev) override { return target_.usb_get_bus_number(dev); }
  std::uint8_t usb_get_device_address(libusb_device* dev) override { return target_.usb_get_device_address(dev); }
  int usb_open(libusb_device* dev, libusb_device_handle** handle) override { return target_.usb_open(dev, handle); }
  void usb_close(libusb_device_handle* handle) override { target_.usb_close(handle); }
  int usb_kernel_driver_active(libusb_device_handle* handle, int interface_number) override {
    return target_.usb_kernel_driver_active(handle, interface_number);
  }
  int usb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) override {
    return target_.usb_detach_kernel_driver(handle, interface_number);
  }
  int usb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) override {
    return target_.usb_attach_kernel_driver(handle, interface_number);
  }
  int usb_claim_interface(libusb_device_handle* handle, int interface_number) override {
    return target_.usb_claim_interface(handle, interface_number);
  }
  int usb_release_interface(libusb_device_handle* handle, int interface_number) override {
    return target_.usb_release_interface(handle, interface_number);
  }
  int usb_set_configuration(libusb_device_handle* handle, int configuration) override {
    return target_.usb_set_configuration(handle, configuration);
  }
  int usb_control_transfer(libusb_device_handle* handle, std::uint8_t request_type, std::uint8_t request,
                           std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length,
                           unsigned int timeout_ms) override {
    return target_.usb_control_transfer(handle, request_type, request, value, index, data, length, timeout_ms);
  }
  const char* usb_error_name(int code) override { return target_.usb_error_name(code); }

  bool path_exists(const std::string& path) override { return target_.path_exists(path); }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    return target_.list_directory(path, names);
  }
  bool read_file_line(const std::string& path, char* buffer, int size) override {
    return target_.read_file_line(path, buffer, size);
  }
  std::unique_ptr<platform::UdevMonitor> open_udev_monitor() override { return target_.open_udev_monitor(); }
  std::unique_ptr<platform::CommandStream> run_command(const std::string& command) override {
    return target_.run_command(command);
  }

  int lock_open(const std::string& path) override { return target_.lock_open(path); }
  int lock_try(int fd) override { return target_.lock_try(fd); }
  int lock_close(int fd) override { return target_.lock_close(fd); }
  int video_open(const std::string& path, int flags) override { return target_.video_open(path, flags); }
  int video_ioctl(int fd, unsigned long request, void* arg) override { return target_.video_ioctl(fd, request, arg); }
  int video_close(int fd) override { return target_.video_close(fd); }
  void* video_mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) override {
    return target_.video_mmap(addr, length, prot, flags, fd, offset);
  }
  int video_munmap(void* addr, std::size_t length) override { return target_.video_munmap(addr, length); }
  int video_poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    return target_.video_poll(fds, count, timeout_ms);
  }

  int monotonic_time(timespec* now) override { return target_.monotonic_time(now); }
  int sleep(const timespec* request, timespec* remaining) override { return target_.sleep(request, remaining); }

 protected:
  platform::Platform& target() const { return target_; }

 private:
  platform::Platform& target_;
};

}  // namespace morvane::uvc_stereo::testing
