// An operating system with an empty /dev and no USB devices, for tests of
// the C functions that must not depend on the machine they run on. Sleeps
// return at once; the clock stands still. Subclasses override single
// operations to inject faults.
#pragma once

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "support/forwarding_platform.hpp"

namespace morvane::c_api_test {

class NoCameraPlatform : public uvc_stereo::testing::ForwardingPlatform {
 public:
  NoCameraPlatform() : ForwardingPlatform(uvc_stereo::testing::no_usb_device_platform()) {}

  // libusb starts and lists no devices; every other USB call finds no device.
  int usb_init() override { return 0; }
  ssize_t usb_get_device_list(libusb_device*** list) override {
    *list = nullptr;
    return 0;
  }

  bool path_exists(const std::string& path) override {
    if (path == "/dev") return true;
    errno = ENOENT;
    return false;
  }
  bool list_directory(const std::string& path, std::vector<std::string>& names) override {
    names.clear();
    return path == "/dev";
  }
};

}  // namespace morvane::c_api_test
