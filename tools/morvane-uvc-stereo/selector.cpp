#include <cstdlib>
#include <sstream>

#include "tool.hpp"

namespace morvane::tool {
namespace {

bool parse_number(const std::string& text, unsigned long& value) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 10);
  return *end == '\0';
}

std::string one_line(const uvc_stereo::DeviceInfo& d, std::size_t index) {
  std::ostringstream out;
  out << "  [" << index << "] " << vidpid_text(d.vid, d.pid).insert(4, ":") << " bus " << int(d.bus_number)
      << " address " << int(d.device_address) << " serial '" << escape_text(d.serial) << "' "
      << escape_text(d.video_node);
  return out.str();
}

}  // namespace

Selection select_device(const std::vector<uvc_stereo::DeviceInfo>& devices, const std::string& selector) {
  Selection selection;
  if (devices.empty()) {
    selection.error = {kExitNoDevice, "no supported camera found (run 'list' to see what is attached)"};
    return selection;
  }

  std::vector<std::size_t> matches;
  if (selector.empty()) {
    for (std::size_t i = 0; i < devices.size(); ++i) matches.push_back(i);
  } else {
    unsigned long index = 0;
    bool numeric = parse_number(selector, index);
    unsigned long bus = 0, address = 0;
    bool busdev = false;
    auto colon = selector.find(':');
    if (colon != std::string::npos && selector.find(':', colon + 1) == std::string::npos)
      busdev = parse_number(selector.substr(0, colon), bus) && parse_number(selector.substr(colon + 1), address);
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const auto& d = devices[i];
      bool match = (numeric && index == i) || (!d.serial.empty() && d.serial == selector) || d.video_node == selector ||
                   (!d.usb_path.empty() && d.usb_path == selector) ||
                   (busdev && d.bus_number == bus && d.device_address == address);
      if (match) matches.push_back(i);
    }
  }

  if (matches.size() == 1) {
    selection.device = devices[matches.front()];
    return selection;
  }
  std::ostringstream message;
  if (matches.empty()) {
    message << "no camera matches --device '" << escape_text(selector) << "'; attached:";
    for (std::size_t i = 0; i < devices.size(); ++i) message << "\n" << one_line(devices[i], i);
  } else {
    message << matches.size() << " cameras match"
            << (selector.empty() ? std::string() : " --device '" + escape_text(selector) + "'")
            << "; choose one with --device (index, serial, video node, USB path or bus:address):";
    for (std::size_t i : matches) message << "\n" << one_line(devices[i], i);
  }
  selection.error = {kExitNoDevice, message.str()};
  return selection;
}

}  // namespace morvane::tool
