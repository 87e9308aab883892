#include "watch.hpp"

#include <poll.h>

#include <cerrno>
#include <cstdlib>

namespace morvane::tool {
namespace {

namespace us = uvc_stereo;

bool decimal(const std::string& text, unsigned long& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  value = std::strtoul(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

std::optional<WatchSelector> WatchSelector::make(const std::string& selector,
                                                 const std::vector<us::DeviceInfo>& attached, std::string& error) {
  WatchSelector which;
  if (selector.empty()) return which;
  which.any_ = false;
  unsigned long index = 0;
  if (decimal(selector, index)) {
    if (index >= attached.size()) {
      error = "no camera matches --device '" + selector + "': " + std::to_string(attached.size()) +
              " camera(s) attached (an index names one of them; a serial, video node, USB path or bus:address "
              "also waits for a camera to arrive)";
      return std::nullopt;
    }
    const us::DeviceInfo& d = attached[index];
    if (!d.serial.empty()) {
      which.serial_ = d.serial;
    } else if (!d.usb_path.empty()) {
      which.usb_path_ = d.usb_path;
    } else {
      which.busdev_ = true;
      which.bus_ = d.bus_number;
      which.address_ = d.device_address;
    }
    return which;
  }
  which.serial_ = which.video_node_ = which.usb_path_ = selector;
  const std::size_t colon = selector.find(':');
  if (colon != std::string::npos && selector.find(':', colon + 1) == std::string::npos)
    which.busdev_ =
        decimal(selector.substr(0, colon), which.bus_) && decimal(selector.substr(colon + 1), which.address_);
  return which;
}

bool WatchSelector::matches(const us::DeviceInfo& d) const {
  if (any_) return true;
  return (!serial_.empty() && d.serial == serial_) || (!video_node_.empty() && d.video_node == video_node_) ||
         (!usb_path_.empty() && d.usb_path == usb_path_) ||
         (busdev_ && d.bus_number == bus_ && d.device_address == address_);
}

bool WatchSelector::matches(const us::DeviceEvent& event) const {
  return matches(event.device) || (event.previous && matches(*event.previous));
}

int watch_events(us::DeviceMonitor& monitor, const WatchSelector& which, int stop_fd, int retry_ms, std::ostream& err,
                 const std::function<void(const us::DeviceEvent&)>& print) {
  bool retry = false;  // the last read failed: read again after the pause, readable or not
  for (;;) {
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {monitor.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, retry ? 1 : 2, retry ? retry_ms : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[0].revents != 0) return 0;
    if (!retry && fds[1].revents == 0) continue;
    auto events = monitor.read_events();
    retry = !events.ok();
    if (retry) {
      err << "warning: " << events.message << "; trying again in " << retry_ms << " ms" << std::endl;
      continue;
    }
    for (const auto& event : *events)
      if (which.matches(event)) print(event);
  }
}

}  // namespace morvane::tool
