// An operating system with an empty /dev and no USB devices, for tests of
// the C functions that must not depend on the machine they run on. Sleeps
// return at once; the clock stands still. Subclasses override single
// operations to inject faults.
#pragma once

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace morvane::c_api_test {

class NoCameraPlatform : public uvc_stereo::platform::Platform {
 public:
  int usb_init() override { return 0; }
  void usb_exit() override {}
  ssize_t usb_get_device_list(libusb_device*** list) override {
    *list = nullptr;
    return 0;
  }
  void usb_free_device_list(libusb_device**, int) override {}
  int usb_get_device_descriptor(libusb_device*, libusb_device_descriptor*) override { return LIBUSB_ERROR_NO_DEVICE; }
  std::uint8_t usb_get_bus_number(libusb_device*) override { return 0; }
  std::uint8_t usb_get_device_address(libusb_device*) override { return 0; }
  int usb_open(libusb_device*, libusb_device_handle**) override { return LIBUSB_ERROR_NO_DEVICE; }
  void usb_close(libusb_device_handle*) override {}
  int usb_kernel_driver_active(libusb_device_handle*, int) override { return LIBUSB_ERROR_NO_DEVICE; }
  int usb_detach_kernel_driver(libusb_device_handle*, int) override { return LIBUSB_ERROR_NO_DEVICE; }
  int usb_attach_kernel_driver(libusb_device_handle*, int) override { return LIBUSB_ERROR_NO_DEVICE; }
  int usb_claim_interface(libusb_device_handle*, int) override { return LIBUSB_ERROR_NO_DEVICE; }
  int usb_release_interface(libusb_device_handle*, int) override { return LIBUSB_ERROR_NO_DEVICE; }
  int usb_set_configuration(libusb_device_handle*, int) override { return LIBUSB_ERROR_NO_DEVICE; }
  int usb_control_transfer(libusb_device_handle*, std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t,
                           unsigned char*, std::uint16_t, unsigned int) override {
    return LIBUSB_ERROR_NO_DEVICE;
  }
  const char* usb_error_name(int) override { return "LIBUSB_ERROR_NO_DEVICE"; }

  bool path_exists(const std::string& path) override {
    if (path == "/dev") return true;
    errno = ENOENT;
    return false;
  }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    names.clear();
    return path == "/dev";
  }
  bool read_file_line(const std::string&, char*, int) override { return false; }
  std::unique_ptr<uvc_stereo::platform::CommandStream> run_command(const std::string&) override { return nullptr; }

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

  int monotonic_time(timespec* now) override {
    now->tv_sec = 1;
    now->tv_nsec = 0;
    return 0;
  }
  int sleep(const timespec*, timespec*) override { return 0; }
};

}  // namespace morvane::c_api_test
